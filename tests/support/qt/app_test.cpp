#include "support/qt/app_test.h"

#include <QToolButton>
#include <filesystem>

#include "app/app_state.h"

namespace testsupport {

void AppTest::StartSound() {
    static PulseServer sound;
    sound.makeMonitorRealTime();
}

void AppTest::SetUp() {
    StartSound();
    player = std::make_unique<PlayerHarness>(program.path());
}

bool AppTest::Start() {
    const bool started = player->start();
    w = player->window();
    return started;
}

std::vector<unsigned char> SlotOf(const std::vector<unsigned char>& file, int book) {
    if (file.size() < std::size_t(book + 1) * 272)
        return {};
    return {file.begin() + book * 272, file.begin() + (book + 1) * 272};
}

std::int64_t SlotPosition(const std::vector<unsigned char>& slot) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8 && slot.size() == 272; ++i)
        value |= std::uint64_t(slot[264 + i]) << (8 * i);
    return std::int64_t(value);
}

std::string SlotPath(const std::string& dataFile, int book) {
    auto slot = SlotOf(readBytes(dataFile), book);
    slot.resize(273, 0);
    return reinterpret_cast<const char*>(slot.data());
}

double EngineSeconds() {
    const QWORD bytes = app.currentStream ? BASS_ChannelGetPosition(app.currentStream, BASS_POS_BYTE) : QWORD(-1);
    return bytes == QWORD(-1) ? 0 : BASS_ChannelBytes2Seconds(app.currentStream, bytes);
}

bool ClickTab(MainWindow* w, int index) {
    QTabBar* bar = w->bookTabs();
    for (int tries = 0; tries < 10 && !bar->rect().contains(bar->tabRect(index)); ++tries) {
        const Qt::ArrowType toward = bar->tabRect(index).left() < 0 ? Qt::LeftArrow : Qt::RightArrow;
        for (QToolButton* scroll : bar->findChildren<QToolButton*>())
            if (scroll->isVisible() && scroll->arrowType() == toward)
                QTest::mouseClick(scroll, Qt::LeftButton);
    }
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
    SettleOpen();
    return bar->currentIndex() == index;
}

PlayerProcess::PlayerProcess(const Environment& env) {
    std::filesystem::copy_file(std::string(TELLWICK_BINARY_DIR) + "/tellwick", folder.file("tellwick"));
    // Flat equaliser, no reverb, full volume.
    writeBytes(folder.file("tellwick.ini"), int32Bytes({0, 0, 0, 0, 10, 10, 10, 20, 0}));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.path()));
    for (const auto& [name, value] : env)
        environment.insert(name, value);
    process.setProcessEnvironment(environment);
}

PlayerProcess::~PlayerProcess() {
    process.kill();
    process.waitForFinished(5000);
}

void PlayerProcess::start(const QStringList& args) {
    process.start(QString::fromStdString(folder.file("tellwick")), args);
    process.waitForStarted();
}

} // namespace testsupport
