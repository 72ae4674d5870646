// tests/objects_reader_support.h - the reader families (Gen2, GPI/GPO,
// radio, reset and RF survey, clock and versions, CTI, alarms, text log)
// against a scripted reader: every object type attached to its own processor
// (40 + type) so that each request shows where it was sent; callbacks that
// write what they were given to one log.
#pragma once

#include <gmock/gmock.h>

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "processors_support.h"

namespace ulmot::test {

using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// The context every test registers; callbacks note whether they got it.
inline void *const kContext = reinterpret_cast<void *>(uintptr_t{0x5EED});

// What callbacks were called with, as text ("gpi(1000,3,1)"), in order.
class CallLog {
public:
    void Add(const char *name, void *context, std::initializer_list<long long> args) {
        std::string s = name;
        if (context != kContext) s += "[context " + std::to_string(reinterpret_cast<uintptr_t>(context)) + "]";
        s += "(";
        bool first = true;
        for (long long a : args) {
            if (!first) s += ",";
            s += std::to_string(a);
            first = false;
        }
        s += ")";
        AddText(s);
    }
    void AddText(std::string s) {
        std::lock_guard<std::mutex> l(m_);
        calls_.push_back(std::move(s));
        cv_.notify_all();
    }
    // Waits until at least `n` calls are logged; false after `ms`.
    bool WaitFor(size_t n, int ms = 3000) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return calls_.size() >= n; });
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> l(m_);
        std::vector<std::string> out;
        out.swap(calls_);
        return out;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> calls_;
};

inline CallLog &Calls() {
    static CallLog log;
    return log;
}

inline void OnGpi(void *c, uint32_t ts, uint8_t instance, uint8_t state) { Calls().Add("gpi", c, {ts, instance, state}); }
inline void OnGpo(void *c, uint32_t ts, uint8_t instance, uint8_t state) { Calls().Add("gpo", c, {ts, instance, state}); }
inline void OnChannel(void *c, uint32_t ts, uint8_t channel) { Calls().Add("channel", c, {ts, channel}); }
inline void OnCycleTimeLeft(void *c, uint32_t ts, uint32_t left) { Calls().Add("cycle", c, {ts, left}); }
inline void OnRadioState(void *c, uint32_t ts, uint8_t state) { Calls().Add("radiostate", c, {ts, state}); }
inline void OnTemperature(void *c, uint32_t ts, uint16_t t, uint8_t state) { Calls().Add("temperature", c, {ts, t, state}); }
inline void OnResetDone(void *c, uint32_t ts, uint8_t instance) { Calls().Add("reset", c, {ts, instance}); }
inline void OnSurvey0(void *c, uint32_t ts, uint8_t instance) { Calls().Add("survey0", c, {ts, instance}); }
inline void OnSurvey1(void *c, uint32_t ts, uint8_t instance) { Calls().Add("survey1", c, {ts, instance}); }
inline void OnMeasurement(void *c, uint32_t ts, uint8_t instance, uint32_t channel, int32_t rssi, int32_t v4,
                          uint16_t v5, uint8_t object) {
    Calls().Add("measurement", c, {ts, instance, channel, rssi, v4, v5, object});
}
inline void OnAlarm(void *c, uint32_t ts, uint8_t instance, uint8_t pair) { Calls().Add("alarm", c, {ts, instance, pair}); }
// The text as a string: it must be terminated right after the bytes.
inline void OnTextLog(void *c, uint32_t ts, const char *text) {
    Calls().Add("textlog", c, {ts, static_cast<long long>(std::strlen(text))});
    Calls().AddText(text);
}

inline constexpr uint8_t kClientId = 7;  // the first id the scripted reader assigns

// The processor object type `t` is attached to in these tests.
constexpr uint8_t ProcessorOf(uint8_t objectType) { return static_cast<uint8_t>(40 + objectType); }

// A request as the reader should receive it; byte 2 (type and message id)
// is compared apart, as the id depends on the request slot.
inline Bytes RequestBytes(uint8_t objectType, uint8_t command, uint8_t instance, const Bytes &body) {
    Bytes r = {ProcessorOf(objectType), kClientId, 0, command, objectType, instance,
               static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
    Append(r, body);
    return r;
}

// The request with byte 2 cleared, after checking that it marks a request
// with a message id of 1 to 8.
inline Bytes WithoutMessageId(Bytes request) {
    if (request.size() < 8) return request;
    EXPECT_EQ(request[2] >> 6, ULMOT_MSG_REQUEST);
    EXPECT_GE(request[2] & 63, 1);
    EXPECT_LE(request[2] & 63, 8);
    request[2] = 0;
    return request;
}

inline Bytes MaskBody(uint32_t selection, uint32_t enable) {
    return {0x02, static_cast<uint8_t>(selection >> 24), static_cast<uint8_t>(selection >> 16),
            static_cast<uint8_t>(selection >> 8), static_cast<uint8_t>(selection), 0x02,
            static_cast<uint8_t>(enable >> 24), static_cast<uint8_t>(enable >> 16), static_cast<uint8_t>(enable >> 8),
            static_cast<uint8_t>(enable)};
}

class ReaderObjectsTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        ASSERT_EQ(reader_->lastAssignedId(), kClientId);
        for (uint8_t t = 0; t < ULMOT_ATTACH_ENTRIES; ++t) ulmot_AttachTargetProcessor(client_, t, ProcessorOf(t));
        Calls().Take();
    }
    void TearDown() override {
        ClientTest::TearDown();
        Calls().Take();
    }

    // Runs `call` on a thread of its own, takes the one request it sends,
    // answers it with `answer` (and `answerInstance` in the header) and
    // returns the call's result and the request as received.
    int32_t Exchange(const std::function<int32_t()> &call, Bytes *request, const Bytes &answer,
                     uint8_t answerInstance = 0) {
        int32_t result = 12345;
        std::thread t([&] { result = call(); });
        *request = reader_->NextRequest();
        if (!request->empty()) reader_->Respond(*request, answer, answerInstance);
        t.join();
        return result;
    }

    // Sends an event of `objectType` with the time stamp item in front of
    // `items`.
    void SendEvent(uint8_t objectType, uint8_t eventType, uint8_t instance, uint32_t timestamp, const Bytes &items) {
        Frame f;
        f.type = ULMOT_MSG_EVENT;
        f.source = ProcessorOf(objectType);
        f.command = eventType;
        f.objectType = objectType;
        f.instance = instance;
        f.body = TimestampBody(timestamp, items);
        reader_->peer().Send(f);
    }
};

}  // namespace ulmot::test
