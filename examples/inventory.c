/*
 * inventory.c - read every tag in the field once, with callbacks.
 *
 * The reader is the emulator, started in this process and joined to the
 * client by an in-memory pair of transports: nothing else needs to run. With
 * a real reader, only the transport changes; everything from
 * ulmot_CreateClientProcessor() on stays as it is.
 *
 * What it shows: a client processor, an inventory specification run by a
 * schedule, the tag report callback (which runs on the client's own thread),
 * and waiting for the schedule's stop event.
 *
 * Before the start the library asks the platform library beside it
 * (libvyrplatsupp.so, the emulated device's) whether radio access is
 * blocked: it is while the file that ULMOT_RADIO_BLOCKED_FILE names exists.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdatomic.h>
#include <stdio.h>
#include <time.h>

#include <uemu.h>
#include <ulmot.h>
#include <utr.h>

static atomic_int reports;
static atomic_int stopped;

/* One call per tag report. `report` and its bytes are valid during the call
 * only: copy what you keep. */
static void on_tag(void *context, uint32_t timestamp, uint8_t inventory, const TagReport *report) {
    (void)context;
    (void)inventory;
    printf("%6u ms  antenna %u  %6.1f dBm  EPC ", timestamp, report->item9Instance,
           (int16_t)report->item6 / 10.0); /* signed, tenths of a dBm */
    for (uint32_t i = 0; i < report->dataLength; ++i) printf("%02X", report->data[i]);
    printf("\n");
    atomic_fetch_add(&reports, 1);
}

static void on_stop(void *context, uint32_t timestamp, uint32_t schedule, uint8_t reason) {
    (void)context;
    (void)timestamp;
    printf("schedule %u stopped (reason %u)\n", schedule, reason);
    atomic_store(&stopped, 1);
}

int main(void) {
    /* ---- an emulated reader with 12 tags, in this process ---- */
    streams_buf_init(); /* once, before anything else */
    uemu_Config config;
    uemu_ConfigInit(&config);
    config.tagCount = 12;
    config.tagSeed = 2024; /* the same seed gives the same tags */
    uemu_Reader *reader = uemu_Create(&config);
    utr_MemoryPair *pair = utr_MemoryPairCreate("app", "reader", 0);
    if (reader == NULL || pair == NULL ||
        uemu_Attach(reader, utr_MemoryEndpoint(pair, UTR_SIDE_B), NULL, NULL) != UEMU_OK) {
        return 1;
    }

    /* ---- the client ---- */
    ClientProcessor *client = NULL;
    if (ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair, UTR_SIDE_A), "inventory-example",
                                    &client) != 0) {
        return 1;
    }
    /* Find who serves inventories, schedules and antennas. */
    ulmot_AttachDefaultObjectProcessor(client, ULMOT_OBJ_INVENTORY, 0, 0);
    ulmot_AttachDefaultObjectProcessor(client, ULMOT_OBJ_SCHEDULE, 0, 0);
    ulmot_AttachDefaultObjectProcessor(client, ULMOT_OBJ_ANTENNA, 0, 0);

    /* An inventory on antenna 1 (report format 517: PC, EPC and CRC apart,
     * session 0: every tag in every round), no selector: every tag. */
    uint8_t inventory = 0, schedule = 0;
    int32_t rc = ulmot_AddInventorySpecification(client, &inventory, 517, ULMOT_OBJ_ANTENNA, 1,
                                                 0, NULL, 0);
    if (rc == 0) rc = ulmot_RegisterInventoryEvents(client, NULL, NULL, on_tag, NULL);
    if (rc == 0) rc = ulmot_RegisterScheduleEvents(client, NULL, on_stop, NULL);

    /* A schedule of one entry, the inventory: one pass is one round. */
    ScheduleEntry round = {ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory};
    ScheduleEntry *entries[] = {&round};
    if (rc == 0) rc = ulmot_AddScheduleSpecification(client, &schedule, entries, 1, 1, 1);
    if (rc == 0) rc = ulmot_StartScheduleSpecification(client, schedule, 0); /* 0: one pass */

    /* Reports arrive on the client's thread; wait (10 s at most) for the stop. */
    for (int waited = 0; rc == 0 && !atomic_load(&stopped) && waited < 1000; ++waited) {
        nanosleep(&(struct timespec){0, 10 * 1000 * 1000}, NULL);
    }
    printf("%d tag reports\n", atomic_load(&reports));

    /* ---- tear down: client first, then the reader, then the transport ---- */
    ulmot_DestroyClientProcessor(client);
    uemu_Destroy(reader);
    utr_MemoryPairDestroy(pair);
    if (rc != 0 || !atomic_load(&stopped)) {
        fprintf(stderr, "inventory failed (result %d)\n", rc);
        return 1;
    }
    return atomic_load(&reports) == 12 ? 0 : 1;
}
