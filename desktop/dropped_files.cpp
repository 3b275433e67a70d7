#include "desktop/dropped_files.h"

#include <QDropEvent>
#include <QMimeData>
#include <QTimer>
#include <QUrl>

#include "app/app_state.h"
#include "books/open_path.h"
#include "ui/main_window.h"

namespace {

// The first dropped item when it is a local file or folder.
QByteArray FirstLocalPath(const QMimeData* data) {
    const QList<QUrl> urls = data ? data->urls() : QList<QUrl>();
    return urls.isEmpty() ? QByteArray() : LocalPathOf(urls.first());
}

// The controls take no drops, so every drop over them reaches the window and this filter.
class DropFilter : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::DragEnter && event->type() != QEvent::DragMove && event->type() != QEvent::Drop)
            return QObject::eventFilter(watched, event);
        auto* drop = static_cast<QDropEvent*>(event);
        const QByteArray path = FirstLocalPath(drop->mimeData());
        if (path.isEmpty() || app.exiting)
            return false;
        drop->acceptProposedAction();
        // Opened after the drop has finished: the file manager is not kept waiting by a
        // message box.
        if (event->type() == QEvent::Drop)
            QTimer::singleShot(0, this, [path] {
                if (!app.exiting)
                    OpenPathForCurrentBook(path);
            });
        return true;
    }
};

} // namespace

void AcceptDroppedFiles() {
    MainWindow* w = app.mainWindow;
    if (!w)
        return;
    w->setAcceptDrops(true);
    w->installEventFilter(new DropFilter(w));
}
