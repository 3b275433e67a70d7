// The end of a track: the advance to the next row that plays.
#pragma once

// Releases the ended stream and opens the following rows (wrapping) one after another until
// one plays; a refusal moves on without waiting on anything, and a whole round of refusals
// stops, saying so on the title line.
void OnTrackEnd();
