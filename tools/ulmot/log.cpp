// tools/ulmot/log.cpp - `ulmot log`: follows the reader's text log until
// Ctrl-C or --duration, one line (or JSON object) for each message, with the
// reader's timestamp beside the time it arrived. The embedded reader, which
// logs only what happens to it, adds a line a second. The callback pushes
// into an Inbox that the streaming loop drains.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "inbox.h"

namespace cli {
namespace {

using SystemClock = std::chrono::system_clock;

struct LogLine {
    uint32_t timestamp;
    SystemClock::time_point wall;
    std::string text;
};

void OnText(void *context, uint32_t timestamp, const char *text) {
    static_cast<Inbox<LogLine> *>(context)->Push(LogLine{timestamp, SystemClock::now(), text});
}

}  // namespace

int Log(int argc, char **argv) {
    const Options options = Parse("log", argc, argv, Accepted{{"duration"}, {}});
    if (!options.positional.empty()) Fail(kUsage, "log takes no argument '" + options.positional[0] + "'");
    const uint64_t durationMs = options.Milliseconds("duration", 0);
    const bool json = options.Flag("json");

    Inbox<LogLine> lines;  // before the reader: callbacks may run until the client is gone
    Reader reader(options);
    ClientProcessor *c = reader.client();
    reader.Attach({ULMOT_OBJ_TEXT_LOG});
    Check(ulmot_RegisterTextLogMessage(c, OnText, &lines, 1), "registering for the text log");
    if (!json) std::fprintf(stderr, "ulmot: the text log of %s; Ctrl-C stops\n", reader.Describe().c_str());
    uint64_t beats = 0;
    if (reader.embedded()) {
        uemu_Log(reader.emulator(), (reader.Describe() + ": text log started").c_str());
    }
    const int code = Stream(
        reader, durationMs,
        [&] {
            const std::vector<LogLine> batch = lines.Take();
            for (const LogLine &l : batch) {
                if (json) {
                    const Json j = {{"timestamp", l.timestamp}, {"time", IsoTime(l.wall)}, {"text", l.text}};
                    std::printf("%s\n", JsonText(j).c_str());
                } else {
                    std::printf("%s  [%10.3f] %s\n", IsoTime(l.wall).c_str(), l.timestamp / 1000.0, l.text.c_str());
                }
            }
            if (!batch.empty()) std::fflush(stdout);
        },
        [&](uint64_t elapsedMs) {
            // The embedded reader logs only what happens to it; a line a
            // second shows that the stream flows.
            if (reader.embedded() && elapsedMs / 1000 > beats) {
                beats = elapsedMs / 1000;
                uemu_Log(reader.emulator(), ("embedded reader: up " + std::to_string(beats) + " s").c_str());
            }
        });
    if (reader.LinkUp()) ulmot_RegisterTextLogMessage(c, nullptr, nullptr, 0);
    return code;
}

}  // namespace cli
