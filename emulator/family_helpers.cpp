// What the families share: item helpers, the family thread
// (Ticker) and the defaults of the reader block of uemu_Config.
#include "families.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace uemu {

// ---- items ------------------------------------------------------------------------

std::optional<uint32_t> FixedValue(const ItemView &item) {
    const ByteView v = item.value;
    switch (item.type) {
    case kInt8:
        return v[0];
    case kInt16:
        return static_cast<uint32_t>(v[0] << 8 | v[1]);
    case kInt32:
        return static_cast<uint32_t>(v[0]) << 24 | static_cast<uint32_t>(v[1]) << 16 |
               static_cast<uint32_t>(v[2]) << 8 | v[3];
    case kObjectReference:
        return static_cast<uint32_t>(v[0] << 8 | v[1]);
    default:
        return std::nullopt;
    }
}

bool ReadTyped(const Items &items, uint8_t id, uint8_t type, std::optional<uint32_t> &value) {
    value.reset();
    const ItemView *item = items.Find(id);
    if (item == nullptr) return true;
    if (item->type != type) return false;
    value = FixedValue(*item);
    return value.has_value();
}

namespace {

// The one item kept under `id`, parsed.
std::optional<ItemView> StoredItem(const PropertySet &properties, uint8_t id, Items &holder) {
    const Bytes *bytes = properties.Get(id);
    if (bytes == nullptr || !holder.Parse(*bytes) || holder.all().size() != 1) return std::nullopt;
    return holder.all().front();
}

}  // namespace

std::optional<uint32_t> StoredValue(const PropertySet &properties, uint8_t id) {
    Items holder;
    const std::optional<ItemView> item = StoredItem(properties, id, holder);
    return item ? FixedValue(*item) : std::nullopt;
}

std::optional<Bytes> StoredBytes(const PropertySet &properties, uint8_t id) {
    Items holder;
    const std::optional<ItemView> item = StoredItem(properties, id, holder);
    if (!item || item->type != kByteArray) return std::nullopt;
    return Bytes(item->value.begin(), item->value.end());
}

int16_t MergeItems(PropertySet &into, const Items &items, std::initializer_list<uint8_t> skip) {
    PropertySet merged = into;
    for (const ItemView &item : items.all()) {
        if (std::find(skip.begin(), skip.end(), item.id) != skip.end()) continue;
        merged.Put(item);
    }
    if (merged.EncodedSize() > kMaxPropertyBytes) return UEMU_RESULT_EXHAUSTED;
    into = std::move(merged);
    return UEMU_RESULT_OK;
}

Bytes Int8Body(uint8_t id, uint8_t value) {
    Bytes b;
    ItemWriter(b).Int8(id, value);
    return b;
}

// ---- Ticker -------------------------------------------------------------------------

void Ticker::Start(Services &services, Tick tick) {
    std::lock_guard<std::mutex> guard(mu_);
    if (stop_ || thread_.joinable()) return;
    services_ = &services;
    tick_ = std::move(tick);
    thread_ = std::thread(&Ticker::Run, this);
}

void Ticker::Wake() {
    {
        std::lock_guard<std::mutex> guard(mu_);
        woken_ = true;
    }
    cv_.notify_one();
}

void Ticker::Stop() {
    {
        std::lock_guard<std::mutex> guard(mu_);
        stop_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void Ticker::Run() {
    uint32_t wait = kIdle;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mu_);
            auto due = [&] { return woken_ || stop_; };
            if (wait == kIdle) {
                cv_.wait(lock, due);
            } else {
                cv_.wait_for(lock, std::chrono::milliseconds(wait), due);
            }
            if (stop_) return;
            woken_ = false;
        }
        // The ticker's lock is not held here: a hook that wakes the ticker
        // holds the store's lock and then takes the ticker's.
        uint32_t next = kIdle;
        services_->WithStore([&](Context &context) { next = tick_(context); });
        wait = next;
    }
}

// ---- defaults ------------------------------------------------------------------------

namespace {

void Copy(char *to, size_t size, const char *text) {
    std::snprintf(to, size, "%s", text);
}

}  // namespace

void ReaderConfigDefaults(uemu_Config &config) {
    config.presetInstances[kGen2ParmSetType] = 4;
    static const char *const kVersions[UEMU_VERSION_STRINGS] = {
        "uemu reader 1.0.0",  // 0 reader software
        "uemu boot 1.0",      // 1 boot loader
        "uemu radio 2.1.0",   // 2 radio firmware
        "radio board B",      // 3 radio hardware
        "logic 0x0102",       // 4 programmable logic
        "image 2026.1",       // 5 system image
        "EMU-000001",         // 6 serial number
        "board 3",            // 7 reader hardware
        "dtp 1",              // 8 message protocol
        "2026-01-01",         // 9 build date
    };
    for (unsigned i = 0; i < UEMU_VERSION_STRINGS; ++i) {
        Copy(config.versions[i], sizeof config.versions[i], kVersions[i]);
    }
    config.radioModel = 0x0101;
    struct Plan {
        uint16_t code;
        uint8_t channels;
        uint32_t first, spacing;
        const char *text;
    };
    static const Plan kPlans[] = {
        {840, 50, 902750, 500, "US 902-928 MHz, 50 channels"},
        {276, 4, 865700, 600, "EU 865-868 MHz, 4 channels"},
        {392, 6, 916800, 1200, "JP 916-921 MHz, 6 channels"},
        {156, 16, 920625, 250, "CN 920-925 MHz, 16 channels"},
    };
    config.countryCodeCount = static_cast<uint8_t>(std::size(kPlans));
    for (size_t i = 0; i < std::size(kPlans); ++i) {
        uemu_CountryCode &c = config.countryCodes[i];
        c.code = kPlans[i].code;
        c.channelCount = kPlans[i].channels;
        c.firstChannelKHz = kPlans[i].first;
        c.channelSpacingKHz = kPlans[i].spacing;
        Copy(c.text, sizeof c.text, kPlans[i].text);
    }
    config.countryCodeSelected = 0;
    config.hopIntervalMs = 200;
    config.dutyCycleOnMs = 0;
    config.dutyCycleOffMs = 0;
    config.radioTemperature = 350;  // 35.0 degrees Celsius
    config.gpiThreshold = 1;
    config.rtcHeld = 0;
    config.rtcStartSeconds = 0;
}

}  // namespace uemu
