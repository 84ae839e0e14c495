#include "camera_source.h"

#include <cmath>
#include <iomanip>
#include <thread>

#include "NvCodecUtils.h"
#include "TestPatternCamera.h"
#include "camera_mode.h"

using Clock = std::chrono::steady_clock;

std::unique_ptr<cv::VideoCapture> openCameraSource(const Options& options) {
    if (options.testPattern) {
        camfx::TestPatternCamera::Options pattern;
        pattern.fps = 30.0;
        return std::make_unique<camfx::TestPatternCamera>(pattern);
    }
    if (!options.input.empty())
        return std::make_unique<FileCamera>(options.input);
    const int index = options.camera;
    return std::make_unique<ReopeningCamera>("Camera " + std::to_string(index), [index] {
        return std::make_unique<cv::VideoCapture>(index, cv::CAP_ANY);
    });
}

// ForwardingCapture

ForwardingCapture::ForwardingCapture(std::unique_ptr<cv::VideoCapture> source)
    : m_source(source ? std::move(source) : std::make_unique<cv::VideoCapture>()) {}

bool ForwardingCapture::isOpened() const {
    return m_source->isOpened();
}

void ForwardingCapture::release() {
    m_source->release();
    m_grabbed.release();
}

bool ForwardingCapture::grab() {
    return read(m_grabbed);
}

bool ForwardingCapture::retrieve(cv::OutputArray image, int /*flag*/) {
    if (m_grabbed.empty()) {
        image.release();
        return false;
    }
    m_grabbed.copyTo(image);
    m_grabbed.release();
    return true;
}

bool ForwardingCapture::set(int propId, double value) {
    return m_source->set(propId, value);
}

double ForwardingCapture::get(int propId) const {
    return m_source->get(propId);
}

// FileCamera

namespace {

double fileFramesPerSecond(const cv::VideoCapture& file) {
    const double fps = file.get(cv::CAP_PROP_FPS);
    return std::isfinite(fps) && fps > 0.0 && fps <= 1000.0 ? fps : 30.0;
}

}  // namespace

FileCamera::FileCamera(std::string path)
    : ForwardingCapture(std::make_unique<cv::VideoCapture>(path, cv::CAP_ANY)),
      m_path(std::move(path)),
      m_fps(fileFramesPerSecond(*m_source)),
      m_pacer(m_fps) {}

bool FileCamera::set(int /*propId*/, double /*value*/) {
    return false;
}

bool FileCamera::read(cv::OutputArray image) {
    // Paced even when the file is gone, so that a frame loop waiting for it does not spin.
    const Clock::time_point due = m_pacer.wait();
    if (m_source->isOpened() && m_source->read(image) && !image.empty()) {
        shown(due);
        return true;
    }
    // The end, or a file that went: open it again rather than seek, which not every
    // container allows.
    m_source = std::make_unique<cv::VideoCapture>(m_path, cv::CAP_ANY);
    ++m_pass;
    m_frameInPass = 0;
    if (m_source->isOpened() && m_source->read(image) && !image.empty()) {
        shown(due);
        return true;
    }
    image.release();
    return false;
}

// The sound goes by when each frame was due: a frame read late is late itself, but the sound
// beside the next one is not.
void FileCamera::shown(Clock::time_point due) {
    const int64_t dueMicroseconds =
        std::chrono::duration_cast<std::chrono::microseconds>(due.time_since_epoch()).count();
    m_playhead.frameShown(m_pass, static_cast<double>(m_frameInPass) / m_fps, 1.0 / m_fps,
                          dueMicroseconds);
    ++m_frameInPass;
}

// ReopeningCamera

ReopeningCamera::ReopeningCamera(std::string name, Opener open, Timing timing)
    : ForwardingCapture(open()),
      m_name(std::move(name)),
      m_open(std::move(open)),
      m_timing(timing) {}

bool ReopeningCamera::set(int propId, double value) {
    m_requests.emplace_back(propId, value);
    return m_source->set(propId, value);
}

void ReopeningCamera::release() {
    m_released = true;
    ForwardingCapture::release();
}

bool ReopeningCamera::readFrom(cv::OutputArray image) {
    return m_source->isOpened() && m_source->read(image) && !image.empty();
}

bool ReopeningCamera::failRead(cv::OutputArray image) {
    image.release();
    std::this_thread::sleep_for(m_timing.failedReadPause);
    return false;
}

bool ReopeningCamera::read(cv::OutputArray image) {
    if (m_released) {
        image.release();
        return false;
    }
    if (!m_reading) {
        m_lastFrame = Clock::now();
        m_reading = true;
    }

    if (!m_stopped) {
        if (readFrom(image)) {
            m_lastFrame = Clock::now();
            return true;
        }
        const auto now = Clock::now();
        if (m_source->isOpened() && now - m_lastFrame < m_timing.stopAfter)
            return failRead(image);
        m_stopped = true;
        m_source->release();
        m_nextOpen = now + m_timing.reopenEvery;
        simplelogger::LogLine(gLogger, simplelogger::WARN, __FILE__, __LINE__, __func__).stream()
            << m_name << " stopped delivering frames; the last picture stays while it is opened"
            << " again every " << std::chrono::duration<double>(m_timing.reopenEvery).count()
            << " s";
        return failRead(image);
    }

    if (Clock::now() < m_nextOpen)
        return failRead(image);
    m_source = m_open();
    if (!m_source)
        m_source = std::make_unique<cv::VideoCapture>();
    for (const auto& [propId, value] : m_requests)
        m_source->set(propId, value);
    m_nextOpen = Clock::now() + m_timing.reopenEvery;
    if (!readFrom(image)) {
        m_source->release();
        return failRead(image);
    }
    m_stopped = false;
    m_lastFrame = Clock::now();
    simplelogger::LogLine(gLogger, simplelogger::INFO, __FILE__, __LINE__, __func__).stream()
        << m_name << " delivers frames again: " << describeCameraMode(*m_source);
    return true;
}
