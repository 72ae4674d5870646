// Starting a schedule first asks the platform library whether radio access
// is blocked. The library is looked for once per process, so each situation
// is an executable of its own, run with LD_LIBRARY_PATH at a directory that
// holds a stand-in libvyrplatsupp.so (tests/vyrplatsupp_*.c) or none:
//   ULMOT_RADIO_BLOCKED   the stand-in answers "blocked"
//   ULMOT_RADIO_OPEN      the stand-in answers "not blocked"
//   ULMOT_RADIO_NO_EXPORT a library of that name without the export
//   ULMOT_RADIO_ABSENT    no such library
#include <dlfcn.h>

#include "support.h"

namespace {

using namespace ulmot::test;

#if defined(ULMOT_RADIO_BLOCKED)
constexpr bool kBlocked = true, kAsked = true, kAbsent = false;
#elif defined(ULMOT_RADIO_OPEN)
constexpr bool kBlocked = false, kAsked = true, kAbsent = false;
#elif defined(ULMOT_RADIO_NO_EXPORT)
constexpr bool kBlocked = false, kAsked = false, kAbsent = false;
#elif defined(ULMOT_RADIO_ABSENT)
constexpr bool kBlocked = false, kAsked = false, kAbsent = true;
#else
#error "build with one of ULMOT_RADIO_BLOCKED, _OPEN, _NO_EXPORT, _ABSENT"
#endif

// How often the stand-in loaded by the client was asked (0 for the one
// without the export); -1 when no library of that name is loaded.
int PlatformCalls() {
    void *library = dlopen("libvyrplatsupp.so", RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return -1;
    const auto calls = reinterpret_cast<int (*)()>(dlsym(library, "vyrplatsupp_TestCalls"));
    const int n = calls != nullptr ? calls() : -2;
    dlclose(library);  // the reference taken just now
    return n;
}

using RadioAccess = ClientTest;

TEST_F(RadioAccess, StartsAskThePlatformLibraryFirst) {
    EXPECT_EQ(PlatformCalls(), -1) << "not looked for before the first start";
    const struct {
        int32_t id, flag;
        Bytes request;
        int16_t result;
    } starts[] = {{3, 1, RequestBytes(11, 100, 3, I8(1, 1)), 0},
                  {0x104, 2, RequestBytes(11, 100, 4, I8(1, 0)), 0},  // the id cut to 8 bits, flag 2 sent as 0
                  {3, 0, RequestBytes(11, 100, 3, I8(1, 0)), 7}};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const auto &s = starts[i];
        const Exchange x = Run([&] { return ulmot_StartScheduleSpecification(client_, s.id, s.flag); },
                               kBlocked ? std::vector<Reply>{} : std::vector<Reply>{{ResultBody(s.result)}});
        EXPECT_EQ(PlatformCalls(), kAbsent ? -1 : kAsked ? i + 1 : 0) << "asked once per start";
        std::vector<std::string> lines;
        if (kBlocked) lines.push_back("ulmot_StartScheduleSpecification: Radio is blocked (insufficient power?)");
        if (kAbsent && i == 0) lines.push_back("ulmot_StartScheduleSpecification - Failed to load library 'vyrplatsupp'");
        if (!kBlocked && s.result != 0) lines.push_back("ulmot_StartScheduleSpecification: Failed (result 7)");
        EXPECT_EQ(x.lines, lines);
        EXPECT_EQ(x.result, kBlocked ? -1 : s.result);
        EXPECT_EQ(x.requests, kBlocked ? std::vector<Bytes>{} : std::vector<Bytes>{s.request});
    }
    // Only starts are refused.
    const Exchange stop = Run([&] { return ulmot_StopScheduleSpecification(client_, 3, nullptr); }, {Ok()});
    EXPECT_EQ(std::make_pair(stop.result, stop.requests.size()), std::make_pair(0, size_t{1}));
}

}  // namespace
