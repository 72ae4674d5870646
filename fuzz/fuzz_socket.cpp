// Fuzz target: the socket transport's framing on arbitrary byte streams.
//
// Each input is a byte stream written, in chunks, by a plain Unix socket into
// a connection accepted by utr_SocketListen / utr_SocketAccept. After each
// chunk the server end's receive runs with a time-out of 0 until it has
// nothing complete (-12); after the last chunk the writer shuts its side and
// receive runs until the connection ends (-11). Every message received is
// sent back through the transport's send and read off the plain socket.
//
// Input: one byte that sets the chunk size (1 to 256 bytes), then the stream.
//
// What the transport returns, with its -12s left out, must be what a model
// of the framing reads from the stream: an 8-byte header whose bytes 6-7
// declare the body; a whole message that fits a block (header and body at
// most 2048 bytes) is one received block holding exactly those bytes; a
// larger one is read past (-1) and the stream stays in step; a declared body
// above 2048 bytes is -1 and the end of the connection (-11 after it); a
// stream that stops inside a message ends with -11. Every message sent back
// arrives on the plain socket unchanged. After the connection is destroyed
// every pool is full.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "utr.h"

namespace {

using namespace ulmot::fuzz;
using Bytes = std::vector<uint8_t>;

// One thing the transport reports: a message (its bytes) or a result code.
struct Event {
    int32_t result;
    Bytes message;
    bool operator==(const Event &o) const { return result == o.result && message == o.message; }
};

std::vector<Event> Model(const uint8_t *stream, size_t size) {
    std::vector<Event> out;
    size_t at = 0;
    while (size - at >= ULMOT_HEADER_SIZE) {
        const size_t body = static_cast<size_t>(stream[at + 6] << 8 | stream[at + 7]);
        if (body > ULMOT_MAX_BODY) {
            out.push_back({ULMOT_ERR_FAILED, {}});
            out.push_back({ULMOT_TRANSPORT_TERMINATED, {}});
            return out;
        }
        if (size - at < ULMOT_HEADER_SIZE + body) break;
        if (ULMOT_HEADER_SIZE + body > ULMOT_MAX_BLOCK_SIZE) {
            out.push_back({ULMOT_ERR_FAILED, {}});
        } else {
            out.push_back({ULMOT_OK, Bytes(stream + at, stream + at + ULMOT_HEADER_SIZE + body)});
        }
        at += ULMOT_HEADER_SIZE + body;
    }
    out.push_back({ULMOT_TRANSPORT_TERMINATED, {}});
    return out;
}

std::string g_path;
utr_SocketListener *g_listener;

void WriteAll(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0) {
            // The transport closed the connection (a declared body above
            // 2048 bytes): the rest of the stream has nowhere to go.
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

Bytes ReadExactly(int fd, size_t n) {
    Bytes out(n);
    size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        Check(::poll(&p, 1, 5000) == 1, "a message sent back did not arrive");
        const ssize_t r = ::recv(fd, out.data() + got, n - got, 0);
        Check(r > 0, "the connection ended before a message sent back arrived");
        got += static_cast<size_t>(r);
    }
    return out;
}

// Receives until nothing complete is left (or the connection ends); records
// what came and sends every message back. False once the connection ended.
bool Drain(Transport *t, int raw, std::vector<Event> *seen, bool untilEnd) {
    for (int guard = 0; guard < 100000; ++guard) {
        MessageBlock *b = nullptr;
        const int32_t r = t->receive(t, &b, untilEnd ? 5000 : 0);
        if (r == ULMOT_TRANSPORT_TIMEOUT) {
            Check(!untilEnd, "receive waited 5 s on a closed stream");
            return true;
        }
        if (r != ULMOT_OK) {
            Check(r == ULMOT_ERR_FAILED || r == ULMOT_TRANSPORT_TERMINATED, "receive returned an unknown code");
            seen->push_back({r, {}});
            if (r == ULMOT_TRANSPORT_TERMINATED) return false;
            continue;
        }
        Check(b != nullptr && b->cont == nullptr, "a received message is not one block");
        Bytes message(b->readPtr, b->writePtr);
        seen->push_back({ULMOT_OK, message});
        Check(t->send(t, b, 0) == 0, "a received message could not be sent back");
        Check(ReadExactly(raw, message.size()) == message, "a message sent back changed on the way");
    }
    Fail("receive never ran out of messages");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    streams_buf_init();
    g_path = "/tmp/ulmot-fuzz-socket-" + std::to_string(::getpid()) + ".sock";
    g_listener = utr_SocketListen(("unix:" + g_path).c_str());
    Check(g_listener != nullptr, "cannot listen on a Unix socket");
    std::atexit([] { utr_SocketListenerDestroy(g_listener); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const size_t chunk = size_t{data[0]} + 1;
    const uint8_t *stream = data + 1;
    const size_t streamSize = size - 1;

    const int raw = ::socket(AF_UNIX, SOCK_STREAM, 0);
    Check(raw >= 0, "no socket");
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, g_path.c_str(), sizeof a.sun_path - 1);
    Check(::connect(raw, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0, "cannot connect");
    Transport *t = utr_SocketAccept(g_listener, 5000);
    Check(t != nullptr, "no connection accepted");

    std::vector<Event> seen;
    bool open = true;
    for (size_t at = 0; at < streamSize && open; at += chunk) {
        WriteAll(raw, stream + at, std::min(chunk, streamSize - at));
        open = Drain(t, raw, &seen, false);
    }
    ::shutdown(raw, SHUT_WR);
    if (open) Drain(t, raw, &seen, true);
    utr_SocketDestroy(t);
    ::close(raw);

    const std::vector<Event> expected = Model(stream, streamSize);
    Check(seen.size() == expected.size(), "the transport framed the stream otherwise than the model");
    for (size_t i = 0; i < seen.size(); ++i) {
        Check(seen[i] == expected[i], "a message or result differs from the model");
    }
    CheckPoolsFull("after the connection was destroyed");
    return 0;
}
