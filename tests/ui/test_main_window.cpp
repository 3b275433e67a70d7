// The main window: its controls by identifier, their layout, fonts, menu and status line,
// and which signals the listener's actions and the program's own changes raise.
#include <cmath>

#include <QAction>
#include <QFontDatabase>
#include <QGroupBox>
#include <QListWidget>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSizeGrip>
#include <QTabBar>
#include <QTest>
#include <QToolTip>

#include "tests/ui/qt_test_support.h"
#include "ui/control_ids.h"
#include "ui/controls.h"
#include "ui/icons.h"
#include "ui/main_window.h"

namespace {

// Pixels of one em for a font of the given point size on this screen.
int EmPixels(int points)
{
    return static_cast<int>(
        std::lround(points * QGuiApplication::primaryScreen()->logicalDotsPerInchY() / 72.0));
}

// Dialog units of the 9 pt dialog font, measured here from the font itself.
struct Units {
    double x;
    double y;
};

Units DialogFontUnits()
{
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(EmPixels(9));
    const QFontMetrics metrics(font);
    int letters = 0;
    for (char c = 'A'; c <= 'Z'; ++c)
        letters += metrics.horizontalAdvance(QChar(c)) + metrics.horizontalAdvance(QChar(c + 32));
    const double average = std::round(letters / 52.0);
    return Units{average / 4.0, metrics.height() / 8.0};
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    template <typename T>
    T* control(int id)
    {
        return window.findChild<T*>(QString::number(id));
    }
    TickSlider* tickSlider(int id) { return control<TickSlider>(id); }
    QRect rectOf(int id) { return control<QWidget>(id)->geometry(); }

    void fillList(int rows)
    {
        for (int i = 0; i < rows; ++i)
            window.trackList()->addItem(QStringLiteral("track %1.mp3").arg(i));
    }

    // Presses the thumb, moves it through the given values and releases it.
    void dragThumb(TickSlider* slider, const QList<int>& values)
    {
        const QPoint start = slider->handleRect().center();
        QTest::mousePress(slider, Qt::LeftButton, {}, start);
        for (int target : values) {
            const QPoint offset = slider->handleRectAt(target).center() -
                                  slider->handleRectAt(slider->sliderPosition()).center();
            const QPoint to = lastMousePos(slider, start) + offset;
            QMouseEvent move(QEvent::MouseMove, to, slider->mapToGlobal(to), Qt::NoButton,
                             Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(slider, &move);
            lastPos_ = to;
        }
        QTest::mouseRelease(slider, Qt::LeftButton, {}, lastMousePos(slider, start));
        lastPos_.reset();
    }

    QPoint lastMousePos(TickSlider*, QPoint start) const { return lastPos_.value_or(start); }

    MainWindow window;
    std::optional<QPoint> lastPos_;
};

struct ControlKind {
    int id;
    const char* className;
};

TEST_F(MainWindowTest, EveryControlIsFoundByItsIdentifierWithItsKind)
{
    const ControlKind kinds[] = {
        {ids::TrackList, "QListWidget"},      {ids::AddFolderButton, "QPushButton"},
        {ids::NextButton, "QPushButton"},     {ids::PlayPauseButton, "QPushButton"},
        {ids::VolumeSlider, "QSlider"},       {ids::PositionSlider, "QSlider"},
        {ids::LeftMeter, "QProgressBar"},     {ids::RightMeter, "QProgressBar"},
        {ids::TitleLine, "QLabel"},           {ids::BookTabs, "QTabBar"},
        {ids::PreviousButton, "QPushButton"}, {ids::EqBand100, "QSlider"},
        {ids::EqBand3k, "QSlider"},           {ids::EqBand12k, "QSlider"},
        {ids::ReverbSlider, "QSlider"},       {ids::CaptionLine, "QLabel"},
        {ids::FirstButton, "QPushButton"},    {ids::LastButton, "QPushButton"},
        {ids::StatusBar, "QStatusBar"},       {ids::MainMenu, "QMenuBar"},
    };
    for (const ControlKind& kind : kinds) {
        QWidget* widget = control<QWidget>(kind.id);
        ASSERT_NE(widget, nullptr) << kind.id;
        EXPECT_TRUE(widget->inherits(kind.className)) << kind.id;
        EXPECT_TRUE(widget->isVisible()) << kind.id;
        EXPECT_FALSE(widget->accessibleName().isEmpty()) << kind.id;
    }
    EXPECT_EQ(window.trackList(), control<QListWidget>(ids::TrackList));
    EXPECT_EQ(window.bookTabs(), control<QTabBar>(ids::BookTabs));
    EXPECT_EQ(window.titleLine(), control<QLabel>(ids::TitleLine));
    EXPECT_EQ(window.meter(ids::LeftMeter), control<QProgressBar>(ids::LeftMeter));
    EXPECT_EQ(window.slider(ids::PositionSlider), control<QSlider>(ids::PositionSlider));
    EXPECT_EQ(window.button(ids::FirstButton), control<QPushButton>(ids::FirstButton));
}

TEST_F(MainWindowTest, WindowIsFixedSizeWithTemplateCaptionAndIcon)
{
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Tellwick v.0.1"));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window.windowIcon().isNull());

    const Units units = DialogFontUnits();
    const QSize client = window.centralWidget()->size();
    EXPECT_NEAR(client.width(), 315 * units.x, 1.0);
    EXPECT_NEAR(client.height(), 197 * units.y, 1.0);

    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    // The frame may add a few pixels that are unknown before the window first shows.
    EXPECT_LE(std::abs(window.frameGeometry().center().x() - screen.center().x()), 4);
    EXPECT_LE(std::abs(window.frameGeometry().center().y() - screen.center().y()), 4);
}

TEST_F(MainWindowTest, ControlsStandAtTheirDialogUnitRectangles)
{
    const Units units = DialogFontUnits();
    struct Placed {
        int id;
        int x, y, width, height;
    };
    const Placed placed[] = {
        {ids::TrackList, 12, 42, 150, 130},    {ids::AddFolderButton, 180, 24, 126, 12},
        {ids::PositionSlider, 174, 68, 138, 24}, {ids::VolumeSlider, 282, 120, 24, 49},
        {ids::TitleLine, 6, 6, 306, 10},       {ids::CaptionLine, 178, 170, 130, 10},
        {ids::LeftMeter, 180, 45, 126, 4},     {ids::NextButton, 254, 100, 24, 18},
    };
    for (const Placed& p : placed) {
        const QRect r = rectOf(p.id);
        EXPECT_NEAR(r.x(), p.x * units.x, 1.0) << p.id;
        EXPECT_NEAR(r.y(), p.y * units.y, 1.0) << p.id;
        EXPECT_NEAR(r.width(), p.width * units.x, 1.0) << p.id;
        EXPECT_NEAR(r.height(), p.height * units.y, 1.0) << p.id;
    }
}

TEST_F(MainWindowTest, TransportButtonsFormOneRowAboveTheSliders)
{
    const int row[] = {ids::FirstButton, ids::PreviousButton, ids::PlayPauseButton,
                       ids::NextButton, ids::LastButton};
    for (int i = 1; i < 5; ++i) {
        EXPECT_EQ(rectOf(row[i]).top(), rectOf(row[0]).top());
        EXPECT_EQ(rectOf(row[i]).left(), rectOf(row[i - 1]).right() + 1) << row[i];
    }
    const int sliders[] = {ids::EqBand100, ids::EqBand3k, ids::EqBand12k, ids::ReverbSlider,
                           ids::VolumeSlider};
    for (int i = 0; i < 5; ++i) {
        EXPECT_GT(rectOf(sliders[i]).top(), rectOf(ids::FirstButton).bottom());
        EXPECT_LT(rectOf(sliders[i]).bottom(), rectOf(ids::CaptionLine).top() + 1);
        if (i > 0) {
            EXPECT_GT(rectOf(sliders[i]).left(), rectOf(sliders[i - 1]).right());
        }
        auto* slider = window.slider(sliders[i]);
        EXPECT_EQ(slider->orientation(), Qt::Vertical);
        EXPECT_EQ(slider->tickPosition(), QSlider::TicksBothSides);
    }
    EXPECT_EQ(window.slider(ids::PositionSlider)->orientation(), Qt::Horizontal);
    EXPECT_EQ(window.slider(ids::PositionSlider)->tickPosition(), QSlider::TicksBothSides);
}

TEST_F(MainWindowTest, NoTwoControlsOverlapAndFramesLieBeneath)
{
    const int all[] = {ids::TrackList,  ids::AddFolderButton, ids::NextButton,
                       ids::PlayPauseButton, ids::VolumeSlider, ids::PositionSlider,
                       ids::LeftMeter, ids::RightMeter, ids::TitleLine,
                       ids::BookTabs,  ids::PreviousButton, ids::EqBand100,
                       ids::EqBand3k,  ids::EqBand12k, ids::ReverbSlider,
                       ids::CaptionLine, ids::FirstButton, ids::LastButton};
    for (int a : all)
        for (int b : all)
            if (a < b) {
                EXPECT_FALSE(rectOf(a).intersects(rectOf(b))) << a << " overlaps " << b;
            }

    // A click at the centre of every control reaches that control, not a frame above it.
    QWidget* client = window.centralWidget();
    for (int id : all) {
        QWidget* hit = client->childAt(rectOf(id).center());
        ASSERT_NE(hit, nullptr) << id;
        EXPECT_TRUE(hit == control<QWidget>(id) || control<QWidget>(id)->isAncestorOf(hit)) << id;
    }
    EXPECT_EQ(client->findChildren<QGroupBox*>().size(), 2);
    for (QGroupBox* box : client->findChildren<QGroupBox*>())
        EXPECT_TRUE(box->title().isEmpty());
}

TEST_F(MainWindowTest, TrackListLiesInsideTheTabPageBelowTheTabs)
{
    const QRect list = rectOf(ids::TrackList);
    const QRect tabs = rectOf(ids::BookTabs);
    const Units units = DialogFontUnits();
    const QRectF tabArea(6 * units.x, 24 * units.y, 165 * units.x, 156 * units.y);
    EXPECT_TRUE(tabArea.adjusted(-1, -1, 1, 1).contains(QRectF(tabs)));
    EXPECT_TRUE(tabArea.contains(QRectF(list)));
    EXPECT_GT(list.top(), tabs.bottom());
    EXPECT_TRUE(window.findChild<TabPane*>()->geometry().contains(list));
}

TEST_F(MainWindowTest, FontsFollowTheirControls)
{
    const QFont list = window.trackList()->font();
    EXPECT_EQ(list.family(), QStringLiteral("Arial"));
    EXPECT_EQ(list.pixelSize(), EmPixels(9));
    EXPECT_FALSE(list.bold());

    const QFont title = window.titleLine()->font();
    EXPECT_EQ(title.family(), QStringLiteral("Arial"));
    EXPECT_EQ(title.pixelSize(), EmPixels(9));
    EXPECT_TRUE(title.bold());
    EXPECT_TRUE(title.italic());

    const QFont caption = control<QLabel>(ids::CaptionLine)->font();
    EXPECT_EQ(caption.family(), QStringLiteral("Corbel"));
    EXPECT_EQ(caption.pixelSize(), EmPixels(9));

    const QFont status = control<QWidget>(ids::StatusBar)->font();
    EXPECT_EQ(status.family(), QStringLiteral("Tahoma"));
    EXPECT_EQ(status.pixelSize(), EmPixels(8));

    for (int id : {ids::AddFolderButton, ids::VolumeSlider, ids::PlayPauseButton}) {
        EXPECT_EQ(control<QWidget>(id)->font().family(), QStringLiteral("Tahoma")) << id;
        EXPECT_EQ(control<QWidget>(id)->font().pixelSize(), EmPixels(9)) << id;
    }
    EXPECT_EQ(window.bookTabs()->font(), QFontDatabase::systemFont(QFontDatabase::GeneralFont));
}

TEST_F(MainWindowTest, StartsWithTheTemplateContents)
{
    EXPECT_EQ(control<QPushButton>(ids::AddFolderButton)->text(),
              QStringLiteral("&Добавить папку"));
    EXPECT_EQ(control<QLabel>(ids::CaptionLine)->text(),
              QStringLiteral(" 100 Гц\t3 кГц      12 кГц      Реверб.  Громкость"));
    EXPECT_TRUE(window.titleLine()->text().isEmpty());
    EXPECT_EQ(window.trackList()->count(), 0);
    EXPECT_EQ(window.trackList()->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_FALSE(window.trackList()->isSortingEnabled());
    for (int id : {ids::LeftMeter, ids::RightMeter}) {
        EXPECT_EQ(window.meter(id)->value(), 0);
        EXPECT_FALSE(window.meter(id)->isTextVisible());
    }
    for (int part = 0; part < 4; ++part)
        EXPECT_TRUE(window.statusText(part).isEmpty());

    for (int id : {ids::PlayPauseButton, ids::NextButton, ids::PreviousButton,
                   ids::FirstButton, ids::LastButton}) {
        QPushButton* button = window.button(id);
        EXPECT_TRUE(button->text().isEmpty()) << id;
        EXPECT_TRUE(button->isFlat()) << id;
        EXPECT_EQ(button->iconSize(), QSize(24, 24)) << id;
        EXPECT_FALSE(button->icon().isNull()) << id;
    }
    EXPECT_EQ(window.button(ids::PlayPauseButton)->property("iconId").toInt(), ids::IconPause);
    for (QPushButton* button : window.findChildren<QPushButton*>()) {
        EXPECT_FALSE(button->isDefault());
        EXPECT_FALSE(button->autoDefault());
    }
}

TEST_F(MainWindowTest, CaptionTabExpandsToEightAverageCharacterWidths)
{
    auto* caption = window.findChild<TabExpandingLabel*>(QString::number(ids::CaptionLine));
    ASSERT_NE(caption, nullptr);
    const QFontMetrics metrics(caption->font());
    const double letters =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ")) +
        metrics.horizontalAdvance(QStringLiteral("abcdefghijklmnopqrstuvwxyz"));
    EXPECT_NEAR(caption->tabStopDistance(), 8 * letters / 52.0, 8.0);

    // The drawn text differs from the same text with the tab shown as one space.
    const QImage withTab = caption->grab().toImage();
    const QString text = caption->text();
    caption->setText(QString(text).replace(QLatin1Char('\t'), QLatin1Char(' ')));
    const QImage withSpace = caption->grab().toImage();
    caption->setText(text);
    EXPECT_NE(withTab, withSpace);
}

TEST_F(MainWindowTest, BookTabsAreLabelledWithTwoSpaces)
{
    QTabBar* tabs = window.bookTabs();
    ASSERT_EQ(tabs->count(), 5);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(tabs->tabText(i), QStringLiteral("Книга  ") + QString::number(i + 1));
    EXPECT_EQ(tabs->currentIndex(), 0);

    window.setTabLabel(2, QStringLiteral("A"));
    EXPECT_EQ(tabs->tabText(2), QStringLiteral("A"));
    EXPECT_GE(tabs->tabRect(2).width(), 50);
    EXPECT_EQ(tabs->tabRect(2).top(), tabs->tabRect(0).top()); // a single row
}

TEST_F(MainWindowTest, MenuHoldsItsItemsWithIdentifiers)
{
    const QList<QAction*> tops = window.menuBar()->actions();
    ASSERT_EQ(tops.size(), 3);
    EXPECT_EQ(tops[0]->text(), QStringLiteral("&Файл"));
    EXPECT_EQ(tops[1]->text(), QStringLiteral("Настройки"));
    EXPECT_EQ(tops[2]->text(), QStringLiteral("Справка"));

    auto itemsOf = [](QAction* top) {
        QStringList items;
        for (QAction* a : top->menu()->actions())
            items << a->objectName() + QLatin1Char('=') + a->text();
        return items;
    };
    EXPECT_EQ(itemsOf(tops[0]), QStringList{QStringLiteral("1008=В&ыход")});
    EXPECT_EQ(itemsOf(tops[1]), (QStringList{QStringLiteral("1015=Добавить папку"),
                                             QStringLiteral("1026=Оставшееся время"),
                                             QStringLiteral("1031=Выключить через ...")}));
    EXPECT_EQ(itemsOf(tops[2]), QStringList{QStringLiteral("1024=О программе")});
    for (int id : {ids::MenuExit, ids::MenuAddFolder, ids::MenuRemainingTime,
                   ids::MenuSleepTimer, ids::MenuAbout})
        EXPECT_EQ(window.menuAction(id)->objectName(), QString::number(id));
    EXPECT_FALSE(window.remainingChecked());
}

TEST_F(MainWindowTest, StatusLineHasFourPartsAtTheirEdges)
{
    auto* status = window.findChild<StatusLine*>(QString::number(ids::StatusBar));
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->width(), window.width());
    EXPECT_EQ(status->geometry().bottom(), window.rect().bottom());
    const int rightEdges[] = {130, 348, 487, window.width()};
    int left = 0;
    for (int part = 0; part < 4; ++part) {
        const QRect r = status->part(part)->geometry();
        EXPECT_EQ(r.left(), left) << part;
        EXPECT_EQ(r.right() + 1, rightEdges[part]) << part;
        left = rightEdges[part];
    }
    EXPECT_NE(status->findChild<QSizeGrip*>(), nullptr);

    for (int part = 0; part < 4; ++part)
        window.setStatusText(part, QStringLiteral("part %1").arg(part));
    window.setStatusText(1, QStringLiteral("stereo 44 kHz"));
    EXPECT_EQ(window.statusText(0), QStringLiteral("part 0"));
    EXPECT_EQ(window.statusText(1), QStringLiteral("stereo 44 kHz"));
    EXPECT_EQ(window.statusText(3), QStringLiteral("part 3"));
    EXPECT_EQ(status->part(1)->text(), QStringLiteral("stereo 44 kHz"));
}

TEST_F(MainWindowTest, IconsAreDistinctPicturesOfTheirSizes)
{
    QList<QImage> pictures;
    for (int id : {ids::IconPlay, ids::IconPause, ids::IconNext, ids::IconPrevious,
                   ids::IconFirst, ids::IconLast}) {
        const QIcon icon = LoadIcon(id);
        ASSERT_FALSE(icon.isNull()) << id;
        const QImage image = icon.pixmap(24, 24).toImage();
        EXPECT_EQ(image.size(), QSize(24, 24)) << id;
        for (const QImage& other : pictures)
            EXPECT_NE(image, other) << id;
        pictures << image;
    }
    EXPECT_EQ(LoadIcon(ids::AppIcon).pixmap(48, 48).size(), QSize(48, 48));

    window.setPlayPauseIcon(ids::IconPlay);
    EXPECT_EQ(window.button(ids::PlayPauseButton)->property("iconId").toInt(), ids::IconPlay);
    EXPECT_EQ(window.button(ids::PlayPauseButton)->icon().pixmap(24, 24).toImage(),
              LoadIcon(ids::IconPlay).pixmap(24, 24).toImage());
}

// Spies on every signal the window raises.
struct AllSignals {
    explicit AllSignals(MainWindow& w)
        : command(&w, &MainWindow::commandTriggered), row(&w, &MainWindow::trackRowChosen),
          tab(&w, &MainWindow::bookTabChosen), position(&w, &MainWindow::positionSliderMoved),
          effect(&w, &MainWindow::effectSliderMoved), close(&w, &MainWindow::closeRequested)
    {
    }
    qsizetype total() const
    {
        return command.count() + row.count() + tab.count() + position.count() +
               effect.count() + close.count();
    }
    QSignalSpy command, row, tab, position, effect, close;
};

TEST_F(MainWindowTest, ProgrammaticChangesRaiseNoSignal)
{
    fillList(10);
    AllSignals spies(window);
    window.selectRow(3);
    EXPECT_EQ(window.trackList()->currentRow(), 3);
    window.selectRow(-1);
    EXPECT_TRUE(window.trackList()->selectedItems().isEmpty());
    window.selectRow(7);
    window.selectTab(4);
    EXPECT_EQ(window.bookTabs()->currentIndex(), 4);
    window.setTabLabel(4, QStringLiteral("folder"));
    window.setSliderRange(ids::PositionSlider, 0, 500);
    window.setSliderPosition(ids::PositionSlider, 250);
    window.setPositionTicks({100, 200});
    for (int id = ids::EqBand100; id <= ids::VolumeSlider; ++id) {
        window.setSliderRange(id, 0, 20);
        window.setSliderPosition(id, 10 + id - ids::EqBand100);
    }
    window.setSliderRange(ids::VolumeSlider, 0, 5); // clamps the position
    window.setRemainingChecked(true);
    window.setPlayPauseIcon(ids::IconPlay);
    window.setTitleText(QStringLiteral("title"));
    window.setSliderToolTip(ids::EqBand100, QStringLiteral("+2 dB"));
    EXPECT_EQ(spies.total(), 0);
    EXPECT_EQ(window.slider(ids::PositionSlider)->value(), 250);
    EXPECT_EQ(window.slider(ids::ReverbSlider)->value(), 13);
    EXPECT_EQ(window.slider(ids::VolumeSlider)->value(), 5);
    EXPECT_EQ(window.slider(ids::EqBand100)->toolTip(), QStringLiteral("+2 dB"));
    EXPECT_EQ(tickSlider(ids::PositionSlider)->ticks(), (QList<int>{100, 200}));
    window.setPositionTicks({});
    EXPECT_TRUE(tickSlider(ids::PositionSlider)->ticks().isEmpty());
}

TEST_F(MainWindowTest, ListerChangingTheListSelectionReportsTheRow)
{
    fillList(30);
    window.selectRow(4);
    QSignalSpy rows(&window, &MainWindow::trackRowChosen);
    QListWidget* list = window.trackList();

    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Up);
    ASSERT_EQ(rows.count(), 3);
    EXPECT_EQ(rows[0][0].toInt(), 5);
    EXPECT_EQ(rows[1][0].toInt(), 6);
    EXPECT_EQ(rows[2][0].toInt(), 5);

    QTest::keyClick(list, Qt::Key_PageDown);
    ASSERT_EQ(rows.count(), 4);
    EXPECT_GT(rows[3][0].toInt(), 5);
    EXPECT_EQ(rows[3][0].toInt(), list->currentRow());

    const QRect row9 = list->visualItemRect(list->item(list->currentRow() - 1));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row9.center());
    ASSERT_EQ(rows.count(), 5);
    EXPECT_EQ(rows[4][0].toInt(), list->currentRow());
    EXPECT_EQ(list->selectedItems().size(), 1);
}

TEST_F(MainWindowTest, ClickingAnotherTabReportsItAndTheSelectedTabNothing)
{
    QTabBar* tabs = window.bookTabs();
    QSignalSpy chosen(&window, &MainWindow::bookTabChosen);
    ASSERT_TRUE(tabs->rect().contains(tabs->tabRect(1).center()));

    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(1).center());
    ASSERT_EQ(chosen.count(), 1);
    EXPECT_EQ(chosen[0][0].toInt(), 1);
    EXPECT_EQ(tabs->currentIndex(), 1);

    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(1).center());
    EXPECT_EQ(chosen.count(), 1);

    QTest::keyClick(tabs, Qt::Key_Left);
    ASSERT_EQ(chosen.count(), 2);
    EXPECT_EQ(chosen[1][0].toInt(), 0);
}

TEST_F(MainWindowTest, VerticalSliderKeysMoveTowardTheTopAndReportEachAction)
{
    window.setSliderRange(ids::EqBand3k, 0, 20);
    window.setSliderPosition(ids::EqBand3k, 10);
    TickSlider* slider = tickSlider(ids::EqBand3k);
    // Position 0 stands at the top.
    EXPECT_LT(slider->handleRectAt(0).center().y(), slider->handleRectAt(20).center().y());

    QSignalSpy effects(&window, &MainWindow::effectSliderMoved);
    QList<int> seen;
    QObject::connect(&window, &MainWindow::effectSliderMoved, slider,
                     [&] { seen << slider->value(); });
    const int pageStep = 20 / 5;
    QTest::keyClick(slider, Qt::Key_Up);
    QTest::keyClick(slider, Qt::Key_Down);
    QTest::keyClick(slider, Qt::Key_Down);
    QTest::keyClick(slider, Qt::Key_PageUp);
    QTest::keyClick(slider, Qt::Key_Home);
    QTest::keyClick(slider, Qt::Key_Home); // at the end already: still an action
    QTest::keyClick(slider, Qt::Key_End);
    QTest::keyClick(slider, Qt::Key_PageDown);
    EXPECT_EQ(seen, (QList<int>{9, 10, 11, 11 - pageStep, 0, 0, 20, 20}));
    ASSERT_EQ(effects.count(), seen.size());
    for (const auto& call : effects)
        EXPECT_EQ(call[0].toInt(), ids::EqBand3k - ids::EqBand100);
}

TEST_F(MainWindowTest, VerticalSliderDragReportsEveryMoveAndTheReleaseOnceMore)
{
    window.setSliderRange(ids::VolumeSlider, 0, 100);
    window.setSliderPosition(ids::VolumeSlider, 50);
    TickSlider* slider = tickSlider(ids::VolumeSlider);
    QSignalSpy effects(&window, &MainWindow::effectSliderMoved);

    dragThumb(slider, {30, 10});
    ASSERT_EQ(effects.count(), 3);
    for (const auto& call : effects)
        EXPECT_EQ(call[0].toInt(), 4);
    EXPECT_LT(slider->value(), 30);

    // A click on the groove below the thumb pages toward the bottom.
    effects.clear();
    const int before = slider->value();
    const QPoint below(slider->handleRect().center().x(), slider->height() - 2);
    QTest::mouseClick(slider, Qt::LeftButton, {}, below);
    EXPECT_GT(slider->value(), before);
    EXPECT_EQ(effects.count(), 1);
}

TEST_F(MainWindowTest, PositionDragSeeksOnEveryMoveButNotOnRelease)
{
    window.setSliderRange(ids::PositionSlider, 0, 600);
    window.setSliderPosition(ids::PositionSlider, 0);
    TickSlider* slider = tickSlider(ids::PositionSlider);
    QSignalSpy moved(&window, &MainWindow::positionSliderMoved);
    QList<int> valuesWhenReported;
    QStringList tips;
    QObject::connect(&window, &MainWindow::positionSliderMoved, slider, [&](int value) {
        valuesWhenReported << slider->value();
        tips << (QToolTip::isVisible() ? QToolTip::text() : QString());
        EXPECT_EQ(value, slider->value());
    });

    dragThumb(slider, {150, 300, 450});
    ASSERT_EQ(moved.count(), 3);
    EXPECT_LT(valuesWhenReported[0], valuesWhenReported[1]);
    EXPECT_LT(valuesWhenReported[1], valuesWhenReported[2]);
    EXPECT_NEAR(valuesWhenReported[2], 450, 600 / slider->width() + 10);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(tips[i], QString::number(valuesWhenReported[i]));
}

TEST_F(MainWindowTest, PositionKeysAndGrooveClicksSeekToTheNewValue)
{
    window.setSliderRange(ids::PositionSlider, 0, 600);
    window.setSliderPosition(ids::PositionSlider, 300);
    TickSlider* slider = tickSlider(ids::PositionSlider);
    QSignalSpy moved(&window, &MainWindow::positionSliderMoved);

    QTest::keyClick(slider, Qt::Key_Right);
    QTest::keyClick(slider, Qt::Key_Left);
    QTest::keyClick(slider, Qt::Key_Left);
    QTest::keyClick(slider, Qt::Key_PageDown);
    QTest::keyClick(slider, Qt::Key_PageUp);
    QTest::keyClick(slider, Qt::Key_Home);
    QTest::keyClick(slider, Qt::Key_End);
    QList<int> reported;
    for (const auto& call : moved)
        reported << call[0].toInt();
    const int page = 600 / 5;
    EXPECT_EQ(reported, (QList<int>{301, 300, 299, 299 - page, 299, 0, 600}));

    moved.clear();
    window.setSliderPosition(ids::PositionSlider, 300);
    QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(3, slider->height() / 2));
    ASSERT_EQ(moved.count(), 1);
    EXPECT_LT(moved[0][0].toInt(), 300);
    EXPECT_EQ(moved[0][0].toInt(), slider->value());
}

TEST_F(MainWindowTest, ButtonsAndMenuItemsReportTheirIdentifiers)
{
    QSignalSpy commands(&window, &MainWindow::commandTriggered);
    const int buttons[] = {ids::AddFolderButton, ids::PlayPauseButton, ids::NextButton,
                           ids::PreviousButton, ids::FirstButton, ids::LastButton};
    for (int id : buttons)
        QTest::mouseClick(window.button(id), Qt::LeftButton);
    const int items[] = {ids::MenuExit, ids::MenuAddFolder, ids::MenuRemainingTime,
                         ids::MenuSleepTimer, ids::MenuAbout};
    for (int id : items)
        window.menuAction(id)->trigger();
    QList<int> reported;
    for (const auto& call : commands)
        reported << call[0].toInt();
    QList<int> expected(std::begin(buttons), std::end(buttons));
    expected.append(QList<int>(std::begin(items), std::end(items)));
    EXPECT_EQ(reported, expected);
}

TEST_F(MainWindowTest, RemainingTimeCheckMarkChangesOnlyThroughTheProgram)
{
    QAction* remaining = window.menuAction(ids::MenuRemainingTime);
    QList<bool> stateWhenReported;
    QObject::connect(&window, &MainWindow::commandTriggered, remaining,
                     [&] { stateWhenReported << window.remainingChecked(); });
    remaining->trigger();
    EXPECT_FALSE(window.remainingChecked());
    window.setRemainingChecked(true);
    EXPECT_TRUE(remaining->isChecked());
    remaining->trigger();
    EXPECT_TRUE(window.remainingChecked());
    window.setRemainingChecked(false);
    EXPECT_FALSE(window.remainingChecked());
    EXPECT_EQ(stateWhenReported, (QList<bool>{false, true}));
}

TEST_F(MainWindowTest, EnterEscapeAndCloseLeaveTheWindowOpen)
{
    fillList(3);
    window.selectRow(1);
    AllSignals spies(window);
    for (QWidget* target : {static_cast<QWidget*>(&window),
                            static_cast<QWidget*>(window.button(ids::NextButton)),
                            static_cast<QWidget*>(window.button(ids::AddFolderButton)),
                            static_cast<QWidget*>(window.trackList())}) {
        target->setFocus();
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
            QTest::keyClick(target, key);
    }
    EXPECT_EQ(spies.total(), 0);
    EXPECT_TRUE(window.isVisible());

    EXPECT_FALSE(window.close());
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(spies.close.count(), 1);
    EXPECT_EQ(spies.total(), 1);
}

TEST_F(MainWindowTest, WindowPictureIsSavedAsPng)
{
    fillList(12);
    window.selectRow(2);
    window.setTitleText(QStringLiteral("Глава 3 — Тестовая книга"));
    window.setStatusText(0, QStringLiteral("12"));
    window.setStatusText(1, QStringLiteral("стерео 44 кГц 128 кбит/с 5.2 МБ"));
    window.setStatusText(2, QStringLiteral("00:05:31"));
    window.setStatusText(3, QStringLiteral("00:01:07"));
    window.setSliderRange(ids::PositionSlider, 0, 331);
    window.setPositionTicks({60, 120, 180, 240, 300});
    window.setSliderPosition(ids::PositionSlider, 67);
    for (int id = ids::EqBand100; id <= ids::ReverbSlider; ++id) {
        window.setSliderRange(id, 0, 20);
        window.setSliderTicks(id, {4, 8, 12, 16});
        window.setSliderPosition(id, 10);
    }
    window.setSliderTicks(ids::VolumeSlider, {20, 40, 60, 80});
    window.setSliderPosition(ids::VolumeSlider, 30);
    window.meter(ids::LeftMeter)->setValue(20000);
    window.meter(ids::RightMeter)->setValue(15000);

    const QImage picture = window.grab().toImage();
    ASSERT_EQ(picture.size(), window.size() * window.devicePixelRatio());
    const QString path =
        qEnvironmentVariable("TELLWICK_SCREENSHOT",
                             QStringLiteral(TELLWICK_BINARY_DIR "/ui_main_window.png"));
    ASSERT_TRUE(picture.save(path, "PNG")) << path.toStdString();
    QImage reread(path);
    EXPECT_EQ(reread.size(), picture.size());
}

} // namespace
