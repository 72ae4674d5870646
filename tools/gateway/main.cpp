// tools/gateway/main.cpp - `ulmot-gateway`: readers' tag reads to an MQTT
// broker, their events and status beside them, commands from it. Options
// from the command line (CLI11) and a TOML file (toml++); one Feed (feed.h)
// per reader, each on its own thread; SIGINT or SIGTERM ends them in order.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <toml++/toml.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "feed.h"

namespace gateway {
namespace {

enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kNoReader = 3, kRefused = 4 };

volatile sig_atomic_t g_stop = 0;
extern "C" void OnSignal(int) { g_stop = 1; }

struct Options {
    std::string config, broker, caFile, certFile, keyFile, username, passwordFile;
    std::vector<std::string> readers;  // ID=ADDR
    int qos = 1;
    uint32_t batch = 500, buffer = 100000, tags = 50, seed = 1, rate = 500;
    double flushSeconds = 5;
    std::string antennas, filter, capture;
};

[[noreturn]] void Fail(int code, const std::string &message) {
    std::fprintf(stderr, "ulmot-gateway: %s\n", message.c_str());
    std::exit(code);
}

std::vector<uint8_t> ParseAntennas(const std::string &list) {
    std::vector<uint8_t> out;
    std::stringstream stream(list);
    std::string item;
    while (std::getline(stream, item, ',')) {
        const bool digits = !item.empty() && item.size() <= 3 && item.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoi(item) < 1 || std::stoi(item) > 255) Fail(kUsage, "--antennas takes a list such as 1,2,4");
        out.push_back(static_cast<uint8_t>(std::stoi(item)));
    }
    return out;
}

// Hex digits into bytes, an odd count kept as a last half byte; *bits = 4 x digits.
std::vector<uint8_t> ParseHex(const std::string &text, uint32_t *bits) {
    std::vector<uint8_t> bytes;
    uint32_t n = 0;
    for (char c : text) {
        const int v = std::isxdigit(static_cast<unsigned char>(c)) ? std::stoi(std::string(1, c), nullptr, 16) : -1;
        if (v < 0) Fail(kUsage, "--filter must be hex digits, not '" + text + "'");
        if (n % 2 == 0) bytes.push_back(static_cast<uint8_t>(v << 4));
        else bytes.back() = static_cast<uint8_t>(bytes.back() | v);
        ++n;
    }
    if (n > 124) Fail(kUsage, "--filter is longer than an EPC can be (496 bits)");
    *bits = 4 * n;
    return bytes;
}

// The file's keys, under the command line's: what was given there stays.
void ReadConfig(const std::string &path, CLI::App &app, Options &o) {
    toml::table t;
    try {
        t = toml::parse_file(path);
    } catch (const toml::parse_error &e) {
        Fail(kUsage, path + ": " + std::string(e.description()) + " (line " +
                         std::to_string(e.source().begin.line) + ")");
    }
    auto given = [&](const char *name) { return app.count(std::string("--") + name) != 0; };
    auto str = [&](const char *key, std::string &into) {
        if (auto v = t[key].value<std::string>(); v && !given(key)) into = *v;
    };
    auto num = [&](const char *key, auto &into) {
        if (auto v = t[key].value<int64_t>(); v && !given(key)) into = static_cast<std::remove_reference_t<decltype(into)>>(*v);
    };
    str("broker", o.broker);
    str("ca-file", o.caFile);
    str("cert", o.certFile);
    str("key", o.keyFile);
    str("username", o.username);
    str("password-file", o.passwordFile);
    str("antennas", o.antennas);
    str("filter", o.filter);
    str("capture", o.capture);
    num("qos", o.qos);
    num("batch", o.batch);
    num("buffer", o.buffer);
    num("tags", o.tags);
    num("seed", o.seed);
    num("rate", o.rate);
    if (auto v = t["flush-timeout"].value<double>(); v && !given("flush-timeout")) o.flushSeconds = *v;
    if (const toml::array *readers = t["reader"].as_array(); readers != nullptr && !given("reader")) {
        for (const toml::node &node : *readers) {
            const toml::table *r = node.as_table();
            auto id = r == nullptr ? std::nullopt : (*r)["id"].value<std::string>();
            if (!id) Fail(kUsage, path + ": every [[reader]] needs an id");
            o.readers.push_back(*id + "=" + (*r)["address"].value_or(std::string("embedded")));
        }
    }
}

std::string Password(const Options &o) {
    if (!o.passwordFile.empty()) {
        std::ifstream in(o.passwordFile);
        std::string line;
        if (!in || !std::getline(in, line)) Fail(kUsage, "cannot read the password from " + o.passwordFile);
        return line;
    }
    const char *env = std::getenv("ULMOT_GATEWAY_PASSWORD");
    return env == nullptr ? "" : env;
}

int Run(int argc, char **argv) {
    Options o;
    CLI::App app{"ulmot-gateway: readers' tag reads to an MQTT broker, commands from it"};
    app.add_option("--config", o.config, "a TOML file with the same keys (its [[reader]] tables: id, address)")
        ->check(CLI::ExistingFile);
    app.add_option("--broker", o.broker, "mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (TLS)");
    app.add_option("--reader", o.readers, "ID=ADDR (tcp:HOST:PORT, unix:PATH or embedded), repeatable; "
                                          "default: one embedded emulated reader");
    app.add_option("--qos", o.qos, "0 or 1 (default 1)")->check(CLI::Range(0, 1));
    app.add_option("--batch", o.batch, "reads in one message at most (default 500)")->check(CLI::Range(1, 10000));
    app.add_option("--buffer", o.buffer, "reads kept while the broker is away (default 100000)")
        ->check(CLI::Range(1, 10000000));
    app.add_option("--antennas", o.antennas, "antennas to read in turn, e.g. 1,2 (default: all)");
    app.add_option("--filter", o.filter, "EPC prefix in hex: only those tags");
    app.add_option("--tags", o.tags, "the embedded reader's tags (default 50)")->check(CLI::Range(0, 10000));
    app.add_option("--seed", o.seed, "the embedded reader's population seed (default 1)");
    app.add_option("--rate", o.rate, "the embedded reader's reports per second (default 500)")
        ->check(CLI::Range(1, 100000));
    app.add_option("--ca-file", o.caFile, "TLS: the CA certificate that signed the broker's");
    app.add_option("--cert", o.certFile, "TLS: a client certificate");
    app.add_option("--key", o.keyFile, "TLS: the client certificate's key");
    app.add_option("--username", o.username, "the broker's user name");
    app.add_option("--password-file", o.passwordFile,
                   "a file whose first line is the password (else ULMOT_GATEWAY_PASSWORD; never an option)");
    app.add_option("--capture", o.capture, "record every message to and from the readers in this pcapng file");
    app.add_option("--flush-timeout", o.flushSeconds, "seconds to flush at the end (default 5)")
        ->check(CLI::Range(0.0, 3600.0));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? kOk : kUsage;
    }
    if (!o.config.empty()) ReadConfig(o.config, app, o);
    if (o.broker.empty()) Fail(kUsage, "--broker is needed (mqtt://HOST:PORT)");
    BrokerOptions broker;
    std::string error;
    if (!ParseBrokerUrl(o.broker, &broker, &error)) Fail(kUsage, error);
    broker.caFile = o.caFile;
    broker.certFile = o.certFile;
    broker.keyFile = o.keyFile;
    broker.username = o.username;
    broker.password = Password(o);
    if (o.qos < 0 || o.qos > 1) Fail(kUsage, "--qos must be 0 or 1");

    Settings settings;
    settings.qos = o.qos;
    settings.batch = o.batch;
    settings.buffer = o.buffer;
    settings.flushMs = static_cast<uint32_t>(o.flushSeconds * 1000);
    tools::InventoryPlan plan;
    if (!o.antennas.empty()) plan.antennas = ParseAntennas(o.antennas);
    if (!o.filter.empty()) plan.filter = ParseHex(o.filter, &plan.filterBits);
    if (o.readers.empty()) o.readers.push_back("reader=embedded");

    // The library's threads inherit the block: the signals reach this thread.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    streams_buf_init();
    tools::CaptureFile capture(o.capture, [](const std::string &text) {
        std::fprintf(stderr, "ulmot-gateway: %s\n", text.c_str());
    });
    std::vector<std::unique_ptr<Feed>> feeds;
    for (const std::string &r : o.readers) {
        const size_t eq = r.find('=');
        if (eq == 0 || eq == std::string::npos || eq + 1 == r.size()) Fail(kUsage, "--reader takes ID=ADDR, not '" + r + "'");
        ReaderSpec spec;
        spec.id = r.substr(0, eq);
        if (spec.id.find_first_of("/+#") != std::string::npos) Fail(kUsage, "a reader id cannot hold / + or #: '" + spec.id + "'");
        spec.address = r.substr(eq + 1) == "embedded" ? "" : r.substr(eq + 1);
        spec.plan = plan;
        spec.tags = o.tags;
        spec.seed = o.seed;
        spec.rate = o.rate;
        auto feed = std::make_unique<Feed>(spec, settings, broker);
        if (!feed->Open(&error, &capture)) {
            feeds.clear();
            Fail(kNoReader, spec.id + ": " + error);
        }
        feeds.push_back(std::move(feed));
    }
    for (auto &feed : feeds) feed->Launch();
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    std::fprintf(stderr, "ulmot-gateway: %zu reader(s) to %s; Ctrl-C stops\n", feeds.size(), o.broker.c_str());
    int code = kOk;
    while (g_stop == 0 && code == kOk) {
        usleep(50 * 1000);
        for (auto &feed : feeds) {
            if (const std::string why = feed->Refused(); !why.empty()) {
                std::fprintf(stderr, "ulmot-gateway: the broker refused %s's connection: %s\n", feed->id().c_str(),
                             why.c_str());
                code = kRefused;
            }
        }
    }
    for (auto &feed : feeds) feed->Stop();
    feeds.clear();
    return code;
}

}  // namespace
}  // namespace gateway

int main(int argc, char **argv) { return gateway::Run(argc, argv); }
