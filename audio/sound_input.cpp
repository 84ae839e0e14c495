#include "sound_input.h"

extern "C" {
#include <libavutil/log.h>
}

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace {

// About 2 s of the server's 10 ms fragments: what a stalled encoding thread may fall behind.
constexpr size_t kQueuedBlocks = 200;
// A source this long silent has stalled or gone: its time is filled with silence up to where
// no late block can still land, so that the recording's sound goes on beside its picture.
constexpr auto kStalled = std::chrono::milliseconds(250);
constexpr int64_t kLateBlockMicroseconds = 200'000;
// A file's sound follows its pictures this closely: less than a frame, more than the jitter
// of a frame loop's reads.
constexpr int64_t kFileToleranceMicroseconds = 8'000;

int64_t nowMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

SoundInput::SoundInput(PresenceSink presence)
    : m_blocks(kQueuedBlocks),
      m_capture([this](AudioBlock&& block) { m_blocks.push(std::move(block)); },
                std::move(presence)) {}

SoundInput::~SoundInput() {
    stop();
}

bool SoundInput::open(const std::string& source) {
    const int64_t opened = nowMicroseconds();
    if (!m_capture.start(source))
        return false;
    prepare(m_capture.source().channels, opened);
    return true;
}

bool SoundInput::openFile(const std::string& path, FilePlayhead& playhead) {
    const int64_t opened = nowMicroseconds();
    m_file = std::make_unique<FileSound>(
        path, playhead, [this](AudioBlock&& block) { m_blocks.push(std::move(block)); });
    if (!m_file->open())
        return false;
    m_fileName = std::filesystem::path(path).filename().string();
    prepare(m_file->channels(), opened);
    // The file's times are its pictures' own: where the pictures were held up, so is the sound.
    m_retimer->followStampsExactly(kFileToleranceMicroseconds);
    return true;
}

void SoundInput::prepare(int channels, int64_t startTime) {
    // libavcodec's notes on the encoder's statistics are not the viewer's to show.
    av_log_set_level(AV_LOG_ERROR);
    m_retimer = std::make_unique<AudioRetimer>(channels);
    m_encoder = std::make_unique<AacEncoder>(channels);
    // A recording that starts at once has sound from its first frame on, if only silence.
    m_retimer->startAt(startTime);
}

std::string SoundInput::description() const {
    const AudioCodecParameters& codec = m_encoder->parameters();
    const SoundSource source = m_capture.source();
    const std::string name = m_file                       ? "the sound track of " + m_fileName
                             : source.description.empty() ? source.name
                                                          : source.description;
    return name + ", " + std::to_string(codec.sampleRate) + " Hz, " +
           std::to_string(codec.channels) + (codec.channels == 1 ? " channel" : " channels") +
           " \u2192 AAC " + std::to_string(codec.bitRate / 1000) + " kbit/s";
}

void SoundInput::start(PacketSink sink) {
    m_sink = std::move(sink);
    m_thread = std::thread([this] { run(); });
    if (m_file)
        m_file->start();
}

void SoundInput::stop() {
    if (m_stopping.exchange(true))
        return;
    if (m_file)
        m_file->stop();
    m_capture.stop();
    if (m_thread.joinable())
        m_thread.join();
}

void SoundInput::encode(const AudioFrame& frame, std::vector<AudioPacket>& packets) {
    m_silentInFlight.push_back(frame.silentSamples);
    m_encoder->encode(frame, packets);
    m_samplesEncoded += frame.samples;
}

// Packets come out in the order their frames went in, one each (the last one after the end),
// so each takes the silence of the oldest frame still in the encoder.
void SoundInput::deliver(std::vector<AudioPacket>& packets) {
    for (AudioPacket& packet : packets) {
        if (!m_silentInFlight.empty()) {
            packet.silentMicroseconds =
                m_silentInFlight.front() * int64_t{1'000'000} / AacEncoder::kSampleRate;
            m_silentInFlight.pop_front();
        }
        m_sink(packet);
    }
    packets.clear();
}

void SoundInput::encodeReady(std::vector<AudioPacket>& packets) {
    AudioFrame frame;
    while (m_retimer->pop(m_encoder->frameSize(), frame))
        encode(frame, packets);
    m_silenceSamples = m_retimer->silenceSamples();
    deliver(packets);
}

void SoundInput::run() {
    std::vector<AudioPacket> packets;
    AudioBlock block;
    auto lastBlock = std::chrono::steady_clock::now();
    while (!m_stopping) {
        if (m_blocks.pop(block, std::chrono::milliseconds(50))) {
            m_retimer->push(block);
            lastBlock = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastBlock > kStalled) {
            m_retimer->fillSilenceUntil(nowMicroseconds() - kLateBlockMicroseconds);
        }
        encodeReady(packets);
    }
    // What was captured before the stop, the last short frame and what the encoder holds.
    while (m_blocks.pop(block, std::chrono::milliseconds(0)))
        m_retimer->push(block);
    encodeReady(packets);
    AudioFrame frame;
    if (m_retimer->available() > 0 && m_retimer->pop(m_retimer->available(), frame))
        encode(frame, packets);
    m_encoder->finish(packets);
    deliver(packets);
}

double SoundInput::secondsEncoded() const {
    return static_cast<double>(m_samplesEncoded.load()) / AacEncoder::kSampleRate;
}

double SoundInput::secondsOfSilence() const {
    return static_cast<double>(m_silenceSamples.load()) / AacEncoder::kSampleRate;
}
