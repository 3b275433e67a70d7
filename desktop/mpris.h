// MPRIS 2 on the session bus: desktops, media keys and remote controls drive the player.
#pragma once

#include <QString>

extern const QString mprisService;
extern const QString mprisPath;
extern const QString mprisRootInterface;

// Connects to the session bus off the window's thread and, once connected, publishes the
// player from the window's thread. Without a session bus nothing happens. Calls once a run;
// every call then acts on app.mainWindow through the handlers its controls use.
void PublishMpris();
