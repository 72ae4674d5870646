/*
 * read_tid.c - read the TID memory of the first tag the reader sees.
 *
 * An access specification reads memory of the tags an inventory reports,
 * right after each report; a schedule limited to one tag stops after the
 * first one. The reader is the emulator, in this process, over an in-memory
 * pair of transports (see inventory.c).
 */
#define _POSIX_C_SOURCE 200809L

#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <uemu.h>
#include <ulmot.h>
#include <utr.h>

#define BANK_TID 2u /* memory banks: 0 reserved, 1 EPC, 2 TID, 3 user */

/* What the callbacks found; the main thread reads it once `done` is set. */
static char epc[2 * 62 + 1];
static uint8_t tid[64];
static uint16_t tidLength;
static int tidRead;
static atomic_int done;

static void on_tag(void *context, uint32_t timestamp, uint8_t inventory, const TagReport *report) {
    (void)context;
    (void)timestamp;
    (void)inventory;
    for (uint32_t i = 0; i < report->dataLength && i < 62; ++i) {
        sprintf(epc + 2 * i, "%02X", report->data[i]);
    }
}

/* The read's outcome: `success` 1 and the words read, high byte first. */
static void on_read(void *context, uint32_t timestamp, uint8_t access, uint8_t success,
                    uint8_t code, uint16_t length, const uint8_t *data) {
    (void)context;
    (void)timestamp;
    (void)access;
    if (!success || length > sizeof tid) {
        fprintf(stderr, "TID read failed (tag error code %u)\n", code);
        return;
    }
    memcpy(tid, data, length);
    tidLength = length;
    tidRead = 1;
}

static void on_stop(void *context, uint32_t timestamp, uint32_t schedule, uint8_t reason) {
    (void)context;
    (void)timestamp;
    (void)schedule;
    (void)reason;
    atomic_store(&done, 1); /* after every report and access event of the run */
}

int main(void) {
    /* ---- an emulated reader, in this process ---- */
    streams_buf_init();
    uemu_Config config;
    uemu_ConfigInit(&config); /* 50 tags, TID of 6 words */
    uemu_Reader *reader = uemu_Create(&config);
    utr_MemoryPair *pair = utr_MemoryPairCreate("app", "reader", 0);
    if (reader == NULL || pair == NULL ||
        uemu_Attach(reader, utr_MemoryEndpoint(pair, UTR_SIDE_B), NULL, NULL) != UEMU_OK) {
        return 1;
    }

    /* ---- the client ---- */
    ClientProcessor *client = NULL;
    if (ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair, UTR_SIDE_A), "read-tid-example",
                                    &client) != 0) {
        return 1;
    }
    ulmot_AttachDefaultObjectProcessor(client, ULMOT_OBJ_INVENTORY, 0, 0);
    ulmot_AttachDefaultObjectProcessor(client, ULMOT_OBJ_ACCESS, 0, 0);
    ulmot_AttachDefaultObjectProcessor(client, ULMOT_OBJ_SCHEDULE, 0, 0);
    ulmot_AttachDefaultObjectProcessor(client, ULMOT_OBJ_ANTENNA, 0, 0);

    uint8_t inventory = 0, access = 0, schedule = 0;
    int32_t rc = ulmot_AddInventorySpecification(client, &inventory, 517, ULMOT_OBJ_ANTENNA, 1,
                                                 0, NULL, 0);
    /* Enabled (1), read all words (0) of the TID bank from word 0, for the
     * tags of this inventory; no data to write, any antenna, no tag filter. */
    if (rc == 0) {
        rc = ulmot_AddAccessSpecification(client, &access, &inventory, 1, 1, 0, 0, BANK_TID, 0, 0,
                                          NULL, 0, NULL, NULL, 0, 0);
    }
    if (rc == 0) rc = ulmot_RegisterInventoryEvents(client, NULL, NULL, on_tag, NULL);
    if (rc == 0) rc = ulmot_RegisterAccessEvents(client, NULL, NULL, on_read, NULL, NULL, NULL);
    if (rc == 0) rc = ulmot_RegisterScheduleEvents(client, NULL, on_stop, NULL);

    /* The inventory, then a limit: code 1 (tag reports) << 16 | 1 report. */
    ScheduleEntry round = {ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory};
    ScheduleEntry limit = {ULMOT_SCHEDULE_ENTRY_VALUE, 0, 1u << 16 | 1u};
    ScheduleEntry *entries[] = {&round, &limit};
    if (rc == 0) rc = ulmot_AddScheduleSpecification(client, &schedule, entries, 2, 0, 1);
    if (rc == 0) rc = ulmot_StartScheduleSpecification(client, schedule, 1); /* until the limit */

    for (int waited = 0; rc == 0 && !atomic_load(&done) && waited < 1000; ++waited) {
        nanosleep(&(struct timespec){0, 10 * 1000 * 1000}, NULL);
    }
    if (tidRead) {
        printf("EPC %s\nTID ", epc);
        for (uint16_t i = 0; i < tidLength; ++i) printf("%02X", tid[i]);
        printf(" (%u words)\n", tidLength / 2u);
    }

    ulmot_DestroyClientProcessor(client);
    uemu_Destroy(reader);
    utr_MemoryPairDestroy(pair);
    if (rc != 0 || !tidRead) {
        fprintf(stderr, "no TID read (result %d)\n", rc);
        return 1;
    }
    return 0;
}
