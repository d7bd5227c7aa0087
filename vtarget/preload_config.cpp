#include "vtarget/preload_config.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace vtarget {

namespace {

bool parseNumber(const std::string& text, int base, std::uint64_t limit, std::uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    value = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : base;
        if (digit >= base) return false;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (value > limit) return false;
    }
    return true;
}

// Exactly `digits` hexadecimal digits.
bool parseHex(const std::string& text, std::size_t digits, std::uint64_t& value) {
    return text.size() == digits && parseNumber(text, 16, ~std::uint64_t{0}, value);
}

bool parseByte(const std::string& text, std::uint8_t& value) {
    std::uint64_t v = 0;
    if (!parseHex(text, 2, v)) return false;
    value = static_cast<std::uint8_t>(v);
    return true;
}

// "AAA:VV": a hexadecimal address below `size` and a two-digit value.
bool parseStuck(const std::string& text, unsigned size, std::map<unsigned, std::uint8_t>& cells) {
    std::size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    std::uint64_t address = 0;
    std::uint8_t value = 0;
    if (!parseNumber(text.substr(0, colon), 16, size - 1, address) ||
        !parseByte(text.substr(colon + 1), value)) {
        return false;
    }
    cells[static_cast<unsigned>(address)] = value;
    return true;
}

template <std::size_t N>
std::string readContents(const std::string& path, std::array<std::uint8_t, N>& memory) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot read " + path;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() > N) return path + " is larger than " + std::to_string(N) + " bytes";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        memory[i] = static_cast<std::uint8_t>(bytes[i]);
    }
    return "";
}

// Applies one item; returns false when its value is bad.
bool apply(const std::string& key, const std::string& value, bool hasValue, PreloadOptions& options,
           std::string& error) {
    Config& chip = options.chip;
    std::uint64_t number = 0;
    if (key == "absent" || key == "stubborn-lock" || key == "realtime" || key == "no-port" ||
        key == "serve-ptys") {
        if (hasValue) return false;
        if (key == "absent") chip.absent = true;
        if (key == "stubborn-lock") chip.stubbornLock = true;
        if (key == "realtime") options.realtime = true;
        if (key == "no-port") options.noPort = true;
        if (key == "serve-ptys") options.servePtys = true;
        return true;
    }
    if (key == "model") {
        return parseNumber(value, 10, 99, number) &&
               signatureOfModel(static_cast<int>(number), chip.signature);
    }
    if (key == "signature") {
        if (!parseHex(value, 6, number)) return false;
        chip.signature = {static_cast<std::uint8_t>(number >> 16),
                          static_cast<std::uint8_t>(number >> 8),
                          static_cast<std::uint8_t>(number)};
        return true;
    }
    if (key == "calibration") return parseByte(value, chip.calibration);
    if (key == "fuse") return parseByte(value, chip.fuse);
    if (key == "lock") return parseByte(value, chip.lock) && (chip.lock & ~0x06u) == 0;
    if (key == "sync") {
        if (value == "never") {
            chip.syncAttempt = 0;
            return true;
        }
        if (!parseNumber(value, 10, 32, number) || number == 0) return false;
        chip.syncAttempt = static_cast<int>(number);
        return true;
    }
    if (key == "stuck") return parseStuck(value, kFlashBytes, chip.stuckFlash);
    if (key == "eestuck") return parseStuck(value, kEepromBytes, chip.stuckEeprom);
    if (key == "flash-us" || key == "eeprom-us" || key == "erase-us") {
        if (!parseNumber(value, 10, UINT32_MAX, number)) return false;
        std::uint32_t us = static_cast<std::uint32_t>(number);
        (key == "flash-us"    ? chip.flashWriteUs
         : key == "eeprom-us" ? chip.eepromWriteUs
                              : chip.eraseUs) = us;
        return true;
    }
    if (key == "call-us") return parseNumber(value, 10, UINT32_MAX, options.callUs);
    if (key == "fail-after") {
        options.failAfterSet = parseNumber(value, 10, UINT64_MAX / 2, options.failAfter);
        return options.failAfterSet;
    }
    if (value.empty()) return false;
    if (key == "flash-in") error = readContents(value, chip.flash);
    if (key == "eeprom-in") error = readContents(value, chip.eeprom);
    if (key == "port") options.ports.push_back(value);
    if (key == "state-out") options.stateOut = value;
    if (key == "trace-out") options.traceOut = value;
    return true;
}

bool knownKey(const std::string& key) {
    static const char* const kKeys[] = {
        "model",    "signature",  "calibration", "fuse",          "lock",       "sync",
        "absent",   "stuck",      "eestuck",     "stubborn-lock", "flash-us",   "eeprom-us",
        "erase-us", "call-us",    "flash-in",    "eeprom-in",     "port",       "no-port",
        "realtime", "fail-after", "state-out",   "trace-out",     "serve-ptys",
    };
    for (const char* known : kKeys) {
        if (key == known) return true;
    }
    return false;
}

}  // namespace

std::string parsePreloadOptions(const char* text, PreloadOptions& options) {
    if (text == nullptr) return "";
    std::string all(text);
    std::size_t start = 0;
    while (start <= all.size()) {
        std::size_t end = all.find(',', start);
        if (end == std::string::npos) end = all.size();
        std::string item = all.substr(start, end - start);
        start = end + 1;
        if (item.empty()) continue;
        std::size_t equals = item.find('=');
        bool hasValue = equals != std::string::npos;
        std::string key = item.substr(0, equals);
        std::string value = hasValue ? item.substr(equals + 1) : "";
        if (!knownKey(key)) return "unknown key '" + key + "'";
        std::string error;
        if (!apply(key, value, hasValue, options, error)) {
            return hasValue ? "bad value '" + value + "' for " + key : key + " needs a value";
        }
        if (!error.empty()) return error;
    }
    return "";
}

}  // namespace vtarget
