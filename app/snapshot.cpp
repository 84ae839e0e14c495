#include "snapshot.h"

#include <pthread.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include <ctime>
#include <filesystem>
#include <vector>

#include "NvCodecUtils.h"
#include "output_file.h"
#include "output_name.h"

namespace {

// A held S key asks once; presses faster than the disk takes them are not worth a backlog.
constexpr size_t kMostPending = 4;

void logLine(int level, const std::string& text) {
    simplelogger::LogLine(gLogger, level, __FILE__, __LINE__, "snapshot").stream() << text;
}

}  // namespace

SnapshotWriter::SnapshotWriter(std::string folder)
    : m_folder(std::move(folder)), m_thread([this] { run(); }) {}

SnapshotWriter::~SnapshotWriter() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void SnapshotWriter::save(cv::Mat picture) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_pending.size() >= kMostPending)
            return;
        m_pending.push_back(std::move(picture));
    }
    m_changed.notify_one();
}

void SnapshotWriter::run() {
    pthread_setname_np(pthread_self(), "camfx-snapshot");
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || !m_pending.empty(); });
        if (m_pending.empty())
            return;
        const cv::Mat picture = std::move(m_pending.front());
        m_pending.pop_front();
        lock.unlock();
        write(picture);
        lock.lock();
    }
}

void SnapshotWriter::write(const cv::Mat& picture) {
    const std::time_t now = std::time(nullptr);
    const std::filesystem::path folder = fillDateFields(m_folder, now);
    std::error_code made;
    if (!folder.empty() && isUnderUserFolder(folder.string()))
        std::filesystem::create_directories(folder, made);  // else the open tells why
    const std::string path = (folder / fillDateFields("camfx %Y-%m-%d %H-%M-%S.png", now)).string();
    std::vector<uint8_t> png;
    if (!cv::imencode(".png", picture, png)) {
        logLine(simplelogger::ERROR, "Cannot save a snapshot: the picture cannot be made a PNG");
        return;
    }
    // A new file, numbered where the name is taken; its failures are ERROR lines of its own.
    OutputFile file;
    if (!file.openNew(path))
        return;
    const bool written = file.write(png.data(), png.size());
    file.close();
    if (!written) {
        ::unlink(file.path().c_str());  // half a picture is worse than none
        return;
    }
    std::error_code absolute;
    logLine(
        simplelogger::INFO,
        "Snapshot saved: \"" + std::filesystem::absolute(file.path(), absolute).string() + "\"");
}
