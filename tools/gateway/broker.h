// tools/gateway/broker.h - one MQTT connection of the gateway (libmosquitto),
// with its Last Will, TLS and credentials, acknowledged publishing, and the
// messages of its subscriptions handed to the gateway's thread.
//
// libmosquitto's own thread runs the network loop and reconnects (1 s, then
// one more second each try up to 5 s); the callbacks here only update counters and push
// into an inbox. A connection the broker refuses for its credentials or its
// access rules is not retried: Refused() says why, once.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "inbox.h"

struct mosquitto;
struct mosquitto_message;

namespace gateway {

struct BrokerOptions {
    std::string host = "127.0.0.1";
    int port = 1883;
    bool tls = false;
    std::string caFile, certFile, keyFile;  // TLS: the CA to trust; a client certificate and key, optional
    std::string username, password;         // empty username: none
    int keepAliveS = 30;
};

struct Message {
    std::string topic;
    std::string payload;
};

class Broker {
public:
    // `willTopic` gets `willPayload` (retained, QoS 1) from the broker when
    // the connection is lost without a disconnect.
    Broker(const BrokerOptions &options, const std::string &clientId, const std::string &willTopic,
           const std::string &willPayload);
    ~Broker();
    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;

    // Starts connecting (in the background). False, with *error, when the
    // options cannot be used (a CA file that does not load...).
    bool Start(std::string *error);
    // Subscribed (QoS 1) on every connection.
    void Subscribe(const std::string &topic);

    bool Connected() const { return connected_.load(); }
    // Why the broker refused the connection (bad credentials, not
    // authorised), or "" while it has not.
    std::string Refused() const;
    // Publishes; `count` is what the message carries (reads), counted as
    // delivered once the broker acknowledges it (QoS 1) or once it is sent
    // (QoS 0). False when libmosquitto refused it at once.
    bool Publish(const std::string &topic, const std::string &payload, int qos, bool retain, uint64_t count = 0);
    // Messages published but not yet acknowledged, and what they carry.
    size_t InFlight() const;
    uint64_t Delivered() const { return delivered_.load(); }
    // Every message of the subscriptions since the last take.
    std::vector<Message> TakeMessages() { return messages_.Take(); }
    // Waits up to `timeoutMs` for every message in flight to be acknowledged,
    // then disconnects (no Last Will) and stops the network thread.
    void Close(uint32_t timeoutMs);

private:
    static void OnConnect(mosquitto *m, void *self, int rc);
    static void OnDisconnect(mosquitto *m, void *self, int rc);
    static void OnPublish(mosquitto *m, void *self, int mid);
    static void OnMessage(mosquitto *m, void *self, const mosquitto_message *message);

    const BrokerOptions options_;
    const std::string clientId_, willTopic_, willPayload_;
    mosquitto *client_ = nullptr;
    bool looping_ = false;
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> delivered_{0};
    mutable std::mutex mu_;
    std::map<int, uint64_t> inFlight_;  // message id -> what it carries
    std::set<int> early_;               // acknowledged before Publish had noted them
    std::vector<std::string> subscriptions_;
    std::string refused_;
    tools::Inbox<Message> messages_{10000};
};

// "mqtt://HOST:PORT" or "mqtts://HOST:PORT" (PORT defaults to 1883 and
// 8883) into `options`; false with *error for anything else.
bool ParseBrokerUrl(const std::string &url, BrokerOptions *options, std::string *error);

}  // namespace gateway
