#include "ui/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHash>
#include <QKeyEvent>
#include <QListWidget>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSignalBlocker>
#include <cmath>

#include "ui/accessible_controls.h"
#include "ui/control_ids.h"
#include "ui/controls.h"
#include "ui/dialog_units.h"
#include "ui/icons.h"

namespace {

const QString TemplateCaption = QStringLiteral("Tellwick v.0.1");
const QString SliderCaptions =
    QStringLiteral(" 100 Гц\t3 кГц      12 кГц      Реверб.  Громкость");
constexpr int BookCount = 5;
constexpr int MeterMaximum = 32767;

QString IdName(int id)
{
    return QString::number(id);
}

} // namespace

// Owned by the window as its first child, so it and every connection made in its context
// go away before any control is destroyed.
struct MainWindow::Controls : QObject {
    using QObject::QObject;

    DialogUnits units;
    QListWidget* trackList = nullptr;
    QHash<int, QPushButton*> buttons;
    QHash<int, TickSlider*> sliders;
    QHash<int, LevelMeter*> meters;
    AnnouncedLabel* titleLine = nullptr;
    TabExpandingLabel* captionLine = nullptr;
    BookTabBar* bookTabs = nullptr;
    TabPane* tabPane = nullptr;
    StatusLine* statusLine = nullptr;
    QHash<int, QAction*> actions;
    QLabel* speedLabel = nullptr;
};

namespace {

// "1,25×": Russian decimal comma, at least one decimal.
QString SpeedText(double speed) {
    const bool tenths = std::fabs(speed * 10 - std::round(speed * 10)) < 1e-6;
    return QString::number(speed, 'f', tenths ? 1 : 2).replace(QLatin1Char('.'), QLatin1Char(',')) +
           QChar(0x00D7);
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), c_(new Controls(this))
{
    InstallAccessibleControls();
    setObjectName(IdName(ids::MainDialog));
    setWindowTitle(TemplateCaption);
    setWindowIcon(LoadIcon(ids::AppIcon));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);

    const QFont dialogFont = PointSizedFont(QStringLiteral("Tahoma"), 9);
    const DialogUnits units = DialogUnitsOf(dialogFont);
    c_->units = units;

    auto* client = new QWidget(this);
    client->setFont(dialogFont);
    client->setFixedSize(units.size(315, 197));
    setCentralWidget(client);

    auto place = [&](QWidget* widget, int id, int x, int y, int width, int height) {
        if (id != 0)
            widget->setObjectName(IdName(id));
        widget->setGeometry(units.rect(x, y, width, height));
    };
    auto makeButton = [&](int id, int iconId, const char* accessibleName, int x) {
        auto* button = new TransportButton(client);
        place(button, id, x, 100, 24, 18);
        button->setFlat(true);
        button->setAutoDefault(false);
        button->setDefault(false);
        button->setFocusPolicy(Qt::StrongFocus);
        button->setIcon(LoadIcon(iconId));
        button->setIconSize(QSize(24, 24));
        button->setProperty("iconId", iconId);
        button->setAccessibleName(QString::fromUtf8(accessibleName));
        button->setToolTip(button->accessibleName());
        c_->buttons.insert(id, button);
        connect(button, &QPushButton::clicked, c_, [this, id] { emit commandTriggered(id); });
    };
    auto makeSlider = [&](int id, const char* accessibleName, int x, int width, int height,
                          const char* unit) {
        auto* slider = new TickSlider(Qt::Vertical, TickSlider::DragRelease::Reports, client);
        place(slider, id, x, 120, width, height);
        // Position 0 at the top, and Up / Page Up / Home move toward it.
        slider->setInvertedAppearance(true);
        slider->setInvertedControls(true);
        slider->setAccessibleName(QString::fromUtf8(accessibleName));
        // Read as the listener hears it: the equaliser in dB, the volume in percent, all
        // growing toward the top.
        const bool volume = id == ids::VolumeSlider;
        slider->setListenerScale({volume ? 100 : 10, -1, [volume, unit](int shown) {
                                      const QString sign = shown > 0 && !volume ? "+" : "";
                                      return sign + QString::number(shown) + QString::fromUtf8(unit);
                                  }});
        c_->sliders.insert(id, slider);
        const int index = id - ids::EqBand100;
        connect(slider, &TickSlider::movedByListener, c_,
                [this, index] { emit effectSliderMoved(index); });
    };
    auto makeMeter = [&](int id, const char* accessibleName, int y) {
        auto* meter = new LevelMeter(client);
        place(meter, id, 180, y, 126, 4);
        meter->setTextVisible(false);
        meter->setRange(0, MeterMaximum);
        meter->setValue(0);
        meter->setAccessibleName(QString::fromUtf8(accessibleName));
        c_->meters.insert(id, meter);
    };
    auto makeGroupBox = [&](int x, int y, int width, int height) {
        auto* box = new QGroupBox(client);
        place(box, 0, x, y, width, height);
        box->setFocusPolicy(Qt::NoFocus);
        return box;
    };

    // Creation follows the template order, which is also the Tab key order.
    c_->trackList = new TrackList(client);
    place(c_->trackList, ids::TrackList, 12, 42, 150, 130);
    c_->trackList->setFont(PointSizedFont(QStringLiteral("Arial"), 9));
    c_->trackList->setSelectionMode(QAbstractItemView::SingleSelection);
    c_->trackList->setSortingEnabled(false);
    c_->trackList->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    c_->trackList->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    c_->trackList->setAccessibleName(QStringLiteral("Список треков"));
    connect(c_->trackList, &QListWidget::itemSelectionChanged, c_, [this] {
        const QModelIndexList selected = c_->trackList->selectionModel()->selectedIndexes();
        if (!selected.isEmpty())
            emit trackRowChosen(selected.first().row());
    });

    auto* addFolder = new QPushButton(QStringLiteral("&Добавить папку"), client);
    place(addFolder, ids::AddFolderButton, 180, 24, 126, 12);
    addFolder->setAutoDefault(false);
    addFolder->setDefault(false);
    addFolder->setAccessibleName(QStringLiteral("Добавить папку"));
    c_->buttons.insert(ids::AddFolderButton, addFolder);
    connect(addFolder, &QPushButton::clicked, c_,
            [this] { emit commandTriggered(ids::AddFolderButton); });

    makeButton(ids::NextButton, ids::IconNext, "Следующий трек", 254);
    makeButton(ids::PlayPauseButton, ids::IconPause, "Воспроизведение/пауза", 230);
    makeSlider(ids::VolumeSlider, "Громкость", 282, 24, 49, "%");

    auto* position =
        new TickSlider(Qt::Horizontal, TickSlider::DragRelease::Silent, client);
    place(position, ids::PositionSlider, 174, 68, 138, 24);
    position->setShowsValueTip(true);
    position->setAccessibleName(QStringLiteral("Позиция воспроизведения"));
    position->setListenerScale({0, 1, [](int s) {
                                    return s >= 3600 ? QString::asprintf("%d:%02d:%02d", s / 3600, s / 60 % 60, s % 60)
                                                     : QString::asprintf("%02d:%02d", s / 60, s % 60);
                                }});
    c_->sliders.insert(ids::PositionSlider, position);
    connect(position, &TickSlider::movedByListener, c_,
            [this](int value) { emit positionSliderMoved(value); });

    makeMeter(ids::LeftMeter, "Уровень левого канала", 45);
    makeMeter(ids::RightMeter, "Уровень правого канала", 50);

    c_->titleLine = new AnnouncedLabel(client);
    place(c_->titleLine, ids::TitleLine, 6, 6, 306, 10);
    c_->titleLine->setFont(PointSizedFont(QStringLiteral("Arial"), 9, true, true));
    c_->titleLine->setTextFormat(Qt::PlainText);
    c_->titleLine->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    c_->titleLine->setAccessibleName(QStringLiteral("Название трека"));

    // The tab control: a row of tabs along the top of its rectangle, the page frame below.
    const QRect tabArea = units.rect(6, 24, 165, 156);
    c_->tabPane = new TabPane(client);
    c_->bookTabs = new BookTabBar(client);
    c_->bookTabs->setObjectName(IdName(ids::BookTabs));
    c_->bookTabs->setFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont));
    c_->bookTabs->setFocusPolicy(Qt::ClickFocus);
    c_->bookTabs->setAccessibleName(QStringLiteral("Книги"));
    for (int i = 0; i < BookCount; ++i) {
        const QString label = QStringLiteral("Книга  %1").arg(i + 1);
        c_->bookTabs->addTab(label);
    }
    c_->bookTabs->setCurrentIndex(0);
    const int tabRowHeight = c_->bookTabs->sizeHint().height();
    c_->bookTabs->setGeometry(tabArea.x(), tabArea.y(), tabArea.width(), tabRowHeight);
    const int overlap = style()->pixelMetric(QStyle::PM_TabBarBaseOverlap, nullptr, c_->bookTabs);
    c_->tabPane->setGeometry(tabArea.adjusted(0, tabRowHeight - overlap, 0, 0));
    connect(c_->bookTabs, &QTabBar::currentChanged, c_,
            [this](int index) { emit bookTabChosen(index); });
    // From the keyboard, as a click on a tab: Ctrl+PgUp / Ctrl+PgDn and Alt+1 to Alt+5.
    auto addTabKey = [&](QKeySequence keys, auto index) {
        connect(new QShortcut(keys, this), &QShortcut::activated, c_,
                [this, index] { c_->bookTabs->setCurrentIndex(index(c_->bookTabs->currentIndex())); });
    };
    addTabKey(QKeySequence(Qt::CTRL | Qt::Key_PageUp), [](int current) { return qMax(0, current - 1); });
    addTabKey(QKeySequence(Qt::CTRL | Qt::Key_PageDown),
              [](int current) { return qMin(BookCount - 1, current + 1); });
    for (int i = 0; i < BookCount; ++i)
        addTabKey(QKeySequence(Qt::ALT | Qt::Key(Qt::Key_1 + i)), [i](int) { return i; });

    makeButton(ids::PreviousButton, ids::IconPrevious, "Предыдущий трек", 206);
    QGroupBox* transportBox = makeGroupBox(174, 90, 136, 92);
    makeSlider(ids::EqBand100, "Эквалайзер 100 Гц", 180, 22, 50, " dB");
    makeSlider(ids::EqBand3k, "Эквалайзер 3 кГц", 204, 22, 50, " dB");
    makeSlider(ids::EqBand12k, "Эквалайзер 12 кГц", 228, 22, 50, " dB");
    makeSlider(ids::ReverbSlider, "Реверберация", 252, 22, 50, "");

    c_->captionLine = new TabExpandingLabel(client);
    place(c_->captionLine, ids::CaptionLine, 178, 170, 130, 10);
    c_->captionLine->setFont(PointSizedFont(QStringLiteral("Corbel"), 9));
    c_->captionLine->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    c_->captionLine->setText(SliderCaptions);
    c_->captionLine->setAccessibleName(QStringLiteral("Подписи регуляторов"));

    // A plain frame rather than a group box: the meters redraw ten times a second, and a
    // group box beneath them would lay out its (empty) title on every redraw.
    auto* meterBox = new QFrame(client);
    place(meterBox, 0, 176, 38, 134, 20);
    meterBox->setFrameStyle(QFrame::StyledPanel | QFrame::Plain);
    makeButton(ids::FirstButton, ids::IconFirst, "Первый трек", 182);
    makeButton(ids::LastButton, ids::IconLast, "Последний трек", 278);

    // Frames lie beneath the controls they surround, so clicks reach the controls.
    transportBox->lower();
    meterBox->lower();
    c_->tabPane->lower();

    for (int id : {ids::EqBand100, ids::EqBand3k, ids::EqBand12k, ids::ReverbSlider,
                   ids::VolumeSlider, ids::PositionSlider})
        setSliderRange(id, 0, 100);

    // Menu.
    menuBar()->setObjectName(IdName(ids::MainMenu));
    menuBar()->setAccessibleName(QStringLiteral("Главное меню"));
    auto addItem = [&](QMenu* menu, int id, const QString& text) {
        QAction* action = menu->addAction(text);
        action->setObjectName(IdName(id));
        c_->actions.insert(id, action);
        return action;
    };
    QMenu* fileMenu = menuBar()->addMenu(QStringLiteral("&Файл"));
    addItem(fileMenu, ids::MenuExit, QStringLiteral("В&ыход"));
    // Keys of the whole window: no control claims Ctrl with an arrow before them (the list,
    // sliders and tabs step only on bare arrows), and Ctrl+P for play/pause leaves Space and
    // Enter to the focused control and a screen reader's own keys alone.
    QMenu* playbackMenu = menuBar()->addMenu(QStringLiteral("Воспроизведение"));
    for (auto [id, text, key] : {std::tuple{ids::MenuPlayPause, "Играть/пауза", Qt::Key_P},
                                 std::tuple{ids::MenuJumpBack, "Назад на 15 с", Qt::Key_Left},
                                 std::tuple{ids::MenuJumpForward, "Вперёд на 30 с", Qt::Key_Right}})
        addItem(playbackMenu, id, QString::fromUtf8(text))->setShortcut(QKeySequence(Qt::CTRL | key));
    QMenu* settingsMenu = menuBar()->addMenu(QStringLiteral("Настройки"));
    addItem(settingsMenu, ids::MenuAddFolder, QStringLiteral("Добавить папку"));
    QAction* remaining =
        addItem(settingsMenu, ids::MenuRemainingTime, QStringLiteral("Оставшееся время"));
    remaining->setCheckable(true);
    addItem(settingsMenu, ids::MenuSleepTimer, QStringLiteral("Выключить через ..."));
    addItem(settingsMenu, ids::MenuPauseTimer, QStringLiteral("Пауза через ..."));
    addItem(settingsMenu, ids::MenuPauseAtChapterEnd, QStringLiteral("Пауза в конце главы"));
    addItem(settingsMenu, ids::MenuCancelTimer, QStringLiteral("Отменить таймер"))->setEnabled(false);
    QMenu* speedMenu = settingsMenu->addMenu(QStringLiteral("Скорость"));
    auto* speedGroup = new QActionGroup(speedMenu);
    speedGroup->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    for (std::size_t i = 0; i < speedChoices.size(); ++i) {
        QAction* choice = addItem(speedMenu, ids::MenuSpeedFirst + int(i), SpeedText(speedChoices[i]));
        choice->setCheckable(true);
        speedGroup->addAction(choice);
    }
    speedMenu->addSeparator();
    addItem(speedMenu, ids::MenuSpeedFaster, QStringLiteral("Быстрее на 0,1×"))
        ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_BracketRight));
    addItem(speedMenu, ids::MenuSpeedSlower, QStringLiteral("Медленнее на 0,1×"))
        ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_BracketLeft));
    c_->speedLabel = new QLabel(this);
    c_->speedLabel->setObjectName(QStringLiteral("speed"));
    c_->speedLabel->setAccessibleName(QStringLiteral("Скорость"));
    c_->speedLabel->setContentsMargins(0, 0, 6, 0);
    c_->speedLabel->hide();
    menuBar()->setCornerWidget(c_->speedLabel, Qt::TopRightCorner);
    settingsMenu->addSeparator();
    for (auto [id, text] : {std::pair{ids::MenuSmartRewind, "Умная перемотка"},
                            std::pair{ids::MenuLevelLoudness, "Выравнивать громкость"},
                            std::pair{ids::MenuShortenPauses, "Сокращать паузы"}})
        addItem(settingsMenu, id, QString::fromUtf8(text))->setCheckable(true);
    QMenu* helpMenu = menuBar()->addMenu(QStringLiteral("Справка"));
    addItem(helpMenu, ids::MenuAbout, QStringLiteral("О программе"));
    for (auto it = c_->actions.cbegin(); it != c_->actions.cend(); ++it) {
        const int id = it.key();
        QAction* action = it.value();
        connect(action, &QAction::triggered, c_, [this, id, action](bool checked) {
            // The check mark belongs to the program: undo Qt's own toggle before reporting.
            if (action->isCheckable()) {
                const QSignalBlocker blocker(action);
                action->setChecked(!checked);
            }
            emit commandTriggered(id);
        });
    }

    c_->statusLine = new StatusLine(PointSizedFont(QStringLiteral("Tahoma"), 8), this);
    c_->statusLine->setObjectName(IdName(ids::StatusBar));
    c_->statusLine->setAccessibleName(QStringLiteral("Строка состояния"));
    setStatusBar(c_->statusLine);

    setPlayPauseIcon(ids::IconPause);
    setFixedSize(sizeHint());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

QListWidget* MainWindow::trackList() const
{
    return c_->trackList;
}

QSlider* MainWindow::slider(int id) const
{
    return c_->sliders.value(id);
}

QProgressBar* MainWindow::meter(int id) const
{
    return c_->meters.value(id);
}

void MainWindow::setMeterLevels(int left, int right)
{
    c_->meters.value(ids::LeftMeter)->setLevel(left);
    c_->meters.value(ids::RightMeter)->setLevel(right);
}

QLabel* MainWindow::titleLine() const
{
    return c_->titleLine;
}

QTabBar* MainWindow::bookTabs() const
{
    return c_->bookTabs;
}

QPushButton* MainWindow::button(int id) const
{
    return c_->buttons.value(id);
}

QAction* MainWindow::menuAction(int id) const
{
    return c_->actions.value(id);
}

void MainWindow::selectRow(int row)
{
    const QSignalBlocker blocker(c_->trackList);
    if (row < 0) {
        c_->trackList->clearSelection();
        c_->trackList->setCurrentItem(nullptr);
    } else {
        c_->trackList->setCurrentRow(row);
    }
}

void MainWindow::selectTab(int index)
{
    const QSignalBlocker blocker(c_->bookTabs);
    c_->bookTabs->setCurrentIndex(index);
}

void MainWindow::setTabLabel(int index, const QString& text)
{
    c_->bookTabs->setTabText(index, text);
}

void MainWindow::setSliderPosition(int id, int position)
{
    TickSlider* target = c_->sliders.value(id);
    const QSignalBlocker blocker(target);
    target->setValue(position);
}

void MainWindow::setSliderRange(int id, int minimum, int maximum)
{
    TickSlider* target = c_->sliders.value(id);
    const QSignalBlocker blocker(target);
    target->setRange(minimum, maximum);
    // A page is a fifth of the range, as trackbars have it.
    target->setPageStep(qMax(1, (maximum - minimum) / 5));
}

void MainWindow::setPositionTicks(const QList<int>& ticks)
{
    setSliderTicks(ids::PositionSlider, ticks);
}

void MainWindow::setSliderTicks(int id, const QList<int>& ticks)
{
    c_->sliders.value(id)->setTicks(ticks);
}

void MainWindow::setStatusText(int part, const QString& text)
{
    c_->statusLine->setPartText(part, text);
}

QString MainWindow::statusText(int part) const
{
    return c_->statusLine->partText(part);
}

void MainWindow::setStatusToolTip(int part, const QString& text)
{
    if (statusToolTip(part) != text)
        c_->statusLine->part(part)->setToolTip(text);
}

QString MainWindow::statusToolTip(int part) const
{
    return c_->statusLine->part(part)->toolTip();
}

void MainWindow::setTitleText(const QString& text)
{
    c_->titleLine->setAnnouncedText(text);
}

void MainWindow::setPlayPauseIcon(int iconId)
{
    QPushButton* playPause = c_->buttons.value(ids::PlayPauseButton);
    playPause->setIcon(LoadIcon(iconId));
    playPause->setProperty("iconId", iconId);
    // The name says what is happening now and what a press does.
    playPause->setAccessibleName(iconId == ids::IconPause ? QStringLiteral("Воспроизведение: пауза")
                                                          : QStringLiteral("Пауза: воспроизвести"));
    playPause->setToolTip(playPause->accessibleName());
}

void MainWindow::setSliderToolTip(int id, const QString& text)
{
    c_->sliders.value(id)->setToolTip(text);
}

void MainWindow::setRemainingChecked(bool checked)
{
    QAction* remaining = c_->actions.value(ids::MenuRemainingTime);
    const QSignalBlocker blocker(remaining);
    remaining->setChecked(checked);
}

void MainWindow::setMenuChecked(int id, bool checked)
{
    QAction* action = c_->actions.value(id);
    const QSignalBlocker blocker(action);
    action->setChecked(checked);
}

bool MainWindow::remainingChecked() const
{
    return c_->actions.value(ids::MenuRemainingTime)->isChecked();
}

void MainWindow::showSpeed(double speed)
{
    for (std::size_t i = 0; i < speedChoices.size(); ++i) {
        QAction* choice = c_->actions.value(ids::MenuSpeedFirst + int(i));
        const QSignalBlocker blocker(choice);
        choice->setChecked(std::fabs(speedChoices[i] - speed) < 1e-6);
    }
    c_->speedLabel->setText(SpeedText(speed));
    c_->speedLabel->setVisible(speed != 1.0);
}

QLabel* MainWindow::speedLabel() const
{
    return c_->speedLabel;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // The application saves and exits on its own terms.
    event->ignore();
    emit closeRequested();
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    if (!SwallowEnterAndEscape(event))
        QMainWindow::keyPressEvent(event);
}
