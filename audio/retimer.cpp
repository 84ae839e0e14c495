#include "retimer.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "ffmpeg_check.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace {

// Block times jitter by a few milliseconds with scheduling and the server's latency reports;
// smoothing over half a second leaves a drift of 0.5% (5 ms a second) well followed.
constexpr double kSmoothingSeconds = 0.5;
// The proportional part works a difference off over about a second; the integral part learns
// the device's steady drift over several, so no standing offset remains. Damping is about 0.7.
constexpr double kCorrectionSeconds = 1.0;
constexpr double kIntegralSeconds = 8.0;
// Beyond this a rate change starts to be heard as pitch; drift of real devices is 0.1%.
constexpr double kMaxCorrection = 0.01;
// Compensation is given to libswresample as extra samples over this many: 10 s gives the rate
// a resolution of 2 ppm. Renewed with every block, so it never runs out while sound comes.
constexpr int kCompensationDistance = 10 * AudioRetimer::kOutputRate;
// A smoothed offset this large is no drift (that stays under 5 ms) but sound lost or surplus.
constexpr double kPersistentSamples = 0.025 * AudioRetimer::kOutputRate;
// A source's first second is no guide to its clock: the server hands over what it held as the
// stream started in a burst, with latency reports still settling. Meanwhile each difference
// past the jitter is taken at once, so that the sound sits in place from its start rather than
// being steered there over the seconds that drift needs to be learnt.
constexpr int64_t kSettlingMicroseconds = 1'000'000;
constexpr double kSettlingToleranceSamples = 0.010 * AudioRetimer::kOutputRate;

void check(int code, const char* call) {
    if (code < 0)
        throw std::runtime_error(std::string(call) + " failed -> " + ffmpegError(code));
}

}  // namespace

struct AudioRetimer::State {
    explicit State(int channels) : outChannels(channels) {}

    const int outChannels;
    SwrContext* resampler = nullptr;
    int inRate = 0;
    int inChannels = 0;
    AVAudioFifo* fifo = nullptr;
    std::vector<std::vector<float>> scratch;  // one plane per output channel

    double exactTolerance = -1.0;  // output samples; negative: a device's clock, smoothed
    bool anchored = false;
    int64_t anchor = 0;       // capture time of output sample 0
    int64_t firstBlock = -1;  // capture time of the first block pushed
    int64_t produced = 0;     // output samples in or through the fifo
    int64_t popped = 0;

    double filteredError = 0.0;  // output samples
    double integral = 0.0;       // rate
    double rate = 0.0;
    int64_t silence = 0;
    // Where silence was put in, on the output timeline: first sample and length.
    std::deque<std::pair<int64_t, int64_t>> fills;
    int64_t dropped = 0;
    int64_t surplus = 0;  // input samples still to be dropped

    // Input samples still owed, in output samples, that the resampler holds.
    double pending() const {
        const int64_t base = int64_t(inRate) * kOutputRate;
        return double(swr_get_delay(resampler, base)) / double(inRate);
    }

    // Where the next input sample will land on the output timeline, in output samples.
    double landing() const { return double(produced) + pending(); }

    double targetOf(int64_t captureMicroseconds) const {
        return double(captureMicroseconds - anchor) * kOutputRate / 1e6;
    }

    void configure(int rate, int channels) {
        if (resampler != nullptr && rate == inRate && channels == inChannels)
            return;
        if (resampler != nullptr) {
            convert(nullptr, 0);  // a null input drains what the old one still holds
            swr_free(&resampler);
            integral = 0.0;  // a different device drifts differently
            surplus = 0;
        }
        AVChannelLayout in, out;
        av_channel_layout_default(&in, channels);
        av_channel_layout_default(&out, outChannels);
        check(swr_alloc_set_opts2(&resampler, &out, AV_SAMPLE_FMT_FLTP, kOutputRate, &in,
                                  AV_SAMPLE_FMT_FLT, rate, 0, nullptr),
              "swr_alloc_set_opts2(...)");
        // The resampler is needed at equal rates too: it is what compensation works through.
        check(av_opt_set_int(resampler, "flags", SWR_FLAG_RESAMPLE, 0),
              "av_opt_set_int(resampler, \"flags\", SWR_FLAG_RESAMPLE)");
        check(swr_init(resampler), "swr_init(resampler)");
        inRate = rate;
        inChannels = channels;
    }

    void convert(const float* interleaved, int frames) {
        const int capacity = swr_get_out_samples(resampler, frames) + 64;
        if (capacity <= 0)
            return;
        std::vector<uint8_t*> planes(static_cast<size_t>(outChannels));
        for (int c = 0; c < outChannels; ++c) {
            scratch[size_t(c)].resize(size_t(capacity));
            planes[size_t(c)] = reinterpret_cast<uint8_t*>(scratch[size_t(c)].data());
        }
        const uint8_t* input = reinterpret_cast<const uint8_t*>(interleaved);
        const int made = swr_convert(resampler, planes.data(), capacity,
                                     interleaved != nullptr ? &input : nullptr, frames);
        check(made, "swr_convert(resampler, ...)");
        if (made > 0) {
            check(av_audio_fifo_write(fifo, reinterpret_cast<void**>(planes.data()), made),
                  "av_audio_fifo_write(fifo, ...)");
            produced += made;
        }
    }

    void fillSilence(double outputSamples) {
        const int inputSamples = int(std::lround(outputSamples * inRate / kOutputRate));
        if (inputSamples <= 0)
            return;
        fills.emplace_back(std::llround(landing()), std::lround(outputSamples));
        check(swr_inject_silence(resampler, inputSamples), "swr_inject_silence(resampler, ...)");
        silence += std::lround(outputSamples);
        filteredError = 0.0;
        // An empty input, unlike a null one, passes on what is buffered without ending the
        // stream: the silence comes out now, even while no blocks come.
        static const float none = 0.0f;
        convert(&none, 0);
    }

    void steer(double error, double blockSeconds) {
        const double alpha = 1.0 - std::exp(-blockSeconds / kSmoothingSeconds);
        filteredError += alpha * (error - filteredError);
        const double errorSeconds = filteredError / kOutputRate;
        const double wanted = errorSeconds / kCorrectionSeconds + integral;
        // The integral learns only while the correction is not at its limit, so that working
        // off a large offset leaves no overshoot behind.
        if (std::fabs(wanted) < kMaxCorrection)
            integral += errorSeconds * blockSeconds / (kCorrectionSeconds * kIntegralSeconds);
        rate = std::clamp(wanted, -kMaxCorrection, kMaxCorrection);
        const int delta = int(std::lround(rate * kCompensationDistance));
        check(swr_set_compensation(resampler, delta, kCompensationDistance),
              "swr_set_compensation(resampler, ...)");
    }
};

AudioRetimer::AudioRetimer(int outputChannels) : m(std::make_unique<State>(outputChannels)) {
    m->fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, outputChannels, kOutputRate / 10);
    if (m->fifo == nullptr)
        throw std::runtime_error("av_audio_fifo_alloc(...) failed -> out of memory");
    m->scratch.resize(size_t(outputChannels));
}

AudioRetimer::~AudioRetimer() {
    swr_free(&m->resampler);
    av_audio_fifo_free(m->fifo);
}

void AudioRetimer::followStampsExactly(int64_t toleranceMicroseconds) {
    m->exactTolerance = double(toleranceMicroseconds) * kOutputRate / 1e6;
}

void AudioRetimer::startAt(int64_t captureMicroseconds) {
    if (!m->anchored) {
        m->anchored = true;
        m->anchor = captureMicroseconds;
    }
}

void AudioRetimer::push(const AudioBlock& block) {
    int frames = block.frames();
    if (frames == 0 || block.sampleRate <= 0)
        return;
    if (!m->anchored) {
        m->anchored = true;
        m->anchor = block.captureMicroseconds;
    }
    m->configure(block.sampleRate, block.channels);
    if (m->firstBlock < 0)
        m->firstBlock = block.captureMicroseconds;
    const bool settling = block.captureMicroseconds - m->firstBlock < kSettlingMicroseconds;
    const double exactTolerance = m->exactTolerance >= 0.0 ? m->exactTolerance
                                  : settling               ? kSettlingToleranceSamples
                                                           : -1.0;

    const double gap = double(kGapMicroseconds) * kOutputRate / 1e6;
    const double error = m->targetOf(block.captureMicroseconds) - m->landing();
    const float* samples = block.samples.data();
    if (m->surplus == 0 && exactTolerance >= 0.0) {
        if (error > exactTolerance)
            m->fillSilence(error);
        else if (error < -exactTolerance)
            m->surplus = std::lround(-error * block.sampleRate / kOutputRate);
    } else if (m->surplus == 0) {
        m->steer(error, double(frames) / block.sampleRate);
        // A gap past 100 ms is filled at once. A smaller one that persists past what soft
        // correction works off in a few seconds (lost samples, a changed latency) is filled, or
        // its surplus dropped, once the smoothing has told it from jitter.
        const bool persistent = std::fabs(m->filteredError) > kPersistentSamples;
        if (error > gap || (persistent && error > 0)) {
            m->fillSilence(error);
        } else if (error < -gap || (persistent && error < 0)) {
            // More sound than time: the surplus goes, from the front of this block and the
            // next ones, rather than moving everything after it early.
            m->surplus = std::lround(-error * block.sampleRate / kOutputRate);
            m->filteredError = 0.0;
        }
    }
    if (m->surplus > 0) {
        const int skip = int(std::min<int64_t>(m->surplus, frames));
        m->surplus -= skip;
        m->dropped += skip;
        samples += size_t(skip) * size_t(block.channels);
        frames -= skip;
    }
    if (frames > 0)
        m->convert(samples, frames);
}

void AudioRetimer::fillSilenceUntil(int64_t captureMicroseconds) {
    if (!m->anchored || m->resampler == nullptr)
        return;
    const double missing = m->targetOf(captureMicroseconds) - m->landing();
    if (missing >= 1.0)
        m->fillSilence(missing);
}

bool AudioRetimer::pop(int samples, AudioFrame& frame) {
    if (samples <= 0 || av_audio_fifo_size(m->fifo) < samples)
        return false;
    frame.channels = m->outChannels;
    frame.samples = samples;
    frame.planar.resize(size_t(m->outChannels) * size_t(samples));
    std::vector<void*> planes(size_t(m->outChannels));
    for (int c = 0; c < m->outChannels; ++c)
        planes[size_t(c)] = frame.planar.data() + size_t(c) * size_t(samples);
    check(av_audio_fifo_read(m->fifo, planes.data(), samples), "av_audio_fifo_read(fifo, ...)");
    frame.captureMicroseconds = m->anchor + std::llround(double(m->popped) * 1e6 / kOutputRate);
    const int64_t end = m->popped + samples;
    frame.silentSamples = 0;
    while (!m->fills.empty()) {
        const auto [first, length] = m->fills.front();
        const int64_t overlap = std::min(end, first + length) - std::max(m->popped, first);
        if (overlap > 0)
            frame.silentSamples += int(overlap);
        if (first + length > end)
            break;
        m->fills.pop_front();
    }
    m->popped = end;
    return true;
}

int AudioRetimer::outputChannels() const {
    return m->outChannels;
}
int AudioRetimer::available() const {
    return av_audio_fifo_size(m->fifo);
}
int64_t AudioRetimer::silenceSamples() const {
    return m->silence;
}
int64_t AudioRetimer::droppedSamples() const {
    return m->dropped;
}
double AudioRetimer::rateCorrection() const {
    return m->rate;
}
