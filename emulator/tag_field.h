// emulator/tag_field.h - the simulated Gen2 tags in front of the reader's
// antennas.
//
// The population follows from the tag field block of uemu_Config alone: the
// same block gives the same tags, EPCs, memory, visibility and signal
// strengths, so a test can compare what it receives with what the field
// holds (uemu_GetTag). Each tag carries the four Gen2 memory banks:
//
//   bank 0 reserved  kill and access passwords, 4 words, all 0
//   bank 1 EPC       word 0 stored CRC (over PC and EPC), word 1 PC,
//                    from word 2 the EPC
//   bank 2 TID       E2, designer 000, model 001, then a serial
//   bank 3 user      seeded words; access specifications write here
//
// The PC word's length field (bits 15-11) is the EPC length in words; bit
// 0x0400 says the tag has user memory and bit 0x0200 that an XPC word 1
// follows the PC (its bit 0x8000 then announces XPC word 2). What a tag
// sends when it is singulated is PC, XPC words, EPC and the CRC-16 over all
// of them (Gen2: polynomial 0x1021, preset 0xFFFF, sent inverted).
//
// Signal strengths are in tenths of a dBm (a signed 16-bit number): each tag
// has one per antenna whose field it is in, as measured at 30.0 dBm of
// transmit power; the reader adds one decibel per decibel of power and its
// noise to each reading.
//
// A TagField is not locked: the families that own it keep it under the
// reader's lock (TagPath, families.h).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "wire.h"
#include "uemu.h"

namespace uemu {

// The Gen2 CRC-16 over `bytes`, as a tag sends it.
uint16_t Crc16(ByteView bytes);

// A reproducible generator (SplitMix64): the same seed gives the same
// numbers on every host.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t Next();
    // A number from 0 to n - 1 (0 when n is 0).
    uint32_t Below(uint32_t n);
    // A number from -spread to +spread.
    int32_t Around(int32_t spread);

private:
    uint64_t state_;
};

inline constexpr uint8_t kBankCount = 4;
inline constexpr uint16_t kPcUserMemory = 0x0400;
inline constexpr uint16_t kPcXpc = 0x0200;
inline constexpr uint16_t kXpcSecondWord = 0x8000;
inline constexpr uint16_t kReservedWords = 4;
// The signal at 30.0 dBm of transmit power lies from -70.0 to -30.1 dBm; the
// reader hears nothing below -75.0 dBm.
inline constexpr int16_t kWeakestSignal = -700;
inline constexpr int16_t kSignalSpan = 400;
inline constexpr int16_t kSensitivity = -750;
inline constexpr int16_t kReferencePower = 300;

struct Tag {
    uint16_t pc = 0;
    std::array<uint16_t, 2> xpc{};
    uint8_t xpcCount = 0;
    Bytes epc;
    uint16_t crc = 0;  // over PC, XPC words and EPC
    std::array<std::vector<uint16_t>, kBankCount> banks;
    uint32_t antennas = 0;  // bit n-1: in the field of antenna n
    std::array<int16_t, UEMU_TAG_FIELD_ANTENNAS> rssi{};
    std::array<uint16_t, UEMU_TAG_FIELD_ANTENNAS> phase{};  // degrees

    bool InFieldOf(uint8_t antenna) const {
        return antenna >= 1 && antenna <= UEMU_TAG_FIELD_ANTENNAS &&
               ((antennas >> (antenna - 1)) & 1u) != 0;
    }
    // What the tag sends when singulated: PC, XPC words, EPC, CRC.
    Bytes Backscatter() const;
    // Bit `bit` of bank `bank` (bit 0 is the high bit of word 0); nothing
    // past the end of the bank.
    std::optional<bool> Bit(uint8_t bank, uint32_t bit) const;
    uint32_t BankBits(uint8_t bank) const {
        return bank < kBankCount ? static_cast<uint32_t>(banks[bank].size()) * 16 : 0;
    }
    // `count` words (0: to the end of the bank) from word `pointer`, high
    // byte first; nothing when they lie past the end or the bank is unknown.
    std::optional<Bytes> Read(uint8_t bank, uint32_t pointer, uint32_t count) const;
};

// The tag field block of a configuration, checked. Zero where the block
// says "0: default" takes the default.
struct FieldConfig {
    uint32_t tagCount = 50;
    uint32_t seed = 1;
    uint16_t epcBits = 96;
    uint8_t xpcPercent = 0;
    uint8_t visibilityPercent = 100;
    uint16_t tidWords = 6;
    uint16_t userWords = 32;
    uint32_t tagRate = 500;
    uint8_t antennas = 4;  // those tags can be in the field of (at most 32)
};

// Fills the tag field block of `config` with its defaults.
void FieldConfigDefaults(uemu_Config &config);

// The block of `config`, or nothing when a value is out of range.
std::optional<FieldConfig> ReadFieldConfig(const uemu_Config &config);

class TagField {
public:
    explicit TagField(const FieldConfig &config);

    const FieldConfig &config() const { return config_; }
    const std::vector<Tag> &tags() const { return tags_; }
    size_t size() const { return tags_.size(); }
    const Tag &tag(size_t index) const { return tags_[index]; }

    // Writes `data` (whole words) into the user bank of tag `index` from word
    // `pointer`. False when the words lie past the end of the bank.
    bool WriteUser(size_t index, uint32_t pointer, ByteView data);

private:
    FieldConfig config_;
    std::vector<Tag> tags_;
};

}  // namespace uemu
