#include "app/data_paths.h"

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {

std::string& ProgramFolderOverride() {
    static std::string folder;
    return folder;
}

// The system's program folders (a package's /usr/bin, an install under /usr/local) hold no
// user's data, even when the user may write there (root).
bool IsSystemProgramFolder(const std::string& folder) {
    for (const char* end : {"/usr/bin", "/usr/local/bin", "/usr/games", "/usr/local/games"})
        if (folder.ends_with(end))
            return true;
    return folder == "/bin";
}

} // namespace

std::string ProgramFolder() {
    if (!ProgramFolderOverride().empty())
        return ProgramFolderOverride();
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::current_path().string() : exe.parent_path().string();
}

std::string DataFolder() {
    const std::string program = ProgramFolder();
    if (!IsSystemProgramFolder(program) && access(program.c_str(), W_OK) == 0)
        return program;
    std::string base;
    if (const char* dataHome = std::getenv("XDG_DATA_HOME"); dataHome && *dataHome == '/')
        base = dataHome;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::string(home) + "/.local/share";
    else
        return program;
    const std::string folder = base + "/tellwick";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return folder;
}

void SetProgramFolderForTests(const std::string& folder) {
    ProgramFolderOverride() = folder;
}
