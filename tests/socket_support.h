// tests/socket_support.h - raw stream sockets for the socket transport's
// tests and the daemon's: a peer that writes and reads bytes exactly as the
// test says (a frame byte by byte, a header that lies about its length), and
// the addresses each test listens on (TCP loopback, Unix sockets in a
// directory of the test's own).
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ulmot::test {

// A directory under /tmp that lives as long as the object (Unix socket paths
// must stay short).
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/ulmot-sock-XXXXXX";
        path_ = mkdtemp(name) != nullptr ? name : "/tmp";
    }
    ~TempDir() {
        const std::string cmd = "rm -rf '" + path_ + "'";
        if (path_ != "/tmp") (void)!system(cmd.c_str());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

// A raw blocking socket connected to "tcp:IPV4:PORT" or "unix:PATH"; -1 on failure.
inline int RawConnect(const std::string &address) {
    if (address.rfind("unix:", 0) == 0) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::strncpy(sa.sun_path, address.c_str() + 5, sizeof sa.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    const std::string rest = address.substr(4);
    const size_t colon = rest.rfind(':');
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(std::stoi(rest.substr(colon + 1))));
    inet_pton(AF_INET, rest.substr(0, colon).c_str(), &sa.sin_addr);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Writes every byte; false when the peer has gone.
inline bool WriteAll(int fd, const uint8_t *data, size_t size) {
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}
inline bool WriteAll(int fd, const std::vector<uint8_t> &bytes) {
    return WriteAll(fd, bytes.data(), bytes.size());
}

// Reads exactly `size` bytes within `timeoutMs` overall; false on end of
// stream, error or time-out.
inline bool ReadExactly(int fd, uint8_t *to, size_t size, int timeoutMs = 5000) {
    while (size > 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        const ssize_t n = recv(fd, to, size, 0);
        if (n <= 0) return false;
        to += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// One whole frame (header and declared body) from the raw stream; empty on
// failure.
inline std::vector<uint8_t> ReadFrame(int fd, int timeoutMs = 5000) {
    std::vector<uint8_t> frame(8);
    if (!ReadExactly(fd, frame.data(), 8, timeoutMs)) return {};
    const size_t body = size_t{frame[6]} << 8 | frame[7];
    frame.resize(8 + body);
    if (body > 0 && !ReadExactly(fd, frame.data() + 8, body, timeoutMs)) return {};
    return frame;
}

// True once the peer has closed its end: a read sees end of stream (or a
// reset) within `timeoutMs`; bytes still in flight are read past.
inline bool SeesEndOfStream(int fd, int timeoutMs = 5000) {
    uint8_t sink[256];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        const ssize_t n = recv(fd, sink, sizeof sink, 0);
        if (n <= 0) return true;
    }
}

// A raw listening socket: the far end of a client transport, played byte by
// byte. `address` is "tcp:127.0.0.1:0" or "unix:PATH".
class RawListener {
public:
    explicit RawListener(const std::string &address) {
        if (address.rfind("unix:", 0) == 0) {
            path_ = address.substr(5);
            fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un sa{};
            sa.sun_family = AF_UNIX;
            std::strncpy(sa.sun_path, path_.c_str(), sizeof sa.sun_path - 1);
            EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
            address_ = address;
        } else {
            fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
            socklen_t size = sizeof sa;
            getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &size);
            address_ = "tcp:127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
        }
        EXPECT_EQ(listen(fd_, 8), 0);
    }
    ~RawListener() {
        close(fd_);
        if (!path_.empty()) unlink(path_.c_str());
    }
    RawListener(const RawListener &) = delete;
    RawListener &operator=(const RawListener &) = delete;

    const std::string &Address() const { return address_; }
    // The next connection, or -1 when none comes within `timeoutMs`.
    int Accept(int timeoutMs = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return -1;
        return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    int fd_ = -1;
    std::string address_;
    std::string path_;
};

}  // namespace ulmot::test
