// tools/ulmot/read.cpp - `ulmot read`: reads a memory bank (TID by
// default) of the tags whose EPC starts with the --epc digits, through one
// access run (access_run.h), and prints each tag's words or its error.
#include <cstdio>
#include <string>
#include <vector>

#include "access_run.h"

namespace cli {
namespace {

uint8_t BankOf(const std::string &name) {
    if (name == "reserved") return UEMU_BANK_RESERVED;
    if (name == "epc") return UEMU_BANK_EPC;
    if (name == "tid") return UEMU_BANK_TID;
    if (name == "user") return UEMU_BANK_USER;
    Fail(kUsage, "--bank must be epc, tid, user or reserved, not '" + name + "'");
}

const char *BankName(uint8_t bank) {
    static const char *names[] = {"reserved", "epc", "tid", "user"};
    return bank < 4 ? names[bank] : "?";
}

}  // namespace

int ReadMemory(int argc, char **argv) {
    const Options options =
        Parse("read", argc, argv, Accepted{{"epc", "bank", "offset", "words", kRadioBlockedFile}, {}});
    if (!options.positional.empty()) Fail(kUsage, "read takes no argument '" + options.positional[0] + "'");
    const EpcArgument epc = RequireEpc(options);
    const uint8_t bank = BankOf(options.Value("bank").value_or("tid"));
    const uint32_t offset = options.Unsigned("offset", 0, 0, 0xFFFF);
    const uint8_t words = static_cast<uint8_t>(options.Unsigned("words", 0, 0, 255));

    AccessShared shared;
    Reader reader(options);
    reader.Attach({ULMOT_OBJ_TAG_SELECTOR, ULMOT_OBJ_INVENTORY, ULMOT_OBJ_ACCESS, ULMOT_OBJ_SCHEDULE});
    const auto results = RunAccess(reader, shared, epc.bytes, epc.bits, 0, bank, offset, words, {});
    if (results.empty()) Fail(kFailed, "no tag with an EPC starting " + epc.text + " answered");
    int code = kOk;
    for (const AccessResult &r : results) {
        if (options.Flag("json")) {
            Json j = {{"epc", r.epc}, {"antenna", r.antenna}, {"bank", BankName(bank)}, {"offset", offset}};
            if (r.success) {
                j["words"] = r.data.size() / 2;
                j["data"] = Hex(r.data.data(), r.data.size());
            } else {
                j["error"] = r.code;
                j["error_text"] = TagErrorText(r.code);
            }
            PrintJson(j);
        } else if (r.success) {
            std::printf("%s  antenna %u  %s words %u-%u: %s\n", r.epc.c_str(), r.antenna, BankName(bank), offset,
                        static_cast<unsigned>(offset + r.data.size() / 2) - 1, Hex(r.data.data(), r.data.size()).c_str());
        }
        if (!r.success) {
            std::fprintf(stderr, "ulmot: %s answered: %s\n", r.epc.c_str(), TagErrorText(r.code).c_str());
            code = kFailed;
        }
    }
    std::fflush(stdout);
    return code;
}

}  // namespace cli
