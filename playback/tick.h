// The 100 ms tick: meters, position slider, time text, the book's position, the sleep step.
#pragma once

void TickHandler();
