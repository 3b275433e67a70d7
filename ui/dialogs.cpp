#include "ui/dialogs.h"

#include <QCloseEvent>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>

#include "ui/control_ids.h"
#include "ui/dialog_units.h"
#include "ui/icons.h"

namespace {

std::function<void(const QString&)>& WarningSeam()
{
    static std::function<void(const QString&)> seam;
    return seam;
}

std::function<std::optional<QString>(const QString&)>& PickAudioFileSeam()
{
    static std::function<std::optional<QString>(const QString&)> seam;
    return seam;
}

const QString PlayableFormatsFilter = QStringLiteral(
    "Воспроизводимые форматы (*.wav *.cda *.aif *.aiff *.mp3 *.wma *.ogg *.flac *.ape *.m4a "
    "*.m4b *.opus *.mka)");
const QString AllFilesFilter = QStringLiteral("Все файлы (*)");
constexpr int AppIconSize = 48;
constexpr int EntryTextLimit = 7;

// A small fixed-size modal box laid out in dialog units of an 8 pt font. Escape ends it as its
// close box does; Enter presses its default button, if it has one.
class SmallDialog : public QDialog {
public:
    SmallDialog(QWidget* owner, int id, const QString& caption, int widthDlu, int heightDlu)
        : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                             Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                             Qt::MSWindowsFixedSizeDialogHint)
    {
        setObjectName(QString::number(id));
        setWindowTitle(caption);
        setModal(true);
        setFont(PointSizedFont(QStringLiteral("Tahoma"), 8));
        units_ = DialogUnitsOf(font());
        setFixedSize(units_.size(widthDlu, heightDlu));
        if (QFile::exists(QStringLiteral("small.ico")))
            setWindowIcon(QIcon(QStringLiteral("small.ico")));
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
    }

    QRect dluRect(int x, int y, int width, int height) const
    {
        return units_.rect(x, y, width, height);
    }

protected:
    void closeEvent(QCloseEvent* event) override
    {
        done(QDialog::Rejected);
        event->accept();
    }

private:
    DialogUnits units_;
};

// The text of a warning cut to a box that fits on any screen: each line at most about 60
// characters wide with the middle left out (a path keeps its start and its file name), and a
// dozen lines at most.
QString FittedText(const QWidget& box, const QString& text)
{
    constexpr int lineLimit = 12;
    const QFontMetrics metrics(box.font());
    QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.size() > lineLimit)
        lines = lines.mid(0, lineLimit / 2) + QStringList{QStringLiteral("…")} + lines.mid(lines.size() - lineLimit / 2);
    for (QString& line : lines)
        line = metrics.elidedText(line, Qt::ElideMiddle, 60 * metrics.averageCharWidth());
    return lines.join(QLatin1Char('\n'));
}

QLabel* AddCentredLine(SmallDialog& dialog, const QString& text, int y, int widthDlu)
{
    auto* line = new QLabel(text, &dialog);
    line->setGeometry(dialog.dluRect(0, y, widthDlu, 10));
    line->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    return line;
}

} // namespace

void ShowWarning(QWidget* owner, const QString& text)
{
    if (WarningSeam()) {
        WarningSeam()(text);
        return;
    }
    // One box at a time: a message that comes while one is open (opens failing one after
    // another, asked for from the desktop) replaces the text in it, the latest being what counts.
    static QPointer<QMessageBox> open;
    if (open) {
        open->setText(FittedText(*open, text));
        return;
    }
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Ошибка"), QString(), QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);
    box.setText(FittedText(box, text));
    open = &box;
    box.exec();
}

void SetWarningSeam(std::function<void(const QString& text)> seam)
{
    WarningSeam() = std::move(seam);
}

std::optional<QString> PickAudioFile(QWidget* owner, const QString& startPath)
{
    if (PickAudioFileSeam())
        return PickAudioFileSeam()(startPath);
    QString chosenFilter = PlayableFormatsFilter;
    const QString path = QFileDialog::getOpenFileName(
        owner, QString(), startPath, PlayableFormatsFilter + QStringLiteral(";;") + AllFilesFilter,
        &chosenFilter);
    if (path.isEmpty())
        return std::nullopt;
    return path;
}

void SetPickAudioFileSeam(std::function<std::optional<QString>(const QString& startPath)> seam)
{
    PickAudioFileSeam() = std::move(seam);
}

void RunAboutDialog(QWidget* owner, const QString& versionText)
{
    constexpr int widthDlu = 198;
    SmallDialog dialog(owner, ids::AboutDialog, QStringLiteral("О программе"), widthDlu, 81);

    AddCentredLine(dialog, QStringLiteral("Tellwick — проигрыватель аудиокниг"), 8, widthDlu);
    AddCentredLine(dialog, QStringLiteral("Пять книг, каждая — с места остановки"), 18, widthDlu);

    auto* icon = new QLabel(&dialog);
    icon->setObjectName(QString::number(ids::AboutIcon));
    icon->setPixmap(LoadIcon(ids::AppIcon).pixmap(AppIconSize, AppIconSize));
    icon->setGeometry(QRect(dialog.dluRect(24, 30, 21, 20).topLeft(),
                            QSize(AppIconSize, AppIconSize)));
    icon->setAccessibleName(QStringLiteral("Значок программы"));

    auto* version = new QLabel(versionText, &dialog);
    version->setObjectName(QString::number(ids::AboutVersionText));
    version->setGeometry(dialog.dluRect(72, 50, 175, 18));
    version->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    version->setTextFormat(Qt::PlainText);

    // The dialog returns also when the application is asked to exit while it is open.
    dialog.exec();
}

std::optional<QString> RunSleepDialog(QWidget* owner, bool pause)
{
    SmallDialog dialog(owner, ids::SleepDialog, pause ? QStringLiteral("Пауза") : QStringLiteral("Выключение"), 150, 70);

    auto* prompt = new QLabel(pause ? QStringLiteral(" Поставить на паузу через (мин.): ")
                                    : QStringLiteral(" Выключить компьютер через (мин.): "),
                              &dialog);
    prompt->setGeometry(dialog.dluRect(6, 6, 140, 18));
    prompt->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    prompt->setWordWrap(true);

    auto* minutes = new QLineEdit(&dialog);
    minutes->setObjectName(QString::number(ids::SleepMinutesEdit));
    minutes->setGeometry(dialog.dluRect(63, 20, 30, 12));
    minutes->setAccessibleName(pause ? QStringLiteral("Минуты до паузы") : QStringLiteral("Минуты до выключения"));
    prompt->setBuddy(minutes);

    auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    ok->setObjectName(QString::number(ids::SleepOkButton));
    ok->setGeometry(dialog.dluRect(55, 45, 50, 15));
    ok->setAutoDefault(false);
    ok->setDefault(true);

    std::optional<QString> entered;
    QObject::connect(ok, &QPushButton::clicked, &dialog, [&] {
        entered = minutes->text().left(EntryTextLimit);
        dialog.done(ids::SleepOkButton);
    });

    minutes->setFocus();
    dialog.exec();
    return entered;
}
