// A realistic tag report body: format 517, a 96-bit EPC with its PC word and
// CRC, antenna, signal strength, channel, seen count and a time stamp
// (14 items, 80 bytes), as the reader sends it after the message header.
#pragma once

#include <cstdint>

inline constexpr uint8_t kTagReportBody[] = {
    0xF2, 0xFE, 0x00, 0x01, 0x86, 0xA0,  // Int32 254: time stamp 100000
    0x01, 0x02, 0x05,                    // Int16 0: format 517
    0x47, 0x00, 0x17,                    // TagData 4, L = 23
    0x01, 0x00, 0x00, 0x00, 0x00,        //   header byte, header word
    0x00, 0x80,                          //   128 bits: PC, 96-bit EPC, CRC
    0x30, 0x00,                          //   PC: 6 words of EPC
    0xE2, 0x80, 0x11, 0x60, 0x60, 0x00, 0x02, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E,
    0x5B, 0x7C,                          //   CRC
    0x93, 0x0D, 0x01,                    // ObjectReference 9: antenna 1
    0xA1, 0xFF, 0xB5,                    // Int16 10: signal strength
    0xD1, 0x00, 0x07,                    // Int16 13: channel
    0xE1, 0x00, 0x01,                    // Int16 14
    0xF1, 0x10, 0x00, 0x02,              // Int16 16
    0x61, 0x00, 0x03,                    // Int16 6
    0x71, 0x00, 0x04,                    // Int16 7
    0x81, 0x00, 0x05,                    // Int16 8: seen count
    0xF2, 0x12, 0x00, 0x00, 0x30, 0x39,  // Int32 18
    0xF0, 0x14, 0x02,                    // Int8 20
};
