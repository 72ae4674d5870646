// ulmot-readerd: the emulated reader as a daemon. It listens on TCP and/or a
// Unix socket; every client that connects gets a link of its own to one
// emulated reader (its own processors, its own thread), so several clients
// share the reader's objects and tag field as they would share a device.
//
// Threads: one accept thread per listener attaches new connections; the main
// thread waits for a signal (self-pipe) and, five times a second, releases
// the connections whose client has gone (the emulator stops serving a link
// once its receive reports -11, and a server end never comes back). Shutdown
// wakes the accept threads, detaches every link and destroys the reader.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "capture_file.h"
#include "uemu.h"
#include "ulmot.h"
#include "utr.h"

namespace {

constexpr const char *kDefaultTcp = "127.0.0.1:5088";
// How often the main thread looks for clients that have gone.
constexpr int kReapIntervalMs = 200;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: ulmot-readerd [options]\n"
    "\n"
    "Runs an emulated reader that ulmot clients connect to over TCP and/or a\n"
    "Unix socket, several at once. Without --tcp or --unix it listens on\n"
    "tcp 127.0.0.1:5088. Stops cleanly on SIGINT or SIGTERM.\n"
    "\n"
    "  --tcp HOST:PORT      listen on TCP (port 0: any free port)\n"
    "  --unix PATH          listen on a Unix socket (a stale socket file is replaced)\n"
    "  --tags N             tags in the field, 0 to 10000 (default 50)\n"
    "  --seed S             seed of the tag population (default 1)\n"
    "  --epc-bits B         EPC length in bits, 16 to 496, a multiple of 16 (default 96)\n"
    "  --antennas N         antennas, 1 to 32 (default 4)\n"
    "  --rate TAGS_PER_S    tag reports per second of a running schedule, 1 to 100000 (default 500)\n"
    "  --port-file FILE     write the bound addresses there, one a line (e.g. tcp:127.0.0.1:40123)\n"
    "  --capture FILE       record every message of every client in FILE (pcapng), each client as an\n"
    "                       interface of its own named \"client N ADDRESS\" (see docs/DEBUGGING.md)\n"
    "  --help               show this text\n"
    "\n"
    "Logs go to stderr, one timestamped line each.\n";

std::mutex gLogLock;

// One timestamped line to stderr, written in one call.
void LogLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
void LogLine(const char *format, ...) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char line[1024];
    size_t n = strftime(line, sizeof line, "%Y-%m-%d %H:%M:%S", &local);
    n += static_cast<size_t>(
        std::snprintf(line + n, sizeof line - n, ".%03ld ", static_cast<long>(now.tv_nsec / 1000000)));
    va_list args;
    va_start(args, format);
    const int body = std::vsnprintf(line + n, sizeof line - n - 1, format, args);
    va_end(args);
    n = body < 0 ? n : std::min(sizeof line - 2, n + static_cast<size_t>(body));
    line[n++] = '\n';
    std::lock_guard<std::mutex> guard(gLogLock);
    ssize_t ignored = write(STDERR_FILENO, line, n);
    (void)ignored;
}

void EmulatorLog(void *, const char *line) { LogLine("%s", line); }

// ---- Options -------------------------------------------------------------------

struct Options {
    std::vector<std::string> addresses;  // "tcp:..." / "unix:..."
    uint32_t tags = 50;
    uint32_t seed = 1;
    uint32_t epcBits = 96;
    uint32_t antennas = 4;
    uint32_t rate = 500;
    std::string portFile;
    std::string capture;
};

// CLI11 parses in the order of the command line: each option is taken, and
// its value checked, where it stands, so the first problem on the command
// line is the one reported, and --help answers where it stands too.
//
// Two conventions of CLI11 that the daemon has never had are undone before
// the parse. argv cannot hold a NUL, so a NUL marks what CLI11 must leave
// alone; it comes out again of everything the parse hands back.
// - `--help=X` and `-hX` ask for help for CLI11; here they are unknown arguments.
// - `--name=` takes the next argument as its value for CLI11; here the value is empty.
std::string Marked(const std::string &arg) {
    if (arg.rfind("--help=", 0) == 0 || (arg.size() > 2 && arg.rfind("-h", 0) == 0)) return '\0' + arg;
    if (arg.rfind("--", 0) == 0 && arg.find('=') == arg.size() - 1) return arg + '\0';
    return arg;
}

std::string Unmarked(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    return text;
}

// "--tags: 'x' is not a number from 0 to 10000" (CLI11 puts the option's name
// before the complaint): a decimal number, leading spaces and a plus sign
// allowed. The text is left in canonical form for CLI11's conversion, which
// would read 010 as octal.
CLI::Validator NumberFrom(uint32_t low, uint32_t high) {
    return CLI::Validator(
        [low, high](std::string &text) -> std::string {
            text = Unmarked(text);
            char *end = nullptr;
            errno = 0;
            const unsigned long long v = text.empty() ? 0 : std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || errno != 0 || *end != '\0' || text[0] == '-' || v < low || v > high) {
                return "'" + text + "' is not a number from " + std::to_string(low) + " to " + std::to_string(high);
            }
            text = std::to_string(v);
            return {};
        },
        "UINT in [" + std::to_string(low) + " - " + std::to_string(high) + "]");
}

// 0: run; 1: --help was given; -1: bad arguments (the message is printed).
int ParseOptions(int argc, char **argv, Options &o) {
    CLI::App app;
    app.set_help_flag();  // its own, below: CLI11's answers only once the parse is over
    app.allow_extras();   // what CLI11 does not know is refused below
    app.add_flag_callback("-h,--help", [] { throw CLI::CallForHelp(); })->trigger_on_parse();
    app.add_option("--tags", o.tags)->transform(NumberFrom(0, UEMU_MAX_TAGS))->trigger_on_parse();
    app.add_option("--seed", o.seed)->transform(NumberFrom(0, UINT32_MAX))->trigger_on_parse();
    const CLI::Validator multipleOf16(  // "--epc-bits: 24 is not a multiple of 16"
        [](std::string &text) { return std::stoul(text) % 16 == 0 ? std::string() : text + " is not a multiple of 16"; },
        "a multiple of 16");
    app.add_option("--epc-bits", o.epcBits)->transform(NumberFrom(16, 496))->check(multipleOf16)->trigger_on_parse();
    app.add_option("--antennas", o.antennas)->transform(NumberFrom(1, UEMU_TAG_FIELD_ANTENNAS))->trigger_on_parse();
    app.add_option("--rate", o.rate)->transform(NumberFrom(1, 100000))->trigger_on_parse();
    // --tcp, --unix, --port-file and --capture take text that is not empty.
    auto nonEmpty = [](const std::string &name, std::function<void(const std::string &)> take) {
        return [name, take](const std::string &marked) {
            const std::string value = Unmarked(marked);
            if (value.empty()) throw CLI::ValidationError(name + " needs a value");
            take(value);
        };
    };
    for (const std::string kind : {"tcp", "unix"}) {
        app.add_option_function<std::string>(
               "--" + kind, nonEmpty("--" + kind, [&o, kind](const std::string &v) { o.addresses.push_back(kind + ":" + v); }))
            ->trigger_on_parse();
    }
    app.add_option_function<std::string>("--port-file",
                                         nonEmpty("--port-file", [&o](const std::string &v) { o.portFile = v; }))
        ->trigger_on_parse();
    app.add_option_function<std::string>("--capture",
                                         nonEmpty("--capture", [&o](const std::string &v) { o.capture = v; }))
        ->trigger_on_parse();

    std::vector<std::string> args;  // CLI11 takes them last first
    for (int i = argc - 1; i >= 1; --i) args.push_back(Marked(argv[i]));
    std::string problem;
    bool help = false;
    try {
        app.parse(std::move(args));
    } catch (const CLI::CallForHelp &) {
        help = true;
    } catch (const CLI::ArgumentMismatch &) {
        // CLI11 takes whatever follows an option as its value: only the last
        // argument can lack one.
        problem = std::string(argv[argc - 1]) + " needs a value";
    } catch (const CLI::ParseError &e) {
        problem = e.what();  // a value refused
    }
    // An argument CLI11 did not know came before whatever ended the parse.
    const std::vector<std::string> unknown = app.remaining();
    if (!unknown.empty()) problem = "unknown argument '" + Unmarked(unknown.front()) + "'";
    if (!problem.empty()) {
        std::fprintf(stderr, "ulmot-readerd: %s\nTry 'ulmot-readerd --help'.\n", problem.c_str());
        return -1;
    }
    if (help) return 1;
    if (o.addresses.empty()) o.addresses.push_back(std::string("tcp:") + kDefaultTcp);
    return 0;
}

// ---- Signals -------------------------------------------------------------------

int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    ssize_t ignored = write(gSignalPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

bool InstallSignals() {
    if (pipe2(gSignalPipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    if (sigaction(SIGINT, &sa, nullptr) != 0 || sigaction(SIGTERM, &sa, nullptr) != 0) return false;
    // Writes to a client that has gone, or to a closed stderr, must not kill us.
    signal(SIGPIPE, SIG_IGN);
    return true;
}

// ---- Clients -------------------------------------------------------------------

struct Client {
    unsigned id;
    Transport *transport;
    uemu_Link *link;
};

struct Daemon {
    uemu_Reader *reader = nullptr;
    tools::CaptureFile *capture = nullptr;
    std::mutex lock;
    std::vector<Client> clients;
    unsigned nextId = 1;
    bool stopping = false;
};

void AcceptLoop(Daemon *d, utr_SocketListener *listener) {
    for (;;) {
        Transport *t = utr_SocketAccept(listener, UTR_SOCKET_WAIT_FOREVER);
        std::lock_guard<std::mutex> guard(d->lock);
        if (d->stopping) {
            if (t != nullptr) utr_SocketDestroy(t);
            return;
        }
        if (t == nullptr) continue;  // a connection that failed as it came
        const unsigned id = d->nextId++;
        d->capture->Attach(t, "client " + std::to_string(id) + " " + t->name);
        uemu_Link *link = nullptr;
        const int32_t r = uemu_Attach(d->reader, t, nullptr, &link);
        if (r != UEMU_OK) {
            LogLine("ulmot-readerd: cannot serve %s (%d)", t->name, r);
            utr_SocketDestroy(t);
            continue;
        }
        d->clients.push_back({id, t, link});
        LogLine("ulmot-readerd: client %u connected from %s", id, t->name);
    }
}

// Releases the connections whose client has gone.
void ReapClients(Daemon *d) {
    std::vector<Client> gone;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        for (size_t i = 0; i < d->clients.size();) {
            if (uemu_LinkIsServing(d->reader, d->clients[i].link) != 1) {
                gone.push_back(d->clients[i]);
                d->clients.erase(d->clients.begin() + static_cast<long>(i));
            } else {
                ++i;
            }
        }
    }
    for (const Client &c : gone) {
        uemu_Detach(d->reader, c.link);
        LogLine("ulmot-readerd: client %u disconnected (%s)", c.id, c.transport->name);
        utr_SocketDestroy(c.transport);
    }
}

bool WritePortFile(const std::string &path, const std::vector<std::string> &bound) {
    const std::string temporary = path + ".tmp";
    FILE *f = std::fopen(temporary.c_str(), "w");
    if (f == nullptr) return false;
    for (const std::string &b : bound) std::fprintf(f, "%s\n", b.c_str());
    // Renamed into place complete, so a reader never sees half of it.
    return std::fclose(f) == 0 && std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    const int parsed = ParseOptions(argc, argv, o);
    if (parsed == 1) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (parsed < 0) return kExitUsage;
    if (!InstallSignals()) {
        LogLine("ulmot-readerd: cannot install signal handlers: %s", std::strerror(errno));
        return 1;
    }
    streams_buf_init();

    std::vector<utr_SocketListener *> listeners;
    std::vector<std::string> bound;
    auto closeListeners = [&] {
        for (utr_SocketListener *l : listeners) utr_SocketListenerDestroy(l);
    };
    for (const std::string &address : o.addresses) {
        utr_SocketListener *l = utr_SocketListen(address.c_str());
        if (l == nullptr) {
            const bool malformed = std::strncmp(utr_SocketLastError(), "bad address", 11) == 0;
            LogLine("ulmot-readerd: cannot listen on %s", utr_SocketLastError());
            closeListeners();
            return malformed ? kExitUsage : 1;
        }
        listeners.push_back(l);
        char text[256];
        utr_SocketListenerAddress(l, text, sizeof text);
        bound.emplace_back(text);
    }

    uemu_Config config;
    uemu_ConfigInit(&config);
    config.log = EmulatorLog;
    config.tagCount = o.tags;
    config.tagSeed = o.seed;
    config.epcBits = static_cast<uint16_t>(o.epcBits);
    config.presetInstances[8] = static_cast<uint8_t>(o.antennas);
    config.tagRate = o.rate;
    tools::CaptureFile capture(o.capture, [](const std::string &text) { LogLine("ulmot-readerd: %s", text.c_str()); });
    Daemon d;
    d.capture = &capture;
    d.reader = uemu_Create(&config);
    if (d.reader == nullptr) {
        LogLine("ulmot-readerd: cannot create the emulated reader");
        closeListeners();
        return 1;
    }
    LogLine("ulmot-readerd: reader with %u tags (seed %u, %u-bit EPC), %u antennas, %u tags/s", o.tags,
            o.seed, o.epcBits, o.antennas, o.rate);
    for (const std::string &b : bound) LogLine("ulmot-readerd: listening on %s", b.c_str());
    if (!o.portFile.empty() && !WritePortFile(o.portFile, bound)) {
        LogLine("ulmot-readerd: cannot write %s: %s", o.portFile.c_str(), std::strerror(errno));
        uemu_Destroy(d.reader);
        closeListeners();
        return 1;
    }

    std::vector<std::thread> acceptors;
    for (utr_SocketListener *l : listeners) acceptors.emplace_back(AcceptLoop, &d, l);

    int signalled = 0;
    while (signalled == 0) {
        pollfd p{gSignalPipe[0], POLLIN, 0};
        const int r = poll(&p, 1, kReapIntervalMs);
        if (r > 0) {
            signalled = 1;
        } else if (r < 0 && errno != EINTR) {
            LogLine("ulmot-readerd: poll failed: %s", std::strerror(errno));
            signalled = 1;
        }
        ReapClients(&d);
    }

    LogLine("ulmot-readerd: shutting down");
    {
        std::lock_guard<std::mutex> guard(d.lock);
        d.stopping = true;
    }
    for (utr_SocketListener *l : listeners) utr_SocketListenerWake(l);
    for (std::thread &t : acceptors) t.join();
    for (const Client &c : d.clients) {
        uemu_Detach(d.reader, c.link);
        LogLine("ulmot-readerd: client %u disconnected (%s)", c.id, c.transport->name);
        utr_SocketDestroy(c.transport);
    }
    d.clients.clear();
    uemu_Destroy(d.reader);
    closeListeners();
    if (!o.portFile.empty()) unlink(o.portFile.c_str());
    LogLine("ulmot-readerd: stopped");
    return 0;
}
