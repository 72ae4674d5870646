// Tag reports end to end: the emulated reader runs a repeating inventory at a
// set rate and sends its reports over the in-memory pair, or over a TCP
// loopback or Unix socket (served as ulmot-readerd serves it, in this
// process); the client's receive thread, inbound queue, queue thread and tag
// report handler bring each one to the application's callback.
//
// Reported per rate:
//  - reports_per_s: reports that reached the callback, per second of wall time;
//  - dropped: reports the reader sent that never reached the callback (the
//    reader numbers a run's reports without gaps, so a gap is a lost report);
//  - client_cpu_pct: CPU time of the client's own threads (the ones that
//    ulmot_CreateClientProcessor starts), as % of one core. Those threads are
//    found as the process's threads that appear while the client is created;
//    their CPU clocks are read with clock_gettime;
//  - process_cpu_pct: getrusage of the whole process (reader included).
// Beside it, at 1,500/s, the floor: the same two thread hops with nothing
// else; over sockets, at every rate, a bare reader of the same frames from
// the same kind of socket.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <sys/resource.h>
#include <time.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench_time.h"
#include "handoff.h"
#include "platform/platform.h"
#include "tag_report_sample.h"
#include "uemu.h"
#include "ulmot.h"
#include "utr.h"

namespace {

std::set<long> ThreadIds() {
    std::set<long> ids;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.') ids.insert(std::strtol(e->d_name, nullptr, 10));
        }
        closedir(d);
    }
    return ids;
}

// CPU time of thread `tid` of this process, in seconds (the kernel's
// per-thread CPU clock id for a thread id: ~tid << 3 | 6).
double ThreadCpuSeconds(long tid) {
    const auto clock = static_cast<clockid_t>((~static_cast<unsigned long>(tid) << 3) | 6u);
    timespec t{};
    if (clock_gettime(clock, &t) != 0) return 0;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// Written by the queue thread only; read by the benchmark after the run.
struct Tally {
    std::atomic<uint64_t> delivered{0};
    std::atomic<uint32_t> lastNumber{0};
    uint64_t bytesTouched = 0;

    static void OnReport(void *context, uint32_t, uint8_t, const TagReport *report) {
        auto *tally = static_cast<Tally *>(context);
        // Touch what an application would: the EPC and the report number.
        for (uint16_t i = 0; i < report->dataLength; ++i) tally->bytesTouched += report->data[i];
        tally->lastNumber.store(report->item18, std::memory_order_relaxed);
        tally->delivered.fetch_add(1, std::memory_order_relaxed);
    }
};

// How the client reaches the reader.
enum Link : int64_t { kMemory = 0, kTcp = 1, kUnix = 2 };

const char *ListenAddress(Link link) { return link == kTcp ? "tcp:127.0.0.1:0" : "unix:/tmp/ulmot-bench-flow.sock"; }

// A socket connection: its client end (a transport, or a bare descriptor
// for the floor) and its server end, accepted from a listener of `link`.
struct SocketPair {
    utr_SocketListener *listener = nullptr;
    Transport *client = nullptr;
    Transport *server = nullptr;
    explicit SocketPair(Link link) {
        listener = utr_SocketListen(ListenAddress(link));
        char bound[128] = {};
        utr_SocketListenerAddress(listener, bound, sizeof bound);
        client = utr_SocketConnect(bound, 3000);
        server = utr_SocketAccept(listener, 3000);
    }
    ~SocketPair() {
        utr_SocketDestroy(client);
        utr_SocketDestroy(server);
        utr_SocketListenerDestroy(listener);
    }
};

// A reader producing `rate` reports/s for one client, until destroyed.
class TagFlow {
public:
    TagFlow(uint32_t rate, Link link) {
        uemu_Config config;
        uemu_ConfigInit(&config);
        config.tagCount = 5000;  // rounds of 5000 reports: the 5 ms between rounds costs under 10%
        config.tagSeed = 7;
        config.tagRate = rate;
        reader_ = uemu_Create(&config);
        Transport *clientEnd = nullptr;
        if (link == kMemory) {
            pair_ = utr_MemoryPairCreate("client", "reader", 0);
            uemu_Attach(reader_, utr_MemoryEndpoint(pair_, UTR_SIDE_B), nullptr, nullptr);
            clientEnd = utr_MemoryEndpoint(pair_, UTR_SIDE_A);
        } else {
            sockets_ = std::make_unique<SocketPair>(link);
            uemu_Attach(reader_, sockets_->server, nullptr, nullptr);
            clientEnd = sockets_->client;
        }
        const std::set<long> before = ThreadIds();
        ulmot_CreateClientProcessor(clientEnd, "bench", &client_);
        for (long tid : ThreadIds()) {
            if (before.count(tid) == 0) clientThreads_.push_back(tid);
        }
        for (uint32_t type : {ULMOT_OBJ_TAG_SELECTOR, ULMOT_OBJ_INVENTORY, ULMOT_OBJ_SCHEDULE}) {
            ulmot_AttachDefaultObjectProcessor(client_, type, 0, 0);
        }
        uint8_t selector = 0;
        ulmot_AddTagSelectorSpecification(client_, &selector, nullptr, 0);
        uint8_t inventory = 0;
        ulmot_AddInventorySpecification(client_, &inventory, 517, ULMOT_OBJ_ANTENNA, 1, 0, &selector, 1);  // session 0: every round
        ScheduleEntry entry{0, ULMOT_OBJ_INVENTORY, inventory};
        ScheduleEntry *entries[] = {&entry};
        ulmot_AddScheduleSpecification(client_, &schedule_, entries, 1, 0, 0);
        ulmot_RegisterInventoryEvents(client_, nullptr, nullptr, Tally::OnReport, &tally_);
    }
    ~TagFlow() {
        ulmot_StopScheduleSpecification(client_, schedule_, nullptr);
        ulmot_DestroyClientProcessor(client_);
        uemu_Destroy(reader_);
        utr_MemoryPairDestroy(pair_);
        sockets_.reset();
    }
    bool Start() { return client_ != nullptr && ulmot_StartScheduleSpecification(client_, schedule_, 1) == 0; }
    void Stop() { ulmot_StopScheduleSpecification(client_, schedule_, nullptr); }
    double ClientCpuSeconds() const {
        double sum = 0;
        for (long tid : clientThreads_) sum += ThreadCpuSeconds(tid);
        return sum;
    }
    const Tally &tally() const { return tally_; }
    size_t clientThreadCount() const { return clientThreads_.size(); }

private:
    uemu_Reader *reader_ = nullptr;
    utr_MemoryPair *pair_ = nullptr;
    std::unique_ptr<SocketPair> sockets_;
    ClientProcessor *client_ = nullptr;
    std::vector<long> clientThreads_;
    uint8_t schedule_ = 0;
    Tally tally_;
};

// Lets the flow run for the benchmark's iterations, 250 ms each, and returns
// the seconds they took.
double SteadyIterations(benchmark::State &state) {
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One iteration is 250 ms of steady flow; the first 250 ms are a warm-up.
// The first argument is the rate.
void RunFlow(benchmark::State &state, Link link) {
    TagFlow flow(static_cast<uint32_t>(state.range(0)), link);
    if (!flow.Start()) {
        state.SkipWithError("the schedule did not start");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const uint64_t deliveredBefore = flow.tally().delivered.load();
    const double clientBefore = flow.ClientCpuSeconds(), processBefore = ProcessCpuSeconds();
    const double wall = SteadyIterations(state);
    const double clientCpu = flow.ClientCpuSeconds() - clientBefore;
    const double processCpu = ProcessCpuSeconds() - processBefore;
    const uint64_t delivered = flow.tally().delivered.load() - deliveredBefore;
    flow.Stop();
    // Reports of the run still queued arrive after the stop's response.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const uint64_t total = flow.tally().delivered.load();
    const uint32_t numbered = flow.tally().lastNumber.load();
    state.counters["reports_per_s"] = static_cast<double>(delivered) / wall;
    state.counters["dropped"] = static_cast<double>(numbered > total ? numbered - total : 0);
    state.counters["client_cpu_pct"] = 100.0 * clientCpu / wall;
    state.counters["process_cpu_pct"] = 100.0 * processCpu / wall;
    state.counters["client_threads"] = static_cast<double>(flow.clientThreadCount());
}
void BM_TagReportsEndToEnd(benchmark::State &state) { RunFlow(state, kMemory); }
// 1,500/s is a fast fixed reader, measured over 10 s; the higher rates step up
// to the emulator's limit to find where the first report is lost.
BENCHMARK(BM_TagReportsEndToEnd)->Arg(1500)->UseManualTime()->MinTime(ulmot::bench::MinSeconds(10.0))->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TagReportsEndToEnd)
    ->Arg(10000)
    ->Arg(25000)
    ->Arg(50000)
    ->Arg(75000)
    ->Arg(100000)
    ->UseManualTime()
    ->MinTime(ulmot::bench::MinSeconds(2.0))
    ->Unit(benchmark::kMillisecond);

// The floor of the client side at a steady rate: the same two thread hops
// with nothing else. A producer paced like the reader hands a token to a
// "receive" stage through a mutex-guarded ring with a condition variable
// (as the in-memory transport does), which hands it on to a "queue" stage
// through a ring signalled by the platform's event only when it was empty
// (as the session's queue does). The CPU time of the two stages is the
// least that two wake-ups per report cost on this machine.
using Handoff = ulmot::bench::Handoff<4096, false>;

double ThreadCpuSeconds(std::thread &t) {
    clockid_t clock;
    timespec ts{};
    if (pthread_getcpuclockid(t.native_handle(), &clock) != 0 || clock_gettime(clock, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_TagReportsEndToEnd_Baseline(benchmark::State &state) {
    const auto period = std::chrono::nanoseconds(1000000000 / state.range(0));
    std::atomic<bool> stop{false};
    std::mutex transportLock;
    std::condition_variable arrived;
    std::vector<uint64_t> transport;
    Handoff queue;
    std::atomic<uint64_t> handled{0};
    std::thread receive([&] {
        std::unique_lock<std::mutex> lock(transportLock);
        while (!stop) {
            if (transport.empty()) {
                arrived.wait_for(lock, std::chrono::milliseconds(200));
                continue;
            }
            const uint64_t v = transport.front();
            transport.erase(transport.begin());
            lock.unlock();
            queue.Put(v);
            lock.lock();
        }
    });
    std::thread handler([&] {
        uint64_t v;
        while (queue.Take(v, stop)) handled.fetch_add(1, std::memory_order_relaxed);
    });
    std::thread producer([&] {
        auto due = std::chrono::steady_clock::now();
        for (uint64_t n = 0; !stop; ++n) {
            std::this_thread::sleep_until(due);
            due += period;
            {
                std::lock_guard<std::mutex> lock(transportLock);
                transport.push_back(n);
            }
            arrived.notify_one();
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const double before = ThreadCpuSeconds(receive) + ThreadCpuSeconds(handler);
    const uint64_t handledBefore = handled.load();
    const double wall = SteadyIterations(state);
    const double cpu = ThreadCpuSeconds(receive) + ThreadCpuSeconds(handler) - before;
    const uint64_t delivered = handled.load() - handledBefore;
    stop = true;
    arrived.notify_all();
    producer.join();
    receive.join();
    handler.join();
    state.counters["reports_per_s"] = static_cast<double>(delivered) / wall;
    state.counters["client_cpu_pct"] = 100.0 * cpu / wall;
}
BENCHMARK(BM_TagReportsEndToEnd_Baseline)
    ->Arg(1500)
    ->UseManualTime()
    ->MinTime(ulmot::bench::MinSeconds(10.0))
    ->Unit(benchmark::kMillisecond);

// Over sockets: the same flow at rising rates, TCP loopback then a Unix socket.
// The second argument is the link.
void BM_TagReportsOverSocket(benchmark::State &state) { RunFlow(state, Link(state.range(1))); }
void SocketRates(benchmark::internal::Benchmark *b) {
    for (int64_t link : {kTcp, kUnix}) {
        for (int64_t rate : {1500, 10000, 25000, 50000, 75000, 100000}) b->Args({rate, link});
    }
}
BENCHMARK(BM_TagReportsOverSocket)
    ->Apply(SocketRates)
    ->UseManualTime()
    ->MinTime(ulmot::bench::MinSeconds(2.0))
    ->Unit(benchmark::kMillisecond);

// The floor over sockets: a writer paced like the reader sends tag report
// frames (header and the sample body, numbered in item 18) one send each;
// a bare reader thread takes what the socket has into a 4 KiB buffer, cuts
// it into frames by the header's body length and checks their numbers. Its
// CPU time is the least that receiving the same frames costs.
class BareSocketReader {
public:
    explicit BareSocketReader(int fd) : fd_(fd), thread_([this] { Run(); }) {}
    ~BareSocketReader() {
        stop_ = true;
        thread_.join();
    }
    std::thread &thread() { return thread_; }
    uint64_t frames() const { return frames_.load(); }
    uint64_t gaps() const { return gaps_.load(); }

private:
    void Run() {
        uint8_t buffer[4096];
        size_t have = 0;
        uint32_t expected = 1;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = recv(fd_, buffer + have, sizeof buffer - have, 0);
            if (n <= 0) return;
            have += static_cast<size_t>(n);
            size_t at = 0;
            while (have - at >= 8 && have - at >= 8u + (buffer[at + 6] << 8 | buffer[at + 7])) {
                const uint8_t *number = buffer + at + 8 + kNumberOffset;
                const uint32_t got = uint32_t{number[0]} << 24 | number[1] << 16 | number[2] << 8 | number[3];
                if (got != expected) gaps_.fetch_add(got - expected, std::memory_order_relaxed);
                expected = got + 1;
                frames_.fetch_add(1, std::memory_order_relaxed);
                at += 8u + (buffer[at + 6] << 8 | buffer[at + 7]);
            }
            std::memmove(buffer, buffer + at, have - at);
            have -= at;
        }
    }

public:
    // Where item 18's value (the report number) lies in the sample body.
    static constexpr size_t kNumberOffset = sizeof kTagReportBody - 7;

private:
    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> frames_{0}, gaps_{0};
    std::thread thread_;
};
static_assert(kTagReportBody[BareSocketReader::kNumberOffset - 2] == 0xF2 &&
              kTagReportBody[BareSocketReader::kNumberOffset - 1] == 0x12);

// Two connected stream sockets of `link`'s kind, the writer's end first,
// made with the calls the socket transport makes.
struct RawSockets {
    int writer = -1, reader = -1;
    explicit RawSockets(Link link) {
        sockaddr_storage address{};
        socklen_t length = 0;
        const int family = link == kTcp ? AF_INET : AF_UNIX;
        const int listener = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (link == kTcp) {
            auto *in = reinterpret_cast<sockaddr_in *>(&address);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof *in;
        } else {
            auto *un = reinterpret_cast<sockaddr_un *>(&address);
            un->sun_family = AF_UNIX;
            std::snprintf(un->sun_path, sizeof un->sun_path, "/tmp/ulmot-bench-floor-%d.sock", getpid());
            unlink(un->sun_path);
            length = sizeof *un;
        }
        bind(listener, reinterpret_cast<sockaddr *>(&address), length);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        writer = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connect(writer, reinterpret_cast<sockaddr *>(&address), length);
        reader = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (link == kTcp) {
            const int on = 1;
            setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            setsockopt(reader, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        } else {
            unlink(reinterpret_cast<sockaddr_un *>(&address)->sun_path);
        }
        close(listener);
    }
    ~RawSockets() {
        close(writer);
        close(reader);
    }
};

// Sends numbered tag report frames to `fd` at `rate` a second, one send each,
// until `stop`.
void PacedFrames(int fd, uint64_t rate, const std::atomic<bool> &stop) {
    uint8_t frame[8 + sizeof kTagReportBody] = {3, 1, 0x80, 2, 5, 1, 0, sizeof kTagReportBody};
    std::memcpy(frame + 8, kTagReportBody, sizeof kTagReportBody);
    uint8_t *number = frame + 8 + BareSocketReader::kNumberOffset;
    const auto period = std::chrono::nanoseconds(1000000000 / rate);
    auto due = std::chrono::steady_clock::now();
    for (uint32_t n = 1; !stop; ++n) {
        if (due > std::chrono::steady_clock::now()) std::this_thread::sleep_until(due);
        due += period;
        for (int i = 0; i < 4; ++i) number[i] = static_cast<uint8_t>(n >> (24 - 8 * i));
        if (send(fd, frame, sizeof frame, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof frame)) return;
    }
}

void BM_TagReportsOverSocket_Baseline(benchmark::State &state) {
    RawSockets sockets(Link(state.range(1)));
    std::atomic<bool> stop{false};
    BareSocketReader reader(sockets.reader);
    std::thread writer([&] { PacedFrames(sockets.writer, static_cast<uint64_t>(state.range(0)), stop); });
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const double before = ThreadCpuSeconds(reader.thread());
    const uint64_t framesBefore = reader.frames();
    const double wall = SteadyIterations(state);
    const double cpu = ThreadCpuSeconds(reader.thread()) - before;
    const uint64_t delivered = reader.frames() - framesBefore;
    stop = true;
    writer.join();
    state.counters["reports_per_s"] = static_cast<double>(delivered) / wall;
    state.counters["dropped"] = static_cast<double>(reader.gaps());
    state.counters["client_cpu_pct"] = 100.0 * cpu / wall;
}
BENCHMARK(BM_TagReportsOverSocket_Baseline)
    ->Apply(SocketRates)
    ->UseManualTime()
    ->MinTime(ulmot::bench::MinSeconds(2.0))
    ->Unit(benchmark::kMillisecond);

}  // namespace
