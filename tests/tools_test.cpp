// The tools as a user runs them: `ulmot` against its embedded reader and
// against ulmot-readerd, and the daemon with two clients at once over TCP and
// Unix, one of which reconnects by itself when the daemon comes back. Waits
// are on output or on a process's end; the tools' own tests of what a tag
// holds belong to the object families' suite.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support.h"

namespace {

using namespace ulmot::test;
using testing::Not;

// Starts `args` with stdout and stderr on the descriptors given, and with
// `env` ("NAME=value") before this process's environment.
// Nothing is allocated after the fork: other threads may hold the heap's lock.
pid_t Spawn(std::vector<std::string> args, int out, int err, std::vector<std::string> env = {}) {
    std::vector<char *> argv, envp;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string &e : env) envp.push_back(e.data());
    for (char **e = environ; *e != nullptr; ++e) envp.push_back(*e);
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

// Waits for `pid` to end: its exit code, or 128 + the signal that ended it.
int Reap(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Outcome {
    int code = -1;
    std::string out, err;
};

// Runs `args` (the program first; `env` goes before the environment).
// `onOutput` sees stdout as it grows and returns a signal to send to the
// program (once), -1 to close its stdout, or 0.
Outcome Launch(const std::vector<std::string> &args, const std::function<int(const std::string &)> &onOutput = {},
               std::vector<std::string> env = {}) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
    const pid_t pid = Spawn(args, out[1], err[1], std::move(env));
    close(out[1]);
    close(err[1]);
    Outcome o;
    bool signalled = false;
    for (const auto start = Clock::now(); out[0] >= 0 || err[0] >= 0;) {
        pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        poll(p, 2, 100);
        for (int i = 0; i < 2; ++i) {
            char buffer[65536];
            const ssize_t n = p[i].fd >= 0 && p[i].revents != 0 ? read(p[i].fd, buffer, sizeof buffer) : 1;
            if (n <= 0) close(std::exchange(i == 0 ? out[0] : err[0], -1));
            if (n > 0 && p[i].revents != 0) (i == 0 ? o.out : o.err).append(buffer, static_cast<size_t>(n));
        }
        const int what = onOutput && !signalled && out[0] >= 0 ? onOutput(o.out) : 0;
        if (what == -1) close(std::exchange(out[0], -1));
        if (what > 0) kill(pid, what);
        signalled = signalled || what != 0;
        if (MsSince(start) > 90000) kill(pid, SIGKILL);  // a hang guard only
    }
    o.code = Reap(pid);
    return o;
}

// The tool with `args` (and `env` before the environment).
Outcome Ulmot(std::vector<std::string> args, const std::function<int(const std::string &)> &onOutput = {},
              std::vector<std::string> env = {}) {
    args.insert(args.begin(), ULMOT_CLI_PATH);
    return Launch(args, onOutput, std::move(env));
}

std::string Joined(const std::vector<std::string> &args) {
    std::string s;
    for (const std::string &a : args) s += (s.empty() ? "" : " ") + ("'" + a + "'");
    return s.empty() ? "no arguments" : s;
}

int LineCount(const std::string &text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }
Lines Split(const std::string &text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Every line is one JSON object, whole.
void ExpectWholeObjects(const Outcome &o) {
    for (const std::string &l : Split(o.out)) EXPECT_TRUE(l.size() > 2 && l[0] == '{' && l.back() == '}') << l;
}

// ulmot-readerd with `args`, its log in a file, and the addresses it listens
// on once its port file lists them.
struct Daemon {
    Daemon(const std::string &dir, std::vector<std::string> args, size_t listeners)
        : portFile(dir + "/ports"), log(dir + "/readerd" + std::to_string(listeners) + ".log") {
        std::filesystem::remove(portFile);
        args.insert(args.begin(), {ULMOT_READERD_PATH, "--port-file", portFile});
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid = Spawn(args, fd, fd);
        close(fd);
        EXPECT_TRUE(WaitUntil([&] { return (addresses = Split(Text(portFile))).size() == listeners; }, 20000)) << Log();
    }
    ~Daemon() { Stop(SIGKILL); }
    // Signals the daemon and waits for its end: its exit code.
    int Stop(int sig) { return pid > 0 && kill(pid, sig) == 0 ? Reap(std::exchange(pid, 0)) : -1; }
    static std::string Text(const std::string &path) {
        std::ifstream in(path);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::string Log() const { return Text(log); }

    std::string portFile, log;
    pid_t pid = 0;
    std::vector<std::string> addresses;
};

class Tools : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        char dir[] = "/tmp/ulmot-tools-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        std::filesystem::remove_all(dir_);
        PoolTest::TearDown();
    }
    std::string dir_;
};

TEST_F(Tools, EachCommandSaysWhatItDidOrWhyItFailedWithItsExitCode) {
    struct Row {
        std::vector<std::string> args;
        int code;
        std::string out, err;  // texts the output holds
    };
    const std::vector<Row> rows = {
        {{"info", "--json"}, 0, "\"versions\":[\"uemu reader 1.0.0\",", ""},
        {{"info"}, 0, "31.5 dBm", ""},
        {{"read", "--json", "--tags", "8", "--seed", "6", "--epc", "0", "--bank", "tid"}, 0, "\"bank\":\"tid\"", ""},
        {{"write-user", "--json", "--tags", "8", "--seed", "6", "--epc", "0", "--offset", "5", "--data", "CAFE F00D",
          "--verify"},
         0, "\"verified\":true,\"read_back\":\"CAFEF00D\"", ""},
        {{"write-user", "--tags", "8", "--seed", "6", "--epc", "0", "--offset", "31", "--data", "00010002"}, 1, "",
         "memory overrun"},
        {{"read", "--tags", "5", "--epc", "FFFFFFFFFFFFFFFF"}, 1, "", "no tag"},
        {{"gpio", "get", "--json"}, 0, "{\"line\":\"out4\",\"direction\":\"output\",\"number\":4,\"state\":0}", ""},
        {{"gpio", "set", "2", "1", "--json"}, 0, "{\"line\":\"out2\",\"direction\":\"output\",\"number\":2,\"state\":1,\"was\":0}",
         ""},
        {{"gpio", "watch", "--json", "--duration", "0.8"}, 0, "{\"line\":\"in1\",\"direction\":\"input\",\"number\":1,\"state\":1,",
         ""},
        {{"log", "--json", "--duration", "0.3"}, 0, "\"text\":\"embedded reader (50 tags, seed 1): text log started\"}", ""},
        {{}, 2, "", "usage: ulmot"},
        {{"inventory", "--reads", "--help"}, 0, "usage: ulmot inventory", ""},  // --help wins, even as a value
        {{"read", "--bogus", "-h"}, 0, "usage: ulmot read", ""},
        {{"frobnicate"}, 2, "", "unknown command 'frobnicate'"},
        {{"inventory", "--bogus"}, 2, "", "unknown option '--bogus' for 'inventory'\nTry 'ulmot inventory --help'."},
        {{"inventory", "--reads", "0"}, 2, "", "--reads must be a whole number from 1 to 65535, not '0'"},
        {{"inventory", "--connect", "nowhere"}, 2, "", "tcp:HOST:PORT"},
        {{"inventory", "--connect", "tcp:127.0.0.1:1", "--tags", "5"}, 2, "", "embedded reader"},
        {{"gpio", "set", "2", "7"}, 2, "", "the value"},
        {{"inventory", "--connect", "tcp:127.0.0.1:1"}, 3, "", "tcp:127.0.0.1:1: connection refused"},
        {{"info", "--connect", "unix:/nonexistent/ulmot.sock"}, 3, "", "unix:/nonexistent/ulmot.sock: no such socket file"},
        {{"inventory", "--radio-blocked-file", ""}, 2, "", "--radio-blocked-file needs a path"},
        {{"info", "--radio-blocked-file", "/tmp"}, 2, "", "unknown option '--radio-blocked-file' for 'info'"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args.empty() ? "no arguments" : row.args[0] + " " + (row.args.size() > 1 ? row.args[1] : ""));
        const Outcome o = Ulmot(row.args);
        EXPECT_EQ(o.code, row.code) << o.err;
        EXPECT_THAT(o.out, HasSubstr(row.out));
        EXPECT_THAT(o.err, HasSubstr(row.err));
        EXPECT_THAT(o.err, Not(HasSubstr("Failed to load library"))) << "the platform library is beside libulmot";
        if (row.code >= 2) {
            EXPECT_EQ(o.out, "") << "failures print nothing on stdout";
        }
        if (std::count(row.args.begin(), row.args.end(), "--json") != 0) ExpectWholeObjects(o);
    }
}

// A bad command line: exit 2, nothing on stdout, and on stderr the first
// problem in the words the tool has always used. The first problem is the
// first of the command line's shape (an unknown option, a missing value, a
// repeated option) wherever it stands, then --connect beside an option of
// the embedded reader, then the values in the order the command reads them.
TEST_F(Tools, ABadCommandLineIsRefusedAtItsFirstProblemInTheSameWords) {
    struct Row {
        std::vector<std::string> args;
        std::string message;  // after "ulmot COMMAND: "
    };
    std::vector<Row> rows;
    // What each command needs besides the option under test.
    const std::vector<std::pair<std::string, std::vector<std::string>>> commands = {
        {"inventory", {"--reads", "5"}}, {"info", {}},           {"read", {"--epc", "0"}},
        {"write-user", {"--epc", "0", "--offset", "1", "--data", "CAFE"}}, {"gpio", {"get", "1"}},
        {"log", {"--duration", "0.3"}},
    };
    for (const auto &[command, rest] : commands) {
        auto row = [&](std::vector<std::string> before, std::vector<std::string> after, std::string message) {
            std::vector<std::string> args = {command};
            args.insert(args.end(), before.begin(), before.end());
            args.insert(args.end(), rest.begin(), rest.end());
            args.insert(args.end(), after.begin(), after.end());
            rows.push_back({args, message});
        };
        row({"--bogus=1"}, {}, "unknown option '--bogus=1' for '" + command + "'");
        row({}, {"--connect"}, "--connect needs a value");
        row({"--tags", "1", "--tags", "2"}, {}, "--tags is given twice");
        row({"--connect", "tcp:127.0.0.1:1", "--seed", "5"}, {}, "--seed sets up the embedded reader; it cannot go with --connect");
        row({"--tags", "0x10"}, {}, "--tags must be a whole number from 0 to 10000, not '0x10'");
        row({"--tags="}, {}, "--tags must be a whole number from 0 to 10000, not ''");  // empty: not the next one
        row({"--connect", "tcp:h:0"}, {}, "the port of 'tcp:h:0' must be a whole number from 1 to 65535, not '0'");
        row({"--connect=nowhere"}, {}, "cannot use address 'nowhere' (expected tcp:HOST:PORT or unix:/path)");
        row({"--connect", "tcp:127.0.0.1:1", "--timeout", "1e3"}, {},
            "--timeout takes seconds above 0 (e.g. 5 or 0.5), not '1e3'");
        // Which problem comes first.
        row({"--connect", "a", "--connect", "b", "--bogus"}, {}, "--connect is given twice");
        row({"--bogus", "--connect", "a", "--connect", "b"}, {}, "unknown option '--bogus' for '" + command + "'");
        row({"--connect", "x", "--tags", "1", "--seed", "y"}, {}, "--tags sets up the embedded reader; it cannot go with --connect");
        if (command != "gpio") {
            row({"--", "--json"}, {}, command + " takes no argument '--'");  // a bare -- is an argument
            row({"-x", "--tags", "x"}, {}, command + " takes no argument '-x'");
        }
    }
    const std::vector<Row> own = {
        {{"inventory", "--reads", "0", "--duration", "x"}, "--duration takes seconds above 0 (e.g. 5 or 0.5), not 'x'"},
        {{"inventory", "--antennas", "1,1"}, "--antennas names antenna 1 twice"},
        {{"inventory", "--reads", "3", "--antennas", "9"}, "--antennas names antenna 9, but the reader has 4"},
        {{"inventory", "--filter", "--json=1"}, "--filter must be hex digits, not '--json=1'"},  // a value, whatever it looks like
        {{"read", "--bank", "x"}, "read needs --epc HEX (the EPC, or the first hex digits of it)"},
        {{"read", "--epc", "0", "--offset", "y", "--bank", "x"}, "--bank must be epc, tid, user or reserved, not 'x'"},
        {{"read", "--epc", "0", "--words", "256"}, "--words must be a whole number from 0 to 255, not '256'"},
        {{"write-user", "--data", "zz", "--epc", "0"}, "write-user needs --offset W (the first user word to write)"},
        {{"write-user", "--epc", "0", "--offset", "1"}, "write-user needs --data HEX (whole 16-bit words)"},
        {{"write-user", "--epc", "0", "--offset", "1", "--data", "AB"},
         "--data must be whole 16-bit words (a multiple of 4 hex digits)"},
        {{"gpio", "--json"}, "gpio needs get, set or watch"},
        {{"gpio", "get", "1", "2"}, "gpio get takes at most one line"},
        {{"gpio", "get", "in9"}, "input line 9 does not exist: the reader has 4"},
        {{"gpio", "get", "--duration", "1"}, "--duration goes with gpio watch only"},
        {{"log", "extra", "--duration", "x"}, "log takes no argument 'extra'"},
    };
    rows.insert(rows.end(), own.begin(), own.end());
    for (const Row &row : rows) {
        SCOPED_TRACE(Joined(row.args));
        const Outcome o = Ulmot(row.args);
        EXPECT_EQ(o.code, 2);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, "ulmot " + row.args[0] + ": " + row.message + "\nTry 'ulmot " + row.args[0] + " --help'.\n");
    }
}

// The daemon reads its numbers as decimal: leading zeros, a plus sign and
// leading spaces included.
TEST_F(Tools, TheDaemonReadsItsNumbersAsDecimal) {
    Daemon d(dir_, {"--tcp", "127.0.0.1:0", "--tags=010", "--epc-bits", "0032", "--antennas", " 10", "--seed", "+3"}, 1);
    EXPECT_EQ(d.Stop(SIGTERM), 0);
    EXPECT_THAT(d.Log(), HasSubstr("reader with 10 tags (seed 3, 32-bit EPC), 10 antennas, 500 tags/s"));
}

TEST_F(Tools, StreamingCommandsEndCleanlyAtTheirLimitOnSigintOrWhenThePipeCloses) {
    struct Row {
        std::vector<std::string> args;
        int action;  // a signal, -1: close the pipe, 0: none
        int after;   // lines
        std::string end;
    };
    const std::vector<Row> rows = {
        {{"inventory", "--tags", "30", "--reads", "300"}, 0, 0, "read limit reached"},  // JSON on a pipe
        {{"inventory", "--json", "--rate", "20000", "--tags", "500"}, SIGINT, 500, "interrupted"},
        {{"inventory", "--json"}, -1, 1, "output closed"},
        {{"log", "--json"}, SIGINT, 1, ""},
        {{"gpio", "watch", "--json"}, SIGTERM, 1, ""},
        {{"log", "--json"}, -1, 1, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args[0] + " " + std::to_string(row.action));
        const Outcome o = Ulmot(row.args, [&](const std::string &out) { return LineCount(out) < row.after ? 0 : row.action; });
        EXPECT_EQ(o.code, 0) << o.err;
        if (row.action != -1) ExpectWholeObjects(o);  // a closed pipe cuts the last line read
        if (row.end.empty()) continue;
        EXPECT_THAT(o.err, HasSubstr("\"end\":\"" + row.end + "\"}}"));
        if (row.action == -1) continue;
        EXPECT_THAT(o.err, HasSubstr(",\"reads\":" + std::to_string(LineCount(o.out)) + ",")) << "every read printed";
        for (int i = 0; i < (row.action == 0 ? 300 : 0); ++i) {  // none lost: the reader's order
            EXPECT_THAT(Split(o.out).at(size_t(i)), testing::StartsWith("{\"epc\":\""));
            EXPECT_THAT(Split(o.out).at(size_t(i)), HasSubstr(",\"seq\":" + std::to_string(i + 1) + ","));
        }
    }
}

TEST_F(Tools, TheDaemonServesClientsAtOnceOverTcpAndUnixAndStopsOnSigterm) {
    Daemon d(dir_, {"--tcp", "127.0.0.1:0", "--unix", dir_ + "/r.sock", "--tags", "20", "--seed", "9"}, 2);
    ASSERT_EQ(d.addresses.at(1), "unix:" + dir_ + "/r.sock");
    Outcome info, second;
    const Outcome first = Ulmot({"inventory", "--connect", d.addresses.at(0), "--json"}, [&](const std::string &out) {
        if (LineCount(out) < 10) return 0;
        // While the first runs its schedule: another client, and one whose
        // start the reader refuses (one schedule runs at a time).
        info = Ulmot({"info", "--connect", d.addresses.at(1), "--json"});
        second = Ulmot({"inventory", "--connect", d.addresses.at(1), "--reads", "5"});
        return SIGINT;
    });
    EXPECT_EQ(first.code, 0) << first.err;
    EXPECT_THAT(first.err, HasSubstr("\"lost\":0,\"dropped\":0,\"gaps\":0,\"end\":\"interrupted\"}}"));
    EXPECT_EQ(info.code, 0) << info.err;
    EXPECT_THAT(info.out, HasSubstr("{\"reader\":\"" + d.addresses.at(1) + "\","));
    EXPECT_EQ(second.code, 4);
    EXPECT_THAT(second.err, HasSubstr("starting the schedule (is another schedule running on the reader?): "
                                      "the reader's result 7 (refused)"));
    // What one run sets, the next one reads.
    EXPECT_EQ(Ulmot({"gpio", "set", "3", "1", "--connect", d.addresses.at(1)}).code, 0);
    EXPECT_THAT(Ulmot({"gpio", "get", "out3", "--json", "--connect", d.addresses.at(0)}).out, HasSubstr("\"state\":1}"));
    EXPECT_EQ(d.Stop(SIGTERM), 0);
    EXPECT_THAT(d.Log(), HasSubstr("client 1 connected from tcp:127.0.0.1:"));
    EXPECT_THAT(d.Log(), HasSubstr("client 2 connected from unix:"));
    EXPECT_THAT(d.Log(), HasSubstr("stopped"));
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/r.sock")) << "the socket file is removed";
    EXPECT_FALSE(std::filesystem::exists(d.portFile)) << "the port file is removed";
}

TEST_F(Tools, ClientsLoseTheDaemonAndReconnectWhenItIsBackTheInventoryGoingOn) {
    auto first = std::make_unique<Daemon>(dir_, std::vector<std::string>{"--tcp", "127.0.0.1:0"}, 1);
    const std::string address = first->addresses.at(0);
    Transport *t = utr_SocketConnect(address.c_str(), 5000);
    ASSERT_NE(t, nullptr) << utr_SocketLastError();
    ClientProcessor *client = nullptr;
    ASSERT_EQ(ulmot_CreateClientProcessor(t, "faithful", &client), 0);
    ASSERT_EQ(ulmot_AttachDefaultObjectProcessor(client, ULMOT_OBJ_ANTENNA, 0, 0), 0);
    uint8_t antennas = 0;
    EXPECT_EQ(ulmot_GetAntennaCount(client, &antennas), 0);
    EXPECT_EQ(antennas, 4);
    // With --no-resume, a streaming inventory that loses its reader ends with exit 3.
    int stopped = -1;
    const Outcome o = Ulmot({"inventory", "--connect", address, "--json", "--no-resume"}, [&](const std::string &out) {
        if (LineCount(out) >= 20) stopped = first->Stop(SIGTERM);
        return LineCount(out) >= 20 ? SIGCONT : 0;
    });
    EXPECT_EQ(stopped, 0);
    EXPECT_EQ(o.code, 3) << o.err;
    EXPECT_THAT(o.err, HasSubstr("lost the link to " + address));
    ExpectWholeObjects(o);
    first.reset();
    LogCapture quiet;  // the client's lines while it reconnects
    Daemon second(dir_, {"--tcp", address.substr(4), "--antennas", "2"}, 1);
    EXPECT_TRUE(WaitUntil([&] { return ulmot_GetAntennaCount(client, &antennas) == 0 && antennas == 2; }, 20000))
        << second.Log();
    ulmot_DestroyClientProcessor(client);
    utr_SocketDestroy(t);

    // Without it, the inventory waits for its reader, makes its run again on
    // the new session and goes on; the summary counts the gap.
    std::unique_ptr<Daemon> third;
    int lostAt = 0;
    const Outcome resumed = Ulmot({"inventory", "--connect", address, "--json"}, [&](const std::string &out) {
        if (lostAt == 0 && LineCount(out) >= 20) {
            lostAt = LineCount(out);
            EXPECT_EQ(second.Stop(SIGTERM), 0);
            third = std::make_unique<Daemon>(dir_, std::vector<std::string>{"--tcp", address.substr(4)}, 1);
        }
        return lostAt != 0 && LineCount(out) >= lostAt + 20 ? SIGINT : 0;
    });
    EXPECT_EQ(resumed.code, 0) << resumed.err;
    EXPECT_THAT(resumed.err, HasSubstr("ulmot: lost the link to " + address + "; waiting for it to come back"));
    EXPECT_THAT(resumed.err, HasSubstr("ulmot: the link to " + address + " is back after "));
    EXPECT_THAT(resumed.err, HasSubstr("\"gaps\":1,\"end\":\"interrupted\"}}"));
    // The run made again numbers its reports from 1.
    const Lines lines = Split(resumed.out);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string &l) { return l.find("\"seq\":1,") != std::string::npos; }), 2);
    ExpectWholeObjects(resumed);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->Stop(SIGTERM), 0);
}

}  // namespace
