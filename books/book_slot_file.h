// "data.dat": five 272-byte book slots, one per tab, no header.
#pragma once

// Reads slot `book` into app.bookRecord. False when the file was missing (it has just
// been created with five empty slots) or cannot be used; nothing is read then.
bool ReadBookSlot(int book);
void CreateBookSlotFile();
// Writes app.bookRecord into the slot of app.settings.currentBook.
void WriteBookSlot();
// The one save: the current slot, then the settings file.
void SaveState();
