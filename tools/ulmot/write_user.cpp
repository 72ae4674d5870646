// tools/ulmot/write_user.cpp - `ulmot write-user`: writes whole words to
// the user bank of the tags whose EPC starts with the --epc digits, through
// one access run (access_run.h), and with --verify reads them back in a
// second run and compares.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "access_run.h"

namespace cli {

int WriteUser(int argc, char **argv) {
    const Options options =
        Parse("write-user", argc, argv, Accepted{{"epc", "offset", "data", kRadioBlockedFile}, {"verify"}});
    if (!options.positional.empty()) Fail(kUsage, "write-user takes no argument '" + options.positional[0] + "'");
    const EpcArgument epc = RequireEpc(options);
    if (!options.Value("offset")) Fail(kUsage, "write-user needs --offset W (the first user word to write)");
    const uint32_t offset = options.Unsigned("offset", 0, 0, 0xFFFF);
    auto dataText = options.Value("data");
    if (!dataText) Fail(kUsage, "write-user needs --data HEX (whole 16-bit words)");
    const std::vector<uint8_t> data = ParseHex(*dataText, "--data");
    if (data.size() % 2 != 0) Fail(kUsage, "--data must be whole 16-bit words (a multiple of 4 hex digits)");
    if (data.size() > 1024) Fail(kUsage, "--data is longer than a user bank can be (512 words)");
    const uint8_t words = static_cast<uint8_t>(std::min<size_t>(data.size() / 2, 255));

    AccessShared shared;
    Reader reader(options);
    reader.Attach({ULMOT_OBJ_TAG_SELECTOR, ULMOT_OBJ_INVENTORY, ULMOT_OBJ_ACCESS, ULMOT_OBJ_SCHEDULE});
    const auto written = RunAccess(reader, shared, epc.bytes, epc.bits, 1, UEMU_BANK_USER, offset, 0, data);
    if (written.empty()) Fail(kFailed, "no tag with an EPC starting " + epc.text + " answered");
    std::vector<AccessResult> readBack;
    const bool verify = options.Flag("verify") && data.size() / 2 <= 255;
    if (verify) readBack = RunAccess(reader, shared, epc.bytes, epc.bits, 0, UEMU_BANK_USER, offset, words, {});

    int code = kOk;
    for (const AccessResult &w : written) {
        const AccessResult *back = nullptr;
        for (const AccessResult &r : readBack) {
            if (r.epc == w.epc) back = &r;
        }
        const bool verified = back != nullptr && back->success && back->data == data;
        if (options.Flag("json")) {
            Json j = {{"epc", w.epc},
                      {"antenna", w.antenna},
                      {"offset", offset},
                      {"words", data.size() / 2},
                      {"written", w.success}};
            if (!w.success) {
                j["error"] = w.code;
                j["error_text"] = TagErrorText(w.code);
            }
            if (verify && w.success) {
                j["verified"] = verified;
                if (back != nullptr && back->success) j["read_back"] = Hex(back->data.data(), back->data.size());
            }
            PrintJson(j);
        } else if (w.success) {
            std::printf("%s  antenna %u  wrote user words %u-%u%s\n", w.epc.c_str(), w.antenna, offset,
                        static_cast<unsigned>(offset + data.size() / 2) - 1,
                        !verify ? "" : verified ? ", read back the same" : ", read back DIFFERENT data");
        }
        if (!w.success) {
            std::fprintf(stderr, "ulmot: %s answered: %s\n", w.epc.c_str(), TagErrorText(w.code).c_str());
            code = kFailed;
        } else if (verify && !verified) {
            std::fprintf(stderr, "ulmot: %s: the words read back differ from the words written\n", w.epc.c_str());
            code = kFailed;
        }
    }
    std::fflush(stdout);
    return code;
}

}  // namespace cli
