// tools/ulmot/access_run.h - what `ulmot read` and `ulmot write-user` share:
// one schedule run of one access specification on the tags whose EPC starts
// with the --epc digits, the record its callbacks fill, the results it hands
// back, and the words for a tag's error code.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tag_access.h"
#include "cli.h"

namespace cli {

using tools::AccessResult;
using tools::AccessShared;
using tools::TagErrorText;

// One access run (tools/common/tag_access.h) on the tags whose EPC starts
// with `epc`; a failure becomes the command's exit code and message.
// `state` outlives the reader's client, since a callback may still be
// running when the registrations are taken back.
std::vector<AccessResult> RunAccess(Reader &reader, AccessShared &state, const std::vector<uint8_t> &epc,
                                    uint32_t epcBits, uint8_t operation, uint8_t bank, uint32_t offset, uint8_t words,
                                    const std::vector<uint8_t> &data);

struct EpcArgument {
    std::vector<uint8_t> bytes;
    uint32_t bits = 0;
    std::string text;
};

// The --epc option: the bytes, their bit count and the text as given.
EpcArgument RequireEpc(const Options &options);

}  // namespace cli
