// tests/objects_tagpath_support.h - the tag path families against a scripted
// reader: each operation runs on a thread of its own while the test reads
// its requests as literal bytes and answers them; events are built byte by
// byte and their callbacks recorded as text.
#pragma once

#include <gmock/gmock.h>

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "items_support.h"
#include "objects/tag_path.h"
#include "processors_support.h"

namespace ulmot::test {

// The processor each object type is attached to in these tests: 0x20 plus the
// object type, so that a request sent to the wrong attach entry shows.
inline uint8_t AttachedTo(uint8_t objectType) { return static_cast<uint8_t>(0x20 + objectType); }

// A whole request as the reader must receive it from the client (processor
// id 7): header with message type REQUEST, then `body`. The message id bits
// are not compared (see Normalised).
inline Bytes RequestBytes(uint8_t objectType, uint8_t command, uint8_t instance, const Bytes &body) {
    const auto n = static_cast<uint16_t>(body.size());
    Bytes w = {AttachedTo(objectType), 0x07, 0x00, command, objectType, instance, static_cast<uint8_t>(n >> 8),
               static_cast<uint8_t>(n)};
    Append(w, body);
    return w;
}

// A received request with the message id (which the session chooses) masked
// out, keeping the message type bits.
inline Bytes Normalised(Bytes request) {
    if (request.size() > ULMOT_HEADER_TYPE_ID) request[ULMOT_HEADER_TYPE_ID] &= 0xC0;
    return request;
}

// The answer of the reader to one request.
struct Reply {
    Bytes body;
    uint8_t instance = 0;
};

inline Reply Ok(Bytes more = {}, uint8_t instance = 0) { return {ResultBody(0, std::move(more)), instance}; }

// What one call did: the requests the reader received (normalised), its
// result and the lines it logged.
struct Exchange {
    std::vector<Bytes> requests;
    int32_t result = 12345;
    std::string log;
};

// A body of the event registration request (command 5).
inline Bytes RegistrationBody(uint32_t selection, uint32_t enable) {
    return {0x02, static_cast<uint8_t>(selection >> 24), static_cast<uint8_t>(selection >> 16),
            static_cast<uint8_t>(selection >> 8), static_cast<uint8_t>(selection), 0x02,
            static_cast<uint8_t>(enable >> 24), static_cast<uint8_t>(enable >> 16),
            static_cast<uint8_t>(enable >> 8), static_cast<uint8_t>(enable)};
}

// Records callbacks as lines of text, across threads.
class Recorder {
public:
    void Add(std::string line) {
        std::lock_guard<std::mutex> l(m_);
        lines_.push_back(std::move(line));
        cv_.notify_all();
    }
    bool WaitFor(size_t count, int timeoutMs = 5000) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return lines_.size() >= count; });
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> l(m_);
        std::vector<std::string> out;
        out.swap(lines_);
        return out;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

// printf into a std::string.
template <typename... Args>
std::string Format(const char *format, Args... args) {
    char line[512];
    std::snprintf(line, sizeof line, format, args...);
    return line;
}

// Hex of a byte range, "AA BB"; "null" for a null pointer.
inline std::string Hex(const uint8_t *data, size_t length) {
    if (data == nullptr) return "null";
    std::string s;
    for (size_t i = 0; i < length; ++i) s += Format("%s%02X", i ? " " : "", data[i]);
    return s;
}

class TagPathTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        for (uint8_t type : {3, 5, 6, 7, 8, 11, 17}) ulmot_AttachTargetProcessor(client_, type, AttachedTo(type));
    }

    // Runs `call` on a thread while the reader answers its requests with
    // `replies`, in order; then waits for it and checks that nothing more was
    // sent.
    Exchange Run(const std::function<int32_t()> &call, const std::vector<Reply> &replies = {}) {
        Exchange x;
        testing::internal::CaptureStderr();
        std::thread t([&] { x.result = call(); });
        for (const Reply &r : replies) {
            const Bytes request = reader_->NextRequest();
            if (request.empty()) break;
            x.requests.push_back(Normalised(request));
            reader_->Respond(request, r.body, r.instance);
        }
        t.join();
        const Bytes extra = reader_->NextRequest(50);
        if (!extra.empty()) x.requests.push_back(Normalised(extra));
        x.log = testing::internal::GetCapturedStderr();
        return x;
    }

    // Sends an event of `objectType`/`eventType` about `instance` with the
    // time stamp `timestamp` and the items `items`.
    void SendEvent(uint8_t objectType, uint8_t eventType, uint8_t instance, uint32_t timestamp, Bytes items) {
        Frame f;
        f.type = ULMOT_MSG_EVENT;
        f.objectType = objectType;
        f.command = eventType;
        f.instance = instance;
        f.body = TimestampBody(timestamp, std::move(items));
        reader_->peer().Send(f);
    }
};

}  // namespace ulmot::test

namespace ulmot::test {

// The messages of the lines in a captured stderr, in order ("[thread:ms]"
// stripped after checking the form of each line).
inline std::vector<std::string> LogLines(const std::string &captured) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < captured.size()) {
        const size_t end = captured.find('\n', start);
        const size_t stop = end == std::string::npos ? captured.size() : end + 1;
        lines.push_back(DebugMessage(captured.substr(start, stop - start)));
        start = stop;
    }
    return lines;
}

// One operation, the requests it must send (whole, as literal bytes), the
// reader's answers, its result and every line it must log (and no other).
struct RequestCase {
    const char *name;
    std::function<int32_t(ClientProcessor *)> call;
    std::vector<Bytes> requests;
    std::vector<Reply> replies;
    int32_t result;
    std::vector<std::string> lines;
};

class TagPathRequestTest : public TagPathTest {
protected:
    void Check(const RequestCase &c) {
        SCOPED_TRACE(c.name);
        const Exchange x = Run([&] { return c.call(client_); }, c.replies);
        EXPECT_EQ(x.requests, c.requests);
        EXPECT_EQ(x.result, c.result);
        EXPECT_EQ(LogLines(x.log), c.lines);
    }
    void CheckAll(const std::vector<RequestCase> &cases) {
        for (const RequestCase &c : cases) Check(c);
    }
};

}  // namespace ulmot::test
