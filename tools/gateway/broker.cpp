// tools/gateway/broker.cpp - the MQTT connection of broker.h over libmosquitto.
#include "broker.h"

#include <mosquitto.h>

#include <chrono>
#include <thread>

namespace gateway {

namespace {
// Reconnection: 1 s after a loss, then 2, 3, 4 and 5 s between tries.
constexpr unsigned kReconnectMinS = 1, kReconnectMaxS = 5;
// libmosquitto keeps up to this many QoS 1 messages waiting for their
// acknowledgement; the gateway holds the rest in its own bounded buffer.
constexpr int kMaxInFlight = 64;

bool RefusedForGood(int rc) {
    // 4: bad user name or password, 5: not authorised (MQTT 3.1.1 CONNACK).
    return rc == 4 || rc == 5;
}
}  // namespace

Broker::Broker(const BrokerOptions &options, const std::string &clientId, const std::string &willTopic,
               const std::string &willPayload)
    : options_(options), clientId_(clientId), willTopic_(willTopic), willPayload_(willPayload) {}

Broker::~Broker() { Close(0); }

bool Broker::Start(std::string *error) {
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    client_ = mosquitto_new(clientId_.c_str(), true, this);
    if (client_ == nullptr) {
        *error = "cannot create an MQTT client";
        return false;
    }
    mosquitto_connect_callback_set(client_, OnConnect);
    mosquitto_disconnect_callback_set(client_, OnDisconnect);
    mosquitto_publish_callback_set(client_, OnPublish);
    mosquitto_message_callback_set(client_, OnMessage);
    mosquitto_max_inflight_messages_set(client_, kMaxInFlight);
    mosquitto_reconnect_delay_set(client_, kReconnectMinS, kReconnectMaxS, false);
    int rc = mosquitto_will_set(client_, willTopic_.c_str(), static_cast<int>(willPayload_.size()),
                                willPayload_.data(), 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !options_.username.empty()) {
        rc = mosquitto_username_pw_set(client_, options_.username.c_str(),
                                       options_.password.empty() ? nullptr : options_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && options_.tls) {
        rc = mosquitto_tls_set(client_, options_.caFile.empty() ? nullptr : options_.caFile.c_str(),
                               options_.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                               options_.certFile.empty() ? nullptr : options_.certFile.c_str(),
                               options_.keyFile.empty() ? nullptr : options_.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *error = "cannot use the TLS files (CA '" + options_.caFile + "', certificate '" + options_.certFile +
                     "', key '" + options_.keyFile + "'): " + mosquitto_strerror(rc);
            return false;
        }
    }
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_start(client_);
    looping_ = rc == MOSQ_ERR_SUCCESS;
    if (rc == MOSQ_ERR_SUCCESS) {
        // An address that does not answer yet is retried by the network
        // thread; only a malformed one fails here.
        rc = mosquitto_connect_async(client_, options_.host.c_str(), options_.port, options_.keepAliveS);
        if (rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_EAI) rc = MOSQ_ERR_SUCCESS;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = std::string("cannot connect to the broker: ") + mosquitto_strerror(rc);
        return false;
    }
    return true;
}

void Broker::Subscribe(const std::string &topic) {
    std::lock_guard<std::mutex> lock(mu_);
    subscriptions_.push_back(topic);
    if (connected_) mosquitto_subscribe(client_, nullptr, topic.c_str(), 1);
}

std::string Broker::Refused() const {
    std::lock_guard<std::mutex> lock(mu_);
    return refused_;
}

bool Broker::Publish(const std::string &topic, const std::string &payload, int qos, bool retain, uint64_t count) {
    int mid = 0;
    const int rc = mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                     qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) return false;
    std::lock_guard<std::mutex> lock(mu_);
    // The acknowledgement may have come before mosquitto_publish returned.
    if (early_.erase(mid) != 0) {
        delivered_ += count;
    } else {
        inFlight_[mid] = count;
    }
    return true;
}

size_t Broker::InFlight() const {
    std::lock_guard<std::mutex> lock(mu_);
    return inFlight_.size();
}

void Broker::Close(uint32_t timeoutMs) {
    if (client_ == nullptr) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Connected() && InFlight() != 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The DISCONNECT must reach the broker, or it publishes the Last Will:
    // the network thread sends it and reports the end (OnDisconnect).
    if (mosquitto_disconnect(client_) == MOSQ_ERR_SUCCESS) {
        const auto by = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (Connected() && std::chrono::steady_clock::now() < by) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    if (looping_) mosquitto_loop_stop(client_, true);
    mosquitto_destroy(client_);
    client_ = nullptr;
}

void Broker::OnConnect(mosquitto *m, void *context, int rc) {
    auto *self = static_cast<Broker *>(context);
    std::lock_guard<std::mutex> lock(self->mu_);
    if (rc != 0) {
        if (RefusedForGood(rc)) {
            self->refused_ = mosquitto_connack_string(rc);
            mosquitto_disconnect(m);  // no retry: the same credentials would be refused again
        }
        return;
    }
    for (const std::string &topic : self->subscriptions_) mosquitto_subscribe(m, nullptr, topic.c_str(), 1);
    self->connected_ = true;
}

void Broker::OnDisconnect(mosquitto *, void *context, int) {
    static_cast<Broker *>(context)->connected_ = false;
}

void Broker::OnPublish(mosquitto *, void *context, int mid) {
    auto *self = static_cast<Broker *>(context);
    std::lock_guard<std::mutex> lock(self->mu_);
    auto it = self->inFlight_.find(mid);
    if (it == self->inFlight_.end()) {
        self->early_.insert(mid);
        return;
    }
    self->delivered_ += it->second;
    self->inFlight_.erase(it);
}

void Broker::OnMessage(mosquitto *, void *context, const mosquitto_message *message) {
    auto *self = static_cast<Broker *>(context);
    self->messages_.Push(Message{message->topic,
                                 std::string(static_cast<const char *>(message->payload),
                                             static_cast<size_t>(message->payloadlen))});
}

bool ParseBrokerUrl(const std::string &url, BrokerOptions *options, std::string *error) {
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        options->tls = false;
        options->port = 1883;
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        options->tls = true;
        options->port = 8883;
        rest = url.substr(8);
    } else {
        *error = "--broker must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not '" + url + "'";
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    const size_t colon = rest.rfind(':');
    if (colon != std::string::npos) {
        const std::string port = rest.substr(colon + 1);
        const bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoi(port) < 1 || std::stoi(port) > 65535) {
            *error = "the port of '" + url + "' must be from 1 to 65535";
            return false;
        }
        options->port = std::stoi(port);
        rest = rest.substr(0, colon);
    }
    if (rest.empty()) {
        *error = "'" + url + "' names no host";
        return false;
    }
    options->host = rest;
    return true;
}

}  // namespace gateway
