// What a screen reader hears: a real AT-SPI client (the library Orca reads through) finds the
// player's window on a virtual display, reads it, works its controls and counts its events.
#include <atspi/atspi.h>

#include "support/qt/app_test.h"

using namespace testsupport;

namespace {

// A virtual X display and a private session bus that starts the accessibility bus on demand.
struct A11yDesktop {
    TempDir runtime; // the accessibility bus's socket, apart from any other desktop's
    QProcess xvfb, bus;
    QString display, address, error; // error: what did not start; empty when all did
    static QString FirstLine(QProcess& daemon, const QString& program, const QStringList& args) {
        daemon.start(program, args);
        return daemon.waitForReadyRead(15000) ? QString::fromUtf8(daemon.readLine()).trimmed() : QString();
    }
    A11yDesktop() {
        bus.setEnvironment(QProcess::systemEnvironment() << "XDG_RUNTIME_DIR=" + QString::fromStdString(runtime.path()));
        display = ":" + FirstLine(xvfb, "Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
        address = FirstLine(bus, "dbus-daemon", {"--session", "--nofork", "--print-address"});
        if (display == ":" || address.isEmpty() ||
            run("dbus-send --bus=" + shellQuote(address.toStdString()) + " --dest=org.a11y.Bus --print-reply /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null"))
            error = "no virtual display, session bus or accessibility bus (Xvfb, dbus-daemon, at-spi2-core)";
    }
    // The accessibility bus and its registry end with the session bus.
    ~A11yDesktop() { for (QProcess* daemon : {&bus, &xvfb}) daemon->terminate(), daemon->waitForFinished(5000); }
};

using Object = AtspiAccessible*;
std::string Take(gchar* text) { const std::string copy = text ? text : ""; g_free(text); return copy; }
std::string Name(Object object) { return Take(atspi_accessible_get_name(object, nullptr)); }
double Value(Object object, double (*read)(AtspiValue*, GError**) = atspi_value_get_current_value) { return read(ATSPI_VALUE(object), nullptr); }

void Collect(Object object, std::vector<Object>& all) {
    all.push_back(object);
    for (int i = 0; i < atspi_accessible_get_child_count(object, nullptr); ++i)
        Collect(atspi_accessible_get_child_at_index(object, i, nullptr), all);
}

// Runs the named action as a screen reader's command does; false when the object has none.
bool Act(Object object, const std::string& name) {
    for (int i = 0; i < atspi_action_get_n_actions(ATSPI_ACTION(object), nullptr); ++i)
        if (Take(atspi_action_get_action_name(ATSPI_ACTION(object), i, nullptr)) == name)
            return atspi_action_do_action(ATSPI_ACTION(object), i, nullptr);
    return false;
}

struct Heard { Object source; std::string type, name; };
std::vector<Heard> heard;

// The names an object announced, in order.
std::vector<std::string> NamesOf(Object object) {
    std::vector<std::string> names;
    for (const Heard& e : heard)
        if (e.source == object && e.type == "object:property-change:accessible-name")
            names.push_back(e.name);
    return names;
}

// Waits for done() while the client takes in the events the bus brings.
bool Listen(const std::function<bool()>& done) {
    return WaitUntil([&] { while (g_main_context_iteration(nullptr, false)) {} return done(); });
}

class ScreenReaderTest : public AppTest { void SetUp() override { StartSound(), EnsureApplication(); } };

TEST_F(ScreenReaderTest, ReadsTextsStatesAndListenersValuesWithoutFlooding) {
    static A11yDesktop desktop;
    if (!desktop.error.isEmpty())
        GTEST_SKIP() << desktop.error.toStdString();
    setenv("DBUS_SESSION_BUS_ADDRESS", desktop.address.toUtf8().constData(), 1);
    ASSERT_EQ(atspi_init(), 0);
    // A name event carries no text: the client reads the new name, past its cache, as it arrives.
    AtspiEventListener* listener = atspi_event_listener_new_simple(
        [](const AtspiEvent* e) { atspi_accessible_clear_cache(e->source), heard.push_back({e->source, e->type, Name(e->source)}); }, nullptr);
    for (const char* type : {"object:property-change:accessible-name", "object:property-change:accessible-value"})
        atspi_event_listener_register(listener, type, nullptr);

    // Positions count down from each slider's top: the 100 Hz band 4 (+6 dB of -10..10), the
    // 12 kHz band 16 (-6 dB), the volume 10 (90 %).
    const std::string book = media.file("book.wav");
    makeTone(book, 440, 30, 44100, 2, "-metadata artist='толстой' -metadata title='вступление'");
    PlayerProcess player({{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", desktop.display}, {"DBUS_SESSION_BUS_ADDRESS", desktop.address},
                          {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1"}});
    writeBytes(player.folder.file("tellwick.ini"), int32Bytes({0, 0, 0, 0, 4, 10, 16, 20, 10}));
    player.start({QString::fromStdString(book)});
    std::vector<Object> all;
    auto find = [&](const std::string& what) {
        const auto found = std::find_if(all.begin(), all.end(), [&](Object o) { return Name(o) == what || Take(atspi_accessible_get_description(o, nullptr)) == what; });
        return found == all.end() ? nullptr : *found;
    };
    ASSERT_TRUE(Listen([&] { all.clear(), Collect(atspi_get_desktop(0), all); return find("Время воспроизведения"); }));

    // Texts are read by their content; the playing time is announced once per change.
    Object time = find("Время воспроизведения");
    ASSERT_TRUE(Listen([&] { return NamesOf(time).size() >= 4; }));
    const std::vector<std::string> times = NamesOf(time);
    EXPECT_EQ(std::adjacent_find(times.begin(), times.end()), times.end());
    const std::pair<const char*, const char*> texts[] = {{"Название трека", "Толстой - Вступление"}, {"Число треков", "Всего в списке: 1"},
                                                         {"Формат потока", "Стерео  44.1 kHz"}, {"Длительность трека", "Время звучания: 00:30"}};
    for (const auto& [what, text] : texts)
        EXPECT_NE(Name(find(what)).find(text), std::string::npos) << what << ": " << Name(find(what));

    // Over those seconds the meters sent at most one value event a second; the position did send.
    Object position = find("Позиция воспроизведения");
    auto valueEvents = [&](const std::function<bool(Object)>& from) {
        return std::count_if(heard.begin(), heard.end(), [&](const Heard& e) { return e.type == "object:property-change:accessible-value" && from(e.source); });
    };
    EXPECT_LE(valueEvents([](Object o) { return atspi_accessible_get_role(o, nullptr) == ATSPI_ROLE_PROGRESS_BAR; }), long(times.size()));
    EXPECT_GE(valueEvents([&](Object o) { return o == position; }), 1);
    EXPECT_EQ(Value(position, atspi_value_get_maximum_value), 30);

    // Sliders read in the listener's units, and Increase (run later on the window's thread) raises them.
    const struct { const char* name; double value, low, high; } sliders[] = {{"Эквалайзер 100 Гц", 6, -10, 10}, {"Эквалайзер 12 кГц", -6, -10, 10}, {"Громкость", 90, 0, 100}};
    for (const auto& s : sliders) {
        const double read[] = {Value(find(s.name)), Value(find(s.name), atspi_value_get_minimum_value), Value(find(s.name), atspi_value_get_maximum_value)};
        EXPECT_EQ(std::vector<double>(read, read + 3), std::vector<double>({s.value, s.low, s.high})) << s.name;
        EXPECT_TRUE(Act(find(s.name), "Increase")) << s.name;
        EXPECT_TRUE(Listen([&] { return Value(find(s.name)) == s.value + 1; })) << s.name;
    }

    // Play/Pause says which it is and announces the change its press makes.
    Object playPause = find("Воспроизведение: пауза");
    const std::string playing = Name(playPause);
    EXPECT_TRUE(Act(playPause, "Press"));
    EXPECT_TRUE(Listen([&] { return !NamesOf(playPause).empty() && NamesOf(playPause).back() != playing; }));
}

} // namespace
