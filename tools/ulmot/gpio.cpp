// tools/ulmot/gpio.cpp - `ulmot gpio`: get reads the input and output lines,
// set writes one and shows what the reader says it is now, and watch prints
// every line's changes until Ctrl-C or --duration (the embedded reader's
// input 1 toggles meanwhile, so that there is something to watch). The
// change callbacks push into an Inbox that the streaming loop drains.
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "inbox.h"

namespace cli {
namespace {

using SystemClock = std::chrono::system_clock;

struct LineEvent {
    bool input;
    uint8_t line, state;
    uint32_t timestamp;
    SystemClock::time_point wall;
};

void PushLine(void *context, bool input, uint32_t timestamp, uint8_t line, uint8_t state) {
    static_cast<Inbox<LineEvent> *>(context)->Push(LineEvent{input, line, state, timestamp, SystemClock::now()});
}
void OnGpi(void *context, uint32_t timestamp, uint8_t line, uint8_t state) {
    PushLine(context, true, timestamp, line, state);
}
void OnGpo(void *context, uint32_t timestamp, uint8_t line, uint8_t state) {
    PushLine(context, false, timestamp, line, state);
}

// "in3", "out2", or a bare number whose direction the command decides.
std::pair<bool, uint8_t> ParseLine(const std::string &text, bool bareIsInput) {
    std::string digits = text;
    bool input = bareIsInput;
    if (text.rfind("in", 0) == 0) {
        input = true;
        digits = text.substr(2);
    } else if (text.rfind("out", 0) == 0) {
        input = false;
        digits = text.substr(3);
    }
    return {input, static_cast<uint8_t>(WholeNumber(digits, "the line '" + text + "'", 1, 255))};
}

void CheckLine(bool input, uint8_t line, uint8_t gpi, uint8_t gpo) {
    const uint8_t count = input ? gpi : gpo;
    if (line > count) {
        Fail(kUsage, std::string(input ? "input" : "output") + " line " + std::to_string(line) +
                         " does not exist: the reader has " + std::to_string(count));
    }
}

}  // namespace

int Gpio(int argc, char **argv) {
    const Options options = Parse("gpio", argc, argv, Accepted{{"duration"}, {}});
    const auto &args = options.positional;
    if (args.empty()) Fail(kUsage, "gpio needs get, set or watch");
    const std::string action = args[0];
    std::optional<std::pair<bool, uint8_t>> line;
    uint8_t value = 0;
    if (action == "get") {
        if (args.size() > 2) Fail(kUsage, "gpio get takes at most one line");
        if (args.size() == 2) line = ParseLine(args[1], true);
    } else if (action == "set") {
        if (args.size() != 3) Fail(kUsage, "gpio set needs LINE VALUE (e.g. gpio set 2 1)");
        line = ParseLine(args[1], false);
        value = static_cast<uint8_t>(WholeNumber(args[2], "the value", 0, 1));
    } else if (action == "watch") {
        if (args.size() != 1) Fail(kUsage, "gpio watch takes no line: it watches every line");
    } else {
        Fail(kUsage, "gpio needs get, set or watch, not '" + action + "'");
    }
    if (action != "watch" && options.Has("duration")) Fail(kUsage, "--duration goes with gpio watch only");
    const uint64_t durationMs = options.Milliseconds("duration", 0);
    const bool json = options.Flag("json");

    Inbox<LineEvent> events;  // before the reader: callbacks may run until the client is gone
    Reader reader(options);
    ClientProcessor *c = reader.client();
    reader.Attach({ULMOT_OBJ_GPI, ULMOT_OBJ_GPO});
    uint8_t gpi = 0, gpo = 0;
    Check(ulmot_GetGPICount(c, &gpi), "counting the GPI lines");
    Check(ulmot_GetGPOCount(c, &gpo), "counting the GPO lines");
    if (line) CheckLine(line->first, line->second, gpi, gpo);

    auto read = [&](bool input, uint8_t n) {
        uint8_t state = 0;
        Check(input ? ulmot_ReadGPI(c, n, &state) : ulmot_ReadGPO(c, n, &state),
              std::string("reading ") + (input ? "input " : "output ") + std::to_string(n));
        return state;
    };
    auto print = [&](bool input, uint8_t n, uint8_t state, const char *extraKey, int extra) {
        if (json) {
            Json j = {{"line", std::string(input ? "in" : "out") + std::to_string(n)},
                      {"direction", input ? "input" : "output"},
                      {"number", n},
                      {"state", state}};
            if (extraKey != nullptr) j[extraKey] = extra;
            PrintJson(j);
        } else {
            std::printf("%-7s %3u: %u%s\n", input ? "input" : "output", n, state,
                        extraKey == nullptr ? "" : (" (was " + std::to_string(extra) + ")").c_str());
        }
    };

    if (action == "get") {
        if (line) {
            print(line->first, line->second, read(line->first, line->second), nullptr, 0);
        } else {
            for (uint8_t n = 1; n <= gpi; ++n) print(true, n, read(true, n), nullptr, 0);
            for (uint8_t n = 1; n <= gpo; ++n) print(false, n, read(false, n), nullptr, 0);
        }
        std::fflush(stdout);
        return kOk;
    }
    if (action == "set") {
        const auto [input, n] = *line;
        const uint8_t before = read(input, n);
        Check(input ? ulmot_WriteGPI(c, n, value) : ulmot_WriteGPO(c, n, value),
              std::string("writing ") + (input ? "input " : "output ") + std::to_string(n));
        // What the reader says now, not what was asked for.
        print(input, n, read(input, n), "was", before);
        std::fflush(stdout);
        return kOk;
    }

    // watch: every line's changes until Ctrl-C or --duration.
    for (uint8_t n = 1; n <= gpi; ++n) Check(ulmot_RegisterGPIEvent(c, n, OnGpi, &events, 1), "watching input " + std::to_string(n));
    for (uint8_t n = 1; n <= gpo; ++n) Check(ulmot_RegisterGPOEvent(c, n, OnGpo, &events, 1), "watching output " + std::to_string(n));
    if (reader.embedded() && gpi > 0) {
        // Nothing outside moves the embedded reader's inputs: input 1
        // toggles every 500 ms so that there is something to watch.
        const uint8_t levels[] = {255, 0};
        uemu_SetGpiPattern(reader.emulator(), 1, levels, 2, 500);
    }
    if (!json) {
        std::fprintf(stderr, "ulmot: watching %u inputs and %u outputs of %s; Ctrl-C stops\n", gpi, gpo,
                     reader.Describe().c_str());
    }
    const int code = Stream(reader, durationMs, [&] {
        const std::vector<LineEvent> batch = events.Take();
        for (const LineEvent &e : batch) {
            if (json) {
                const Json j = {{"line", std::string(e.input ? "in" : "out") + std::to_string(e.line)},
                                {"direction", e.input ? "input" : "output"},
                                {"number", e.line},
                                {"state", e.state},
                                {"timestamp", e.timestamp},
                                {"time", IsoTime(e.wall)}};
                std::printf("%s\n", JsonText(j).c_str());
            } else {
                std::printf("%s  %-6s %3u -> %u\n", IsoTime(e.wall).c_str(), e.input ? "input" : "output", e.line,
                            e.state);
            }
        }
        if (!batch.empty()) std::fflush(stdout);
    });
    if (reader.embedded() && gpi > 0) uemu_SetGpiPattern(reader.emulator(), 1, nullptr, 0, 0);
    if (reader.LinkUp()) {
        for (uint8_t n = 1; n <= gpi && SignalCount() < 2; ++n) ulmot_RegisterGPIEvent(c, n, nullptr, nullptr, 0);
        for (uint8_t n = 1; n <= gpo && SignalCount() < 2; ++n) ulmot_RegisterGPOEvent(c, n, nullptr, nullptr, 0);
    }
    return code;
}

}  // namespace cli
