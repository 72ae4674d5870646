/*
 * gpio_watch.c - watch the reader's general-purpose inputs, set an output.
 *
 * The client enables the change event of every GPI line; the emulated reader
 * (in this process, over an in-memory pair of transports, see inventory.c)
 * plays the world outside: a signal that toggles input 2 every 50 ms. Each
 * change is printed as it comes; after six the program lights output 1 and
 * reads it back.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdatomic.h>
#include <stdio.h>
#include <time.h>

#include <uemu.h>
#include <ulmot.h>
#include <utr.h>

static atomic_int changes;

/* Runs on the client's thread, one event at a time, in the reader's order. */
static void on_input(void *context, uint32_t timestamp, uint8_t line, uint8_t state) {
    (void)context;
    printf("%6u ms  input %u is %s\n", timestamp, line, state ? "high" : "low");
    atomic_fetch_add(&changes, 1);
}

int main(void) {
    /* ---- an emulated reader (four inputs, four outputs), in this process ---- */
    streams_buf_init();
    uemu_Reader *reader = uemu_Create(NULL); /* the defaults */
    utr_MemoryPair *pair = utr_MemoryPairCreate("app", "reader", 0);
    if (reader == NULL || pair == NULL ||
        uemu_Attach(reader, utr_MemoryEndpoint(pair, UTR_SIDE_B), NULL, NULL) != UEMU_OK) {
        return 1;
    }

    /* ---- the client ---- */
    ClientProcessor *client = NULL;
    if (ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair, UTR_SIDE_A), "gpio-example",
                                    &client) != 0) {
        return 1;
    }
    ulmot_AttachDefaultObjectProcessor(client, ULMOT_OBJ_GPI, 0, 0);
    ulmot_AttachDefaultObjectProcessor(client, ULMOT_OBJ_GPO, 0, 0);

    uint8_t inputs = 0;
    int32_t rc = ulmot_GetGPICount(client, &inputs);
    if (rc == 0) printf("%u inputs\n", inputs);
    /* Lines are numbered from 1; one callback serves them all. */
    for (uint8_t line = 1; rc == 0 && line <= inputs; ++line) {
        rc = ulmot_RegisterGPIEvent(client, line, on_input, NULL, 1);
    }

    /* The world outside: input 2 goes high and low, every 50 ms. */
    const uint8_t levels[] = {1, 0};
    if (rc == 0) uemu_SetGpiPattern(reader, 2, levels, 2, 50);

    for (int waited = 0; rc == 0 && atomic_load(&changes) < 6 && waited < 1000; ++waited) {
        nanosleep(&(struct timespec){0, 10 * 1000 * 1000}, NULL);
    }
    uemu_SetGpiPattern(reader, 2, NULL, 0, 0); /* the signal stops */

    uint8_t output = 0;
    if (rc == 0) rc = ulmot_WriteGPO(client, 1, 1);
    if (rc == 0) rc = ulmot_ReadGPO(client, 1, &output);
    if (rc == 0) printf("output 1 is %s\n", output ? "high" : "low");

    ulmot_DestroyClientProcessor(client);
    uemu_Destroy(reader);
    utr_MemoryPairDestroy(pair);
    if (rc != 0 || atomic_load(&changes) < 6 || output != 1) {
        fprintf(stderr, "gpio_watch failed (result %d)\n", rc);
        return 1;
    }
    return 0;
}
