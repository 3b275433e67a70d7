// The main window's own control classes: sliders with free tick marks that report the
// listener's actions, a label that expands tab characters, the four-part status line and
// the book tabs with their page frame.
#pragma once

#include <array>
#include <QLabel>
#include <QList>
#include <QProgressBar>
#include <QSlider>
#include <QStatusBar>
#include <QTabBar>

class QKeyEvent;

// Enter and Escape do nothing in the player's windows: accepts them and returns true.
bool SwallowEnterAndEscape(QKeyEvent* event);

// A level meter: a smooth bar over the window's own background. It paints itself whole,
// so ten updates a second redraw only the bar and never the controls behind it.
class LevelMeter : public QProgressBar {
public:
    explicit LevelMeter(QWidget* parent);
    // Sets the value and redraws in the next paint cycle, only when the bar's length changes.
    void setLevel(int level);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int filledWidth(int level) const;
};

// A slider whose tick marks stand at any positions (plus both ends), and which raises
// movedByListener after every action of the listener once the new value is in place.
// Programmatic changes (setValue, setRange) raise nothing of its own.
class TickSlider : public QSlider {
    Q_OBJECT
public:
    enum class DragRelease { Silent, Reports };

    TickSlider(Qt::Orientation orientation, DragRelease dragRelease, QWidget* parent);

    void setTicks(const QList<int>& ticks);
    QList<int> ticks() const { return ticks_; }
    // While the thumb is dragged, a tip at the thumb shows the value.
    void setShowsValueTip(bool shows) { showsValueTip_ = shows; }
    // The thumb's rectangle for the given value, or for the current one.
    QRect handleRect() const;
    QRect handleRectAt(int value) const;

signals:
    void movedByListener(int value);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    template <typename Handler>
    void reportActionsOf(Handler&& handler);
    void showValueTip(int value);

    DragRelease dragRelease_;
    QList<int> ticks_;
    bool showsValueTip_ = false;
    bool actionSeen_ = false;
};

// A label that draws its text with tab characters expanded to stops every eight average
// character widths.
class TabExpandingLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
    int tabStopDistance() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The status line: four parts whose right edges stand at fixed pixel positions, the last
// reaching the window's right edge, and a size grip.
class StatusLine : public QStatusBar {
    Q_OBJECT
public:
    static constexpr int PartCount = 4;
    static constexpr std::array<int, PartCount - 1> PartRightEdges{130, 348, 487};

    StatusLine(const QFont& font, QWidget* parent);
    void setPartText(int part, const QString& text);
    QString partText(int part) const;
    QLabel* part(int part) const { return parts_.at(part); }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void placeParts();
    std::array<QLabel*, PartCount> parts_{};
};

// Book tabs: one row, each tab at least MinimumTabWidth pixels wide, scroll arrows when
// they do not fit.
class BookTabBar : public QTabBar {
    Q_OBJECT
public:
    static constexpr int MinimumTabWidth = 50;
    explicit BookTabBar(QWidget* parent);

protected:
    QSize tabSizeHint(int index) const override;
    QSize minimumTabSizeHint(int index) const override;
};

// The frame of the tabs' page area; the track list lies on it.
class TabPane : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent* event) override;
};
