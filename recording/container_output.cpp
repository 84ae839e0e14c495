#include "container_output.h"

extern "C" {
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "NvCodecUtils.h"
#include "media_streams.h"
#include "output_file.h"

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
constexpr int kIoBufferBytes = 64 * 1024;
constexpr size_t kEarlySoundPackets = 250;  // about 5 s of AAC at 48 kHz

std::string errorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

// FFmpeg 7 (libavformat 61) hands the write callback a const buffer.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
using WrittenBytes = const uint8_t*;
#else
using WrittenBytes = uint8_t*;
#endif

int writeToFile(void* opaque, WrittenBytes data, int size) {
    auto* output = static_cast<std::pair<OutputFile*, std::function<void(uint64_t)>*>*>(opaque);
    if (!output->first->write(data, static_cast<size_t>(size)))
        return AVERROR(EIO);
    (*output->second)(static_cast<uint64_t>(size));
    return size;
}

int64_t seekInFile(void* opaque, int64_t offset, int whence) {
    auto* output = static_cast<std::pair<OutputFile*, std::function<void(uint64_t)>*>*>(opaque);
    if (whence & AVSEEK_SIZE)
        return output->first->size();
    return output->first->seek(offset, whence & ~AVSEEK_FORCE);
}

// The stream's parameter sets (HEVC's VPS, SPS and PPS, H.264's SPS and PPS, AV1's sequence
// header), which both containers want in their header, taken from the first key frame by
// FFmpeg's own filter.
std::vector<uint8_t> parameterSetsOf(const TimedPacket& packet, VideoCodec codec) {
    std::vector<uint8_t> sets;
    const AVBitStreamFilter* filter = av_bsf_get_by_name("extract_extradata");
    AVBSFContext* context = nullptr;
    if (filter == nullptr || av_bsf_alloc(filter, &context) < 0)
        return sets;
    context->par_in->codec_type = AVMEDIA_TYPE_VIDEO;
    context->par_in->codec_id = codecIdOf(codec);
    AVPacket* in = av_packet_alloc();
    if (av_bsf_init(context) >= 0 && in != nullptr &&
        av_new_packet(in, static_cast<int>(packet.size)) >= 0) {
        std::memcpy(in->data, packet.data, packet.size);
        in->flags = AV_PKT_FLAG_KEY;
        if (av_bsf_send_packet(context, in) >= 0 && av_bsf_receive_packet(context, in) >= 0) {
            size_t size = 0;
            const uint8_t* data = av_packet_get_side_data(in, AV_PKT_DATA_NEW_EXTRADATA, &size);
            if (data != nullptr)
                sets.assign(data, data + size);
        }
    }
    av_packet_free(&in);
    av_bsf_free(&context);
    return sets;
}

// FFmpeg's own notes ("Starting second pass...") are not the viewer's to show; failures are
// told by our own lines.
void keepFfmpegQuiet() {
    av_log_set_level(AV_LOG_ERROR);
}

}  // namespace

ContainerOutput::ContainerOutput(OutputFile& file, std::string path, OutputKind kind,
                                 VideoCodec codec, FrameRate rate,
                                 std::function<void(uint64_t)> onBytes,
                                 std::optional<SoundTrack> sound)
    : m_file(file),
      m_path(std::move(path)),
      m_kind(kind),
      m_codec(codec),
      m_rate(rate),
      m_onBytes(std::move(onBytes)),
      m_sound(std::move(sound)) {
    if (!m_onBytes)
        m_onBytes = [](uint64_t) {};
    keepFfmpegQuiet();
}

ContainerOutput::~ContainerOutput() {
    av_packet_free(&m_held);
    if (m_io != nullptr) {
        delete static_cast<std::pair<OutputFile*, std::function<void(uint64_t)>*>*>(m_io->opaque);
        av_freep(&m_io->buffer);
        avio_context_free(&m_io);
    }
    avformat_free_context(m_context);
}

void ContainerOutput::fail(const char* what, int error) {
    // A file that fails to take bytes has said so through its own ERROR line already.
    if (!m_failed && m_file.good()) {
        simplelogger::LogLine(gLogger, simplelogger::ERROR, __FILE__, __LINE__, __func__).stream()
            << "Cannot " << what << " \"" << m_path << "\": " << errorText(error)
            << "; the video is not being recorded";
    }
    m_failed = true;
}

bool ContainerOutput::start(const TimedPacket& first) {
    const char* format = m_kind == OutputKind::Matroska ? "matroska" : nullptr;
    int result = avformat_alloc_output_context2(&m_context, nullptr, format, m_path.c_str());
    if (result < 0) {
        fail("start the container in", result);
        return false;
    }
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
    m_io = avio_alloc_context(
        buffer, kIoBufferBytes, 1,
        new std::pair<OutputFile*, std::function<void(uint64_t)>*>(&m_file, &m_onBytes), nullptr,
        writeToFile, seekInFile);
    m_context->pb = m_io;
    // Every packet's bytes go to the file at once, so that a crash loses at most the
    // fragment or cluster still open.
    m_context->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    m_context->flush_packets = 1;

    AVStream* stream = addVideoStream(m_context, m_codec);
    if (stream == nullptr) {
        fail("start the container in", AVERROR(ENOMEM));
        return false;
    }
    // Apple's players take HEVC in MP4 only as hvc1, with the parameter sets in the sample
    // entry; FFmpeg's default tag is hev1. H.264 (avc1) and AV1 (av01) have one tag each.
    if (m_kind == OutputKind::Mp4 && m_codec == VideoCodec::Hevc)
        stream->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
    stream->avg_frame_rate = stream->r_frame_rate = AVRational{m_rate.num, m_rate.den};
    AVCodecParameters* codec = stream->codecpar;
    const std::vector<uint8_t> sets = parameterSetsOf(first, m_codec);
    if (!sets.empty()) {
        codec->extradata =
            static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(codec->extradata, sets.data(), sets.size());
        codec->extradata_size = static_cast<int>(sets.size());
    }

    if (m_sound && addSoundStream(m_context, *m_sound) == nullptr) {
        fail("start the container in", AVERROR(ENOMEM));
        return false;
    }
    // The sound comes some way behind the picture; both wait for each other at most this long.
    m_context->max_interleave_delta = 1'000'000;

    AVDictionary* options = nullptr;
    if (m_kind == OutputKind::Mp4) {
        // Fragments of half a second, each readable on its own: a killed process leaves a
        // file that plays to its last fragment. Half, not a whole one, because under load the
        // encoder's own delay adds most of a second more.
        // The index waits for the first fragment (delay_moov): only then does it know where
        // each track starts, and the sound, which starts a little after the picture, keeps
        // its place rather than being moved to the start.
        av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof+delay_moov",
                    0);
        av_dict_set(&options, "frag_duration", "500000", 0);
    } else {
        av_dict_set(&options, "cluster_time_limit", "500", 0);
    }
    result = avformat_write_header(m_context, &options);
    av_dict_free(&options);
    if (result < 0) {
        fail("write the header of", result);
        return false;
    }
    m_started = true;
    return true;
}

void ContainerOutput::write(const TimedPacket& packet) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failed || m_finished)
        return;
    if (packet.track == Track::Sound) {
        writeSound(packet);
        return;
    }
    if (!m_started) {
        if (!start(packet))
            return;
        // The sound that came before the first picture, now that there is a file for it.
        for (const EarlySound& early : m_earlySound)
            writeSound(TimedPacket{early.bytes.data(), early.bytes.size(), early.time, true,
                                   Track::Sound, early.duration});
        m_earlySound.clear();
    }
    writePicture(packet);
}

void ContainerOutput::writePicture(const TimedPacket& packet) {
    const AVRational timeBase = m_context->streams[0]->time_base;
    int64_t pts = av_rescale_q(packet.time, kMicroseconds, timeBase);
    if (m_held != nullptr) {
        // Times only rise; two pictures on one tick of the container's clock cannot be.
        if (pts <= m_held->pts)
            pts = m_held->pts + 1;
        writeHeld(pts - m_held->pts);
    }
    m_held = av_packet_alloc();
    if (m_held == nullptr || av_new_packet(m_held, static_cast<int>(packet.size)) < 0) {
        fail("write", AVERROR(ENOMEM));
        return;
    }
    std::memcpy(m_held->data, packet.data, packet.size);
    m_held->pts = m_held->dts = pts;
    m_held->flags = packet.keyFrame ? AV_PKT_FLAG_KEY : 0;
    m_held->stream_index = 0;
}

void ContainerOutput::writeSound(const TimedPacket& packet) {
    if (!m_sound)
        return;
    // The picture comes later than the sound beside it, by the encoder's delay: what precedes
    // the first picture waits for it, a few seconds' worth at most.
    if (!m_started) {
        if (m_earlySound.size() < kEarlySoundPackets)
            m_earlySound.push_back(
                EarlySound{std::vector<uint8_t>(packet.data, packet.data + packet.size),
                           packet.time, packet.duration});
        return;
    }
    if (m_context->nb_streams < 2)
        return;
    const AVRational timeBase = m_context->streams[1]->time_base;
    const int64_t pts = av_rescale_q(packet.time, kMicroseconds, timeBase);
    // Where two spans meet, the first one's last packet may reach past the next one's first.
    if (pts <= m_lastSound)
        return;
    m_lastSound = pts;
    AVPacket* sound = av_packet_alloc();
    if (sound == nullptr || av_new_packet(sound, static_cast<int>(packet.size)) < 0) {
        av_packet_free(&sound);
        fail("write", AVERROR(ENOMEM));
        return;
    }
    std::memcpy(sound->data, packet.data, packet.size);
    sound->pts = sound->dts = pts;
    sound->duration = av_rescale_q(packet.duration, kMicroseconds, timeBase);
    sound->flags = AV_PKT_FLAG_KEY;
    sound->stream_index = 1;
    const int result = av_interleaved_write_frame(m_context, sound);
    av_packet_free(&sound);
    if (result < 0)
        fail("write", result);
}

void ContainerOutput::writeHeld(int64_t duration) {
    m_held->duration = duration;
    const int result = av_interleaved_write_frame(m_context, m_held);
    av_packet_free(&m_held);
    if (result < 0)
        fail("write", result);
}

void ContainerOutput::finish(int64_t endTime) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_finished = true;
    if (!m_started || m_failed)
        return;
    if (m_held != nullptr) {
        const AVRational timeBase = m_context->streams[0]->time_base;
        const int64_t interval =
            av_rescale_q(m_rate.intervalMicroseconds(), kMicroseconds, timeBase);
        const int64_t end = av_rescale_q(endTime, kMicroseconds, timeBase);
        writeHeld(std::max(interval, end - m_held->pts));
    }
    if (m_failed)
        return;
    const int result = av_write_trailer(m_context);
    avio_flush(m_io);
    if (result < 0)
        fail("finish", result);
}

std::string rewriteTemporaryPath(const std::string& path) {
    const std::filesystem::path target(path);
    return (target.parent_path() / ("." + target.filename().string() + ".rewrite")).string();
}

int64_t rewriteMicroseconds(int64_t bytes) {
    // About a tenth of what this machine's disk and FFmpeg managed (0.5 GB/s), and a floor for
    // opening, probing and renaming.
    constexpr int64_t kBytesPerSecond = 50'000'000;
    return 100'000 + bytes * 1'000'000 / kBytesPerSecond;
}

std::string rewriteAsRegularMp4(const std::string& path) {
    const std::string temporary = rewriteTemporaryPath(path);
    keepFfmpegQuiet();
    AVFormatContext* in = nullptr;
    AVFormatContext* out = nullptr;
    std::string problem;
    int result = avformat_open_input(&in, path.c_str(), nullptr, nullptr);
    if (result >= 0)
        result = avformat_find_stream_info(in, nullptr);
    // Named after the temporary file: the second pass of faststart reads back what it wrote.
    if (result >= 0) {
        result = avformat_alloc_output_context2(
            &out, av_guess_format(nullptr, path.c_str(), nullptr), nullptr, temporary.c_str());
    }
    for (unsigned i = 0; result >= 0 && i < in->nb_streams; ++i) {
        AVStream* stream = avformat_new_stream(out, nullptr);
        result = stream == nullptr
                     ? AVERROR(ENOMEM)
                     : avcodec_parameters_copy(stream->codecpar, in->streams[i]->codecpar);
        // The tags stay: the same muxer wrote them, and HEVC's hvc1 is not its default.
        if (result >= 0) {
            stream->time_base = in->streams[i]->time_base;
            stream->avg_frame_rate = in->streams[i]->avg_frame_rate;
        }
    }
    if (result >= 0)
        result = avio_open(&out->pb, temporary.c_str(), AVIO_FLAG_WRITE);
    if (result >= 0) {
        AVDictionary* options = nullptr;
        // The index (moov) moved before the media data once all is written.
        av_dict_set(&options, "movflags", "faststart", 0);
        result = avformat_write_header(out, &options);
        av_dict_free(&options);
    }
    // The demuxer gives fragments' pictures a nominal duration; the true one is the distance to
    // the next picture, and the last picture's lasts to the end of the recording. Sound keeps
    // the duration its packets have.
    AVPacket* packet = av_packet_alloc();
    AVPacket* held = av_packet_alloc();
    if (result >= 0 && (packet == nullptr || held == nullptr))
        result = AVERROR(ENOMEM);  // a header with no pictures must not replace the recording
    bool holding = false;
    const auto writeHeld = [&](int64_t nextDts) {
        if (nextDts > held->dts)
            held->duration = nextDts - held->dts;
        holding = false;
        return av_interleaved_write_frame(out, held);
    };
    while (result >= 0) {
        result = av_read_frame(in, packet);
        if (result == AVERROR_EOF) {
            result = 0;
            if (holding) {
                const AVStream* stream = out->streams[held->stream_index];
                const int64_t end =
                    in->duration == AV_NOPTS_VALUE
                        ? AV_NOPTS_VALUE
                        : av_rescale_q(in->duration + std::max<int64_t>(in->start_time, 0),
                                       AV_TIME_BASE_Q, stream->time_base);
                result = writeHeld(end);
            }
            if (result >= 0)
                result = av_write_trailer(out);
            break;
        }
        if (result >= 0) {
            av_packet_rescale_ts(packet, in->streams[packet->stream_index]->time_base,
                                 out->streams[packet->stream_index]->time_base);
            packet->pos = -1;
            if (in->streams[packet->stream_index]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
                result = av_interleaved_write_frame(out, packet);
                continue;
            }
            if (holding)
                result = writeHeld(packet->dts);
            av_packet_move_ref(held, packet);
            holding = true;
        }
    }
    av_packet_free(&held);
    av_packet_free(&packet);
    if (result < 0)
        problem = errorText(result);
    if (out != nullptr && out->pb != nullptr && avio_closep(&out->pb) < 0 && problem.empty())
        problem = "cannot write \"" + temporary + "\"";
    avformat_free_context(out);
    avformat_close_input(&in);
    std::error_code error;
    if (problem.empty())
        std::filesystem::rename(temporary, path, error);
    if (problem.empty() && error)
        problem = error.message();
    if (!problem.empty())
        std::filesystem::remove(temporary, error);
    return problem;
}
