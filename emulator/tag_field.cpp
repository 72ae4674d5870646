// The tag field: the Gen2 CRC, the generator, and the seeded population.
#include "tag_field.h"

#include <set>

namespace uemu {

namespace {

constexpr uint16_t kCrcPolynomial = 0x1021;
constexpr uint16_t kCrcPreset = 0xFFFF;

// TID words 0 and 1: class E2, designer 000, model 001.
constexpr uint16_t kTidClassWord = 0xE200;
constexpr uint16_t kTidModelWord = 0x0001;

constexpr uint16_t kMaxEpcBits = UEMU_MAX_EPC_BYTES * 8;
constexpr uint16_t kMaxTidWords = 32;
constexpr uint16_t kMaxUserWords = 512;
constexpr uint32_t kMaxTagRate = 100000;

void PutWord(Bytes &out, uint16_t word) {
    out.push_back(static_cast<uint8_t>(word >> 8));
    out.push_back(static_cast<uint8_t>(word));
}

std::vector<uint16_t> Words(ByteView bytes) {
    std::vector<uint16_t> words;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        words.push_back(static_cast<uint16_t>(bytes[i] << 8 | bytes[i + 1]));
    }
    return words;
}

}  // namespace

uint16_t Crc16(ByteView bytes) {
    uint16_t crc = kCrcPreset;
    for (uint8_t byte : bytes) {
        crc = static_cast<uint16_t>(crc ^ (byte << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ kCrcPolynomial)
                                      : static_cast<uint16_t>(crc << 1);
        }
    }
    return static_cast<uint16_t>(~crc);
}

uint64_t Rng::Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t Rng::Below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(Next() % n); }

int32_t Rng::Around(int32_t spread) {
    return static_cast<int32_t>(Below(static_cast<uint32_t>(2 * spread + 1))) - spread;
}

Bytes Tag::Backscatter() const {
    Bytes out;
    PutWord(out, pc);
    for (uint8_t i = 0; i < xpcCount; ++i) PutWord(out, xpc[i]);
    out.insert(out.end(), epc.begin(), epc.end());
    PutWord(out, crc);
    return out;
}

std::optional<bool> Tag::Bit(uint8_t bank, uint32_t bit) const {
    if (bit >= BankBits(bank)) return std::nullopt;
    return ((banks[bank][bit / 16] >> (15 - bit % 16)) & 1u) != 0;
}

std::optional<Bytes> Tag::Read(uint8_t bank, uint32_t pointer, uint32_t count) const {
    if (bank >= kBankCount) return std::nullopt;
    const auto &words = banks[bank];
    if (pointer > words.size()) return std::nullopt;
    if (count == 0) count = static_cast<uint32_t>(words.size() - pointer);
    if (count > words.size() - pointer) return std::nullopt;
    Bytes out;
    for (uint32_t i = 0; i < count; ++i) PutWord(out, words[pointer + i]);
    return out;
}

void FieldConfigDefaults(uemu_Config &config) {
    const FieldConfig d;
    config.tagCount = d.tagCount;
    config.tagSeed = d.seed;
    config.epcBits = d.epcBits;
    config.xpcPercent = d.xpcPercent;
    config.visibilityPercent = d.visibilityPercent;
    config.tidWords = d.tidWords;
    config.userWords = d.userWords;
    config.tagRate = d.tagRate;
}

std::optional<FieldConfig> ReadFieldConfig(const uemu_Config &config) {
    FieldConfig c;
    c.tagCount = config.tagCount;
    c.seed = config.tagSeed;
    c.epcBits = config.epcBits == 0 ? c.epcBits : config.epcBits;
    c.xpcPercent = config.xpcPercent;
    c.visibilityPercent = config.visibilityPercent == 0 ? c.visibilityPercent : config.visibilityPercent;
    c.tidWords = config.tidWords == 0 ? c.tidWords : config.tidWords;
    c.userWords = config.userWords;
    c.tagRate = config.tagRate == 0 ? c.tagRate : config.tagRate;
    const uint8_t antennas = config.presetInstances[8];
    c.antennas = antennas < UEMU_TAG_FIELD_ANTENNAS ? antennas : UEMU_TAG_FIELD_ANTENNAS;
    if (c.tagCount > UEMU_MAX_TAGS || c.epcBits % 16 != 0 || c.epcBits > kMaxEpcBits ||
        c.xpcPercent > 100 || c.visibilityPercent > 100 || c.tidWords < 2 ||
        c.tidWords > kMaxTidWords || c.userWords > kMaxUserWords || c.tagRate > kMaxTagRate) {
        return std::nullopt;
    }
    return c;
}

TagField::TagField(const FieldConfig &config) : config_(config) {
    Rng rng(config.seed);
    const uint16_t epcWords = config.epcBits / 16;
    std::set<Bytes> epcs;
    tags_.resize(config.tagCount);
    for (Tag &t : tags_) {
        // EPCs are distinct: UEMU_MAX_TAGS is below 2^16, the shortest EPC's room.
        do {
            t.epc.clear();
            for (uint16_t i = 0; i < config.epcBits / 8; ++i) t.epc.push_back(static_cast<uint8_t>(rng.Next()));
        } while (!epcs.insert(t.epc).second);
        if (rng.Below(100) < config.xpcPercent) {
            t.xpcCount = static_cast<uint8_t>(1 + rng.Below(2));
            t.xpc[0] = static_cast<uint16_t>((rng.Next() & 0x7FFF) | (t.xpcCount == 2 ? kXpcSecondWord : 0));
            if (t.xpcCount == 2) t.xpc[1] = static_cast<uint16_t>(rng.Next());
        }
        t.pc = static_cast<uint16_t>(epcWords << 11 | (config.userWords > 0 ? kPcUserMemory : 0) |
                                     (t.xpcCount > 0 ? kPcXpc : 0));
        Bytes sent;
        PutWord(sent, t.pc);
        for (uint8_t i = 0; i < t.xpcCount; ++i) PutWord(sent, t.xpc[i]);
        sent.insert(sent.end(), t.epc.begin(), t.epc.end());
        t.crc = Crc16(sent);

        // The EPC bank holds what is stored: the CRC over PC and EPC alone.
        Bytes stored;
        PutWord(stored, t.pc);
        stored.insert(stored.end(), t.epc.begin(), t.epc.end());
        Bytes epcBank;
        PutWord(epcBank, Crc16(stored));
        epcBank.insert(epcBank.end(), stored.begin(), stored.end());
        t.banks[UEMU_BANK_RESERVED].assign(kReservedWords, 0);
        t.banks[UEMU_BANK_EPC] = Words(epcBank);
        t.banks[UEMU_BANK_TID] = {kTidClassWord, kTidModelWord};
        for (uint16_t i = 2; i < config.tidWords; ++i) {
            t.banks[UEMU_BANK_TID].push_back(static_cast<uint16_t>(rng.Next()));
        }
        for (uint16_t i = 0; i < config.userWords; ++i) {
            t.banks[UEMU_BANK_USER].push_back(static_cast<uint16_t>(rng.Next()));
        }

        for (uint8_t a = 0; a < config.antennas; ++a) {
            if (rng.Below(100) < config.visibilityPercent) t.antennas |= 1u << a;
        }
        if (t.antennas == 0 && config.antennas > 0) t.antennas = 1u << rng.Below(config.antennas);
        for (uint8_t a = 0; a < config.antennas; ++a) {
            const auto signal = static_cast<int16_t>(kWeakestSignal + static_cast<int32_t>(rng.Below(kSignalSpan)));
            const auto phase = static_cast<uint16_t>(rng.Below(360));
            if (((t.antennas >> a) & 1u) != 0) {
                t.rssi[a] = signal;
                t.phase[a] = phase;
            }
        }
    }
}

bool TagField::WriteUser(size_t index, uint32_t pointer, ByteView data) {
    auto &words = tags_[index].banks[UEMU_BANK_USER];
    const std::vector<uint16_t> written = Words(data);
    if (pointer > words.size() || written.size() > words.size() - pointer) return false;
    std::copy(written.begin(), written.end(), words.begin() + pointer);
    return true;
}

}  // namespace uemu
