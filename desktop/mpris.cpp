#include "desktop/mpris.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <functional>
#include <thread>

#include "app/app_state.h"
#include "books/open_path.h"
#include "engine/tempo.h"
#include "playback/speed.h"
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
    QStringLiteral("audio/x-aiff"),    QStringLiteral("audio/x-ape"),     QStringLiteral("audio/x-ms-wma"), QStringLiteral("inode/directory")};

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
    const QFileInfo file(QFile::decodeName(info.filename));
    metadata[QStringLiteral("mpris:trackid")] = QVariant::fromValue(TrackId());
    metadata[QStringLiteral("mpris:length")] = Microseconds(app.durationSeconds);
    const QString title = Tag("%ITRM(%TITL)");
    metadata[QStringLiteral("xesam:title")] = title.isEmpty() ? file.fileName() : title;
    if (const QString artist = Tag("%ITRM(%ARTI)"); !artist.isEmpty())
        metadata[QStringLiteral("xesam:artist")] = QStringList{artist};
    // An audiobook's folder is the book: it stands in for a missing album tag.
    const QString album = Tag("%ITRM(%ALBM)");
    metadata[QStringLiteral("xesam:album")] = album.isEmpty() ? file.dir().dirName() : album;
    metadata[QStringLiteral("xesam:url")] = QUrl::fromLocalFile(file.filePath()).toString(QUrl::FullyEncoded);
    return metadata;
}

QVariantMap Metadata() {
    static HSTREAM builtFor = 0;
    static QVariantMap built;
    if (builtFor != app.currentStream) {
        built = BuildMetadata();
        builtFor = app.currentStream;
    }
    return built;
}

// What clients were last told.
struct Announced {
    QString status;
    HSTREAM stream = 0;
    int volumePosition = -1;
    double rate = 1.0;
    bool hasRows = false;
};
Announced announced;

void SendPropertiesChanged(const QString& interface, const QVariantMap& changed) {
    QDBusMessage signal = QDBusMessage::createSignal(mprisPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << interface << changed << QStringList();
    QDBusConnection::sessionBus().send(signal);
}

void Announce();

// Runs an action on the window's thread after the call has been answered: an action that
// ends in a message box must not keep the caller waiting.
void AfterReply(std::function<void()> action) {
    QTimer::singleShot(0, QCoreApplication::instance(), [action = std::move(action)] {
        if (Window())
            action();
        Announce();
    });
}

bool HasRows() {
    return app.trackCount > 0;
}

bool HasStream() {
    return app.currentStream != 0;
}

// The buttons' own path: a click does what the listener's click does. The condition is
// taken when the click is due, so calls in a row see each other's effect.
void ClickWhen(int buttonId, bool (*condition)()) {
    AfterReply([buttonId, condition] {
        if (condition())
            Window()->button(buttonId)->click();
    });
}

// The position slider's path, as when the listener moves it to a whole second.
void SeekTo(double seconds) {
    if (MainWindow* w = Window()) {
        const int whole = int(std::lround(seconds));
        w->setSliderPosition(ids::PositionSlider, whole);
        emit w->positionSliderMoved(whole);
    }
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
        if (MainWindow* w = Window())
            w->menuAction(ids::MenuExit)->trigger();
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
        emit w->effectSliderMoved(ids::VolumeSlider - ids::EqBand100);
        Announce();
    }

    // The speed menu's own path.
    void setRate(double rate) {
        if (!Window())
            return;
        SetSpeed(rate);
        Announce();
    }

public slots:
    void Next() { ClickWhen(ids::NextButton, HasRows); }
    void Previous() { ClickWhen(ids::PreviousButton, HasRows); }
    void Play() {
        ClickWhen(ids::PlayPauseButton, [] { return HasStream() && !app.isPlaying; });
    }
    void Pause() {
        ClickWhen(ids::PlayPauseButton, [] { return HasStream() && app.isPlaying != 0; });
    }
    void PlayPause() { ClickWhen(ids::PlayPauseButton, HasStream); }
    // An audiobook keeps its place: stopping is pausing.
    void Stop() { Pause(); }
    void Seek(qlonglong offset) {
        if (!hasStream())
            return;
        const double target = HeardSeconds() + double(offset) / 1e6;
        if (target >= app.durationSeconds)
            Next();
        else
            SeekTo(std::max(0.0, target));
    }
    void SetPosition(const QDBusObjectPath& track, qlonglong position) {
        if (hasStream() && track == TrackId() && position >= 0 && position <= Microseconds(app.durationSeconds))
            SeekTo(double(position) / 1e6);
    }
    // A file opens for the current book as if picked in the dialog; a folder, its first track.
    void OpenUri(const QString& uri) {
        const QUrl url(uri);
        if (url.isLocalFile())
            AfterReply([path = url.toLocalFile()] { OpenPathForCurrentBook(path); });
    }

signals:
    void Seeked(qlonglong position);
};

PlayerAdaptor* player = nullptr;

// Seeks by the listener and by clients all pass through the slider's signal.
void WatchSeeks() {
    static QPointer<MainWindow> watched;
    if (!app.mainWindow || watched == app.mainWindow)
        return;
    watched = app.mainWindow;
    QObject::connect(app.mainWindow, &MainWindow::positionSliderMoved, player,
                     [] { emit player->Seeked(Microseconds(HeardSeconds())); });
}

void Announce() {
    if (!player || !Window())
        return;
    WatchSeeks();
    QVariantMap changed;
    if (const QString status = PlaybackStatus(); status != announced.status)
        changed[QStringLiteral("PlaybackStatus")] = announced.status = status;
    if (app.currentStream != announced.stream) {
        announced.stream = app.currentStream;
        changed[QStringLiteral("Metadata")] = Metadata();
        for (const char* name : {"CanPlay", "CanPause", "CanSeek"})
            changed[QLatin1String(name)] = player->hasStream();
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
