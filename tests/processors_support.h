// tests/processors_support.h - a client processor over an in-memory pair,
// with the test playing the reader's side: a thread answers registrations
// and deregistrations with the delivery processor (ids from 7 up) and hands
// every other request to the test, which checks its bytes and answers.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "processors/client.h"
#include "session_support.h"

namespace ulmot::test {

class ScriptedReader {
public:
    explicit ScriptedReader(Transport *endpoint) : peer_(endpoint, false), t_(endpoint), thread_([this] { Run(); }) {}
    ~ScriptedReader() {
        stop_ = true;
        thread_.join();
    }

    // The next request that is not a registration or deregistration.
    Bytes NextRequest(int timeoutMs = 6000) {
        std::unique_lock<std::mutex> l(m_);
        if (!cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [this] { return !requests_.empty(); })) return {};
        Bytes r = requests_.front();
        requests_.pop_front();
        return r;
    }
    void Respond(const Bytes &request, Bytes body, uint8_t instance = 0) { peer_.Respond(request, std::move(body), instance); }
    Peer &peer() { return peer_; }

    int registrations() const { return registrations_.load(); }
    int deregistrations() const { return deregistrations_.load(); }
    uint8_t lastAssignedId() const { return static_cast<uint8_t>(nextId_.load() - 1); }
    Bytes lastRegistration() {
        std::lock_guard<std::mutex> l(m_);
        return lastRegistration_;
    }

private:
    void Run() {
        while (!stop_) {
            MessageBlock *b = nullptr;
            const int32_t r = t_->receive(t_, &b, 50);
            if (r == ULMOT_TRANSPORT_TERMINATED) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            if (r != 0) continue;
            Bytes bytes(b->readPtr, b->writePtr);
            freemsg(b);
            Handle(bytes);
        }
    }
    void Handle(const Bytes &req) {
        const bool delivery = req[ULMOT_HEADER_OBJECT_TYPE] == ULMOT_OBJ_DELIVERY;
        if (delivery && req[ULMOT_HEADER_COMMAND] == 1) {
            {
                std::lock_guard<std::mutex> l(m_);
                lastRegistration_ = req;
            }
            ++registrations_;
            peer_.Respond(req, ResultBody(0), static_cast<uint8_t>(nextId_.fetch_add(1)));
            return;
        }
        if (delivery && req[ULMOT_HEADER_COMMAND] == 2) {
            ++deregistrations_;
            peer_.Respond(req, ResultBody(0));
            return;
        }
        std::lock_guard<std::mutex> l(m_);
        requests_.push_back(req);
        cv_.notify_all();
    }

    Peer peer_;
    Transport *t_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Bytes> requests_;
    Bytes lastRegistration_;
    std::atomic<int> registrations_{0}, deregistrations_{0};
    std::atomic<int> nextId_{7};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A client created over an in-memory pair against a ScriptedReader.
class ClientTest : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        pair_ = utr_MemoryPairCreate("client-side", "reader-side", 0);
        utr_MemorySetReceiveSlice(pair_, 10);  // destroys need not wait out an 800 ms receive
        reader_ = std::make_unique<ScriptedReader>(utr_MemoryEndpoint(pair_, UTR_SIDE_B));
        ASSERT_EQ(ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "test-client", &client_), 0);
    }
    void TearDown() override {
        if (client_ != nullptr) ulmot_DestroyClientProcessor(client_);
        reader_.reset();
        utr_MemoryPairDestroy(pair_);
        PoolTest::TearDown();
    }

    // Runs `call` on a thread of its own while the test answers its request.
    template <typename Call>
    std::thread Async(Call call) {
        return std::thread(call);
    }

    utr_MemoryPair *pair_ = nullptr;
    std::unique_ptr<ScriptedReader> reader_;
    ClientProcessor *client_ = nullptr;
};

// The body of a request (bytes after the header).
inline Bytes BodyOf(const Bytes &message) {
    return message.size() < 8 ? Bytes{} : Bytes(message.begin() + 8, message.end());
}

}  // namespace ulmot::test
