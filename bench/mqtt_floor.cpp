// bench/mqtt_floor.cpp - the floor of the gateway benchmark: a bare
// libmosquitto publisher that sends `reads` reads in batches of `batch`, the
// same JSON payloads the gateway sends, at `rate` reads a second, with QoS
// `qos`, keeping at most 16 batches unacknowledged as the gateway does, and
// prints the seconds it took and its CPU seconds.
//   mqtt_floor HOST PORT QOS RATE READS BATCH
#include <mosquitto.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {
std::atomic<int> g_inFlight{0};
std::atomic<bool> g_connected{false};

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

std::string Read(uint64_t n) {
    char buffer[320];
    std::snprintf(buffer, sizeof buffer,
                  "{\"antenna\":1,\"channel\":7,\"count\":3,\"epc\":\"E28011606000%012llX\",\"pc\":\"3400\","
                  "\"phase\":201,\"round\":4,\"rssi\":-61.2,\"seq\":%llu,\"time\":\"2026-12-06T21:00:00.000Z\","
                  "\"timestamp\":123456,\"unit\":\"dBm\"}",
                  static_cast<unsigned long long>(n), static_cast<unsigned long long>(n + 1));
    return buffer;
}
}  // namespace

int main(int argc, char **argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: mqtt_floor HOST PORT QOS RATE READS BATCH\n");
        return 2;
    }
    const int port = std::atoi(argv[2]), qos = std::atoi(argv[3]);
    const double rate = std::atof(argv[4]);
    const uint64_t reads = std::strtoull(argv[5], nullptr, 10), batch = std::strtoull(argv[6], nullptr, 10);
    mosquitto_lib_init();
    mosquitto *m = mosquitto_new("ulmot-floor", true, nullptr);
    mosquitto_connect_callback_set(m, [](mosquitto *, void *, int rc) { g_connected = rc == 0; });
    mosquitto_publish_callback_set(m, [](mosquitto *, void *, int) { --g_inFlight; });
    mosquitto_max_inflight_messages_set(m, 64);
    mosquitto_loop_start(m);
    if (mosquitto_connect(m, argv[1], port, 30) != MOSQ_ERR_SUCCESS) return 3;
    while (!g_connected) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double cpu = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t sent = 0; sent < reads;) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (static_cast<double>(sent) >= elapsed * rate || g_inFlight >= 16) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        std::string payload = "{\"reader\":\"floor\",\"reads\":[";
        const uint64_t n = std::min(batch, reads - sent);
        for (uint64_t i = 0; i < n; ++i) payload += (i != 0 ? "," : "") + Read(sent + i);
        payload += "]}";
        ++g_inFlight;
        mosquitto_publish(m, nullptr, "ulmot/floor/reads", static_cast<int>(payload.size()), payload.data(), qos, false);
        sent += n;
    }
    while (g_inFlight > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.3f %.3f\n", seconds, CpuSeconds() - cpu);
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, true);
    mosquitto_destroy(m);
    mosquitto_lib_cleanup();
    return 0;
}
