// transports/socket_frames.cpp - a socket connection at work: its receive,
// which cuts the byte stream into frames by their headers and keeps its
// progress across time-outs; its send, which hands one whole frame to the
// kernel or breaks the connection; its probe, which reconnects the client
// end; and its creation and release (utr_SocketDestroy). The connection
// record and its locks are described in socket.h.
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "socket.h"

namespace utr::sockets {

// ---- Connections ---------------------------------------------------------------

namespace {

// A reconnection by probe waits at most this long: probe is called in a
// loop by whoever waits for the link, and should come back to it soon.
constexpr uint32_t kProbeConnectTimeoutMs = 1000;
// A frame that cannot be handed to the kernel within this time (the peer
// stopped reading) breaks the connection: a half-sent frame would otherwise
// desynchronise the stream.
constexpr uint32_t kSendTimeoutMs = 5000;
// While the pools are exhausted, receive looks for a block this often.
constexpr uint32_t kBlockRetryMs = 5;
// The largest frame that fits one pool block.
constexpr uint32_t kLargestFrame = ULMOT_MAX_BLOCK_SIZE;

}  // namespace

void ResetProgress(Connection *c) {
    if (c->partial != nullptr) freemsg(c->partial);
    c->partial = nullptr;
    c->stagedStart = c->stagedEnd = 0;
    c->headerGot = 0;
    c->frameLeft = 0;
    c->skipping = false;
}

namespace {

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
        c->tap.Record(got, true);
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
            // Recorded before any of it leaves, under the write lock: the
            // capture keeps the order of the wire, and the answer to this
            // frame can only be recorded after it.
            c->tap.Record(block, false);
            const int w = WriteFrame(fd, block, Clock::now() + milliseconds(kSendTimeoutMs));
            if (w < 0) Break(c);
            if (w == 0) result = ULMOT_OK;
        }
    }
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

}  // namespace

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

}  // namespace utr::sockets

using namespace utr::sockets;

extern "C" {

void utr_SocketDestroy(Transport *transport) {
    Connection *c = AsConnection(transport);
    if (c == nullptr) return;
    ResetProgress(c);
    if (c->fd >= 0) close(c->fd);
    c->face.Unbind();
    delete c;
}

}  // extern "C"
