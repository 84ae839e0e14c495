// The recording's output file. One viewer at a time writes it: the file is held with an
// exclusive advisory lock (flock) for as long as it is open, and a viewer that cannot take
// the lock leaves it alone. Why the file takes no video is told as one ERROR line, again
// each time recording is switched on.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens `path` for writing and locks it; only then cuts it to zero length, so that the
    // loser of two viewers never truncates the winner's recording. Returns false, after the
    // ERROR line, when the file cannot be opened or another process holds it.
    bool open(const char* path);
    // Creates `path` as a new file, or the first of `numberedName`'s choices not yet taken, and
    // locks it: a recording that never replaces another. path() says which name it took.
    bool openNew(const std::string& path);
    // The file's name as last opened.
    std::string path() const;
    // Appends all `size` bytes and returns whether they reached the file. Does nothing once
    // the file has failed; the first failure is reported as an ERROR line.
    bool write(const uint8_t* data, size_t size);
    // Moves the write position as lseek does (a container's muxer goes back to fill in sizes).
    // Returns the new position, or -1 once the file has failed.
    int64_t seek(int64_t offset, int whence);
    // The size of the file, or -1.
    int64_t size() const;
    // Closes the file and so releases its lock.
    void close();

    // Whether what is written reaches the file: open, not sealed, and no write has failed.
    bool good() const;

    // Recording was switched on: gives the ERROR line again if the file takes nothing.
    void remindOfFailure();

    // For a process that must end now: waits up to `patience` for a write in progress and
    // then lets no other start, so that the file ends with whole packets.
    void seal(std::chrono::milliseconds patience);

  private:
    void failLocked(const char* action, std::string reason);
    void reportLocked();

    mutable std::timed_mutex m_mutex;
    int m_fd = -1;
    std::string m_path;
    const char* m_failedAction = nullptr;  // null while nothing failed
    std::string m_reason;
    bool m_reported = false;
    bool m_sealed = false;
};
