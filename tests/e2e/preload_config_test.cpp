// Reading VTARGET: the key table checks itself, then what a table cannot show.
#include "vtarget/preload_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

// A directory of the test process's own, with an empty file in it.
const struct Files {
    std::string dir = mkdtemp(std::string("/tmp/quillet-config-XXXXXX").data());
    Files() { std::ofstream(dir + "/empty"); }
    ~Files() { std::filesystem::remove_all(dir); }
} files;

std::pair<std::string, vtarget::PreloadOptions> parse(const std::string& text) {
    vtarget::PreloadOptions options;
    std::string error = vtarget::parsePreloadOptions(text.c_str(), options);
    return {error, options};
}

// Every key is in the help and reads a value written as the help writes it:
// its last choice, digits for the letters (X and V lowercase hexadecimal, P 1),
// an empty file for PATH, nothing for a flag. An empty value is refused.
TEST(PreloadConfig, EveryKeyReadsTheValueItsHelpShows) {
    for (const vtarget::PreloadKey& key : vtarget::preloadKeys()) {
        std::string name = key.name, value = key.value ? key.value : "";
        EXPECT_NE(vtarget::preloadHelp().find("\n  " + name), std::string::npos) << name;
        bool path = value == "PATH";
        value = value == "KIND:N" ? "mosi-bit:N" : value.substr(value.rfind('|') + 1);
        for (char& c : value)
            c = c == 'A' || c == 'P' ? '1' : c == 'N' ? '9' : c == 'X' || c == 'V' ? 'f' : c;
        if (path) value = files.dir + "/empty";
        EXPECT_EQ(parse(key.value ? name + "=" + value : name).first, "") << value;
        EXPECT_EQ(parse(name + "=").first, "bad value '' for " + name);
    }
}

// What a setting leaves: its error, or the signature byte, the busy times,
// the call cost and the flash bytes 64 and 65. A busy time given with its key
// stands, before or after the model; a regular file fills a memory from the start.
TEST(PreloadConfig, SettingsAndTheirErrors) {
    std::string big = files.dir + "/65.bin";
    std::ofstream(big, std::ios::binary) << std::string(65, '\x7E');
    const std::pair<std::string, std::string> rows[] = {
        {"model=10", "3 4500 9000 9000 2000 255 255"},
        {"model=11", "4 4500 9000 9000 2000 255 255"},
        {"model=12", "5 4500 9000 9000 2000 255 255"},
        {"model=15", "6 4100 8200 8200 2000 255 255"},
        {"flash-us=1,model=15,erase-us=3,call-us=7,,flash-in=" + big, "6 1 8200 3 7000 126 255"},
        {"model=13", "bad value '13' for model"},
        {"model=9", "model 9 needs tpi"},
        {"model=12,tpi", "model 12 is not a TPI chip"},
        {"lock=01", "bad value '01' for lock"},
        {"stuck=400:00", "bad value '400:00' for stuck"},
        {"eeprom-in=" + big, big + " is larger than 64 bytes"},
        {"flash-in=/dev/zero", "/dev/zero is not a regular file"},
        {"noise-miso=1.5", "bad value '1.5' for noise-miso"},
        {"noise-at=miso:3,sck-drop:0", "bad value 'sck-drop:0' for noise-at"},
        {"noise-at=miso:3,clock:2", "bad value 'clock:2' for noise-at"},
        {"noise-mosi=1e-3,noise-at=miso:3,sck-drop:9,model=15", "6 4100 8200 8200 2000 255 255"}};
    for (const auto& [text, expected] : rows) {
        auto [error, options] = parse(text);
        const vtarget::Config& c = options.chip;
        std::string seen;
        for (std::uint64_t n : std::initializer_list<std::uint64_t>{
                 c.signature[2], c.flashWriteUs, c.eepromWriteUs, c.eraseUs, options.adapter.callNs,
                 c.flash[64], c.flash[65]})
            seen += (seen.empty() ? "" : " ") + std::to_string(n);
        EXPECT_EQ(error.empty() ? seen : error, expected) << text;
    }
}

}  // namespace
