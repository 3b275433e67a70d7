// What the window tests share: one QApplication for the whole test program and a way to
// act on a modal dialog from inside its own event loop.
#pragma once

#include <functional>
#include <memory>

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <gtest/gtest.h>

class QtApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "tellwick-ui-tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QApplication> app_;
};

inline ::testing::Environment* const qtApplicationEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

// Once a modal widget shows, calls act with it. If it is still open five seconds after act,
// the test fails and the dialog is ended so that the test program does not hang.
inline void WhenModalShows(std::function<void(QWidget*)> act)
{
    auto* poll = new QTimer;
    poll->setInterval(10);
    const QDeadlineTimer deadline(10000);
    QObject::connect(poll, &QTimer::timeout, [poll, deadline, act] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            if (deadline.hasExpired()) {
                ADD_FAILURE() << "no modal dialog appeared";
                poll->deleteLater();
                poll->stop();
            }
            return;
        }
        poll->stop();
        poll->deleteLater();
        QPointer<QWidget> guarded = modal;
        act(modal);
        QTimer::singleShot(5000, [guarded] {
            if (guarded && guarded->isVisible()) {
                ADD_FAILURE() << "modal dialog " << guarded->objectName().toStdString()
                              << " did not end";
                if (auto* dialog = qobject_cast<QDialog*>(guarded.data()))
                    dialog->done(0);
            }
        });
    });
    poll->start();
}

// QCoreApplication::exit leaves a "quit now" mark that makes every later event loop return
// at once; one round of exec() clears it.
inline void ClearPendingExit()
{
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}
