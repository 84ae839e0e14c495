// AAC: what the encoder makes decodes, with libavcodec, back to the tone that went in, at the
// times it went in, through the parameters a muxer would be given.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "aac_encoder.h"
#include "tone_signal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

namespace {

constexpr int64_t kOrigin = 7'000'000'000;  // µs on the capture clock
constexpr double kPi = 3.14159265358979323846;
constexpr int kRate = 48000;

// Three seconds of silence with 1 kHz bursts of 50 ms at 0.5, 1.25 and 2.6 s (not on a
// frame boundary), on every channel.
std::vector<AudioFrame> burstFrames(int channels) {
    const std::vector<double> starts = {0.5, 1.25, 2.6};
    std::vector<AudioFrame> frames;
    for (int64_t first = 0; first < 3 * kRate; first += 1024) {
        AudioFrame frame;
        frame.channels = channels;
        frame.samples = 1024;
        frame.captureMicroseconds = kOrigin + std::llround(double(first) * 1e6 / kRate);
        frame.planar.assign(size_t(channels) * 1024, 0.0f);
        for (int i = 0; i < 1024; ++i) {
            const double t = double(first + i) / kRate;
            for (double start : starts) {
                if (t >= start && t < start + 0.05) {
                    for (int c = 0; c < channels; ++c)
                        frame.planar[size_t(c) * 1024 + size_t(i)] =
                            float(0.5 * std::sin(2 * kPi * 1000.0 * (t - start)));
                }
            }
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

std::vector<AudioPacket> encodeAll(AacEncoder& encoder, const std::vector<AudioFrame>& frames) {
    std::vector<AudioPacket> packets;
    for (const AudioFrame& frame : frames)
        encoder.encode(frame, packets);
    encoder.finish(packets);
    return packets;
}

// Decodes the packets as a player would, from the parameters alone, and lays channel 0 of
// what comes out on the capture clock: sample 0 of the result is at `firstMicroseconds`.
struct Decoded {
    std::vector<float> samples;
    int64_t firstMicroseconds = 0;
    int channels = 0;
};

Decoded decode(const AudioCodecParameters& parameters, const std::vector<AudioPacket>& packets) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->sample_rate = parameters.sampleRate;
    av_channel_layout_default(&context->ch_layout, parameters.channels);
    context->extradata = static_cast<uint8_t*>(
        av_mallocz(parameters.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(parameters.extradata.begin(), parameters.extradata.end(), context->extradata);
    context->extradata_size = int(parameters.extradata.size());
    context->pkt_timebase = AVRational{1, kRate};
    if (avcodec_open2(context, codec, nullptr) < 0)
        throw std::runtime_error("the AAC decoder did not open");
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    Decoded decoded;
    decoded.firstMicroseconds = packets.front().ptsMicroseconds;
    auto receive = [&] {
        while (avcodec_receive_frame(context, frame) == 0) {
            decoded.channels = frame->ch_layout.nb_channels;
            const float* left = reinterpret_cast<const float*>(frame->data[0]);
            decoded.samples.insert(decoded.samples.end(), left, left + frame->nb_samples);
        }
    };
    for (const AudioPacket& encoded : packets) {
        av_new_packet(packet, int(encoded.bytes.size()));
        std::copy(encoded.bytes.begin(), encoded.bytes.end(), packet->data);
        packet->pts = encoded.ptsSamples;
        EXPECT_EQ(avcodec_send_packet(context, packet), 0);
        av_packet_unref(packet);
        receive();
    }
    avcodec_send_packet(context, nullptr);
    receive();
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return decoded;
}

class Aac : public ::testing::TestWithParam<int> {};

TEST_P(Aac, DecodesBackToTheToneAtItsTimes) {
    const int channels = GetParam();
    AacEncoder encoder(channels);
    const AudioCodecParameters& parameters = encoder.parameters();
    EXPECT_EQ(parameters.sampleRate, 48000);
    EXPECT_EQ(parameters.channels, channels);
    EXPECT_EQ(parameters.frameSize, 1024);
    EXPECT_EQ(parameters.bitRate, channels == 2 ? 128000 : 64000);
    // AudioSpecificConfig: AAC-LC (2), 48 kHz (index 3), the channel count; FFmpeg adds the
    // explicit signalling that there is no SBR.
    ASSERT_GE(parameters.extradata.size(), 2u);
    EXPECT_EQ(parameters.extradata[0], 0x11);
    EXPECT_EQ(parameters.extradata[1], 0x80 | (channels << 3));

    const std::vector<AudioFrame> frames = burstFrames(channels);
    const std::vector<AudioPacket> packets = encodeAll(encoder, frames);
    ASSERT_FALSE(packets.empty());

    // The packets follow on without gaps; the first starts with the priming samples, before
    // the first sample given.
    EXPECT_EQ(packets.front().ptsSamples, -parameters.initialPadding);
    EXPECT_EQ(packets.front().ptsMicroseconds,
              kOrigin - std::llround(parameters.initialPadding * 1e6 / kRate));
    for (size_t i = 1; i < packets.size(); ++i) {
        ASSERT_EQ(packets[i].ptsSamples,
                  packets[i - 1].ptsSamples + packets[i - 1].durationSamples);
        EXPECT_NEAR(packets[i].durationMicroseconds, 21333, 1);
    }
    const int64_t last = packets.back().ptsSamples + packets.back().durationSamples;
    EXPECT_GE(last, int64_t(frames.size()) * 1024);

    const Decoded decoded = decode(parameters, packets);
    EXPECT_EQ(decoded.channels, channels);
    const std::vector<double> envelope = envelopeOf(decoded.samples);
    const std::vector<int> onsets = crossings(envelope, 0.15, true);
    const std::vector<double> expected = {0.5, 1.25, 2.6};
    ASSERT_EQ(onsets.size(), expected.size());
    for (size_t i = 0; i < onsets.size(); ++i) {
        const double atMs = double(decoded.firstMicroseconds - kOrigin) / 1000.0 + onsets[i];
        EXPECT_NEAR(atMs, expected[i] * 1000.0, 1.5) << "burst " << i;
        // The tone itself: its level, and 1 kHz by its zero crossings over 40 ms.
        const size_t from = size_t(onsets[i] + 5) * 48;
        EXPECT_NEAR(rmsOf(decoded.samples.data() + from, 1920), 0.5 / std::sqrt(2.0), 0.03);
        int zeroCrossings = 0;
        for (size_t j = from + 1; j < from + 1920; ++j)
            zeroCrossings += (decoded.samples[j - 1] < 0) != (decoded.samples[j] < 0);
        EXPECT_NEAR(zeroCrossings, 80, 2);
    }
}

INSTANTIATE_TEST_SUITE_P(Channels, Aac, ::testing::Values(1, 2));

// Silence of `channels` x `samples`, captured at `time`.
AudioFrame silence(int channels, int samples, int64_t time = kOrigin) {
    AudioFrame frame;
    frame.channels = channels;
    frame.samples = samples;
    frame.planar.assign(size_t(channels) * size_t(samples), 0.0f);
    frame.captureMicroseconds = time;
    return frame;
}

TEST(AacEncoder, RefusesWhatItCannotEncode) {
    EXPECT_THROW(AacEncoder(3), std::runtime_error);
    EXPECT_THROW(AacEncoder(0), std::runtime_error);
    AacEncoder encoder(2);
    std::vector<AudioPacket> packets;
    EXPECT_THROW(encoder.encode(silence(1, 1024), packets), std::runtime_error);
    EXPECT_THROW(encoder.encode(silence(2, 2048), packets), std::runtime_error);
}

TEST(AacEncoder, AFrameAfterAGapKeepsItsTime) {
    AacEncoder encoder(1);
    std::vector<AudioPacket> packets;
    AudioFrame frame = silence(1, 1024);
    encoder.encode(frame, packets);
    frame.captureMicroseconds = kOrigin + 1'000'000;  // a second later, not 21 ms
    encoder.encode(frame, packets);
    encoder.finish(packets);
    // The packet that plays the second frame's samples starts at its time.
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[1].ptsSamples, 0);
    EXPECT_EQ(packets[2].ptsSamples, 48000);
    EXPECT_EQ(packets[2].ptsMicroseconds, kOrigin + 1'000'000);
}

}  // namespace
