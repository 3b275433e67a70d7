// Shorter pauses: a stage right after the stretcher, so that it measures pauses as they are
// heard, at any speed. Every pause in the speech longer than longPauseMs is heard as
// keptPauseMs: its first and its last half of that, joined by a crossfade. Shorter pauses,
// breaths and everything else pass untouched; frames come out in the order they went in.
// A pause is a run of blockMs blocks at least quietDb below the speech around it: the speech
// before it, followed by an adaptive level, and the speech within the lookahead after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace engine {

class PauseCutter {
public:
    static constexpr int blockMs = 10;
    static constexpr int longPauseMs = 600;
    static constexpr int keptPauseMs = 300;
    static constexpr int lookaheadMs = 300;
    static constexpr float quietDb = 30;

    PauseCutter(int sampleRate, int channels);

    // Off: what is held comes out as it is (a long pause held is cut where it stands), and the
    // stage leaves the chain once that is out. On: pauses are cut from the next frame put.
    void setEnabled(bool enabled);
    bool enabled() const { return enabled_; }
    // In the chain: on, or with frames still to give.
    bool active() const { return enabled_ || ready() > 0; }

    void put(const float* frames, std::size_t count);
    // The input has ended: everything held comes out.
    void finish();
    bool finished() const { return finished_; }
    std::size_t ready() const { return (out_.size() - outHead_) / channels_; }
    // Up to maxFrames frames. skipped is set to the frames left out just before the first frame
    // returned (0 when none); one call never returns frames from both sides of a cut.
    std::size_t receive(float* out, std::size_t maxFrames, std::int64_t& skipped);
    // Forgets the sound (after a seek, before a rewrite); the level of the speech stays.
    void clear();

private:
    struct Cut {
        std::int64_t at; // frames given out before it
        std::int64_t skipped;
    };
    float blockLevel(const float* block) const;
    void followSpeech(float level);
    void judge(bool all);
    void quietBlock(const float* block);
    void endRun();
    void emit(const float* frames, std::size_t count);

    const std::size_t channels_;
    const std::size_t blockFrames_;
    const std::size_t blockSamples_;
    const int lookaheadBlocks_;
    const int halfKeptBlocks_;
    const int longBlocks_;

    bool enabled_ = false;
    bool finished_ = false;
    float speechDb_ = 0;
    bool speechKnown_ = false;
    std::vector<float> in_; // frames not judged yet, from inHead_ (a sample index) on
    std::size_t inHead_ = 0;
    std::deque<float> levels_; // of each whole block in in_
    int run_ = 0;             // quiet blocks judged in a row
    std::vector<float> held_; // the run's blocks after its first half-kept part
    std::vector<float> out_;  // judged frames, from outHead_ on
    std::size_t outHead_ = 0;
    std::int64_t given_ = 0;    // frames put into out_ since the last clear
    std::int64_t received_ = 0; // frames taken from it
    std::deque<Cut> cuts_;
    std::vector<float> fade_;
};

} // namespace engine
