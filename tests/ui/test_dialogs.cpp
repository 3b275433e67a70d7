// The small modal dialogs and boxes, driven from inside their own event loops.
#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "tests/ui/qt_test_support.h"
#include "ui/control_ids.h"
#include "ui/dialogs.h"

namespace {

// Acts on the modal dialog once its event loop runs. A dialog still open five seconds later
// fails the test and is ended, so the program does not hang.
void WhenModalShows(std::function<void(QWidget*)> act)
{
    QTimer::singleShot(0, [act] {
        const QPointer<QWidget> modal = QApplication::activeModalWidget();
        ASSERT_NE(modal, nullptr) << "no modal dialog appeared";
        act(modal);
        QTimer::singleShot(5000, [modal] {
            EXPECT_FALSE(modal && modal->isVisible()) << "the modal dialog did not end";
            if (modal && modal->isVisible())
                qobject_cast<QDialog*>(modal.data())->done(0);
        });
    });
}

// QCoreApplication::exit leaves a mark that makes every later event loop return at once;
// one round of exec() clears it.
void ClearPendingExit()
{
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

template <typename T = QWidget>
T* Child(QWidget* dialog, int id)
{
    return dialog->findChild<T*>(QString::number(id));
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

// The second opening also takes its small icon from small.ico in the working directory.
TEST_F(DialogTest, AboutShowsItsVersionTextEachTimeHasNoButtonsAndIgnoresEnterEscape)
{
    const QTemporaryDir folder;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.path()));
    const QString versions[] = {QStringLiteral("BASS ver. 2.4.11.."), QStringLiteral("2.4.F.1")};
    for (const QString& version : versions) {
        bool openAfterKeys = false;
        QImage icon;
        WhenModalShows([&](QWidget* dialog) {
            EXPECT_EQ(dialog->objectName(), QString::number(ids::AboutDialog));
            EXPECT_EQ(dialog->windowTitle(), QStringLiteral("О программе"));
            EXPECT_EQ(dialog->parentWidget(), &owner);
            EXPECT_EQ(Child<QLabel>(dialog, ids::AboutVersionText)->text(), version);
            EXPECT_EQ(Child<QLabel>(dialog, ids::AboutIcon)->pixmap().size(), QSize(48, 48));
            EXPECT_TRUE(dialog->findChildren<QAbstractButton*>().isEmpty());
            EXPECT_TRUE(dialog->findChildren<QDialogButtonBox*>().isEmpty());
            icon = dialog->windowIcon().pixmap(16, 16).toImage();
            for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
                QTest::keyClick(dialog, key);
            openAfterKeys = dialog->isVisible();
            dialog->close();
        });
        RunAboutDialog(&owner, version);
        EXPECT_TRUE(openAfterKeys);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        if (&version == &versions[0]) {
            EXPECT_TRUE(icon.isNull());
            QImage red(16, 16, QImage::Format_ARGB32);
            red.fill(Qt::red);
            ASSERT_TRUE(red.save(QStringLiteral("small.ico"), "ICO"));
        } else {
            EXPECT_EQ(icon.pixelColor(8, 8), QColor(Qt::red));
        }
    }
    QDir::setCurrent(previous);
}

TEST_F(DialogTest, SleepEntryStartsEmptyEnterEscapeDoNotEndItAndOkReturnsSevenCharacters)
{
    // Without an expected text the dialog is closed instead of confirmed.
    const std::pair<QString, std::optional<QString>> cases[] = {
        {"1234567890", "1234567"}, {" 5 min", " 5 min"}, {"", ""}, {"15", std::nullopt}};
    for (const auto& [typed, expected] : cases) {
        WhenModalShows([&](QWidget* dialog) {
            EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Выключение"));
            auto* entry = Child<QLineEdit>(dialog, ids::SleepMinutesEdit);
            auto* ok = Child<QPushButton>(dialog, ids::SleepOkButton);
            EXPECT_TRUE(entry->text().isEmpty());
            EXPECT_EQ(ok->text(), QStringLiteral("OK"));
            QTest::keyClicks(entry, typed);
            ok->setFocus();
            for (QWidget* target : QList<QWidget*>{entry, dialog, ok})
                for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
                    QTest::keyClick(target, key);
            EXPECT_TRUE(dialog->isVisible());
            if (expected)
                QTest::mouseClick(ok, Qt::LeftButton);
            else
                dialog->close();
        });
        EXPECT_EQ(RunSleepDialog(&owner), expected) << typed.toStdString();
    }
}

TEST_F(DialogTest, DialogsReturnWhenTheApplicationIsAskedToExit)
{
    for (bool sleep : {true, false}) {
        WhenModalShows([](QWidget* dialog) {
            if (QWidget* entry = Child(dialog, ids::SleepMinutesEdit))
                QTest::keyClicks(entry, QStringLiteral("30"));
            QCoreApplication::exit(0);
        });
        if (sleep)
            EXPECT_EQ(RunSleepDialog(&owner), std::nullopt);
        else
            RunAboutDialog(&owner, QStringLiteral("v"));
        ClearPendingExit();
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
}

TEST_F(DialogTest, WarningIsAnOwnedErrorBoxWithOneButtonOrGoesThroughItsSeam)
{
    const QString text = QStringLiteral("Не удалось открыть файл");
    WhenModalShows([&](QWidget* widget) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Ошибка"));
        EXPECT_EQ(box->text(), text);
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        EXPECT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->parentWidget(), &owner);
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    ShowWarning(&owner, text);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    QStringList seamTexts;
    SetWarningSeam([&](const QString& shownText) { seamTexts << shownText; });
    ShowWarning(&owner, QStringLiteral("второе"));
    SetWarningSeam(nullptr);
    EXPECT_EQ(seamTexts, QStringList{QStringLiteral("второе")});
}

TEST_F(DialogTest, OpenFileDialogOffersPlayableFilesFirstAndReturnsThePick)
{
    const QTemporaryDir folder;
    const QString book = folder.filePath(QStringLiteral("глава 1.mp3"));
    ASSERT_TRUE(QFile(book).open(QIODevice::WriteOnly));

    WhenModalShows([&](QWidget* widget) {
        auto* dialog = qobject_cast<QFileDialog*>(widget);
        ASSERT_NE(dialog, nullptr);
        // The first filter, selected, offers the book's file; the second shows everything.
        ASSERT_EQ(dialog->nameFilters().size(), 2);
        EXPECT_EQ(dialog->selectedNameFilter(), dialog->nameFilters()[0]);
        const QStringList patterns = dialog->nameFilters()[0].section('(', 1).section(')', 0, 0).split(' ');
        for (const char* name : {"глава 1.mp3", "b.m4b", "c.flac", "d.ogg", "e.wma", "f.ape", "g.aiff", "h.wav"})
            EXPECT_TRUE(QDir::match(patterns, QString::fromUtf8(name))) << name;
        EXPECT_FALSE(QDir::match(patterns, QStringLiteral("cover.jpg")));
        EXPECT_EQ(dialog->directory().absolutePath(), QDir(folder.path()).absolutePath());
        dialog->selectFile(book);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    EXPECT_EQ(PickAudioFile(&owner, book), std::optional<QString>(book));

    WhenModalShows([](QWidget* widget) { qobject_cast<QDialog*>(widget)->reject(); });
    EXPECT_EQ(PickAudioFile(&owner, folder.path()), std::nullopt);
}

} // namespace
