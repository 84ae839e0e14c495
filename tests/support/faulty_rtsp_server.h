// A misbehaving RTSP server on 127.0.0.1, for the stream's fault tests: one that closes each
// connection at once, one that takes the publisher's RECORD and then closes, and one that
// accepts and never answers. It counts the connections and when each came.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FaultyRtspServer {
  public:
    enum class Fault { CloseAtOnce, CloseAfterRecord, NeverAnswer };

    explicit FaultyRtspServer(Fault fault) : m_fault(fault) {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_listener >= 0 &&
            bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(m_listener, 8) == 0 &&
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~FaultyRtspServer() {
        m_stop = true;
        m_thread.join();
        for (int fd : m_silent)
            close(fd);
        if (m_listener >= 0)
            close(m_listener);
    }
    FaultyRtspServer(const FaultyRtspServer&) = delete;
    FaultyRtspServer& operator=(const FaultyRtspServer&) = delete;

    int port() const { return m_port; }
    std::string url() const { return "rtsp://127.0.0.1:" + std::to_string(m_port) + "/live"; }

    // When each connection came, in seconds since this server started.
    std::vector<double> connections() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_connections;
    }

  private:
    void serve() {
        while (!m_stop) {
            pollfd ready{m_listener, POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0)
                continue;
            const int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_connections.push_back(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started)
                        .count());
            }
            if (m_fault == Fault::NeverAnswer) {
                m_silent.push_back(client);
                continue;
            }
            if (m_fault == Fault::CloseAfterRecord)
                answerUntilRecord(client);
            close(client);
        }
    }

    // Answers OPTIONS, ANNOUNCE and SETUP as a server that takes the stream would, and RECORD
    // too; gives up after 2 s of silence.
    void answerUntilRecord(int client) {
        std::string request;
        char buffer[4096];
        while (!m_stop) {
            pollfd ready{client, POLLIN, 0};
            if (poll(&ready, 1, 2000) <= 0)
                return;
            const ssize_t n = read(client, buffer, sizeof buffer);
            if (n <= 0)
                return;
            request.append(buffer, static_cast<size_t>(n));
            const size_t end = request.find("\r\n\r\n");
            if (end == std::string::npos)
                continue;
            const size_t body = contentLength(request.substr(0, end));
            if (request.size() < end + 4 + body)
                continue;
            const std::string head = request.substr(0, end);
            request.erase(0, end + 4 + body);
            std::string reply = "RTSP/1.0 200 OK\r\nCSeq: " + header(head, "CSeq") + "\r\n";
            if (head.rfind("SETUP", 0) == 0)
                reply += "Session: 4711\r\nTransport: " + header(head, "Transport") + "\r\n";
            reply += "\r\n";
            if (write(client, reply.data(), reply.size()) < 0 || head.rfind("RECORD", 0) == 0)
                return;
        }
    }

    static std::string header(const std::string& head, const std::string& name) {
        const size_t at = head.find("\r\n" + name + ":");
        if (at == std::string::npos)
            return "";
        const size_t start = head.find_first_not_of(' ', at + name.size() + 3);
        return head.substr(start, head.find("\r\n", start) - start);
    }

    static size_t contentLength(const std::string& head) {
        const std::string value = header(head, "Content-Length");
        return value.empty() ? 0 : std::strtoul(value.c_str(), nullptr, 10);
    }

    const Fault m_fault;
    const std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<double> m_connections;
    std::vector<int> m_silent;  // serving thread only, until the destructor
    std::thread m_thread;
};
