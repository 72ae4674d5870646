// Stream sockets (TCP and Unix-domain): one frame is the 8-byte header and
// the body length it declares, so the byte stream is cut into messages by the
// header alone.
//
// Every connection's descriptor is non-blocking; waits are poll() calls with
// the caller's time-out. Locks of a connection:
//   `write` - held for the whole of one frame's send (so frames of several
//             senders never interleave) and by probe while it reconnects, so
//             the descriptor a sender writes to cannot change under it;
//   `state` - guards the descriptor, the broken flag and the count of
//             receivers inside receive. It is never held while waiting.
// A connection that fails is shut down (shutdown(2)) but its descriptor stays
// open until probe replaces it or the transport is destroyed: a thread still
// polling the old descriptor wakes up at once and can never find a reused
// descriptor number under it. Probe closes the old descriptor only once no
// receiver is inside (they leave at once from a shut-down socket).
//
// Receiving keeps its progress in the connection (a staging buffer, the
// header bytes so far, the block being filled), so a time-out in the middle
// of a frame loses nothing: the next receive goes on where it stopped. Only
// the session's receive thread receives, so the progress needs no lock.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <type_traits>

#include "face.h"
#include "utr.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kSocketMagic = 0x75747331u;  // "uts1"

// The first connection waits this long when the caller asks for 0.
constexpr uint32_t kDefaultConnectTimeoutMs = 3000;
// A reconnection by probe waits at most this long: probe is called in a
// loop by whoever waits for the link, and should come back to it soon.
constexpr uint32_t kProbeConnectTimeoutMs = 1000;
// A frame that cannot be handed to the kernel within this time (the peer
// stopped reading) breaks the connection: a half-sent frame would otherwise
// desynchronise the stream.
constexpr uint32_t kSendTimeoutMs = 5000;
// While the pools are exhausted, receive looks for a block this often.
constexpr uint32_t kBlockRetryMs = 5;
// Bytes read from the socket in one call; several small frames arrive at once.
constexpr uint32_t kStagingSize = 4096;
// The largest frame that fits one pool block.
constexpr uint32_t kLargestFrame = ULMOT_MAX_BLOCK_SIZE;
// Blocks of one message written with one sendmsg call.
constexpr int kMaxIov = 16;

constexpr uint32_t kPcapMagic = 0xa1b2c3d4u;
constexpr uint32_t kPcapLinkType = 147;  // LINKTYPE_USER0
constexpr uint32_t kPcapSnapLength = 65535;

thread_local char tLastError[192] = "no error";

void SetError(const char *format, ...) __attribute__((format(printf, 1, 2)));
void SetError(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(tLastError, sizeof tLastError, format, args);
    va_end(args);
}

// The remaining milliseconds until `deadline`, as poll wants them.
int Remaining(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// ---- Addresses -----------------------------------------------------------------

enum class Family { kTcp, kUnix };

struct Address {
    Family family = Family::kTcp;
    std::string host;  // tcp: without brackets
    std::string port;  // tcp: decimal
    std::string path;  // unix
};

// Parses "tcp:HOST:PORT" or "unix:PATH"; false (and the reason stored) when
// malformed. `forListen` lets port 0 through.
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

// "tcp:1.2.3.4:5", "tcp:[::1]:5" or "unix:PATH" for a socket address.
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

// The stream addresses of a TCP address (`flags`: getaddrinfo's, e.g.
// AI_PASSIVE to listen), to be released with freeaddrinfo; null with the
// reason stored when the host cannot be resolved.
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

// Connects a fresh non-blocking socket to `sa` within `deadline`: the
// descriptor, or -1 with errno describing the failure (ETIMEDOUT on time-out).
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

// Connects to `a` within `timeoutMs`: the descriptor, or -1 with the reason stored.
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

// ---- Capture -------------------------------------------------------------------

void Put32(uint8_t *p, uint32_t v) { std::memcpy(p, &v, 4); }  // pcap: the writer's byte order

// ---- Connections ---------------------------------------------------------------

struct Connection;
using Face = utr::detail::Face<Connection, kSocketMagic>;

struct Connection {
    Face face{};
    bool client = false;  // the connecting end reconnects in probe
    Address address;      // client: where probe reconnects to
    std::string name;
    uint32_t connectTimeoutMs = kDefaultConnectTimeoutMs;

    std::mutex write;
    std::mutex state;
    std::condition_variable idle;  // `receivers` dropped to 0
    int fd = -1;
    bool broken = false;
    uint32_t receivers = 0;

    // Receive progress; touched by the receiving thread, and by probe while
    // no receiver is inside.
    uint8_t staging[kStagingSize];
    uint32_t stagedStart = 0;
    uint32_t stagedEnd = 0;
    uint8_t header[ULMOT_HEADER_SIZE];
    uint32_t headerGot = 0;
    MessageBlock *partial = nullptr;  // header complete, body being filled
    uint32_t frameLeft = 0;           // body bytes still to come
    bool skipping = false;            // a frame too large for any block is read past

    std::mutex captureLock;
    int captureFd = -1;
};
Connection *AsConnection(Transport *transport) { return Face::StateOf(transport); }

// Resets the receive progress, releasing a half-filled block.
void ResetProgress(Connection *c) {
    if (c->partial != nullptr) freemsg(c->partial);
    c->partial = nullptr;
    c->stagedStart = c->stagedEnd = 0;
    c->headerGot = 0;
    c->frameLeft = 0;
    c->skipping = false;
}

// Takes the connection out of use; the caller holds `state`.
void BreakLocked(Connection *c) {
    if (c->broken) return;
    c->broken = true;
    if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);
}

void Break(Connection *c) {
    std::lock_guard<std::mutex> guard(c->state);
    BreakLocked(c);
}

// Appends one frame, gathered from the chain `frame`, to the capture file.
// `inbound`: the frame was received rather than sent.
void Capture(Connection *c, MessageBlock *frame, bool inbound) {
    std::lock_guard<std::mutex> guard(c->captureLock);
    if (c->captureFd < 0) return;
    iovec iov[kMaxIov + 1];
    int count = 1;
    uint32_t length = 1;  // the direction byte
    for (MessageBlock *b = frame; b != nullptr && count < kMaxIov; b = b->cont) {
        const auto n = static_cast<uint32_t>(b->writePtr - b->readPtr);
        if (n == 0) continue;
        iov[count].iov_base = b->readPtr;
        iov[count].iov_len = n;
        length += n;
        ++count;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint8_t record[17];
    Put32(record, static_cast<uint32_t>(now.tv_sec));
    Put32(record + 4, static_cast<uint32_t>(now.tv_nsec / 1000));
    Put32(record + 8, length);
    Put32(record + 12, length);
    record[16] = inbound ? 1 : 0;
    iov[0].iov_base = record;
    iov[0].iov_len = sizeof record;
    // A capture file that cannot be written to is given up, never retried
    // per frame.
    if (writev(c->captureFd, iov, count) < 0) {
        close(c->captureFd);
        c->captureFd = -1;
    }
}

// The body length a header declares.
uint32_t DeclaredBody(const uint8_t *header) {
    return static_cast<uint32_t>(header[ULMOT_HEADER_LENGTH]) << 8 | header[ULMOT_HEADER_LENGTH + 1];
}

enum class Fill { kData, kTimeout, kClosed };

// Refills the staging buffer from `fd`, waiting until `deadline`.
Fill Refill(Connection *c, int fd, Clock::time_point deadline) {
    c->stagedStart = c->stagedEnd = 0;
    for (;;) {
        const ssize_t n = recv(fd, c->staging, kStagingSize, MSG_DONTWAIT);
        if (n > 0) {
            c->stagedEnd = static_cast<uint32_t>(n);
            return Fill::kData;
        }
        if (n == 0) return Fill::kClosed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return Fill::kClosed;
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, Remaining(deadline));
        if (r == 0) return Fill::kTimeout;
        if (r < 0 && errno != EINTR) return Fill::kClosed;
    }
}

// Moves up to `want` staged bytes to `to`; the count moved.
uint32_t TakeStaged(Connection *c, uint8_t *to, uint32_t want) {
    const uint32_t n = std::min(want, c->stagedEnd - c->stagedStart);
    if (to != nullptr) std::memcpy(to, c->staging + c->stagedStart, n);
    c->stagedStart += n;
    return n;
}

// One frame from `fd`: 0 and the block, -12, -11, or -1 (a frame no block
// holds, pools exhausted, or a declared length above the largest body; the
// last also sets `desync`).
int32_t ReceiveFrame(Connection *c, int fd, MessageBlock **out, Clock::time_point deadline,
                     bool &desync) {
    for (;;) {
        if (c->headerGot < ULMOT_HEADER_SIZE) {
            if (c->stagedStart == c->stagedEnd) {
                const Fill f = Refill(c, fd, deadline);
                if (f == Fill::kTimeout) return ULMOT_TRANSPORT_TIMEOUT;
                if (f == Fill::kClosed) return ULMOT_TRANSPORT_TERMINATED;
            }
            c->headerGot += TakeStaged(c, c->header + c->headerGot, ULMOT_HEADER_SIZE - c->headerGot);
            if (c->headerGot < ULMOT_HEADER_SIZE) continue;
            const uint32_t body = DeclaredBody(c->header);
            if (body > ULMOT_MAX_BODY) {
                // Whatever follows cannot be trusted to start a frame.
                desync = true;
                return ULMOT_ERR_FAILED;
            }
            c->frameLeft = body;
            c->skipping = ULMOT_HEADER_SIZE + body > kLargestFrame;
        }
        if (!c->skipping && c->partial == nullptr) {
            MessageBlock *b = allocb(ULMOT_HEADER_SIZE + c->frameLeft, 0);
            while (b == nullptr) {
                if (Remaining(deadline) == 0) return ULMOT_ERR_FAILED;  // the header is kept
                std::this_thread::sleep_for(milliseconds(kBlockRetryMs));
                b = allocb(ULMOT_HEADER_SIZE + c->frameLeft, 0);
            }
            std::memcpy(b->writePtr, c->header, ULMOT_HEADER_SIZE);
            b->writePtr += ULMOT_HEADER_SIZE;
            c->partial = b;
        }
        if (c->frameLeft > 0) {
            if (c->stagedStart == c->stagedEnd) {
                const Fill f = Refill(c, fd, deadline);
                if (f == Fill::kTimeout) return ULMOT_TRANSPORT_TIMEOUT;
                if (f == Fill::kClosed) return ULMOT_TRANSPORT_TERMINATED;
            }
            const uint32_t n = TakeStaged(c, c->skipping ? nullptr : c->partial->writePtr, c->frameLeft);
            c->frameLeft -= n;
            if (!c->skipping) c->partial->writePtr += n;
            if (c->frameLeft > 0) continue;
        }

        c->headerGot = 0;
        if (c->skipping) {
            // Read past in full, so the stream stays in step.
            c->skipping = false;
            return ULMOT_ERR_FAILED;
        }
        *out = c->partial;
        c->partial = nullptr;
        return ULMOT_OK;
    }
}

int32_t SocketReceive(Transport *transport, MessageBlock **block, uint32_t timeoutMs) {
    Connection *c = AsConnection(transport);
    if (c == nullptr || block == nullptr) return ULMOT_ERR_INVALID;
    const Clock::time_point deadline = Clock::now() + milliseconds(timeoutMs);
    int fd = -1;
    {
        std::lock_guard<std::mutex> guard(c->state);
        if (c->broken || c->fd < 0) return ULMOT_TRANSPORT_TERMINATED;
        fd = c->fd;
        ++c->receivers;
    }
    bool desync = false;
    MessageBlock *got = nullptr;
    const int32_t r = ReceiveFrame(c, fd, &got, deadline, desync);
    {
        std::lock_guard<std::mutex> guard(c->state);
        if (r == ULMOT_TRANSPORT_TERMINATED || desync) {
            BreakLocked(c);
            ResetProgress(c);
        }
        if (--c->receivers == 0) c->idle.notify_all();
    }
    if (r == ULMOT_OK) {
        Capture(c, got, true);
        *block = got;
    }
    return r;
}

// Writes the whole of `frame` to `fd` before `deadline`. 0; 1 when nothing
// was written (time-out); -1 when the connection failed or a part was written.
int WriteFrame(int fd, MessageBlock *frame, Clock::time_point deadline) {
    MessageBlock *next = frame;
    size_t written = 0;
    while (next != nullptr) {
        iovec iov[kMaxIov];
        int count = 0;
        MessageBlock *after = next;
        for (; after != nullptr && count < kMaxIov; after = after->cont) {
            const auto n = static_cast<size_t>(after->writePtr - after->readPtr);
            if (n == 0) continue;
            iov[count].iov_base = after->readPtr;
            iov[count].iov_len = n;
            ++count;
        }
        int first = 0;
        while (first < count) {
            msghdr m{};
            m.msg_iov = iov + first;
            m.msg_iovlen = static_cast<size_t>(count - first);
            const ssize_t n = sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
                pollfd p{fd, POLLOUT, 0};
                const int r = poll(&p, 1, Remaining(deadline));
                if (r == 0) return written == 0 ? 1 : -1;
                if (r < 0 && errno != EINTR) return -1;
                continue;
            }
            written += static_cast<size_t>(n);
            auto left = static_cast<size_t>(n);
            while (first < count && left >= iov[first].iov_len) left -= iov[first++].iov_len;
            if (first < count) {
                iov[first].iov_base = static_cast<uint8_t *>(iov[first].iov_base) + left;
                iov[first].iov_len -= left;
            }
        }
        next = after;
    }
    return 0;
}

int32_t SocketSend(Transport *transport, MessageBlock *block, uintptr_t /*reserved*/) {
    if (block == nullptr) return ULMOT_ERR_FAILED;
    Connection *c = AsConnection(transport);
    // Only whole frames go out: a block whose data is not exactly the header
    // and the body it declares would put the peer out of step.
    uint8_t header[ULMOT_HEADER_SIZE];
    uint32_t have = 0;
    for (MessageBlock *b = block; b != nullptr && have < ULMOT_HEADER_SIZE; b = b->cont) {
        for (const uint8_t *p = b->readPtr; p < b->writePtr && have < ULMOT_HEADER_SIZE; ++p) {
            header[have++] = *p;
        }
    }
    if (c == nullptr || have < ULMOT_HEADER_SIZE ||
        msgdsize(block) != ULMOT_HEADER_SIZE + DeclaredBody(header) ||
        DeclaredBody(header) > ULMOT_MAX_BODY) {
        freemsg(block);
        return ULMOT_ERR_FAILED;
    }
    int32_t result = ULMOT_ERR_FAILED;
    {
        std::lock_guard<std::mutex> writing(c->write);
        int fd = -1;
        {
            std::lock_guard<std::mutex> guard(c->state);
            if (!c->broken) fd = c->fd;
        }
        if (fd >= 0) {
            const int w = WriteFrame(fd, block, Clock::now() + milliseconds(kSendTimeoutMs));
            if (w < 0) Break(c);
            if (w == 0) result = ULMOT_OK;
        }
    }
    if (result == ULMOT_OK) Capture(c, block, false);
    freemsg(block);
    return result;
}

int32_t SocketProbe(Transport *transport) {
    Connection *c = AsConnection(transport);
    if (c == nullptr) return ULMOT_ERR_INVALID;
    {
        std::lock_guard<std::mutex> guard(c->state);
        if (!c->broken && c->fd >= 0) {
            // A peer that has gone shows as end of stream (or an error) to a
            // peek; unread frames in front of it keep the link up for now.
            uint8_t byte = 0;
            const ssize_t n = recv(c->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) {
                return ULMOT_OK;
            }
            BreakLocked(c);
        }
        if (!c->client) return ULMOT_ERR_FAILED;
    }
    // Reconnect: no sender may hold the old descriptor, and no receiver.
    std::lock_guard<std::mutex> writing(c->write);
    {
        std::unique_lock<std::mutex> guard(c->state);
        if (!c->broken && c->fd >= 0) return ULMOT_OK;  // another probe got there first
        c->idle.wait(guard, [&] { return c->receivers == 0; });
        if (c->fd >= 0) close(c->fd);
        c->fd = -1;
        ResetProgress(c);
    }
    const int fd = ConnectTo(c->address, c->name.c_str(),
                             std::min(c->connectTimeoutMs, kProbeConnectTimeoutMs));
    if (fd < 0) return ULMOT_ERR_FAILED;
    std::lock_guard<std::mutex> guard(c->state);
    c->fd = fd;
    c->broken = false;
    return ULMOT_OK;
}

Connection *NewConnection(int fd, std::string name, bool client) {
    auto *c = new (std::nothrow) Connection();
    if (c == nullptr) return nullptr;
    try {
        c->name = std::move(name);
    } catch (...) {
        delete c;
        return nullptr;
    }
    c->face.Bind(c, SocketSend, SocketReceive, SocketProbe, c->name.c_str());
    c->fd = fd;
    c->client = client;
    return c;
}

}  // namespace

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

void utr_SocketDestroy(Transport *transport) {
    Connection *c = AsConnection(transport);
    if (c == nullptr) return;
    ResetProgress(c);
    if (c->fd >= 0) close(c->fd);
    if (c->captureFd >= 0) close(c->captureFd);
    c->face.Unbind();
    delete c;
}

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

int32_t utr_SocketCapture(Transport *transport, const char *path) {
    Connection *c = AsConnection(transport);
    if (c == nullptr) return ULMOT_ERR_INVALID;
    int fd = -1;
    if (path != nullptr) {
        fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return ULMOT_ERR_INVALID;
        uint8_t global[24] = {};
        Put32(global, kPcapMagic);
        const uint16_t major = 2, minor = 4;
        std::memcpy(global + 4, &major, 2);
        std::memcpy(global + 6, &minor, 2);
        Put32(global + 16, kPcapSnapLength);
        Put32(global + 20, kPcapLinkType);
        if (write(fd, global, sizeof global) != static_cast<ssize_t>(sizeof global)) {
            close(fd);
            return ULMOT_ERR_INVALID;
        }
    }
    std::lock_guard<std::mutex> guard(c->captureLock);
    if (c->captureFd >= 0) close(c->captureFd);
    c->captureFd = fd;
    return ULMOT_OK;
}

}  // extern "C"
