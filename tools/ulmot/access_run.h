// tools/ulmot/access_run.h - what `ulmot read` and `ulmot write-user` share:
// one schedule run of one access specification on the tags whose EPC starts
// with the --epc digits, the record its callbacks fill, the results it hands
// back, and the words for a tag's error code.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "cli.h"
#include "inbox.h"

namespace cli {

struct AccessResult {
    std::string epc;
    uint8_t antenna = 0;
    bool success = false;
    uint8_t code = 0;
    std::vector<uint8_t> data;
};

// What the callbacks of one access run collect.
struct AccessShared {
    std::mutex mu;
    uint8_t inventory = 0, access = 0, schedule = 0;
    std::string lastEpc;  // the report that comes right before the tag's access event
    uint8_t lastAntenna = 0;
    bool stopped = false;
    Inbox<AccessResult> results;  // one for each tag that answered; taken when the run is over
};

// One schedule run of one access specification on the tags whose EPC starts
// with `epc`: a selector narrows the inventory to them, the inventory (session
// 1) reports each once, and the access specification acts on each right after
// its report. The objects are removed afterwards.
// `shared` outlives the reader's client, since a callback may still be
// running when the registrations are taken back.
std::vector<AccessResult> RunAccess(Reader &reader, AccessShared &state, const std::vector<uint8_t> &epc,
                                    uint32_t epcBits, uint8_t operation, uint8_t bank, uint32_t offset, uint8_t words,
                                    const std::vector<uint8_t> &data);

std::string TagErrorText(uint8_t code);

struct EpcArgument {
    std::vector<uint8_t> bytes;
    uint32_t bits = 0;
    std::string text;
};

// The --epc option: the bytes, their bit count and the text as given.
EpcArgument RequireEpc(const Options &options);

}  // namespace cli
