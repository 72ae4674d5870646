/* utr.h and uemu.h as a C11 program sees them, with the shared library: a
 * fault wrapper drops one block and duplicates the next; a reader, and a
 * session over an in-memory pair that registers with it. utr.h comes first,
 * so that it is seen to stand alone. */
#include <stdio.h>
#include <string.h>

#include <utr.h>

#include <uemu.h>
#include <ulmot.h>

static int failures;
#define CHECK(cond) ((cond) ? (void)0 : (void)(fprintf(stderr, "line %d: %s\n", __LINE__, #cond), ++failures))

int main(void) {
    uemu_Config config;
    utr_MemoryPair *pair = utr_MemoryPairCreate("c-client", "c-reader", 0);
    Transport *near = utr_MemoryEndpoint(pair, UTR_SIDE_A), *far = utr_MemoryEndpoint(pair, UTR_SIDE_B);
    MessageBlock *got = NULL, *copy = NULL, *none = NULL;
    utr_FaultStats stats;
    uemu_Link *link = NULL;
    uemu_ProcessorInfo processors[4];
    uint32_t count = 0;
    uint8_t id = 0;
    streams_buf_init();
    Transport *fault = utr_FaultCreate(near, NULL);
    CHECK(utr_FaultDrop(fault, UTR_OUTBOUND, 1, UTR_MATCH_ANY) == 0);
    CHECK(utr_FaultDuplicate(fault, UTR_OUTBOUND, 1, UTR_MATCH_ANY) == 0);
    CHECK(fault->send(fault, allocb(16, 0), 0) == 0 && fault->send(fault, allocb(16, 0), 0) == 0);
    CHECK(far->receive(far, &got, 100) == 0 && far->receive(far, &copy, 100) == 0 && copy != got);
    CHECK(far->receive(far, &none, 0) == ULMOT_TRANSPORT_TIMEOUT);
    freeb(got);
    freeb(copy);
    CHECK(utr_FaultGetStats(fault, UTR_OUTBOUND, &stats) == 0);
    CHECK(stats.dropped == 1 && stats.duplicated == 1 && stats.forwarded == 0);
    utr_FaultDestroy(fault);
    uemu_ConfigInit(&config);
    uemu_Reader *reader = uemu_Create(&config);
    CHECK(reader != NULL && uemu_Attach(reader, far, NULL, &link) == UEMU_OK);
    Session *session = ulmot_CreateSession(near, 5);
    MessageBlock *body = ulmot_BufferAllocate(64, 8);
    CHECK(ulmot_BufferWriteDTPByteArray(body, 0, "c", 1) == 0);
    CHECK(ulmot_SendSessionMessage(session, ULMOT_MSG_REQUEST, 0, UEMU_DELIVERY_PROCESSOR_ID, 0,
                                   UEMU_DELIVERY_OBJECT_TYPE, 1, 0, body, NULL, &id) == 0);
    CHECK(id == UEMU_FIRST_CLIENT_ID && uemu_FindLink(reader, id) == link);
    CHECK(uemu_GetProcessors(reader, processors, 4, &count) == UEMU_OK && count == 3);
    CHECK(strcmp(processors[0].name, UEMU_READER_PROCESSOR_NAME) == 0 && strcmp(processors[2].name, "c") == 0);
    ulmot_DestroySession(session);
    uemu_Destroy(reader);
    utr_MemoryPairDestroy(pair);
    printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
    return failures != 0;
}
