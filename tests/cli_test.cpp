// The `ulmot` tool as a user runs it: a subprocess against its embedded
// reader, its output parsed and compared with what the emulator library
// itself says the same configuration holds (tags, memory, versions...).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "cli_support.h"
#include "pool_fixture.h"
#include "uemu.h"

namespace {

using namespace ulmot::cli_test;

std::string HexOf(const uint8_t *data, size_t length) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < length; ++i) {
        s += kDigits[data[i] >> 4];
        s += kDigits[data[i] & 15];
    }
    return s;
}

// A reader built from the same configuration as the tool's embedded reader
// (--tags, --seed): the population it holds is the one the tool must see.
class Cli : public ulmot::test::PoolTest {
protected:
    void TearDown() override {
        uemu_Destroy(reader_);
        PoolTest::TearDown();
    }
    uemu_Reader *Reference(uint32_t tags, uint32_t seed) {
        uemu_Destroy(reader_);
        uemu_Config config;
        uemu_ConfigInit(&config);
        config.tagCount = tags;
        config.tagSeed = seed;
        reader_ = uemu_Create(&config);
        EXPECT_NE(reader_, nullptr);
        tags_.assign(tags, uemu_Tag{});
        for (uint32_t i = 0; i < tags; ++i) EXPECT_EQ(uemu_GetTag(reader_, i, &tags_[i]), UEMU_OK);
        return reader_;
    }
    std::string Epc(size_t i) const { return HexOf(tags_[i].epc, tags_[i].epcLength); }
    std::string Memory(uint32_t index, uint8_t bank, uint16_t offset, uint16_t words) {
        uint8_t out[1200];
        uint32_t length = 0;
        EXPECT_EQ(uemu_ReadTagMemory(reader_, index, bank, offset, words, out, sizeof out, &length), UEMU_OK);
        return HexOf(out, length);
    }
    std::set<std::string> EpcsStartingWith(const std::string &prefix) const {
        std::set<std::string> s;
        for (size_t i = 0; i < tags_.size(); ++i) {
            if (Epc(i).compare(0, prefix.size(), prefix) == 0) s.insert(Epc(i));
        }
        return s;
    }

    uemu_Reader *reader_ = nullptr;
    std::vector<uemu_Tag> tags_;
};

// ---- inventory ------------------------------------------------------------------

TEST_F(Cli, InventoryJsonLinesReportExactlyTheSeededPopulation) {
    Reference(30, 7);
    const Outcome r = RunTool({"inventory", "--json", "--tags", "30", "--seed", "7", "--reads", "300"});
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    std::vector<std::string> bad;
    const auto lines = JsonLines(r.out, &bad);
    EXPECT_TRUE(bad.empty()) << "stdout holds only JSON lines; first other line: " << bad.front();
    ASSERT_EQ(lines.size(), 300u) << "the reader stops after exactly --reads reports";

    std::map<std::string, const uemu_Tag *> byEpc;
    for (size_t i = 0; i < tags_.size(); ++i) byEpc[Epc(i)] = &tags_[i];
    std::map<std::string, long long> counts;
    long long sequence = 0;
    for (const Json &j : lines) {
        const std::string epc = j["epc"].text;
        auto tag = byEpc.find(epc);
        ASSERT_NE(tag, byEpc.end()) << "a read of a tag the field does not hold: " << epc;
        char pc[8];
        std::snprintf(pc, sizeof pc, "%04X", tag->second->pc);
        EXPECT_EQ(j["pc"].text, pc);
        const long long antenna = j["antenna"].Int();
        ASSERT_GE(antenna, 1);
        ASSERT_LE(antenna, 4);
        EXPECT_NE(tag->second->antennas & (1u << (antenna - 1)), 0u) << "read on an antenna whose field lacks the tag";
        // dBm, not tenths: the tag's strength at that antenna, with the
        // reader's noise of at most 2 dB either way.
        EXPECT_EQ(j["unit"].text, "dBm");
        EXPECT_LE(std::fabs(j["rssi"].number - tag->second->rssi[antenna - 1] / 10.0), 2.05) << epc;
        EXPECT_EQ(j["seq"].Int(), ++sequence) << "reads in the reader's order, none lost or doubled";
        EXPECT_EQ(j["count"].Int(), ++counts[epc]) << "count is this tag's reads so far";
        EXPECT_TRUE(j.Has("timestamp") && j.Has("time") && j.Has("channel") && j.Has("phase"));
    }
    std::set<std::string> seen, expected;
    for (const auto &[epc, n] : counts) seen.insert(epc);
    for (const auto &[epc, tag] : byEpc) expected.insert(epc);
    EXPECT_EQ(seen, expected) << "300 reads cover several rounds: every tag is read";

    const auto summary = Summary(r.err);
    ASSERT_TRUE(summary.has_value()) << r.err;
    EXPECT_EQ((*summary)["unique"].Int(), 30);
    EXPECT_EQ((*summary)["reads"].Int(), 300);
    EXPECT_EQ((*summary)["lost"].Int(), 0);
    EXPECT_EQ((*summary)["end"].text, "read limit reached");
}

TEST_F(Cli, InventoryOnAPipeWritesJsonWithoutBeingAsked) {
    const Outcome r = RunTool({"inventory", "--tags", "3", "--reads", "10"});
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    std::vector<std::string> bad;
    EXPECT_EQ(JsonLines(r.out, &bad).size(), 10u);
    EXPECT_TRUE(bad.empty()) << "no table escapes on a pipe";
    EXPECT_TRUE(Summary(r.err).has_value()) << "the summary goes to stderr";
}

TEST_F(Cli, InventoryFilterAndAntennasNarrowWhatIsRead) {
    Reference(40, 3);
    struct Case {
        std::vector<std::string> extra;
        std::string prefix;  // the EPCs expected
        long long antenna;   // 0: any
    };
    const std::string oneNibble = Epc(5).substr(0, 1);  // an odd count of hex digits: 4 bits
    const std::string twoBytes = Epc(9).substr(0, 4);
    const std::vector<Case> cases = {
        {{"--filter", oneNibble}, oneNibble, 0},
        {{"--filter", twoBytes}, twoBytes, 0},
        {{"--antennas", "3"}, "", 3},
        {{"--antennas", "2", "--filter", oneNibble}, oneNibble, 2},
    };
    for (const Case &c : cases) {
        const auto expected = EpcsStartingWith(c.prefix);
        ASSERT_FALSE(expected.empty());
        // Two rounds' worth of reads (a round reads each selected tag once).
        std::vector<std::string> args = {"inventory", "--json", "--tags", "40", "--seed", "3", "--reads",
                                         std::to_string(expected.size() * (c.antenna == 0 ? 8 : 2))};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const Outcome r = RunTool(args);
        ASSERT_EQ(r.exitCode, 0) << r.Describe();
        std::set<std::string> seen;
        for (const Json &j : JsonLines(r.out)) {
            seen.insert(j["epc"].text);
            if (c.antenna != 0) {
                EXPECT_EQ(j["antenna"].Int(), c.antenna);
            }
        }
        EXPECT_EQ(seen, expected) << "with " << c.extra[0] << " " << c.extra[1];
    }
}

TEST_F(Cli, InventoryOnATerminalDrawsALiveTableAndASummary) {
    Reference(6, 2);
    RunOptions terminal;
    terminal.terminal = true;
    const Outcome r = RunTool({"inventory", "--tags", "6", "--seed", "2", "--reads", "600"}, terminal);
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    EXPECT_NE(r.out.find("\x1b[2K"), std::string::npos) << "lines are redrawn in place";
    EXPECT_NE(r.out.find("reads/s"), std::string::npos);
    EXPECT_NE(r.out.find("EPC"), std::string::npos);
    for (size_t i = 0; i < tags_.size(); ++i) EXPECT_NE(r.out.find(Epc(i)), std::string::npos) << Epc(i);
    EXPECT_NE(r.out.find("dBm"), std::string::npos) << "signal strength with its unit";
    EXPECT_NE(r.out.find("6 unique tags, 600 reads"), std::string::npos) << r.out.substr(r.out.size() > 600 ? r.out.size() - 600 : 0);
    EXPECT_EQ(r.out.find("{\"epc\""), std::string::npos) << "no JSON on a terminal";
    EXPECT_NE(r.out.find("\x1b[?25h"), std::string::npos) << "the cursor is given back";
}

// Ctrl-C (or a TERM) in the middle of a run that would never end by itself:
// the tool stops the schedule, takes its callbacks back and exits 0, with
// every line it printed whole and a summary that counts them.
TEST_F(Cli, ASignalStopsAStreamingCommandCleanly) {
    struct Case {
        std::vector<std::string> args;
        int signal;
        size_t linesFirst;  // signal once this many lines arrived
    };
    const std::vector<Case> cases = {
        {{"inventory", "--json"}, SIGINT, 20},
        {{"inventory", "--json", "--rate", "20000", "--tags", "500"}, SIGINT, 2000},
        {{"inventory", "--json"}, SIGTERM, 5},
        {{"log", "--json"}, SIGINT, 1},
        {{"gpio", "watch", "--json"}, SIGTERM, 1},
    };
    for (const Case &c : cases) {
        RunOptions options;
        options.signalWhen = [&](const std::string &out) {
            return static_cast<size_t>(std::count(out.begin(), out.end(), '\n')) >= c.linesFirst ? c.signal : 0;
        };
        const Outcome r = RunTool(c.args, options);
        SCOPED_TRACE(c.args[0] + " with signal " + std::to_string(c.signal));
        ASSERT_FALSE(r.hung) << r.Describe();
        EXPECT_EQ(r.exitCode, 0) << r.Describe();
        std::vector<std::string> bad;
        const auto lines = JsonLines(r.out, &bad);
        EXPECT_TRUE(bad.empty()) << "a line cut short: " << (bad.empty() ? "" : bad.front());
        EXPECT_GE(lines.size(), c.linesFirst);
        if (c.args[0] == "inventory") {
            const auto summary = Summary(r.err);
            ASSERT_TRUE(summary.has_value()) << r.err;
            EXPECT_EQ((*summary)["end"].text, "interrupted");
            EXPECT_EQ((*summary)["reads"].Int(), static_cast<long long>(lines.size())) << "every read printed";
            // At 20000 reads a second a slow client may lose reports in its
            // inbound queue; whatever was lost, the gaps are counted.
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines.back()["seq"].Int(), static_cast<long long>(lines.size()) + (*summary)["lost"].Int())
                << "reads printed and reports lost account for every report number";
        }
    }
}

// `ulmot inventory | head`: the reader of the pipe leaves; the tool ends the
// run as for a Ctrl-C instead of dying of SIGPIPE in the middle.
TEST_F(Cli, AClosedPipeEndsAStreamingCommandCleanly) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"inventory", "--json"}, std::vector<std::string>{"log", "--json"}}) {
        RunOptions options;
        options.closeWhen = [](const std::string &out) { return !out.empty(); };
        const Outcome r = RunTool(args, options);
        ASSERT_FALSE(r.hung) << r.Describe();
        EXPECT_EQ(r.signal, 0) << args[0] << ": not killed by a signal";
        EXPECT_EQ(r.exitCode, 0) << args[0] << "\n" << r.Describe();
        if (args[0] == "inventory") {
            const auto summary = Summary(r.err);
            ASSERT_TRUE(summary.has_value()) << r.err;
            EXPECT_EQ((*summary)["end"].text, "output closed");
        }
    }
}

// ---- info, read, write-user ----------------------------------------------------------

TEST_F(Cli, InfoShowsTheReadersConfiguredValues) {
    uemu_Config config;
    uemu_ConfigInit(&config);
    const Outcome r = RunTool({"info", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    const Json &info = lines[0];
    ASSERT_EQ(info["versions"].items.size(), 10u);
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(info["versions"].items[i].text, config.versions[i]);
    EXPECT_EQ(info["radio_model"].Int(), config.radioModel);
    EXPECT_EQ(info["gpi"].Int(), config.presetInstances[ULMOT_OBJ_GPI]);
    EXPECT_EQ(info["gpo"].Int(), config.presetInstances[ULMOT_OBJ_GPO]);
    ASSERT_EQ(info["antennas"].items.size(), config.presetInstances[ULMOT_OBJ_ANTENNA]);
    for (size_t i = 0; i < info["antennas"].items.size(); ++i) {
        const Json &a = info["antennas"].items[i];
        EXPECT_EQ(a["antenna"].Int(), static_cast<long long>(i + 1));
        // The reader keeps tenths of a dBm: 300, 100, 315.
        EXPECT_DOUBLE_EQ(a["default_power"].number, 30.0);
        EXPECT_DOUBLE_EQ(a["min_power"].number, 10.0);
        EXPECT_DOUBLE_EQ(a["max_power"].number, 31.5);
        EXPECT_EQ(a["power_unit"].text, "dBm");
        ASSERT_EQ(a["receive"].items.size(), 1u);
        EXPECT_EQ(a["receive"].items[0].Int(), static_cast<long long>(i + 1));
    }
    EXPECT_EQ(info["radio"]["module"].text, "uemu-radio");
    EXPECT_DOUBLE_EQ(info["radio"]["temperature"].number, config.radioTemperature / 10.0);
    EXPECT_GT(info["timestamp"]["seconds"].Int(), 1700000000) << "seconds since 1970 from the host's clock";

    const Outcome text = RunTool({"info"});
    ASSERT_EQ(text.exitCode, 0) << text.Describe();
    for (const std::string &expected :
         {std::string(config.versions[0]), std::string(config.versions[9]), std::string("0x0101"), std::string("31.5 dBm")}) {
        EXPECT_NE(text.out.find(expected), std::string::npos) << expected << " in\n" << text.out;
    }
}

TEST_F(Cli, ReadReturnsTheBytesTheTagHolds) {
    Reference(12, 4);
    struct Case {
        size_t tag;
        const char *bank;
        uint8_t bankNumber;
        uint16_t offset, words;
    };
    const std::vector<Case> cases = {
        {3, "tid", UEMU_BANK_TID, 0, 0},    // to the end of the bank
        {7, "user", UEMU_BANK_USER, 2, 4},
        {0, "epc", UEMU_BANK_EPC, 1, 7},    // PC and EPC
        {11, "user", UEMU_BANK_USER, 31, 1}, // the last word
    };
    for (const Case &c : cases) {
        const Outcome r = RunTool({"read", "--json", "--tags", "12", "--seed", "4", "--epc", Epc(c.tag), "--bank",
                                   c.bank, "--offset", std::to_string(c.offset), "--words", std::to_string(c.words)});
        ASSERT_EQ(r.exitCode, 0) << r.Describe();
        const auto lines = JsonLines(r.out);
        ASSERT_EQ(lines.size(), 1u) << "one tag has this EPC\n" << r.out;
        EXPECT_EQ(lines[0]["epc"].text, Epc(c.tag));
        EXPECT_EQ(lines[0]["bank"].text, c.bank);
        EXPECT_EQ(lines[0]["data"].text, Memory(static_cast<uint32_t>(c.tag), c.bankNumber, c.offset, c.words))
            << c.bank << " of tag " << c.tag;
    }

    // A prefix reads every tag it names, each once.
    const std::string prefix = Epc(2).substr(0, 1);
    const Outcome r = RunTool({"read", "--json", "--tags", "12", "--seed", "4", "--epc", prefix, "--words", "2"});
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    std::multiset<std::string> read;
    for (const Json &j : JsonLines(r.out)) read.insert(j["epc"].text);
    const auto expected = EpcsStartingWith(prefix);
    EXPECT_EQ(read, std::multiset<std::string>(expected.begin(), expected.end()));
}

TEST_F(Cli, WriteUserWritesWhatReadsBackAndReportsTagErrors) {
    Reference(8, 6);
    const Outcome w = RunTool({"write-user", "--json", "--tags", "8", "--seed", "6", "--epc", Epc(4), "--offset", "5",
                               "--data", "CAFE F00D 1234", "--verify"});
    ASSERT_EQ(w.exitCode, 0) << w.Describe();
    const auto lines = JsonLines(w.out);
    ASSERT_EQ(lines.size(), 1u) << w.out;
    EXPECT_EQ(lines[0]["epc"].text, Epc(4));
    EXPECT_TRUE(lines[0]["written"].boolean);
    EXPECT_TRUE(lines[0]["verified"].boolean);
    EXPECT_EQ(lines[0]["read_back"].text, "CAFEF00D1234");
    EXPECT_NE(Memory(4, UEMU_BANK_USER, 5, 3), "CAFEF00D1234") << "the tag did not already hold these words";

    // Two words from the last word of a 32-word bank run past its end.
    const Outcome past = RunTool({"write-user", "--json", "--tags", "8", "--seed", "6", "--epc", Epc(4), "--offset",
                                  "31", "--data", "00010002"});
    EXPECT_EQ(past.exitCode, 1) << past.Describe();
    const auto pastLines = JsonLines(past.out);
    ASSERT_EQ(pastLines.size(), 1u) << past.out;
    EXPECT_FALSE(pastLines[0]["written"].boolean);
    EXPECT_EQ(pastLines[0]["error"].Int(), 3) << "memory overrun";
    EXPECT_NE(past.err.find("memory overrun"), std::string::npos) << past.err;
}

// ---- gpio, log ---------------------------------------------------------------------

TEST_F(Cli, GpioGetSetAndWatch) {
    const Outcome all = RunTool({"gpio", "get", "--json"});
    ASSERT_EQ(all.exitCode, 0) << all.Describe();
    std::vector<std::string> names;
    for (const Json &j : JsonLines(all.out)) {
        names.push_back(j["line"].text);
        EXPECT_EQ(j["state"].Int(), 0) << "every line starts low";
    }
    EXPECT_EQ(names, (std::vector<std::string>{"in1", "in2", "in3", "in4", "out1", "out2", "out3", "out4"}));

    struct Case {
        std::vector<std::string> args;
        std::string line;
        long long state, was;
    };
    const std::vector<Case> cases = {
        {{"gpio", "set", "2", "1"}, "out2", 1, 0},   // a bare number is an output
        {{"gpio", "set", "out4", "0"}, "out4", 0, 0},
        {{"gpio", "set", "in3", "1"}, "in3", 1, 0},  // an input's level
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const Outcome r = RunTool(args);
        ASSERT_EQ(r.exitCode, 0) << r.Describe();
        const auto lines = JsonLines(r.out);
        ASSERT_EQ(lines.size(), 1u) << r.out;
        EXPECT_EQ(lines[0]["line"].text, c.line);
        EXPECT_EQ(lines[0]["state"].Int(), c.state) << "the state the reader reports after the write";
        EXPECT_EQ(lines[0]["was"].Int(), c.was);
    }

    // The embedded reader toggles input 1: watch prints its changes in order.
    const Outcome watch = RunTool({"gpio", "watch", "--json", "--duration", "1.2"});
    ASSERT_EQ(watch.exitCode, 0) << watch.Describe();
    const auto events = JsonLines(watch.out);
    ASSERT_FALSE(events.empty()) << watch.Describe();
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i]["line"].text, "in1");
        EXPECT_EQ(events[i]["state"].Int(), i % 2 == 0 ? 1 : 0) << "high, low, high...";
    }
}

TEST_F(Cli, LogStreamsTheReadersTextLog) {
    const Outcome r = RunTool({"log", "--json", "--duration", "0.3"});
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    const auto lines = JsonLines(r.out);
    ASSERT_FALSE(lines.empty()) << r.Describe();
    EXPECT_EQ(lines[0]["text"].text, "embedded reader (50 tags, seed 1): text log started");
    EXPECT_TRUE(lines[0].Has("timestamp"));
}

// ---- exits ---------------------------------------------------------------------------

TEST_F(Cli, EveryFailureHasItsExitCodeAndSaysWhy) {
    struct Case {
        std::vector<std::string> args;
        int code;
        const char *says;
    };
    const std::vector<Case> cases = {
        {{}, 2, "usage: ulmot"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"inventory", "--bogus"}, 2, "unknown option '--bogus'"},
        {{"inventory", "--duration", "abc"}, 2, "--duration takes seconds"},
        {{"inventory", "--duration", "-1"}, 2, "--duration takes seconds"},
        {{"inventory", "--duration", "0"}, 2, "--duration takes seconds"},
        {{"inventory", "--reads", "0"}, 2, "--reads must be"},
        {{"inventory", "--reads", "70000"}, 2, "--reads must be"},
        {{"inventory", "--antennas", "1,,2"}, 2, "antenna"},
        {{"inventory", "--antennas", "2,2"}, 2, "twice"},
        {{"inventory", "--antennas", "5"}, 2, "the reader has 4"},
        {{"inventory", "--filter", "xyz"}, 2, "hex digits"},
        {{"inventory", "--connect"}, 2, "needs a value"},
        {{"inventory", "--json", "--json"}, 0, ""},  // a flag twice is harmless
        {{"inventory", "--tags", "5", "--tags", "6"}, 2, "given twice"},
        {{"inventory", "--connect", "tcp:127.0.0.1:1", "--tags", "5"}, 2, "embedded reader"},
        {{"inventory", "--connect", "nowhere"}, 2, "tcp:HOST:PORT"},
        {{"info", "--connect", "tcp:127.0.0.1:99999"}, 2, "port"},
        {{"read"}, 2, "--epc"},
        {{"read", "--epc", "00", "--bank", "flash"}, 2, "--bank"},
        {{"read", "--epc", "00", "--words", "256"}, 2, "--words"},
        {{"write-user", "--epc", "00", "--offset", "0", "--data", "ABC"}, 2, "whole"},
        {{"write-user", "--epc", "00", "--data", "ABCD"}, 2, "--offset"},
        {{"gpio"}, 2, "get, set or watch"},
        {{"gpio", "toggle"}, 2, "get, set or watch"},
        {{"gpio", "set", "2", "7"}, 2, "the value"},
        {{"gpio", "get", "out9"}, 2, "the reader has 4"},
        {{"read", "--epc", "FFFFFFFFFFFFFFFF", "--tags", "5"}, 1, "no tag"},
        {{"inventory", "--connect", "tcp:127.0.0.1:1"}, 3, "tcp:127.0.0.1:1"},
        {{"info", "--connect", "unix:/nonexistent/ulmot-test.sock"}, 3, "unix:/nonexistent/ulmot-test.sock"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        // A bounded run for the one case that succeeds.
        if (c.code == 0) args.insert(args.end(), {"--reads", "1"});
        const Outcome r = RunTool(args);
        std::string line;
        for (const auto &a : c.args) line += a + " ";
        EXPECT_EQ(r.exitCode, c.code) << "ulmot " << line << "\n" << r.Describe();
        EXPECT_NE(r.err.find(c.says), std::string::npos) << "ulmot " << line << "says:\n" << r.err;
        if (c.code == 2 && !c.args.empty() && c.args[0] != "frobnicate") {
            EXPECT_NE(r.err.find("--help"), std::string::npos) << "a usage error points at the help";
        }
        EXPECT_TRUE(r.out.empty() || c.code == 0) << "failures print nothing on stdout: " << r.out;
    }
}

TEST_F(Cli, HelpAndVersion) {
    const Outcome main = RunTool({"--help"});
    EXPECT_EQ(main.exitCode, 0);
    for (const char *text : {"inventory", "write-user", "Exit codes", "3  no reader"}) {
        EXPECT_NE(main.out.find(text), std::string::npos) << text;
    }
    for (const char *command : {"inventory", "info", "read", "write-user", "gpio", "log"}) {
        const Outcome r = RunTool({command, "--help"});
        EXPECT_EQ(r.exitCode, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("usage: ulmot ") + command, 0), 0u) << r.out;
        EXPECT_NE(r.out.find("--connect"), std::string::npos) << command;
    }
    const Outcome version = RunTool({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "ulmot " ULMOT_TOOL_VERSION "\n");
}


// ---- over the daemon ---------------------------------------------------------------

#ifdef ULMOT_READERD_PATH

// ulmot-readerd on loopback TCP and a Unix socket, with a tag field of its
// own; the tool connects to it like any client.
class CliDaemon : public Cli {
protected:
    void SetUp() override {
        Cli::SetUp();
        char dir[] = "/tmp/ulmot-cli-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        const std::string portFile = dir_ + "/ports";
        const std::string socket = dir_ + "/reader.sock";
        pid_ = fork();
        if (pid_ == 0) {
            const int devNull = open("/dev/null", O_RDWR);
            dup2(devNull, STDIN_FILENO);
            dup2(devNull, STDOUT_FILENO);
            dup2(devNull, STDERR_FILENO);
            execl(ULMOT_READERD_PATH, ULMOT_READERD_PATH, "--tcp", "127.0.0.1:0", "--unix", socket.c_str(),
                  "--port-file", portFile.c_str(), "--tags", "20", "--seed", "9", nullptr);
            _exit(127);
        }
        ASSERT_GT(pid_, 0);
        // The port file appears once both sockets listen (a hang guard only).
        for (int i = 0; i < 3000 && (tcp_.empty() || unix_.empty()); ++i) {
            if (FILE *f = std::fopen(portFile.c_str(), "r")) {
                char line[512];
                while (std::fgets(line, sizeof line, f) != nullptr) {
                    std::string l(line);
                    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
                    if (l.rfind("tcp:", 0) == 0) tcp_ = l;
                    if (l.rfind("unix:", 0) == 0) unix_ = l;
                }
                std::fclose(f);
            }
            if (tcp_.empty() || unix_.empty()) usleep(10000);
        }
        ASSERT_FALSE(tcp_.empty() || unix_.empty()) << "the daemon wrote no addresses";
        Reference(20, 9);
    }
    void TearDown() override {
        StopDaemon();
        std::string cleanup = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(cleanup.c_str()), 0);
        Cli::TearDown();
    }
    void StopDaemon() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = 0;
    }
    std::set<std::string> AllEpcs() const { return EpcsStartingWith(""); }

    pid_t pid_ = 0;
    std::string dir_, tcp_, unix_;
};

TEST_F(CliDaemon, InventoryOverTcpAndUnixReadsTheDaemonsPopulation) {
    for (const std::string &address : {tcp_, unix_}) {
        const Outcome r = RunTool({"inventory", "--connect", address, "--json", "--reads", "200"});
        ASSERT_EQ(r.exitCode, 0) << address << "\n" << r.Describe();
        std::set<std::string> seen;
        const auto lines = JsonLines(r.out);
        for (const Json &j : lines) seen.insert(j["epc"].text);
        EXPECT_EQ(lines.size(), 200u) << address;
        EXPECT_EQ(seen, AllEpcs()) << address;
        const auto summary = Summary(r.err);
        ASSERT_TRUE(summary.has_value()) << r.err;
        EXPECT_EQ((*summary)["lost"].Int(), 0) << address;
    }
}

TEST_F(CliDaemon, StateOutlivesEachInvocation) {
    // A GPO line set by one run is read by the next.
    Outcome r = RunTool({"gpio", "set", "3", "1", "--connect", tcp_});
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    r = RunTool({"gpio", "get", "out3", "--json", "--connect", unix_});
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(lines[0]["state"].Int(), 1);

    // User memory written by one run, read back by another.
    r = RunTool({"write-user", "--connect", tcp_, "--epc", Epc(6), "--offset", "9", "--data", "BEEF0042"});
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    r = RunTool({"read", "--connect", tcp_, "--json", "--epc", Epc(6), "--bank", "user", "--offset", "9", "--words", "2"});
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(lines[0]["data"].text, "BEEF0042");

    // Each run removed what it created: an inventory still starts cleanly.
    r = RunTool({"inventory", "--connect", tcp_, "--json", "--reads", "5"});
    EXPECT_EQ(r.exitCode, 0) << r.Describe();
    r = RunTool({"info", "--connect", tcp_, "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    EXPECT_EQ(JsonLines(r.out).at(0)["reader"].text, tcp_);
}

TEST_F(CliDaemon, LosingTheDaemonMidRunEndsWithExitThree) {
    RunOptions options;
    bool stopped = false;
    options.signalWhen = [&](const std::string &out) {
        if (!stopped && std::count(out.begin(), out.end(), '\n') >= 50) {
            StopDaemon();
            stopped = true;
        }
        return 0;
    };
    const Outcome r = RunTool({"inventory", "--connect", tcp_, "--json"}, options);
    ASSERT_TRUE(stopped) << r.Describe();
    ASSERT_FALSE(r.hung) << r.Describe();
    EXPECT_EQ(r.exitCode, 3) << r.Describe();
    EXPECT_NE(r.err.find("lost the link"), std::string::npos) << r.err;
    std::vector<std::string> bad;
    JsonLines(r.out, &bad);
    EXPECT_TRUE(bad.empty()) << "lines stay whole";
}

#endif  // ULMOT_READERD_PATH

}  // namespace
