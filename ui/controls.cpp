#include "ui/controls.h"

#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOptionSlider>
#include <QStyleOptionTabWidgetFrame>
#include <QTextOption>
#include <QtMath>
#include <QToolTip>

#include "ui/dialog_units.h"

TickSlider::TickSlider(Qt::Orientation orientation, DragRelease dragRelease, QWidget* parent)
    : QSlider(orientation, parent), dragRelease_(dragRelease)
{
    setTickPosition(QSlider::TicksBothSides);
    setFocusPolicy(Qt::StrongFocus);
    // actionTriggered comes before the value moves; the event handlers below report once
    // the base class has finished the action.
    connect(this, &QAbstractSlider::actionTriggered, this, [this] { actionSeen_ = true; });
    connect(this, &QAbstractSlider::sliderMoved, this, [this](int value) {
        if (showsValueTip_)
            showValueTip(value);
    });
    connect(this, &QAbstractSlider::sliderReleased, this, [this] {
        if (showsValueTip_)
            QToolTip::hideText();
    });
}

void TickSlider::setTicks(const QList<int>& ticks)
{
    ticks_ = ticks;
    update();
}

template <typename Handler>
void TickSlider::reportActionsOf(Handler&& handler)
{
    actionSeen_ = false;
    handler();
    if (actionSeen_) {
        actionSeen_ = false;
        emit movedByListener(value());
    }
}

void TickSlider::keyPressEvent(QKeyEvent* event)
{
    reportActionsOf([&] { QSlider::keyPressEvent(event); });
}

void TickSlider::mousePressEvent(QMouseEvent* event)
{
    reportActionsOf([&] { QSlider::mousePressEvent(event); });
}

void TickSlider::mouseMoveEvent(QMouseEvent* event)
{
    reportActionsOf([&] { QSlider::mouseMoveEvent(event); });
}

void TickSlider::mouseReleaseEvent(QMouseEvent* event)
{
    const bool wasDragging = isSliderDown();
    reportActionsOf([&] { QSlider::mouseReleaseEvent(event); });
    if (wasDragging && dragRelease_ == DragRelease::Reports)
        emit movedByListener(value());
}

void TickSlider::wheelEvent(QWheelEvent* event)
{
    reportActionsOf([&] { QSlider::wheelEvent(event); });
}

void TickSlider::timerEvent(QTimerEvent* event)
{
    // The repeat of a held click on the groove runs from a timer.
    reportActionsOf([&] { QSlider::timerEvent(event); });
}

QRect TickSlider::handleRectAt(int position) const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    option.sliderPosition = position;
    option.sliderValue = position;
    return style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
}

QRect TickSlider::handleRect() const
{
    return handleRectAt(sliderPosition());
}

QString TickSlider::listenerText() const
{
    const int shown = listenerValue(value());
    return scale_.text ? scale_.text(shown) : QString::number(shown);
}

void TickSlider::setListenerValue(int listenerValue)
{
    setValue((listenerValue - scale_.atZero) * scale_.direction);
    emit movedByListener(value());
}

void TickSlider::showValueTip(int position)
{
    const QRect handle = handleRectAt(position);
    const QPoint anchor = orientation() == Qt::Horizontal
                              ? QPoint(handle.center().x(), handle.top() - handle.height())
                              : QPoint(handle.left() - handle.width(), handle.center().y());
    QToolTip::showText(mapToGlobal(anchor), QString::number(position), this);
}

bool SwallowEnterAndEscape(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        event->accept();
        return true;
    default:
        return false;
    }
}

void TransportButton::paintEvent(QPaintEvent* event)
{
    QPushButton::paintEvent(event);
    // Focus moved by the keyboard (Tab, shortcuts) shows; a click leaves no frame.
    if (!hasFocus() || !window()->testAttribute(Qt::WA_KeyboardFocusChange))
        return;
    QPainter painter(this);
    painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
    painter.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
}

LevelMeter::LevelMeter(QWidget* parent) : QProgressBar(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void LevelMeter::setLevel(int level)
{
    if (level == value())
        return;
    const bool lengthChanges = filledWidth(level) != filledWidth(value());
    // With updates held back, setValue's immediate repaint does nothing.
    setAttribute(Qt::WA_UpdatesDisabled, true);
    setValue(level);
    setAttribute(Qt::WA_UpdatesDisabled, false);
    if (lengthChanges)
        update();
}

int LevelMeter::filledWidth(int level) const
{
    const qint64 span = qint64(maximum()) - minimum();
    const int inner = width() - 2;
    return span > 0 ? qBound(0, int(inner * (qint64(level) - minimum()) / span), inner) : 0;
}

void LevelMeter::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect area = rect();
    painter.fillRect(area, palette().color(QPalette::Window));
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(area.adjusted(0, 0, -1, -1));
    painter.fillRect(QRect(1, 1, filledWidth(value()), area.height() - 2), palette().color(QPalette::Highlight));
}

void TickSlider::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QStyleOptionSlider option;
    initStyleOption(&option);
    // The style draws groove and thumb; tick marks at arbitrary positions are drawn here.
    option.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderHandle;
    style()->drawComplexControl(QStyle::CC_Slider, &option, &painter, this);

    // Marks stand just beyond the thumb's reach on both sides, as trackbars draw them.
    constexpr int tickLength = 4;
    painter.setPen(palette().color(QPalette::WindowText));
    QList<int> marks = ticks_;
    marks << minimum() << maximum();
    for (int mark : marks) {
        if (mark < minimum() || mark > maximum())
            continue;
        const QRect thumb = handleRectAt(mark);
        const QPoint centre = thumb.center();
        if (orientation() == Qt::Horizontal) {
            const int above = qMax(0, thumb.top() - 2 - tickLength);
            const int below = qMin(height() - tickLength, thumb.bottom() + 3);
            painter.drawLine(centre.x(), above, centre.x(), above + tickLength - 1);
            painter.drawLine(centre.x(), below, centre.x(), below + tickLength - 1);
        } else {
            const int before = qMax(0, thumb.left() - 2 - tickLength);
            const int after = qMin(width() - tickLength, thumb.right() + 3);
            painter.drawLine(before, centre.y(), before + tickLength - 1, centre.y());
            painter.drawLine(after, centre.y(), after + tickLength - 1, centre.y());
        }
    }
}

void AnnouncedLabel::setAnnouncedText(const QString& newText)
{
    if (newText == text())
        return;
    setText(newText);
    QAccessibleEvent changed(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
}

int TabExpandingLabel::tabStopDistance() const
{
    return 8 * AverageLetterWidth(fontMetrics());
}

void TabExpandingLabel::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event);
    QPainter painter(this);
    QTextOption option(alignment());
    option.setWrapMode(QTextOption::NoWrap);
    option.setTabStopDistance(tabStopDistance());
    painter.setPen(palette().color(foregroundRole()));
    // A substitute font wider than the intended face would cut the last words off; the line
    // is then narrowed as a whole so that every caption stays under its slider.
    const QRectF area(contentsRect());
    const qreal naturalWidth =
        fontMetrics()
            .size(Qt::TextSingleLine | Qt::TextExpandTabs, text(), tabStopDistance())
            .width();
    const qreal squeeze = naturalWidth > area.width() ? area.width() / naturalWidth : 1.0;
    painter.translate(area.topLeft());
    painter.scale(squeeze, 1.0);
    painter.drawText(QRectF(0, 0, area.width() / squeeze, area.height()), text(), option);
}

StatusLine::StatusLine(const QFont& partFont, QWidget* parent) : QStatusBar(parent)
{
    setFont(partFont);
    static const char* const accessibleNames[PartCount] = {
        "Число треков", "Формат потока", "Длительность трека", "Время воспроизведения"};
    for (int i = 0; i < PartCount; ++i) {
        auto* label = new AnnouncedLabel(this);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setIndent(3);
        label->setTextFormat(Qt::PlainText);
        label->setAccessibleName(QString::fromUtf8(accessibleNames[i]));
        parts_[i] = label;
    }
    // The window's size is fixed: nothing to grip.
    setSizeGripEnabled(false);
    setFixedHeight(QFontMetrics(font()).height() + 8);
}

QStringList StatusLine::widestTexts(int part)
{
    switch (part) {
    case 0:
        return {QStringLiteral("   Всего в списке: 10000"), QStringLiteral("Выключение:  99:59:59"),
                QStringLiteral("До конца главы:  9:59:59")};
    case 1:
        return {QStringLiteral(" Стерео  192.0 kHz   1411 Kbs     9999.99 Mb"),
                QStringLiteral(" Моно     192.0 kHz   1411 Kbs     9999.99 Mb")};
    case 2:
        return {QStringLiteral("Время звучания: 99:59:59")};
    default:
        return {QStringLiteral("99:59:59")};
    }
}

void StatusLine::setPartText(int part, const QString& text)
{
    parts_.at(part)->setAnnouncedText(text);
}

QString StatusLine::partText(int part) const
{
    return parts_.at(part)->text();
}

void StatusLine::resizeEvent(QResizeEvent* event)
{
    QStatusBar::resizeEvent(event);
    placeParts();
}

void StatusLine::placeParts()
{
    // The edges keep PartRightEdges' proportions at the one scale that lets every part hold
    // its widest text. When the line is too narrow for that scale, the parts' font is
    // narrowed until it does.
    const QLabel* sample = parts_[0];
    const int chrome = 2 * sample->frameWidth() + sample->indent() + 2 * sample->margin() + 2;
    QFont partFont = font();
    for (int stretch = 100; width() > 0 && stretch >= 50; --stretch) {
        partFont.setStretch(stretch);
        const QFontMetrics metrics(partFont);
        auto need = [&](int part) {
            int widest = 0;
            for (const QString& text : widestTexts(part))
                widest = qMax(widest, metrics.horizontalAdvance(text));
            return widest + chrome;
        };
        double scale = 0;
        for (int i = 0, left = 0; i < PartCount - 1; left = PartRightEdges[i++])
            scale = qMax(scale, double(need(i)) / (PartRightEdges[i] - left));
        for (int i = 0; i < PartCount - 1; ++i)
            rightEdges_[i] = qCeil(PartRightEdges[i] * scale);
        if (rightEdges_.back() + need(PartCount - 1) <= width())
            break;
    }
    int left = 0;
    for (int i = 0; i < PartCount; ++i) {
        const int right = i < PartCount - 1 ? rightEdges_[i] : width();
        parts_[i]->setFont(partFont);
        parts_[i]->setGeometry(left, 0, qMax(0, right - left), height());
        left = right;
    }
}

namespace {

// The style's own padding beside tab labels, narrowed to what the book tabs can spare.
class BookTabStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override
    {
        if (metric == PM_TabBarTabHSpace)
            if (const auto* bar = qobject_cast<const BookTabBar*>(widget))
                return bar->tabPadding();
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

} // namespace

BookTabBar::BookTabBar(QWidget* parent) : QTabBar(parent)
{
    setExpanding(false);
    setUsesScrollButtons(true);
    setElideMode(Qt::ElideNone);
    setDrawBase(false);
    auto* tabStyle = new BookTabStyle;
    tabStyle->setParent(this);
    setStyle(tabStyle);
}

int BookTabBar::tabPadding() const
{
    const int natural = QApplication::style()->pixelMetric(QStyle::PM_TabBarTabHSpace, nullptr, this);
    if (count() == 0)
        return natural;
    int labels = 0;
    for (int i = 0; i < count(); ++i)
        labels += fontMetrics().size(Qt::TextShowMnemonic, tabText(i)).width();
    return qBound(MinimumTabPadding, (width() - labels) / count(), natural);
}

QSize BookTabBar::tabSizeHint(int index) const
{
    QSize hint = QTabBar::tabSizeHint(index);
    hint.setWidth(qMax(hint.width(), MinimumTabWidth));
    return hint;
}

QSize BookTabBar::minimumTabSizeHint(int index) const
{
    return tabSizeHint(index);
}

void BookTabBar::tabLayoutChange()
{
    // The widest stretch at which every label with the least padding fits; a new font lays
    // the tabs out again, within this call.
    if (fitting_ || width() <= 0)
        return;
    QFont narrowed = font();
    for (int stretch = 100; stretch > 50; stretch -= 2) {
        narrowed.setStretch(stretch);
        const QFontMetrics metrics(narrowed);
        int needed = 0;
        for (int i = 0; i < count(); ++i)
            needed += qMax(metrics.size(Qt::TextShowMnemonic, tabText(i)).width() + MinimumTabPadding, MinimumTabWidth);
        if (needed <= width())
            break;
    }
    if (narrowed.stretch() == font().stretch())
        return;
    fitting_ = true;
    setFont(narrowed);
    fitting_ = false;
}

void TabPane::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QStyleOptionTabWidgetFrame option;
    option.initFrom(this);
    option.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    option.shape = QTabBar::RoundedNorth;
    style()->drawPrimitive(QStyle::PE_FrameTabWidget, &option, &painter, this);
}

const QString TrackList::EmptyHint = QStringLiteral("Нажмите «Добавить папку» или перетащите сюда файл книги");

TrackList::TrackList(QWidget* parent) : QListWidget(parent)
{
    for (auto rowsChanged : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(model(), rowsChanged, this, &TrackList::describeRows);
    connect(model(), &QAbstractItemModel::modelReset, this, &TrackList::describeRows);
    describeRows();
}

TrackList::~TrackList()
{
    // The model goes after the list's own part: its last reset finds no list to describe.
    disconnect(model(), nullptr, this, nullptr);
}

void TrackList::paintEvent(QPaintEvent* event)
{
    QListWidget::paintEvent(event);
    if (count() > 0)
        return;
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::PlaceholderText));
    const int margin = fontMetrics().averageCharWidth();
    painter.drawText(viewport()->rect().adjusted(margin, margin, -margin, -margin),
                     Qt::AlignCenter | Qt::TextWordWrap, EmptyHint);
}

void TrackList::describeRows()
{
    setAccessibleDescription(count() > 0 ? QString() : EmptyHint);
}
