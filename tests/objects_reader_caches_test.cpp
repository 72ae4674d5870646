// The caches the client keeps: the Gen2 parameter sets with their count, and
// the version information with the radio model. First uses from several
// threads at once send one request whose outcome they all see; what is not
// kept (a failed fetch, a set whose item 12 is 0, a count of 0) is fetched
// again by the next call.
#include <atomic>

#include "objects_reader_support.h"

namespace {

using namespace ulmot::test;

// `n` threads that each make one call at once.
class Crowd {
public:
    template <typename Call>
    Crowd(int n, Call call) : results_(static_cast<size_t>(n), 12345) {
        for (int i = 0; i < n; ++i) {
            threads_.emplace_back([this, call, i] {
                ++entered_;
                results_[static_cast<size_t>(i)] = call(i);
            });
        }
    }
    ~Crowd() { Join(); }
    int entered() const { return entered_.load(); }
    void Join() {
        for (std::thread &t : threads_) {
            if (t.joinable()) t.join();
        }
    }
    const std::vector<int32_t> &results() const { return results_; }

private:
    std::atomic<int> entered_{0};
    std::vector<int32_t> results_;
    std::vector<std::thread> threads_;
};

class ReaderCaches : public ReaderObjectsTest {
protected:
    // Lets a crowd of `n` make its calls: exactly one request `expected`
    // comes while they all wait for it, and it is answered with `answer`.
    template <typename Call>
    std::vector<int32_t> OneFetchForAll(int n, Call call, const Bytes &expected, const Bytes &answer) {
        Crowd crowd(n, call);
        const Bytes request = reader_->NextRequest();
        EXPECT_EQ(WithoutMessageId(request), expected);
        for (int i = 0; i < 500 && crowd.entered() < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        // Every caller has entered; the ones that do not fetch wait for the
        // fetch under way instead of sending a request of their own.
        EXPECT_TRUE(reader_->NextRequest(300).empty()) << "a second request while the first was under way";
        if (!request.empty()) reader_->Respond(request, answer);
        crowd.Join();
        EXPECT_TRUE(reader_->NextRequest(100).empty()) << "a request after the fetch";
        return crowd.results();
    }
    // One call that must send `expected`, answered with `answer`.
    int32_t Fetch(const std::function<int32_t()> &call, const Bytes &expected, const Bytes &answer) {
        Bytes request;
        const int32_t r = Exchange(call, &request, answer);
        EXPECT_EQ(WithoutMessageId(request), expected);
        return r;
    }
};

const Bytes kSetItems = {0x00, 0x01, 0x12, 0x00, 0x01, 0x02, 0x03, 0x20, 0x02, 0x30, 0x03, 0x40, 0x04, 0x51, 0x00,
                         0x05, 0x61, 0x00, 0x06, 0xB0, 0x0B, 0x90, 0x09, 0xA0, 0x0A, 0xC0, 0x0C, 0xD0, 0x0D};

void ExpectTheSet(const Gen2ParmSet &s) {
    EXPECT_EQ(s.item0, 1);
    EXPECT_EQ(s.item1, 0x010203u);
    EXPECT_EQ(s.item2, 2);
    EXPECT_EQ(s.item3, 3);
    EXPECT_EQ(s.item4, 4);
    EXPECT_EQ(s.item5, 5);
    EXPECT_EQ(s.item6, 6);
    EXPECT_EQ(s.item11, 11);
    EXPECT_EQ(s.item9, 9);
    EXPECT_EQ(s.item10, 10);
    EXPECT_EQ(s.item12, 12);
    EXPECT_EQ(s.item13, 13);
}

TEST_F(ReaderCaches, ParmSetFetchedOnceForThreadsThatAskAtOnce) {
    for (int threads : {2, 8}) {
        SCOPED_TRACE(threads);
        const int32_t number = threads == 2 ? 4 : 19;
        std::vector<Gen2ParmSet> sets(static_cast<size_t>(threads));
        const auto results = OneFetchForAll(
            threads, [&](int i) { return ulmot_GetGen2ParmSet(client_, number, &sets[static_cast<size_t>(i)]); },
            RequestBytes(18, 4, static_cast<uint8_t>(number), {}), ResultBody(0, kSetItems));
        for (int i = 0; i < threads; ++i) {
            EXPECT_EQ(results[static_cast<size_t>(i)], 0);
            ExpectTheSet(sets[static_cast<size_t>(i)]);
        }
        // Kept: later calls send nothing.
        Gen2ParmSet again{};
        EXPECT_EQ(ulmot_GetGen2ParmSet(client_, number, &again), 0);
        ExpectTheSet(again);
        EXPECT_TRUE(reader_->NextRequest(100).empty());
    }
    // Each set number is a cache of its own.
    Gen2ParmSet other{};
    EXPECT_EQ(Fetch([&] { return ulmot_GetGen2ParmSet(client_, 0, &other); }, RequestBytes(18, 4, 0, {}),
                    ResultBody(0, {0xC0, 0x01})),
              0);
    EXPECT_EQ(other.item12, 1);
    EXPECT_EQ(other.item0, 0);
}

TEST_F(ReaderCaches, FailedParmSetFetchIsSharedThenRetried) {
    Gen2ParmSet sets[2];
    std::memset(sets, 0x3C, sizeof sets);
    CaptureStderr();
    const auto results = OneFetchForAll(
        2, [&](int i) { return ulmot_GetGen2ParmSet(client_, 7, &sets[i]); }, RequestBytes(18, 4, 7, {}),
        ResultBody(-9));
    GetCapturedStderr();
    EXPECT_EQ(results, (std::vector<int32_t>{-1, -1}));
    EXPECT_EQ(sets[0].item12, 0x3C) << "the record is untouched";
    EXPECT_EQ(sets[1].item12, 0x3C);
    Gen2ParmSet set{};
    EXPECT_EQ(Fetch([&] { return ulmot_GetGen2ParmSet(client_, 7, &set); }, RequestBytes(18, 4, 7, {}),
                    ResultBody(0, kSetItems)),
              0);
    ExpectTheSet(set);
    EXPECT_EQ(ulmot_GetGen2ParmSet(client_, 7, &set), 0);
    EXPECT_TRUE(reader_->NextRequest(100).empty());
}

TEST_F(ReaderCaches, ParmSetWithoutItem12IsAskedForAgain) {
    Gen2ParmSet set{};
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(Fetch([&] { return ulmot_GetGen2ParmSet(client_, 1, &set); }, RequestBytes(18, 4, 1, {}),
                        ResultBody(0, {0x00, 0x05, 0xD0, 0x06})),
                  0);
        EXPECT_EQ(set.item0, 5) << "the record is handed out all the same";
        EXPECT_EQ(set.item13, 6);
        EXPECT_EQ(set.item12, 0);
    }
}

TEST_F(ReaderCaches, ParmSetNumberOutOfRange) {
    Gen2ParmSet set;
    std::memset(&set, 0x11, sizeof set);
    for (int32_t number : {20, 255, -1}) {
        CaptureStderr();
        EXPECT_EQ(ulmot_GetGen2ParmSet(client_, number, &set), -5);
        EXPECT_THAT(GetCapturedStderr(),
                    HasSubstr("]ulmot_GetGen2ParmSet: Index (" + std::to_string(number) + ") out of range\n"));
    }
    EXPECT_EQ(set.item0, 0x11);
    EXPECT_TRUE(reader_->NextRequest(100).empty());
}

TEST_F(ReaderCaches, ParmSetCountFetchedOnce) {
    const Bytes three = {0x03, 0x12, 0x01, 0x03, 0x12, 0x02, 0x03, 0x12, 0x03};
    uint8_t counts[3] = {0, 0, 0};
    const auto results = OneFetchForAll(
        3, [&](int i) { return ulmot_GetGen2ParmSetCount(client_, &counts[i]); }, RequestBytes(18, 0, 0, {}),
        ResultBody(0, three));
    EXPECT_EQ(results, (std::vector<int32_t>{0, 0, 0}));
    EXPECT_EQ(Bytes(counts, counts + 3), (Bytes{3, 3, 3}));
    uint8_t count = 0;
    EXPECT_EQ(ulmot_GetGen2ParmSetCount(client_, &count), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(ulmot_GetGen2ParmSetCount(client_, nullptr), 0);
    EXPECT_TRUE(reader_->NextRequest(100).empty());
}

TEST_F(ReaderCaches, ParmSetCountNotKeptUnlessSound) {
    uint8_t count = 0xEE;
    // Numbered with a gap: the result of the check, and nothing kept.
    CaptureStderr();
    EXPECT_EQ(Fetch([&] { return ulmot_GetGen2ParmSetCount(client_, &count); }, RequestBytes(18, 0, 0, {}),
                    ResultBody(0, {0x03, 0x12, 0x01, 0x03, 0x12, 0x05})),
              -1);
    GetCapturedStderr();
    EXPECT_EQ(count, 0xEE) << "a failed fetch hands out no count";
    // No sets at all: 0, asked for again next time.
    EXPECT_EQ(Fetch([&] { return ulmot_GetGen2ParmSetCount(client_, &count); }, RequestBytes(18, 0, 0, {}), ResultBody(0)),
              0);
    EXPECT_EQ(count, 0);
    CaptureStderr();
    EXPECT_EQ(Fetch([&] { return ulmot_GetGen2ParmSetCount(client_, &count); }, RequestBytes(18, 0, 0, {}),
                    ResultBody(-21)),
              -21);
    GetCapturedStderr();
    EXPECT_EQ(Fetch([&] { return ulmot_GetGen2ParmSetCount(client_, &count); }, RequestBytes(18, 0, 0, {}),
                    ResultBody(0, {0x03, 0x12, 0x01})),
              0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(ulmot_GetGen2ParmSetCount(client_, &count), 0);
    EXPECT_TRUE(reader_->NextRequest(100).empty());
}

// Version strings 0 to 9 ("ver0"... with 9 = "hello", 3 of 100 bytes) and
// radio model 0x1234.
Bytes VersionItems() {
    Bytes b;
    for (uint8_t k = 0; k < 10; ++k) {
        std::string s = k == 9 ? "hello" : "ver" + std::to_string(k);
        if (k == 3) s.assign(100, 'L');
        b.push_back(static_cast<uint8_t>(k << 4 | 4));
        b.push_back(0);
        b.push_back(static_cast<uint8_t>(s.size()));
        for (char ch : s) b.push_back(static_cast<uint8_t>(ch));
    }
    Append(b, {0xA1, 0x12, 0x34});
    return b;
}

TEST_F(ReaderCaches, VersionInformationFetchedOnce) {
    char texts[3][16];
    std::memset(texts, '#', sizeof texts);
    uint16_t model = 0;
    const auto results = OneFetchForAll(
        4,
        [&](int i) {
            switch (i) {
                case 0: return ulmot_GetVersion(client_, 0, texts[0], 16);
                case 1: return ulmot_GetVersion(client_, 9, texts[1], 16);
                case 2: return ulmot_GetVersion(client_, 10, texts[2], 16);
                default: return ulmot_GetRadioModel(client_, &model);
            }
        },
        RequestBytes(0, 4, 1, {}), ResultBody(0, VersionItems()));
    EXPECT_EQ(results, (std::vector<int32_t>{0, 0, -5, 0}));
    EXPECT_STREQ(texts[0], "ver0");
    EXPECT_STREQ(texts[1], "hello");
    EXPECT_STREQ(texts[2], "UNKNOWN");
    EXPECT_EQ(model, 0x1234);
    // The rest of the buffer is zero-filled, as a bounded copy leaves it.
    for (int i = 5; i < 16; ++i) EXPECT_EQ(texts[0][i], '\0') << i;
}

struct VersionCase {
    uint32_t which;
    uint32_t length;
    int32_t result;
    std::string text;
};

TEST_F(ReaderCaches, VersionTextCutToTheBuffer) {
    char text[16];
    EXPECT_EQ(Fetch([&] { return ulmot_GetVersion(client_, 1, text, sizeof text); }, RequestBytes(0, 4, 1, {}),
                    ResultBody(0, VersionItems())),
              0);
    EXPECT_STREQ(text, "ver1");
    const VersionCase cases[] = {
        {9, 4, 0, "hel"},       {9, 6, 0, "hello"},   {9, 5, 0, "hell"}, {9, 1, 0, ""},
        {3, 12, 0, ""},  // 100 bytes do not fit the 99 characters kept: empty
        {10, 12, -5, "UNKNOWN"}, {0xFFFFFFFF, 5, -5, "UNKN"}, {10, 1, -5, ""},
    };
    for (const VersionCase &c : cases) {
        SCOPED_TRACE(std::to_string(c.which) + "/" + std::to_string(c.length));
        std::memset(text, '#', sizeof text);
        EXPECT_EQ(ulmot_GetVersion(client_, c.which, text, c.length), c.result);
        EXPECT_EQ(std::string(text), c.text);
        EXPECT_EQ(text[c.length], '#') << "nothing past the buffer's length";
    }
    uint16_t model = 0;
    EXPECT_EQ(ulmot_GetRadioModel(client_, &model), 0);
    EXPECT_EQ(model, 0x1234);
    EXPECT_TRUE(reader_->NextRequest(100).empty());
}

TEST_F(ReaderCaches, FailedVersionFetchIsSharedThenRetried) {
    char texts[2][8];
    std::memset(texts, '#', sizeof texts);
    uint16_t model = 0x7777;
    CaptureStderr();
    const auto results = OneFetchForAll(
        3,
        [&](int i) {
            // An unknown selector still fails with the fetch.
            return i < 2 ? ulmot_GetVersion(client_, i == 0 ? 0 : 10, texts[i], 8) : ulmot_GetRadioModel(client_, &model);
        },
        RequestBytes(0, 4, 1, {}), ResultBody(-2));
    GetCapturedStderr();
    EXPECT_EQ(results, (std::vector<int32_t>{-1, -1, -1}));
    EXPECT_EQ(texts[0][0], '#');
    EXPECT_EQ(texts[1][0], '#');
    EXPECT_EQ(model, 0x7777);
    // The next call fetches again; a response without a model gives 0.
    EXPECT_EQ(Fetch([&] { return ulmot_GetRadioModel(client_, &model); }, RequestBytes(0, 4, 1, {}),
                    ResultBody(0, {0x04, 0x00, 0x01, 'x'})),
              0);
    EXPECT_EQ(model, 0);
    EXPECT_EQ(ulmot_GetVersion(client_, 0, texts[0], 8), 0);
    EXPECT_STREQ(texts[0], "x");
    EXPECT_TRUE(reader_->NextRequest(100).empty());
}

TEST_F(ReaderCaches, VersionIntoNoRoomWritesNothing) {
    char text[1] = {'Q'};
    CaptureStderr();
    EXPECT_EQ(ulmot_GetVersion(client_, 0, text, 0), -5);
    EXPECT_EQ(ulmot_GetVersion(client_, 0, nullptr, 10), -5);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_GetVersion: No room in a buffer of length 0\n"));
    EXPECT_EQ(text[0], 'Q');
    EXPECT_TRUE(reader_->NextRequest(100).empty());
}

}  // namespace
