// One opened file. A decoding channel is read by the caller (getData). A playing channel has
// two threads: the decoding thread (source_feed.*) fills a queue of raw frames from the file;
// the output thread (channel_output.cpp), woken by the server's requests, takes frames from
// it and runs the stretcher, the resampler, the effects and the volume into the server's stream.
// The caller's thread never waits on either: mutex_ is never held across file I/O or a wait
// for the server's answer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/bass.h"
#include "engine/decoder.h"
#include "engine/dsp.h"
#include "engine/levels.h"
#include "engine/loudness_gain.h"
#include "engine/pause_cutter.h"
#include "engine/pulse_output.h"
#include "engine/sample_ring.h"
#include "engine/source_feed.h"
#include "engine/tempo.h"
#include "engine/timeline.h"

struct SwrContext;

namespace engine {

class Channel {
public:
    // A channel read with readProcessed(); never reaches the server. nullptr when undecodable.
    static std::shared_ptr<Channel> openDecoding(const std::string& path);
    // A paused channel with its server stream; play() is heard at once. When the server goes
    // away, the channel takes a new stream on the next connection and goes on from the frame
    // last heard. nullptr when undecodable, the server is away or refuses the stream.
    static std::shared_ptr<Channel> openPlaying(const std::string& path, std::shared_ptr<PulseConnection> server);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Stops sound; the channel ignores everything afterwards. Waits for a sync procedure in
    // flight (unless called from it), but at most shutdownWait for each thread: one stuck in
    // a read is left behind and ends by itself. Idempotent.
    void shutdown();
    static constexpr std::chrono::milliseconds shutdownWait{200};
    // How long seek() waits for the decoding thread before leaving the seek pending.
    static constexpr std::chrono::milliseconds seekWait{150};

    const std::string& path() const { return path_; }
    int rate() const { return rate_; }
    int channels() const { return channels_; }
    std::int64_t lengthFrames() const { return lengthFrames_; }
    std::int64_t fileSize() const { return fileSize_; }
    bool isDecoding() const { return decodingOnly_; }
    const std::vector<Chapter>& chapters() const { return chapters_; }

    bool play();
    bool pause();
    // False (nothing changes, nothing heard is dropped) for a frame outside 0..length or one
    // the decoder refuses. True as well when the file hangs: the seek is then done when
    // reads return. With phraseFrom, to the phrase start found from there (speech_pause.h),
    // searched for by the decoding thread.
    bool seek(std::int64_t frame, std::optional<std::int64_t> phraseFrom = std::nullopt);
    // The file frame being heard now (decoding channels: the next frame read).
    std::int64_t positionFrames();
    DWORD level();
    // Reached at once, or gliding there over slideSeconds of listening.
    void setVolume(float volume, double slideSeconds = 0);
    // Listening speed with the pitch kept; positions keep counting the file's own frames.
    void setSpeed(double speed);
    // Playing channels: long pauses heard shorter, positions still in the file's own frames.
    void setPauseShortening(bool on);
    // Seconds of listening the shortened pauses heard so far have saved; -1 once shut down.
    double timeSaved();
    // Loudness levelling: a gain in dB gliding in over a second of listening, with the limiter
    // after it; off takes both out of the chain once the gain is back at 0 dB.
    void setLevel(bool on, float db);

    // Effects are addressed by the index addEffect returned.
    int addEffect(DWORD type);
    bool effectParameters(int index, void* params);
    bool setEffectParameters(int index, const void* params);

    // type BASS_SYNC_END, BASS_SYNC_DEV_FAIL or BASS_SYNC_STALL.
    void setSync(DWORD type, HSYNC sync, DWORD channelHandle, SYNCPROC* proc, void* user);

    // Decoding channels: decodes, runs the effects, the levelling and the volume into out; returns frames
    // written, 0 at the end, -1 when this is not a decoding channel.
    long readProcessed(float* out, std::size_t maxFrames);

private:
    enum class State { Paused, Playing, Ended };
    struct EffectSlot {
        DWORD type;
        std::unique_ptr<Effect> effect;
    };
    struct Sync {
        HSYNC handle = 0;
        SYNCPROC* proc = nullptr;
        void* user = nullptr;
    };
    enum SyncKind { EndSync, LossSync, StallSync, syncKinds };
    // What a wake-up of the output thread found, for the sync procedures called outside the lock.
    struct Service {
        bool endHeard = false;
        bool poll = false; // look again soon even if the server asks nothing
        int lossNews = -1; // 1: the server stayed away too long; 0: back after that was said
        int stallNews = -1; // 0: the file gave nothing for a while; 1: sound flows again
    };

    Channel(std::unique_ptr<Decoder> decoder, const std::string& path, bool decodingOnly);

    // channel_output.cpp: the output thread.
    void outputLoop(std::shared_ptr<Channel> keepAlive);
    void wakeOutput();
    Service service();
    std::unique_ptr<PulseStream> openStream(std::shared_ptr<PulseContext> pulse);
    // With mutex_ held: takes a freshly opened stream (a new server may run at another rate).
    bool installStreamLocked(std::unique_ptr<PulseStream> stream);
    void loseOutputLocked();
    void followSourceLocked();
    void checkStallLocked(Service& result, bool wrote);
    // Returns true when it wrote anything.
    bool fillLocked();
    // Raw frames from the file (the queue, or the decoder for a decoding channel); 0 with
    // ended set at the end.
    std::size_t pullLocked(float* frames, std::size_t maxFrames, bool& ended);
    // Pulled frames stretched to the speed; 0 (with ended set once all is out) when nothing is ready.
    std::size_t stretchLocked(float* frames, std::size_t maxFrames, bool& ended);
    // channel_pauses.cpp: stretched frames with long pauses shortened, for fillLocked: a cut
    // is marked on the timeline where the next frame it gathers goes.
    std::size_t shortenLocked(float* frames, std::size_t maxFrames, bool& ended);
    void applyEffectsLocked(float* frames, std::size_t count, int channels);
    // channel_rewrite.cpp: changes heard at once. Runs the effects, the levelling and the volume on frames
    // about to be written, keeping them as they were before each stage.
    void processForOutputLocked(float* frames, std::size_t count, int channels);
    // Forgets what the listener has heard (all but a stretch to warm fresh effects up on).
    void trimHeldLocked();
    // Writes again, with the new volume and effects, what the server holds and has not begun
    // to play. False when it must wait a little (changes come faster than worth rewriting).
    bool rewriteHeldLocked();
    // With the new speed: the chain starts again at `from` from the raw frames it carried.
    bool restretchLocked(std::int64_t from);
    void rebuildEffectsLocked(int rate, int channels);
    // Output frames of the segment heard now, when the server has told its timing.
    std::optional<std::int64_t> heardOutputLocked(bool refreshTiming);
    std::int64_t heardFrameLocked(bool refreshTiming = true);
    void restartSegmentLocked(std::int64_t frame);
    void fireSync(SyncKind kind, DWORD data);

    std::unique_ptr<Decoder> decoder_; // decoding channels only; a playing one's is the feed's
    const std::string path_;
    const int rate_;
    const int channels_;
    const std::int64_t lengthFrames_;
    const std::int64_t fileSize_;
    const bool decodingOnly_;
    const std::vector<Chapter> chapters_;
    std::unique_ptr<SourceFeed> feed_; // playing channels only

    std::mutex mutex_; // everything below up to the syncs; never held across I/O or a server wait
    std::vector<EffectSlot> effects_;
    int effectRate_;     // the effects and the volume run at the output's rate
    int effectChannels_; // and channel count
    Volume volume_;
    LoudnessGain level_;
    Tempo tempo_;
    PauseCutter pauses_{rate_, channels_};
    std::vector<float> stretchInput_;
    std::vector<float> chunk_;
    std::vector<float> resampled_;
    std::vector<float> pendingOutput_;
    bool released_ = false;
    State state_ = State::Paused;

    std::shared_ptr<PulseConnection> server_;
    std::unique_ptr<PulseStream> stream_; // null while the server is away
    std::chrono::steady_clock::time_point lostSince_{};
    bool lossReported_ = false;
    bool stallReported_ = false;
    SwrContext* resampler_ = nullptr;
    std::uint64_t segment_ = 0;        // the feed's segment being played
    std::optional<std::int64_t> pendingSeek_; // the frame asked for, until the decoding thread answers
    std::uint64_t pendingSeekTicket_ = 0;
    std::int64_t writtenFrames_ = 0; // output frames written since the segment began
    std::int64_t lastHeard_ = 0;     // keeps the reported position from stepping back
    std::int64_t pausedAt_ = 0;      // also the frame to go on from when the output comes back
    Timeline timeline_;
    bool decodeFinished_ = false;
    PeakHistory peaks_;

    struct VolumeMark {
        std::int64_t frame; // output frame the volume and the levelling stood at, before processing it
        Volume volume;
        LoudnessGain level;
    };
    SampleRing heldDry_; // output frames from heldStart_ on, before the effects
    SampleRing heldWet_; // the same after the effects, before the levelling and the volume
    std::int64_t heldStart_ = 0;
    std::deque<VolumeMark> volumeMarks_; // one per write, the first at heldStart_
    bool effectsChanged_ = false;
    bool speedChanged_ = false;
    // Raw frames taken from the queue, from heldRawStart_ on, to stretch again at a new speed;
    // replay_ is taken before the queue.
    SampleRing heldRaw_;
    std::vector<float> replay_;
    std::int64_t nextFileFrame_ = 0; // the file frame the next raw frame taken carries
    std::int64_t rewindFrames_ = 0;  // the next write goes this far back, over what was written
    struct VolumeRequest {
        float volume;
        int rampFrames;
    };
    std::optional<VolumeRequest> volumeRequest_; // the last one asked for, until rewritten
    struct LevelRequest {
        bool on;
        float db;
    };
    std::optional<LevelRequest> levelRequest_;
    std::chrono::steady_clock::time_point lastRewrite_{};
    std::vector<float> scratch_;
    std::vector<float> rewritten_;

    std::mutex syncMutex_; // held while a sync procedure runs
    DWORD syncChannel_ = 0;
    Sync syncs_[syncKinds];
    bool endSyncFired_ = false;

    std::mutex wakeMutex_;
    std::condition_variable wakeCv_;
    bool wakePending_ = false;
    bool stopRequested_ = false;
    bool outputExited_ = false;
    std::thread output_;
};

} // namespace engine
