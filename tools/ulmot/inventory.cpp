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
#include <optional>
#include <sstream>

#include "cli.h"
#include "kept_inventory.h"

namespace cli {
namespace {

using SteadyClock = std::chrono::steady_clock;
using SystemClock = std::chrono::system_clock;

// Reads waiting for the main thread at most; more are counted as dropped.
constexpr size_t kMaxPending = 100000;
constexpr uint32_t kTickMs = 50;        // main loop: drain and print
constexpr uint32_t kRedrawMs = 250;     // the live table, about 4 times a second
constexpr uint32_t kStopWaitMs = 5000;  // for the reader's stop event after a stop

using Read = tools::TagRead;

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
    Session(const Options &options, Reader &reader, tools::KeptInventory &kept)
        : reader_(reader), kept_(kept), json_(options.Flag("json") || isatty(STDOUT_FILENO) == 0) {}

    bool json() const { return json_; }

    void Start() {
        started_ = SteadyClock::now();
        if (!json_) std::fputs("\x1b[?25l", stdout);  // no cursor while the table redraws
    }

    // Takes what the callbacks collected; prints it in JSON mode.
    void Drain() {
        const std::vector<Read> batch = kept_.Take();
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
            const Json line = {{"epc", epc},
                               {"pc", pc},
                               {"antenna", r.antenna},
                               {"rssi", Decimals(r.rssi / 10.0, 1)},
                               {"unit", "dBm"},
                               {"channel", r.channel},
                               {"phase", r.phase},
                               {"round", r.round},
                               {"seq", r.sequence},
                               {"timestamp", r.timestamp},
                               {"time", IsoTime(r.seenWall)},
                               {"count", tag.reads}};
            std::fputs(JsonText(line).c_str(), stdout);
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
        const uint64_t dropped = kept_.Dropped();
        const uint64_t lost = kept_.Lost();
        const uint32_t gaps = kept_.Resumes();
        const double rate = seconds > 0 ? static_cast<double>(reads_) / seconds : 0.0;
        if (json_) {
            // stdout stays JSON lines of reads; the summary goes to stderr.
            const Json summary = {{"unique", tags_.size()},
                                  {"reads", reads_},
                                  {"duration", Decimals(seconds, 3)},
                                  {"rate", Decimals(rate, 1)},
                                  {"lost", lost},
                                  {"dropped", dropped},
                                  {"gaps", gaps},
                                  {"end", ending}};
            std::fprintf(stderr, "%s\n", JsonText(Json{{"summary", summary}}).c_str());
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
        if (gaps != 0) std::printf("%u times without the link to the reader, each resumed\n", gaps);
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
    tools::KeptInventory &kept_;
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
        const uint8_t a = static_cast<uint8_t>(WholeNumber(item, "each antenna of --antennas", 1, 255));
        if (std::find(antennas.begin(), antennas.end(), a) != antennas.end()) {
            Fail(kUsage, "--antennas names antenna " + std::to_string(a) + " twice");
        }
        antennas.push_back(a);
    }
    if (antennas.empty() || list.back() == ',') Fail(kUsage, "--antennas takes a list such as 1,2,4");
    return antennas;
}

}  // namespace

int Inventory(int argc, char **argv) {
    const Options options = Parse("inventory", argc, argv,
                                  Accepted{{"duration", "antennas", "filter", "reads", kRadioBlockedFile}, {"no-resume"}});
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

    tools::InventoryPlan plan;
    plan.antennas = antennas;
    plan.filter = filterData;
    plan.filterBits = filterBits;
    plan.readLimit = readLimit;
    const bool resume = !options.Flag("no-resume");

    // Declared before the reader: the client, destroyed first, may still be
    // inside a callback that uses it.
    std::optional<tools::KeptInventory> kept;
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

    // Objects, callbacks and the start; the inventory removes what it made
    // when it stops, and makes it all again after a lost link.
    kept.emplace(c, plan, kMaxPending);
    std::string what;
    Check(kept->Start(&what), what);
    Session session(options, reader, *kept);
    if (session.json() && isatty(STDERR_FILENO) != 0) {
        std::fprintf(stderr, "ulmot: reading from %s; Ctrl-C stops\n", reader.Describe().c_str());
    }
    session.Start();

    const auto started = SteadyClock::now();
    std::string ending;
    int exitCode = kOk;
    for (bool running = true; running;) {
        Nap(kTickMs);
        session.Drain();
        session.MaybeDraw(false);
        uint8_t reason = 255;
        switch (kept->Watch(&what)) {
        case tools::KeptInventory::Change::kLinkLost:
            if (!resume) {
                ending = "the link to the reader was lost";
                exitCode = kNoReader;
                running = false;
                continue;
            }
            std::fprintf(stderr, "ulmot: lost the link to %s; waiting for it to come back (Ctrl-C stops)\n",
                         reader.Describe().c_str());
            break;
        case tools::KeptInventory::Change::kResumed: {
            const tools::Gap gap = kept->LastGap();
            std::fprintf(stderr, "ulmot: the link to %s is back after %.1f s; the inventory goes on\n",
                         reader.Describe().c_str(), std::chrono::duration<double>(gap.to - gap.from).count());
            break;
        }
        case tools::KeptInventory::Change::kResumeFailed:
            std::fprintf(stderr, "ulmot: the link is back, but the inventory could not be made again: %s\n",
                         what.c_str());
            break;
        case tools::KeptInventory::Change::kNone: break;
        }
        if (Interrupted()) {
            ending = "interrupted";
            running = false;
        } else if (session.OutputClosed()) {
            ending = "output closed";
            running = false;
        } else if (kept->Ended(&reason)) {
            ending = reason == 2 ? "read limit reached" : "the reader ended the run: " + StopReasonText(reason);
            running = false;
        } else if (durationMs != 0 && SteadyClock::now() - started >= std::chrono::milliseconds(durationMs)) {
            ending = "duration elapsed";
            running = false;
        }
    }

    // Stop the run and wait for its stop event, the last event of a run:
    // every report of the run has then been handed over. A second Ctrl-C
    // leaves without waiting.
    kept->Stop(SignalCount() > 1 ? 0 : kStopWaitMs);
    session.Drain();
    session.Finish(ending);
    if (exitCode == kNoReader) std::fprintf(stderr, "ulmot: lost the link to %s\n", reader.Describe().c_str());
    return exitCode;
}

}  // namespace cli
