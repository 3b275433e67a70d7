// The small modal dialogs and boxes, driven from inside their own event loops.
#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
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

template <typename T = QWidget>
T* Child(QWidget* dialog, int id) { return dialog->findChild<T*>(QString::number(id)); }

// Enter and Escape end neither dialog: only OK or closing the window does. (What the sleep
// entry returns and how both end when the application exits is checked by the sleep timer's tests.)
TEST(Dialogs, EnterAndEscapeEndNeitherTheAboutBoxNorTheSleepEntry)
{
    QWidget owner;
    owner.show();
    for (bool about : {true, false}) {
        WhenModalShows([&](QWidget* dialog) {
            QList<QWidget*> targets = {dialog};
            if (!about)
                targets << Child(dialog, ids::SleepMinutesEdit) << Child(dialog, ids::SleepOkButton);
            EXPECT_TRUE(!about || Child<QLabel>(dialog, ids::AboutVersionText)->text() == QStringLiteral("2.4.F.1"));
            for (QWidget* target : targets)
                for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
                    QTest::keyClick(target, key);
            EXPECT_TRUE(dialog->isVisible());
            dialog->close();
        });
        about ? RunAboutDialog(&owner, QStringLiteral("2.4.F.1")) : (void)RunSleepDialog(&owner);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
}

TEST(Dialogs, WarningIsAnOwnedBoxAndOpenFileOffersPlayableFiles)
{
    QWidget owner;
    owner.show();
    WhenModalShows([&](QWidget* widget) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), QStringLiteral("первое"));
        EXPECT_EQ(box->parentWidget(), &owner);
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    ShowWarning(&owner, QStringLiteral("первое"));

    const QTemporaryDir folder;
    const QString book = folder.filePath(QStringLiteral("глава 1.mp3"));
    ASSERT_TRUE(QFile(book).open(QIODevice::WriteOnly));
    WhenModalShows([&](QWidget* widget) {
        auto* dialog = qobject_cast<QFileDialog*>(widget);
        ASSERT_NE(dialog, nullptr);
        // The selected first filter offers the book's files.
        EXPECT_EQ(dialog->selectedNameFilter(), dialog->nameFilters().value(0));
        const QStringList patterns = dialog->nameFilters()[0].section('(', 1).section(')', 0, 0).split(' ');
        for (const char* name : {"глава 1.mp3", "b.m4b", "c.flac", "d.ogg", "e.wma", "f.ape", "g.aiff", "h.wav"})
            EXPECT_TRUE(QDir::match(patterns, QString::fromUtf8(name))) << name;
        EXPECT_FALSE(QDir::match(patterns, QStringLiteral("cover.jpg")));
        dialog->selectFile(book);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    EXPECT_EQ(PickAudioFile(&owner, book), std::optional<QString>(book));
    WhenModalShows([](QWidget* widget) { qobject_cast<QDialog*>(widget)->reject(); });
    EXPECT_EQ(PickAudioFile(&owner, folder.path()), std::nullopt);
}

} // namespace
