// The main window: its controls by identifier and where they can be reached, and what its
// sliders report as the listener moves them.
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabBar>
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

TEST_F(MainWindowTest, SliderKeysDragsAndGrooveClicksReportEveryMoveWithTheValueInPlace)
{
    // A volume drag reports every move and the release once more.
    TickSlider* volume = sliderAt(ids::VolumeSlider, 100, 50);
    QSignalSpy effect(&window, &MainWindow::effectSliderMoved);
    dragThumb(volume, {30, 10});
    ASSERT_EQ(effect.count(), 3);
    for (const auto& call : effect)
        EXPECT_EQ(call[0].toInt(), 4);

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
}

// The window's size is fixed: all five book tabs fit its row whatever interface font the
// desktop gives them (9 to 11 pt), with the real fonts, and nothing offers to resize it.
TEST_F(MainWindowTest, AllBookTabsFitTheFixedWindowThatOffersNoResizing)
{
    QTabBar* tabs = window.bookTabs();
    for (int points : {9, 10, 11}) {
        tabs->setFont(QFont(QStringLiteral("DejaVu Sans"), points));
        for (int i = 0; i < tabs->count(); ++i) {
            const QRect tab = tabs->tabRect(i);
            EXPECT_TRUE(tab.left() >= 0 && tab.right() < tabs->width()) << points << " pt, tab " << i;
            EXPECT_EQ(tabs->tabText(i), QStringLiteral("Книга  %1").arg(i + 1));
        }
    }
    EXPECT_FALSE(window.statusBar()->isSizeGripEnabled());
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
}

} // namespace
