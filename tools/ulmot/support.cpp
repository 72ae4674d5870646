// tools/ulmot/support.cpp - command line (CLI11), signals, the reader
// connection, the streaming loop and JSON text (nlohmann-json) for every
// command.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include <CLI/CLI.hpp>

#include "cli.h"

namespace cli {

namespace {
constexpr uint32_t kEmbeddedReceiveSliceMs = 10;
}  // namespace

[[noreturn]] void Fail(int code, std::string message) { throw Failure{code, std::move(message)}; }

std::string ResultText(int32_t result) {
    switch (result) {
    case -1: return "time-out or local failure (-1)";
    case -3: return "larger than the buffer (-3)";
    case -5: return "invalid parameter (-5)";
    case -7: return "no message block (-7)";
    case -8: return "item missing from the response (-8)";
    default: break;
    }
    // The reader's own codes (item 255 of its response).
    const char *what = nullptr;
    switch (result) {
    case 1: what = "unknown command"; break;
    case 2: what = "no such instance"; break;
    case 3: what = "malformed request"; break;
    case 4: what = "object type not served"; break;
    case 5: what = "not found"; break;
    case 6: what = "exhausted"; break;
    case 7: what = "refused"; break;
    case 8: what = "no such processor"; break;
    case 9: what = "not registered"; break;
    case 20: what = "value out of range"; break;
    default: break;
    }
    std::string text = "the reader's result " + std::to_string(result);
    if (what != nullptr) text += std::string(" (") + what + ")";
    return text;
}

void Check(int32_t result, const std::string &what) {
    if (result != 0) Fail(kRefused, what + ": " + ResultText(result));
}

// ---- Command line -----------------------------------------------------------
//
// CLI11 parses: it knows each command's options, takes "--name value" and
// "--name=value", and hands back what it does not know. A value is checked
// when the command reads it (Options::Unsigned...), with the CLI11 validators
// below, so that the problem reported is the one the tool has always named
// first: the shape of the command line (an unknown option, a missing value, a
// repeated option: whichever comes first), then --connect beside an option of
// the embedded reader, then the values in the order the command uses them.

namespace {

const std::vector<std::string> kReaderValued = {"connect", "timeout", "tags", "seed", "rate", "capture"};
const std::vector<std::string> kReaderFlags = {"json"};

// Three conventions of CLI11 that this tool has never had are undone before
// the parse. argv cannot hold a NUL, so a NUL marks what CLI11 must leave
// alone; it comes out again of everything the parse hands back.
// - A bare `--` ends the options for CLI11; here it is an argument like any other.
// - `--flag=VALUE` sets a flag for CLI11 (`--json=false`); here it is an unknown option.
// - `--name=` takes the next argument as its value for CLI11; here the value is empty.
std::string Marked(const std::string &arg, const std::vector<std::string> &flags) {
    if (arg == "--") return '\0' + arg;
    const size_t eq = arg.find('=');
    if (arg.rfind("--", 0) != 0 || eq == std::string::npos) return arg;
    if (std::find(flags.begin(), flags.end(), arg.substr(2, eq - 2)) != flags.end()) return '\0' + arg;
    return eq + 1 == arg.size() ? arg + '\0' : arg;
}

std::string Unmarked(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    return text;
}

// "--reads must be a whole number from 1 to 65535, not '0'": decimal digits
// only, at most ten (CLI11's own number check also takes a sign, spaces, 0x
// and octal). The text is left without leading zeros for CLI11's conversion,
// which would read 010 as octal.
CLI::Validator WholeNumberCheck(const std::string &what, uint32_t min, uint32_t max) {
    return CLI::Validator(
        [what, min, max](std::string &text) -> std::string {
            const bool digits = !text.empty() && text.size() <= 10 &&
                                std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
            const unsigned long long value = digits ? std::strtoull(text.c_str(), nullptr, 10) : 0;
            if (!digits || value < min || value > max) {
                return what + " must be a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
                       ", not '" + text + "'";
            }
            text = std::to_string(value);
            return {};
        },
        "UINT in [" + std::to_string(min) + " - " + std::to_string(max) + "]");
}

// "--duration takes seconds above 0 (e.g. 5 or 0.5), not 'x'": digits with at
// most one point (no sign, exponent or "inf"), above 0 and at most 10^6. The
// text becomes the milliseconds, rounded to a whole number.
CLI::Validator SecondsCheck(const std::string &what) {
    return CLI::Validator(
        [what](std::string &text) -> std::string {
            const bool shape = !text.empty() && text.size() <= 12 && std::count(text.begin(), text.end(), '.') <= 1 &&
                               std::all_of(text.begin(), text.end(),
                                           [](char c) { return (c >= '0' && c <= '9') || c == '.'; }) &&
                               text != ".";
            const double seconds = shape ? std::strtod(text.c_str(), nullptr) : -1.0;
            if (!shape || seconds <= 0.0 || seconds > 1.0e6) {
                return what + " takes seconds above 0 (e.g. 5 or 0.5), not '" + text + "'";
            }
            text = std::to_string(std::llround(seconds * 1000.0));
            return {};
        },
        "SECONDS");
}

// The value of `text` once `check` has passed it; its complaint is a usage
// error.
template <typename T>
T Checked(std::string text, const CLI::Validator &check) {
    const std::string complaint = check(text);
    if (!complaint.empty()) Fail(kUsage, complaint);
    T value{};
    if (!CLI::detail::lexical_cast(text, value)) Fail(kUsage, "cannot read '" + text + "'");
    return value;
}

}  // namespace

const char kRadioBlockedFile[] = "radio-blocked-file";

std::optional<std::string> Options::Value(const std::string &name) const {
    auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
}

uint32_t WholeNumber(const std::string &text, const std::string &what, uint32_t min, uint32_t max) {
    return Checked<uint32_t>(text, WholeNumberCheck(what, min, max));
}

uint32_t Options::Unsigned(const std::string &name, uint32_t fallback, uint32_t min, uint32_t max) const {
    auto v = Value(name);
    return v ? WholeNumber(*v, "--" + name, min, max) : fallback;
}

uint64_t Options::Milliseconds(const std::string &name, uint64_t fallback) const {
    auto v = Value(name);
    return v ? Checked<uint64_t>(*v, SecondsCheck("--" + name)) : fallback;
}

Options Parse(const std::string &command, int argc, char **argv, const Accepted &accepted) {
    Options o;
    o.command = command;
    std::vector<std::string> valued = kReaderValued, flags = kReaderFlags;
    valued.insert(valued.end(), accepted.valued.begin(), accepted.valued.end());
    flags.insert(flags.end(), accepted.flags.begin(), accepted.flags.end());

    CLI::App app;
    app.set_help_flag();  // --help and -h are main()'s: they win wherever they stand
    app.allow_extras();   // what CLI11 does not know is sorted out below
    std::map<std::string, int> given;
    for (const std::string &name : valued) {
        // Taken as it is parsed, so that a repeat is refused where it stands.
        app.add_option_function<std::string>("--" + name,
                                             [&o, &given, name](const std::string &value) {
                                                 if (++given[name] > 1) Fail(kUsage, "--" + name + " is given twice");
                                                 o.values[name] = Unmarked(value);
                                             })
            ->trigger_on_parse();
    }
    for (const std::string &name : flags) app.add_flag("--" + name);

    std::vector<std::string> args;  // CLI11 takes them last first
    for (int i = argc - 1; i >= 2; --i) args.push_back(Marked(argv[i], flags));
    std::optional<Failure> failure;
    try {
        app.parse(std::move(args));
    } catch (const Failure &repeated) {
        failure = repeated;
    } catch (const CLI::ArgumentMismatch &) {
        // CLI11 takes whatever follows an option as its value: only the last
        // argument can lack one.
        const std::string name = std::string(argv[argc - 1]).substr(2);
        failure = Failure{kUsage, "--" + name + (given.count(name) != 0 ? " is given twice" : " needs a value")};
    }
    // What CLI11 did not know, in order: an unknown option before the failure
    // came first.
    for (const std::string &arg : app.remaining()) {
        std::string a = Unmarked(arg);
        if (a.size() >= 3 && a.compare(0, 2, "--") == 0) Fail(kUsage, "unknown option '" + a + "' for '" + command + "'");
        o.positional.push_back(std::move(a));
    }
    if (failure) throw *failure;
    for (const std::string &name : flags) {
        if (app.count("--" + name) != 0) o.flags[name] = true;
    }
    if (o.Value("connect")) {
        for (const char *embeddedOnly : {"tags", "seed", "rate"}) {
            if (o.Has(embeddedOnly)) {
                Fail(kUsage, std::string("--") + embeddedOnly + " sets up the embedded reader; it cannot go with --connect");
            }
        }
    }
    return o;
}

std::vector<uint8_t> ParseHex(const std::string &text, const std::string &what, uint32_t *bits) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) Fail(kUsage, what + " must be hex digits, not '" + text + "'");
        digits += c;
    }
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits.erase(0, 2);
    if (digits.empty()) Fail(kUsage, what + " must hold at least one hex digit");
    if (bits == nullptr && digits.size() % 2 != 0) Fail(kUsage, what + " must be whole bytes (an even number of hex digits)");
    std::vector<uint8_t> bytes((digits.size() + 1) / 2, 0);
    for (size_t i = 0; i < digits.size(); ++i) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(digits[i])));
        const uint8_t nibble = static_cast<uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        bytes[i / 2] = static_cast<uint8_t>(bytes[i / 2] | (i % 2 == 0 ? nibble << 4 : nibble));
    }
    if (bits != nullptr) *bits = static_cast<uint32_t>(digits.size() * 4);
    return bytes;
}

// ---- Signals ------------------------------------------------------------------

namespace {
volatile std::sig_atomic_t g_signals = 0;

extern "C" void OnSignal(int) {
    // Only a flag: the main loop does the work.
    g_signals = g_signals + 1;
}
}  // namespace

void InstallSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void BlockSignals(bool block) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

bool Interrupted() { return g_signals != 0; }
int SignalCount() { return static_cast<int>(g_signals); }

void Nap(uint32_t ms) {
    // nanosleep returns early (EINTR) when a signal is handled on this thread.
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    if (!Interrupted()) nanosleep(&t, nullptr);
}

// ---- The reader -------------------------------------------------------------

namespace {
// Read by the emulated device's platform-support library (libvyrplatsupp.so)
// at every schedule start.
constexpr char kRadioBlockedFileVariable[] = "ULMOT_RADIO_BLOCKED_FILE";

// A schedule start asks the platform-support library, in this process
// (whatever reader it talks to), whether radio access is blocked; the
// emulated device's library answers from the file the variable names. Set
// while the process has no other thread yet: setenv is not thread-safe.
void UseRadioBlockedFile(const Options &options) {
    const auto path = options.Value(kRadioBlockedFile);
    if (!path) return;
    if (path->empty()) Fail(kUsage, std::string("--") + kRadioBlockedFile + " needs a path");
    if (setenv(kRadioBlockedFileVariable, path->c_str(), 1) != 0) {
        Fail(kFailed, std::string("cannot set ") + kRadioBlockedFileVariable + ": " + std::strerror(errno));
    }
}

void InitPoolsOnce() {
    static bool done = false;
    if (!done) {
        streams_buf_init();
        done = true;
    }
}
// A malformed address is the user's to fix (exit 2), before anything is
// tried: tcp:HOST:PORT with a port from 1 to 65535, or unix:PATH.
void CheckAddress(const std::string &address) {
    const std::string hint = " (expected tcp:HOST:PORT or unix:/path)";
    if (address.rfind("unix:", 0) == 0) {
        if (address.size() == 5) Fail(kUsage, "'" + address + "' names no socket path" + hint);
        return;
    }
    if (address.rfind("tcp:", 0) != 0) Fail(kUsage, "cannot use address '" + address + "'" + hint);
    const size_t colon = address.rfind(':');
    if (colon <= 4) Fail(kUsage, "'" + address + "' lacks a host or a port" + hint);
    WholeNumber(address.substr(colon + 1), "the port of '" + address + "'", 1, 65535);
}

}  // namespace

Reader::Reader(const Options &options) {
    UseRadioBlockedFile(options);
    InitPoolsOnce();
    // The library's threads are created below; with the signals blocked they
    // inherit the block, and Ctrl-C always lands on the main thread.
    BlockSignals(true);
    if (options.Value("capture") == "") Fail(kUsage, "--capture needs a file");
    try {
        capture_ = std::make_unique<tools::CaptureFile>(options.Value("capture").value_or(""),
                                                        [](const std::string &text) {
                                                            std::fprintf(stderr, "ulmot: %s\n", text.c_str());
                                                        });
        if (auto address = options.Value("connect")) {
            address_ = *address;
            CheckAddress(address_);
            const uint64_t timeoutMs = options.Milliseconds("timeout", 3000);
#ifdef ULMOT_TOOL_SOCKETS
            socket_ = utr_SocketConnect(address_.c_str(), static_cast<uint32_t>(std::min<uint64_t>(timeoutMs, 3600000)));
            if (socket_ == nullptr) {
                // The transport's reason may begin with the address already.
                std::string reason = utr_SocketLastError();
                if (reason.rfind(address_ + ": ", 0) == 0) reason.erase(0, address_.size() + 2);
                Fail(kNoReader, "no reader at " + address_ + ": " + reason);
            }
            capture_->Attach(socket_);
            const int32_t r = ulmot_CreateClientProcessor(socket_, "ulmot-cli", &client_);
            if (r != 0) {
                Close();
                Fail(r == -7 ? kFailed : kNoReader,
                     "connected to " + address_ + ", but no reader answered the registration: " + ResultText(r));
            }
#else
            (void)timeoutMs;
            Fail(kNoReader, "cannot reach " + address_ + ": this build of ulmot has no socket transport");
#endif
        } else {
            uemu_Config config;
            uemu_ConfigInit(&config);
            tags_ = config.tagCount = options.Unsigned("tags", config.tagCount, 0, UEMU_MAX_TAGS);
            seed_ = config.tagSeed = options.Unsigned("seed", config.tagSeed, 0, 0xFFFFFFFFu);
            config.tagRate = options.Unsigned("rate", config.tagRate, 1, 100000);
            emulator_ = uemu_Create(&config);
            if (emulator_ == nullptr) Fail(kFailed, "cannot create the embedded reader");
            pair_ = utr_MemoryPairCreate("ulmot-cli", "embedded-reader", 0);
            if (pair_ == nullptr) {
                Close();
                Fail(kFailed, "cannot create the in-memory link to the embedded reader");
            }
            // A command ends by destroying its client: without a slice, that
            // waits for the session's receive (800 ms) on a link gone quiet.
            utr_MemorySetReceiveSlice(pair_, kEmbeddedReceiveSliceMs);
            if (uemu_Attach(emulator_, utr_MemoryEndpoint(pair_, UTR_SIDE_B), nullptr, nullptr) != UEMU_OK) {
                Close();
                Fail(kFailed, "cannot attach the embedded reader to its link");
            }
            capture_->Attach(utr_MemoryEndpoint(pair_, UTR_SIDE_A));
            const int32_t r = ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "ulmot-cli", &client_);
            if (r != 0) {
                Close();
                Fail(kFailed, "the embedded reader did not take the client: " + ResultText(r));
            }
        }
    } catch (...) {
        BlockSignals(false);
        throw;
    }
    BlockSignals(false);
}

Reader::~Reader() { Close(); }

void Reader::Close() {
    if (client_ != nullptr) ulmot_DestroyClientProcessor(client_);
    client_ = nullptr;
    if (emulator_ != nullptr) uemu_Destroy(emulator_);
    emulator_ = nullptr;
    if (pair_ != nullptr) utr_MemoryPairDestroy(pair_);
    pair_ = nullptr;
#ifdef ULMOT_TOOL_SOCKETS
    if (socket_ != nullptr) utr_SocketDestroy(socket_);
#endif
    socket_ = nullptr;
    capture_.reset();
}

void Reader::Attach(std::initializer_list<uint32_t> objectTypes) {
    for (uint32_t type : objectTypes) {
        if (ulmot_AttachDefaultObjectProcessor(client_, type, 0, 0) != 0) {
            if (!LinkUp()) Fail(kNoReader, "lost the link to " + Describe());
            Fail(kRefused, "the reader has no processor for object type " + std::to_string(type) +
                               " (or did not answer the search)");
        }
    }
}

bool Reader::LinkUp() const { return ulmot_GetClientSession(client_) != nullptr; }

std::string Reader::Describe() const {
    if (embedded()) {
        return "embedded reader (" + std::to_string(tags_) + " tags, seed " + std::to_string(seed_) + ")";
    }
    return address_;
}

namespace {
using SteadyClock = std::chrono::steady_clock;
// A streaming command's main loop: drain and look around this often.
constexpr uint32_t kTickMs = 50;
}  // namespace

int Stream(Reader &reader, uint64_t durationMs, const std::function<void()> &drain,
           const std::function<void(uint64_t elapsedMs)> &tick) {
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

// ---- JSON -------------------------------------------------------------------

namespace {
// A Decimals() number in the JSON text: a string that begins with a NUL,
// which no other string of the tool holds (they come from C strings).
const std::string kDecimalsMark = "\"\\u0000";
}  // namespace

Json Decimals(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return std::string(1, '\0') + buffer;
}

std::string JsonText(const Json &json) {
    // Text that is not UTF-8 (a reader's strings may be anything) is written
    // as U+FFFD rather than refused.
    std::string text = json.dump(-1, ' ', false, Json::error_handler_t::replace);
    for (size_t at = text.find(kDecimalsMark); at != std::string::npos; at = text.find(kDecimalsMark, at)) {
        const size_t digits = at + kDecimalsMark.size();
        const size_t end = text.find('"', digits);
        const std::string number = text.substr(digits, end - digits);
        text.replace(at, end + 1 - at, number);
    }
    return text;
}

void PrintJson(const Json &json) {
    std::printf("%s\n", JsonText(json).c_str());
    std::fflush(stdout);
}

}  // namespace cli
