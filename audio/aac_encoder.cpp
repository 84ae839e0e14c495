#include "aac_encoder.h"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "ffmpeg_check.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace {

void check(int code, const char* call) {
    if (code < 0)
        throw std::runtime_error(std::string(call) + " failed -> " + ffmpegError(code));
}

int64_t microsecondsOf(int64_t samples) {
    return std::llround(double(samples) * 1e6 / AacEncoder::kSampleRate);
}

struct FrameOwner {
    AVFrame* frame = av_frame_alloc();
    ~FrameOwner() { av_frame_free(&frame); }
};

}  // namespace

AacEncoder::AacEncoder(int channels) {
    if (channels != 1 && channels != 2)
        throw std::runtime_error("AacEncoder(" + std::to_string(channels) +
                                 ") failed -> 1 or 2 channels only");
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr)
        throw std::runtime_error("avcodec_find_encoder_by_name(\"aac\") failed -> not built in");
    m_codec = avcodec_alloc_context3(codec);
    m_packet = av_packet_alloc();
    if (m_codec == nullptr || m_packet == nullptr) {
        avcodec_free_context(&m_codec);
        av_packet_free(&m_packet);
        throw std::runtime_error("avcodec_alloc_context3(aac) failed -> out of memory");
    }
    m_codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    m_codec->sample_rate = kSampleRate;
    av_channel_layout_default(&m_codec->ch_layout, channels);
    m_codec->bit_rate = channels == 2 ? 128000 : 64000;
    m_codec->profile = FF_PROFILE_AAC_LOW;
    m_codec->time_base = AVRational{1, kSampleRate};
    // The AudioSpecificConfig goes to the muxer, not into each packet.
    m_codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int opened = avcodec_open2(m_codec, codec, nullptr);
    if (opened < 0) {
        avcodec_free_context(&m_codec);
        av_packet_free(&m_packet);
        check(opened, "avcodec_open2(aac, ...)");
    }
    m_parameters.extradata.assign(m_codec->extradata, m_codec->extradata + m_codec->extradata_size);
    m_parameters.sampleRate = kSampleRate;
    m_parameters.channels = channels;
    m_parameters.frameSize = m_codec->frame_size;
    m_parameters.initialPadding = m_codec->initial_padding;
    m_parameters.bitRate = m_codec->bit_rate;
}

AacEncoder::~AacEncoder() {
    av_packet_free(&m_packet);
    avcodec_free_context(&m_codec);
}

void AacEncoder::encode(const AudioFrame& frame, std::vector<AudioPacket>& packets) {
    if (frame.channels != m_parameters.channels || frame.samples <= 0 ||
        frame.samples > frameSize())
        throw std::runtime_error("AacEncoder::encode(" + std::to_string(frame.channels) + " x " +
                                 std::to_string(frame.samples) + ") failed -> wants " +
                                 std::to_string(m_parameters.channels) + " x " +
                                 std::to_string(frameSize()));
    if (!m_started) {
        m_started = true;
        m_origin = frame.captureMicroseconds;
    }
    // The frame's own time, unless it is within a sample of where the last one ended: that is
    // rounding, and the samples follow on exactly.
    int64_t at = std::llround(double(frame.captureMicroseconds - m_origin) * kSampleRate / 1e6);
    if (std::llabs(at - m_nextSample) <= 1 || at < m_nextSample)
        at = m_nextSample;

    FrameOwner owner;
    AVFrame* input = owner.frame;
    if (input == nullptr)
        throw std::runtime_error("av_frame_alloc() failed -> out of memory");
    input->nb_samples = frame.samples;
    input->format = AV_SAMPLE_FMT_FLTP;
    input->sample_rate = kSampleRate;
    check(av_channel_layout_copy(&input->ch_layout, &m_codec->ch_layout),
          "av_channel_layout_copy(...)");
    check(av_frame_get_buffer(input, 0), "av_frame_get_buffer(frame, 0)");
    for (int c = 0; c < frame.channels; ++c)
        std::memcpy(input->data[c], frame.channel(c), sizeof(float) * size_t(frame.samples));
    input->pts = at;
    m_nextSample = at + frame.samples;
    check(avcodec_send_frame(m_codec, input), "avcodec_send_frame(aac, frame)");
    collect(packets);
}

void AacEncoder::finish(std::vector<AudioPacket>& packets) {
    check(avcodec_send_frame(m_codec, nullptr), "avcodec_send_frame(aac, nullptr)");
    collect(packets);
}

void AacEncoder::collect(std::vector<AudioPacket>& packets) {
    for (;;) {
        const int received = avcodec_receive_packet(m_codec, m_packet);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            return;
        check(received, "avcodec_receive_packet(aac, packet)");
        AudioPacket packet;
        packet.bytes.assign(m_packet->data, m_packet->data + m_packet->size);
        packet.ptsSamples = m_packet->pts;
        packet.durationSamples = int(m_packet->duration);
        packet.ptsMicroseconds = m_origin + microsecondsOf(m_packet->pts);
        packet.durationMicroseconds = microsecondsOf(m_packet->duration);
        packets.push_back(std::move(packet));
        av_packet_unref(m_packet);
    }
}
