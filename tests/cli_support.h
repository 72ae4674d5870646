// tests/cli_support.h - runs the `ulmot` tool as a subprocess and reads what
// it prints: a runner with pipes (or a pseudo-terminal for stdout), a hang
// guard, and a small JSON parser for its output lines.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ulmot::cli_test {

// ---- JSON -------------------------------------------------------------------

// A parsed JSON value. Objects keep their keys; numbers are doubles.
struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> fields;

    bool Has(const std::string &key) const { return kind == kObject && fields.count(key) != 0; }
    const Json &operator[](const std::string &key) const {
        static const Json missing;
        auto it = fields.find(key);
        return it == fields.end() ? missing : it->second;
    }
    long long Int() const { return static_cast<long long>(number); }
};

// Parses exactly one JSON value that fills `text` (surrounding blanks
// allowed); nullopt for anything else, so a truncated or doubled line fails.
class JsonParser {
public:
    static std::optional<Json> Parse(const std::string &text) {
        JsonParser p(text);
        Json value;
        p.Blank();
        if (!p.Value(value)) return std::nullopt;
        p.Blank();
        if (p.at_ != text.size()) return std::nullopt;
        return value;
    }

private:
    explicit JsonParser(const std::string &text) : s_(text) {}
    void Blank() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) ++at_;
    }
    bool Literal(const char *word) {
        const size_t n = std::strlen(word);
        if (s_.compare(at_, n, word) != 0) return false;
        at_ += n;
        return true;
    }
    bool String(std::string &out) {
        if (at_ >= s_.size() || s_[at_] != '"') return false;
        ++at_;
        while (at_ < s_.size() && s_[at_] != '"') {
            char c = s_[at_++];
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c == '\\') {
                if (at_ >= s_.size()) return false;
                const char e = s_[at_++];
                switch (e) {
                case '"': case '\\': case '/': out += e; break;
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    if (at_ + 4 > s_.size()) return false;
                    const unsigned long code = std::strtoul(s_.substr(at_, 4).c_str(), nullptr, 16);
                    at_ += 4;
                    if (code > 0x7F) return false;  // the tool escapes control characters only
                    out += static_cast<char>(code);
                    break;
                }
                default: return false;
                }
            } else {
                out += c;
            }
        }
        if (at_ >= s_.size()) return false;
        ++at_;
        return true;
    }
    bool Number(double &out) {
        const size_t start = at_;
        if (at_ < s_.size() && s_[at_] == '-') ++at_;
        auto digits = [&] {
            const size_t from = at_;
            while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
            return at_ > from;
        };
        if (!digits()) return false;
        if (at_ < s_.size() && s_[at_] == '.') {
            ++at_;
            if (!digits()) return false;
        }
        out = std::strtod(s_.substr(start, at_ - start).c_str(), nullptr);
        return true;
    }
    bool Value(Json &v) {
        if (at_ >= s_.size()) return false;
        const char c = s_[at_];
        if (c == '{') {
            v.kind = Json::kObject;
            ++at_;
            Blank();
            if (at_ < s_.size() && s_[at_] == '}') return ++at_, true;
            for (;;) {
                std::string key;
                Blank();
                if (!String(key) || v.fields.count(key) != 0) return false;  // no duplicate keys
                Blank();
                if (at_ >= s_.size() || s_[at_++] != ':') return false;
                Blank();
                if (!Value(v.fields[key])) return false;
                Blank();
                if (at_ >= s_.size()) return false;
                if (s_[at_] == ',') { ++at_; continue; }
                if (s_[at_] == '}') return ++at_, true;
                return false;
            }
        }
        if (c == '[') {
            v.kind = Json::kArray;
            ++at_;
            Blank();
            if (at_ < s_.size() && s_[at_] == ']') return ++at_, true;
            for (;;) {
                v.items.emplace_back();
                Blank();
                if (!Value(v.items.back())) return false;
                Blank();
                if (at_ >= s_.size()) return false;
                if (s_[at_] == ',') { ++at_; continue; }
                if (s_[at_] == ']') return ++at_, true;
                return false;
            }
        }
        if (c == '"') {
            v.kind = Json::kString;
            return String(v.text);
        }
        if (Literal("true")) { v.kind = Json::kBool; v.boolean = true; return true; }
        if (Literal("false")) { v.kind = Json::kBool; return true; }
        if (Literal("null")) return true;
        v.kind = Json::kNumber;
        return Number(v.number);
    }

    const std::string &s_;
    size_t at_ = 0;
};

// ---- Running the tool ----------------------------------------------------------

struct Outcome {
    int exitCode = -1;  // -1: killed by a signal (see `signal`)
    int signal = 0;
    bool hung = false;  // the guard had to kill it
    std::string out, err;

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        size_t from = 0;
        for (size_t nl; (nl = out.find('\n', from)) != std::string::npos; from = nl + 1) lines.push_back(out.substr(from, nl - from));
        return lines;
    }
    std::string Describe() const {
        return "exit " + std::to_string(exitCode) + (hung ? " (hung: killed)" : "") + "\n--- stdout (first 2000 bytes):\n" +
               out.substr(0, 2000) + "\n--- stderr:\n" + err.substr(0, 4000);
    }
};

struct RunOptions {
    bool terminal = false;  // stdout on a pseudo-terminal instead of a pipe
    // Called whenever stdout grew; returns a signal to send to the tool (once), or 0.
    std::function<int(const std::string &out)> signalWhen;
    // Called whenever stdout grew; true closes the tool's stdout (a reader
    // that goes away, as `| head` does).
    std::function<bool(const std::string &out)> closeWhen;
    // A hang guard only: a tool that runs longer has hung and is killed. The
    // tests never judge how long anything took.
    int guardSeconds = 90;
};

inline Outcome RunTool(const std::vector<std::string> &args, const RunOptions &options = {}) {
    Outcome result;
    int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
    int master = -1, slave = -1;
    if (options.terminal) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return result;
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        if (slave < 0) return result;
    } else if (pipe(outPipe) != 0) {
        return result;
    }
    if (pipe(errPipe) != 0) return result;

    std::vector<std::string> argv = {ULMOT_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> raw;
    for (std::string &a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int outFd = options.terminal ? slave : outPipe[1];
        dup2(outFd, STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        // Default dispositions and no blocked signals, whatever the test runner has.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        execv(raw[0], raw.data());
        _exit(127);
    }
    const int outRead = options.terminal ? master : outPipe[0];
    if (options.terminal) {
        close(slave);
    } else {
        close(outPipe[1]);
    }
    close(errPipe[1]);

    const auto started = std::chrono::steady_clock::now();
    bool outOpen = true, errOpen = true, signalled = false, closedEarly = false;
    char buffer[65536];
    while (outOpen || errOpen) {
        pollfd fds[2] = {{outOpen ? outRead : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        poll(fds, 2, 100);
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) continue;
            const ssize_t n = read(i == 0 ? outRead : errPipe[0], buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            } else {
                (i == 0 ? outOpen : errOpen) = false;  // EOF (or EIO on a terminal whose writer left)
            }
        }
        if (outOpen && options.closeWhen && options.closeWhen(result.out)) {
            close(outRead);
            outOpen = false;
            closedEarly = true;
        }
        if (!signalled && options.signalWhen) {
            if (int sig = options.signalWhen(result.out); sig != 0) {
                kill(pid, sig);
                signalled = true;
            }
        }
        if (!result.hung && std::chrono::steady_clock::now() - started > std::chrono::seconds(options.guardSeconds)) {
            result.hung = true;
            kill(pid, SIGKILL);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!closedEarly) close(outRead);
    close(errPipe[0]);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

// The JSON objects of every line that is one (the tool's output lines);
// `bad` collects lines that are not.
inline std::vector<Json> JsonLines(const std::string &text, std::vector<std::string> *bad = nullptr) {
    std::vector<Json> values;
    size_t from = 0;
    for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1) {
        const std::string line = text.substr(from, nl - from);
        auto v = JsonParser::Parse(line);
        if (v && v->kind == Json::kObject) {
            values.push_back(std::move(*v));
        } else if (bad != nullptr) {
            bad->push_back(line);
        }
    }
    return values;
}

// The summary object the inventory writes to stderr in JSON mode.
inline std::optional<Json> Summary(const std::string &err) {
    for (const Json &j : JsonLines(err)) {
        if (j.Has("summary")) return j["summary"];
    }
    return std::nullopt;
}

}  // namespace ulmot::cli_test
