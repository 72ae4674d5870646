// tests/wireshark/capture_writer.cpp - writes the capture that the
// dissector's tests decode, and what the client made of the same messages.
//
//   wireshark_capture_writer DIR
//
// A client of the library talks to the emulated reader over TCP on the
// loopback, its end capturing with utr_SocketCapture from before its
// registration to after its deregistration: an inventory run with tag
// reports, a run with an access specification reading TID words, GPI and GPO
// reads and writes, two refused requests and a stop of a schedule that no
// longer runs. DIR/session.pcapng is the capture; DIR/session.json what the
// client's calls returned and its callbacks were given, which the tests
// compare with the decoded capture. Exit status 0 when every call did what
// the scenario needs, 1 (and a line on stderr) otherwise.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "uemu.h"
#include "ulmot.h"
#include "utr.h"

namespace {

constexpr uint32_t kWaitMs = 20000;

std::string Hex(const uint8_t *data, size_t length) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02X", data[i]);
        s += two;
    }
    return s;
}

// What the callbacks were given, in the order they ran, as JSON objects.
struct Seen {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> reports, access, accessStops, schedule;
    int stops = 0;

    void Add(std::vector<std::string> &to, std::string json, bool stop = false) {
        std::lock_guard<std::mutex> guard(lock);
        to.push_back(std::move(json));
        if (stop) ++stops;
        changed.notify_all();
    }
    bool WaitForStops(int count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(kWaitMs), [&] { return stops >= count; });
    }
};

Seen &Of(void *context) { return *static_cast<Seen *>(context); }

void OnReport(void *context, uint32_t timestamp, uint8_t inventory, const TagReport *r) {
    char json[512];
    std::snprintf(json, sizeof json,
                  R"({"timestamp": %u, "inventory": %u, "antenna": %u, "format": %u, "pc": %u, "xpc1": %u, )"
                  R"("xpc2": %u, "crc": %u, "epc": "%s", "report_number": %u})",
                  timestamp, inventory, r->item9Instance, r->format, r->pcWord, r->xpcWord1, r->xpcWord2, r->crc,
                  Hex(r->data, r->dataLength).c_str(), r->item18);
    Of(context).Add(Of(context).reports, json);
}

void OnAccessData(void *context, uint32_t timestamp, uint8_t access, uint8_t success, uint8_t code, uint16_t length,
                  const uint8_t *data) {
    char json[512];
    std::snprintf(json, sizeof json,
                  R"({"timestamp": %u, "access": %u, "success": %u, "code": %u, "data": "%s"})", timestamp, access,
                  success, code, Hex(data, length).c_str());
    Of(context).Add(Of(context).access, json);
}

void OnAccessStop(void *context, uint32_t timestamp, uint8_t access) {
    char json[128];
    std::snprintf(json, sizeof json, R"({"timestamp": %u, "access": %u})", timestamp, access);
    Of(context).Add(Of(context).accessStops, json);
}

void OnScheduleStart(void *context, uint32_t timestamp, uint32_t schedule) {
    char json[128];
    std::snprintf(json, sizeof json, R"({"event": "start", "timestamp": %u, "schedule": %u})", timestamp, schedule);
    Of(context).Add(Of(context).schedule, json);
}

void OnScheduleStop(void *context, uint32_t timestamp, uint32_t schedule, uint8_t reason) {
    char json[128];
    std::snprintf(json, sizeof json, R"({"event": "stop", "timestamp": %u, "schedule": %u, "reason": %u})",
                  timestamp, schedule, reason);
    Of(context).Add(Of(context).schedule, json, true);
}

bool failed = false;

// Checks one step of the scenario; a step that fails is reported and the
// run's exit status becomes 1.
bool Step(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "wireshark_capture_writer: %s failed\n", what);
        failed = true;
    }
    return ok;
}

// A call of the library that must return 0.
bool Ok(int32_t result, const char *what) {
    if (result != 0) {
        std::fprintf(stderr, "wireshark_capture_writer: %s failed (result %d)\n", what, result);
        failed = true;
    }
    return result == 0;
}

std::string Join(const std::vector<std::string> &items) {
    std::string s;
    for (size_t i = 0; i < items.size(); ++i) s += (i ? ",\n    " : "\n    ") + items[i];
    return "[" + s + "\n  ]";
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: wireshark_capture_writer DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    streams_buf_init();

    uemu_Config config;
    uemu_ConfigInit(&config);
    config.tagCount = 12;
    config.tagSeed = 7;
    config.xpcPercent = 50;  // PC words with one or two XPC words beside plain ones
    config.tagRate = 5000;
    uemu_Reader *reader = uemu_Create(&config);
    utr_SocketListener *listener = utr_SocketListen("tcp:127.0.0.1:0");
    if (reader == nullptr || listener == nullptr) {
        std::fprintf(stderr, "wireshark_capture_writer: no reader or listener: %s\n", utr_SocketLastError());
        return 1;
    }
    char address[128];
    utr_SocketListenerAddress(listener, address, sizeof address);
    Transport *near = utr_SocketConnect(address, 5000);
    Transport *far = near != nullptr ? utr_SocketAccept(listener, 5000) : nullptr;
    uemu_Link *link = nullptr;
    if (far == nullptr || uemu_Attach(reader, far, nullptr, &link) != UEMU_OK) {
        std::fprintf(stderr, "wireshark_capture_writer: no connection: %s\n", utr_SocketLastError());
        return 1;
    }
    const std::string pcap = dir + "/session.pcapng";
    Ok(utr_SocketCapture(near, pcap.c_str()), "utr_SocketCapture");

    Seen seen;
    ClientProcessor *client = nullptr;
    if (!Ok(ulmot_CreateClientProcessor(near, "wireshark-test", &client), "ulmot_CreateClientProcessor")) return 1;
    for (uint32_t type : {1u, 2u, 5u, 7u, 8u, 11u}) {
        Ok(ulmot_AttachDefaultObjectProcessor(client, type, 0, 0), "ulmot_AttachDefaultObjectProcessor");
    }
    Ok(ulmot_RegisterInventoryEvents(client, nullptr, nullptr, OnReport, &seen), "ulmot_RegisterInventoryEvents");
    Ok(ulmot_RegisterScheduleEvents(client, OnScheduleStart, OnScheduleStop, &seen), "ulmot_RegisterScheduleEvents");
    Ok(ulmot_RegisterAccessEvents(client, OnAccessStop, nullptr, OnAccessData, nullptr, nullptr, &seen),
       "ulmot_RegisterAccessEvents");

    // An inventory on antenna 1 in a schedule of one pass.
    uint8_t inventory = 0, schedule = 0, access = 0;
    Ok(ulmot_AddInventorySpecification(client, &inventory, 517, ULMOT_OBJ_ANTENNA, 1, 0, nullptr, 0),
       "ulmot_AddInventorySpecification");
    ScheduleEntry entry = {ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory}, *entries[] = {&entry};
    Ok(ulmot_AddScheduleSpecification(client, &schedule, entries, 1, 1, 1), "ulmot_AddScheduleSpecification");
    Ok(ulmot_StartScheduleSpecification(client, schedule, 0), "ulmot_StartScheduleSpecification");
    Step(seen.WaitForStops(1), "waiting for the first run's stop event");

    // The same run again, an access specification reading TID words 0 and 1
    // of every tag it reports.
    Ok(ulmot_AddAccessSpecification(client, &access, &inventory, 1, 1, 2, 0, 2, 0, 0, nullptr, 0, nullptr, nullptr, 0,
                                    0),
       "ulmot_AddAccessSpecification");
    Ok(ulmot_StartScheduleSpecification(client, schedule, 0), "ulmot_StartScheduleSpecification");
    Step(seen.WaitForStops(2), "waiting for the second run's stop event");
    uint8_t stopStatus = 0;
    const int32_t stopResult = ulmot_StopScheduleSpecification(client, schedule, &stopStatus);
    Ok(stopResult, "ulmot_StopScheduleSpecification");

    // GPIO: a line read, an output written and read back.
    uint8_t gpi = 9, gpo = 9;
    const int32_t gpiResult = ulmot_ReadGPI(client, 1, &gpi);
    const int32_t gpoWrite = ulmot_WriteGPO(client, 2, 1);
    const int32_t gpoRead = ulmot_ReadGPO(client, 2, &gpo);
    Step(gpiResult == 0 && gpoWrite == 0 && gpoRead == 0 && gpo == 1, "the GPIO calls");

    // Refused: a line that does not exist, a state the output cannot take.
    const int32_t noLine = ulmot_WriteGPI(client, 99, 1);
    const int32_t badState = ulmot_WriteGPO(client, 3, 2);
    Step(noLine != 0 && badState != 0, "the refused requests");

    const uint8_t processor = ulmot_GetClientProcessorID(client);
    ulmot_DestroyClientProcessor(client);
    utr_SocketCapture(near, nullptr);
    uemu_Destroy(reader);
    utr_SocketDestroy(far);
    utr_SocketDestroy(near);
    utr_SocketListenerDestroy(listener);

    const std::string json = dir + "/session.json";
    FILE *out = std::fopen(json.c_str(), "w");
    if (out == nullptr) {
        Step(false, "writing session.json");
        return 1;
    }
    std::lock_guard<std::mutex> guard(seen.lock);
    std::fprintf(out, "{\n  \"name\": \"wireshark-test\",\n  \"processor\": %u,\n", processor);
    std::fprintf(out, "  \"inventory\": %u,\n  \"schedule\": %u,\n  \"access\": %u,\n", inventory, schedule, access);
    std::fprintf(out, "  \"stop_schedule\": {\"result\": %d, \"status\": %u},\n", stopResult, stopStatus);
    std::fprintf(out, "  \"gpi\": {\"line\": 1, \"result\": %d, \"state\": %u},\n", gpiResult, gpi);
    std::fprintf(out, "  \"gpo_write\": {\"line\": 2, \"state\": 1, \"result\": %d},\n", gpoWrite);
    std::fprintf(out, "  \"gpo_read\": {\"line\": 2, \"result\": %d, \"state\": %u},\n", gpoRead, gpo);
    std::fprintf(out, "  \"refused_gpi\": {\"line\": 99, \"state\": 1, \"result\": %d},\n", noLine);
    std::fprintf(out, "  \"refused_gpo\": {\"line\": 3, \"state\": 2, \"result\": %d},\n", badState);
    std::fprintf(out, "  \"reports\": %s,\n", Join(seen.reports).c_str());
    std::fprintf(out, "  \"access_reads\": %s,\n", Join(seen.access).c_str());
    std::fprintf(out, "  \"access_stops\": %s,\n", Join(seen.accessStops).c_str());
    std::fprintf(out, "  \"schedule_events\": %s\n}\n", Join(seen.schedule).c_str());
    std::fclose(out);
    return failed ? 1 : 0;
}
