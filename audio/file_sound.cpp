#include "file_sound.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <vector>

#include "ffmpeg_check.h"

FileSound::FileSound(std::string path, FilePlayhead& playhead, BlockSink blocks)
    : m_path(std::move(path)), m_playhead(playhead), m_blocks(std::move(blocks)) {}

FileSound::~FileSound() {
    stop();
    close();
}

void FileSound::close() {
    swr_free(&m_converter);
    avcodec_free_context(&m_codec);
    avformat_close_input(&m_format);
}

bool FileSound::open() {
    int result = avformat_open_input(&m_format, m_path.c_str(), nullptr, nullptr);
    if (result >= 0)
        result = avformat_find_stream_info(m_format, nullptr);
    if (result < 0) {
        m_why = "\"" + m_path + "\" cannot be read (" + ffmpegError(result) + ")";
        return false;
    }
    const AVCodec* decoder = nullptr;
    m_stream = av_find_best_stream(m_format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (m_stream < 0 || decoder == nullptr) {
        m_why = "\"" + m_path + "\" has no sound track";
        return false;
    }
    const AVCodecParameters* track = m_format->streams[m_stream]->codecpar;
    m_codec = avcodec_alloc_context3(decoder);
    result = m_codec == nullptr ? AVERROR(ENOMEM) : avcodec_parameters_to_context(m_codec, track);
    if (result >= 0)
        result = avcodec_open2(m_codec, decoder, nullptr);
    if (result < 0) {
        m_why =
            "the sound track of \"" + m_path + "\" cannot be decoded (" + ffmpegError(result) + ")";
        return false;
    }
    m_sampleRate = m_codec->sample_rate;
    m_channels = std::clamp(m_codec->ch_layout.nb_channels, 1, 2);
    AVChannelLayout out;
    av_channel_layout_default(&out, m_channels);
    result =
        swr_alloc_set_opts2(&m_converter, &out, AV_SAMPLE_FMT_FLT, m_sampleRate,
                            &m_codec->ch_layout, m_codec->sample_fmt, m_sampleRate, 0, nullptr);
    if (result >= 0)
        result = swr_init(m_converter);
    if (result < 0 || m_sampleRate <= 0) {
        m_why = "the sound track of \"" + m_path + "\" cannot be converted (" +
                ffmpegError(result) + ")";
        return false;
    }
    return true;
}

void FileSound::start() {
    m_thread = std::thread([this] { run(); });
}

void FileSound::stop() {
    m_stopping = true;
    m_playhead.stop();
    if (m_thread.joinable())
        m_thread.join();
}

// Back to the file's start for the next pass, as its pictures do at their end.
bool FileSound::restart() {
    avcodec_flush_buffers(m_codec);
    m_samplesInPass = 0;
    return avformat_seek_file(m_format, -1, INT64_MIN, 0, 0, 0) >= 0;
}

void FileSound::deliver(AVFrame* frame, int pass) {
    const AVStream* stream = m_format->streams[m_stream];
    const int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    const double seconds =
        frame->pts == AV_NOPTS_VALUE
            ? static_cast<double>(m_samplesInPass) / m_sampleRate
            : static_cast<double>(frame->pts - start) * av_q2d(stream->time_base);
    m_samplesInPass += frame->nb_samples;

    AudioBlock block;
    block.channels = m_channels;
    block.sampleRate = m_sampleRate;
    block.samples.resize(static_cast<size_t>(frame->nb_samples) * m_channels);
    auto* out = reinterpret_cast<uint8_t*>(block.samples.data());
    const int converted =
        swr_convert(m_converter, &out, frame->nb_samples,
                    const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    if (converted <= 0)
        return;
    block.samples.resize(static_cast<size_t>(converted) * m_channels);
    // Paced by the pictures: this waits until they have come this far.
    const std::optional<int64_t> captured = m_playhead.captureTimeOf(pass, seconds);
    if (!captured)
        return;
    block.captureMicroseconds = *captured;
    m_blocks(std::move(block));
}

void FileSound::run() {
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int pass = 0;
    while (!m_stopping && packet != nullptr && frame != nullptr) {
        const int read = av_read_frame(m_format, packet);
        if (read < 0) {
            // The end (or a read error): the rest of what the decoder holds, then again.
            avcodec_send_packet(m_codec, nullptr);
            while (!m_stopping && avcodec_receive_frame(m_codec, frame) >= 0)
                deliver(frame, pass);
            if (!restart())
                break;
            ++pass;
            continue;
        }
        if (packet->stream_index == m_stream && avcodec_send_packet(m_codec, packet) >= 0) {
            while (!m_stopping && avcodec_receive_frame(m_codec, frame) >= 0)
                deliver(frame, pass);
        }
        av_packet_unref(packet);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
}
