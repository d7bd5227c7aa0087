// Noise replays: the same seed, or the same targeted event, gives the same
// events, transcript and chip twice, on a serial port and on the FT232R.
#include "tests/e2e/harness.h"

namespace {

// The FT232R rows, where the build drives FTDI chips.
#ifdef FTDI_PROBE
constexpr bool kFtdi = true;
#else
constexpr bool kFtdi = false;
#endif

// A full 1-KB flash image: 16 bytes of a/16 * 37 + 11 at each a.
std::string fullImage() {
    std::string image;
    for (unsigned a = 0; a < 1024; a += 16)
        image += e2e::record(a, std::string(16, static_cast<char>(a / 16 * 37 + 11)));
    return image + e2e::kEndRecord;
}

TEST(Noise, ATargetedOrSeededRunReplaysExactly) {
    const std::string image = fullImage();
    const std::string ftdi = QUILLET_BINARY " --port=ftdi";
    const struct {
        std::string vtarget, command, event;  // event: the first one the state lists
    } rows[] = {
        // The first Programming Enable's echo misread during a read.
        {"noise-at=miso:2", QUILLET_BINARY " --read dump.hex", "\"miso\", \"call\": 2,"},
        {"noise-seed=7,noise-sck-extra=1e-4", QUILLET_BINARY " full.hex", "\"sck-extra\""},
        {"adapter=ch340,noise-seed=3,noise-mosi=1e-4,noise-at=sck-drop:20000,miso:9",
         QUILLET_BINARY " --fast full.hex", "\"miso\", \"call\": 9,"},
        {"ft232r,noise-seed=7,noise-sck-drop=1e-4", ftdi + " full.hex", "\"sck-drop\""},
        {"ft232r,noise-at=mosi-bit:500", ftdi + " --fast full.hex", "\"mosi-bit\", \"call\": 500,"},
    };
    for (const auto& row : rows) {
        if (!kFtdi && row.vtarget.find("ft232r") == 0) continue;
        e2e::Outcome first = e2e::run({row.command, row.vtarget, {{"full.hex", image}}});
        e2e::Outcome second = e2e::run({row.command, row.vtarget, {{"full.hex", image}}});
        EXPECT_NE(first.state.find("{\"kind\": " + row.event), std::string::npos)
            << row.vtarget << first.state;
        EXPECT_EQ(first.code, second.code) << row.vtarget;
        EXPECT_EQ(first.err, second.err) << row.vtarget;
        EXPECT_EQ(first.state, second.state) << row.vtarget;
    }
}

// Each event strikes the instruction named (counted in a clean run's trace);
// whatever it does, the run never ends in success with a chip other than the
// image, and a read-only run never has the chip execute a write.
TEST(Noise, NoSuccessWithoutProofAndNoWriteFromAReadOnlyRun) {
    const std::string q = QUILLET_BINARY;
    std::string full, raw;
    for (unsigned a = 0; a < 1024; ++a) {
        char hex[3];
        raw += static_cast<char>(a / 16 * 37 + 11);
        std::snprintf(hex, sizeof hex, "%02X", (a / 16 * 37 + 11) & 0xFFu);
        full += hex;
    }
    const std::string kLineNoise = "  Line noise: 0 bytes read again, 1 resynchronisations.\n";
    const struct {
        std::string vtarget, command;
        int code;
        std::string line;        // in the error output
        std::string state = "";  // in the state file
    } rows[] = {
        // Write EEPROM C0 00 09 FF with the address's bit 0 flipped: 0xFF over
        // address 8, which read back right; address 9 reads 0xFF as wanted.
        {"noise-at=mosi-bit:1176", q + " data.eep", 5, ">>> Error verifying EEPROM at 008.\n"},
        // --fast: C0 00 08 5A lands at 9; the fifth poll of 8 reads 9.
        {"noise-at=mosi-bit:1112,mosi-bit:1272", q + " --fast data.eep", 5,
         ">>> Error verifying EEPROM at 008.\n>>> Error verifying EEPROM at 009.\n"},
        // A check's Programming Enable, AC 53 00 29, turned into Write Fuse Bits
        // AC B3 00 29 by three flipped bits.
        {"noise-at=mosi-bit:2441,mosi-bit:2442,mosi-bit:2443", q + " --read dump.hex", 5,
         ">>> Fuse bits changed from 12 to 29. Programming canceled!\n"},
        // The SCK pulse of the ninth bit of connect's check lost: its
        // Programming Enable, AC 53 00 29, reaches the chip as Write Fuse Bits
        // AC A6 00 52, the fuse byte the chip holds, not a lock-out.
        {"noise-at=sck-drop:651", q + " --read dump.hex", 0, "fuse bits readed = 12h",
         "\"write_fuse\": 1"},
        // An SCK pulse of the second Chip Erase's second byte lost: AC 80 00 00
        // frames as no instruction, where AC 9F FF FF framed as Write Fuse
        // Bits AC BF FF FE, a lock-out. The words after it, out of step,
        // programmed a byte no write brings back.
        {"noise-at=sck-drop:1566", q + " full.hex", 5,
         ">>> Error verifying flash at 0000. waited 0b <> readed 01\n", "\"fuse\": \"52\""},
        // Both reads of a byte garbled alike: read a third time, on a line
        // that showed noise, the dump holds what the chip holds.
        {"noise-seed=1,noise-mosi-bit=1e-3,flash-in=full.bin", q + " --read -", 0, "Flash read"},
        // The first Programming Enable's echo misread: the chip was in step.
        {"noise-at=miso:2", q + " --read dump.hex", 0, ""},
        {"noise-at=miso:2,flash-in=full.bin", q + " --verify full.hex", 0,
         "  0 of 1024 bytes differ\n"},
        // An SCK pulse lost in the middle of a load: found within 32
        // instructions, the load goes on from the last byte known good ...
        {"noise-at=sck-drop:179873", q + " full.hex", 0, kLineNoise},
        {"noise-at=sck-drop:149873", q + " --fast full.hex", 0, kLineNoise},
        // ... or a write the chip framed out of step programmed a byte that no
        // write can bring back: said, never taken for success.
        {"noise-at=sck-drop:209873", q + " full.hex", 5,
         ">>> Error verifying flash at 00A0. waited 7d <> readed 00\n"},
        {"noise-at=sck-drop:179873", q + " --fast full.hex", 5,
         ">>> Error verifying flash at 0078. waited 0e <> readed 00\n"},
    };
    const std::string eep = e2e::record(0, "\x01\x02\x03\x04\x05\x06\x07\x08\x5A\xFF");
    const std::map<std::string, std::string> files{
        {"full.hex", fullImage()}, {"full.bin", raw}, {"data.eep", eep + e2e::kEndRecord}};
    const std::string dump = e2e::run({q + " --read -", "flash-in=full.bin", files}).out;
    for (const auto& row : rows) {
        e2e::Outcome o = e2e::run({row.command, row.vtarget, files});
        std::string what = row.vtarget + " " + row.command + "\n" + o.err;
        EXPECT_EQ(o.code, row.code) << what;
        EXPECT_NE(o.err.find(row.line), std::string::npos) << what;
        EXPECT_NE(o.state.find(row.state), std::string::npos) << what;
        EXPECT_LE(o.number("out_of_frame_run_max"), 33u) << what;
        bool readOnly = row.command.find("--read") != std::string::npos ||
                        row.command.find("--verify") != std::string::npos;
        if (readOnly) {
            EXPECT_EQ(o.state.find("\"write_flash\""), std::string::npos) << what;
            EXPECT_EQ(o.state.find("\"chip_erase\""), std::string::npos) << what;
        }
        if (o.code == 0 && row.command.find("full.hex") != std::string::npos) {
            EXPECT_EQ(o.field("flash"), full) << what;
        }
        if (o.code == 0 && row.command.find("--read -") != std::string::npos) {
            EXPECT_EQ(o.out, dump) << what;
        }
    }
}

}  // namespace
