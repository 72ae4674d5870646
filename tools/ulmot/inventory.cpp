// tools/ulmot/inventory.cpp - `ulmot inventory`: runs an inventory and shows
// the tags it reads, as a live table on a terminal or as JSON lines.
//
// The callbacks (on the client's queue thread) only copy each report into a
// pending Inbox (inbox.h); the main thread takes it, keeps the per-tag
// counts, prints and draws.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <sstream>

#include "cli.h"
#include "inbox.h"

namespace cli {
namespace {

using SteadyClock = std::chrono::steady_clock;
using SystemClock = std::chrono::system_clock;

// Reads waiting for the main thread at most; more are counted as dropped.
constexpr size_t kMaxPending = 100000;
constexpr uint32_t kTickMs = 50;        // main loop: drain and print
constexpr uint32_t kRedrawMs = 250;     // the live table, about 4 times a second
constexpr uint32_t kStopWaitMs = 5000;  // for the reader's stop event after a stop

// One tag report, copied out of the callback.
struct Read {
    uint8_t epc[UEMU_MAX_EPC_BYTES];
    uint8_t epcLength;
    uint16_t pc;
    uint8_t antenna;
    int16_t rssi;  // tenths of a dBm
    uint16_t channel, phase, round;
    uint32_t sequence;
    uint32_t timestamp;  // the reader's milliseconds
    SteadyClock::time_point seenAt;
    SystemClock::time_point seenWall;
};

// What the callbacks hand to the main thread.
struct Shared {
    Inbox<Read> pending{kMaxPending};  // beyond the cap, reads are counted as dropped
    std::mutex mu;                     // guards what follows
    uint8_t inventory = 0;
    uint8_t schedule = 0;
    uint64_t lost = 0;          // gaps in the reader's report numbers
    uint32_t nextSequence = 1;  // the report number the reader gives next
    bool stopped = false;
    uint8_t stopReason = 255;
};

void OnTagReport(void *context, uint32_t timestamp, uint8_t instance, const TagReport *report) {
    auto *shared = static_cast<Shared *>(context);
    Read r{};
    r.epcLength = static_cast<uint8_t>(std::min<uint32_t>(report->data == nullptr ? 0 : report->dataLength,
                                                          UEMU_MAX_EPC_BYTES));
    if (r.epcLength != 0) std::memcpy(r.epc, report->data, r.epcLength);
    r.pc = report->pcWord;
    r.antenna = report->item9Instance;
    r.rssi = static_cast<int16_t>(report->item6);
    r.channel = report->item7;
    r.phase = report->item13;
    r.round = report->item14;
    r.sequence = report->item18;
    r.timestamp = timestamp;
    r.seenAt = SteadyClock::now();
    r.seenWall = SystemClock::now();
    {
        std::lock_guard<std::mutex> lock(shared->mu);
        // Inventories of other clients of the same reader report here too.
        if (instance != shared->inventory) return;
        if (r.sequence > shared->nextSequence) shared->lost += r.sequence - shared->nextSequence;
        if (r.sequence >= shared->nextSequence) shared->nextSequence = r.sequence + 1;
    }
    shared->pending.Push(r);
}

void OnScheduleStart(void *, uint32_t, uint32_t) {}

void OnScheduleStop(void *context, uint32_t, uint32_t scheduleId, uint8_t reason) {
    auto *shared = static_cast<Shared *>(context);
    std::lock_guard<std::mutex> lock(shared->mu);
    if (scheduleId != shared->schedule) return;
    shared->stopped = true;
    shared->stopReason = reason;
}

std::string StopReasonText(uint8_t reason) {
    switch (reason) {
    case 0: return "stopped by a client";
    case 1: return "its duration elapsed";
    case 2: return "the read limit was reached";
    case 3: return "its passes are done";
    case 4: return "its distinct tag limit was reached";
    case 5: return "a schedule of higher priority started";
    case 6: return "it was removed";
    default: return "reason " + std::to_string(reason);
    }
}

std::string Dbm(int16_t tenths) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%.1f dBm", tenths / 10.0);
    return buffer;
}

// One unique tag as the table shows it.
struct Tag {
    uint64_t reads = 0;
    uint8_t antenna = 0;
    int16_t rssi = 0;
    SteadyClock::time_point lastSeen;
};

class Session {
public:
    Session(const Options &options, Reader &reader, Shared &shared)
        : reader_(reader), shared_(shared), json_(options.Flag("json") || isatty(STDOUT_FILENO) == 0) {}

    bool json() const { return json_; }

    void Start() {
        started_ = SteadyClock::now();
        if (!json_) std::fputs("\x1b[?25l", stdout);  // no cursor while the table redraws
    }

    // Takes what the callbacks collected; prints it in JSON mode.
    void Drain() {
        const std::vector<Read> batch = shared_.pending.Take();
        for (const Read &r : batch) {
            const std::string epc = Hex(r.epc, r.epcLength);
            Tag &tag = tags_[epc];
            ++tag.reads;
            tag.antenna = r.antenna;
            tag.rssi = r.rssi;
            tag.lastSeen = r.seenAt;
            ++reads_;
            if (!json_) continue;
            char pc[8];
            std::snprintf(pc, sizeof pc, "%04X", r.pc);
            Json line;
            line.Str("epc", epc)
                .Str("pc", pc)
                .Num("antenna", r.antenna)
                .Real("rssi", r.rssi / 10.0, 1)
                .Str("unit", "dBm")
                .Num("channel", r.channel)
                .Num("phase", r.phase)
                .Num("round", r.round)
                .Num("seq", r.sequence)
                .Num("timestamp", r.timestamp)
                .Str("time", IsoTime(r.seenWall))
                .Num("count", static_cast<int64_t>(tag.reads));
            std::fputs(line.Text().c_str(), stdout);
            std::fputc('\n', stdout);
        }
        if (json_ && !batch.empty()) std::fflush(stdout);
        // A reader of the pipe that went away (`| head`) ends the run like a
        // Ctrl-C would, with the clean-up; SIGPIPE is ignored for that.
        if (std::ferror(stdout) != 0) outputClosed_ = true;
    }

    bool OutputClosed() const { return outputClosed_; }

    void MaybeDraw(bool force) {
        if (json_) return;
        const auto now = SteadyClock::now();
        if (!force && now - lastDraw_ < std::chrono::milliseconds(kRedrawMs)) return;
        lastDraw_ = now;
        Draw(now);
    }

    void Finish(const std::string &ending) {
        const double seconds = std::chrono::duration<double>(SteadyClock::now() - started_).count();
        const uint64_t dropped = shared_.pending.Dropped();
        uint64_t lost = 0;
        {
            std::lock_guard<std::mutex> lock(shared_.mu);
            lost = shared_.lost;
        }
        const double rate = seconds > 0 ? static_cast<double>(reads_) / seconds : 0.0;
        if (json_) {
            // stdout stays JSON lines of reads; the summary goes to stderr.
            Json summary;
            summary.Num("unique", static_cast<int64_t>(tags_.size()))
                .Num("reads", static_cast<int64_t>(reads_))
                .Real("duration", seconds, 3)
                .Real("rate", rate, 1)
                .Num("lost", static_cast<int64_t>(lost))
                .Num("dropped", static_cast<int64_t>(dropped))
                .Str("end", ending);
            std::fprintf(stderr, "%s\n", Json().Raw("summary", summary.Text()).Text().c_str());
            return;
        }
        MaybeDraw(true);
        std::fputs("\x1b[?25h", stdout);
        std::printf("%zu unique tags, %llu reads in %.2f s (%.1f reads/s); %s\n", tags_.size(),
                    static_cast<unsigned long long>(reads_), seconds, rate, ending.c_str());
        if (lost != 0) std::printf("%llu reports lost on the way (gaps in the reader's numbers)\n",
                                   static_cast<unsigned long long>(lost));
        if (dropped != 0) std::printf("%llu reads not shown (the display fell behind)\n",
                                      static_cast<unsigned long long>(dropped));
        std::fflush(stdout);
    }

    // Restores the cursor when the table was left in the middle.
    ~Session() {
        if (!json_) {
            std::fputs("\x1b[?25h", stdout);
            std::fflush(stdout);
        }
    }

private:
    double RecentRate(SteadyClock::time_point now) {
        samples_.emplace_back(now, reads_);
        while (samples_.size() > 2 && now - samples_[1].first >= std::chrono::seconds(1)) samples_.pop_front();
        const double span = std::chrono::duration<double>(now - samples_.front().first).count();
        return span > 0 ? static_cast<double>(reads_ - samples_.front().second) / span : 0.0;
    }

    void Draw(SteadyClock::time_point now) {
        winsize size{};
        int rows = 24, columns = 80;
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) {
            rows = size.ws_row;
            columns = size.ws_col;
        }
        const double elapsed = std::chrono::duration<double>(now - started_).count();
        std::vector<std::string> lines;
        char text[256];
        std::snprintf(text, sizeof text, "%s | %.0f reads/s | %zu unique | %llu reads | %.1f s | Ctrl-C stops",
                      reader_.Describe().c_str(), RecentRate(now), tags_.size(),
                      static_cast<unsigned long long>(reads_), elapsed);
        lines.push_back(text);
        size_t epcWidth = 3;
        for (const auto &[epc, tag] : tags_) epcWidth = std::max(epcWidth, epc.size());
        std::snprintf(text, sizeof text, "%-*s %8s %4s %12s %10s", static_cast<int>(epcWidth), "EPC", "READS", "ANT",
                      "RSSI", "LAST SEEN");
        lines.push_back(text);
        const size_t room = rows > 4 ? static_cast<size_t>(rows - 4) : 1;
        size_t shown = 0;
        for (const auto &[epc, tag] : tags_) {
            if (shown == room) break;
            const double ago = std::chrono::duration<double>(now - tag.lastSeen).count();
            char seen[32];
            std::snprintf(seen, sizeof seen, "%.1f s ago", ago < 0 ? 0.0 : ago);
            std::snprintf(text, sizeof text, "%-*s %8llu %4u %12s %10s", static_cast<int>(epcWidth), epc.c_str(),
                          static_cast<unsigned long long>(tag.reads), tag.antenna, Dbm(tag.rssi).c_str(), seen);
            lines.push_back(text);
            ++shown;
        }
        if (shown < tags_.size()) lines.push_back("... and " + std::to_string(tags_.size() - shown) + " more tags");

        std::string out;
        // Back to the first line of the previous table, then line by line.
        if (drawnLines_ > 0) out += "\x1b[" + std::to_string(drawnLines_) + "F";
        for (std::string &line : lines) {
            if (columns > 1 && line.size() >= static_cast<size_t>(columns)) line.resize(static_cast<size_t>(columns - 1));
            out += "\x1b[2K" + line + "\n";
        }
        out += "\x1b[J";  // whatever the previous table had below
        drawnLines_ = lines.size();
        std::fputs(out.c_str(), stdout);
        std::fflush(stdout);
    }

    Reader &reader_;
    Shared &shared_;
    const bool json_;
    std::map<std::string, Tag> tags_;
    uint64_t reads_ = 0;
    SteadyClock::time_point started_, lastDraw_;
    std::deque<std::pair<SteadyClock::time_point, uint64_t>> samples_;
    size_t drawnLines_ = 0;
    bool outputClosed_ = false;
};

std::vector<uint8_t> ParseAntennas(const std::string &list) {
    std::vector<uint8_t> antennas;
    std::stringstream stream(list);
    std::string item;
    while (std::getline(stream, item, ',')) {
        const uint8_t a = static_cast<uint8_t>(ParseUnsigned(item, "each antenna of --antennas", 1, 255));
        if (std::find(antennas.begin(), antennas.end(), a) != antennas.end()) {
            Fail(kUsage, "--antennas names antenna " + std::to_string(a) + " twice");
        }
        antennas.push_back(a);
    }
    if (antennas.empty() || list.back() == ',') Fail(kUsage, "--antennas takes a list such as 1,2,4");
    return antennas;
}

// The objects the command made on the reader; removed at the end, so a
// shared reader is left as it was found.
struct Made {
    ClientProcessor *client;
    std::vector<std::pair<uint32_t, uint8_t>> objects;  // type, instance; removed in reverse
    void Remove(bool linkUp) {
        if (!linkUp) return;
        for (auto it = objects.rbegin(); it != objects.rend(); ++it) {
            if (SignalCount() > 1) return;  // a second Ctrl-C: leave at once
            ulmot_RemoveObject(client, it->first, it->second);
        }
        objects.clear();
    }
};

}  // namespace

int Inventory(int argc, char **argv) {
    Accepted accepted{kReaderValued, kReaderFlags};
    for (const char *v : {"duration", "antennas", "filter", "reads"}) accepted.valued.push_back(v);
    accepted.valued.push_back(kRadioBlockedFile);
    const Options options = Parse("inventory", argc, argv, accepted);
    if (!options.positional.empty()) Fail(kUsage, "inventory takes no argument '" + options.positional[0] + "'");
    const uint64_t durationMs = options.Milliseconds("duration", 0);
    const uint32_t readLimit = options.Unsigned("reads", 0, 1, 65535);
    std::vector<uint8_t> antennas;
    if (auto list = options.Value("antennas")) antennas = ParseAntennas(*list);
    std::vector<uint8_t> filterData;
    uint32_t filterBits = 0;
    if (auto filter = options.Value("filter")) {
        filterData = ParseHex(*filter, "--filter", &filterBits);
        if (filterBits > UEMU_MAX_EPC_BYTES * 8) Fail(kUsage, "--filter is longer than an EPC can be (496 bits)");
    }

    // Declared before the reader: the client, destroyed first, may still be
    // inside a callback that uses it.
    Shared shared;
    Reader reader(options);
    ClientProcessor *c = reader.client();
    reader.Attach({ULMOT_OBJ_TAG_SELECTOR, ULMOT_OBJ_INVENTORY, ULMOT_OBJ_ANTENNA, ULMOT_OBJ_SCHEDULE});

    if (!antennas.empty()) {
        uint8_t count = 0;
        Check(ulmot_GetAntennaCount(c, &count), "counting the reader's antennas");
        for (uint8_t a : antennas) {
            if (a > count) {
                Fail(kUsage, "--antennas names antenna " + std::to_string(a) + ", but the reader has " +
                                 std::to_string(count));
            }
        }
    }

    Made made{c, {}};
    int exitCode = kOk;
    try {
        uint8_t selector = 0;
        if (!filterData.empty()) {
            // Bank 1 (EPC) from bit 0x20, where the EPC starts; action 0:
            // the tags that match are selected.
            TagFilter filter{};
            ulmot_SetTagFilterC1G2(&filter, UEMU_BANK_EPC, 0x20, 0, 0, static_cast<uint16_t>(filterBits),
                                   filterData.data(), 0);
            TagFilter *filters[] = {&filter};
            Check(ulmot_AddTagSelectorSpecification(c, &selector, filters, 1), "adding the tag selector for --filter");
            made.objects.emplace_back(ULMOT_OBJ_TAG_SELECTOR, selector);
        }
        // Format 517 (PC, EPC, CRC), session 0: every tag in every round.
        uint8_t inventory = 0;
        Check(ulmot_AddInventorySpecification(c, &inventory, 517, 0, 0, 0, selector != 0 ? &selector : nullptr,
                                              selector != 0 ? 1 : 0),
              "adding the inventory specification");
        made.objects.emplace_back(ULMOT_OBJ_INVENTORY, inventory);

        // Each chosen antenna, then a round; without antennas the reader takes
        // every antenna in turn.
        std::vector<ScheduleEntry> entries;
        for (uint8_t a : antennas) {
            entries.push_back(ScheduleEntry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_ANTENNA, a});
            entries.push_back(ScheduleEntry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory});
        }
        if (antennas.empty()) entries.push_back(ScheduleEntry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory});
        // A read limit is the reader's: code 1 (tag reports) in the high half.
        if (readLimit != 0) entries.push_back(ScheduleEntry{ULMOT_SCHEDULE_ENTRY_VALUE, 0, (1u << 16) | readLimit});
        std::vector<ScheduleEntry *> pointers;
        for (ScheduleEntry &e : entries) pointers.push_back(&e);
        uint8_t schedule = 0;
        Check(ulmot_AddScheduleSpecification(c, &schedule, pointers.data(), static_cast<uint32_t>(pointers.size()), 1,
                                             1),
              "adding the schedule");
        made.objects.emplace_back(ULMOT_OBJ_SCHEDULE, schedule);
        {
            std::lock_guard<std::mutex> lock(shared.mu);
            shared.inventory = inventory;
            shared.schedule = schedule;
        }
        // Callbacks before the start, so that no report of the run is missed.
        Check(ulmot_RegisterInventoryEvents(c, nullptr, nullptr, OnTagReport, &shared), "registering for tag reports");
        Check(ulmot_RegisterScheduleEvents(c, OnScheduleStart, OnScheduleStop, &shared),
              "registering for schedule events");

        Session session(options, reader, shared);
        if (session.json() && isatty(STDERR_FILENO) != 0) {
            std::fprintf(stderr, "ulmot: reading from %s; Ctrl-C stops\n", reader.Describe().c_str());
        }
        // Start flag 1: the passes repeat until a stop (or the read limit).
        Check(ulmot_StartScheduleSpecification(c, schedule, 1),
              "starting the schedule (is another schedule running on the reader?)");
        session.Start();

        const auto started = SteadyClock::now();
        std::string ending;
        bool running = true;
        while (running) {
            Nap(kTickMs);
            session.Drain();
            session.MaybeDraw(false);
            bool stopped = false;
            uint8_t reason = 255;
            {
                std::lock_guard<std::mutex> lock(shared.mu);
                stopped = shared.stopped;
                reason = shared.stopReason;
            }
            if (Interrupted()) {
                ending = "interrupted";
                running = false;
            } else if (session.OutputClosed()) {
                ending = "output closed";
                running = false;
            } else if (stopped) {
                ending = reason == 2 ? "read limit reached" : "the reader ended the run: " + StopReasonText(reason);
                running = false;
            } else if (durationMs != 0 &&
                       SteadyClock::now() - started >= std::chrono::milliseconds(durationMs)) {
                ending = "duration elapsed";
                running = false;
            } else if (!reader.LinkUp()) {
                ending = "the link to the reader was lost";
                exitCode = kNoReader;
                running = false;
            }
        }

        // Stop the run and wait for its stop event, the last event of the
        // run: every report of the run has then been handed over.
        bool stopped = false;
        {
            std::lock_guard<std::mutex> lock(shared.mu);
            stopped = shared.stopped;
        }
        if (!stopped && reader.LinkUp()) {
            uint8_t status = 0;
            const int32_t r = ulmot_StopScheduleSpecification(c, schedule, &status);
            if (r != 0) std::fprintf(stderr, "ulmot: stopping the schedule: %s\n", ResultText(r).c_str());
            const auto asked = SteadyClock::now();
            while (r == 0 && SignalCount() < 2 && reader.LinkUp() &&
                   SteadyClock::now() - asked < std::chrono::milliseconds(kStopWaitMs)) {
                {
                    std::lock_guard<std::mutex> lock(shared.mu);
                    if (shared.stopped) break;
                }
                session.Drain();
                Nap(10);
            }
        }
        session.Drain();
        // No callback is called once these return; the client's destruction
        // later waits for one that is still running.
        ulmot_RegisterInventoryEvents(c, nullptr, nullptr, nullptr, nullptr);
        ulmot_RegisterScheduleEvents(c, nullptr, nullptr, nullptr);
        session.Finish(ending);
        if (exitCode == kNoReader) std::fprintf(stderr, "ulmot: lost the link to %s\n", reader.Describe().c_str());
    } catch (const Failure &) {
        made.Remove(reader.LinkUp());
        throw;
    }
    made.Remove(reader.LinkUp());
    return exitCode;
}

}  // namespace cli
