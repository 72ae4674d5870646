/* utr.h as a C11 program sees it: a pair moves one block, a fault wrapper
 * drops one and duplicates the next. */
#include <stdio.h>

#include <utr.h>

static int failures;
#define CHECK(cond) ((cond) ? (void)0 : (void)(++failures, fprintf(stderr, "line %d: %s\n", __LINE__, #cond)))

int main(void) {
    MessageBlock *sent, *got = NULL, *copy = NULL;
    utr_FaultStats stats;
    streams_buf_init();
    utr_MemoryPair *pair = utr_MemoryPairCreate("a", "b", 0);
    Transport *a = utr_MemoryEndpoint(pair, UTR_SIDE_A), *b = utr_MemoryEndpoint(pair, UTR_SIDE_B);
    sent = allocb(16, 0);
    CHECK(a->send(a, sent, 0) == 0);
    CHECK(b->receive(b, &got, 100) == 0 && got == sent);
    freeb(got);
    Transport *fault = utr_FaultCreate(a, NULL);
    CHECK(utr_FaultDrop(fault, UTR_OUTBOUND, 1, UTR_MATCH_ANY) == 0);
    CHECK(utr_FaultDuplicate(fault, UTR_OUTBOUND, 1, UTR_MATCH_ANY) == 0);
    CHECK(fault->send(fault, allocb(16, 0), 0) == 0 && fault->send(fault, allocb(16, 0), 0) == 0);
    CHECK(b->receive(b, &got, 100) == 0 && b->receive(b, &copy, 100) == 0 && copy != got);
    CHECK(b->receive(b, &sent, 0) == ULMOT_TRANSPORT_TIMEOUT);
    freeb(got);
    freeb(copy);
    CHECK(utr_FaultGetStats(fault, UTR_OUTBOUND, &stats) == 0);
    CHECK(stats.dropped == 1 && stats.duplicated == 1 && stats.forwarded == 0);
    utr_FaultDestroy(fault);
    utr_MemoryPairDestroy(pair);
    printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
    return failures != 0;
}
