// A file or folder named from outside the open-file dialog: the command line, a launch
// handed over to the running player, a desktop client, a drop on the window.
#pragma once

#include <QByteArray>
#include <QUrl>
#include <functional>

#include "playback/track_open.h"

// Opens path (the file system's bytes, which need not be UTF-8) for the current book as picking
// it in "Добавить папку" does; a folder opens its first track in list order. A relative path is
// taken from the working folder. A path that does not exist, or a folder without tracks, is
// reported and changes nothing. Returns whether a file is being opened; one that cannot be
// played runs refused.
bool OpenPathForCurrentBook(const QByteArray& path, std::function<void()> refused = ReportUnplayable);
// A local file URI's path as bytes: percent-encoded bytes stay what they were, UTF-8 or not.
// Empty for any other URI.
QByteArray LocalPathOf(const QUrl& url);
// The URI of path (bytes, absolute or taken from the working folder), every byte kept.
QString FileUriOf(const QByteArray& path);
