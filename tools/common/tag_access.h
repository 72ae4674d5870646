// tools/common/tag_access.h - one run of one access specification on the
// tags whose EPC starts with a prefix: what `ulmot read`, `ulmot write-user`
// and the gateway's "read" command share.
//
// A tag selector narrows an inventory (session 1: each tag reported once) to
// the tags of the prefix; the access specification acts on each right after
// its report; one pass of a schedule runs it. The access events carry no
// EPC, so each is paired with the tag report that came right before it on the
// same queue. Everything made is removed again, however the run ends.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "inbox.h"
#include "ulmot.h"

namespace tools {

struct AccessRequest {
    std::vector<uint8_t> epc;  // the EPC prefix
    uint32_t epcBits = 0;
    uint8_t operation = 0;  // 0 read, 1 write
    uint8_t bank = 2;       // 0 reserved, 1 EPC, 2 TID, 3 user
    uint32_t offset = 0;    // in words
    uint8_t words = 0;      // to read (0: the whole bank)
    std::vector<uint8_t> data;  // to write
};

struct AccessResult {
    std::string epc;  // hex
    uint8_t antenna = 0;
    bool success = false;
    uint8_t code = 0;  // the tag's error code when not a success
    std::vector<uint8_t> data;
};

// What the callbacks of one run collect. It must outlive the client: a
// callback may still run when the registrations are taken back.
struct AccessShared {
    std::mutex mu;
    uint8_t inventory = 0, access = 0, schedule = 0;
    std::string lastEpc;
    uint8_t lastAntenna = 0;
    bool stopped = false;
    Inbox<AccessResult> results;
};

// The run's end when it did not finish: the failing request's result and
// what it was (`what`), kTimedOut when the reader did not end the run in
// 30 s, or kInterrupted when `interrupted` said so. The objects are removed
// in every case.
inline constexpr int32_t kAccessTimedOut = -100;
inline constexpr int32_t kAccessInterrupted = -101;
int32_t RunAccess(ClientProcessor *client, AccessShared &shared, const AccessRequest &request,
                  std::vector<AccessResult> *results, std::string *what,
                  const std::function<bool()> &interrupted = nullptr);

// A tag's error code in words.
std::string TagErrorText(uint8_t code);
std::string Hex(const uint8_t *data, size_t length);

}  // namespace tools
