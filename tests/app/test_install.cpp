// The program as a user installs and starts it: the command line through the real binary,
// and the Debian package built from this tree, checked and installed into a throwaway root.
#include <QElapsedTimer>
#include <csignal>
#include <iostream>

#include "support/qt/app_test.h"
#include "support/qt/fake_logind.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

using InstallTest = AppTest;
Environment operator+(Environment a, const Environment& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
const Environment kNoDisplay = {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};

bool Cyrillic(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.script() == QChar::Script_Cyrillic; });
}

} // namespace

// Options that end at once, each row in a fresh folder: nothing else is said on the other
// stream, no book starts (no data file), an error is one line (then the usage for a wrong option).
TEST_F(InstallTest, CommandLineAnswersInTheUsersLanguageWithoutStartingABook) {
    const QString ffmpeg = QString::fromStdString(capture("ffmpeg -version")).section(' ', 2, 2).section('-', 0, 0);
    const struct {
        QStringList args;
        Environment env;
        int status;
        bool russian;
        QStringList mentions;
    } rows[] = {
        {{"--help"}, {{"LC_ALL", "C.UTF-8"}}, 0, false, {"--help", "--version", "-platform"}},
        {{"-h"}, {{"LC_ALL", ""}, {"LANG", "ru_RU.UTF-8"}}, 0, true, {"--help", "--version"}},
        {{"--help"}, {{"LC_ALL", ""}, {"LC_MESSAGES", "ru_RU.UTF-8"}, {"LANG", "C"}}, 0, true, {"--help"}},
        {{"--version"}, kNoDisplay, 0, false, {"Tellwick", qVersion(), ffmpeg}},
        {{"book.mp3", "--frobnicate"}, {}, 2, false, {"--frobnicate", "--help"}},
        {{"-platform"}, {{"LC_ALL", "ru_RU.UTF-8"}}, 2, true, {"-platform"}},
        {{}, kNoDisplay, 1, false, {"DISPLAY"}},
        {{"-style", "Fusion", "book.mp3"}, kNoDisplay + Environment{{"QT_QPA_PLATFORM", ""}, {"LC_ALL", "ru_RU"}}, 1,
         true, {"DISPLAY"}},
    };
    for (const auto& row : rows) {
        PlayerProcess player(row.env);
        player.start(row.args);
        ASSERT_TRUE(player.process.waitForFinished(20000));
        const QString out = player.process.readAllStandardOutput(), err = player.process.readAllStandardError();
        const QString& said = row.status ? err : out;
        const std::string what = row.args.join(' ').toStdString() + ": " + said.toStdString();
        EXPECT_EQ(player.process.exitCode(), row.status) << what;
        EXPECT_TRUE((row.status ? out : err).isEmpty()) << what;
        EXPECT_EQ(Cyrillic(said), row.russian) << what;
        for (const QString& mention : row.mentions)
            EXPECT_TRUE(said.contains(mention)) << what << "\nlacks " << mention.toStdString();
        EXPECT_EQ(said.startsWith("tellwick: ") && said.count('\n') == 1, row.status == 1) << what;
        EXPECT_EQ(said.startsWith("tellwick: ") && said.count('\n') > 3, row.status == 2) << what;
        EXPECT_FALSE(fs::exists(player.data())) << what;
    }
}

// Qt's options go to Qt (-platform beats an X11 platform without a display); of two paths the
// first opens, the second is named as ignored. A second launch then finds the player stopped,
// or no session bus at all: both end with 1 and one line, the first after the 3 s it waits.
TEST_F(InstallTest, QtOptionsAreNotPathsAndAFailedHandOverEndsWithOne) {
    makeTone(media.file("first.wav"), 440, 30, 44100, 2);
    const QString bus = QString::fromStdString(PrivateSystemBus::instance().address());
    PlayerProcess player(kNoDisplay + Environment{{"DBUS_SESSION_BUS_ADDRESS", bus}});
    player.process.setWorkingDirectory(QString::fromStdString(media.path()));
    player.start({"-platform", "offscreen", "-style", "Fusion", "-reverse", "first.wav", "second.wav"});
    ASSERT_TRUE(PumpUntil([&] { return SlotPath(player.data()) == media.file("first.wav"); }, 20000));
    const std::string listed = "DBUS_SESSION_BUS_ADDRESS=" + shellQuote(bus.toStdString()) + " playerctl -l";
    ASSERT_TRUE(PumpUntil([&] { return run(listed + " 2>/dev/null | grep -qx tellwick") == 0; }));
    const QString warning = player.process.readAllStandardError();
    EXPECT_TRUE(warning.contains("second.wav") && !warning.contains("first.wav")) << warning.toStdString();

    kill(pid_t(player.process.processId()), SIGSTOP);
    for (const auto& [address, atLeastMs] : {std::pair{bus, 2900}, std::pair{QString("unix:path=/nonexistent"), 0}}) {
        QProcess second;
        QProcessEnvironment env = player.process.processEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", address);
        second.setProcessEnvironment(env);
        QElapsedTimer clock;
        clock.start();
        second.start(QString::fromStdString(player.folder.file("tellwick")), {"first.wav"});
        ASSERT_TRUE(second.waitForFinished(15000));
        const QString err = second.readAllStandardError();
        EXPECT_EQ(second.exitCode(), 1) << address.toStdString();
        EXPECT_TRUE(err.startsWith("tellwick: ") && err.count("tellwick: ") == 1) << err.toStdString();
        EXPECT_GE(clock.elapsed(), atLeastMs) << address.toStdString();
    }
    player.process.terminate();
    kill(pid_t(player.process.processId()), SIGCONT);
}

// The package from this build tree: its files, dependencies found by dpkg-shlibdeps, lintian
// without errors, valid metadata and manual pages; installed by dpkg into a root of its own
// with an empty package database, it runs.
TEST(Package, BuildsPassesLintianInstallsAndRuns) {
    for (const char* tool : {"cpack", "dpkg", "lintian", "appstreamcli", "desktop-file-validate", "man"})
        if (run(std::string("command -v ") + tool + " >/dev/null || exit 1") != 0)
            GTEST_SKIP() << "SKIPPED: " << tool << " is missing; scripts/install-deps.sh installs it";
    TempDir out, root;
    ASSERT_EQ(run("cpack --config " TELLWICK_BINARY_DIR "/CPackConfig.cmake -B " + out.path() + " >/dev/null"), 0);
    const std::string deb = capture("ls " + out.path() + "/tellwick_*_amd64.deb | tr -d '\\n'");
    const std::string contents = capture("dpkg-deb --contents " + deb), depends = capture("dpkg-deb -f " + deb + " Depends");
    for (const char* file : {"bin/tellwick", "share/applications/tellwick.desktop", "share/doc/tellwick/copyright",
                             "share/icons/hicolor/scalable/apps/tellwick.svg", "share/man/man1/tellwick.1.gz",
                             "share/metainfo/io.github.tellwick.tellwick.metainfo.xml",
                             "share/man/ru/man1/tellwick.1.gz", "share/doc/tellwick/changelog.gz"})
        EXPECT_NE(contents.find(std::string(" ./usr/") + file + "\n"), std::string::npos) << file;
    for (const char* library : {"libc6", "libqt6widgets6", "libavcodec", "libpulse0", "libtag1v5", "libsoundtouch", "libebur128"})
        EXPECT_NE(depends.find(library), std::string::npos) << library << " in " << depends;
    const std::string lintian = capture("lintian --tag-display-limit 0 " + deb + " 2>&1");
    EXPECT_EQ(lintian.find("E: "), std::string::npos) << lintian;
    std::cout << "lintian:\n" << lintian;

    for (const char* folder : {"var/lib/dpkg/updates", "var/lib/dpkg/info"})
        fs::create_directories(root.file(folder));
    writeBytes(root.file("var/lib/dpkg/status"), {});
    ASSERT_EQ(run("dpkg --root=" + root.path() + " --force-all --log=/dev/null -i " + deb + " >/dev/null"), 0);
    EXPECT_EQ(run("cd " + root.file("usr/share") + " && appstreamcli validate --no-net metainfo/*.xml >/dev/null && "
                  "desktop-file-validate applications/tellwick.desktop && ! for page in man/man1 man/ru/man1; do "
                  "LC_ALL=C.UTF-8 man --warnings -l $page/tellwick.1.gz 2>&1 >/dev/null; done | grep ."),
              0);
    const std::string said = capture(root.file("usr/bin/tellwick") + " --version | head -1");
    EXPECT_EQ(said, "Tellwick " + capture("dpkg-deb -f " + deb + " Version")) << said;
}
