// The main window's own control classes: sliders with free tick marks that report the
// listener's actions, a label that expands tab characters, the four-part status line and
// the book tabs with their page frame.
#pragma once

#include <array>
#include <functional>
#include <QLabel>
#include <QList>
#include <QListWidget>
#include <QStringList>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QStatusBar>
#include <QTabBar>

class QKeyEvent;

// Enter and Escape do nothing in the player's windows: accepts them and returns true.
bool SwallowEnterAndEscape(QKeyEvent* event);

// A level meter: a smooth bar over the window's own background. It paints itself whole,
// so ten updates a second redraw only the bar and never the controls behind it.
class LevelMeter : public QProgressBar {
    Q_OBJECT
public:
    explicit LevelMeter(QWidget* parent);
    // Sets the value and redraws in the next paint cycle, only when the bar's length changes.
    void setLevel(int level);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int filledWidth(int level) const;
};

// A flat icon-only button that frames itself while it has the keyboard's focus.
class TransportButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent* event) override;
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

    // What the listener reads on the slider: atZero + direction x position, increasing
    // toward the slider's top or right end, and that value as text.
    struct ListenerScale {
        int atZero = 0;
        int direction = 1;
        std::function<QString(int)> text;
    };
    void setListenerScale(ListenerScale scale) { scale_ = std::move(scale); }
    int listenerValue(int position) const { return scale_.atZero + scale_.direction * position; }
    QString listenerText() const;
    // Moves to the position with that listener value and reports it as the listener's action.
    void setListenerValue(int listenerValue);

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
    ListenerScale scale_;
};

// A label whose text a screen reader reads as its name, with its accessible name as the
// description; a new text is announced once, an unchanged one not at all.
class AnnouncedLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
    void setAnnouncedText(const QString& text);
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

// The status line: four parts, the last reaching the window's right edge.
// The right edges keep the proportions of PartRightEdges, scaled so that the widest text
// each part is given fits in the status font.
class StatusLine : public QStatusBar {
    Q_OBJECT
public:
    static constexpr int PartCount = 4;
    static constexpr std::array<int, PartCount - 1> PartRightEdges{130, 348, 487};

    StatusLine(const QFont& font, QWidget* parent);
    void setPartText(int part, const QString& text);
    QString partText(int part) const;
    AnnouncedLabel* part(int part) const { return parts_.at(part); }
    // The widest texts the first three parts show: counts and countdown, stream format,
    // track length.
    static QStringList widestTexts(int part);
    int partRightEdge(int part) const { return rightEdges_.at(part); }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void placeParts();
    std::array<AnnouncedLabel*, PartCount> parts_{};
    std::array<int, PartCount - 1> rightEdges_ = PartRightEdges;
};

// Book tabs: one row, each tab at least MinimumTabWidth pixels wide. The padding beside each
// label shrinks (down to MinimumTabPadding) so that all five tabs fit the row, and when even
// that is not enough (a larger interface font) the labels' font is narrowed.
class BookTabBar : public QTabBar {
    Q_OBJECT
public:
    static constexpr int MinimumTabWidth = 50;
    static constexpr int MinimumTabPadding = 2;
    explicit BookTabBar(QWidget* parent);
    // Pixels beside each label, both sides together.
    int tabPadding() const;

protected:
    QSize tabSizeHint(int index) const override;
    QSize minimumTabSizeHint(int index) const override;
    void tabLayoutChange() override;

private:
    bool fitting_ = false;
};

// The frame of the tabs' page area; the track list lies on it.
class TabPane : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The track list. While it has no rows its viewport tells how to get a book, and a screen
// reader reads the same as the list's description.
class TrackList : public QListWidget {
    Q_OBJECT
public:
    static const QString EmptyHint;
    explicit TrackList(QWidget* parent);
    ~TrackList() override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void describeRows();
};
