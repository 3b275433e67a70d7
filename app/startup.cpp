#include "app/startup.h"

#include <QApplication>
#include <QListWidget>
#include <QProgressBar>
#include <QSlider>
#include <algorithm>
#include <filesystem>
#include <vector>

#include "app/app_state.h"
#include "app/data_paths.h"
#include "app/dispatch.h"
#include "app/keep_place.h"
#include "app/single_instance.h"
#include "books/book_slot_file.h"
#include "books/book_switch.h"
#include "books/book_tabs.h"
#include "books/last_heard.h"
#include "books/listening_options.h"
#include "books/open_path.h"
#include "books/settings_file.h"
#include "playback/speed.h"
#include "ui/control_ids.h"
#include "ui/dialogs.h"
#include "ui/icons.h"
#include "ui/main_window.h"
#include "ui/qt_language.h"

const QString appTitle = QStringLiteral("  Tellwick ver 2.0  11.12.2018 г.");

namespace {

bool MatchesPluginPattern(const std::string& name) {
    // "bass*.dll", letter case ignored.
    if (name.size() < 8)
        return false;
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower.compare(0, 4, "bass") == 0 && lower.compare(lower.size() - 4, 4, ".dll") == 0;
}

void SetUpSliders(MainWindow* w) {
    w->setSliderRange(ids::VolumeSlider, 0, 100);
    w->setSliderTicks(ids::VolumeSlider, {20, 40, 60, 80});
    for (int id : {ids::LeftMeter, ids::RightMeter})
        w->meter(id)->setRange(0, 32767);
    for (int id : {ids::EqBand100, ids::EqBand3k, ids::EqBand12k, ids::ReverbSlider}) {
        w->setSliderRange(id, 0, 20);
        w->setSliderTicks(id, {4, 8, 12, 16});
        w->setSliderPosition(id, 10);
    }
}

bool FailStartUp(const QString& text) {
    ShowWarning(app.mainWindow, text);
    return false;
}

} // namespace

void LoadEnginePlugins() {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(ProgramFolder(), error), end; !error && it != end;
         it.increment(error)) {
        std::string name = it->path().filename().string();
        if (MatchesPluginPattern(name))
            names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        BASS_PluginLoad(name.c_str(), 0);
}

bool InitMainWindow(const QByteArray& openPath) {
    MainWindow* w = app.mainWindow;
    w->setWindowIcon(LoadIcon(ids::AppIcon));
    w->setWindowTitle(appTitle);
    if (SingleInstanceUnguarded())
        w->setWindowTitle(appTitle + QStringLiteral(" — файл блокировки недоступен, второй запуск не отслеживается"));

    const std::string folder = DataFolder();
    app.bookSlotPath = folder + "/data.dat";
    app.settingsPath = folder + "/tellwick.ini";

    if (!BASS_Init(-1, 44100, 0, w, nullptr))
        return FailStartUp(QStringLiteral("Ошибка инициализации"));
    LoadEnginePlugins();
    BASS_GetInfo(&app.engineInfo);
    if (app.engineInfo.dsver < 8) {
        BASS_Free();
        return FailStartUp(QStringLiteral("DirectX 8 is not installed"));
    }

    SetUpSliders(w);
    w->selectTab(0);
    LoadSettings();
    LoadBookSpeeds();
    LoadListeningOptions();
    LabelBookTabs();
    LoadLastHeard();
    if (openPath.isEmpty()) {
        LoadBook();
    } else {
        // The book's record is in memory while the named file opens, so an exit meanwhile
        // keeps its slot as it is; a file that cannot be played resumes the book instead.
        ReadBookSlot(app.settings.currentBook);
        if (!OpenPathForCurrentBook(openPath, [] {
                ReportUnplayable();
                LoadBook();
            }))
            LoadBook();
    }
    w->trackList()->setFocus();
    return true;
}

bool StartPlayer(const QByteArray& openPath) {
    InstallQtRussian();
    auto* window = new MainWindow;
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    app.mainWindow = window;
    ConnectWindowSignals(window);
    KeepPlaceThroughEndings(window);
    // An exit asked for from a box shown during start-up (a desktop client's Quit) ends it here.
    if (!InitMainWindow(openPath) || app.exiting) {
        delete window;
        app.mainWindow = nullptr;
        return false;
    }
    app.startedUp = true;
    window->show();
    return true;
}

int RunPlayer(const QByteArray& openPath) {
    if (!StartPlayer(openPath))
        return 0;
    const int result = QApplication::exec();
    delete app.mainWindow;
    app.mainWindow = nullptr;
    return result;
}
