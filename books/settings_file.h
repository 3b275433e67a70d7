// "tellwick.ini": the 36-byte settings record (current book, time display, slider positions).
#pragma once

// Reads the settings (creating the file with defaults when missing) and applies them to
// the tab bar, the remaining-time check mark and the five sliders.
void LoadSettings();
// Takes the sliders' positions into the record and replaces the file atomically.
void SaveSettings();
