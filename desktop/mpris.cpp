#include "desktop/mpris.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QPointer>
#include <QSlider>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <optional>
#include <thread>

#include "app/app_state.h"
#include "app/exit.h"
#include "books/open_path.h"
#include "engine/tempo.h"
#include "playback/effects.h"
#include "playback/speed.h"
#include "playback/text_format.h"
#include "playback/track_rows.h"
#include "playback/transport.h"
#include "sleep/sleep_timer.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

const QString mprisService = QStringLiteral("org.mpris.MediaPlayer2.tellwick");
const QString mprisPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString mprisRootInterface = QStringLiteral("org.mpris.MediaPlayer2");
const QString mprisPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QStringList mprisMimeTypes = {
    QStringLiteral("audio/mpeg"),      QStringLiteral("audio/mp4"),   QStringLiteral("audio/x-m4b"),
    QStringLiteral("audio/flac"),      QStringLiteral("audio/ogg"),   QStringLiteral("audio/x-vorbis+ogg"),
    QStringLiteral("audio/x-opus+ogg"), QStringLiteral("audio/x-flac+ogg"), QStringLiteral("audio/x-wav"),
    QStringLiteral("audio/x-aiff"),    QStringLiteral("audio/x-ape"),     QStringLiteral("audio/x-ms-wma"),
    QStringLiteral("audio/x-matroska"), QStringLiteral("inode/directory")};

namespace {

// The window when it takes commands: none once the exit has begun.
MainWindow* Window() {
    return app.exiting ? nullptr : app.mainWindow;
}

qlonglong Microseconds(double seconds) {
    return qlonglong(std::llround(seconds * 1e6));
}

double HeardSeconds() {
    if (app.currentStream == 0)
        return 0;
    const QWORD bytes = BASS_ChannelGetPosition(app.currentStream, BASS_POS_BYTE);
    return bytes == QWORD(-1) ? 0 : BASS_ChannelBytes2Seconds(app.currentStream, bytes);
}

QString PlaybackStatus() {
    if (app.currentStream == 0)
        return QStringLiteral("Stopped");
    return app.isPlaying ? QStringLiteral("Playing") : QStringLiteral("Paused");
}

// Each opened stream is a new track for clients, so a position meant for an earlier one is
// recognised as stale.
QDBusObjectPath TrackId() {
    return QDBusObjectPath(QStringLiteral("/org/tellwick/stream/%1").arg(app.currentStream));
}

int VolumeSliderPosition() {
    MainWindow* w = Window();
    return w ? w->slider(ids::VolumeSlider)->value() : 0;
}

QString Tag(const char* field) {
    return QString::fromUtf8(TAGS_Read(app.currentStream, field));
}

QVariantMap BuildMetadata() {
    QVariantMap metadata;
    BASS_CHANNELINFO info{};
    if (app.currentStream == 0 || !BASS_ChannelGetInfo(app.currentStream, &info) || !info.filename)
        return metadata;
    const std::string file = info.filename;
    const std::string folder = file.substr(0, file.rfind('/'));
    metadata[QStringLiteral("mpris:trackid")] = QVariant::fromValue(TrackId());
    metadata[QStringLiteral("mpris:length")] = Microseconds(app.durationSeconds);
    const QString title = Tag("%ITRM(%TITL)");
    metadata[QStringLiteral("xesam:title")] = title.isEmpty() ? FolderNameText(file) : title;
    // Position and length stay the file's; the title tells the chapter heard.
    if (app.chapterIndex >= 0 && std::size_t(app.chapterIndex) < app.chapters.size())
        metadata[QStringLiteral("xesam:title")] = metadata[QStringLiteral("xesam:title")].toString() +
                                                  QStringLiteral(" — ") + app.chapters[std::size_t(app.chapterIndex)].title;
    if (const QString artist = Tag("%ITRM(%ARTI)"); !artist.isEmpty())
        metadata[QStringLiteral("xesam:artist")] = QStringList{artist};
    // An audiobook's folder is the book: it stands in for a missing album tag.
    const QString album = Tag("%ITRM(%ALBM)");
    metadata[QStringLiteral("xesam:album")] = album.isEmpty() ? FolderNameText(folder) : album;
    metadata[QStringLiteral("xesam:url")] = FileUriOf(QByteArray::fromStdString(file));
    return metadata;
}

QVariantMap Metadata() {
    static HSTREAM builtFor = 0;
    static int builtForChapter = -1;
    static QVariantMap built;
    if (builtFor != app.currentStream || builtForChapter != app.chapterIndex) {
        built = BuildMetadata();
        builtFor = app.currentStream;
        builtForChapter = app.chapterIndex;
    }
    return built;
}

// What clients were last told.
struct Announced {
    QString status;
    HSTREAM stream = 0;
    int chapter = -1;
    int volumePosition = -1;
    double rate = 1.0;
    bool hasRows = false;
    bool bookSwitched = false; // since the track was announced
};
Announced announced;

void SendPropertiesChanged(const QString& interface, const QVariantMap& changed) {
    QDBusMessage signal = QDBusMessage::createSignal(mprisPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << interface << changed << QStringList();
    QDBusConnection::sessionBus().send(signal);
}

void Announce();

bool HasRows() {
    return app.trackCount > 0;
}

bool HasStream() {
    return app.currentStream != 0;
}

// Calls from clients, taken together until the window's thread gets to them: a flood of calls
// costs one open, one seek and one toggle, and every caller is answered before any of it runs
// (a failed open ends in a message box, which must not keep the caller waiting).
struct Pending {
    enum class Play { Keep, Toggle, Play, Pause };
    std::optional<QByteArray> open;
    bool newTrack = false; // an open, Next or Previous: the track playing now is on its way out
    int steps = 0;         // Next +1, Previous -1, in the list's order
    std::optional<double> seekTo; // seconds into the track playing once the rest is done
    Play play = Play::Keep;
    std::optional<double> rate;
    bool quit = false;
    bool posted = false;
};
Pending pending;

void SeekTo(double seconds);

// In the order calls in a row would have had their effect: the file, the steps, the seek,
// then play or pause (an opened track plays), the speed any time.
void TakePending() {
    // Calls that come while this runs (inside a message box's loop) make a batch of their own.
    const Pending p = std::exchange(pending, Pending{});
    if (!Window())
        return;
    if (p.quit) {
        ExitApp();
        return;
    }
    if (p.open)
        OpenPathForCurrentBook(*p.open);
    if (!Window())
        return;
    if (p.steps == 1)
        NextTrack();
    else if (p.steps == -1)
        PreviousTrack();
    else if (p.steps != 0 && HasRows())
        OpenRow(((app.trackIndex + p.steps) % app.trackCount + app.trackCount) % app.trackCount);
    if (p.seekTo && HasStream()) {
        if (*p.seekTo >= app.durationSeconds)
            NextFile();
        else
            SeekTo(*p.seekTo);
    }
    // Play or play/pause during the sleep timer's fade keeps the listener listening; an explicit
    // Pause (a call coming in, say) still pauses.
    const bool press = p.play == Pending::Play::Toggle || p.play == Pending::Play::Play;
    if (HasStream() && !(press && ExtendSleepTimer()) &&
        (p.play == Pending::Play::Toggle || (p.play == Pending::Play::Play && !app.isPlaying) ||
         (p.play == Pending::Play::Pause && app.isPlaying)))
        TogglePlayPause();
    if (p.rate)
        SetSpeed(*p.rate);
    Announce();
}

// Runs what is pending at the window thread's next turn, once however many calls come first.
Pending& Post() {
    if (!std::exchange(pending.posted, true))
        QTimer::singleShot(0, QCoreApplication::instance(), TakePending);
    return pending;
}

// Seeks and play or pause asked for before a change of track are past: the new one plays from 0.
Pending& NewTrack() {
    Pending& p = Post();
    p.newTrack = true;
    p.seekTo.reset();
    p.play = Pending::Play::Keep;
    return p;
}

void SetPlay(Pending::Play wanted) {
    Pending& p = Post();
    if (wanted != Pending::Play::Toggle)
        p.play = wanted;
    else if (p.play == Pending::Play::Keep || p.play == Pending::Play::Toggle)
        p.play = p.play == Pending::Play::Keep ? Pending::Play::Toggle : Pending::Play::Keep;
    else
        p.play = p.play == Pending::Play::Play ? Pending::Play::Pause : Pending::Play::Play;
}

class RootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ yes)
    Q_PROPERTY(bool CanRaise READ yes)
    Q_PROPERTY(bool HasTrackList READ no)
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ uriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ mimeTypes)

public:
    explicit RootAdaptor(QObject* host) : QDBusAbstractAdaptor(host) {}
    bool yes() const { return true; }
    bool no() const { return false; }
    QString identity() const { return QStringLiteral("Tellwick"); }
    QString desktopEntry() const { return QStringLiteral("tellwick"); }
    QStringList uriSchemes() const { return {QStringLiteral("file")}; }
    QStringList mimeTypes() const { return mprisMimeTypes; }

public slots:
    void Raise() {
        MainWindow* w = Window();
        if (!w)
            return;
        w->setWindowState(w->windowState() & ~Qt::WindowMinimized);
        w->show();
        w->raise();
        w->activateWindow();
    }
    void Quit() {
        if (Window())
            Post().quit = true;
    }
};

class PlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(double Rate READ rate WRITE setRate)
    Q_PROPERTY(double MinimumRate READ minimumRate)
    Q_PROPERTY(double MaximumRate READ maximumRate)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(double Volume READ volume WRITE setVolume)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(bool CanGoNext READ hasRows)
    Q_PROPERTY(bool CanGoPrevious READ hasRows)
    Q_PROPERTY(bool CanPlay READ hasStream)
    Q_PROPERTY(bool CanPause READ hasStream)
    Q_PROPERTY(bool CanSeek READ hasStream)
    Q_PROPERTY(bool CanControl READ yes)

public:
    explicit PlayerAdaptor(QObject* host) : QDBusAbstractAdaptor(host) {}
    QString playbackStatus() const { return PlaybackStatus(); }
    double rate() const { return CurrentSpeed(); }
    double minimumRate() const { return engine::Tempo::minSpeed; }
    double maximumRate() const { return engine::Tempo::maxSpeed; }
    QVariantMap metadata() const { return Metadata(); }
    double volume() const { return (100 - VolumeSliderPosition()) / 100.0; }
    qlonglong position() const { return Microseconds(HeardSeconds()); }
    bool hasRows() const { return HasRows(); }
    bool hasStream() const { return HasStream(); }
    bool yes() const { return true; }

    // The volume slider's path: its position moves, then the slider's handler applies it.
    void setVolume(double volume) {
        MainWindow* w = Window();
        if (!w || std::isnan(volume))
            return;
        w->setSliderPosition(ids::VolumeSlider, int(std::lround((1.0 - std::clamp(volume, 0.0, 1.0)) * 100)));
        ApplySlider(ids::VolumeSlider - ids::EqBand100);
        Announce();
    }

    // The speed menu's own path. A rate of 0 is a pause, and the speed stays.
    void setRate(double rate) {
        if (!Window() || std::isnan(rate))
            return;
        if (rate == 0)
            Pause();
        else
            Post().rate = rate;
    }

public slots:
    void Next() { NewTrack().steps += 1; }
    void Previous() { NewTrack().steps -= 1; }
    void Play() { SetPlay(Pending::Play::Play); }
    void Pause() { SetPlay(Pending::Play::Pause); }
    void PlayPause() { SetPlay(Pending::Play::Toggle); }
    // An audiobook keeps its place: stopping is pausing.
    void Stop() { Pause(); }
    // From the place reached by the seeks before it; a new track's place starts at 0.
    void Seek(qlonglong offset) {
        if (!hasStream())
            return;
        Pending& p = Post();
        p.seekTo = p.seekTo.value_or(p.newTrack ? 0.0 : HeardSeconds()) + double(offset) / 1e6;
    }
    // A track on its way out is no longer the one named.
    void SetPosition(const QDBusObjectPath& track, qlonglong position) {
        if (hasStream() && !pending.newTrack && track == TrackId() && position >= 0 &&
            position <= Microseconds(app.durationSeconds))
            Post().seekTo = double(position) / 1e6;
    }
    // A file opens for the current book as if picked in the dialog; a folder, its first track.
    // Of several in a row, the last.
    void OpenUri(const QString& uri) {
        // The path as bytes: a name that is not UTF-8 comes percent-encoded.
        const QByteArray path = LocalPathOf(QUrl(uri));
        if (path.isEmpty())
            return;
        Pending& p = NewTrack();
        p.open = path;
        p.steps = 0;
    }

signals:
    void Seeked(qlonglong position);
};

PlayerAdaptor* player = nullptr;

// The position slider's handler, to the fraction of a second; the slider follows at once.
void SeekTo(double seconds) {
    MainWindow* w = Window();
    if (!w)
        return;
    seconds = std::max(0.0, seconds);
    w->setSliderPosition(ids::PositionSlider, int(seconds));
    SeekToSlider(seconds);
    emit player->Seeked(Microseconds(HeardSeconds()));
}

// The listener's seeks and book switches; clients' seeks are told of where they are made.
void WatchSeeks() {
    static QPointer<MainWindow> watched;
    if (!app.mainWindow || watched == app.mainWindow)
        return;
    watched = app.mainWindow;
    QObject::connect(app.mainWindow, &MainWindow::positionSliderMoved, player,
                     [] { emit player->Seeked(Microseconds(HeardSeconds())); });
    QObject::connect(app.mainWindow, &MainWindow::bookTabChosen, player, [] { announced.bookSwitched = true; });
}

void Announce() {
    if (!player || !Window())
        return;
    WatchSeeks();
    QVariantMap changed;
    if (const QString status = PlaybackStatus(); status != announced.status)
        changed[QStringLiteral("PlaybackStatus")] = announced.status = status;
    if (app.chapterIndex != announced.chapter && app.currentStream == announced.stream) {
        announced.chapter = app.chapterIndex;
        changed[QStringLiteral("Metadata")] = Metadata();
    }
    if (app.currentStream != announced.stream) {
        announced.stream = app.currentStream;
        announced.chapter = app.chapterIndex;
        changed[QStringLiteral("Metadata")] = Metadata();
        for (const char* name : {"CanPlay", "CanPause", "CanSeek"})
            changed[QLatin1String(name)] = player->hasStream();
        // Clients take a new track to start at 0: a book resumed on a switch jumps for them.
        if (std::exchange(announced.bookSwitched, false) && HeardSeconds() > 0)
            emit player->Seeked(Microseconds(HeardSeconds()));
    }
    if (const int position = VolumeSliderPosition(); position != announced.volumePosition) {
        announced.volumePosition = position;
        changed[QStringLiteral("Volume")] = player->volume();
    }
    if (const double rate = CurrentSpeed(); rate != announced.rate)
        changed[QStringLiteral("Rate")] = announced.rate = rate;
    if (player->hasRows() != announced.hasRows) {
        announced.hasRows = player->hasRows();
        changed[QStringLiteral("CanGoNext")] = changed[QStringLiteral("CanGoPrevious")] = announced.hasRows;
    }
    if (!changed.isEmpty())
        SendPropertiesChanged(mprisPlayerInterface, changed);
}

// Runs on the window's thread once the bus is connected.
void Register() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto* host = new QObject(QCoreApplication::instance());
    new RootAdaptor(host);
    player = new PlayerAdaptor(host);
    if (!bus.registerObject(mprisPath, host, QDBusConnection::ExportAdaptors)) {
        delete host;
        player = nullptr;
        return;
    }
    // The name is asked for without waiting for the answer: the window never waits on the bus.
    QDBusMessage request =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
    constexpr uint DoNotQueue = 4;
    request << mprisService << DoNotQueue;
    bus.asyncCall(request);

    // Every change comes from a handler on this thread (the window's own, the engine's
    // advance, a client's call): comparing the few published values whenever the thread
    // is about to sleep tells clients of each one without a timer waking it.
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, host, Announce);
    Announce();
}

} // namespace

void PublishMpris() {
    // Connecting can take long on a busy or hung bus; only this thread waits for it.
    std::thread([] {
        if (QDBusConnection::sessionBus().isConnected())
            QMetaObject::invokeMethod(QCoreApplication::instance(), Register, Qt::QueuedConnection);
    }).detach();
}

#include "mpris.moc"
