// Transports: the port-name grammar that picks one, and a transport that
// takes each waveform as one exchange, programming a whole 1-KB image.
#include "link/transport.h"

#include <csignal>

#include "link/interrupt.h"
#include "link/port_name.h"
#include "tests/support.h"

namespace {

using waveform::Step;

TEST(PortNames, PickTheirTransport) {
    using port::PortKind;
    const struct {
        const char* text;
        PortKind kind;
        const char* serial;
        unsigned vid, pid;
    } rows[] = {
        {"COM1:", PortKind::Device, "", 0, 0},
        {"/dev/ttyUSB0", PortKind::Device, "", 0, 0},
        {"./ftdi", PortKind::Device, "", 0, 0},
        {"ftdix", PortKind::Device, "", 0, 0},
        {"ftdi", PortKind::Ftdi, "", 0, 0},
        {"ftdi:A9X1", PortKind::Ftdi, "A9X1", 0, 0},
        {"ftdi:", PortKind::Malformed, "", 0, 0},
        {"usb:1a86:7523", PortKind::UsbSerial, "", 0x1A86, 0x7523},
        {"usb:403:6001:FT1", PortKind::UsbSerial, "FT1", 0x403, 0x6001},
        {"usb:abCF:F00f", PortKind::UsbSerial, "", 0xABCF, 0xF00F},
        {"usb:1a86:7523:", PortKind::Malformed, "", 0, 0},
        {"usb:1a86", PortKind::Malformed, "", 0, 0},
        {"usb:12345:1", PortKind::Malformed, "", 0, 0},
        {"usb:1a86:75g3", PortKind::Malformed, "", 0, 0},
        {"usb::7523", PortKind::Malformed, "", 0, 0},
    };
    for (const auto& row : rows) {
        port::PortName name = port::parsePortName(row.text);
        EXPECT_EQ(name.kind, row.kind) << row.text;
        if (name.kind == PortKind::Malformed) continue;
        EXPECT_STREQ(name.serial, row.serial) << row.text;
        EXPECT_EQ(name.vid, row.vid) << row.text;
        EXPECT_EQ(name.pid, row.pid) << row.text;
        if (name.kind == PortKind::Device) {
            EXPECT_STREQ(name.device, row.text);
        }
    }
}

// Runs each waveform whole on the chip's pins, as a bit-bang adapter that
// takes a buffer per USB transfer would, a millisecond an exchange and 2 us
// a drive.
class Batch : public port::Transport {
  public:
    explicit Batch(vtarget::Chip& chip) : chip_(chip) {}

    port::Result run(const waveform::Waveform& wave, waveform::Samples& samples) override {
        if (++exchanges == interruptAt) interrupt::request(SIGTERM);
        chip_.advanceUs(1000);
        bool waitsOnly = true;
        for (std::size_t i = 0; i < wave.count; ++i) {
            const Step& step = wave.steps[i];
            if (step.kind == Step::Drive) {
                chip_.advanceNs(2000);
                chip_.setPin(step.pin, step.level);
            }
            if (step.kind == Step::Sample)
                samples.bits[samples.count++] = chip_.pinLevel(wiring::Pin::Miso);
            if (step.kind == Step::Wait) chip_.advanceUs(step.us);
            waitsOnly = waitsOnly && step.kind == Step::Wait;
        }
        waits += waitsOnly;
        return port::Result{};
    }
    std::uint64_t nowUs() override { return chip_.nowUs(); }
    bool batches() const override { return true; }
    void close() override {}

    unsigned exchanges = 0, waits = 0;
    unsigned interruptAt = 0;  // the exchange during which a signal comes

  private:
    vtarget::Chip& chip_;
};

// A waveform too long for its room never reaches the port: the port is taken
// as gone, as for any failed call.
TEST(Waveforms, ThatOverflowNeverRun) {
    vtarget::Chip chip;
    Batch batch(chip);
    port::install(&batch);
    port::open("COM1:", false);
    waveform::Waveform wave = port::begin();
    for (std::size_t i = 0; i <= waveform::kMaxSteps; ++i)
        waveform::drive(wave, wiring::Pin::Sck, i % 2 != 0);
    port::exchange(wave);
    EXPECT_EQ(port::failure().error, EOVERFLOW);
    port::close();
    port::install(nullptr);
    EXPECT_EQ(batch.exchanges, 0u);
}

class Transports : public ::testing::TestWithParam<bool> {};

// The whole run, with its transcript, in one exchange per instruction.
TEST_P(Transports, BatchProgramsAKilobyteInAnExchangePerInstruction) {
    bool fast = GetParam();
    std::string bytes, text;
    for (unsigned a = 0; a < 1024; ++a)
        bytes += static_cast<char>(a * 13 + 1);
    for (unsigned a = 0; a < 1024; a += 16)
        text += testsupport::record(a, bytes.substr(a, 16));
    testsupport::writeFile("full.hex", text + testsupport::kEndRecord);
    std::string args = fast ? "--fast full.hex" : "full.hex";
    std::string serialErr;
    {
        testsupport::AttachedChip serial;
        serialErr = testsupport::runProgram(args).err;
    }
    vtarget::Chip chip;
    Batch batch(chip);
    port::install(&batch);
    testsupport::Outcome outcome = testsupport::runProgram(args);
    port::install(nullptr);
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.err, serialErr);
    EXPECT_EQ(std::string(chip.flash().begin(), chip.flash().end()), bytes);
    EXPECT_EQ(chip.violationCount(), 0u);
    std::uint64_t instructions = 0;
    for (const auto& [kind, count] : chip.instructions())
        instructions += count;
    // An exchange carries one instruction or two (a byte's write beside the
    // read back of the byte before it); besides: the port's check (a status
    // read, the break set and cleared), the reset sequence, the release and
    // the erase's wait. Such a port polls instead of waiting after each write.
    // The final pass reads 6 bytes an exchange.
    unsigned carrying = batch.exchanges - 3 - 2 - batch.waits - (1024 + 5) / 6;
    EXPECT_LE(carrying, instructions - 1024);
    EXPECT_GE(2 * carrying, instructions - 1024);
    EXPECT_EQ(batch.waits, 1u);
}

INSTANTIATE_TEST_SUITE_P(DefaultAndFast, Transports, ::testing::Bool());

// A signal ends the run at its next step, whichever: the chip is let go (no
// write left half done, RESET high, SCK and MOSI low), and the exit code
// tells the signal.
TEST(Interrupted, RunsLetTheChipGo) {
    testsupport::writeFile("blink.hex",
                           testsupport::record(0, "\x0A\xC0\xFF\xCF") + testsupport::kEndRecord);
    // The port's check, the reset, the first Programming Enable, the erase,
    // the first write.
    for (unsigned at : {1u, 4u, 5u, 13u, 15u}) {
        vtarget::Chip chip;
        Batch batch(chip);
        batch.interruptAt = at;
        port::install(&batch);
        testsupport::Outcome outcome = testsupport::runProgram("blink.hex");
        port::install(nullptr);
        interrupt::clear();
        EXPECT_EQ(outcome.code, 128 + SIGTERM) << at;
        EXPECT_EQ(outcome.err.substr(outcome.err.rfind(">>>")),
                  ">>> Interrupted (signal 15). Programming canceled!\n=== EOJ :-)\n")
            << at;
        EXPECT_EQ(batch.exchanges, at + 1) << "one more: the chip let go";
        EXPECT_TRUE(chip.pinLevel(wiring::Pin::Reset));
        EXPECT_FALSE(chip.pinLevel(wiring::Pin::Sck) || chip.pinLevel(wiring::Pin::Mosi));
        EXPECT_EQ(chip.violationCount(), 0u) << at;
    }
}

}  // namespace
