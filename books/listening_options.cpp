#include "books/listening_options.h"

#include <sstream>
#include <string>

#include "app/app_state.h"
#include "books/file_io.h"
#include "books/save_writer.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

namespace {

constexpr std::size_t kOptionsFileLimit = 4096;

struct OptionEntry {
    int menuId;
    const char* key;
    bool ListeningOptions::*flag;
};

constexpr OptionEntry kOptions[] = {
    {ids::MenuSmartRewind, "smart-rewind", &ListeningOptions::smartRewind},
    {ids::MenuLevelLoudness, "level-loudness", &ListeningOptions::levelLoudness},
    {ids::MenuShortenPauses, "shorten-pauses", &ListeningOptions::shortenPauses},
};

std::string OptionsPath() {
    const auto slash = app.bookSlotPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : app.bookSlotPath.substr(0, slash);
    return folder + "/options.txt";
}

void ShowListeningOptions() {
    if (!app.mainWindow)
        return;
    for (const OptionEntry& option : kOptions)
        app.mainWindow->setMenuChecked(option.menuId, app.options.*option.flag);
}

} // namespace

void LoadListeningOptions() {
    app.options = ListeningOptions{};
    std::string bytes;
    ReadRegularFile(OptionsPath(), kOptionsFileLimit, bytes);
    std::istringstream in(bytes);
    std::string line;
    while (std::getline(in, line)) {
        // "key=0" or "key=1"; anything else is left at its default.
        const auto equals = line.find('=');
        if (equals == std::string::npos || equals + 2 != line.size() || (line.back() != '0' && line.back() != '1'))
            continue;
        for (const OptionEntry& option : kOptions)
            if (line.compare(0, equals, option.key) == 0 && std::char_traits<char>::length(option.key) == equals)
                app.options.*option.flag = line.back() == '1';
    }
    ShowListeningOptions();
}

void SaveListeningOptions() {
    std::string text;
    for (const OptionEntry& option : kOptions)
        text += std::string(option.key) + '=' + (app.options.*option.flag ? '1' : '0') + '\n';
    const std::string path = OptionsPath();
    HandOverWrite("options", DataFile::Options, path, [path, text] { return WriteFileAtomically(path, text); });
}

bool ToggleListeningOption(int id) {
    for (const OptionEntry& option : kOptions) {
        if (option.menuId != id)
            continue;
        app.options.*option.flag = !(app.options.*option.flag);
        ShowListeningOptions();
        SaveListeningOptions();
        return true;
    }
    return false;
}
