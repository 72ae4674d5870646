// Starting a schedule asks the platform library whether radio access is
// blocked. The library is looked for once per process, so each situation is
// its own executable, run with LD_LIBRARY_PATH pointing at a stand-in
// library (tests/vyrplatsupp_*.c) or at none:
//   ULMOT_RADIO_BLOCKED   the stand-in answers "blocked"
//   ULMOT_RADIO_OPEN      the stand-in answers "not blocked"
//   ULMOT_RADIO_NO_EXPORT a library of that name without the export
//   ULMOT_RADIO_ABSENT    no such library
#include <dlfcn.h>

#include <algorithm>

#include "objects_tagpath_support.h"

namespace {

using namespace ulmot::test;

using RadioAccess = TagPathRequestTest;

// How often the stand-in library loaded by the client was asked; -1 when no
// library of that name is loaded in the process. The count lives as long as
// the process: cases compare it with its value before them.
int PlatformCalls() {
    void *library = dlopen("libvyrplatsupp.so", RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return -1;
    const auto calls = reinterpret_cast<int (*)()>(dlsym(library, "vyrplatsupp_TestCalls"));
    const int n = calls != nullptr ? calls() : -2;
    dlclose(library);  // the reference taken just now
    return n;
}

[[maybe_unused]] RequestCase Start(const char *name, int32_t id, int32_t flag, Bytes body, uint8_t instance, Reply reply = Ok(),
                  int32_t result = 0, std::vector<std::string> lines = {}) {
    return {name, [=](ClientProcessor *c) { return ulmot_StartScheduleSpecification(c, id, flag); },
            {RequestBytes(11, 100, instance, std::move(body))}, {std::move(reply)}, result, std::move(lines)};
}

#if defined(ULMOT_RADIO_BLOCKED)

TEST_F(RadioAccess, BlockedRadioRefusesEveryStartUnsentAndIsAskedEachTime) {
    const int before = std::max(PlatformCalls(), 0);
    for (int start = 1; start <= 3; ++start) {
        Check({"blocked", [](ClientProcessor *c) { return ulmot_StartScheduleSpecification(c, 3, 1); }, {}, {}, -1,
               {"ulmot_StartScheduleSpecification: Radio is blocked (insufficient power?)"}});
        EXPECT_EQ(PlatformCalls(), before + start);
    }
    // Only starts are refused.
    Check({"stop", [](ClientProcessor *c) { return ulmot_StopScheduleSpecification(c, 3, nullptr); },
           {RequestBytes(11, 101, 3, {})}, {Ok()}, 0, {}});
    EXPECT_EQ(PlatformCalls(), before + 3);
}

#elif defined(ULMOT_RADIO_OPEN)

TEST_F(RadioAccess, FreeRadioLetsEveryStartThrough) {
    const int before = std::max(PlatformCalls(), 0);
    CheckAll({
        Start("flag 1", 3, 1, {0x10, 0x01}, 3),
        Start("flag 2 is sent as 0, the id cut to 8 bits", 0x104, 2, {0x10, 0x00}, 4),
        Start("flag 0", 3, 0, {0x10, 0x00}, 3),
        Start("refused by the reader", 5, 1, {0x10, 0x01}, 5, {ResultBody(-6)}, -6,
              {"ulmot_StartScheduleSpecification: Failed (result -6)"}),
    });
    EXPECT_EQ(PlatformCalls(), before + 4) << "asked once per start";
}

TEST_F(RadioAccess, FirstStartsOnManyThreadsLoadTheLibraryOnce) {
    constexpr int kThreads = 6;
    const int before = std::max(PlatformCalls(), 0);
    std::atomic<int> ok{0};
    testing::internal::CaptureStderr();
    std::vector<std::thread> starts;
    for (int i = 0; i < kThreads; ++i) {
        starts.emplace_back([&, i] {
            if (ulmot_StartScheduleSpecification(client_, i + 1, 1) == 0) ++ok;
        });
    }
    for (int i = 0; i < kThreads; ++i) {
        const Bytes request = reader_->NextRequest();
        ASSERT_FALSE(request.empty());
        EXPECT_EQ(BodyOf(request), (Bytes{0x10, 0x01}));
        reader_->Respond(request, ResultBody(0));
    }
    for (std::thread &t : starts) t.join();
    EXPECT_EQ(LogLines(testing::internal::GetCapturedStderr()), std::vector<std::string>{});
    EXPECT_EQ(ok.load(), kThreads);
    EXPECT_EQ(PlatformCalls(), before + kThreads);
}

#elif defined(ULMOT_RADIO_NO_EXPORT)

TEST_F(RadioAccess, LibraryWithoutTheExportLetsStartsThroughSilently) {
    CheckAll({Start("first", 3, 1, {0x10, 0x01}, 3), Start("second", 3, 1, {0x10, 0x01}, 3)});
    EXPECT_EQ(PlatformCalls(), 0) << "loaded, never asked";
}

#elif defined(ULMOT_RADIO_ABSENT)

TEST_F(RadioAccess, MissingLibraryIsLoggedOnceAndStartsProceed) {
    CheckAll({
        Start("first start: the load fails", 3, 1, {0x10, 0x01}, 3, Ok(), 0,
              {"ulmot_StartScheduleSpecification - Failed to load library 'vyrplatsupp'"}),
        Start("second start: not tried again", 3, 1, {0x10, 0x01}, 3),
        Start("third start", 2, 0, {0x10, 0x00}, 2),
    });
    EXPECT_EQ(PlatformCalls(), -1);
}

#else
#error "build with one of ULMOT_RADIO_BLOCKED, _OPEN, _NO_EXPORT, _ABSENT"
#endif

}  // namespace
