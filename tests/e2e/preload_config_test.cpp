// Reading VTARGET: the key table, the model's busy times, and bad values.
#include "vtarget/preload_config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

namespace {

using vtarget::PreloadOptions;

std::string parse(const std::string& text, PreloadOptions& options) {
    return vtarget::parsePreloadOptions(text.c_str(), options);
}

TEST(PreloadConfig, EveryKeyIsHelpedOnceAndTakesAValueOrNot) {
    std::set<std::string> names;
    for (const vtarget::PreloadKey& key : vtarget::preloadKeys()) {
        std::string name = key.name;
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_NE(vtarget::preloadHelp().find("\n  " + name), std::string::npos) << name;
        PreloadOptions options;
        EXPECT_EQ(parse(key.value != nullptr ? name : name + "=1", options),
                  key.value != nullptr ? name + " needs a value" : "bad value '1' for " + name);
    }
}

TEST(PreloadConfig, ModelSetsSignatureAndBusyTimesUnlessTimesAreGiven) {
    const struct {
        const char* text;
        std::uint8_t signature;
        std::uint32_t flashUs, eepromUs, eraseUs;
    } rows[] = {{"", 0x05, 4500, 9000, 9000},
                {"model=10", 0x03, 4500, 9000, 9000},
                {"model=15", 0x06, 4100, 8200, 8200},
                {"flash-us=1,model=15,erase-us=3", 0x06, 1, 8200, 3}};
    for (const auto& row : rows) {
        PreloadOptions options;
        EXPECT_EQ(parse(row.text, options), "");
        EXPECT_EQ(options.chip.signature[2], row.signature) << row.text;
        EXPECT_EQ(options.chip.flashWriteUs, row.flashUs) << row.text;
        EXPECT_EQ(options.chip.eepromWriteUs, row.eepromUs) << row.text;
        EXPECT_EQ(options.chip.eraseUs, row.eraseUs) << row.text;
    }
}

TEST(PreloadConfig, AdapterAndPortKeys) {
    PreloadOptions options;
    EXPECT_EQ(options.adapter.callNs, 2000u);
    EXPECT_EQ(parse("call-us=7,,fail-after=0,port=/a,port=/b,sync=never", options), "");
    EXPECT_EQ(options.adapter.callNs, 7000u);
    EXPECT_TRUE(options.adapter.failAfterSet);
    EXPECT_EQ(options.ports, (std::vector<std::string>{"/a", "/b"}));
    EXPECT_EQ(options.chip.syncAttempt, 0);
}

TEST(PreloadConfig, InitialContentsComeFromRawFilesNoLargerThanTheMemory) {
    std::string path = ::testing::TempDir() + "preload_eeprom.bin";
    std::ofstream(path, std::ios::binary) << "\x01\x02";
    PreloadOptions options;
    EXPECT_EQ(parse("eeprom-in=" + path, options), "");
    EXPECT_EQ(options.chip.eeprom[1], 0x02);
    EXPECT_EQ(options.chip.eeprom[2], 0xFF);
    std::ofstream(path, std::ios::binary) << std::string(65, '\x7E');
    EXPECT_EQ(parse("eeprom-in=" + path, options), path + " is larger than 64 bytes");
}

TEST(PreloadConfig, BadValuesAreNamed) {
    const std::pair<const char*, const char*> rows[] = {
        {"modle=12", "unknown key 'modle'"},
        {"model=13", "bad value '13' for model"},
        {"signature=1E90051", "bad value '1E90051' for signature"},
        {"lock=01", "bad value '01' for lock"},
        {"sync=33", "bad value '33' for sync"},
        {"stuck=400:00", "bad value '400:00' for stuck"},
        {"eestuck=3F:1", "bad value '3F:1' for eestuck"},
        {"erase-us=4294967296", "bad value '4294967296' for erase-us"},
        {"port=", "bad value '' for port"},
        {"flash-in=/nonexistent/flash.bin", "cannot read /nonexistent/flash.bin"},
    };
    for (const auto& [text, error] : rows) {
        PreloadOptions options;
        EXPECT_EQ(parse(text, options), error);
    }
}

}  // namespace
