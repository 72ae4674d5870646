// tools/ulmot/cli.h - what the commands of the `ulmot` tool share: exit
// codes, the parsed command line, the connection to a reader (the embedded
// emulator or a socket), stopping on a signal, the main loop of a streaming
// command, and JSON text (nlohmann-json; the command line is CLI11's, inside
// support.cpp). What callbacks hand to the main thread goes through an Inbox
// (inbox.h).
//
// The tool uses the public C interface only (ulmot.h, utr.h, uemu.h), as any
// application would.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "capture_file.h"
#include "inbox.h"
#include "iso_time.h"
#include "tag_access.h"
#include "uemu.h"
#include "ulmot.h"
#include "utr.h"

namespace cli {

using tools::Inbox;

// Exit codes, the same for every command (docs/CLI.md).
enum Exit : int {
    kOk = 0,
    kFailed = 1,       // the command ran but did not succeed (no tag matched, a tag error)
    kUsage = 2,        // bad command line
    kNoReader = 3,     // nothing answers at the address, or the link went away
    kRefused = 4,      // a request timed out or the reader refused it
    kInterrupted = 130 // a one-shot command stopped by Ctrl-C before it was done
};

// Thrown by the command code and turned into a message and an exit code by
// main(); nothing else is thrown.
struct Failure {
    int code;
    std::string message;
};

[[noreturn]] void Fail(int code, std::string message);
// A request's result as text: "time-out or local failure (-1)", "the reader's
// result 20 (value out of range)".
std::string ResultText(int32_t result);
// Throws kRefused with "<what>: <ResultText>" unless result is 0.
void Check(int32_t result, const std::string &what);

// ---- Command line -----------------------------------------------------------

// The options of one command, as given: what CLI11 parsed from its command
// line (support.cpp). Each command says which it accepts; Parse refuses the
// others.
struct Options {
    std::string command;
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;  // "--name value"
    std::map<std::string, bool> flags;          // "--json", "--verify"

    bool Has(const std::string &name) const { return values.count(name) != 0 || flags.count(name) != 0; }
    bool Flag(const std::string &name) const { return flags.count(name) != 0; }
    std::optional<std::string> Value(const std::string &name) const;

    // Typed readers; each checks the value when it is read, in the order the
    // command reads them, and refuses a malformed one with kUsage.
    uint32_t Unsigned(const std::string &name, uint32_t fallback, uint32_t min, uint32_t max) const;
    // Seconds as a decimal ("2", "0.5"), into milliseconds; absent: fallback.
    uint64_t Milliseconds(const std::string &name, uint64_t fallback) const;
};

// The options a command takes besides those of every command that talks to a
// reader (--connect --timeout --tags --seed --rate, and --json).
struct Accepted {
    std::vector<std::string> valued;  // options that take a value
    std::vector<std::string> flags;   // options that stand alone
};

// Parses argv[2..] for `command` with CLI11. Throws kUsage for an unknown
// option, a missing value or a repeated option (the first of them on the
// command line), and for --tags, --seed or --rate beside --connect.
Options Parse(const std::string &command, int argc, char **argv, const Accepted &accepted);

// A whole decimal number from min to max ("the value must be a whole number
// from 0 to 1, not '7'"); `what` names it in the complaint (kUsage).
uint32_t WholeNumber(const std::string &text, const std::string &what, uint32_t min, uint32_t max);
// Hex digits (spaces and colons allowed between bytes) into bytes; an odd
// count of digits is kept as `bits` = 4 x digits with the last nibble high.
std::vector<uint8_t> ParseHex(const std::string &text, const std::string &what, uint32_t *bits = nullptr);
using tools::Hex;  // tag_access.h

// The option of the commands that start a schedule (inventory, read,
// write-user): --radio-blocked-file PATH, which Reader applies.
extern const char kRadioBlockedFile[];  // "radio-blocked-file"

// ---- Signals ------------------------------------------------------------------

// Installs SIGINT and SIGTERM handlers that only set a flag.
void InstallSignalHandlers();
// Blocks (or unblocks) both signals in the calling thread, so that threads
// created meanwhile (the library's) inherit the block and the main thread is
// the one that sees them.
void BlockSignals(bool block);
bool Interrupted();
// The number of signals received so far (a second one hurries teardown).
int SignalCount();
// Sleeps up to `ms`, returning early when a signal arrives.
void Nap(uint32_t ms);

// ---- The reader -------------------------------------------------------------

// A connected client: the embedded emulator over an in-memory pair when no
// --connect is given, else a socket. Before anything else it sets
// ULMOT_RADIO_BLOCKED_FILE from --radio-blocked-file. With --capture FILE the
// client's end of the link records every frame there from before the
// registration. The destructor tears everything down in order: the client
// first (which waits for a running callback), then the emulator or the
// socket, then the capture.
class Reader {
public:
    explicit Reader(const Options &options);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    ClientProcessor *client() const { return client_; }
    bool embedded() const { return emulator_ != nullptr; }
    uemu_Reader *emulator() const { return emulator_; }  // null when connected
    const std::string &address() const { return address_; }
    // Attaches the reader's processor for each object type (search by type).
    void Attach(std::initializer_list<uint32_t> objectTypes);
    // True while the client has its session (false while it reconnects).
    bool LinkUp() const;
    // "embedded reader (50 tags, seed 1)" or the address.
    std::string Describe() const;

private:
    void Close();

    ClientProcessor *client_ = nullptr;
    uemu_Reader *emulator_ = nullptr;
    utr_MemoryPair *pair_ = nullptr;
    Transport *socket_ = nullptr;
    std::unique_ptr<tools::CaptureFile> capture_;
    std::string address_;
    uint32_t tags_ = 0, seed_ = 0;
};

// Runs the main loop of a streaming command (log, gpio watch): `drain` every
// tick until Ctrl-C, the duration, or the loss of the link.
int Stream(Reader &reader, uint64_t durationMs, const std::function<void()> &drain,
           const std::function<void(uint64_t elapsedMs)> &tick = nullptr);

// ---- JSON -------------------------------------------------------------------

// A JSON value (nlohmann); objects keep their keys in the order they were set.
using Json = nlohmann::ordered_json;

// A number with exactly `decimals` decimals, as the tool has always printed
// signal strengths, powers and rates (-69.1, 30.0) and the summary's duration
// (5.100): nlohmann::json prints a double as the shortest text that reads
// back the same (5.1), so the value goes in as text that JsonText() writes
// out bare.
Json Decimals(double value, int decimals);
// `json` on one line, with the Decimals() numbers as numbers.
std::string JsonText(const Json &json);
// Prints `json` as one line of stdout and flushes it.
void PrintJson(const Json &json);
// "2026-01-02T03:04:05.678Z" (UTC, milliseconds).
using tools::IsoTime;  // iso_time.h

// ---- Commands -----------------------------------------------------------------

int Inventory(int argc, char **argv);
int Info(int argc, char **argv);
int ReadMemory(int argc, char **argv);
int WriteUser(int argc, char **argv);
int Gpio(int argc, char **argv);
int Log(int argc, char **argv);

// Usage text of one command (null: unknown command).
const char *UsageOf(const std::string &command);

}  // namespace cli
