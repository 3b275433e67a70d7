#include "playback/track_open.h"

#include <QTabBar>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "app/app_state.h"
#include "books/book_slot_file.h"
#include "playback/effects.h"
#include "playback/speed.h"
#include "playback/text_format.h"
#include "playback/track_end.h"
#include "ui/control_ids.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

const char* const titleTemplate =
    "%IFV1(%ITRM(%TRCK),%ITRM(%TRCK). )%IFV2(%ITRM(%ARTI),%ICAP(%ITRM(%ARTI)),no artist) - "
    "%IFV2(%ITRM(%TITL),%ICAP(%ITRM(%TITL)),no title)%IFV1(%ITRM(%ALBM), - %IUPC(%ITRM(%ALBM)))"
    "%IFV1(%YEAR, %(%YEAR%))%IFV1(%ITRM(%GNRE), {%ITRM(%GNRE)})%IFV1(%ITRM(%CMNT), [%ITRM(%CMNT)])";

namespace {

constexpr BASS_DX8_PARAMEQ kBands[3] = {{100, 28, 0}, {3000, 28, 0}, {12000, 28, 0}};

// The file's size in mebibytes; 0 when it cannot be measured.
float FileSizeMebibytes(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return 0;
    return float(double(info.st_size) / (1024.0 * 1024.0));
}

// A stream only from a regular file: a FIFO or a device named like a track would block.
HSTREAM CreateStream(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return 0;
    return BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_SAMPLE_8BITS);
}

void ShowStatusTexts(float sizeMebibytes, DWORD sampleRate) {
    MainWindow* w = app.mainWindow;
    w->setStatusText(0, FormatText("   Всего в списке: %d", app.trackCount));

    const QWORD fileBytes = BASS_StreamGetFilePosition(app.currentStream, BASS_FILEPOS_END);
    const int bitrate = app.durationSeconds > 0
                            ? int(double(fileBytes) / (app.durationSeconds * 125) + 0.5)
                            : 0;
    w->setStatusText(1, FormatText(" %s  %0.1f kHz   %d Kbs     %0.2f Mb", app.isStereo ? "Стерео" : "Моно   ",
                                   double(sampleRate) / 1000, bitrate, double(sizeMebibytes)));

    const Hms length = SplitHms(app.durationSeconds);
    if (length.hours > 0)
        w->setStatusText(2, FormatText("Время звучания: %.2d:%.2d:%.2d", length.hours, length.minutes,
                                       length.seconds));
    else
        w->setStatusText(2, FormatText("Время звучания: %.2d:%.2d", length.minutes, length.seconds));
}

void SetUpPositionSlider() {
    const int whole = int(app.durationSeconds);
    app.mainWindow->setSliderRange(ids::PositionSlider, 0, whole);
    QList<int> ticks;
    for (int i = 1; i <= 9; ++i)
        ticks.append(int(app.durationSeconds / 10 * i));
    app.mainWindow->setPositionTicks(ticks);
}

} // namespace

Hms SplitHms(double t) {
    Hms r;
    r.hours = std::int32_t(t / 3600);
    const double rest = t - double(r.hours * 3600);
    r.minutes = std::int32_t(rest / 60);
    r.seconds = std::int32_t(rest - double(r.minutes * 60));
    return r;
}

void FolderNameText() {
    const std::string& folder = app.folderDir;
    const auto slash = folder.rfind('/');
    const std::string name = slash == std::string::npos ? folder : folder.substr(slash + 1);
    app.textBuffer = QString::fromUtf8(name.c_str());
}

void ReleaseCurrentStream() {
    if (app.currentStream != 0) {
        BASS_StreamFree(app.currentStream);
        app.currentStream = 0;
    }
}

bool OpenTrack(const std::string& path, std::int64_t startPosition, bool advancing) {
    if (app.exiting)
        return false;
    const float sizeMebibytes = FileSizeMebibytes(path);
    ReleaseCurrentStream();

    app.currentStream = CreateStream(path);
    if (app.currentStream == 0) {
        // The advance goes on to the next file itself; the slot keeps the last playable one.
        if (advancing)
            return false;
        RecordBookPath(path);
        app.bookRecord.position = startPosition;
        SaveState();
        ShowWarning(app.mainWindow, QStringLiteral("Ошибка воспроизведения"));
        return false;
    }
    for (int band = 0; band < 3; ++band)
        app.eqEffect[band] = BASS_ChannelSetFX(app.currentStream, BASS_FX_DX8_PARAMEQ, 0);
    app.reverbEffect = BASS_ChannelSetFX(app.currentStream, BASS_FX_DX8_REVERB, 0);
    for (int band = 0; band < 3; ++band)
        BASS_FXSetParameters(app.eqEffect[band], &kBands[band]);
    for (int slider = 0; slider < 5; ++slider)
        ApplySlider(slider);
    ApplySpeed();

    BASS_CHANNELINFO info{};
    BASS_ChannelGetInfo(app.currentStream, &info);
    app.textBuffer.clear();
    app.mainWindow->setTitleText(QString());
    app.durationSeconds =
        BASS_ChannelBytes2Seconds(app.currentStream, BASS_ChannelGetLength(app.currentStream, BASS_POS_BYTE));
    app.isStereo = info.chans != 1;
    ShowStatusTexts(sizeMebibytes, info.freq);
    SetUpPositionSlider();

    const QString tags = QString::fromUtf8(TAGS_Read(app.currentStream, titleTemplate));
    if (!tags.isEmpty())
        app.textBuffer = tags;
    else
        FolderNameText();
    app.mainWindow->setTitleText(app.textBuffer);
    FolderNameText();
    app.mainWindow->setTabLabel(app.settings.currentBook, app.textBuffer.left(8));

    ArmTrackEnd(app.currentStream);
    // Seeking before play, not after it: otherwise the first moments of the file reach the
    // sound server before the seek and are heard ahead of the resumed place. A place the
    // engine refuses plays from the start, and the slot says so.
    if (startPosition != 0 && !BASS_ChannelSetPosition(app.currentStream, QWORD(startPosition), BASS_POS_BYTE))
        startPosition = 0;
    // The slot pairs the new file with the place its playback starts at, never with where
    // the previous file stopped.
    RecordBookPath(path);
    app.bookRecord.position = startPosition;
    SaveState();
    BASS_ChannelPlay(app.currentStream, false);
    app.isPlaying = 1;
    app.mainWindow->setPlayPauseIcon(ids::IconPause);
    return true;
}
