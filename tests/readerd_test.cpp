// ulmot-readerd as a subprocess: two library clients at once over TCP and
// over a Unix socket, each registering, counting antennas and running an
// inventory whose reports must be exactly the tag field the daemon's options
// describe; a client that reconnects by itself after the daemon restarted on
// its port; clean exits on SIGTERM and SIGINT; argument errors.
#include <gmock/gmock.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>

#include "session_support.h"
#include "socket_support.h"
#include "uemu.h"
#include "ulmot.h"

extern char **environ;

namespace {

using namespace ulmot::test;
using testing::HasSubstr;

bool WaitUntilTrue(const std::function<bool()> &done, int ms = 10000) {
    for (int waited = 0; !done(); waited += 5) {
        if (waited > ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string ReadFile(const std::string &path) {
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The daemon, started with `args`; its stderr and stdout go to files.
class Daemon {
public:
    Daemon(const std::string &dir, std::vector<std::string> args, const std::string &tag = "d")
        : log_(dir + "/" + tag + ".log"), out_(dir + "/" + tag + ".out") {
        std::vector<std::string> all = {ULMOT_READERD_PATH};
        for (auto &a : args) all.push_back(a);
        std::vector<char *> argv;
        for (auto &a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Daemon() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // The exit status once the daemon has ended (a generous bound), or -1.
    int Exit(int ms = 15000) {
        for (int waited = 0; waited <= ms; waited += 5) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }
    void Signal(int sig) { kill(pid_, sig); }
    std::string Log() const { return ReadFile(log_); }
    std::string Out() const { return ReadFile(out_); }
    bool LogShows(const std::string &text) {
        return WaitUntilTrue([&] { return Log().find(text) != std::string::npos; });
    }

private:
    pid_t pid_ = -1;
    std::string log_, out_;
};

// What a client's callbacks saw of its own inventory and schedule (the
// reader's objects are shared: another client's runs may be reported too).
struct Inventoried {
    std::mutex mu;
    uint8_t inventory = 0;
    uint8_t schedule = 0;
    std::vector<Bytes> epcs;
    std::vector<int> stops;
};

void OnReport(void *ctx, uint32_t, uint8_t instance, const TagReport *r) {
    auto *seen = static_cast<Inventoried *>(ctx);
    std::lock_guard<std::mutex> g(seen->mu);
    if (instance == seen->inventory) seen->epcs.emplace_back(r->data, r->data + r->dataLength);
}
void OnStop(void *ctx, uint32_t, uint32_t schedule, uint8_t reason) {
    auto *seen = static_cast<Inventoried *>(ctx);
    std::lock_guard<std::mutex> g(seen->mu);
    if (schedule == seen->schedule) seen->stops.push_back(reason);
}

// A library client over a socket: connect, register, attach.
struct SocketClient {
    Transport *transport = nullptr;
    ClientProcessor *client = nullptr;

    SocketClient(const std::string &address, const char *name) {
        transport = utr_SocketConnect(address.c_str(), 5000);
        EXPECT_NE(transport, nullptr) << utr_SocketLastError();
        if (transport == nullptr) return;
        EXPECT_EQ(ulmot_CreateClientProcessor(transport, name, &client), 0);
        for (uint32_t type : {ULMOT_OBJ_TAG_SELECTOR, ULMOT_OBJ_INVENTORY, ULMOT_OBJ_ANTENNA, ULMOT_OBJ_SCHEDULE}) {
            EXPECT_EQ(ulmot_AttachDefaultObjectProcessor(client, type, 0, 0), 0);
        }
    }
    ~SocketClient() {
        if (client != nullptr) ulmot_DestroyClientProcessor(client);
        utr_SocketDestroy(transport);
    }
    SocketClient(const SocketClient &) = delete;
    SocketClient &operator=(const SocketClient &) = delete;

    // -1 while the client has no session (it reconnects).
    int32_t AntennaCount(uint8_t &count) {
        Session *s = ulmot_GetClientSession(client);
        if (s == nullptr) return -1;
        return ulmot_GetInstanceCount(s, ulmot_GetClientProcessorID(client),
                                      UEMU_READER_PROCESSOR_ID, ULMOT_OBJ_ANTENNA, 1, &count);
    }

    // Runs one inventory pass on antenna 1 and returns the EPCs reported.
    // One schedule runs at a time on a reader: a start while another
    // client's runs is refused (7), and tried again.
    std::vector<Bytes> InventoryOnce() {
        Inventoried seen;
        uint8_t selector = 0, inventory = 0, schedule = 0;
        EXPECT_EQ(ulmot_AddTagSelectorSpecification(client, &selector, nullptr, 0), 0);
        EXPECT_EQ(ulmot_AddInventorySpecification(client, &inventory, 517, ULMOT_OBJ_ANTENNA, 1, 1, &selector, 1), 0);
        ScheduleEntry entry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory};
        ScheduleEntry *entries[] = {&entry};
        EXPECT_EQ(ulmot_AddScheduleSpecification(client, &schedule, entries, 1, 1, 1), 0);
        {
            std::lock_guard<std::mutex> g(seen.mu);
            seen.inventory = inventory;
            seen.schedule = schedule;
        }
        EXPECT_EQ(ulmot_RegisterInventoryEvents(client, nullptr, nullptr, OnReport, &seen), 0);
        EXPECT_EQ(ulmot_RegisterScheduleEvents(client, nullptr, OnStop, &seen), 0);
        int32_t started = -1;
        WaitUntilTrue([&] { return (started = ulmot_StartScheduleSpecification(client, schedule, 0)) != 7; }, 30000);
        EXPECT_EQ(started, 0);
        EXPECT_TRUE(WaitUntilTrue([&] {
            std::lock_guard<std::mutex> g(seen.mu);
            return !seen.stops.empty();
        }, 30000)) << "the schedule never stopped";
        // The callbacks' context dies here: switch them off first.
        ulmot_RegisterInventoryEvents(client, nullptr, nullptr, nullptr, nullptr);
        ulmot_RegisterScheduleEvents(client, nullptr, nullptr, nullptr);
        std::lock_guard<std::mutex> g(seen.mu);
        return seen.epcs;
    }
};

class ReaderDaemon : public PoolTest {
protected:
    // The addresses the daemon wrote to its port file, once it has.
    std::vector<std::string> Bound(const std::string &portFile) {
        std::vector<std::string> lines;
        EXPECT_TRUE(WaitUntilTrue([&] {
            struct stat st{};
            return stat(portFile.c_str(), &st) == 0;
        })) << "no port file";
        std::istringstream in(ReadFile(portFile));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // The EPCs of the field a reader with these options holds.
    std::set<Bytes> Field(uint32_t tags, uint32_t seed, uint16_t epcBits) {
        uemu_Config config;
        uemu_ConfigInit(&config);
        config.tagCount = tags;
        config.tagSeed = seed;
        config.epcBits = epcBits;
        config.presetInstances[8] = 3;
        uemu_Reader *reference = uemu_Create(&config);
        EXPECT_NE(reference, nullptr);
        std::set<Bytes> epcs;
        for (uint32_t i = 0; i < tags; ++i) {
            uemu_Tag t{};
            EXPECT_EQ(uemu_GetTag(reference, i, &t), UEMU_OK);
            epcs.insert(Bytes(t.epc, t.epc + t.epcLength));
        }
        uemu_Destroy(reference);
        return epcs;
    }

    TempDir dir_;
};

TEST_F(ReaderDaemon, ServesTwoClientsAtOnceOverTcpAndOverAUnixSocket) {
    const std::string portFile = dir_.Path() + "/ports";
    const std::string unixPath = dir_.Path() + "/reader.sock";
    Daemon d(dir_.Path(), {"--tcp", "127.0.0.1:0", "--unix", unixPath, "--tags", "23", "--seed", "7",
                           "--epc-bits", "128", "--antennas", "3", "--rate", "5000", "--port-file", portFile});
    const auto bound = Bound(portFile);
    ASSERT_EQ(bound.size(), 2u);
    EXPECT_THAT(bound[0], testing::StartsWith("tcp:127.0.0.1:"));
    EXPECT_EQ(bound[1], "unix:" + unixPath);
    const std::set<Bytes> field = Field(23, 7, 128);
    ASSERT_EQ(field.size(), 23u);
    EXPECT_EQ(field.begin()->size(), 16u);

    for (const std::string &address : bound) {
        SCOPED_TRACE(address);
        // Two clients, each on a thread of its own, at the same time.
        std::vector<uint8_t> ids(2), antennas(2);
        std::vector<std::vector<Bytes>> reports(2);
        std::vector<std::thread> threads;
        for (size_t k = 0; k < 2; ++k) {
            threads.emplace_back([&, k] {
                SocketClient c(address, k == 0 ? "first" : "second");
                ASSERT_NE(c.client, nullptr);
                ids[k] = ulmot_GetClientProcessorID(c.client);
                EXPECT_EQ(c.AntennaCount(antennas[k]), 0);
                reports[k] = c.InventoryOnce();
            });
        }
        for (auto &t : threads) t.join();
        EXPECT_NE(ids[0], ids[1]) << "each client is a processor of its own";
        for (size_t k = 0; k < 2; ++k) {
            EXPECT_GE(ids[k], UEMU_FIRST_CLIENT_ID);
            EXPECT_EQ(antennas[k], 3);
            EXPECT_EQ(std::set<Bytes>(reports[k].begin(), reports[k].end()), field) << "client " << k;
            EXPECT_EQ(reports[k].size(), field.size()) << "client " << k << ": each tag once";
        }
    }
    // Four clients came and went; each was seen going (the daemon notices
    // the two of a round in either order).
    for (const char *line : {"client 1 disconnected", "client 2 disconnected", "client 3 disconnected",
                             "client 4 disconnected"}) {
        EXPECT_TRUE(d.LogShows(line)) << line << "\n" << d.Log();
    }
    const std::string log = d.Log();
    for (const char *line : {"client 1 connected from tcp:127.0.0.1:", "client 3 connected from unix:"}) {
        EXPECT_THAT(log, HasSubstr(line));
    }
    // Every line starts with a time stamp.
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        ASSERT_GE(line.size(), 24u);
        EXPECT_TRUE(line[4] == '-' && line[10] == ' ' && line[13] == ':' && line[19] == '.') << line;
    }

    d.Signal(SIGTERM);
    EXPECT_EQ(d.Exit(), 0);
    struct stat st{};
    EXPECT_NE(stat(unixPath.c_str(), &st), 0) << "the socket file is removed";
    EXPECT_NE(stat(portFile.c_str(), &st), 0) << "the port file is removed";
}

TEST_F(ReaderDaemon, StopsCleanlyOnSigtermAndSigintWithClientsConnected) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        const std::string portFile = dir_.Path() + "/ports" + std::to_string(sig);
        Daemon d(dir_.Path(), {"--tcp", "127.0.0.1:0", "--port-file", portFile}, "d" + std::to_string(sig));
        const auto bound = Bound(portFile);
        ASSERT_EQ(bound.size(), 1u);
        SocketClient c(bound[0], "stays");
        ASSERT_NE(c.client, nullptr);
        uint8_t count = 0;
        EXPECT_EQ(c.AntennaCount(count), 0);
        EXPECT_EQ(count, 4) << "four antennas by default";
        d.Signal(sig);
        EXPECT_EQ(d.Exit(), 0) << d.Log();
        EXPECT_THAT(d.Log(), HasSubstr("client 1 disconnected"));
        EXPECT_THAT(d.Log(), HasSubstr("stopped"));
        // The client's session ends; its requests fail at once while it
        // tries to reconnect.
        EXPECT_TRUE(WaitUntilTrue([&] { return ulmot_GetClientSession(c.client) == nullptr; }));
        uint8_t value = 0;
        EXPECT_EQ(ulmot_GetPropertyInt8(c.client, ULMOT_OBJ_ANTENNA, 1, 4, &value), -1);
    }
}

TEST_F(ReaderDaemon, AClientReconnectsByItselfWhenTheDaemonIsBackOnItsPort) {
    const std::string portFile = dir_.Path() + "/ports";
    auto first = std::make_unique<Daemon>(dir_.Path(), std::vector<std::string>{"--tcp", "127.0.0.1:0", "--port-file", portFile}, "first");
    const auto bound = Bound(portFile);
    ASSERT_EQ(bound.size(), 1u);
    SocketClient c(bound[0], "faithful");
    ASSERT_NE(c.client, nullptr);
    uint8_t count = 0;
    ASSERT_EQ(c.AntennaCount(count), 0);

    testing::internal::CaptureStderr();
    first->Signal(SIGTERM);
    EXPECT_EQ(first->Exit(), 0);
    first.reset();
    const std::string port = bound[0].substr(bound[0].rfind(':') + 1);
    Daemon second(dir_.Path(), {"--tcp", "127.0.0.1:" + port, "--antennas", "2"}, "second");
    // The client's probe reconnects and registers again; requests work.
    const bool back = WaitUntilTrue([&] { return c.AntennaCount(count) == 0 && count == 2; }, 20000);
    const std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(back) << second.Log() << lines;
    EXPECT_TRUE(second.LogShows("client 1 connected")) << second.Log();
}

TEST_F(ReaderDaemon, ArgumentsAreCheckedBeforeAnythingStarts) {
    {
        Daemon help(dir_.Path(), {"--help"}, "help");
        EXPECT_EQ(help.Exit(), 0);
        EXPECT_THAT(help.Out(), HasSubstr("usage: ulmot-readerd"));
        EXPECT_THAT(help.Out(), HasSubstr("--port-file"));
    }
    const std::vector<std::vector<std::string>> bad = {
        {"--tags"},           {"--tags", "10001"},   {"--tags", "-1"},      {"--epc-bits", "100"},
        {"--epc-bits", "512"}, {"--antennas", "0"},  {"--antennas", "33"},  {"--rate", "0"},
        {"--seed", "x"},       {"--frobnicate"},     {"--tcp"},             {"--unix", ""},
        {"stray"}};
    int n = 0;
    for (const auto &args : bad) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        Daemon d(dir_.Path(), args, "bad" + std::to_string(n++));
        EXPECT_EQ(d.Exit(), 2);
        EXPECT_THAT(d.Log(), HasSubstr("ulmot-readerd: "));
    }
    // A well-formed address it cannot listen on is a failure to start; a
    // malformed one is a usage error.
    RawListener taken("tcp:127.0.0.1:0");
    Daemon busy(dir_.Path(), {"--tcp", taken.Address().substr(4)}, "busy");
    EXPECT_EQ(busy.Exit(), 1);
    EXPECT_THAT(busy.Log(), HasSubstr("address in use"));
    Daemon malformed(dir_.Path(), {"--tcp", "127.0.0.1"}, "malformed");
    EXPECT_EQ(malformed.Exit(), 2);
    EXPECT_THAT(malformed.Log(), HasSubstr("bad address"));
}

}  // namespace
