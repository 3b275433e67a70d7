// Play/pause, first/previous/next/last, list choice and seeking.
#pragma once

void TogglePlayPause();
// In a file with chapters, Next and Previous go by chapter (to the next file after the last).
void NextTrack();
void NextFile();
void PreviousTrack();
void FirstTrack();
void LastTrack();
// The listener chose a row in the list.
void TrackRowChosen(int row);
// The listener moved the position slider; desktop clients seek here to a fraction of a second.
void SeekToSlider(double seconds);
