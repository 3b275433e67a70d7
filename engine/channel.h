// One opened file: decoder, effects and volume, and for a playing channel its server stream
// and the feeder thread that keeps that stream filled.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/bass.h"
#include "engine/decoder.h"
#include "engine/dsp.h"
#include "engine/pulse_output.h"
#include "engine/tempo.h"

struct SwrContext;

namespace engine {

class Channel {
public:
    // A channel read with getData(); never reaches the server. nullptr when undecodable.
    static std::shared_ptr<Channel> openDecoding(const std::string& path);
    // A paused channel with its server stream; play() fills it and is heard at once. When the
    // server goes away, the channel takes a new stream on the next connection and goes on
    // from the frame last heard. nullptr when undecodable, the server is away or refuses the stream.
    static std::shared_ptr<Channel> openPlaying(const std::string& path, std::shared_ptr<PulseConnection> server);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Stops sound and the feeder (waiting for a sync procedure in flight unless called from
    // it); the channel ignores everything afterwards. Idempotent.
    void shutdown();

    const std::string& path() const { return path_; }
    int rate() const { return rate_; }
    int channels() const { return channels_; }
    std::int64_t lengthFrames() const { return lengthFrames_; }
    std::int64_t fileSize() const { return fileSize_; }
    bool isDecoding() const { return decodingOnly_; }

    bool play();
    bool pause();
    // False (nothing changes) for a frame outside 0..length.
    bool seek(std::int64_t frame);
    // The frame being heard now (decoding channels: the next frame read).
    std::int64_t positionFrames();
    DWORD level();
    // Reached at once, or gliding there over slideSeconds of listening.
    void setVolume(float volume, double slideSeconds = 0);
    // Listening speed with the pitch kept; positions keep counting the file's own frames.
    void setSpeed(double speed);

    // Effects are addressed by the index addEffect returned.
    int addEffect(DWORD type);
    bool effectParameters(int index, void* params);
    bool setEffectParameters(int index, const void* params);

    // type BASS_SYNC_END or BASS_SYNC_DEV_FAIL.
    void setSync(DWORD type, HSYNC sync, DWORD channelHandle, SYNCPROC* proc, void* user);

    // Decoding channels: decodes, runs the effects and the volume into out; returns frames
    // written, 0 at the end, -1 when this is not a decoding channel.
    long readProcessed(float* out, std::size_t maxFrames);

private:
    enum class State { Paused, Playing, Ended };
    struct PeakBlock {
        std::int64_t start;
        std::int64_t end;
        float left;
        float right;
    };
    // From output frame `output` of the segment on, the file advances from `frame` at `speed`.
    struct SpeedMark {
        std::int64_t output;
        std::int64_t frame;
        double speed;
    };
    struct EffectSlot {
        DWORD type;
        std::unique_ptr<Effect> effect;
    };

    struct Sync {
        HSYNC handle = 0;
        SYNCPROC* proc = nullptr;
        void* user = nullptr;
    };
    // What a wake-up of the feeder found, for the sync procedures called outside the lock.
    struct Service {
        bool endHeard = false;
        bool outputLost = false;
        int lossNews = -1; // 1: the server stayed away too long; 0: back after that was said
    };

    Channel(std::unique_ptr<Decoder> decoder, const std::string& path, bool decodingOnly);
    bool openOutputLocked(std::shared_ptr<PulseContext> pulse);
    void feederLoop(std::shared_ptr<Channel> self);
    void wakeFeeder();
    // With mutex_ held: the feeder's work after a wake-up.
    Service serviceLocked();
    void loseOutputLocked();
    // A new stream on the server's new connection, going on from pausedAt_.
    bool restoreOutputLocked();
    // With mutex_ held: decodes and writes until the server's buffer is full or the file ends.
    void fillLocked();
    std::size_t processLocked(float* frames, std::size_t maxFrames);
    // With mutex_ held: processed frames stretched to the speed; 0 once the tail is out.
    std::size_t stretchLocked(float* frames, std::size_t maxFrames);
    void recordPeaksLocked(const float* frames, std::size_t count, std::int64_t firstFrame);
    std::int64_t heardFrameLocked(bool refreshTiming = true);
    // The file frame that output frame `output` of the segment carries, by the speed marks.
    std::int64_t fileFrameAtLocked(std::int64_t output) const;
    void restartSegmentLocked(std::int64_t frame);
    void fireSync(bool end, DWORD data);

    std::unique_ptr<Decoder> decoder_;
    const std::string path_;
    const int rate_;
    const int channels_;
    const std::int64_t lengthFrames_;
    const std::int64_t fileSize_;
    const bool decodingOnly_;

    std::mutex mutex_; // everything below except the wake-up fields
    std::vector<EffectSlot> effects_;
    Volume volume_;
    Tempo tempo_;
    std::vector<float> stretchInput_;
    bool released_ = false;
    State state_ = State::Paused;

    std::shared_ptr<PulseConnection> server_;
    std::unique_ptr<PulseStream> stream_; // null while the server is away
    std::chrono::steady_clock::time_point lostSince_{};
    bool lossReported_ = false;
    SwrContext* resampler_ = nullptr;
    std::vector<float> decodeBuffer_;
    std::vector<float> outputBuffer_;
    std::vector<float> pendingOutput_;
    std::int64_t segmentStart_ = 0;   // frame of the last seek (or open)
    std::int64_t decodedFrames_ = 0;  // frames processed since segmentStart_
    std::int64_t writtenFrames_ = 0;  // output frames written since segmentStart_
    std::int64_t lastHeard_ = 0;      // keeps the reported position from stepping back
    std::int64_t pausedAt_ = 0;       // also the frame to go on from when the output comes back
    std::deque<SpeedMark> speedMarks_{{0, 0, 1.0}}; // the first one not after the frame heard, then later ones
    bool decodeFinished_ = false;
    std::deque<PeakBlock> peaks_;

    DWORD syncChannel_ = 0;
    Sync endSync_;
    Sync lossSync_;
    bool endSyncFired_ = false;

    std::mutex wakeMutex_;
    std::condition_variable wakeCv_;
    bool wakePending_ = false;
    bool stopRequested_ = false;
    std::thread feeder_;
};

} // namespace engine
