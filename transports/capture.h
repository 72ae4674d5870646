// transports/capture.h - captures of what transports send and receive, not
// installed: a pcapng file that any number of transports record into, each
// as an interface of its own (named after the transport or a label), and the
// tap in every transport that records its frames there.
//
// Locks: a tap's lock is taken before its file's, never the other way round;
// neither is held while anything else is waited for. A tap that records
// nothing costs one atomic load per frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "utr.h"

struct utr_CaptureFile;

namespace utr::capture {

using File = utr_CaptureFile;

// Where a transport's frames go: a file and the interface they are recorded
// under there. One per socket connection and per memory endpoint.
class Tap {
public:
    Tap() = default;
    Tap(const Tap &) = delete;
    Tap &operator=(const Tap &) = delete;
    ~Tap() { Attach(nullptr, ""); }

    // From now on frames go to `file` (which gains a reference and an
    // interface named `label`), or nowhere when `file` is null. False when the
    // interface could not be written: the tap then records nowhere.
    bool Attach(File *file, const std::string &label);

    // Records one frame, gathered from the chain `frame`; `inbound`: it was
    // received rather than sent.
    void Record(const MessageBlock *frame, bool inbound) {
        if (on_.load(std::memory_order_acquire)) RecordTo(frame, inbound);
    }

private:
    void RecordTo(const MessageBlock *frame, bool inbound);

    std::atomic<bool> on_{false};
    std::mutex lock_;
    File *file_ = nullptr;
    uint32_t interface_ = 0;
};

}  // namespace utr::capture

namespace utr::memory {
// The tap of a memory endpoint, or null when `transport` is not one.
capture::Tap *TapOf(Transport *transport);
}  // namespace utr::memory
