// Where the program lives and where it keeps its two data files.
#pragma once

#include <string>

// The folder of the running executable.
std::string ProgramFolder();
// The program's folder when it is writable, else ~/.local/share/tellwick (created on demand).
std::string DataFolder();
// Tests run the window in their own process; they point the program's folder at a temp dir.
void SetProgramFolderForTests(const std::string& folder);
