// The player on a Linux desktop, through the real window and engine: Qt's own texts in
// Russian, every book tab and status text in view, books and transport buttons reached from
// the keyboard, and a minimised window that keeps its books' places without drawing.
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QRegularExpression>
#include <QStyle>
#include <QToolButton>

#include "support/qt/app_test.h"
#include "ui/controls.h"

using namespace testsupport;

namespace {

bool IsRussian(const QString& text) {
    static const QRegularExpression cyrillic(QStringLiteral("[\\x{0400}-\\x{04FF}]"));
    return text.contains(cyrillic);
}

class DesktopTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        ASSERT_TRUE(Start());
    }
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
        {0, "   Всего в списке: 10000"}, {0, "Выключение:  99:59:59"}, {0, "До конца главы:  9:59:59"},
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

TEST_F(DesktopTest, KeysSwitchBooksAsATabClickDoesAndTabShowsEachTransportButton) {
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
    // Each icon-only button has its tip, and looks different once Tab reaches it.
    w->trackList()->setFocus();
    for (int id : {ids::FirstButton, ids::PreviousButton, ids::PlayPauseButton, ids::NextButton, ids::LastButton}) {
        QPushButton* button = w->button(id);
        EXPECT_FALSE(button->toolTip().isEmpty()) << id;
        const QImage unfocused = button->grab().toImage();
        for (int presses = 0; presses < 30 && QApplication::focusWidget() != button; ++presses)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), button) << id;
        EXPECT_NE(button->grab().toImage(), unfocused) << id;
    }
}

TEST_F(DesktopTest, MinimisedWindowKeepsThePlaceButDrawsNothing) {
    makeTone(media.file("book.wav"), 440, 10, 44100, 2, "-af tremolo=f=3:d=0.9"); // a level that moves the meters
    player->addFolder(media.file("book.wav"));
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
