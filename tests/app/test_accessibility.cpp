// The player on a Linux desktop, through the real window and engine: Qt's own texts in
// Russian, every book tab and status text in view, books reached from the keyboard, what
// a screen reader is told (through the accessibility interfaces the AT-SPI bridge reads),
// and a minimised window that keeps its books' places without drawing.
#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QProgressBar>
#include <QRegularExpression>
#include <QStyle>
#include <QToolButton>
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include "support/qt/app_test.h"
#include "ui/controls.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

bool IsRussian(const QString& text) {
    static const QRegularExpression cyrillic(QStringLiteral("[\\x{0400}-\\x{04FF}]"));
    return text.contains(cyrillic);
}

// Accessibility events as the bridge would receive them.
struct AccessibleEvent {
    QObject* object;
    QAccessible::Event type;
    bool hasValue;
    QString name;
};
std::vector<AccessibleEvent> events;

void Record(QAccessibleEvent* event) {
    QAccessibleInterface* iface = event->accessibleInterface();
    events.push_back({event->object(), event->type(), iface && iface->valueInterface(),
                      iface ? iface->text(QAccessible::Name) : QString()});
}

class DesktopTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        ASSERT_TRUE(Start());
        events.clear();
        QAccessible::installUpdateHandler(Record);
        // What a screen reader's presence does: from now on Qt reports accessibility events.
        QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(true);
    }
    void TearDown() override {
        QAccessible::installUpdateHandler(nullptr);
        AppTest::TearDown();
    }
    // Speech, so the meters move as they do with a real book.
    void playSpeech() {
        fs::create_directory(media.file("book"));
        const std::string wav = media.file("book/speech.wav");
        run("espeak-ng -v ru -s 140 -w " + shellQuote(wav) +
            " 'Все счастливые семьи похожи друг на друга, каждая несчастливая семья несчастлива "
            "по-своему. Всё смешалось в доме Облонских. Жена узнала, что муж был в связи с гувернанткой.'");
        player->addFolder(wav);
        ASSERT_NE(app.currentStream, 0u);
    }
    QAccessibleInterface* accessible(QObject* object) { return QAccessible::queryAccessibleInterface(object); }
};

TEST_F(DesktopTest, QtTextsAreRussian) {
    for (auto* scroll : w->bookTabs()->findChildren<QToolButton*>())
        EXPECT_TRUE(IsRussian(scroll->accessibleName())) << scroll->accessibleName().toStdString();
    QFileDialog dialog(w);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    const auto buttons = dialog.findChild<QDialogButtonBox*>()->buttons();
    ASSERT_FALSE(buttons.isEmpty());
    for (auto* button : buttons)
        EXPECT_TRUE(IsRussian(button->text())) << button->text().toStdString();
}

TEST_F(DesktopTest, AllFiveBooksAndTheWidestStatusTextsAreInView) {
    QTabBar* tabs = w->bookTabs();
    ASSERT_EQ(tabs->count(), 5);
    const int padding = tabs->style()->pixelMetric(QStyle::PM_TabBarTabHSpace, nullptr, tabs);
    for (int i = 0; i < tabs->count(); ++i) {
        EXPECT_TRUE(tabs->rect().contains(tabs->tabRect(i))) << i;
        EXPECT_LE(tabs->fontMetrics().horizontalAdvance(tabs->tabText(i)) + padding, tabs->tabRect(i).width()) << i;
    }
    for (auto* scroll : tabs->findChildren<QToolButton*>())
        EXPECT_FALSE(scroll->isVisible());

    // The longest texts each part is given, built by hand from the formats that fill it.
    const std::pair<int, const char*> widest[] = {
        {0, "   Всего в списке: 10000"}, {0, "Выключение:   59:59"},
        {1, " Стерео  192.0 kHz   1411 Kbs     9999.99 Mb"}, {1, " Моно     192.0 kHz   1411 Kbs     9999.99 Mb"},
        {2, "Время звучания: 99:59:59"}, {3, "99:59:59"}};
    auto* status = w->findChild<StatusLine*>();
    for (const auto& [part, text] : widest) {
        QLabel* label = status->part(part);
        EXPECT_LE(label->fontMetrics().horizontalAdvance(QString::fromUtf8(text)),
                  label->contentsRect().width() - label->indent()) << text;
        EXPECT_LE(label->geometry().right(), status->width()) << part;
    }
}

TEST_F(DesktopTest, KeysSwitchBooksAsATabClickDoes) {
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    const struct {
        Qt::Key key;
        Qt::KeyboardModifier modifier;
        int book;
    } steps[] = {{Qt::Key_3, Qt::AltModifier, 2},      {Qt::Key_PageDown, Qt::ControlModifier, 3},
                 {Qt::Key_PageUp, Qt::ControlModifier, 2}, {Qt::Key_5, Qt::AltModifier, 4},
                 {Qt::Key_PageDown, Qt::ControlModifier, 4}, {Qt::Key_1, Qt::AltModifier, 0},
                 {Qt::Key_PageUp, Qt::ControlModifier, 0},   {Qt::Key_2, Qt::AltModifier, 1}};
    for (const auto& step : steps) {
        QTest::keyClick(w->trackList(), step.key, step.modifier);
        EXPECT_EQ(w->bookTabs()->currentIndex(), step.book) << step.key;
        EXPECT_EQ(app.settings.currentBook, step.book) << step.key;
    }
}

TEST_F(DesktopTest, TextsAreAnnouncedOncePerChangeMetersSendNoValuesAndButtonsSayWhatTheyDo) {
    playSpeech();
    QLabel* time = w->findChild<StatusLine*>()->part(3);
    int meterChanges = 0;
    QObject::connect(w->meter(ids::LeftMeter), &QProgressBar::valueChanged, [&] { ++meterChanges; });
    Pump(2500);
    // The title line and the status parts are read by their text.
    for (QLabel* label : std::initializer_list<QLabel*>{w->titleLine(), w->findChild<StatusLine*>()->part(1), time}) {
        ASSERT_FALSE(label->text().isEmpty());
        EXPECT_EQ(accessible(label)->text(QAccessible::Name), label->text());
    }
    QStringList announced;
    for (const auto& e : events) {
        if (e.object == time && e.type == QAccessible::NameChanged)
            announced << e.name;
        const bool meter = e.object == w->meter(ids::LeftMeter) || e.object == w->meter(ids::RightMeter);
        EXPECT_FALSE(meter && e.type == QAccessible::ValueChanged && e.hasValue);
    }
    ASSERT_GE(announced.size(), 2);
    for (int i = 1; i < announced.size(); ++i)
        EXPECT_NE(announced[i], announced[i - 1]);
    EXPECT_EQ(announced.last(), time->text());
    EXPECT_GE(meterChanges, 3);
    EXPECT_EQ(accessible(w->meter(ids::LeftMeter))->valueInterface(), nullptr);

    // Play/Pause says which it is now, and says so when it changes.
    QPushButton* playPause = w->button(ids::PlayPauseButton);
    const QString playing = accessible(playPause)->text(QAccessible::Name);
    player->command(ids::PlayPauseButton);
    const QString paused = accessible(playPause)->text(QAccessible::Name);
    EXPECT_NE(playing, paused);
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const AccessibleEvent& e) {
        return e.object == playPause && e.type == QAccessible::NameChanged && e.name == paused;
    }));
    // Each transport button is named by its tip and drawn differently when Tab reaches it.
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    w->trackList()->setFocus();
    for (int id : {ids::FirstButton, ids::PreviousButton, ids::PlayPauseButton, ids::NextButton, ids::LastButton}) {
        QPushButton* button = w->button(id);
        EXPECT_FALSE(button->toolTip().isEmpty()) << id;
        EXPECT_EQ(button->toolTip(), accessible(button)->text(QAccessible::Name)) << id;
        const QImage unfocused = button->grab().toImage();
        for (int presses = 0; presses < 30 && QApplication::focusWidget() != button; ++presses)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), button) << id;
        EXPECT_NE(button->grab().toImage(), unfocused) << id;
    }
}

TEST_F(DesktopTest, SlidersReadInTheListenersUnitsGrowingUpward) {
    w->setSliderRange(ids::PositionSlider, 0, 4000);
    const struct {
        int id, position, value, low, high;
        const char* text;
    } rows[] = {{ids::EqBand100, 4, 6, -10, 10, "+6 dB"},   {ids::EqBand12k, 20, -10, -10, 10, "-10 dB"},
                {ids::ReverbSlider, 10, 0, -10, 10, "0"},   {ids::VolumeSlider, 10, 90, 0, 100, "90%"},
                {ids::PositionSlider, 3725, 3725, 0, 4000, "1:02:05"}};
    for (const auto& row : rows) {
        w->setSliderPosition(row.id, row.position);
        QAccessibleInterface* iface = accessible(w->slider(row.id));
        QAccessibleValueInterface* value = iface->valueInterface();
        ASSERT_NE(value, nullptr) << row.id;
        EXPECT_EQ(value->currentValue().toInt(), row.value) << row.id;
        EXPECT_EQ(value->minimumValue().toInt(), row.low) << row.id;
        EXPECT_EQ(value->maximumValue().toInt(), row.high) << row.id;
        EXPECT_EQ(iface->text(QAccessible::Value), QString::fromUtf8(row.text)) << row.id;

        // One step up from the reader moves the slider as the listener would.
        value->setCurrentValue(row.value + 1);
        const bool vertical = w->slider(row.id)->orientation() == Qt::Vertical;
        EXPECT_EQ(w->slider(row.id)->value(), row.position + (vertical ? -1 : 1)) << row.id;
        if (vertical) {
            EXPECT_EQ(w->slider(row.id)->toolTip(), iface->text(QAccessible::Value)) << row.id;
        }
    }
}

TEST_F(DesktopTest, MinimisedWindowKeepsThePlaceButDrawsNothing) {
    playSpeech();
    Pump(300);
    w->showMinimized();
    Pump(200);
    const QString shownTime = w->statusText(3);
    const int slider = w->slider(ids::PositionSlider)->value();
    const std::int64_t place = app.bookRecord.position;
    struct PaintCounter : QObject {
        MainWindow* window;
        int paints = 0;
        bool eventFilter(QObject* target, QEvent* event) override {
            paints += event->type() == QEvent::Paint && target->isWidgetType() &&
                      static_cast<QWidget*>(target)->window() == window;
            return false;
        }
    } counter;
    counter.window = w;
    qApp->installEventFilter(&counter);
    // 1.5 s of sound at the stream's own byte rate moves the recorded place.
    const double bytesPerSecond = BASS_ChannelSeconds2Bytes(app.currentStream, 1.0);
    EXPECT_TRUE(PumpUntil([&] { return app.bookRecord.position > place + 1.5 * bytesPerSecond; }));
    qApp->removeEventFilter(&counter);
    EXPECT_EQ(counter.paints, 0);
    EXPECT_EQ(w->statusText(3), shownTime);
    EXPECT_EQ(w->slider(ids::PositionSlider)->value(), slider);

    w->showNormal();
    EXPECT_TRUE(PumpUntil([&] { return w->statusText(3) != shownTime; }));
    EXPECT_GT(w->slider(ids::PositionSlider)->value(), slider);
}

} // namespace
