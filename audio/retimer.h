// Turns captured blocks into one continuous stream at 48 kHz whose sample n plays at
// anchor + n / 48000 s on the capture clock, the anchor being the first block's time.
//
// A device's sample clock is not the computer's: each block's time is compared with where its
// first sample would land, and the smoothed difference steers libswresample's compensation
// (a rate change of at most 1%), so drift is followed continuously and never heard as a jump.
// A difference past 100 ms is a stall or lost sound: silence fills it (or, rarely, samples are
// dropped), so that what follows stays in place.
#pragma once

#include <cstdint>
#include <memory>

#include "audio_block.h"

class AudioRetimer {
  public:
    static constexpr int kOutputRate = 48000;
    static constexpr int64_t kGapMicroseconds = 100000;

    explicit AudioRetimer(int outputChannels);
    ~AudioRetimer();
    AudioRetimer(const AudioRetimer&) = delete;
    AudioRetimer& operator=(const AudioRetimer&) = delete;

    // Starts the timeline at `captureMicroseconds` rather than at the first block, so that a
    // source slow to deliver its first sound is preceded by silence, not by nothing. Before the
    // first push.
    void startAt(int64_t captureMicroseconds);

    // For a source whose stamps are exact rather than a device's clock read with jitter (a file
    // paced by its pictures): every difference past `toleranceMicroseconds` is taken at once,
    // as silence or as sound left out, and none is smoothed.
    void followStampsExactly(int64_t toleranceMicroseconds);

    // Any rate and channel count; a change between blocks (a source that came back
    // different) is followed.
    void push(const AudioBlock& block);

    // While no blocks come (a source that went away), the owner fills the timeline with silence
    // up to a time no later than any block still to come, e.g. now less 200 ms.
    void fillSilenceUntil(int64_t captureMicroseconds);

    // The next `samples` output samples, when that many are ready.
    bool pop(int samples, AudioFrame& frame);

    int outputChannels() const;
    // Samples ready to pop.
    int available() const;
    // Output samples that are silence put in for gaps, and input samples dropped as surplus.
    int64_t silenceSamples() const;
    int64_t droppedSamples() const;
    // The rate correction now applied: +0.005 stretches the input by 0.5%.
    double rateCorrection() const;

  private:
    struct State;
    std::unique_ptr<State> m;
};
