// python/native/handoff.cpp - the bounded inbox of uho.h: records pushed by
// the library's callbacks, taken whole by the runtime's thread.
//
// The records sit in one byte vector; `head_` is the first byte not taken
// yet. A take copies from the head; once everything is taken both go back
// to zero, and a push that finds the head past half the vector moves what
// waits to the front first, so the vector never grows past the bound and
// its room is reused.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "uho.h"

namespace {

constexpr uint32_t kMinCapacity = 4096;
constexpr uint32_t kMaxRecord = 0xFFFF;
// A take that waited for its first record waits this much longer while
// fewer than kBatchBytes wait: one wake-up serves a burst of reads.
constexpr auto kLinger = std::chrono::microseconds(1000);
constexpr size_t kBatchBytes = 16 * 1024;

uint64_t WallNs() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

// Writes `value` at `at` in host byte order and returns the next position.
template <typename T>
uint8_t *Put(uint8_t *at, T value) {
    std::memcpy(at, &value, sizeof value);
    return at + sizeof value;
}

}  // namespace

struct uho_Inbox {
    explicit uho_Inbox(uint32_t capacity)
        : tagBound(std::max(capacity, kMinCapacity)), bound(tagBound + tagBound / 8) {
        bytes.reserve(bound);
    }
    ~uho_Inbox() {
        if (eventFd >= 0) close(eventFd);
    }

    // Appends one record of `body` bytes after the header, filled by `fill`
    // (given the body's first byte). Refused and counted when it does not
    // fit the bound of its kind.
    // A tag report's inventory instance and report number, counted before
    // the record is kept or refused: gaps in the numbers are reports lost
    // on the way to the callback, refusals are drops.
    struct Tag {
        uint8_t instance;
        uint32_t sequence;
    };

    void CountTag(const Tag &tag, bool refused) {
        TagCounts &c = tags[tag.instance];
        if (tag.sequence > c.next) c.lost += tag.sequence - c.next;
        if (tag.sequence >= c.next) c.next = tag.sequence + 1;
        if (refused) ++c.dropped;
    }

    template <typename Fill>
    void Push(uint32_t kind, uint32_t timestamp, uint32_t body, Fill fill, const Tag *tag = nullptr) {
        const uint32_t size = UHO_HEADER_SIZE + body;
        const uint64_t wall = WallNs();
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(mu);
            const size_t waiting = bytes.size() - head;
            const size_t limit = kind == UHO_TAG ? tagBound : bound;
            const bool refused = size > kMaxRecord || waiting + size > limit;
            if (tag != nullptr) CountTag(*tag, refused);
            if (refused) {
                ++dropped[kind];
                return;
            }
            if (head != 0 && (head > bytes.size() / 2 || bytes.size() + size > bytes.capacity())) Compact();
            const bool wasEmpty = waiting == 0;
            wake = wasEmpty && waiters != 0;
            const size_t at = bytes.size();
            bytes.resize(at + size);
            uint8_t *p = bytes.data() + at;
            p = Put(p, static_cast<uint16_t>(size));
            p = Put(p, static_cast<uint8_t>(kind));
            p = Put(p, static_cast<uint8_t>(0));
            p = Put(p, timestamp);
            p = Put(p, wall);
            fill(p);
            if (wasEmpty && eventFd >= 0) Signal();
        }
        if (wake) ready.notify_one();
    }

    uint32_t Take(uint8_t *out, uint32_t size, uint32_t timeoutMs) {
        std::unique_lock<std::mutex> lock(mu);
        if (head == bytes.size() && !woken && timeoutMs != 0) {
            ++waiters;
            ready.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return head != bytes.size() || woken; });
            --waiters;
            // Woken by the first record of a burst: let the burst come in
            // for a moment, outside the lock and not as a waiter, so that
            // the callbacks need not wake this thread again for each record.
            if (!woken && bytes.size() - head < kBatchBytes) {
                lock.unlock();
                std::this_thread::sleep_for(kLinger);
                lock.lock();
            }
        }
        woken = false;
        size_t end = head;
        while (end < bytes.size()) {
            uint16_t length = 0;
            std::memcpy(&length, bytes.data() + end, sizeof length);
            if (end + length - head > size) break;
            end += length;
        }
        const uint32_t copied = static_cast<uint32_t>(end - head);
        if (copied != 0) std::memcpy(out, bytes.data() + head, copied);
        head = end;
        if (head == bytes.size()) {
            bytes.clear();
            head = 0;
            if (eventFd >= 0) Unsignal();
        }
        return copied;
    }

    void Compact() {
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
    }
    void Signal() const {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(eventFd, &one, sizeof one);
    }
    void Unsignal() const {
        uint64_t value = 0;
        [[maybe_unused]] ssize_t n = read(eventFd, &value, sizeof value);
    }
    void Reset() {
        bytes.clear();
        head = 0;
        if (eventFd >= 0) Unsignal();
        for (uint64_t &d : dropped) d = 0;
        for (TagCounts &c : tags) c = TagCounts{};
    }

    struct TagCounts {
        uint32_t next = 1;  // the report number expected next
        uint64_t lost = 0;
        uint64_t dropped = 0;
    };

    const size_t tagBound;  // tag records wait up to this many bytes
    const size_t bound;     // every record, with the room kept for the others
    std::mutex mu;
    std::condition_variable ready;
    std::vector<uint8_t> bytes;
    size_t head = 0;
    uint32_t waiters = 0;
    bool woken = false;
    int eventFd = -1;
    uint64_t dropped[UHO_KINDS] = {};
    TagCounts tags[256];  // by inventory instance
};

namespace {
uho_Inbox *InboxOf(void *context) { return static_cast<uho_Inbox *>(context); }
}  // namespace

uho_Inbox *uho_Create(uint32_t capacity) { return new (std::nothrow) uho_Inbox(capacity); }

void uho_Destroy(uho_Inbox *inbox) { delete inbox; }

uint32_t uho_Take(uho_Inbox *inbox, uint8_t *out, uint32_t size, uint32_t timeoutMs) {
    return inbox == nullptr || out == nullptr ? 0 : inbox->Take(out, size, timeoutMs);
}

void uho_Wake(uho_Inbox *inbox) {
    if (inbox == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(inbox->mu);
        inbox->woken = true;
    }
    inbox->ready.notify_all();
}

void uho_Reset(uho_Inbox *inbox) {
    if (inbox == nullptr) return;
    std::lock_guard<std::mutex> lock(inbox->mu);
    inbox->Reset();
}

int uho_Fd(uho_Inbox *inbox) {
    if (inbox == nullptr) return -1;
    std::lock_guard<std::mutex> lock(inbox->mu);
    if (inbox->eventFd < 0) {
        inbox->eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (inbox->eventFd >= 0 && inbox->head != inbox->bytes.size()) inbox->Signal();
    }
    return inbox->eventFd;
}

uint32_t uho_Pending(uho_Inbox *inbox) {
    if (inbox == nullptr) return 0;
    std::lock_guard<std::mutex> lock(inbox->mu);
    return static_cast<uint32_t>(inbox->bytes.size() - inbox->head);
}

uint64_t uho_Dropped(uho_Inbox *inbox, uint32_t kind) {
    if (inbox == nullptr || kind >= UHO_KINDS) return 0;
    std::lock_guard<std::mutex> lock(inbox->mu);
    return inbox->dropped[kind];
}

void uho_TagCounts(uho_Inbox *inbox, uint8_t instance, uint64_t *dropped, uint64_t *lost, uint32_t *last) {
    uint64_t d = 0, l = 0;
    uint32_t n = 0;
    if (inbox != nullptr) {
        std::lock_guard<std::mutex> lock(inbox->mu);
        d = inbox->tags[instance].dropped;
        l = inbox->tags[instance].lost;
        n = inbox->tags[instance].next - 1;
    }
    if (dropped != nullptr) *dropped = d;
    if (lost != nullptr) *lost = l;
    if (last != nullptr) *last = n;
}

void uho_OnTagReport(void *context, uint32_t timestamp, uint8_t instance, const TagReport *report) {
    const uint8_t length = static_cast<uint8_t>(
        report->data == nullptr ? 0 : std::min<uint32_t>(report->dataLength, 255));
    const uho_Inbox::Tag tag{instance, report->item18};
    InboxOf(context)->Push(UHO_TAG, timestamp, UHO_TAG_BODY_SIZE + length, [&](uint8_t *p) {
        p = Put(p, report->item18);
        p = Put(p, report->pcWord);
        p = Put(p, report->xpcWord1);
        p = Put(p, report->xpcWord2);
        p = Put(p, report->crc);
        p = Put(p, static_cast<int16_t>(report->item6));
        p = Put(p, report->item7);
        p = Put(p, report->item13);
        p = Put(p, report->item14);
        p = Put(p, report->format);
        p = Put(p, report->item9Instance);
        p = Put(p, instance);
        p = Put(p, length);
        if (length != 0) std::memcpy(p, report->data, length);
    }, &tag);
}

namespace {
void PushSchedule(void *context, uint32_t kind, uint32_t timestamp, uint32_t scheduleId, uint8_t reason) {
    InboxOf(context)->Push(kind, timestamp, 5, [&](uint8_t *p) { Put(Put(p, scheduleId), reason); });
}
void PushLine(void *context, uint32_t kind, uint32_t timestamp, uint8_t line, uint8_t state) {
    InboxOf(context)->Push(kind, timestamp, 2, [&](uint8_t *p) { Put(Put(p, line), state); });
}
}  // namespace

void uho_OnScheduleStart(void *context, uint32_t timestamp, uint32_t scheduleId) {
    PushSchedule(context, UHO_SCHEDULE_START, timestamp, scheduleId, 0);
}

void uho_OnScheduleStop(void *context, uint32_t timestamp, uint32_t scheduleId, uint8_t reason) {
    PushSchedule(context, UHO_SCHEDULE_STOP, timestamp, scheduleId, reason);
}

void uho_OnGpi(void *context, uint32_t timestamp, uint8_t line, uint8_t state) {
    PushLine(context, UHO_GPI, timestamp, line, state);
}

void uho_OnGpo(void *context, uint32_t timestamp, uint8_t line, uint8_t state) {
    PushLine(context, UHO_GPO, timestamp, line, state);
}

void uho_OnText(void *context, uint32_t timestamp, const char *text) {
    // A text too long for one record (no log line is) is refused and counted.
    const uint32_t length = text == nullptr ? 0 : static_cast<uint32_t>(strnlen(text, kMaxRecord));
    InboxOf(context)->Push(UHO_TEXT, timestamp, length, [&](uint8_t *p) { std::memcpy(p, text, length); });
}

void uho_OnAccessData(void *context, uint32_t timestamp, uint8_t instance, uint8_t success, uint8_t code,
                      uint16_t length, const uint8_t *data) {
    const uint16_t kept = data == nullptr ? 0 : length;
    InboxOf(context)->Push(UHO_ACCESS, timestamp, 3u + kept, [&](uint8_t *p) {
        p = Put(Put(Put(p, instance), success), code);
        if (kept != 0) std::memcpy(p, data, kept);
    });
}

void uho_OnAccessComplete(void *context, uint32_t timestamp, uint8_t instance, uint8_t success, uint8_t code) {
    uho_OnAccessData(context, timestamp, instance, success, code, 0, nullptr);
}
