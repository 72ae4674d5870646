// transports/capture.cpp - capture files (pcapng) and the taps of transports
// that record into them.
//
// The file is written in the host's byte order, which the section header's
// byte-order magic announces: a section header, then an interface
// description (link type 147, LINKTYPE_USER0, and the interface's name) each
// time a transport starts recording, then one enhanced packet block per frame
// (microsecond time stamp; data: a direction byte, 0 sent or 1 received, the
// interface's id as 4 bytes big-endian, then the frame as it travelled). A file that cannot be written to is given up at
// the first failure, never retried per frame, and the transports go on.
#include "capture.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "socket.h"

struct utr_CaptureFile {
    std::mutex lock;
    int fd = -1;
    int error = 0;            // errno of the write that failed, 0 while none has
    uint32_t interfaces = 0;  // described so far; the next one's id
    std::atomic<uint32_t> references{1};
};

namespace utr::capture {

namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0Au;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4Du;
constexpr uint16_t kLinkTypeUser0 = 147;
constexpr uint16_t kOptionName = 2;  // if_name
constexpr uint32_t kSnapLength = 65535;
constexpr uint32_t kRecordHead = 5;  // before the frame: its direction and its interface
constexpr int kMaxPieces = 32;     // iovecs of one frame's record
constexpr size_t kMaxName = 255;  // longer interface names are cut

uint32_t Padded(uint32_t n) { return (n + 3u) & ~3u; }

// Appends `v` to `out` in the host's byte order.
template <typename T>
uint8_t *Put(uint8_t *out, T v) {
    std::memcpy(out, &v, sizeof v);
    return out + sizeof v;
}

// Writes all of `iov` under the file's lock; the first failure gives the file up.
void WriteLocked(File *f, iovec *iov, int count, size_t total) {
    if (f->fd < 0) return;
    const ssize_t n = writev(f->fd, iov, count);
    if (n == static_cast<ssize_t>(total)) return;
    f->error = n < 0 ? errno : ENOSPC;
    close(f->fd);
    f->fd = -1;
}

void WriteLocked(File *f, const void *data, size_t length) {
    iovec one{const_cast<void *>(data), length};
    WriteLocked(f, &one, 1, length);
}

void Unref(File *f) {
    if (f == nullptr || f->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (f->fd >= 0) close(f->fd);
    delete f;
}

// Describes a new interface named `name`: its id, or -1 when the file has
// been given up.
int64_t AddInterface(File *f, const std::string &name) {
    const auto nameLength = static_cast<uint16_t>(std::min<size_t>(name.size(), kMaxName));
    const uint32_t total = 28 + Padded(nameLength);
    uint8_t block[28 + kMaxName + 1] = {};
    uint8_t *p = Put(block, kInterfaceDescription);
    p = Put(p, total);
    p = Put(p, kLinkTypeUser0);
    p = Put(p, uint16_t{0});
    p = Put(p, kSnapLength);
    p = Put(p, kOptionName);
    p = Put(p, nameLength);
    std::memcpy(p, name.data(), nameLength);
    p += Padded(nameLength) + 4;  // the name, its padding, the end of options
    Put(p, total);
    std::lock_guard<std::mutex> guard(f->lock);
    WriteLocked(f, block, total);
    if (f->fd < 0) return -1;
    return f->interfaces++;
}

// The section header that starts the file. False when it could not be written.
bool WriteSectionHeader(File *f) {
    uint8_t block[28];
    uint8_t *p = Put(block, kSectionHeader);
    p = Put(p, uint32_t{sizeof block});
    p = Put(p, kByteOrderMagic);
    p = Put(p, uint16_t{1});  // version 1.0
    p = Put(p, uint16_t{0});
    p = Put(p, int64_t{-1});  // section length not given
    Put(p, uint32_t{sizeof block});
    std::lock_guard<std::mutex> guard(f->lock);
    WriteLocked(f, block, sizeof block);
    return f->fd >= 0;
}

void WritePacket(File *f, uint32_t interface, const MessageBlock *frame, bool inbound) {
    iovec iov[kMaxPieces + 2];
    int count = 1;
    uint32_t length = kRecordHead;
    for (const MessageBlock *b = frame; b != nullptr && count <= kMaxPieces; b = b->cont) {
        const auto n = static_cast<uint32_t>(b->writePtr - b->readPtr);
        if (n == 0) continue;
        iov[count++] = iovec{b->readPtr, n};
        length += n;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t micros = static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
    const uint32_t total = 28 + Padded(length) + 4;
    uint8_t head[28 + kRecordHead];
    uint8_t *p = Put(head, kEnhancedPacket);
    p = Put(p, total);
    p = Put(p, interface);
    p = Put(p, static_cast<uint32_t>(micros >> 32));
    p = Put(p, static_cast<uint32_t>(micros));
    p = Put(p, length);
    p = Put(p, length);
    *p++ = inbound ? 1 : 0;
    for (int shift = 24; shift >= 0; shift -= 8) *p++ = static_cast<uint8_t>(interface >> shift);
    iov[0] = iovec{head, sizeof head};
    uint8_t tail[3 + 4] = {};
    const uint32_t padding = Padded(length) - length;
    Put(tail + padding, total);
    iov[count++] = iovec{tail, padding + 4};
    std::lock_guard<std::mutex> guard(f->lock);
    WriteLocked(f, iov, count, total);
}

}  // namespace

bool Tap::Attach(File *file, const std::string &label) {
    int64_t id = -1;
    if (file != nullptr) {
        file->references.fetch_add(1, std::memory_order_relaxed);
        id = AddInterface(file, label);
    }
    File *old = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        old = file_;
        file_ = id >= 0 ? file : nullptr;
        interface_ = id >= 0 ? static_cast<uint32_t>(id) : 0;
        on_.store(file_ != nullptr, std::memory_order_release);
    }
    Unref(old);
    if (file != nullptr && id < 0) Unref(file);
    return file == nullptr || id >= 0;
}

void Tap::RecordTo(const MessageBlock *frame, bool inbound) {
    std::lock_guard<std::mutex> guard(lock_);
    if (file_ != nullptr) WritePacket(file_, interface_, frame, inbound);
}

}  // namespace utr::capture

namespace {

using utr::capture::Tap;

Tap *TapOf(Transport *transport) {
    if (utr::sockets::Connection *c = utr::sockets::AsConnection(transport)) return &c->tap;
    return utr::memory::TapOf(transport);
}

}  // namespace

extern "C" {

utr_CaptureFile *utr_CaptureOpen(const char *path) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    auto *f = new (std::nothrow) utr_CaptureFile();
    if (f == nullptr) {
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    f->fd = fd;
    if (!utr::capture::WriteSectionHeader(f)) {
        const int error = f->error;
        delete f;
        errno = error;
        return nullptr;
    }
    return f;
}

void utr_CaptureClose(utr_CaptureFile *file) { utr::capture::Unref(file); }

int32_t utr_CaptureError(utr_CaptureFile *file) {
    if (file == nullptr) return ULMOT_ERR_INVALID;
    std::lock_guard<std::mutex> guard(file->lock);
    return file->error;
}

int32_t utr_CaptureAttach(Transport *transport, utr_CaptureFile *file, const char *label) {
    Tap *tap = TapOf(transport);
    if (tap == nullptr) return ULMOT_ERR_INVALID;
    const char *name = label != nullptr ? label : transport->name;
    if (name == nullptr || *name == '\0') name = "unnamed";
    return tap->Attach(file, name) ? ULMOT_OK : ULMOT_ERR_FAILED;
}

int32_t utr_SocketCapture(Transport *transport, const char *path) {
    if (utr::sockets::AsConnection(transport) == nullptr) return ULMOT_ERR_INVALID;
    if (path == nullptr) return utr_CaptureAttach(transport, nullptr, nullptr);
    utr_CaptureFile *file = utr_CaptureOpen(path);
    if (file == nullptr) return ULMOT_ERR_INVALID;
    const int32_t r = utr_CaptureAttach(transport, file, nullptr);
    utr_CaptureClose(file);
    return r == ULMOT_OK ? ULMOT_OK : ULMOT_ERR_INVALID;
}

}  // extern "C"
