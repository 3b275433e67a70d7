// The player's one window: every control with its identifier, the menu and the status bar.
// It reports the listener's actions as signals; programmatic changes made through the
// setters below never raise them.
#pragma once

#include <QMainWindow>
#include <QString>
#include <array>

class QListWidget;
class QPushButton;
class QSlider;
class QProgressBar;
class QLabel;
class QTabBar;
class QAction;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    // The speeds of the menu's radio items, ids MenuSpeedFirst onward.
    static constexpr std::array<double, 8> speedChoices{0.75, 1.0, 1.25, 1.5, 1.75, 2.0, 2.5, 3.0};

    // Controls by identifier (ui/control_ids.h).
    QListWidget* trackList() const;
    QSlider* slider(int id) const; // 50..54 and 1010
    QProgressBar* meter(int id) const; // 1011, 1012
    QLabel* titleLine() const;
    QTabBar* bookTabs() const;
    QPushButton* button(int id) const; // 1003, 1004, 1005, 1016, 1017, 1018
    QAction* menuAction(int id) const; // 1008, 1015, 1024, 1026, 1031

    // Programmatic changes: no signal below is raised by them.
    void selectRow(int row); // -1 clears the selection
    void selectTab(int index);
    void setTabLabel(int index, const QString& text);
    void setSliderPosition(int id, int position);
    void setSliderRange(int id, int minimum, int maximum);
    // Removes all tick marks of the position slider and sets the given ones.
    void setPositionTicks(const QList<int>& ticks);
    // The same for any slider (50..54 and 1010); both ends always carry a mark.
    void setSliderTicks(int id, const QList<int>& ticks);
    void setMeterLevels(int left, int right); // 0..32767 each
    void setStatusText(int part, const QString& text); // parts 0..3
    QString statusText(int part) const;
    void setStatusToolTip(int part, const QString& text);
    QString statusToolTip(int part) const;
    void setTitleText(const QString& text);
    void setPlayPauseIcon(int iconId); // 1019 or 1020
    void setSliderToolTip(int id, const QString& text);
    void setRemainingChecked(bool checked);
    bool remainingChecked() const;
    // Shows a checkable menu item's state without reporting it as the listener's command.
    void setMenuChecked(int id, bool checked);
    // Checks the speed's menu item (none for a speed between them); beside the menu, the
    // speed as text unless it is 1.0.
    void showSpeed(double speed);
    QLabel* speedLabel() const;

signals:
    // The listener's actions only.
    void commandTriggered(int id);          // buttons and menu items, by identifier
    void trackRowChosen(int row);           // the listener changed the list's selection
    void bookTabChosen(int index);          // the listener selected another tab
    void positionSliderMoved(int seconds);  // drag, click on the groove, keys
    void effectSliderMoved(int index);      // 0..4 for sliders 50..54
    void closeRequested();                  // close box, Alt+F4

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Controls;
    Controls* c_;
};
