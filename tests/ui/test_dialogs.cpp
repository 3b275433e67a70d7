// The open-file dialog, driven from inside its own event loop.
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTest>

#include "support/qt/modal.h"
#include "tests/ui/qt_test_support.h"
#include "ui/dialogs.h"

namespace {

using testsupport::WhenModalOpens;

TEST(Dialogs, OpenFileOffersPlayableFiles)
{
    QWidget owner;
    owner.show();
    const QTemporaryDir folder;
    const QString book = folder.filePath(QStringLiteral("глава 1.mp3"));
    ASSERT_TRUE(QFile(book).open(QIODevice::WriteOnly));
    WhenModalOpens([&](QWidget* widget) {
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
    WhenModalOpens([](QWidget* widget) { qobject_cast<QDialog*>(widget)->reject(); });
    EXPECT_EQ(PickAudioFile(&owner, folder.path()), std::nullopt);
}

} // namespace
