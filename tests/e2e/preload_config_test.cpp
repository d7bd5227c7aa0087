// Reading VTARGET into the chip's configuration and the library's options.
#include "vtarget/preload_config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

namespace {

using vtarget::PreloadOptions;

PreloadOptions parsed(const std::string& text) {
    PreloadOptions options;
    EXPECT_EQ(vtarget::parsePreloadOptions(text.c_str(), options), "") << text;
    return options;
}

TEST(PreloadConfig, NothingGivenLeavesTheDefaults) {
    for (const char* text : {static_cast<const char*>(nullptr), "", ",,"}) {
        PreloadOptions options;
        EXPECT_EQ(vtarget::parsePreloadOptions(text, options), "");
        EXPECT_EQ(options.chip.signature, (std::array<std::uint8_t, 3>{0x1E, 0x90, 0x05}));
        EXPECT_EQ(options.chip.syncAttempt, 1);
        EXPECT_FALSE(options.realtime);
        EXPECT_FALSE(options.failAfterSet);
        EXPECT_TRUE(options.ports.empty());
    }
}

struct Good {
    const char* text;
    std::function<bool(const PreloadOptions&)> holds;
};

void PrintTo(const Good& param, std::ostream* out) {
    *out << param.text;
}

class GoodConfigs : public ::testing::TestWithParam<Good> {};

TEST_P(GoodConfigs, Apply) {
    EXPECT_TRUE(GetParam().holds(parsed(GetParam().text)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, GoodConfigs,
    ::testing::Values(
        Good{"model=15", [](auto& o) { return o.chip.signature[2] == 0x06; }},
        Good{"model=10,signature=1F9107",
             [](auto& o) {
                 return o.chip.signature == std::array<std::uint8_t, 3>{0x1F, 0x91, 0x07};
             }},
        Good{"calibration=a5,fuse=FF,lock=02",
             [](auto& o) {
                 return o.chip.calibration == 0xA5 && o.chip.fuse == 0xFF && o.chip.lock == 0x02;
             }},
        Good{"sync=32", [](auto& o) { return o.chip.syncAttempt == 32; }},
        Good{"sync=never", [](auto& o) { return o.chip.syncAttempt == 0; }},
        Good{"absent,stubborn-lock,realtime,no-port,serve-ptys",
             [](auto& o) {
                 return o.chip.absent && o.chip.stubbornLock && o.realtime && o.noPort &&
                        o.servePtys;
             }},
        Good{"stuck=3FF:12,stuck=0:34,eestuck=3F:56",
             [](auto& o) {
                 return o.chip.stuckFlash ==
                            std::map<unsigned, std::uint8_t>{{0, 0x34}, {0x3FF, 0x12}} &&
                        o.chip.stuckEeprom.at(0x3F) == 0x56;
             }},
        Good{"flash-us=1,eeprom-us=2,erase-us=3,call-us=1000",
             [](auto& o) {
                 return o.chip.flashWriteUs == 1 && o.chip.eepromWriteUs == 2 &&
                        o.chip.eraseUs == 3 && o.callUs == 1000;
             }},
        Good{"fail-after=0", [](auto& o) { return o.failAfterSet && o.failAfter == 0; }},
        Good{"port=/dev/a,port=/dev/b,state-out=s.json,trace-out=t.txt", [](auto& o) {
                 return o.ports == std::vector<std::string>{"/dev/a", "/dev/b"} &&
                        o.stateOut == "s.json" && o.traceOut == "t.txt";
             }}));

TEST(PreloadConfig, InitialContentsComeFromRawFiles) {
    std::string flashPath = ::testing::TempDir() + "preload_flash.bin";
    std::string eepromPath = ::testing::TempDir() + "preload_eeprom.bin";
    std::ofstream(flashPath, std::ios::binary) << "\x01\x02";
    std::ofstream(eepromPath, std::ios::binary) << std::string(64, '\x7E');
    PreloadOptions options = parsed("flash-in=" + flashPath + ",eeprom-in=" + eepromPath);
    EXPECT_EQ(options.chip.flash[0], 0x01);
    EXPECT_EQ(options.chip.flash[1], 0x02);
    EXPECT_EQ(options.chip.flash[2], 0xFF);
    EXPECT_EQ(options.chip.eeprom[63], 0x7E);

    std::ofstream(eepromPath, std::ios::binary) << std::string(65, '\x7E');
    EXPECT_EQ(vtarget::parsePreloadOptions(("eeprom-in=" + eepromPath).c_str(), options),
              eepromPath + " is larger than 64 bytes");
}

struct Bad {
    const char* text;
    const char* error;
};

void PrintTo(const Bad& param, std::ostream* out) {
    *out << param.text;
}

class BadConfigs : public ::testing::TestWithParam<Bad> {};

TEST_P(BadConfigs, AreReported) {
    PreloadOptions options;
    EXPECT_EQ(vtarget::parsePreloadOptions(GetParam().text, options), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadConfigs,
    ::testing::Values(
        Bad{"modle=12", "unknown key 'modle'"}, Bad{"model=12,=1", "unknown key ''"},
        Bad{"model=13", "bad value '13' for model"}, Bad{"model", "model needs a value"},
        Bad{"signature=1E90051", "bad value '1E90051' for signature"},
        Bad{"fuse=G0", "bad value 'G0' for fuse"},
        Bad{"calibration=5", "bad value '5' for calibration"},
        Bad{"lock=01", "bad value '01' for lock"}, Bad{"sync=0", "bad value '0' for sync"},
        Bad{"sync=33", "bad value '33' for sync"},
        Bad{"stuck=400:00", "bad value '400:00' for stuck"},
        Bad{"stuck=10:1", "bad value '10:1' for stuck"},
        Bad{"eestuck=40:00", "bad value '40:00' for eestuck"},
        Bad{"flash-us=-1", "bad value '-1' for flash-us"},
        Bad{"erase-us=4294967296", "bad value '4294967296' for erase-us"},
        Bad{"fail-after=x", "bad value 'x' for fail-after"},
        Bad{"realtime=1", "bad value '1' for realtime"},
        Bad{"serve-ptys=yes", "bad value 'yes' for serve-ptys"},
        Bad{"port=", "bad value '' for port"}, Bad{"state-out", "state-out needs a value"},
        Bad{"flash-in=/nonexistent/flash.bin", "cannot read /nonexistent/flash.bin"}));

}  // namespace
