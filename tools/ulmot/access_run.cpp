// tools/ulmot/access_run.cpp - the access run behind `ulmot read` and
// `ulmot write-user` (tools/common/tag_access.h), its failures turned into
// the tool's exit codes, and the --epc option.
#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "access_run.h"

namespace cli {

std::vector<AccessResult> RunAccess(Reader &reader, AccessShared &state, const std::vector<uint8_t> &epc,
                                    uint32_t epcBits, uint8_t operation, uint8_t bank, uint32_t offset, uint8_t words,
                                    const std::vector<uint8_t> &data) {
    const tools::AccessRequest request{epc, epcBits, operation, bank, offset, words, data};
    std::vector<AccessResult> results;
    std::string what;
    const int32_t r = tools::RunAccess(reader.client(), state, request, &results, &what, [] { return Interrupted(); });
    if (r == tools::kAccessInterrupted) Fail(kInterrupted, "interrupted before the tags answered");
    if (r == tools::kAccessTimedOut) Fail(kRefused, "the reader did not end the run within 30 s");
    if (r != 0 && !reader.LinkUp()) Fail(kNoReader, "lost the link to " + reader.Describe());
    Check(r, what);
    return results;
}

EpcArgument RequireEpc(const Options &options) {
    auto epc = options.Value("epc");
    if (!epc) Fail(kUsage, options.command + " needs --epc HEX (the EPC, or the first hex digits of it)");
    EpcArgument a;
    a.bytes = ParseHex(*epc, "--epc", &a.bits);
    if (a.bits > UEMU_MAX_EPC_BYTES * 8) Fail(kUsage, "--epc is longer than an EPC can be (496 bits)");
    a.text = *epc;
    return a;
}

}  // namespace cli
