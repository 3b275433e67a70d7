// A book is a folder: its playable files fill the track list.
#pragma once

#include <QString>
#include <functional>
#include <string>

// The "Добавить папку" command: pick a file; its folder becomes the current book.
void AddFolder();
// What follows a pick in that dialog: the file (its path as the file system's bytes) is opened
// and, once it plays, its folder is listed. A file that cannot be played leaves the book as it
// was and runs refused.
void OpenPickedFile(const std::string& path, std::function<void()> refused);
// Splits a file path into app.rememberedName, app.folderDir and app.searchPattern.
void DeriveFolderNames(const std::string& path);
// Appends the folder's playable files to the (empty) track list in natural order and
// selects the remembered file's row.
void ScanFolder();

// Whether a file name has one of the playable extensions (letter case ignored).
bool IsPlayableName(const std::string& name);
// Natural order, letter case ignored, independent of the locale: "2 глава" < "10 глава".
bool NaturalLess(const std::string& a, const std::string& b);
