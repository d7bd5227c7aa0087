#include "vtarget/preload_config.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

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

// Microseconds, kept as nanoseconds.
bool parseNs(const std::string& text, std::uint64_t& ns) {
    std::uint64_t us = 0;
    if (!parseNumber(text, 10, UINT32_MAX, us)) return false;
    ns = us * 1000;
    return true;
}

bool parseUint32(const std::string& text, std::uint32_t& value) {
    std::uint64_t number = 0;
    if (!parseNumber(text, 10, UINT32_MAX, number)) return false;
    value = static_cast<std::uint32_t>(number);
    return true;
}

// "MAJ:MIN" in decimal, as ls -l shows a device.
bool parseDevice(const std::string& text, DeviceNumber& device) {
    std::size_t colon = text.find(':');
    std::uint64_t major = 0;
    std::uint64_t minor = 0;
    if (colon == std::string::npos || !parseNumber(text.substr(0, colon), 10, 4095, major) ||
        !parseNumber(text.substr(colon + 1), 10, 0xFFFFF, minor)) {
        return false;
    }
    device = {static_cast<unsigned>(major), static_cast<unsigned>(minor)};
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

// Reads a regular file only, and of it one byte more than the memory holds:
// a device or a FIFO could go on for ever, or never answer.
template <std::size_t N>
std::string readContents(const std::string& path, std::array<std::uint8_t, N>& memory) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return "cannot read " + path;
    if (!std::filesystem::is_regular_file(path, error)) return path + " is not a regular file";
    std::ifstream in(path, std::ios::binary);
    char bytes[N + 1];
    in.read(bytes, N + 1);
    auto got = static_cast<std::size_t>(in.gcount());
    if (in.bad() || (!in && !in.eof())) return "cannot read " + path;
    if (got > N) return path + " is larger than " + std::to_string(N) + " bytes";
    for (std::size_t i = 0; i < got; ++i) {
        memory[i] = static_cast<std::uint8_t>(bytes[i]);
    }
    return "";
}

// A probability, 0 to 1, as a decimal or in scientific notation: 1e-4.
bool parseProbability(const std::string& text, double& p) {
    if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string::npos) {
        return false;
    }
    char* end = nullptr;
    p = std::strtod(text.c_str(), &end);
    return *end == '\0' && p >= 0 && p <= 1;
}

bool parseNoise(const std::string& text, NoiseKind kind, NoiseConfig& noise) {
    return parseProbability(text, noise.probability[static_cast<std::size_t>(kind)]);
}

// "KIND:N": the N-th eligible call of a kind, from 1.
bool parseNoiseAt(const std::string& text, NoiseConfig& noise) {
    std::size_t colon = text.find(':');
    NoiseKind kind;
    std::uint64_t call = 0;
    if (colon == std::string::npos || !noiseKindOf(text.substr(0, colon), kind) ||
        !parseNumber(text.substr(colon + 1), 10, UINT64_MAX / 16, call) || call == 0) {
        return false;
    }
    noise.at.insert({kind, call});
    return true;
}

// The longest serial number an FTDI chip's EEPROM holds.
constexpr std::size_t kMaxSerial = 16;

struct Parse {
    explicit Parse(PreloadOptions& o) : options(o) {}

    PreloadOptions& options;
    std::string error;  // a value that reads well but cannot be used
    bool flashUsGiven = false, eepromUsGiven = false, eraseUsGiven = false, sckMinGiven = false;
    bool signatureGiven = false;
    int model = 0;  // as model= gave it; 0 when not given
    // The adapter's keys given, which stand whatever adapter= says.
    bool callGiven = false, statusGiven = false, pollGiven = false, breakGiven = false;
    bool statusFollowsCall = true;  // the adapter's status read costs a line call's time
};

// The preset called name, for the adapter's settings not given with their own keys.
bool applyAdapter(Parse& p, const std::string& name) {
    for (const AdapterPreset& preset : adapterPresets()) {
        if (name != preset.name) continue;
        AdapterConfig& adapter = p.options.adapter;
        const AdapterConfig& given = preset.config;
        if (!p.callGiven) adapter.callNs = given.callNs;
        if (!p.statusGiven) adapter.statusNs = given.statusNs;
        if (!p.pollGiven) adapter.statusPollNs = given.statusPollNs;
        if (!p.breakGiven) adapter.breakMode = given.breakMode;
        adapter.breakSetCalls = given.breakSetCalls;
        adapter.breakClearCalls = given.breakClearCalls;
        p.statusFollowsCall = preset.statusFollowsCall;
        return true;
    }
    return false;
}

bool parseBreak(const std::string& text, BreakMode& mode) {
    const std::pair<const char*, BreakMode> kModes[] = {
        {"hold", BreakMode::Hold}, {"enotty", BreakMode::Enotty}, {"pulse", BreakMode::Pulse}};
    for (const auto& [name, each] : kModes) {
        if (text != name) continue;
        mode = each;
        return true;
    }
    return false;
}

// Applies a value (empty for a flag); false when it is bad.
using Apply = bool (*)(Parse& p, const std::string& value);

struct Entry {
    PreloadKey key;
    Apply apply;
};

const Entry kEntries[] = {
    {{"model", "4|5|9|10|11|12|15",
      "the chip's signature, busy times and fuse bits (12; with tpi: 10)"},
     [](Parse& p, const std::string& v) {
         std::uint64_t number = 0;
         Config model = p.options.chip;
         TpiConfig tpi;
         if (!parseNumber(v, 10, 99, number)) return false;
         p.model = static_cast<int>(number);
         if (!applyModel(p.model, model)) return applyTpiModel(p.model, tpi);
         Config& chip = p.options.chip;
         chip.signature = model.signature;
         chip.fuseBits = model.fuseBits;
         chip.fuseLocksOut = model.fuseLocksOut;
         chip.clockByFuse = model.clockByFuse;
         chip.eraseNeedsReset = model.eraseNeedsReset;
         if (!p.sckMinGiven) chip.sckMinNs = model.sckMinNs;
         if (!p.flashUsGiven) chip.flashWriteUs = model.flashWriteUs;
         if (!p.eepromUsGiven) chip.eepromWriteUs = model.eepromWriteUs;
         if (!p.eraseUsGiven) chip.eraseUs = model.eraseUs;
         return true;
     }},
    {{"signature", "XXXXXX", "the three signature bytes, in hexadecimal"},
     [](Parse& p, const std::string& v) {
         std::uint64_t number = 0;
         if (!parseHex(v, 6, number)) return false;
         p.signatureGiven = true;
         p.options.chip.signature = {static_cast<std::uint8_t>(number >> 16),
                                     static_cast<std::uint8_t>(number >> 8),
                                     static_cast<std::uint8_t>(number)};
         return true;
     }},
    {{"calibration", "XX", "the calibration byte (5A)"},
     [](Parse& p, const std::string& v) { return parseByte(v, p.options.chip.calibration); }},
    {{"fuse", "XX", "the fuse byte (52); 12 and 15 lock out with bit 5 set or bit 4 clear"},
     [](Parse& p, const std::string& v) { return parseByte(v, p.options.chip.fuse); }},
    {{"stuck-fuse", "XX", "the fuse always reads XX and writes do not take"},
     [](Parse& p, const std::string& v) {
         return p.options.chip.fuseStuck = parseByte(v, p.options.chip.stuckFuse);
     }},
    {{"lock", "06|04|02|00", "the lock bits as Read Lock Bits reports them (06)"},
     [](Parse& p, const std::string& v) {
         return parseByte(v, p.options.chip.lock) && (p.options.chip.lock & ~0x06u) == 0;
     }},
    {{"sync", "1..32|never", "the host's attempt at which the chip first answers (1)"},
     [](Parse& p, const std::string& v) {
         std::uint64_t number = 0;
         if (v == "never") {
             number = 0;
         } else if (!parseNumber(v, 10, 32, number) || number == 0) {
             return false;
         }
         p.options.chip.syncAttempt = static_cast<int>(number);
         return true;
     }},
    {{"absent", nullptr, "nothing is connected: MISO stays low"},
     [](Parse& p, const std::string&) { return p.options.chip.absent = true; }},
    {{"stubborn-lock", nullptr, "chip erase leaves the lock bits as they are"},
     [](Parse& p, const std::string&) { return p.options.chip.stubbornLock = true; }},
    {{"stuck", "AAA:VV", "the flash byte at AAA always reads VV (repeatable)"},
     [](Parse& p, const std::string& v) {
         return parseStuck(v, kFlashBytes, p.options.chip.stuckFlash);
     }},
    {{"eestuck", "AA:VV", "the EEPROM byte at AA always reads VV (repeatable)"},
     [](Parse& p, const std::string& v) {
         return parseStuck(v, kEepromBytes, p.options.chip.stuckEeprom);
     }},
    {{"astray", "AAA", "each EEPROM write also programs the flash byte at AAA"},
     [](Parse& p, const std::string& v) {
         std::uint64_t address = 0;
         if (!parseNumber(v, 16, kFlashBytes - 1, address)) return false;
         p.options.chip.astrayFlash = static_cast<int>(address);
         return true;
     }},
    {{"flash-us", "N", "microseconds a flash byte (tpi: word) write keeps the chip busy (model's)"},
     [](Parse& p, const std::string& v) {
         return p.flashUsGiven = parseUint32(v, p.options.chip.flashWriteUs);
     }},
    {{"eeprom-us", "N", "microseconds an EEPROM byte write keeps the chip busy (model's)"},
     [](Parse& p, const std::string& v) {
         return p.eepromUsGiven = parseUint32(v, p.options.chip.eepromWriteUs);
     }},
    {{"erase-us", "N", "microseconds a chip (tpi: or section) erase keeps the chip busy (model's)"},
     [](Parse& p, const std::string& v) {
         return p.eraseUsGiven = parseUint32(v, p.options.chip.eraseUs);
     }},
    {{"sck-min-ns", "N", "the shortest SCK high or low time, in nanoseconds (model's)"},
     [](Parse& p, const std::string& v) {
         return p.options.chip.sckMinFixed = p.sckMinGiven =
                    parseUint32(v, p.options.chip.sckMinNs);
     }},
    {{"clock", "rc|ext-rc|crystal|lf-crystal|external",
      "the board's clock source; 12 runs on what CKSEL chooses, or not at all (rc)"},
     [](Parse& p, const std::string& v) {
         for (Clock clock :
              {Clock::Rc, Clock::ExtRc, Clock::Crystal, Clock::LfCrystal, Clock::External}) {
             if (v != clockKey(clock)) continue;
             p.options.chip.clock = clock;
             return true;
         }
         return false;
     }},
    {{"erase-warning", nullptr, "a lone chip erase leaves the flash byte at 000 as it was"},
     [](Parse& p, const std::string&) { return p.options.chip.eraseWarning = true; }},
    {{"tpi", nullptr, "a TPI chip (ATtiny4/5/9/10, docs/tpi.md) instead of the serial one"},
     [](Parse& p, const std::string&) { return p.options.tpi = true; }},
    {{"tpi-link", "ok|no-resistor|no-miso|short", "the TPI cable, or its fault (ok)"},
     [](Parse& p, const std::string& v) {
         const std::pair<const char*, TpiLink> kLinks[] = {{"ok", TpiLink::Ok},
                                                           {"no-resistor", TpiLink::NoResistor},
                                                           {"no-miso", TpiLink::NoMiso},
                                                           {"short", TpiLink::Short}};
         for (const auto& [name, link] : kLinks) {
             if (v != name) continue;
             p.options.tpiChip.link = link;
             return true;
         }
         return false;
     }},
    {{"tpi-config", "XX", "the TPI chip's configuration byte (FF); bit 0 clear: RSTDISBL"},
     [](Parse& p, const std::string& v) { return parseByte(v, p.options.tpiChip.configByte); }},
    {{"tpi-lock", "XX", "the TPI chip's lock byte (FF); NVLB in bits 1:0"},
     [](Parse& p, const std::string& v) { return parseByte(v, p.options.tpiChip.lockByte); }},
    {{"adapter", "native|ftdi|cp210x|ch340|pl2303",
      "the four keys below as the adapter's driver has them (native)"},
     applyAdapter},
    {{"call-us", "N", "virtual microseconds a line call costs (2; adapter's)"},
     [](Parse& p, const std::string& v) {
         return p.callGiven = parseNs(v, p.options.adapter.callNs);
     }},
    {{"status-us", "N", "virtual microseconds a status read costs (call-us; adapter's)"},
     [](Parse& p, const std::string& v) {
         return p.statusGiven = parseNs(v, p.options.adapter.statusNs);
     }},
    {{"status-poll-us", "N",
      "status reads give MISO as at the last multiple of N us (0: now; adapter's)"},
     [](Parse& p, const std::string& v) {
         return p.pollGiven = parseNs(v, p.options.adapter.statusPollNs);
     }},
    {{"break", "hold|enotty|pulse",
      "held as asked, failing with ENOTTY, or CH341's simulated (hold)"},
     [](Parse& p, const std::string& v) {
         return p.breakGiven = parseBreak(v, p.options.adapter.breakMode);
     }},
    {{"fail-after", "N",
      "calls that succeed (line, break and status, or FT232R transfers); then all fail"},
     [](Parse& p, const std::string& v) {
         AdapterConfig& adapter = p.options.adapter;
         return adapter.failAfterSet = parseNumber(v, 10, UINT64_MAX / 2, adapter.failAfter);
     }},
    {{"noise-seed", "N", "the seed of the noise's random draws (0)"},
     [](Parse& p, const std::string& v) {
         return parseNumber(v, 10, UINT64_MAX / 16, p.options.adapter.noise.seed);
     }},
    {{"noise-miso", "P", "chance a MISO read (an FT232R sample) reads inverted (0)"},
     [](Parse& p, const std::string& v) {
         return parseNoise(v, NoiseKind::Miso, p.options.adapter.noise);
     }},
    {{"noise-sck-drop", "P", "chance an SCK drive does not reach the chip (0)"},
     [](Parse& p, const std::string& v) {
         return parseNoise(v, NoiseKind::SckDrop, p.options.adapter.noise);
     }},
    {{"noise-sck-extra", "P", "chance an SCK drive clocks one edge more (0)"},
     [](Parse& p, const std::string& v) {
         return parseNoise(v, NoiseKind::SckExtra, p.options.adapter.noise);
     }},
    {{"noise-mosi", "P", "chance a MOSI drive arrives inverted, until the next (0)"},
     [](Parse& p, const std::string& v) {
         return parseNoise(v, NoiseKind::Mosi, p.options.adapter.noise);
     }},
    {{"noise-mosi-bit", "P", "chance MOSI is inverted around one rising SCK drive (0)"},
     [](Parse& p, const std::string& v) {
         return parseNoise(v, NoiseKind::MosiBit, p.options.adapter.noise);
     }},
    {{"noise-at", "KIND:N",
      "an event at the kind's N-th eligible call (miso, sck-drop, sck-extra, mosi, "
      "mosi-bit); more KIND:N items may follow"},
     [](Parse& p, const std::string& v) { return parseNoiseAt(v, p.options.adapter.noise); }},
    {{"realtime", nullptr, "sleeps really wait, calls cost nothing, SCK pulses go unchecked"},
     [](Parse& p, const std::string&) { return p.options.realtime = true; }},
    {{"flash-in", "PATH", "the flash's first bytes, raw, from a regular file"},
     [](Parse& p, const std::string& v) {
         p.error = readContents(v, p.options.chip.flash);
         return !v.empty();
     }},
    {{"eeprom-in", "PATH", "the EEPROM's first bytes, raw, from a regular file"},
     [](Parse& p, const std::string& v) {
         p.error = readContents(v, p.options.chip.eeprom);
         return !v.empty();
     }},
    {{"port", "PATH",
      "a device path served besides the COM1 device (repeatable); PATH@N:N: stat gives that "
      "device number (240:0)"},
     [](Parse& p, const std::string& v) {
         std::size_t at = v.find('@');
         std::string path = v.substr(0, at);
         DeviceNumber number;
         if (at != std::string::npos && !parseDevice(v.substr(at + 1), number)) return false;
         if (at != std::string::npos) p.options.portNumbers[path] = number;
         p.options.ports.push_back(path);
         return !path.empty();
     }},
    {{"fds-left", "N", "descriptors left to open once the library has loaded (no limit)"},
     [](Parse& p, const std::string& v) {
         std::uint64_t n = 0;
         if (!parseNumber(v, 10, 1000, n)) return false;
         p.options.fdsLeft = static_cast<int>(n);
         return true;
     }},
    {{"tiocgdev", "N:N", "the device number TIOCGDEV gives on the served port (240:0)"},
     [](Parse& p, const std::string& v) { return parseDevice(v, p.options.realDevice); }},
    {{"ft232r", "[SERIAL]", "an FTDI open finds a virtual FT232R of that serial (QUILLET1)"},
     [](Parse& p, const std::string& v) {
         p.options.ft232r = true;
         if (v.empty()) return true;
         p.options.ft232rConfig.serial = v;
         return v.size() <= kMaxSerial;
     }},
    {{"no-port", nullptr, "opening a served path fails with ENOENT"},
     [](Parse& p, const std::string&) { return p.options.noPort = true; }},
    {{"lock-delay-ms", "N",
      "unlink and rename of a lock file (LCK..*) in the lock directory wait N real ms first"},
     [](Parse& p, const std::string& v) { return parseUint32(v, p.options.lockDelayMs); }},
    {{"serve-ptys", nullptr,
      "a pseudo-terminal opened elsewhere is served from its first "
      "line call on"},
     [](Parse& p, const std::string&) { return p.options.servePtys = true; }},
    {{"state-out", "PATH", "where the chip's state goes, as JSON, at close and at exit"},
     [](Parse& p, const std::string& v) {
         p.options.stateOut = v;
         return !v.empty();
     }},
    {{"trace-out", "PATH", "where the trace goes, a line per call, at close and at exit"},
     [](Parse& p, const std::string& v) {
         p.options.traceOut = v;
         return !v.empty();
     }},
    {{"help", nullptr, "print these keys and exit"},
     [](Parse& p, const std::string&) { return p.options.help = true; }},
};

// The TPI chip's model and the keys it shares with the serial one, once all
// are read: model= may come before or after tpi.
std::string finishTpi(Parse& p) {
    PreloadOptions& options = p.options;
    TpiConfig& tpi = options.tpiChip;
    bool tpiModel = applyTpiModel(p.model == 0 ? 10 : p.model, tpi);
    if (!options.tpi) {
        Config model;
        bool serialModel = p.model == 0 || applyModel(p.model, model);
        return serialModel ? "" : "model " + std::to_string(p.model) + " needs tpi";
    }
    if (!tpiModel) return "model " + std::to_string(p.model) + " is not a TPI chip";
    if (p.signatureGiven) tpi.signature = options.chip.signature;
    tpi.calibration = options.chip.calibration;
    tpi.absent = options.chip.absent;
    std::copy_n(options.chip.flash.begin(), tpi.flashBytes, tpi.flash.begin());
    if (p.flashUsGiven) tpi.wordWriteUs = options.chip.flashWriteUs;
    if (p.eraseUsGiven) tpi.chipEraseUs = tpi.sectionEraseUs = options.chip.eraseUs;
    return "";
}

}  // namespace

const std::vector<PreloadKey>& preloadKeys() {
    static const std::vector<PreloadKey> keys = [] {
        std::vector<PreloadKey> all;
        for (const Entry& entry : kEntries)
            all.push_back(entry.key);
        return all;
    }();
    return keys;
}

std::string preloadHelp() {
    std::string text = "VTARGET keys, comma-separated (defaults in parentheses):\n";
    for (const PreloadKey& key : preloadKeys()) {
        std::string item = key.name;
        if (key.value != nullptr && key.value[0] == '[') {
            item += std::string("[=") + (key.value + 1);
        } else if (key.value != nullptr) {
            item += std::string("=") + key.value;
        }
        item.resize(item.size() < 22 ? 22 : item.size() + 1, ' ');
        text += "  " + item + key.help + "\n";
    }
    return text;
}

std::string parsePreloadOptions(const char* text, PreloadOptions& options) {
    if (text == nullptr) return "";
    Parse parse(options);
    std::string all(text);
    std::size_t start = 0;
    std::string lastKey;
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
        // noise-at=miso:17,sck-drop:900: the items after it carry its values.
        if (!hasValue && lastKey == "noise-at" && item.find(':') != std::string::npos) {
            key = lastKey;
            value = item;
            hasValue = true;
        }
        lastKey = key;
        const Entry* entry = nullptr;
        for (const Entry& candidate : kEntries) {
            if (key == candidate.key.name) entry = &candidate;
        }
        if (entry == nullptr) return "unknown key '" + key + "'";
        bool flag = entry->key.value == nullptr;
        bool optional = !flag && entry->key.value[0] == '[';
        if (!flag && !optional && !hasValue) return key + " needs a value";
        if ((flag && hasValue) || (hasValue && value.empty()) || !entry->apply(parse, value)) {
            return "bad value '" + value + "' for " + key;
        }
        if (!parse.error.empty()) return parse.error;
    }
    AdapterConfig& adapter = options.adapter;
    if (!parse.statusGiven && parse.statusFollowsCall) adapter.statusNs = adapter.callNs;
    return finishTpi(parse);
}

}  // namespace vtarget
