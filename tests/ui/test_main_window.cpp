// The main window: its controls by identifier and where they can be reached, and which
// signals the listener's actions and the program's own changes raise.
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>

#include "tests/ui/qt_test_support.h"
#include "ui/control_ids.h"
#include "ui/controls.h"
#include "ui/main_window.h"

namespace {

const QList<int> kTransport = {ids::FirstButton, ids::PreviousButton, ids::PlayPauseButton, ids::NextButton, ids::LastButton};
const QList<int> kVerticalSliders = {ids::EqBand100, ids::EqBand3k, ids::EqBand12k, ids::ReverbSlider, ids::VolumeSlider};
// The controls on the client area, by kind.
const std::pair<const char*, QList<int>> kClientControls[] = {
    {"QPushButton", kTransport + QList<int>{ids::AddFolderButton}},
    {"QSlider", kVerticalSliders + QList<int>{ids::PositionSlider}},
    {"QProgressBar", {ids::LeftMeter, ids::RightMeter}}, {"QLabel", {ids::TitleLine, ids::CaptionLine}},
    {"QListWidget", {ids::TrackList}}, {"QTabBar", {ids::BookTabs}}};

QList<int> FirstArguments(const QSignalSpy& spy)
{
    QList<int> values;
    for (const auto& call : spy)
        values << call[0].toInt();
    return values;
}

// Spies on every signal the window raises.
struct AllSignals {
    explicit AllSignals(MainWindow& w)
        : command(&w, &MainWindow::commandTriggered), effect(&w, &MainWindow::effectSliderMoved),
          close(&w, &MainWindow::closeRequested), others{{&w, &MainWindow::trackRowChosen},
          {&w, &MainWindow::bookTabChosen}, {&w, &MainWindow::positionSliderMoved}} {}
    qsizetype total() const { return command.size() + effect.size() + close.size() + others[0].size() + others[1].size() + others[2].size(); }
    QSignalSpy command, effect, close, others[3];
};

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int row = 0; row < 30; ++row)
            window.trackList()->addItem(QStringLiteral("track %1.mp3").arg(row));
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    template <typename T = QWidget>
    T* control(int id) { return window.findChild<T*>(QString::number(id)); }
    QRect rectOf(int id) { return control(id)->geometry(); }

    TickSlider* sliderAt(int id, int maximum, int position)
    {
        window.setSliderRange(id, 0, maximum), window.setSliderPosition(id, position);
        return control<TickSlider>(id);
    }

    // Presses the thumb, moves it through the given values and releases it.
    static void dragThumb(TickSlider* slider, const QList<int>& values)
    {
        QPoint at = slider->handleRect().center();
        QTest::mousePress(slider, Qt::LeftButton, {}, at);
        for (int target : values) {
            at += slider->handleRectAt(target).center() - slider->handleRectAt(slider->sliderPosition()).center();
            QMouseEvent move(QEvent::MouseMove, at, slider->mapToGlobal(at), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(slider, &move);
        }
        QTest::mouseRelease(slider, Qt::LeftButton, {}, at);
    }

    MainWindow window;
};

TEST_F(MainWindowTest, EveryControlIsFoundByItsIdentifierAndReachableWhereItIsDrawn)
{
    QList<int> all;
    for (const auto& [className, idsOfKind] : kClientControls)
        for (int id : idsOfKind) {
            QWidget* widget = control(id);
            ASSERT_NE(widget, nullptr) << id;
            EXPECT_TRUE(widget->inherits(className) && widget->isVisible()) << id;
            all << id;
        }
    for (int a : all) {
        for (int b : all)
            EXPECT_TRUE(a == b || !rectOf(a).intersects(rectOf(b))) << a << " overlaps " << b;
        // A click at its centre reaches the control, not a frame above it.
        QWidget* hit = window.centralWidget()->childAt(rectOf(a).center());
        EXPECT_TRUE(hit && (hit == control(a) || control(a)->isAncestorOf(hit))) << a;
    }
}

// A click on a row reports it (tab clicks and keys are the books' tests' own).
TEST_F(MainWindowTest, RowClickReportsTheRow)
{
    QSignalSpy rows(&window, &MainWindow::trackRowChosen);
    QListWidget* list = window.trackList();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(2)).center());
    EXPECT_EQ(FirstArguments(rows), QList<int>{2});
}

TEST_F(MainWindowTest, SliderKeysDragsAndGrooveClicksReportEveryMoveWithTheValueInPlace)
{
    // A volume drag reports every move and the release once more.
    TickSlider* volume = sliderAt(ids::VolumeSlider, 100, 50);
    AllSignals spies(window);
    dragThumb(volume, {30, 10});
    EXPECT_EQ(FirstArguments(spies.effect), (QList<int>{4, 4, 4}));

    // The position slider seeks on a key and every move (a drag shows the value in a tip), not on release.
    TickSlider* position = sliderAt(ids::PositionSlider, 600, 300);
    QList<int> values;
    QStringList tips;
    QObject::connect(&window, &MainWindow::positionSliderMoved, position, [&](int value) {
        EXPECT_EQ(value, position->value());
        values << value;
        tips << (QToolTip::isVisible() ? QToolTip::text() : QString());
    });
    // A page is a fifth of the range.
    QTest::keyClick(position, Qt::Key_PageDown);
    EXPECT_EQ(values, QList<int>{300 - 120});
    values.clear();
    window.setSliderPosition(ids::PositionSlider, 0);
    dragThumb(position, {150, 300, 450});
    ASSERT_EQ(values.size(), 3);
    EXPECT_TRUE(values[0] < values[1] && values[1] < values[2]);
    EXPECT_NEAR(values[2], 450, 600 / position->width() + 10);
    EXPECT_EQ(tips.last(), QString::number(values[2]));
    QTest::mouseClick(position, Qt::LeftButton, {}, QPoint(position->width() - 3, position->height() / 2));
    ASSERT_EQ(values.size(), 4);
    EXPECT_GT(values[3], values[2]);
    EXPECT_EQ(spies.total(), 3 + 1 + 4);
}

// Enter and Escape raise nothing, on a selected row either (the program's other changes are the
// app tests' to hear); only the window's close asks.
TEST_F(MainWindowTest, EnterAndEscapeRaiseNothingAndCloseAsks)
{
    AllSignals spies(window);
    window.selectRow(1);
    for (QWidget* target : {static_cast<QWidget*>(&window), control(ids::NextButton), control(ids::AddFolderButton),
                            control(ids::TrackList)}) {
        target->setFocus();
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
            QTest::keyClick(target, key);
    }
    EXPECT_EQ(spies.total(), 0);
    EXPECT_FALSE(window.close()) << "the program decides whether to close";
    EXPECT_EQ(spies.close.count(), 1);
    EXPECT_EQ(spies.total(), 1);
}

} // namespace
