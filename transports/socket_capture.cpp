// transports/socket_capture.cpp - the capture of a socket connection: every
// frame it sends or receives, appended to a pcap file (link type USER0; each
// record a direction byte, 1 for received, then the frame as it went over the
// wire); utr_SocketCapture starts, replaces or ends it. A file that cannot be
// written to is given up, and the connection goes on without it. A frame to
// send is recorded as it is handed to the socket, before any of it leaves.
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <mutex>

#include "socket.h"

namespace utr::sockets {

// ---- Capture -------------------------------------------------------------------

namespace {

constexpr uint32_t kPcapMagic = 0xa1b2c3d4u;
constexpr uint32_t kPcapLinkType = 147;  // LINKTYPE_USER0
constexpr uint32_t kPcapSnapLength = 65535;

void Put32(uint8_t *p, uint32_t v) { std::memcpy(p, &v, 4); }  // pcap: the writer's byte order

}  // namespace

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

}  // namespace utr::sockets

using namespace utr::sockets;

extern "C" {

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
