// transports/socket_address.cpp - where a socket connection goes: the
// address text ("tcp:HOST:PORT", "unix:PATH") parsed and resolved, a
// non-blocking connect within a deadline and the words for its failure, the
// client end's creation (utr_SocketConnect), and the per-thread error text
// that every utr_Socket function leaves behind (utr_SocketLastError).
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "socket.h"

namespace utr::sockets {

namespace {

thread_local char tLastError[192] = "no error";

}  // namespace

void SetError(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(tLastError, sizeof tLastError, format, args);
    va_end(args);
}

// ---- Addresses -----------------------------------------------------------------

bool ParseAddress(const char *text, Address &out, bool forListen) {
    if (text == nullptr) {
        SetError("bad address: none given");
        return false;
    }
    const std::string s(text);
    if (s.rfind("unix:", 0) == 0) {
        out.family = Family::kUnix;
        out.path = s.substr(5);
        if (out.path.empty()) {
            SetError("bad address \"%s\": no path", text);
            return false;
        }
        if (out.path.size() >= sizeof(sockaddr_un{}.sun_path)) {
            SetError("bad address \"%s\": path longer than %zu bytes", text,
                     sizeof(sockaddr_un{}.sun_path) - 1);
            return false;
        }
        return true;
    }
    if (s.rfind("tcp:", 0) != 0) {
        SetError("bad address \"%s\": expected tcp:HOST:PORT or unix:PATH", text);
        return false;
    }
    out.family = Family::kTcp;
    const std::string rest = s.substr(4);
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        SetError("bad address \"%s\": expected tcp:HOST:PORT", text);
        return false;
    }
    out.host = rest.substr(0, colon);
    out.port = rest.substr(colon + 1);
    if (out.host.size() >= 2 && out.host.front() == '[' && out.host.back() == ']') {
        out.host = out.host.substr(1, out.host.size() - 2);
    }
    unsigned long port = 0;
    bool digits = !out.port.empty() && out.port.size() <= 5;
    for (char ch : out.port) {
        if (ch < '0' || ch > '9') digits = false;
        else port = port * 10 + static_cast<unsigned long>(ch - '0');
    }
    if (!digits || port > 65535 || (port == 0 && !forListen) || out.host.empty()) {
        SetError("bad address \"%s\": bad host or port", text);
        return false;
    }
    return true;
}

bool UnixSockaddr(const std::string &path, sockaddr_un &sa) {
    std::memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) return false;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string AddressText(const sockaddr *sa, const std::string &unixPath) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (sa->sa_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(sa);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        return std::string("tcp:") + host + ":" + std::to_string(ntohs(in->sin_port));
    }
    if (sa->sa_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        return std::string("tcp:[") + host + "]:" + std::to_string(ntohs(in6->sin6_port));
    }
    return "unix:" + unixPath;
}

void SetNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

addrinfo *Resolve(const Address &a, const char *text, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo *found = nullptr;
    const int g = getaddrinfo(a.host.c_str(), a.port.c_str(), &hints, &found);
    if (g != 0) {
        SetError("%s: cannot resolve host: %s", text, gai_strerror(g));
        return nullptr;
    }
    return found;
}

int ConnectOne(int domain, const sockaddr *sa, socklen_t length, Clock::time_point deadline) {
    const int fd = socket(domain, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int r = connect(fd, sa, length);
    if (r != 0 && (errno == EINPROGRESS || errno == EAGAIN)) {
        pollfd p{fd, POLLOUT, 0};
        do {
            r = poll(&p, 1, Remaining(deadline));
        } while (r < 0 && errno == EINTR);
        if (r == 0) {
            close(fd);
            errno = ETIMEDOUT;
            return -1;
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (r < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        if (error != 0) {
            close(fd);
            errno = error;
            return -1;
        }
        r = 0;
    }
    if (r != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    if (domain != AF_UNIX) SetNoDelay(fd);
    return fd;
}

namespace {

const char *ConnectFailure(int error) {
    switch (error) {
        case ECONNREFUSED: return "connection refused";
        case ENOENT: return "no such socket file";
        case ETIMEDOUT: return "connection timed out";
        case EACCES: return "permission denied";
        case ENETUNREACH:
        case EHOSTUNREACH: return "host unreachable";
        default: return std::strerror(error);
    }
}

}  // namespace

int ConnectTo(const Address &a, const char *text, uint32_t timeoutMs) {
    const Clock::time_point deadline = Clock::now() + milliseconds(timeoutMs);
    if (a.family == Family::kUnix) {
        sockaddr_un sa;
        UnixSockaddr(a.path, sa);
        const int fd = ConnectOne(AF_UNIX, reinterpret_cast<sockaddr *>(&sa), sizeof sa, deadline);
        if (fd < 0) SetError("%s: %s", text, ConnectFailure(errno));
        return fd;
    }
    addrinfo *found = Resolve(a, text, 0);
    if (found == nullptr) return -1;
    int fd = -1;
    int error = ECONNREFUSED;
    for (addrinfo *ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = ConnectOne(ai->ai_family, ai->ai_addr, ai->ai_addrlen, deadline);
        if (fd < 0) error = errno;
    }
    freeaddrinfo(found);
    if (fd < 0) SetError("%s: %s", text, ConnectFailure(error));
    return fd;
}

}  // namespace utr::sockets

using namespace utr::sockets;

extern "C" {

Transport *utr_SocketConnect(const char *address, uint32_t connectTimeoutMs) {
    try {
        Address a;
        if (!ParseAddress(address, a, false)) return nullptr;
        if (connectTimeoutMs == 0) connectTimeoutMs = kDefaultConnectTimeoutMs;
        const int fd = ConnectTo(a, address, connectTimeoutMs);
        if (fd < 0) return nullptr;
        Connection *c = NewConnection(fd, address, true);
        if (c == nullptr) {
            close(fd);
            SetError("%s: out of memory", address);
            return nullptr;
        }
        c->address = a;
        c->connectTimeoutMs = connectTimeoutMs;
        return &c->face.table;
    } catch (...) {
        SetError("out of memory");
        return nullptr;
    }
}

const char *utr_SocketLastError(void) { return tLastError; }

}  // extern "C"
