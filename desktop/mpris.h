// MPRIS 2 on the session bus: desktops, media keys and remote controls drive the player.
#pragma once

#include <QStringList>

extern const QString mprisService;
extern const QString mprisPath;
extern const QString mprisRootInterface;
extern const QString mprisPlayerInterface;
// The formats the player plays, and folders; the desktop entry offers the same.
extern const QStringList mprisMimeTypes;

// Connects to the session bus off the window's thread and, once connected, publishes the
// player from the window's thread. Without a session bus nothing happens. Calls once a run;
// every call then acts on app.mainWindow through the handlers its controls use.
void PublishMpris();
