// tools/ulmot/commands.cpp - `ulmot info`, `read`, `write-user`, `gpio` and
// `log`.
//
// As in the inventory, callbacks only copy what they receive into a list the
// main thread takes and prints.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>

#include "cli.h"

namespace cli {
namespace {

using SteadyClock = std::chrono::steady_clock;
using SystemClock = std::chrono::system_clock;

constexpr uint32_t kTickMs = 50;
// An access run over a selector reports the matching tags only; even a large
// field passes well within this.
constexpr uint32_t kAccessRunMs = 30000;

std::string Power(uint16_t tenths) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%.1f", tenths / 10.0);
    return buffer;
}

void PrintJson(const Json &json) {
    std::printf("%s\n", json.Text().c_str());
    std::fflush(stdout);
}

// Runs the main loop of a streaming command (log, gpio watch): `drain` every
// tick until Ctrl-C, the duration, or the loss of the link.
int Stream(Reader &reader, uint64_t durationMs, const std::function<void()> &drain,
           const std::function<void(uint64_t elapsedMs)> &tick = nullptr) {
    const auto started = SteadyClock::now();
    for (;;) {
        Nap(kTickMs);
        drain();
        const auto elapsed =
            static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - started).count());
        if (Interrupted() || std::ferror(stdout) != 0) return kOk;  // Ctrl-C, or the pipe's reader left
        if (durationMs != 0 && elapsed >= durationMs) return kOk;
        if (!reader.LinkUp()) {
            std::fprintf(stderr, "ulmot: lost the link to %s\n", reader.Describe().c_str());
            return kNoReader;
        }
        if (tick) tick(elapsed);
    }
}

// ---- info ---------------------------------------------------------------------

const char *kWeekdays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

std::string ByteText(const uint8_t *bytes, uint16_t length) {
    std::string s(reinterpret_cast<const char *>(bytes), length);
    s.erase(std::find(s.begin(), s.end(), '\0'), s.end());
    return s;
}

}  // namespace

int Info(int argc, char **argv) {
    const Options options = Parse("info", argc, argv, Accepted{kReaderValued, kReaderFlags});
    if (!options.positional.empty()) Fail(kUsage, "info takes no argument '" + options.positional[0] + "'");
    Reader reader(options);
    ClientProcessor *c = reader.client();
    reader.Attach({ULMOT_OBJ_VERSION, ULMOT_OBJ_GPO, ULMOT_OBJ_GPI, ULMOT_OBJ_ANTENNA, ULMOT_OBJ_RADIO,
                   ULMOT_OBJ_TIMESTAMP, ULMOT_OBJ_RTC});

    std::vector<std::string> versions;
    for (uint32_t i = 0; i < ULMOT_VERSION_STRINGS; ++i) {
        char text[ULMOT_VERSION_STRING_SIZE] = {};
        Check(ulmot_GetVersion(c, i, text, sizeof text), "reading version string " + std::to_string(i));
        versions.emplace_back(text);
    }
    uint16_t model = 0;
    Check(ulmot_GetRadioModel(c, &model), "reading the radio model");
    RadioProperties radio{};
    Check(ulmot_GetRadioProperties(c, &radio), "reading the radio's properties");

    struct Antenna {
        uint16_t max = 0, min = 0, def = 0;
        std::vector<uint8_t> receive;
    };
    uint8_t antennaCount = 0;
    Check(ulmot_GetAntennaCount(c, &antennaCount), "counting the antennas");
    std::vector<Antenna> antennas(antennaCount);
    for (uint8_t a = 1; a <= antennaCount; ++a) {
        Antenna &x = antennas[a - 1u];
        uint8_t list[255] = {};
        uint16_t listLength = 0;
        Check(ulmot_GetAntennaAttributes(c, a, &x.max, &x.min, &x.def, list, sizeof list, &listLength),
              "reading antenna " + std::to_string(a));
        x.receive.assign(list, list + listLength);
    }
    uint8_t gpi = 0, gpo = 0;
    Check(ulmot_GetGPICount(c, &gpi), "counting the GPI lines");
    Check(ulmot_GetGPOCount(c, &gpo), "counting the GPO lines");
    uint8_t second = 0, minute = 0, hour = 0, day = 0, month = 0, year = 0, weekday = 0;
    Check(ulmot_GetRTC(c, &second, &minute, &hour, &day, &month, &year, &weekday), "reading the clock");
    uint32_t seconds = 0, milliseconds = 0;
    Check(ulmot_GetTimestamp(c, &seconds, &milliseconds), "reading the timestamp");

    char clock[64];
    std::snprintf(clock, sizeof clock, "%04u-%02u-%02u %02u:%02u:%02u UTC", 2000u + year, month, day, hour, minute,
                  second);
    const char *weekdayName = weekday < 7 ? kWeekdays[weekday] : "?";
    char modelText[8];
    std::snprintf(modelText, sizeof modelText, "0x%04X", model);
    const std::string module = ByteText(radio.property9, radio.property9Length);
    const std::string serial = ByteText(radio.property13, radio.property13Length);
    const char *states[] = {"idle", "transmitting", "paused"};
    const std::string state = radio.radioState < 3 ? states[radio.radioState] : std::to_string(radio.radioState);

    if (options.Flag("json")) {
        std::string list = "[";
        for (size_t i = 0; i < versions.size(); ++i) list += (i != 0 ? "," : "") + JsonString(versions[i]);
        list += "]";
        std::string antennaList = "[";
        for (size_t i = 0; i < antennas.size(); ++i) {
            std::string receive = "[";
            for (size_t k = 0; k < antennas[i].receive.size(); ++k) {
                receive += (k != 0 ? "," : "") + std::to_string(antennas[i].receive[k]);
            }
            receive += "]";
            Json a;
            a.Num("antenna", static_cast<int64_t>(i + 1))
                .Real("default_power", antennas[i].def / 10.0, 1)
                .Real("min_power", antennas[i].min / 10.0, 1)
                .Real("max_power", antennas[i].max / 10.0, 1)
                .Str("power_unit", "dBm")
                .Raw("receive", receive);
            antennaList += (i != 0 ? "," : "") + a.Text();
        }
        antennaList += "]";
        Json radioJson;
        radioJson.Str("module", module)
            .Str("serial", serial)
            .Num("channel", radio.channel)
            .Str("state", state)
            .Real("temperature", radio.temperature / 10.0, 1)
            .Str("temperature_unit", "C");
        Json timestamp;
        timestamp.Num("seconds", seconds).Num("milliseconds", milliseconds);
        Json out;
        out.Str("reader", reader.Describe())
            .Raw("versions", list)
            .Num("radio_model", model)
            .Raw("radio", radioJson.Text())
            .Raw("antennas", antennaList)
            .Num("gpi", gpi)
            .Num("gpo", gpo)
            .Str("clock", clock)
            .Str("weekday", weekdayName)
            .Raw("timestamp", timestamp.Text());
        PrintJson(out);
        return kOk;
    }
    std::printf("reader        %s\n", reader.Describe().c_str());
    for (size_t i = 0; i < versions.size(); ++i) {
        std::printf("%-14s%zu: %s\n", i == 0 ? "versions" : "", i, versions[i].c_str());
    }
    std::printf("radio model   %s\n", modelText);
    std::printf("radio         %s, serial %s, channel %u, %s, %.1f C\n", module.c_str(), serial.c_str(), radio.channel,
                state.c_str(), radio.temperature / 10.0);
    std::printf("antennas      %u\n", antennaCount);
    for (size_t i = 0; i < antennas.size(); ++i) {
        std::string receive;
        for (uint8_t r : antennas[i].receive) receive += (receive.empty() ? "" : ",") + std::to_string(r);
        std::printf("  antenna %-4zupower %s dBm (min %s dBm, max %s dBm), receives on %s\n", i + 1,
                    Power(antennas[i].def).c_str(), Power(antennas[i].min).c_str(), Power(antennas[i].max).c_str(),
                    receive.empty() ? "-" : receive.c_str());
    }
    std::printf("GPI lines     %u\nGPO lines     %u\n", gpi, gpo);
    std::printf("clock         %s (%s)\n", clock, weekdayName);
    std::printf("timestamp     %u s since 1970, reader clock %u ms\n", seconds, milliseconds);
    return kOk;
}

// ---- read / write-user -----------------------------------------------------------

namespace {

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
    std::vector<AccessResult> results;
    bool stopped = false;
};

void OnAccessReport(void *context, uint32_t, uint8_t instance, const TagReport *report) {
    auto *s = static_cast<AccessShared *>(context);
    const std::string epc = report->data == nullptr ? std::string() : Hex(report->data, report->dataLength);
    std::lock_guard<std::mutex> lock(s->mu);
    if (instance != s->inventory) return;
    s->lastEpc = epc;
    s->lastAntenna = report->item9Instance;
}

void OnAccessData(void *context, uint32_t, uint8_t instance, uint8_t success, uint8_t code, uint16_t length,
                  const uint8_t *data) {
    auto *s = static_cast<AccessShared *>(context);
    std::lock_guard<std::mutex> lock(s->mu);
    if (instance != s->access) return;
    AccessResult r{s->lastEpc, s->lastAntenna, success != 0, code, {}};
    if (data != nullptr) r.data.assign(data, data + length);
    s->results.push_back(std::move(r));
}

void OnAccessComplete(void *context, uint32_t timestamp, uint8_t instance, uint8_t success, uint8_t code) {
    OnAccessData(context, timestamp, instance, success, code, 0, nullptr);
}

void OnAccessStop(void *context, uint32_t, uint32_t scheduleId, uint8_t) {
    auto *s = static_cast<AccessShared *>(context);
    std::lock_guard<std::mutex> lock(s->mu);
    if (scheduleId == s->schedule) s->stopped = true;
}

std::string TagErrorText(uint8_t code) {
    switch (code) {
    case 3: return "memory overrun (words past the end of the bank)";
    case 4: return "memory locked";
    case 11: return "insufficient power";
    default: return "tag error " + std::to_string(code);
    }
}

uint8_t BankOf(const std::string &name) {
    if (name == "reserved") return UEMU_BANK_RESERVED;
    if (name == "epc") return UEMU_BANK_EPC;
    if (name == "tid") return UEMU_BANK_TID;
    if (name == "user") return UEMU_BANK_USER;
    Fail(kUsage, "--bank must be epc, tid, user or reserved, not '" + name + "'");
}

// One schedule run of one access specification on the tags whose EPC starts
// with `epc`: a selector narrows the inventory to them, the inventory (session
// 1) reports each once, and the access specification acts on each right after
// its report. The objects are removed afterwards.
// `shared` outlives the reader's client, since a callback may still be
// running when the registrations are taken back.
std::vector<AccessResult> RunAccess(Reader &reader, AccessShared &state, const std::vector<uint8_t> &epc,
                                    uint32_t epcBits, uint8_t operation, uint8_t bank, uint32_t offset, uint8_t words,
                                    const std::vector<uint8_t> &data) {
    ClientProcessor *c = reader.client();
    AccessShared *shared = &state;
    {
        std::lock_guard<std::mutex> lock(shared->mu);
        shared->inventory = shared->access = shared->schedule = 0;
        shared->lastEpc.clear();
        shared->results.clear();
        shared->stopped = false;
    }
    std::vector<std::pair<uint32_t, uint8_t>> made;
    auto removeAll = [&] {
        if (!reader.LinkUp()) return;
        for (auto it = made.rbegin(); it != made.rend(); ++it) ulmot_RemoveObject(c, it->first, it->second);
        made.clear();
    };
    try {
        TagFilter filter{};
        ulmot_SetTagFilterC1G2(&filter, UEMU_BANK_EPC, 0x20, 0, 0, static_cast<uint16_t>(epcBits), epc.data(), 0);
        TagFilter *filters[] = {&filter};
        uint8_t selector = 0, inventory = 0, access = 0, schedule = 0;
        Check(ulmot_AddTagSelectorSpecification(c, &selector, filters, 1), "adding the tag selector for --epc");
        made.emplace_back(ULMOT_OBJ_TAG_SELECTOR, selector);
        Check(ulmot_AddInventorySpecification(c, &inventory, 517, 0, 0, 1, &selector, 1),
              "adding the inventory specification");
        made.emplace_back(ULMOT_OBJ_INVENTORY, inventory);
        Check(ulmot_AddAccessSpecification(c, &access, &inventory, 1, 1, words, operation, bank, offset,
                                           static_cast<uint16_t>(data.size()), data.empty() ? nullptr : data.data(), 0,
                                           nullptr, nullptr, 0, 0),
              "adding the access specification");
        made.emplace_back(ULMOT_OBJ_ACCESS, access);
        ScheduleEntry entry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory};
        ScheduleEntry *entries[] = {&entry};
        Check(ulmot_AddScheduleSpecification(c, &schedule, entries, 1, 1, 1), "adding the schedule");
        made.emplace_back(ULMOT_OBJ_SCHEDULE, schedule);
        {
            std::lock_guard<std::mutex> lock(shared->mu);
            shared->inventory = inventory;
            shared->access = access;
            shared->schedule = schedule;
        }
        Check(ulmot_RegisterInventoryEvents(c, nullptr, nullptr, OnAccessReport, shared),
              "registering for tag reports");
        Check(ulmot_RegisterAccessEvents(c, nullptr, OnAccessComplete, OnAccessData, nullptr, nullptr, shared),
              "registering for access events");
        Check(ulmot_RegisterScheduleEvents(c, nullptr, OnAccessStop, shared), "registering for schedule events");
        // Start flag 0: one pass.
        Check(ulmot_StartScheduleSpecification(c, schedule, 0),
              "starting the schedule (is another schedule running on the reader?)");
        const auto started = SteadyClock::now();
        bool stopped = false;
        while (!stopped) {
            Nap(10);
            {
                std::lock_guard<std::mutex> lock(shared->mu);
                stopped = shared->stopped;
            }
            if (stopped) break;
            if (Interrupted()) {
                ulmot_StopScheduleSpecification(c, schedule, nullptr);
                Fail(kInterrupted, "interrupted before the tags answered");
            }
            if (!reader.LinkUp()) Fail(kNoReader, "lost the link to " + reader.Describe());
            if (SteadyClock::now() - started > std::chrono::milliseconds(kAccessRunMs)) {
                ulmot_StopScheduleSpecification(c, schedule, nullptr);
                Fail(kRefused, "the reader did not end the run within " + std::to_string(kAccessRunMs / 1000) + " s");
            }
        }
    } catch (const Failure &) {
        ulmot_RegisterInventoryEvents(c, nullptr, nullptr, nullptr, nullptr);
        ulmot_RegisterAccessEvents(c, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        ulmot_RegisterScheduleEvents(c, nullptr, nullptr, nullptr);
        removeAll();
        throw;
    }
    ulmot_RegisterInventoryEvents(c, nullptr, nullptr, nullptr, nullptr);
    ulmot_RegisterAccessEvents(c, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    ulmot_RegisterScheduleEvents(c, nullptr, nullptr, nullptr);
    removeAll();
    // The callbacks are off: the results are the main thread's now.
    std::lock_guard<std::mutex> lock(shared->mu);
    return shared->results;
}

struct EpcArgument {
    std::vector<uint8_t> bytes;
    uint32_t bits = 0;
    std::string text;
};

EpcArgument RequireEpc(const Options &options) {
    auto epc = options.Value("epc");
    if (!epc) Fail(kUsage, options.command + " needs --epc HEX (the EPC, or the first hex digits of it)");
    EpcArgument a;
    a.bytes = ParseHex(*epc, "--epc", &a.bits);
    if (a.bits > UEMU_MAX_EPC_BYTES * 8) Fail(kUsage, "--epc is longer than an EPC can be (496 bits)");
    a.text = *epc;
    return a;
}

const char *BankName(uint8_t bank) {
    static const char *names[] = {"reserved", "epc", "tid", "user"};
    return bank < 4 ? names[bank] : "?";
}

}  // namespace

int ReadMemory(int argc, char **argv) {
    Accepted accepted{kReaderValued, kReaderFlags};
    for (const char *v : {"epc", "bank", "offset", "words"}) accepted.valued.push_back(v);
    const Options options = Parse("read", argc, argv, accepted);
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
            Json j;
            j.Str("epc", r.epc).Num("antenna", r.antenna).Str("bank", BankName(bank)).Num("offset", offset);
            if (r.success) {
                j.Num("words", static_cast<int64_t>(r.data.size() / 2)).Str("data", Hex(r.data.data(), r.data.size()));
            } else {
                j.Num("error", r.code).Str("error_text", TagErrorText(r.code));
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

int WriteUser(int argc, char **argv) {
    Accepted accepted{kReaderValued, kReaderFlags};
    for (const char *v : {"epc", "offset", "data"}) accepted.valued.push_back(v);
    accepted.flags.push_back("verify");
    const Options options = Parse("write-user", argc, argv, accepted);
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
            Json j;
            j.Str("epc", w.epc).Num("antenna", w.antenna).Num("offset", offset).Num("words",
                                                                                   static_cast<int64_t>(data.size() / 2));
            j.Bool("written", w.success);
            if (!w.success) j.Num("error", w.code).Str("error_text", TagErrorText(w.code));
            if (verify && w.success) {
                j.Bool("verified", verified);
                if (back != nullptr && back->success) j.Str("read_back", Hex(back->data.data(), back->data.size()));
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

// ---- gpio -----------------------------------------------------------------------

namespace {

struct LineEvent {
    bool input;
    uint8_t line, state;
    uint32_t timestamp;
    SystemClock::time_point wall;
};

struct LineShared {
    std::mutex mu;
    std::vector<LineEvent> events;
};

void PushLine(void *context, bool input, uint32_t timestamp, uint8_t line, uint8_t state) {
    auto *s = static_cast<LineShared *>(context);
    std::lock_guard<std::mutex> lock(s->mu);
    s->events.push_back(LineEvent{input, line, state, timestamp, SystemClock::now()});
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
    return {input, static_cast<uint8_t>(ParseUnsigned(digits, "the line '" + text + "'", 1, 255))};
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
    Accepted accepted{kReaderValued, kReaderFlags};
    accepted.valued.push_back("duration");
    const Options options = Parse("gpio", argc, argv, accepted);
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
        value = static_cast<uint8_t>(ParseUnsigned(args[2], "the value", 0, 1));
    } else if (action == "watch") {
        if (args.size() != 1) Fail(kUsage, "gpio watch takes no line: it watches every line");
    } else {
        Fail(kUsage, "gpio needs get, set or watch, not '" + action + "'");
    }
    if (action != "watch" && options.Has("duration")) Fail(kUsage, "--duration goes with gpio watch only");
    const uint64_t durationMs = options.Milliseconds("duration", 0);
    const bool json = options.Flag("json");

    LineShared shared;  // before the reader: callbacks may run until the client is gone
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
            Json j;
            j.Str("line", std::string(input ? "in" : "out") + std::to_string(n))
                .Str("direction", input ? "input" : "output")
                .Num("number", n)
                .Num("state", state);
            if (extraKey != nullptr) j.Num(extraKey, extra);
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
    for (uint8_t n = 1; n <= gpi; ++n) Check(ulmot_RegisterGPIEvent(c, n, OnGpi, &shared, 1), "watching input " + std::to_string(n));
    for (uint8_t n = 1; n <= gpo; ++n) Check(ulmot_RegisterGPOEvent(c, n, OnGpo, &shared, 1), "watching output " + std::to_string(n));
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
        std::vector<LineEvent> batch;
        {
            std::lock_guard<std::mutex> lock(shared.mu);
            batch.swap(shared.events);
        }
        for (const LineEvent &e : batch) {
            if (json) {
                Json j;
                j.Str("line", std::string(e.input ? "in" : "out") + std::to_string(e.line))
                    .Str("direction", e.input ? "input" : "output")
                    .Num("number", e.line)
                    .Num("state", e.state)
                    .Num("timestamp", e.timestamp)
                    .Str("time", IsoTime(e.wall));
                std::printf("%s\n", j.Text().c_str());
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

// ---- log --------------------------------------------------------------------------

namespace {

struct LogLine {
    uint32_t timestamp;
    SystemClock::time_point wall;
    std::string text;
};

struct LogShared {
    std::mutex mu;
    std::vector<LogLine> lines;
};

void OnText(void *context, uint32_t timestamp, const char *text) {
    auto *s = static_cast<LogShared *>(context);
    LogLine line{timestamp, SystemClock::now(), text};
    std::lock_guard<std::mutex> lock(s->mu);
    s->lines.push_back(std::move(line));
}

}  // namespace

int Log(int argc, char **argv) {
    Accepted accepted{kReaderValued, kReaderFlags};
    accepted.valued.push_back("duration");
    const Options options = Parse("log", argc, argv, accepted);
    if (!options.positional.empty()) Fail(kUsage, "log takes no argument '" + options.positional[0] + "'");
    const uint64_t durationMs = options.Milliseconds("duration", 0);
    const bool json = options.Flag("json");

    LogShared shared;  // before the reader: callbacks may run until the client is gone
    Reader reader(options);
    ClientProcessor *c = reader.client();
    reader.Attach({ULMOT_OBJ_TEXT_LOG});
    Check(ulmot_RegisterTextLogMessage(c, OnText, &shared, 1), "registering for the text log");
    if (!json) std::fprintf(stderr, "ulmot: the text log of %s; Ctrl-C stops\n", reader.Describe().c_str());
    uint64_t beats = 0;
    if (reader.embedded()) {
        uemu_Log(reader.emulator(), (reader.Describe() + ": text log started").c_str());
    }
    const int code = Stream(
        reader, durationMs,
        [&] {
            std::vector<LogLine> batch;
            {
                std::lock_guard<std::mutex> lock(shared.mu);
                batch.swap(shared.lines);
            }
            for (const LogLine &l : batch) {
                if (json) {
                    std::printf("%s\n",
                                Json().Num("timestamp", l.timestamp).Str("time", IsoTime(l.wall)).Str("text", l.text).Text().c_str());
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
