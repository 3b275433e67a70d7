// "data.dat": five 272-byte book slots, one per tab, no header. A path too long for a slot
// is kept in "data.paths" beside it (slot digit, path, NUL per entry); its slot's path is empty.
// Writes are handed to the data writer thread (books/save_writer.h) and done in order there.
#pragma once

#include <array>
#include <string>

#include "books/records.h"

// Reads slot `book` into app.bookRecord (and its long path into app.longPath), after the writes
// handed over before it. False when the file was missing (its creation with five empty slots is
// handed over) or cannot be used (it cannot be opened or read: left alone for the run).
bool ReadBookSlot(int book);
void CreateBookSlotFile();
// The file each book's slot names (or its long path), read without touching the current record:
// empty for an empty or damaged slot, or when the file cannot be read.
std::array<std::string, kBookCount> StoredBookPaths();
// Hands app.bookRecord over to be written into the slot of app.settings.currentBook and synced,
// and the moments the books were heard with it.
void WriteBookSlot();
// The one save: the current slot, then the settings file.
void SaveState();

// The current book's file: the record's path, or the long one.
std::string CurrentBookPath();
// Makes path the current book's file; one that does not fit the record goes to app.longPath.
void RecordBookPath(const std::string& path);

// After each tick: the slot on disk follows the playing position a second behind at most
// (its 272 bytes, not synced), and so does the moment the book was heard (books/last_heard.h);
// the copy a dying process writes is brought up to date.
void KeepPlace();
// Hands the current slot over to be written now and synced (pause).
void WritePlaceNow();
// Async-signal-safe: has the last kept place written into its slot by the writer thread, never
// alongside another write of it, waiting half a second at most. Does nothing once disarmed.
void EmergencySave();
void DisarmEmergencySave();
