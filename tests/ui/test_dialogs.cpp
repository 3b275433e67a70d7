// The small modal dialogs and boxes: About, sleep timer, warning and open-file, driven from
// inside their own event loops as a listener would.
#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "tests/ui/qt_test_support.h"
#include "ui/control_ids.h"
#include "ui/dialogs.h"

namespace {

QWidget* Child(QWidget* dialog, int id)
{
    return dialog->findChild<QWidget*>(QString::number(id));
}

void PressKeys(QWidget* target, std::initializer_list<Qt::Key> keys)
{
    for (Qt::Key key : keys)
        QTest::keyClick(target, key);
}

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QApplication::setWindowIcon(QIcon());
        owner.show();
    }
    QWidget owner;
};

TEST_F(DialogTest, AboutShowsTheVersionTextWithoutButtonsAndEndsOnlyThroughClose)
{
    bool stillOpenAfterKeys = false;
    QString shownVersion;
    QWidget* seenParent = nullptr;
    int buttonCount = -1;
    QSize iconSize;
    QString caption;
    WhenModalShows([&](QWidget* dialog) {
        EXPECT_EQ(dialog->objectName(), QString::number(ids::AboutDialog));
        caption = dialog->windowTitle();
        seenParent = dialog->parentWidget();
        shownVersion = qobject_cast<QLabel*>(Child(dialog, ids::AboutVersionText))->text();
        buttonCount = dialog->findChildren<QAbstractButton*>().size() +
                      dialog->findChildren<QDialogButtonBox*>().size();
        iconSize = qobject_cast<QLabel*>(Child(dialog, ids::AboutIcon))->pixmap().size();
        PressKeys(dialog, {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter});
        stillOpenAfterKeys = dialog->isVisible();
        dialog->close();
    });
    RunAboutDialog(&owner, QStringLiteral("BASS ver. 2.4.11.."));
    EXPECT_EQ(caption, QStringLiteral("О программе"));
    EXPECT_EQ(shownVersion, QStringLiteral("BASS ver. 2.4.11.."));
    EXPECT_EQ(seenParent, &owner);
    EXPECT_EQ(buttonCount, 0);
    EXPECT_EQ(iconSize, QSize(48, 48));
    EXPECT_TRUE(stillOpenAfterKeys);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    // Each opening shows the text it is given.
    WhenModalShows([&](QWidget* dialog) {
        shownVersion = qobject_cast<QLabel*>(Child(dialog, ids::AboutVersionText))->text();
        dialog->close();
    });
    RunAboutDialog(&owner, QStringLiteral("BASS ver. 2.4.F.1"));
    EXPECT_EQ(shownVersion, QStringLiteral("BASS ver. 2.4.F.1"));
}

TEST_F(DialogTest, SleepOkReturnsTheFirstSevenCharactersAndTheEntryStartsEmpty)
{
    const QString typed = QStringLiteral("1234567890");
    QStringList entryAtOpen;
    QString caption;
    bool okIsDefault = true;
    auto typeAndPressOk = [&](const QString& text) {
        return [&, text](QWidget* dialog) {
            caption = dialog->windowTitle();
            auto* entry = qobject_cast<QLineEdit*>(Child(dialog, ids::SleepMinutesEdit));
            auto* ok = qobject_cast<QPushButton*>(Child(dialog, ids::SleepOkButton));
            entryAtOpen << entry->text();
            okIsDefault = ok->isDefault() || ok->autoDefault();
            EXPECT_EQ(ok->text(), QStringLiteral("OK"));
            QTest::keyClicks(entry, text);
            QTest::mouseClick(ok, Qt::LeftButton);
        };
    };
    WhenModalShows(typeAndPressOk(typed));
    EXPECT_EQ(RunSleepDialog(&owner), std::optional<QString>(typed.left(7)));
    EXPECT_EQ(caption, QStringLiteral("Выключение"));
    EXPECT_FALSE(okIsDefault);

    WhenModalShows(typeAndPressOk(QStringLiteral(" 5 min")));
    EXPECT_EQ(RunSleepDialog(&owner), std::optional<QString>(QStringLiteral(" 5 min")));

    WhenModalShows(typeAndPressOk(QString()));
    EXPECT_EQ(RunSleepDialog(&owner), std::optional<QString>(QString()));
    EXPECT_EQ(entryAtOpen, (QStringList{QString(), QString(), QString()}));
}

TEST_F(DialogTest, SleepEnterAndEscapeDoNotEndItAndCloseReturnsNothing)
{
    bool openAfterKeys = false;
    WhenModalShows([&](QWidget* dialog) {
        auto* entry = Child(dialog, ids::SleepMinutesEdit);
        QTest::keyClicks(entry, QStringLiteral("15"));
        PressKeys(entry, {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape});
        Child(dialog, ids::SleepOkButton)->setFocus();
        PressKeys(Child(dialog, ids::SleepOkButton), {Qt::Key_Return, Qt::Key_Enter});
        PressKeys(dialog, {Qt::Key_Return, Qt::Key_Escape});
        openAfterKeys = dialog->isVisible();
        dialog->close();
    });
    EXPECT_EQ(RunSleepDialog(&owner), std::nullopt);
    EXPECT_TRUE(openAfterKeys);
}

TEST_F(DialogTest, DialogsReturnWhenTheApplicationIsAskedToExit)
{
    WhenModalShows([](QWidget* dialog) {
        QTest::keyClicks(Child(dialog, ids::SleepMinutesEdit), QStringLiteral("30"));
        QCoreApplication::exit(0);
    });
    EXPECT_EQ(RunSleepDialog(&owner), std::nullopt);
    ClearPendingExit();

    bool aboutShown = false;
    WhenModalShows([&](QWidget*) {
        aboutShown = true;
        QCoreApplication::exit(0);
    });
    RunAboutDialog(&owner, QStringLiteral("BASS ver. 2.4.."));
    ClearPendingExit();
    EXPECT_TRUE(aboutShown);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(DialogTest, SmallIconComesFromTheWorkingDirectoryWhenPresent)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.path()));

    bool iconWithoutFile = true;
    WhenModalShows([&](QWidget* dialog) {
        iconWithoutFile = !dialog->windowIcon().isNull();
        dialog->close();
    });
    RunSleepDialog(&owner);

    QImage picture(16, 16, QImage::Format_ARGB32);
    picture.fill(QColor(200, 30, 30));
    ASSERT_TRUE(picture.save(folder.filePath(QStringLiteral("small.ico")), "ICO"));
    QImage shown;
    WhenModalShows([&](QWidget* dialog) {
        shown = dialog->windowIcon().pixmap(16, 16).toImage();
        dialog->close();
    });
    RunAboutDialog(&owner, QString());
    QDir::setCurrent(previous);

    EXPECT_FALSE(iconWithoutFile);
    ASSERT_FALSE(shown.isNull());
    EXPECT_EQ(shown.convertToFormat(QImage::Format_ARGB32).pixelColor(8, 8), QColor(200, 30, 30));
}

TEST_F(DialogTest, WarningIsAnOwnedBoxCaptionedErrorWithOneButton)
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    qsizetype buttons = 0;
    QWidget* parent = nullptr;
    WhenModalShows([&](QWidget* widget) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        ASSERT_NE(box, nullptr);
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        buttons = box->buttons().size();
        parent = box->parentWidget();
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    ShowWarning(&owner, QStringLiteral("Не удалось открыть файл"));
    EXPECT_EQ(title, QStringLiteral("Ошибка"));
    EXPECT_EQ(text, QStringLiteral("Не удалось открыть файл"));
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_EQ(buttons, 1);
    EXPECT_EQ(parent, &owner);

    QStringList seamTexts;
    SetWarningSeam([&](const QString& shownText) { seamTexts << shownText; });
    ShowWarning(&owner, QStringLiteral("второе"));
    SetWarningSeam(nullptr);
    EXPECT_EQ(seamTexts, QStringList{QStringLiteral("второе")});
}

TEST_F(DialogTest, OpenFileDialogOffersPlayableFormatsFirstAndReturnsThePick)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString book = folder.filePath(QStringLiteral("глава 1.mp3"));
    QFile file(book);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    QStringList filters;
    QString selectedFilter;
    QString startFolder;
    WhenModalShows([&](QWidget* widget) {
        auto* dialog = qobject_cast<QFileDialog*>(widget);
        ASSERT_NE(dialog, nullptr);
        filters = dialog->nameFilters();
        selectedFilter = dialog->selectedNameFilter();
        startFolder = dialog->directory().absolutePath();
        dialog->selectFile(book);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    EXPECT_EQ(PickAudioFile(&owner, book), std::optional<QString>(book));
    const QString playable = QStringLiteral(
        "Воспроизводимые форматы (*.wav *.cda *.aif *.aiff *.mp3 *.wma *.ogg *.flac *.ape "
        "*.m4a *.m4b)");
    EXPECT_EQ(filters, (QStringList{playable, QStringLiteral("Все файлы (*)")}));
    EXPECT_EQ(selectedFilter, playable);
    EXPECT_EQ(startFolder, QDir(folder.path()).absolutePath());

    WhenModalShows([](QWidget* widget) { qobject_cast<QDialog*>(widget)->reject(); });
    EXPECT_EQ(PickAudioFile(&owner, folder.path()), std::nullopt);

    QStringList seamStarts;
    SetPickAudioFileSeam([&](const QString& start) -> std::optional<QString> {
        seamStarts << start;
        return QStringLiteral("/книги/a.mp3");
    });
    EXPECT_EQ(PickAudioFile(&owner, QStringLiteral("/начало")),
              std::optional<QString>(QStringLiteral("/книги/a.mp3")));
    SetPickAudioFileSeam(nullptr);
    EXPECT_EQ(seamStarts, QStringList{QStringLiteral("/начало")});
}

} // namespace
