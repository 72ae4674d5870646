// processors/reader_slots.h - the callback slots and caches that the object
// families of Gen2, GPI/GPO, radio, reset and RF survey, clock and versions,
// CTI, alarms and the text log keep in the ClientProcessor, and the event
// handlers of those families (defined in objects/, entered in the client's
// event dispatch table). Not exported.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "processors/slots.h"
#include "ulmot/objects.h"

struct ClientProcessor;

namespace ulmot::processors {

// A value fetched from the reader once and then kept (the Gen2 parameter
// sets, the version information).
//
// The first caller fetches; callers that arrive while that fetch runs wait
// for it and take its outcome, so two first uses at once send one request.
// A fetch that fails, or whose value is not worth keeping, leaves the cache
// empty: the next call fetches again. No lock is held while the fetch sends
// its request; waiters wait at most as long as that request (its response
// time-out). The platform layer has no condition primitive, so the standard
// library's is used here directly.
template <typename T>
class FetchOnce {
public:
    // What a fetch reports: its result code, and whether the value is kept.
    struct Outcome {
        int32_t result;
        bool keep;
    };

    // Runs `fetch(T &value)` (on a copy of the cached value, without the
    // lock) unless the value is kept, then `read(const T &)` under the lock
    // when the outcome is 0. Returns the outcome's result code.
    template <typename Fetch, typename Read>
    int32_t Get(Fetch fetch, Read read) {
        std::unique_lock<std::mutex> l(m_);
        if (state_ == State::kFetching) {
            const uint32_t awaited = completed_;
            done_.wait(l, [&] { return completed_ != awaited; });
            if (lastResult_ != 0) return lastResult_;
            read(static_cast<const T &>(value_));
            return 0;
        }
        if (state_ == State::kLoaded) {
            read(static_cast<const T &>(value_));
            return 0;
        }
        state_ = State::kFetching;
        T fetched = value_;
        l.unlock();
        const Outcome outcome = fetch(fetched);
        l.lock();
        ++completed_;
        lastResult_ = outcome.result;
        if (outcome.result == 0) value_ = fetched;
        state_ = outcome.result == 0 && outcome.keep ? State::kLoaded : State::kEmpty;
        done_.notify_all();
        if (outcome.result != 0) return outcome.result;
        read(static_cast<const T &>(value_));
        return 0;
    }

    bool Loaded() {
        std::lock_guard<std::mutex> l(m_);
        return state_ == State::kLoaded;
    }

private:
    enum class State : uint8_t { kEmpty, kFetching, kLoaded };
    std::mutex m_;
    std::condition_variable done_;
    State state_ = State::kEmpty;
    uint32_t completed_ = 0;  // fetches finished, so a waiter knows its fetch ended
    int32_t lastResult_ = 0;
    T value_{};
};

// The version information of object type 0, fetched once per client.
struct VersionInfo {
    char versionStrings[ULMOT_VERSION_STRINGS][ULMOT_VERSION_STRING_SIZE];
    uint16_t radioModel;
};

// The four radio callbacks share one context and are replaced together.
struct RadioCallbacks {
    ulmot_ChannelChangeCallback channelChangeCallback;
    ulmot_CycleTimeLeftCallback cycleTimeLeftCallback;
    ulmot_RadioStateCallback radioStateCallback;
    ulmot_TemperatureCallback temperatureCallback;
    void *radioCallbackContext;
};

// The three RF survey callbacks share one context and are replaced together.
struct RFSurveyCallbacks {
    ulmot_RFSurveyCallback rfSurveyCallback0;
    ulmot_RFSurveyCallback rfSurveyCallback1;
    ulmot_RFSurveyMeasurementCallback rfSurveyMeasurementCallback;
    void *rfSurveyCallbackContext;
};

struct ReaderSlots {
    // Written by application threads, read whole by the queue thread.
    CallbackSlot<ulmot_GPIEventCallback> gpiEvent;
    CallbackSlot<ulmot_GPOEventCallback> gpoEvent;
    Guarded<RadioCallbacks> radio;
    CallbackSlot<ulmot_ResetDoneCallback> resetDone;
    Guarded<RFSurveyCallbacks> rfSurvey;
    CallbackSlot<ulmot_NxpAlarmCallback> nxpAlarm;
    CallbackSlot<ulmot_TextLogCallback> textLog;

    // Caches, filled on application threads.
    FetchOnce<uint8_t> gen2ParmSetCount;  // kept once it is not 0
    FetchOnce<Gen2ParmSet> gen2ParmSets[ULMOT_GEN2_PARM_SETS];  // kept once item 12 is not 0
    FetchOnce<VersionInfo> versionInfo;   // kept once fetched
};

// The families' event handlers: (client, instance, time stamp, block); they
// read the event and leave the block to the dispatcher.
void ClientHandleGPO(ClientProcessor *client, uint8_t instance, uint32_t timestamp, MessageBlock *block);
void ClientHandleGPI(ClientProcessor *client, uint8_t instance, uint32_t timestamp, MessageBlock *block);
void ClientHandleResetDone(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                           MessageBlock *block);
void ClientHandleChannelChange(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                               MessageBlock *block);
void ClientHandleDutyCycleTimeLeft(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                   MessageBlock *block);
void ClientHandleDutyCycleRadioState(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                     MessageBlock *block);
void ClientHandleDutyCycleTemperature(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                      MessageBlock *block);
void ClientHandleTextLogMessage(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                MessageBlock *block);
void ClientHandleRFSurveyEvent0(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                MessageBlock *block);
void ClientHandleRFSurveyEvent1(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                MessageBlock *block);
void ClientHandleRFSurveyMeasurement(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                     MessageBlock *block);
void ClientHandleNxpAlarmEvent(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                               MessageBlock *block);

}  // namespace ulmot::processors
