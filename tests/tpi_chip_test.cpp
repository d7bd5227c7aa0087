// The TPI chip as a host meets it at the pins: frames, guard times, the key,
// the NVM commands, the memory map, the cable and each violation.
#include "vtarget/tpi_chip.h"

#include <gtest/gtest.h>

#include "vtarget/preload_config.h"

using namespace vtarget;
using wiring::Pin;

namespace {

constexpr std::uint8_t kSldcsTpiir = 0x8F, kSldcsTpisr = 0x80, kSstcsTpipcr = 0xC2;
constexpr std::uint8_t kSstprLow = 0x68, kSstprHigh = 0x69, kSst = 0x60, kSstPlus = 0x64;
constexpr std::uint8_t kSld = 0x20, kSoutNvmcmd = 0xF3, kSinNvmcsr = 0x72;
const std::uint8_t kKey[] = {0xFF, 0x88, 0xD8, 0xCD, 0x45, 0xAB, 0x89, 0x12};

// A host that clocks the chip as avrdude's serial bit-bang does: data set
// while TPICLK is low, TPIDATA read after the rising edge.
struct Host {
    TpiChip chip;
    explicit Host(const std::string& settings = "") : chip(configOf(settings)) {}

    static TpiConfig configOf(const std::string& settings) {
        PreloadOptions options;
        EXPECT_EQ(parsePreloadOptions(("tpi," + settings).c_str(), options), "");
        return options.tpiChip;
    }
    bool clock(bool data = true) {
        chip.setPin(Pin::Mosi, data);
        chip.setPin(Pin::Sck, true);
        bool line = chip.pinLevel(Pin::Miso);
        chip.setPin(Pin::Sck, false);
        return line;
    }
    void enable() {
        chip.setPin(Pin::Reset, false);
        for (int i = 0; i < 16; ++i)
            clock();
    }
    void send(std::uint8_t byte, bool badParity = false, bool badStop = false) {
        bool parity = badParity;
        clock(false);
        for (int i = 0; i < 8; ++i) {
            parity ^= (byte >> i) & 1;
            clock((byte >> i) & 1);
        }
        clock(parity);
        clock(!badStop);
        clock(true);
    }
    // The byte answered, or -1; idle: the high bits before the start bit.
    int receive(unsigned* idle = nullptr) {
        unsigned n = 0;
        while (clock())
            if (++n > 300) return -1;
        if (idle) *idle = n;
        int byte = 0;
        for (int i = 0; i < 8; ++i)
            byte |= clock() << i;
        clock(), clock(), clock();
        return byte;
    }
    // Enabled, the guard time at its shortest, the key given (one byte of it
    // wrong when wrong is 0 to 7).
    void ready(int wrong = -1) {
        enable();
        send(kSstcsTpipcr), send(7), send(0xE0);
        for (int i = 0; i < 8; ++i)
            send(static_cast<std::uint8_t>(kKey[i] ^ (i == wrong ? 0x01 : 0)));
    }
    void pointTo(unsigned address) {
        send(kSstprLow), send(address & 0xFF), send(kSstprHigh), send(address >> 8);
    }
    void command(std::uint8_t nvmcmd) { send(kSoutNvmcmd), send(nvmcmd); }
    int read(unsigned address) { return pointTo(address), send(kSld), receive(); }
    void write(unsigned address, std::uint8_t value) { pointTo(address), send(kSst), send(value); }
    void waitIdle() { chip.advanceNs(10000000); }
};

TEST(TpiChip, GuardTimeIsTheIdleBitsBeforeAnAnswer) {
    const unsigned kIdle[] = {130, 66, 34, 18, 10, 6, 4, 2};  // GT 0 to 7; GT 0 after enabling
    for (int gt = -1; gt < 8; ++gt) {
        Host host;
        host.enable();
        if (gt >= 0) host.send(kSstcsTpipcr), host.send(static_cast<std::uint8_t>(gt));
        host.send(kSldcsTpiir);
        unsigned seen = 0;
        EXPECT_EQ(host.receive(&seen), 0x80);
        EXPECT_EQ(seen, kIdle[gt < 0 ? 0 : gt]) << gt;
    }
}

TEST(TpiChip, OnlyTheKeyEnablesNvmProgramming) {
    for (int wrong : {-1, 0, 7}) {
        Host host;
        host.ready(wrong);
        host.send(kSldcsTpisr);
        EXPECT_EQ(host.receive(), wrong < 0 ? 0x02 : 0x00) << wrong;
        EXPECT_EQ(host.chip.violationCount(), wrong < 0 ? 0u : 1u);
    }
}

// Each model's map: lock, configuration, calibration, signature, and flash
// that reads 0x00 with both lock bits programmed.
TEST(TpiChip, MemoryMap) {
    const struct {
        const char* settings;
        unsigned address;
        int value;
    } rows[] = {{"tpi-lock=FE", 0x3F00, 0xFE},
                {"tpi-config=FB", 0x3F40, 0xFB},
                {"calibration=4C", 0x3F80, 0x4C},
                {"model=4", 0x3FC1, 0x8F},
                {"model=5", 0x3FC2, 0x09},
                {"model=9", 0x3FC2, 0x08},
                {"", 0x3FC0, 0x1E},
                {"", 0x3FC2, 0x03},
                {"tpi-lock=FC", 0x4000, 0x00}};
    for (const auto& row : rows) {
        Host host(row.settings);
        host.ready();
        EXPECT_EQ(host.read(row.address), row.value) << row.settings << " " << row.address;
        EXPECT_EQ(host.chip.violationCount(), 0u);
    }
}

// Each NVM command, started by a write to the high byte, and its busy time.
// Before all but the chip erase, a chip erase and a word 0x3412 at 0x4000.
TEST(TpiChip, NvmCommands) {
    const struct {
        const char* settings;
        std::uint8_t command;
        unsigned address;
        std::uint8_t low;
        const char* kind;
        unsigned busyUs;
        std::uint8_t flash0, flash1, config, lock;
    } rows[] = {
        {"tpi-config=FB,tpi-lock=FC", 0x10, 0x4000, 0, "chip_erase", 4000, 0xFF, 0xFF, 0xFB, 0xFF},
        {"", 0x14, 0x4200, 0, "section_erase", 4000, 0xFF, 0xFF, 0xFF, 0xFF},
        {"tpi-config=FB", 0x14, 0x3F40, 0, "section_erase", 4000, 0x12, 0x34, 0xFF, 0xFF},
        {"", 0x1D, 0x3F40, 0xFE, "word_write", 2000, 0x12, 0x34, 0xFE, 0xFF},
        {"", 0x1D, 0x3F00, 0xFC, "word_write", 2000, 0x12, 0x34, 0xFF, 0xFC},
    };
    for (const auto& row : rows) {
        Host host(row.settings);
        host.ready();
        if (row.command != 0x10) {
            host.command(0x10), host.write(0x4001, 0), host.waitIdle();
            host.command(0x1D), host.write(0x4000, 0x12), host.write(0x4001, 0x34), host.waitIdle();
        }
        host.command(row.command);
        host.pointTo(row.address);
        host.send(kSstPlus), host.send(row.low), host.send(kSst), host.send(0xFF);
        host.send(kSinNvmcsr);
        EXPECT_EQ(host.receive(), 0x80) << row.kind;  // NVMBSY
        host.chip.advanceNs(row.busyUs * 1000 - 1);
        EXPECT_TRUE(host.chip.busy());
        host.chip.advanceNs(1);
        EXPECT_FALSE(host.chip.busy());
        EXPECT_GE(host.chip.instructions().at(row.kind), 1u);
        EXPECT_EQ(host.chip.flash()[0], row.flash0) << row.kind << " " << row.address;
        EXPECT_EQ(host.chip.flash()[1], row.flash1);
        EXPECT_EQ(host.chip.configByte(), row.config);
        EXPECT_EQ(host.chip.lockByte(), row.lock);
        EXPECT_EQ(host.chip.violationCount(), 0u);
    }
}

// What a host does wrong, as the chip reports it; the first four leave it in
// the error state, deaf to frames, which a BREAK ends.
TEST(TpiChip, Violations) {
    const struct {
        const char* violation;
        void (*act)(Host&);
    } rows[] = {
        {"frame during the guard time", [](Host& h) { h.send(kSld), h.send(kSld); }},
        {"collision",  // at the parity bit of 0x80, where the chip's driver is off
         [](Host& h) {
             h.send(kSldcsTpiir);
             for (int i = 0; i < 11; ++i)
                 h.clock();
             h.clock(false);
         }},
        {"parity error", [](Host& h) { h.send(kSld, true); }},
        {"frame error", [](Host& h) { h.send(kSld, false, true); }},
        {"write while NVMBSY", [](Host& h) { h.command(0x10), h.write(0x4001, 0), h.command(0); }},
        {"read while NVMBSY", [](Host& h) { h.command(0x10), h.write(0x4001, 0), h.read(0x4000); }},
        {"word write to a word not erased",
         [](Host& h) { h.command(0x1D), h.write(0x4001, 0), h.waitIdle(), h.write(0x4001, 0); }},
        {"write to a read-only section", [](Host& h) { h.command(0x1D), h.write(0x3FC1, 0); }},
        {"write to NVM with no NVM command", [](Host& h) { h.write(0x4001, 0); }},
        {"data space access without NVMEN",
         [](Host& h) { h.send(0xC0), h.send(0), h.read(0x4000); }},
    };
    for (const auto& row : rows) {
        Host host;
        host.ready();
        row.act(host);
        ASSERT_EQ(host.chip.violations().size(), 1u) << row.violation;
        EXPECT_EQ(host.chip.violations()[0], row.violation);
        EXPECT_EQ(host.chip.inErrorState(), &row < rows + 4);
        host.send(kSldcsTpiir);
        EXPECT_EQ(host.receive() == 0x80, &row >= rows + 4);
        for (int i = 0; i < 13; ++i)
            host.clock(i == 12);  // a BREAK
        host.send(kSldcsTpiir);
        EXPECT_EQ(host.receive(), 0x80);
    }
}

// DSR through each cable: what a host reads when it drives TPIDATA low and
// high, and whether the chip's answer reaches it.
TEST(TpiChip, CableFaults) {
    for (auto [link, low, high, answers] : {std::tuple{"ok", false, true, true},
                                            {"no-resistor", false, false, false},
                                            {"no-miso", false, false, false},
                                            {"short", false, true, false}}) {
        Host host(std::string("tpi-link=") + link);
        host.chip.setPin(Pin::Mosi, false);
        EXPECT_EQ(host.chip.pinLevel(Pin::Miso), low) << link;
        host.chip.setPin(Pin::Mosi, true);
        EXPECT_EQ(host.chip.pinLevel(Pin::Miso), high) << link;
        host.enable();
        host.send(kSldcsTpiir);
        EXPECT_EQ(host.receive() == 0x80, answers) << link;
    }
}

// RSTDISBL programmed takes effect at the next power-up: RESET low no longer
// enables the interface.
TEST(TpiChip, ResetDisabledAtTheNextPowerUp) {
    Host host;
    host.ready();
    host.command(0x1D), host.write(0x3F40, 0xFE), host.write(0x3F41, 0xFF), host.waitIdle();
    EXPECT_EQ(host.read(0x3F40), 0xFE);
    host.chip.powerUp();
    host.enable(), host.send(kSldcsTpiir);
    EXPECT_EQ(host.receive(), -1);
}

}  // namespace
