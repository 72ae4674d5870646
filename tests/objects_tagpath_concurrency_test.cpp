// Callback slots read whole: an application thread re-registers callbacks
// with alternating contexts while the reader's events flow, and every
// callback checks that it was handed its own registration's context.
#include "objects_tagpath_support.h"

namespace {

using namespace ulmot::test;

struct Side {
    std::atomic<int> calls{0};
};

Side g_a, g_b;
std::atomic<int> g_torn{0};

// A callback of side S counts a call, and a torn read when its context is
// not S's.
template <Side *S>
void Count(void *context) {
    if (context != S) ++g_torn;
    ++S->calls;
}
template <Side *S>
void Report(void *c, uint32_t, uint8_t, const TagReport *) { Count<S>(c); }
template <Side *S>
void Stop(void *c, uint32_t, uint8_t) { Count<S>(c); }
template <Side *S>
void Start(void *c, uint32_t, uint32_t) { Count<S>(c); }
template <Side *S>
void Vswr(void *c, uint32_t, uint8_t, uint8_t) { Count<S>(c); }
template <Side *S>
void Activation(void *c, uint32_t, uint8_t, const AntennaPairActivation *) { Count<S>(c); }

template <Side *S>
void RegisterSide(ClientProcessor *client) {
    ulmot_RegisterInventoryEvents(client, nullptr, nullptr, Report<S>, S);
    ulmot_RegisterAccessEvents(client, Stop<S>, nullptr, nullptr, nullptr, nullptr, S);
    ulmot_RegisterScheduleEvents(client, Start<S>, nullptr, S);
    ulmot_RegisterTxAntennaVSWRStatus(client, Vswr<S>, S, 1);
    ulmot_RegisterAntennaPairActivation(client, Activation<S>, S, 1);
}

using TagPathConcurrency = TagPathTest;

TEST_F(TagPathConcurrency, ReRegisteringWhileEventsFlowNeverTearsACallbackFromItsContext) {
    constexpr int kRounds = 200;
    g_a.calls = g_b.calls = 0;
    g_torn = 0;
    std::atomic<bool> registering{true}, answering{true};
    std::thread responder([&] {
        while (answering) {
            const Bytes request = reader_->NextRequest(20);
            if (!request.empty()) reader_->Respond(request, ResultBody(0));
        }
    });
    RegisterSide<&g_a>(client_);
    std::thread registrar([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (i % 2) {
                RegisterSide<&g_a>(client_);
            } else {
                RegisterSide<&g_b>(client_);
            }
        }
        registering = false;
    });
    const Bytes report = {0x01, 0x00, 0x01, 0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x10, 0xAA, 0xBB};
    int batches = 0;
    while (registering) {
        SendEvent(5, 2, 1, 1, report);
        SendEvent(7, 2, 1, 1, {});
        SendEvent(11, 0, 1, 1, {});
        SendEvent(8, 0, 1, 1, {0x40, 0x01});
        SendEvent(17, 0, 1, 1, {0x00, 0x01, 0x10, 0x02, 0x21, 0x00, 0x03});
        ++batches;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    registrar.join();
    // Let the queue drain: a last event reaches side A, registered last.
    const int before = g_a.calls;
    SendEvent(11, 0, 1, 1, {});
    for (int i = 0; i < 500 && g_a.calls == before; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    answering = false;
    responder.join();
    EXPECT_EQ(g_torn.load(), 0);
    EXPECT_GT(g_a.calls.load(), before) << "the events were delivered";
    EXPECT_GT(g_a.calls.load() + g_b.calls.load(), batches) << "events reached the callbacks while re-registering";
}

}  // namespace
