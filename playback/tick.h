// The 100 ms tick: meters, position slider, time text and time saved, the book's position,
// the sleep step.
#pragma once

void TickHandler();
