#include "vtarget/report.h"

#include <cstdint>
#include <type_traits>
#include <vector>

namespace vtarget {

namespace {

std::string hex(const std::uint8_t* bytes, std::size_t n) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string field(const char* name, const std::string& value) {
    return std::string("  \"") + name + "\": " + value + ",\n";
}

std::string number(std::uint64_t value) {
    return std::to_string(value);
}

// What the adapter counted and the chip's counts and violations, with the
// adapter's own violations after the chip's.
template <typename AnyChip>
std::string counts(const AnyChip& chip, const Adapter& adapter, std::uint64_t usbRoundTrips,
                   std::uint64_t portOpens) {
    std::string json = field("virtual_us", number(chip.nowNs() / 1000));
    json += field("sleep_us", number(adapter.sleptNs() / 1000));
    json += field("line_calls", number(adapter.lineCalls()));
    json += field("status_reads", number(adapter.statusReads()));
    json += field("usb_round_trips", number(usbRoundTrips));
    json += field("port_opens", number(portOpens));
    std::string kinds;
    for (const auto& [kind, count] : chip.instructions())
        kinds += (kinds.empty() ? "" : ", ") + quoted(kind) + ": " + number(count);
    json += field("instructions", "{" + kinds + "}");
    json += field("unknown_instructions", number(chip.unknownInstructions()));
    // Only the serial chip keeps the host's 32-bit frame.
    if constexpr (std::is_same_v<AnyChip, Chip>) {
        std::string framed;
        for (const auto& [kind, count] : chip.outOfFrameInstructions())
            framed += (framed.empty() ? "" : ", ") + quoted(kind) + ": " + number(count);
        json += field("out_of_frame_words", number(chip.outOfFrameWords()));
        json += field("out_of_frame_run_max", number(chip.outOfFrameRunMax()));
        json += field("out_of_frame_instructions", "{" + framed + "}");
    }
    const Noise& noise = adapter.noise();
    std::string calls, events;
    for (std::size_t k = 0; k < kNoiseKinds; ++k) {
        auto kind = static_cast<NoiseKind>(k);
        calls += (calls.empty() ? "" : ", ") + quoted(noiseKindName(kind)) + ": " +
                 number(noise.calls(kind));
    }
    for (const NoiseEvent& event : noise.events()) {
        events += std::string(events.empty() ? "" : ",") +
                  "\n    {\"kind\": " + quoted(noiseKindName(event.kind)) +
                  ", \"call\": " + number(event.call) + ", \"virtual_ns\": " + number(event.ns) +
                  "}";
    }
    json += field("noise_calls", "{" + calls + "}");
    json += field("noise_event_count", number(noise.eventCount()));
    json += field("noise_events", "[" + events + (events.empty() ? "]" : "\n  ]"));
    json += field("violation_count", number(chip.violationCount() + adapter.violations().count()));
    std::vector<std::string> kept = chip.violations();
    kept.insert(kept.end(), adapter.violations().kept().begin(), adapter.violations().kept().end());
    if (kept.size() > Violations::kKept) kept.resize(Violations::kKept);
    std::string texts;
    for (const std::string& text : kept)
        texts += (texts.empty() ? "" : ", ") + quoted(text);
    return json + "  \"violations\": [" + texts + "]\n}\n";
}

std::string byteField(const char* name, std::uint8_t value) {
    return field(name, quoted(hex(&value, 1)));
}

}  // namespace

std::string stateJson(const Chip& chip, const Adapter& adapter, std::uint64_t usbRoundTrips,
                      std::uint64_t portOpens) {
    std::string json = "{\n";
    json += field("flash", quoted(hex(chip.flash().data(), kFlashBytes)));
    json += field("eeprom", quoted(hex(chip.eeprom().data(), kEepromBytes)));
    json += byteField("fuse", chip.fuse());
    json += byteField("lock", chip.lock());
    return json + counts(chip, adapter, usbRoundTrips, portOpens);
}

std::string tpiStateJson(const TpiChip& chip, const Adapter& adapter, std::uint64_t usbRoundTrips,
                         std::uint64_t portOpens) {
    std::string json = "{\n";
    json += field("model", number(static_cast<std::uint64_t>(chip.config().model)));
    json += field("flash", quoted(hex(chip.flash().data(), chip.config().flashBytes)));
    json += byteField("lock", chip.lockByte());
    json += byteField("config", chip.configByte());
    json += byteField("calibration", chip.config().calibration);
    json += field("nvmen", chip.nvmEnabled() ? "true" : "false");
    json += field("error_state", chip.inErrorState() ? "true" : "false");
    return json + counts(chip, adapter, usbRoundTrips, portOpens);
}

void writeTrace(std::ostream& out, const Adapter& adapter) {
    for (const std::string& line : adapter.trace())
        out << line << '\n';
}

}  // namespace vtarget
