// Listening options of the whole player, kept in their own small file beside the data files
// (the settings file keeps its fixed layout).
#pragma once

struct ListeningOptions {
    bool smartRewind = true;
    bool levelLoudness = false;
    bool shortenPauses = false;
};

// Reads the options file (a missing or unreadable one means the defaults) and shows them in the menu.
void LoadListeningOptions();
// Hands the options file to the writer thread.
void SaveListeningOptions();
// Menu command: flips the option behind the menu item, shows it and saves. Returns false for
// an id that is not an option's.
bool ToggleListeningOption(int id);
