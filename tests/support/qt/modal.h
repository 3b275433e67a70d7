// Acting on a modal dialog from inside its own event loop.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <functional>
#include <memory>

namespace testsupport {

// Calls act with the modal dialog as soon as one is open (polled from the dialog's own loop);
// fails the test when none opens within 20 s.
inline void WhenModalOpens(std::function<void(QWidget*)> act) {
    auto* poll = new QTimer(qApp);
    auto tries = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, tries, act = std::move(act)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal && ++*tries < 2000)
            return;
        poll->stop();
        poll->deleteLater();
        if (modal)
            act(modal);
        else
            ADD_FAILURE() << "no modal dialog opened";
    });
    poll->start(10);
}

} // namespace testsupport
