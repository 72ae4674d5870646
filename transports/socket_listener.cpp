// transports/socket_listener.cpp - the server end of the socket transport:
// a listener bound to a TCP port or a Unix socket file (a stale file is
// replaced, a live one or any other file refused), accept with a time-out
// that a wake-up pipe can cut short from another thread, and the listener's
// release, which removes its socket file only if it is still the one it made.
// Each accepted connection is a Transport like the client end's, without the
// reconnection.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "socket.h"

using namespace utr::sockets;

// ---- Listeners -------------------------------------------------------------------

struct utr_SocketListener {
    int fd = -1;
    int wake[2] = {-1, -1};
    Family family = Family::kTcp;
    std::string bound;     // "tcp:127.0.0.1:40123"
    std::string unixPath;  // the socket file we created
    dev_t fileDevice = 0;
    ino_t fileInode = 0;
};

namespace {

void CloseListener(utr_SocketListener *l) {
    if (l->fd >= 0) close(l->fd);
    for (int &w : l->wake) {
        if (w >= 0) close(w);
    }
    delete l;
}

// Binds and listens on a TCP address: the descriptor, or -1 with the reason stored.
int ListenTcp(const Address &a, const char *text, std::string &bound) {
    addrinfo *found = Resolve(a, text, AI_PASSIVE);
    if (found == nullptr) return -1;
    int fd = -1;
    int error = EADDRNOTAVAIL;
    for (addrinfo *ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        // A daemon restarted on its port must not wait for TIME_WAIT to pass.
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
            error = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        SetError("%s: %s", text, error == EADDRINUSE ? "address in use" : std::strerror(error));
        return -1;
    }
    sockaddr_storage ss{};
    socklen_t size = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &size);
    bound = AddressText(reinterpret_cast<sockaddr *>(&ss), "");
    return fd;
}

// Binds and listens on a Unix socket file, replacing a stale one (a socket
// file nobody answers on); a live socket or any other file is left alone.
int ListenUnix(const Address &a, const char *text, utr_SocketListener *l) {
    sockaddr_un sa;
    UnixSockaddr(a.path, sa);
    struct stat st{};
    if (lstat(a.path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            SetError("%s: a file that is not a socket is in the way", text);
            return -1;
        }
        const int probe = ConnectOne(AF_UNIX, reinterpret_cast<sockaddr *>(&sa), sizeof sa,
                                     Clock::now() + milliseconds(200));
        if (probe >= 0) {
            close(probe);
            SetError("%s: address in use", text);
            return -1;
        }
        unlink(a.path.c_str());
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetError("%s: %s", text, std::strerror(errno));
        return -1;
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        close(fd);
        SetError("%s: %s", text, error == EADDRINUSE ? "address in use" : std::strerror(error));
        return -1;
    }
    if (stat(a.path.c_str(), &st) == 0) {
        l->fileDevice = st.st_dev;
        l->fileInode = st.st_ino;
    }
    l->unixPath = a.path;
    l->bound = "unix:" + a.path;
    return fd;
}

}  // namespace

extern "C" {

utr_SocketListener *utr_SocketListen(const char *address) {
    try {
        Address a;
        if (!ParseAddress(address, a, true)) return nullptr;
        auto *l = new utr_SocketListener();
        l->family = a.family;
        if (pipe2(l->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
            SetError("%s: %s", address, std::strerror(errno));
            CloseListener(l);
            return nullptr;
        }
        l->fd = a.family == Family::kUnix ? ListenUnix(a, address, l) : ListenTcp(a, address, l->bound);
        if (l->fd < 0) {
            CloseListener(l);
            return nullptr;
        }
        return l;
    } catch (...) {
        SetError("out of memory");
        return nullptr;
    }
}

int32_t utr_SocketListenerAddress(utr_SocketListener *listener, char *buffer, uint32_t size) {
    if (listener == nullptr || buffer == nullptr || size <= listener->bound.size()) {
        return ULMOT_ERR_INVALID;
    }
    std::memcpy(buffer, listener->bound.c_str(), listener->bound.size() + 1);
    return ULMOT_OK;
}

Transport *utr_SocketAccept(utr_SocketListener *listener, uint32_t timeoutMs) {
    if (listener == nullptr) return nullptr;
    const bool forever = timeoutMs == UTR_SOCKET_WAIT_FOREVER;
    const Clock::time_point deadline = Clock::now() + milliseconds(forever ? 0 : timeoutMs);
    for (;;) {
        pollfd p[2] = {{listener->fd, POLLIN, 0}, {listener->wake[0], POLLIN, 0}};
        const int r = poll(p, 2, forever ? -1 : Remaining(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || (p[1].revents & POLLIN) != 0) return nullptr;
        sockaddr_storage ss{};
        socklen_t size = sizeof ss;
        const int fd = accept4(listener->fd, reinterpret_cast<sockaddr *>(&ss), &size,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // The client may have given up between poll and accept.
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR) continue;
            return nullptr;
        }
        try {
            std::string name = listener->family == Family::kUnix
                                   ? listener->bound
                                   : AddressText(reinterpret_cast<sockaddr *>(&ss), "");
            if (listener->family == Family::kTcp) SetNoDelay(fd);
            Connection *c = NewConnection(fd, std::move(name), false);
            if (c != nullptr) return &c->face.table;
        } catch (...) {
        }
        close(fd);
        return nullptr;
    }
}

void utr_SocketListenerWake(utr_SocketListener *listener) {
    if (listener == nullptr) return;
    const uint8_t byte = 1;
    // The byte stays in the pipe: every later accept returns at once too.
    ssize_t ignored = write(listener->wake[1], &byte, 1);
    (void)ignored;
}

void utr_SocketListenerDestroy(utr_SocketListener *listener) {
    if (listener == nullptr) return;
    if (!listener->unixPath.empty()) {
        // Only the file we bound: a newer listener may have replaced it.
        struct stat st{};
        if (stat(listener->unixPath.c_str(), &st) == 0 && st.st_dev == listener->fileDevice &&
            st.st_ino == listener->fileInode) {
            unlink(listener->unixPath.c_str());
        }
    }
    CloseListener(listener);
}

}  // extern "C"
