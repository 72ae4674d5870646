// tools/ulmot/info.cpp - `ulmot info`: what the reader says about itself,
// read once and printed as a page or as one JSON object: its version
// strings, radio model and properties, each antenna's power range and
// receive antennas, its GPIO lines, its clock and its timestamp.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"

namespace cli {
namespace {

std::string Power(uint16_t tenths) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%.1f", tenths / 10.0);
    return buffer;
}

const char *kWeekdays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

std::string ByteText(const uint8_t *bytes, uint16_t length) {
    std::string s(reinterpret_cast<const char *>(bytes), length);
    s.erase(std::find(s.begin(), s.end(), '\0'), s.end());
    return s;
}

}  // namespace

int Info(int argc, char **argv) {
    const Options options = Parse("info", argc, argv, Accepted{});
    if (!options.positional.empty()) Fail(kUsage, "info takes no argument '" + options.positional[0] + "'");
    Reader reader(options);
    ClientProcessor *c = reader.client();
    reader.Attach({ULMOT_OBJ_VERSION, ULMOT_OBJ_GPO, ULMOT_OBJ_GPI, ULMOT_OBJ_ANTENNA, ULMOT_OBJ_RADIO,
                   ULMOT_OBJ_TIMESTAMP, ULMOT_OBJ_RTC});

    std::vector<std::string> versions;
    for (uint32_t i = 0; i < ULMOT_VERSION_STRINGS; ++i) {
        char text[ULMOT_VERSION_STRING_SIZE] = {};
        Check(ulmot_GetVersion(c, i, text, sizeof text), "reading version string " + std::to_string(i));
        versions.emplace_back(text);
    }
    uint16_t model = 0;
    Check(ulmot_GetRadioModel(c, &model), "reading the radio model");
    RadioProperties radio{};
    Check(ulmot_GetRadioProperties(c, &radio), "reading the radio's properties");

    struct Antenna {
        uint16_t max = 0, min = 0, def = 0;
        std::vector<uint8_t> receive;
    };
    uint8_t antennaCount = 0;
    Check(ulmot_GetAntennaCount(c, &antennaCount), "counting the antennas");
    std::vector<Antenna> antennas(antennaCount);
    for (uint8_t a = 1; a <= antennaCount; ++a) {
        Antenna &x = antennas[a - 1u];
        uint8_t list[255] = {};
        uint16_t listLength = 0;
        Check(ulmot_GetAntennaAttributes(c, a, &x.max, &x.min, &x.def, list, sizeof list, &listLength),
              "reading antenna " + std::to_string(a));
        x.receive.assign(list, list + listLength);
    }
    uint8_t gpi = 0, gpo = 0;
    Check(ulmot_GetGPICount(c, &gpi), "counting the GPI lines");
    Check(ulmot_GetGPOCount(c, &gpo), "counting the GPO lines");
    uint8_t second = 0, minute = 0, hour = 0, day = 0, month = 0, year = 0, weekday = 0;
    Check(ulmot_GetRTC(c, &second, &minute, &hour, &day, &month, &year, &weekday), "reading the clock");
    uint32_t seconds = 0, milliseconds = 0;
    Check(ulmot_GetTimestamp(c, &seconds, &milliseconds), "reading the timestamp");

    char clock[64];
    std::snprintf(clock, sizeof clock, "%04u-%02u-%02u %02u:%02u:%02u UTC", 2000u + year, month, day, hour, minute,
                  second);
    const char *weekdayName = weekday < 7 ? kWeekdays[weekday] : "?";
    char modelText[8];
    std::snprintf(modelText, sizeof modelText, "0x%04X", model);
    const std::string module = ByteText(radio.property9, radio.property9Length);
    const std::string serial = ByteText(radio.property13, radio.property13Length);
    const char *states[] = {"idle", "transmitting", "paused"};
    const std::string state = radio.radioState < 3 ? states[radio.radioState] : std::to_string(radio.radioState);

    if (options.Flag("json")) {
        Json antennaList = Json::array();
        for (size_t i = 0; i < antennas.size(); ++i) {
            antennaList.push_back({{"antenna", i + 1},
                                   {"default_power", Decimals(antennas[i].def / 10.0, 1)},
                                   {"min_power", Decimals(antennas[i].min / 10.0, 1)},
                                   {"max_power", Decimals(antennas[i].max / 10.0, 1)},
                                   {"power_unit", "dBm"},
                                   {"receive", antennas[i].receive}});
        }
        PrintJson({{"reader", reader.Describe()},
                   {"versions", versions},
                   {"radio_model", model},
                   {"radio",
                    {{"module", module},
                     {"serial", serial},
                     {"channel", radio.channel},
                     {"state", state},
                     {"temperature", Decimals(radio.temperature / 10.0, 1)},
                     {"temperature_unit", "C"}}},
                   {"antennas", antennaList},
                   {"gpi", gpi},
                   {"gpo", gpo},
                   {"clock", clock},
                   {"weekday", weekdayName},
                   {"timestamp", {{"seconds", seconds}, {"milliseconds", milliseconds}}}});
        return kOk;
    }
    std::printf("reader        %s\n", reader.Describe().c_str());
    for (size_t i = 0; i < versions.size(); ++i) {
        std::printf("%-14s%zu: %s\n", i == 0 ? "versions" : "", i, versions[i].c_str());
    }
    std::printf("radio model   %s\n", modelText);
    std::printf("radio         %s, serial %s, channel %u, %s, %.1f C\n", module.c_str(), serial.c_str(), radio.channel,
                state.c_str(), radio.temperature / 10.0);
    std::printf("antennas      %u\n", antennaCount);
    for (size_t i = 0; i < antennas.size(); ++i) {
        std::string receive;
        for (uint8_t r : antennas[i].receive) receive += (receive.empty() ? "" : ",") + std::to_string(r);
        std::printf("  antenna %-4zupower %s dBm (min %s dBm, max %s dBm), receives on %s\n", i + 1,
                    Power(antennas[i].def).c_str(), Power(antennas[i].min).c_str(), Power(antennas[i].max).c_str(),
                    receive.empty() ? "-" : receive.c_str());
    }
    std::printf("GPI lines     %u\nGPO lines     %u\n", gpi, gpo);
    std::printf("clock         %s (%s)\n", clock, weekdayName);
    std::printf("timestamp     %u s since 1970, reader clock %u ms\n", seconds, milliseconds);
    return kOk;
}

}  // namespace cli
