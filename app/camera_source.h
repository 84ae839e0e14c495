// Where the viewer's picture comes from: a camera that may stop and come back, a video file
// shown as a camera, or the built-in test pattern. Each is a cv::VideoCapture, so the frame
// loop reads all of them alike.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "FramePacer.h"
#include "file_playhead.h"
#include "options.h"

// The source chosen on the command line, opened (or not: runViewer reports that).
std::unique_ptr<cv::VideoCapture> openCameraSource(const Options& options);

// A capture that passes everything on to the capture it holds; subclasses decide how a
// frame is read (cv::VideoCapture's `>>` reads through `read`).
class ForwardingCapture : public cv::VideoCapture {
  public:
    explicit ForwardingCapture(std::unique_ptr<cv::VideoCapture> source);

    bool isOpened() const override;
    void release() override;
    bool grab() override;
    bool retrieve(cv::OutputArray image, int flag = 0) override;
    bool read(cv::OutputArray image) override = 0;
    bool set(int propId, double value) override;
    double get(int propId) const override;

  protected:
    std::unique_ptr<cv::VideoCapture> m_source;

  private:
    cv::Mat m_grabbed;
};

// A video file read as a camera: frames come at the file's own rate (30 a second where it
// names none), and the file starts again at its end. Its playhead tells when each frame was
// shown, for the file's sound to follow.
class FileCamera : public ForwardingCapture {
  public:
    explicit FileCamera(std::string path);

    bool read(cv::OutputArray image) override;
    // A file has the one mode it was made in.
    bool set(int propId, double value) override;

    double framesPerSecond() const { return m_fps; }
    const std::string& path() const { return m_path; }
    FilePlayhead& playhead() { return m_playhead; }

  private:
    void shown(std::chrono::steady_clock::time_point due);

    std::string m_path;
    double m_fps;
    camfx::FramePacer m_pacer;
    FilePlayhead m_playhead;
    int m_pass = 0;
    int64_t m_frameInPass = 0;
};

// A camera that keeps the viewer going through its stops. When reads have failed for
// stopAfter, or the camera has closed, it writes one WARN line, releases the camera and
// opens it again every reopenEvery, in the mode asked for at start-up (every set() is
// replayed); one INFO line says when frames come back. Meanwhile reads fail, each after a
// short pause so that the frame loop keeps its pace, and the viewer keeps the last picture.
class ReopeningCamera : public ForwardingCapture {
  public:
    using Opener = std::function<std::unique_ptr<cv::VideoCapture>()>;
    struct Timing {
        std::chrono::milliseconds stopAfter{1000};
        std::chrono::milliseconds reopenEvery{2000};
        std::chrono::milliseconds failedReadPause{33};
    };

    // `name` leads the log lines, e.g. "Camera 0"; `open` opens the camera, now and on
    // every retry.
    ReopeningCamera(std::string name, Opener open, Timing timing);
    ReopeningCamera(std::string name, Opener open)
        : ReopeningCamera(std::move(name), std::move(open), Timing{}) {}

    bool read(cv::OutputArray image) override;
    bool set(int propId, double value) override;
    void release() override;

  private:
    bool readFrom(cv::OutputArray image);
    bool failRead(cv::OutputArray image);

    std::string m_name;
    Opener m_open;
    Timing m_timing;
    std::vector<std::pair<int, double>> m_requests;
    std::chrono::steady_clock::time_point m_lastFrame;
    std::chrono::steady_clock::time_point m_nextOpen;
    bool m_reading = false;
    bool m_stopped = false;
    bool m_released = false;
};
