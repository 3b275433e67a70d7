// The command line, read before the window, the display or the single-instance lock exist:
// our own options, Qt's options (handed to Qt untouched) and the path to open.
#pragma once

#include <QByteArray>
#include <optional>
#include <vector>

struct CommandLine {
    // The first path named (empty when none), as the file system's bytes, which need not be
    // UTF-8; any later ones are ignored, with a warning.
    QByteArray openPath;
    // The program's name and Qt's own options with their values, for QApplication; argc is
    // kept here because QApplication holds on to it.
    std::vector<char*> qtArgv;
    int qtArgc = 0;
};

// Reads argv into line. --help and --version print and give 0, a wrong option prints a line
// and the usage to stderr and gives 2; nullopt when the player is to run.
std::optional<int> ReadCommandLine(int argc, char** argv, CommandLine& line);
// False, after one line on stderr, when the window would have no display to open on.
bool DisplayAvailable(const CommandLine& line);
// A second launch that could not reach the running player: says so on stderr, gives 1.
int ReportUnreachablePlayer();
