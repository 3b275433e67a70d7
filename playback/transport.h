// Play/pause, first/previous/next/last, list choice and seeking.
#pragma once

void TogglePlayPause();
void NextTrack();
void PreviousTrack();
void FirstTrack();
void LastTrack();
// Selects row i, builds its path and opens it.
void PlayListIndex(int row);
// Releases the stream and opens row (which becomes trackIndex); a row the list does not
// have opens nothing and changes nothing.
void PlayRowAfterRelease(int row);
// The automatic advance's open of row (which becomes trackIndex); false when it cannot play.
bool OpenRowAdvancing(int row);
// The listener chose a row in the list.
void TrackRowChosen(int row);
// The listener moved the position slider; desktop clients seek here to a fraction of a second.
void SeekToSlider(double seconds);
