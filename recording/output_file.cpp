#include "output_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <utility>

#include "NvCodecUtils.h"
#include "output_name.h"

namespace {

std::string errorText(int error) {
    char buffer[128];
    return strerror_r(error, buffer, sizeof buffer);  // the GNU variant returns the text
}

std::string processName(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// The process that holds an flock on the file open as `fd`, or 0 if none is known.
pid_t lockHolder(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0)
        return 0;
    std::ostringstream id;
    id << std::hex << std::setfill('0') << std::setw(2) << major(info.st_dev) << ':' << std::setw(2)
       << minor(info.st_dev) << ':' << std::dec << info.st_ino;
    // Lines like "1: FLOCK  ADVISORY  WRITE 4711 fe:00:10953089 0 EOF"; waiters have "->"
    // in place of the kind.
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, file;
        pid_t pid = 0;
        if (!(fields >> number >> kind) || kind != "FLOCK")
            continue;
        if (fields >> mode >> access >> pid >> file && file == id.str())
            return pid;
    }
    return 0;
}

}  // namespace

OutputFile::~OutputFile() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool OutputFile::open(const char* path) {
    std::lock_guard<std::timed_mutex> lock(m_mutex);
    if (m_fd >= 0)
        ::close(m_fd);  // and with it its lock
    m_fd = -1;
    m_path = path;
    m_failedAction = nullptr;
    m_reported = m_sealed = false;
    // No O_TRUNC: the file is cut only once it is ours.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        failLocked("open", errorText(errno));
        return false;
    }
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0 && errno == EWOULDBLOCK) {
        const pid_t holder = lockHolder(fd);
        ::close(fd);
        std::string reason = "another process holds it";
        if (holder > 0) {
            const std::string name = processName(holder);
            reason = "it is held by process " + std::to_string(holder) +
                     (name.empty() ? "" : " (" + name + ")");
        }
        failLocked("lock", std::move(reason));
        return false;
    }
    if (locked != 0) {
        // A file system without flock: record all the same, as before locks existed.
        simplelogger::LogLine(gLogger, simplelogger::WARN, __FILE__, __LINE__, __func__).stream()
            << "Cannot lock \"" << m_path << "\": " << errorText(errno)
            << "; a second viewer could write into this recording";
    }
    // Devices (/dev/null, /dev/full) cannot be truncated and need not be.
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ftruncate(fd, 0) != 0) {
        const int error = errno;
        ::close(fd);
        failLocked("truncate", errorText(error));
        return false;
    }
    m_fd = fd;
    return true;
}

bool OutputFile::openNew(const std::string& path) {
    // Past this many, something other than people recording fills the folder.
    constexpr int kMostChoices = 999;
    std::lock_guard<std::timed_mutex> lock(m_mutex);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_path = path;
    m_failedAction = nullptr;
    m_reported = m_sealed = false;
    for (int n = 1; n <= kMostChoices; ++n) {
        const std::string candidate = numberedName(path, n);
        // O_EXCL: of two viewers that find the same name free, one gets it.
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            failLocked("create", errorText(errno));
            return false;
        }
        // New, so nobody holds it; the lock keeps a viewer given this name by --output away.
        flock(fd, LOCK_EX | LOCK_NB);
        m_fd = fd;
        m_path = candidate;
        return true;
    }
    failLocked("create",
               "it and the names numbered up to -" + std::to_string(kMostChoices) + " are taken");
    return false;
}

std::string OutputFile::path() const {
    std::lock_guard<std::timed_mutex> lock(m_mutex);
    return m_path;
}

bool OutputFile::write(const uint8_t* data, size_t size) {
    std::lock_guard<std::timed_mutex> lock(m_mutex);
    if (m_fd < 0 || m_failedAction != nullptr || m_sealed)
        return false;
    while (size > 0) {
        const ssize_t written = ::write(m_fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            failLocked("write", errorText(written < 0 ? errno : EIO));
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

int64_t OutputFile::seek(int64_t offset, int whence) {
    std::lock_guard<std::timed_mutex> lock(m_mutex);
    if (m_fd < 0 || m_failedAction != nullptr || m_sealed)
        return -1;
    return ::lseek(m_fd, static_cast<off_t>(offset), whence);
}

int64_t OutputFile::size() const {
    std::lock_guard<std::timed_mutex> lock(m_mutex);
    struct stat info {};
    if (m_fd < 0 || fstat(m_fd, &info) != 0)
        return -1;
    return info.st_size;
}

void OutputFile::close() {
    std::lock_guard<std::timed_mutex> lock(m_mutex);
    if (m_fd < 0)
        return;
    // Some file systems report a failed write only here.
    if (::close(m_fd) != 0 && m_failedAction == nullptr)
        failLocked("write", errorText(errno));
    m_fd = -1;
}

bool OutputFile::good() const {
    std::lock_guard<std::timed_mutex> lock(m_mutex);
    return m_fd >= 0 && m_failedAction == nullptr && !m_sealed;
}

void OutputFile::remindOfFailure() {
    std::lock_guard<std::timed_mutex> lock(m_mutex);
    m_reported = false;
    reportLocked();
}

void OutputFile::seal(std::chrono::milliseconds patience) {
    if (m_mutex.try_lock_for(patience)) {
        m_sealed = true;
        m_mutex.unlock();
    }
}

void OutputFile::failLocked(const char* action, std::string reason) {
    m_failedAction = action;
    m_reason = std::move(reason);
    m_reported = false;
    reportLocked();
}

void OutputFile::reportLocked() {
    if (m_failedAction == nullptr || m_reported)
        return;
    m_reported = true;
    simplelogger::LogLine(gLogger, simplelogger::ERROR, __FILE__, __LINE__, __func__).stream()
        << "Cannot " << m_failedAction << " \"" << m_path << "\": " << m_reason
        << "; the video is not being recorded";
}
