#include "playback/track_rows.h"

#include <QListWidget>

#include "app/app_state.h"
#include "ui/main_window.h"

void OpenRow(int row, std::function<void()> refused) {
    QListWidget* list = app.mainWindow->trackList();
    if (row < 0 || row >= app.trackCount || row >= list->count())
        return;
    app.trackIndex = row;
    app.mainWindow->selectRow(row);
    const QByteArray name = list->item(row)->data(Qt::UserRole).toByteArray();
    OpenTrack(app.folderDir + "/" + name.toStdString(), 0, std::move(refused));
}
