// "data.dat": five 272-byte book slots, one per tab, no header. A path too long for a slot
// is kept in "data.paths" beside it (slot digit, path, NUL per entry); its slot's path is empty.
#pragma once

#include <string>

// Reads slot `book` into app.bookRecord (and its long path into app.longPath). False when the
// file was missing (it has just been created with five empty slots) or cannot be used.
bool ReadBookSlot(int book);
void CreateBookSlotFile();
// Writes app.bookRecord into the slot of app.settings.currentBook and syncs it to the disk.
void WriteBookSlot();
// The one save: the current slot, then the settings file.
void SaveState();

// The current book's file: the record's path, or the long one.
std::string CurrentBookPath();
// Makes path the current book's file; one that does not fit the record goes to app.longPath.
void RecordBookPath(const std::string& path);

// After each tick: the slot on disk follows the playing position a second behind at most
// (its 272 bytes, not synced), and the copy a dying process writes is brought up to date.
void KeepPlace();
// Writes the current slot's position now and syncs it (pause).
void WritePlaceNow();
// Async-signal-safe: writes the last kept place into its slot. Does nothing once disarmed.
void EmergencySave();
void DisarmEmergencySave();
