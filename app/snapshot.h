// Snapshots: the shown picture, effects and all, saved as a PNG named with the date and time.
// The frame loop hands over a copy; encoding and writing run on a thread of their own, so the
// loop never waits for them.
#pragma once

#include <opencv2/core.hpp>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

class SnapshotWriter {
  public:
    // Into `folder`, which may hold date fields and a user folder as an output name does.
    explicit SnapshotWriter(std::string folder);
    // Writes what is still queued, then ends its thread.
    ~SnapshotWriter();
    SnapshotWriter(const SnapshotWriter&) = delete;
    SnapshotWriter& operator=(const SnapshotWriter&) = delete;

    // Frame loop: a packed blue-green-red picture that the writer may keep. Snapshots asked for
    // faster than they are written wait their turn, a few at most.
    void save(cv::Mat picture);

  private:
    void run();
    void write(const cv::Mat& picture);

    const std::string m_folder;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<cv::Mat> m_pending;
    bool m_stopping = false;
    std::thread m_thread;
};
