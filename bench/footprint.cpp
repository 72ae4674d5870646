// Memory footprint: the size of the library's static storage (pools), of a
// session, a client processor and an IOCTL processor, and the resident
// memory of this process while a client runs an inventory against the
// emulated reader in the same process (so the figure holds the reader too).
#include <cstdio>
#include <cstring>
#include <thread>

#include "processors/client.h"
#include "processors/ioctl.h"
#include "session/session_internal.h"
#include "uemu.h"
#include "ulmot.h"
#include "utr.h"

namespace {

long StatusKb(const char *field) {
    FILE *f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    char line[256];
    long kb = -1;
    const size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, field, n) == 0) kb = std::strtol(line + n + 1, nullptr, 10);
    }
    std::fclose(f);
    return kb;
}

void OnReport(void *context, uint32_t, uint8_t, const TagReport *) { ++*static_cast<unsigned long *>(context); }

}  // namespace

int main() {
    streams_buf_init();
    std::printf("sizeof(Session)          %zu bytes\n", sizeof(Session));
    std::printf("sizeof(ClientProcessor)  %zu bytes\n", sizeof(ClientProcessor));
    std::printf("sizeof(IoctlProcessor)   %zu bytes\n", sizeof(IoctlProcessor));
    std::printf("resident before a client %ld kB\n", StatusKb("VmRSS"));

    uemu_Config config;
    uemu_ConfigInit(&config);
    config.tagCount = 200;
    config.tagRate = 1500;
    uemu_Reader *reader = uemu_Create(&config);
    utr_MemoryPair *pair = utr_MemoryPairCreate("client", "reader", 0);
    uemu_Attach(reader, utr_MemoryEndpoint(pair, UTR_SIDE_B), nullptr, nullptr);
    ClientProcessor *client = nullptr;
    if (ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair, UTR_SIDE_A), "footprint", &client) != 0) return 1;
    for (uint32_t type : {ULMOT_OBJ_TAG_SELECTOR, ULMOT_OBJ_INVENTORY, ULMOT_OBJ_SCHEDULE}) {
        ulmot_AttachDefaultObjectProcessor(client, type, 0, 0);
    }
    uint8_t selector = 0, inventory = 0, schedule = 0;
    ulmot_AddTagSelectorSpecification(client, &selector, nullptr, 0);
    ulmot_AddInventorySpecification(client, &inventory, 517, ULMOT_OBJ_ANTENNA, 1, 0, &selector, 1);
    ScheduleEntry entry{0, ULMOT_OBJ_INVENTORY, inventory};
    ScheduleEntry *entries[] = {&entry};
    ulmot_AddScheduleSpecification(client, &schedule, entries, 1, 0, 0);
    unsigned long reports = 0;
    ulmot_RegisterInventoryEvents(client, nullptr, nullptr, OnReport, &reports);
    ulmot_StartScheduleSpecification(client, schedule, 1);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::printf("resident during an inventory (client and emulated reader) %ld kB, peak %ld kB, %lu reports\n",
                StatusKb("VmRSS"), StatusKb("VmHWM"), reports);
    ulmot_StopScheduleSpecification(client, schedule, nullptr);
    ulmot_DestroyClientProcessor(client);
    uemu_Destroy(reader);
    utr_MemoryPairDestroy(pair);
    return 0;
}
