// transports/socket.h - what the files of the socket transport share, and
// nothing of it is installed: the connection record behind a socket
// Transport, the parsed form of an address, the error text every utr_Socket
// function leaves behind, and the few calls one file makes into another
// (address and connecting in socket_address.cpp, the frames of a connection in
// socket_frames.cpp, the listener in socket_listener.cpp).
//
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
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <netdb.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "capture.h"
#include "face.h"
#include "utr.h"

namespace utr::sockets {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kSocketMagic = 0x75747331u;  // "uts1"

// The first connection waits this long when the caller asks for 0.
constexpr uint32_t kDefaultConnectTimeoutMs = 3000;
// Bytes read from the socket in one call; several small frames arrive at once.
constexpr uint32_t kStagingSize = 4096;
// Blocks of one message written with one sendmsg call.
constexpr int kMaxIov = 16;

// Stores the text utr_SocketLastError returns, for the calling thread.
void SetError(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The remaining milliseconds until `deadline`, as poll wants them.
inline int Remaining(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// ---- Addresses (socket_address.cpp) ---------------------------------------------

enum class Family { kTcp, kUnix };

struct Address {
    Family family = Family::kTcp;
    std::string host;  // tcp: without brackets
    std::string port;  // tcp: decimal
    std::string path;  // unix
};

// Parses "tcp:HOST:PORT" or "unix:PATH"; false (and the reason stored) when
// malformed. `forListen` lets port 0 through.
bool ParseAddress(const char *text, Address &out, bool forListen);
bool UnixSockaddr(const std::string &path, sockaddr_un &sa);
// "tcp:1.2.3.4:5", "tcp:[::1]:5" or "unix:PATH" for a socket address.
std::string AddressText(const sockaddr *sa, const std::string &unixPath);
void SetNoDelay(int fd);
// The stream addresses of a TCP address (`flags`: getaddrinfo's, e.g.
// AI_PASSIVE to listen), to be released with freeaddrinfo; null with the
// reason stored when the host cannot be resolved.
addrinfo *Resolve(const Address &a, const char *text, int flags);
// Connects a fresh non-blocking socket to `sa` within `deadline`: the
// descriptor, or -1 with errno describing the failure (ETIMEDOUT on time-out).
int ConnectOne(int domain, const sockaddr *sa, socklen_t length, Clock::time_point deadline);
// Connects to `a` within `timeoutMs`: the descriptor, or -1 with the reason stored.
int ConnectTo(const Address &a, const char *text, uint32_t timeoutMs);

// ---- Connections (socket_frames.cpp) --------------------------------------------

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

    capture::Tap tap;  // where utr_CaptureAttach sends its frames
};
inline Connection *AsConnection(Transport *transport) { return Face::StateOf(transport); }

// A connection over the connected descriptor `fd`, named `name`; null when
// memory cannot be had (`fd` is then the caller's still).
Connection *NewConnection(int fd, std::string name, bool client);
// Resets the receive progress, releasing a half-filled block.
void ResetProgress(Connection *c);

}  // namespace utr::sockets
