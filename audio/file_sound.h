// The sound track of a video file shown as the camera, decoded through libavformat and
// libavcodec on a thread of its own and stamped by the playhead of its pictures, so that it
// plays with them and starts again with them at the file's end.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "audio_block.h"
#include "file_playhead.h"

struct AVFormatContext;
struct AVCodecContext;
struct SwrContext;

class FileSound {
  public:
    using BlockSink = std::function<void(AudioBlock&& block)>;

    FileSound(std::string path, FilePlayhead& playhead, BlockSink blocks);
    ~FileSound();
    FileSound(const FileSound&) = delete;
    FileSound& operator=(const FileSound&) = delete;

    // Whether the file has a sound track that can be decoded; why() says why not.
    bool open();
    const std::string& why() const { return m_why; }
    // Of what is handed on: the track's own rate, and its channels up to two.
    int channels() const { return m_channels; }
    int sampleRate() const { return m_sampleRate; }

    void start();
    // Ends the thread; no block is handed on after it returns.
    void stop();

  private:
    void run();
    bool restart();
    void deliver(struct AVFrame* frame, int pass);
    void close();

    const std::string m_path;
    FilePlayhead& m_playhead;
    BlockSink m_blocks;
    std::string m_why;
    AVFormatContext* m_format = nullptr;
    AVCodecContext* m_codec = nullptr;
    SwrContext* m_converter = nullptr;
    int m_stream = -1;
    int m_channels = 0;
    int m_sampleRate = 0;
    int64_t m_samplesInPass = 0;  // where a frame without a time stamp lies
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};
