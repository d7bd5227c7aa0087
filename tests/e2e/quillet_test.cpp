// The shipped quillet binary as a process on the virtual chip: what needs a
// real process and a real port device, and nothing the in-process runs show.
#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <csignal>
#include <set>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/messages.h"

namespace {

using namespace messages;

const std::string kCode("\x0A\xC0\xFF\xCF\x0F\xEF\x07\xBB\x08\xBB\x00\x95\x80\x95\xFD\xCF\x18\x95",
                        18);
const std::string kBlink =
    e2e::record(0x00, kCode.substr(0, 16)) + e2e::record(0x10, kCode.substr(16)) + e2e::kEndRecord;
// A port path that exists nowhere: only the library can open it.
const std::string kPort = "/nonexistent/quillet-port";
const std::string kQuillet = QUILLET_BINARY " --port=" + kPort;
const std::string kSyncError =
    ">>>Sync error (possibly disconnected device). Programming canceled!\n";
// Sends SIGTERM to the background quillet $q once it prompts, and exits as it did.
const std::string kSignal = "until grep -q Enter stderr; do :; done; kill -TERM $q; wait $q";
const std::string kInterrupted = ">>> Interrupted (signal 15). Programming canceled!\n" + kEoj;

// A UUCP lock file naming pid.
std::string lockOf(pid_t pid) {
    return std::string(10 - std::to_string(pid).size(), ' ') + std::to_string(pid) + "\n";
}

// Runs a command on the chip of the settings, which also serve the port.
e2e::Outcome run(const std::string& vtarget, const std::string& command) {
    return e2e::run({command, vtarget + ",port=" + kPort, {{"blink.hex", kBlink}}});
}

// The console under each of its names is refused before it is opened, by
// the device number the path stands for; a name that the kernel resolves to
// the console only once it is open (TIOCGDEV) is refused before any line
// call. A console check that cannot look refuses too.
TEST(Quillet, RefusesTheConsoleUnderEveryName) {
    const std::string console =
        "  A system console: quillet never drives one, as a break on it can trigger the kernel's "
        "magic SysRq.\n";
    const struct {
        std::string vtarget, port, before, reason;
        std::uint64_t opens;
    } rows[] = {
        {"port=/dev/console@5:1", "/dev/console", "", console, 0},
        {"port=/dev/tty0@4:0", "/dev/tty0", "", console, 0},
        // Without a controlling terminal, as CI runs.
        {"port=/dev/tty@5:0", "/dev/tty", "setsid -w ",
         "  No such device or address: /dev/tty stands for the controlling terminal, and this "
         "session has none.\n",
         0},
        {"tiocgdev=5:1", kPort, "", console, 1},
        // Descriptors enough for the backup file (its directory and itself),
        // not for the console list.
        {"fds-left=2", kPort, "",
         "  The system's consoles could not be looked up (Too many open files): quillet drives "
         "no port that may be one.\n",
         0},
    };
    for (const auto& row : rows) {
        if (e2e::kStarvesTheSanitizer && row.vtarget.rfind("fds-left", 0) == 0) continue;
        e2e::Outcome outcome = run(
            row.vtarget, row.before + QUILLET_BINARY " --port=" + row.port + " --read dump.hex");
        EXPECT_EQ(outcome.code, 2) << row.vtarget << "\n" << outcome.err;
        std::string said = kBanner + ">>>COM-port \"" + row.port +
                           "\" not allowed! Programming canceled!\n" + row.reason;
        EXPECT_EQ(outcome.err.substr(0, said.size()), said) << row.port;
        EXPECT_EQ(outcome.number("port_opens"), row.opens) << row.port;
        EXPECT_EQ(outcome.number("line_calls") + outcome.number("status_reads"), 0u);
    }
}

// The port device opens as a terminal, exclusively and locked, and the chip
// ends up holding the image.
TEST(Quillet, ProgramsBlinkThroughTheSerialDevice) {
    e2e::Outcome outcome = run("", kQuillet + " /f:82 blink.hex");
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.err, kBanner + kConnect + kLockFuse + kTiny12 + kErasing +
                               "--- 1 /\r--- 2 -\r--- 3 \\\r" + kWritten +
                               "  fuse bits 52 written\n" + kDisconnect + kEoj);
    EXPECT_EQ(outcome.field("flash").substr(0, 38), "0AC0FFCF0FEF07BB08BB00958095FDCF1895FF");
    // The reset sequence, the ATtiny12's erase steps, its erase, and each byte's settle.
    EXPECT_EQ(outcome.number("sleep_us"), (2000 + 50 + 50 + 30 + 30 + 2500 + 18 * 10) * 1000u);
    EXPECT_EQ(outcome.number("violation_count"), 0u);
}

// Every /f: value that the README, docs/, the manuals, --help, examples/try-it
// and quillet-try show is safe to copy: on every model it is written and read
// back, and the chip answers at its next power-up.
TEST(Quillet, DocumentedFuseValuesAreSafeOnEveryModel) {
    std::string text = run("", QUILLET_BINARY " --help").err;
    const e2e::fs::path root(QUILLET_SOURCE_DIR);
    for (const char* file : {"README.md", "examples/try-it", "packaging/quillet-try.in"})
        text += e2e::readFile(root / file);
    for (const char* dir : {"docs", "man"}) {
        for (const auto& entry : e2e::fs::directory_iterator(root / dir))
            text += e2e::readFile(entry.path());
    }
    std::set<std::string> values;
    for (std::size_t at = text.find("/f:"); at != std::string::npos;
         at = text.find("/f:", at + 1)) {
        std::size_t end = text.find_first_not_of("0123456789abcdefABCDEFxXhH", at + 3);
        if (std::isdigit(static_cast<unsigned char>(text[at + 3])))
            values.insert(text.substr(at + 3, end - at - 3));
    }
    EXPECT_FALSE(values.empty());
    for (const std::string& value : values) {
        for (const std::string model : {"model=10", "model=11", "model=12", "model=15"}) {
            e2e::Outcome written = run(model, kQuillet + " --yes /f:" + value + " blink.hex");
            e2e::Outcome next =
                run(model + ",fuse=" + written.field("fuse"), kQuillet + " --yes blink.hex");
            EXPECT_EQ(written.code + next.code, 0) << value << " on " << model << written.err;
        }
    }
}

// Each exit code reaches the shell; nothing is reported that was never read.
TEST(Quillet, ExitCodesReachTheShell) {
    // A pseudo-terminal is no adapter: its modem lines do not answer.
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const struct {
        std::string vtarget, command;
        int code;
        std::string tail;  // the end of standard error
    } rows[] = {
        {"", QUILLET_BINARY, 1, kUsage},
        {"no-port", QUILLET_BINARY " blink.hex", 2,
         ">>>COM-port \"COM1:\" not allowed! Programming canceled!\n  No such port: " +
             std::string(QUILLET_COM1_DEVICE) + " does not exist.\n"},
        // A device that cannot be had for exclusive use is no port.
        {"", QUILLET_BINARY " --port=/dev/null blink.hex", 2,
         ">>>COM-port \"/dev/null\" not allowed! Programming canceled!\n  Not opened: "
         "Inappropriate ioctl for device.\n"},
        {"sync=never", kQuillet + " blink.hex", 3, kSyncError + kEoj},
        // A pseudo-terminal has no modem lines: found before the chip is touched.
        {"", QUILLET_BINARY " --port=" + std::string(ptsname(master)) + " blink.hex", 2,
         kBanner + ">>> Port " + ptsname(master) +
             " cannot drive the chip: its modem status cannot be read (Inappropriate ioctl for "
             "device). Programming canceled!\n"},
        // The driver's simulated break, through the ioctls: the clear waits it out.
        {"adapter=ch340,break=pulse", kQuillet + " blink.hex", 2,
         "simulated (clearing it took 241 ms), so MOSI cannot be held. Programming canceled!\n"},
        {"", kQuillet + " missing.hex", 4, ">>> Error opening file missing.hex\n"},
        // The version alone, on standard output; -? is the help.
        {"",
         "[ \"$(" QUILLET_BINARY " --version 2>&1 | wc -l)\" = 1 ] && " QUILLET_BINARY
         " --version 2>/dev/null | grep -qx \"quillet [0-9.]*\"",
         0, ""},
        {"", QUILLET_BINARY " -? blink.hex", 0, "whatever it begins with\n"},
        // A setting the library cannot read ends the process before main: the
        // program never runs on a port the library does not stand in front of.
        {"flash-in=.", kQuillet + " blink.hex", 125, "vtarget: . is not a regular file\n"},
        // A signal ends the run: at the prompt, and in a wait (real time).
        {"", "mkfifo in; " + kQuillet + " blink.hex <in & q=$!; exec 3>in; " + kSignal, 143,
         kInterrupted},
        // A read in a wait of real time leaves no file behind.
        {"realtime",
         kQuillet + " --read dump.hex & q=$!; " + kSignal +
             "; c=$?; ls -A | grep -q tmp && c=99; exit $c",
         143, kInterrupted},
        // A pipe that is gone takes the messages, not the run.
        {"", "(" + kQuillet + " blink.hex 2>&1; echo $? >status) | true; exit $(cat status)", 0,
         ""},
        // The chip's 2513th call falls in the first byte's write, its 2505th to 2632nd.
        {"fail-after=2512", kQuillet + " blink.hex", 5,
         ">>> Port " + kPort + " stopped answering (adapter unplugged?). Programming canceled!\n" +
             kEoj}};
    for (const auto& row : rows) {
        e2e::Outcome outcome = run(row.vtarget, row.command);
        EXPECT_EQ(outcome.code, row.code) << row.command;
        std::string err = beforePorts(outcome.err);
        std::size_t size = std::min(err.size(), row.tail.size());
        EXPECT_EQ(err.substr(err.size() - size), row.tail);
        EXPECT_EQ(outcome.err.find("readed 00"), std::string::npos);
    }
    close(master);
}

// The port is the run's alone and left as found. Another program's lock file,
// or its descriptor on the pseudo-terminal (the test holds it, plainly or
// exclusively), refuses the port before any line call; a stale lock file is
// taken over. The lock file is quillet's while it runs (watch-lock prints
// "held"), and neither it nor the exclusive flag outlives the run.
TEST(Quillet, TakesThePortAloneAndLeavesItAsFound) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string pty = ptsname(master);
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    enum Holder { kNone, kOpen, kExclusive };
    // The refusal names this test's process where it finds it.
    const std::string us =
        "  In use by another program: e2e_tests (PID " + std::to_string(getpid()) + ").\n";
    const struct {
        std::string port, lock;  // the lock file there before the run
        Holder holder;
        int code;
        std::string out, why;
    } rows[] = {
        {kPort, "", kNone, 0, "held\n", ""},
        {kPort, lockOf(gone), kNone, 0, "held\n", ""},
        {kPort, lockOf(getpid()), kNone, 2, lockOf(getpid()), us},
        {kPort, "\n", kNone, 2, "\n",
         "  Lock file " QUILLET_LOCK_DIR "/LCK..quillet-port names no process (it holds no "
         "process number): if no program is using the port, remove it with rm " QUILLET_LOCK_DIR
         "/LCK..quillet-port\n"},
        {pty, "", kNone, 0, "held\n", ""},
        {pty, "", kOpen, 2, "", us},
        {pty, "", kExclusive, 2, "", us}};
    for (const auto& row : rows) {
        int holder = open(pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (row.holder == kExclusive) ioctl(holder, TIOCEXCL);
        if (row.holder == kNone) close(holder);
        std::map<std::string, std::string> files{{"blink.hex", kBlink}};
        if (!row.lock.empty()) files["lock/LCK..quillet-port"] = row.lock;
        e2e::Outcome outcome = e2e::run({"sh " WATCH_LOCK " " QUILLET_BINARY " " + row.port,
                                         "serve-ptys,port=" + kPort, files});
        EXPECT_EQ(outcome.code, row.code) << row.port << " " << row.lock;
        EXPECT_EQ(outcome.out, row.out) << row.port << " " << row.lock;
        if (row.code == 2) {
            EXPECT_EQ(beforePorts(outcome.err), kBanner + ">>>COM-port \"" + row.port +
                                                    "\" not allowed! Programming canceled!\n" +
                                                    row.why);
            EXPECT_EQ(outcome.number("line_calls"), 0u);
        }
        // Root opens an exclusive terminal too; anyone else is refused.
        if (row.holder == kNone) holder = open(pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        int exclusive = -1;
        EXPECT_EQ(ioctl(holder, TIOCGEXCL, &exclusive), 0) << row.port;
        EXPECT_EQ(exclusive, row.holder == kExclusive) << row.port;
        close(holder);
    }
    close(master);
}

// binutils reads what --read writes as the chip's bytes, erased ones too.
TEST(Quillet, ReadsAFileThatObjcopyTakes) {
    e2e::Outcome outcome =
        e2e::run({kQuillet + " --read dump.eep && objcopy -I ihex -O binary dump.eep ee.out && "
                             "cat ee.out",
                  "eeprom-in=ee.bin,port=" + kPort,
                  {{"ee.bin", "\x01\x02\x03"}}});
    EXPECT_EQ(outcome.code, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "\x01\x02\x03" + std::string(61, '\xFF'));
}

// What a run leaves, as each script prints it: a read's FILE becomes the
// backup (erased.hex, the erased flash) or stays as it was, and nothing else
// is written, whatever stands at FILE or at the name beside it that a read
// once used, one run at a time or two; and a closed standard descriptor
// takes no file or port. The runs write into d/, which the script lists
// last; $Q is quillet on the chip's port.
TEST(Quillet, LosesNothingToWhatSurroundsIt) {
    std::string erased;
    for (unsigned a = 0; a < 1024; a += 16)
        erased += e2e::record(a, std::string(16, '\xFF'));
    erased += e2e::kEndRecord;
    const std::string backup = "; echo $?; cmp erased.hex d/b.hex && ";
    const std::string notRegular = ", not a regular file. Reading canceled!\n";
    const struct {
        const char* name;
        std::string vtarget, script, out;
        std::string tail;  // the end of standard error
        bool root;         // skipped unless the tests run as root
    } rows[] = {
        {"PartIsALink", "",
         "ln -s ../other d/b.hex.part && $Q --read d/b.hex" + backup + "cat other && ls -A d",
         "0\nprecious\nb.hex\nb.hex.part\n", "", false},
        {"PartIsALinkAndTheReadFails", "sync=never",
         "ln -s ../other d/b.hex.part && $Q --read d/b.hex; echo $?; cat other && ls -A d",
         "3\nprecious\nb.hex.part\n", "", false},
        {"PartIsAHardLink", "",
         "ln other d/b.hex.part && $Q --read d/b.hex" + backup + "cat other && ls -A d",
         "0\nprecious\nb.hex\nb.hex.part\n", "", false},
        {"PartIsAFifo", "",
         "mkfifo d/b.hex.part && timeout 20 $Q --read d/b.hex" + backup + "ls -A d",
         "0\nb.hex\nb.hex.part\n", "", false},
        {"PrivateFileStaysPrivate", "",
         "echo old >d/b.hex && chmod 600 d/b.hex && $Q --read d/b.hex" + backup +
             "stat -c %a d/b.hex",
         "0\n600\n", "", false},
        {"NewFileTakesTheUmask", "",
         "umask 027 && $Q --read d/b.hex" + backup + "stat -c %a d/b.hex", "0\n640\n", "", false},
        {"FifoRefused", "",
         "mkfifo d/b.hex && timeout 20 $Q --read d/b.hex; echo $?; test -p d/b.hex && ls -A d",
         "4\nb.hex\n", ">>> Error in file d/b.hex: a FIFO" + notRegular, false},
        {"DeviceRefused", "",
         "mknod d/null c 1 3 && $Q --read d/null; echo $?; test -c d/null && ls -A d", "4\nnull\n",
         ">>> Error in file d/null: a device" + notRegular, true},
        // As /dev/stdout is.
        {"LinkToAPipeRefused", "",
         "ln -s /proc/self/fd/1 d/out && $Q --read d/out | cat; test -L d/out && ls -A d", "out\n",
         ">>> Error in file d/out: a FIFO" + notRegular, false},
        {"LinkToAFileFollowed", "",
         "ln -s /proc/self/fd/1 d/out && $Q --read d/out >d/b.hex" + backup +
             "test -L d/out && ls -A d",
         "0\nb.hex\nout\n", "", false},
        // The second run fails at the port while the first waits at its prompt.
        {"TwoRunsAtOnce", "",
         "mkfifo go; { $Q --read d/b.hex <go 2>a.err; echo $? >a.code; } & exec 3>go; "
         "until grep -qs Connect a.err || [ -e a.code ]; do :; done; "
         "$Q --port=/nonexistent/none --read d/b.hex 2>/dev/null; echo $?; "
         "echo >&3; echo >&3; exec 3>&-; wait; cat a.code; cmp erased.hex d/b.hex && ls -A d",
         "2\n0\nb.hex\n", "", false},
        {"StandardErrorClosedRead", "", "$Q --read d/b.hex 2>&-" + backup + "ls -A d", "0\nb.hex\n",
         "", false},
        // Descriptor 2 as the run waits at its prompt, with the port open.
        {"StandardErrorClosedPort", "",
         "mkfifo go; $Q blink.hex <go 2>&- & pid=$!; exec 3>go; i=0; "
         "until ls -l /proc/$pid/fd | grep -q pts || [ $i = 9999 ]; do i=$((i+1)); done; "
         "readlink /proc/$pid/fd/2; echo >&3; echo >&3; exec 3>&-; wait $pid; echo $?",
         "/dev/null\n0\n", "", false},
        {"StandardInputClosed", "", "timeout 20 $Q blink.hex <&-; echo $?", "0\n",
         kWritten + kDisconnect + kEoj, false},
        {"YesWithStandardInputClosed", "", "timeout 20 $Q --yes blink.hex <&-; echo $?", "0\n",
         kWritten + kDisconnect + "\n" + kEoj, false},
        {"ReadToStandardOutput", "", "$Q --read - | cmp erased.hex - && echo backup", "backup\n",
         "  Flash read: 1024 bytes written to standard output.\n" + kDisconnect + kEoj, false},
    };
    for (const auto& row : rows) {
        if (row.root && geteuid() != 0) {
            std::printf("%s skipped: it needs root\n", row.name);
            continue;
        }
        e2e::Outcome outcome =
            e2e::run({"Q=\"" + kQuillet + "\"; mkdir d; " + row.script,
                      row.vtarget + ",port=" + kPort,
                      {{"blink.hex", kBlink}, {"erased.hex", erased}, {"other", "precious\n"}}});
        EXPECT_EQ(outcome.out, row.out) << row.name;
        std::size_t size = std::min(outcome.err.size(), row.tail.size());
        EXPECT_EQ(outcome.err.substr(outcome.err.size() - size), row.tail) << row.name;
    }
}

// A fake sysfs under fake/sys, laid out as Linux lays it out: four USB
// adapters, two of them CP2102s told apart by their serial numbers; a UART
// under the serial-base bus (Linux 6.5 on) and one of the older layout,
// which is the console, listed as counted (ttyS9 before ttyS10); an 8250 placeholder (type 0) and a
// virtual terminal, which are not ports. Its devices are fake/dev/NAME, which exist nowhere.
const std::string kFakeSys = R"(S=fake/sys
f() { mkdir -p "${1%/*}"; echo "$2" >"$1"; }
l() { mkdir -p "${1%/*}"; ln -s "$2" "$1"; }
tty() { f $S/class/tty/$1/dev $2; l $S/class/tty/$1/device ../../../devices/$3; }
usb() { U=$S/devices/usb1/$3; f $U/idVendor $4; f $U/idProduct $5; f $U/product "$7"
  [ -z "$8" ] || f $U/serial $8; l $U/$3:1.0/$1/driver ../../bus/usb-serial/drivers/$6
  tty $1 188:$2 usb1/$3/$3:1.0/$1; }
f $S/devices/usb1/idVendor 1d6b
usb ttyUSB0 250 1-1 1a86 7523 ch341-uart "USB Serial"
usb ttyUSB1 251 1-2 0403 6001 ftdi_sio "FT232R USB UART" A10K1234
usb ttyUSB2 252 1-3 10c4 ea60 cp210x "CP2102 USB to UART Bridge Controller" 0001
usb ttyUSB3 253 1-4 10c4 ea60 cp210x "CP2102 USB to UART Bridge Controller" 0002
P=$S/devices/pnp0/00:04; l $P/driver ../../bus/pnp/drivers/serial
l $P/00:04:0/subsystem ../../bus/serial-base; l $P/00:04:0/driver ../drivers/ctrl
l $P/00:04:0/00:04:0.0/subsystem ../../bus/serial-base; l $P/00:04:0/00:04:0.0/driver ../port
tty ttyS9 4:73 pnp0/00:04/00:04:0/00:04:0.0; f $S/class/tty/ttyS9/type 4
l $S/devices/platform/serial8250/driver ../../bus/platform/drivers/serial8250
tty ttyS10 4:74 platform/serial8250; f $S/class/tty/ttyS10/type 4
tty ttyS2 4:72 platform/serial8250; f $S/class/tty/ttyS2/type 0
mkdir $S/class/tty/tty0; f $S/class/tty/console/active "tty0 ttyS10"
)";

// text without the lines of FTDI chips for bit-bang, which are the machine's own.
std::string withoutFtdi(const std::string& text) {
    std::istringstream lines(text);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("ftdi") != line.find_first_not_of(' ')) kept += line + "\n";
    }
    return kept;
}

// --list-ports names each port of the fake tree with what identifies it
// (the lock file of this test's process holds ttyUSB1), without opening any;
// usb:VID:PID[:SERIAL] opens the one adapter's port (the only one served);
// none or more than one is refused, and so is one that this user may not
// open (as nobody, where the test runs as root), each with the list.
TEST(Quillet, FindsTheAdapterByItsIds) {
    // The ports as listed, each line after indent; ch340: the CH340's state.
    auto listed = [](const std::string& indent, const std::string& ch340) {
        const std::string cp2102 = " CP210x (cp210x) 10c4:ea60  serial 000";
        const std::string bridge = "  \"CP2102 USB to UART Bridge Controller\"\n";
        return indent + "fake/dev/ttyS9  UART (serial)\n" + indent +
               "fake/dev/ttyS10  UART (serial8250)  system console, refused\n" + indent +
               "fake/dev/ttyUSB0  CH340 (ch341-uart) 1a86:7523  no serial number  \"USB "
               "Serial\"" +
               ch340 + "\n" + indent +
               "fake/dev/ttyUSB1  FT232R (ftdi_sio) 0403:6001  serial A10K1234  \"FT232R USB "
               "UART\"  in use\n" +
               indent + "fake/dev/ttyUSB2 " + cp2102 + "1" + bridge + indent + "fake/dev/ttyUSB3 " +
               cp2102 + "2" + bridge;
    };
    const std::string found = "  Ports found:\n" + listed("    ", "");
    auto refused = [](const std::string& name) {
        return kBanner + ">>>COM-port \"" + name + "\" not allowed! Programming canceled!\n";
    };
    const std::string nobody =
        "mkdir fake/dev; : >fake/dev/ttyUSB0; chgrp dialout "
        "fake/dev/ttyUSB0; chmod 660 fake/dev/ttyUSB0; " +
        e2e::guest().as + e2e::guest().binary;
    const struct {
        std::string served, before, args;
        int code;
        std::string out, err;  // err: the whole of it, or where the run ends well its end
    } rows[] = {
        {"", "", "--list-ports", 0, listed("", ""), kBanner},
        {"fake/dev/ttyUSB0", "", "--port=usb:1a86:7523 blink.hex", 0, "", kEoj},
        {"fake/dev/ttyUSB3", "", "--port=usb:10c4:ea60:0002 blink.hex", 0, "", kEoj},
        {"", "", "--port=usb:10c4:ea60 blink.hex", 2, "",
         refused("usb:10c4:ea60") +
             "  2 USB serial adapters 10c4:ea60 found: name one by its serial number "
             "(usb:VID:PID:SERIAL) or by its device.\n" +
             found},
        {"", "", "--port=usb:1a86:7524 blink.hex", 2, "",
         refused("usb:1a86:7524") + "  No USB serial adapter 1a86:7524 found.\n" + found},
        {"", nobody, "--port=usb:1a86:7523 blink.hex", 2, "",
         refused("usb:1a86:7523") +
             "  Permission denied: fake/dev/ttyUSB0 belongs to group dialout, which this session "
             "is not in.\n  Add yourself to it with: sudo usermod -aG dialout $USER\n  then log "
             "out and in again (a new group takes effect at login).\n  Ports found:\n" +
             listed("    ", "  no permission (group dialout)")},
    };
    // Built once, and copied into each run's directory.
    char tree[] = "/tmp/quillet-sys-XXXXXX";
    ASSERT_NE(mkdtemp(tree), nullptr);
    ASSERT_EQ(std::system(("cd " + std::string(tree) + " && " + kFakeSys).c_str()), 0);
    for (const auto& row : rows) {
        bool asGuest = !row.before.empty();
        if (asGuest && !e2e::guestCan(row.args, "getent group dialout >/dev/null")) continue;
        std::map<std::string, std::string> files{{"blink.hex", kBlink},
                                                 {"lock/LCK..ttyUSB1", lockOf(getpid())}};
        e2e::Outcome outcome =
            e2e::run({"cp -R " + std::string(tree) + "/fake . && " +
                          (asGuest ? row.before : QUILLET_BINARY) + " --sysroot=fake " + row.args,
                      row.served.empty() ? "" : "port=" + row.served, files, asGuest});
        EXPECT_EQ(outcome.code, row.code) << row.args;
        EXPECT_EQ(withoutFtdi(outcome.out), row.out) << row.args;
        std::string err = withoutFtdi(outcome.err);
        EXPECT_EQ(
            row.code == 0 ? err.substr(err.size() - std::min(err.size(), row.err.size())) : err,
            row.err)
            << row.args;
    }
    e2e::fs::remove_all(tree);
}

}  // namespace

// Lock files of other runs and programs. A stale lock that two runs find at
// once: the second (started 0.6 s later, each rename and unlink of a lock
// file delayed by 1.2 s) moves the first's fresh lock aside, finds it is not
// the stale one, puts it back and is refused; the first runs. A lock file
// that names no process is refused, read twice 100 ms apart, with a line
// that says how to remove it; a PID padded past 31 columns is read whole.
TEST(Quillet, LockFilesThatOthersLeave) {
    const pid_t gone = INT_MAX;  // past any pid_max
    const std::string pad(40, ' ');
    const std::string file = std::string(QUILLET_LOCK_DIR) + "/LCK..quillet-port";
    auto noProcess = [&](const std::string& why) {
        return "  Lock file " + file + " names no process (" + why +
               "): if no program is using the port, remove it with rm " + file + "\n";
    };
    const struct {
        std::string lock, vtarget, script, out, why;  // why: standard error, from its 3rd line
        std::uint64_t sleptUs;
    } rows[] = {
        {"", "", "$Q blink.hex; echo $?", "2\n", noProcess("it is empty"), 100000},
        {"garbage\n", "", "$Q blink.hex; echo $?", "2\n", noProcess("it holds no process number"),
         100000},
        {pad + std::to_string(getpid()) + "\n", "", "$Q blink.hex; echo $?", "2\n",
         "  In use by another program: e2e_tests (PID " + std::to_string(getpid()) + ").\n", 0},
        {pad + std::to_string(gone) + "\n", "", "$Q --yes blink.hex >/dev/null; echo $?", "0\n", "",
         0},
        {lockOf(gone), "lock-delay-ms=1200",
         "mkfifo in; $Q blink.hex <in 2>a.err & a=$!; exec 3>in; env -u LD_PRELOAD sleep 0.6; "
         "$Q blink.hex </dev/null 2>b.err; echo $?; echo >&3; echo >&3; exec 3>&-; wait $a; "
         "echo $?; grep -c \"In use by another program: quillet (PID $a)\" b.err; ls -A lock",
         "2\n0\n1\n", "", 0},
    };
    for (const auto& row : rows) {
        e2e::Outcome outcome =
            e2e::run({"Q=\"" + kQuillet + "\"; " + row.script,
                      row.vtarget + ",port=" + kPort,
                      {{"blink.hex", kBlink}, {"lock/LCK..quillet-port", row.lock}}});
        EXPECT_EQ(outcome.out, row.out) << row.script;
        std::size_t third = outcome.err.find('\n', kBanner.size()) + 1;
        if (!row.why.empty()) {
            EXPECT_EQ(beforePorts(outcome.err.substr(third)), row.why);
        }
        if (row.sleptUs != 0) {
            EXPECT_EQ(outcome.number("sleep_us"), row.sleptUs);
        }
    }
}

// What each signal does to a read waiting at its prompt: most end it with
// 128 + N after letting the chip go; SIGQUIT ends the process at once, the
// chip let go from the handler. Either way no lock file or temporary file
// is left. SIGXFSZ only fails the write that went past the limit. A signal
// ends a write into a full pipe, and --list-ports, with 128 + N.
TEST(Quillet, SignalsEndRunsCleanly) {
    const std::string atPrompt =
        "mkfifo in; env --default-signal $Q --read d.hex <in & q=$!; exec 3>in; "
        "until grep -q Enter stderr; do :; done; kill -";
    const std::string after = "; echo $?; ls -A lock; ls -A | grep -c tmp";
    const std::string interrupted = ">>> Interrupted (signal ";
    const std::string ended =
        "; until ! kill -0 $q 2>/dev/null || [ $i = 200 ]; do i=$((i+1)); "
        "env -u LD_PRELOAD sleep 0.05; done; kill -KILL $q 2>/dev/null; wait $q";
    struct Row {
        std::string script, out, tail, vtarget = "trace-out=trace";
    };
    std::vector<Row> rows;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGPWR, SIGXCPU}) {
        const std::string n = std::to_string(sig);
        rows.push_back({atPrompt + n + " $q; wait $q" + after, std::to_string(128 + sig) + "\n0\n",
                        interrupted + n + "). Programming canceled!\n" + kEoj});
    }
    rows.push_back(
        {"ulimit -c 0; " + atPrompt + "QUIT $q; wait $q 2>/dev/null" + after + "; tail -n 3 trace",
         "131\n0\nRESET 1\nSCK 0\nMOSI 0\n", kConnect});
    rows.push_back({"ulimit -f 4; $Q --yes --read d.hex" + after, "4\n0\n",
                    ">>> Error writing file d.hex: File too large. Reading canceled!\n" +
                        kDisconnect + "\n" + kEoj});
    rows.push_back(
        {"mkfifo p; exec 4<>p; head -c 65536 /dev/zero >&4; $Q --yes --read - >p & "
         "q=$!; until grep -q readed stderr && [ $(cut -d\" \" -f3 /proc/$q/stat) = S ]; "
         "do :; done; kill -TERM $q; i=0" +
             ended + after,
         "143\n0\n", interrupted + "15). Programming canceled!\n" + kEoj});
    rows.push_back(
        {"sh fake.sh; for n in USB0 USB1 USB2 USB3 S9 S10; do echo x >lock/LCK..tty$n; "
         "done; $Q --sysroot=fake --list-ports & q=$!; until ls -l /proc/$q/fd "
         "2>/dev/null | grep -q class/tty || ! kill -0 $q 2>/dev/null; do :; done; "
         "kill -TERM $q; wait $q; echo $?",
         "143\n", kBanner, "realtime"});
    for (const auto& row : rows) {
        e2e::Outcome outcome = e2e::run({"Q=\"" + kQuillet + "\"; " + row.script,
                                         row.vtarget + ",port=" + kPort,
                                         {{"fake.sh", kFakeSys}}});
        EXPECT_EQ(outcome.out, row.out) << row.script;
        std::size_t size = std::min(outcome.err.size(), row.tail.size());
        EXPECT_EQ(outcome.err.substr(outcome.err.size() - size), row.tail) << row.script;
    }
}

// The fake tree with 1100 more ports: the list holds 1024 ports and says how
// many it left out; usb:VID:PID finds its adapter among them all. Control
// characters (C0, and C1 in UTF-8) and bytes that are not UTF-8, in a USB
// string, a file name or a port name, are escaped; UTF-8 is not. A lock file that names no
// process is listed so.
TEST(Quillet, ListsEveryPortAndEscapesNames) {
    char tree[] = "/tmp/quillet-sys-XXXXXX";
    ASSERT_NE(mkdtemp(tree), nullptr);
    ASSERT_EQ(std::system(("cd " + std::string(tree) + " && " + kFakeSys).c_str()), 0);
    const e2e::fs::path ttys = e2e::fs::path(tree) / "fake/sys/class/tty";
    for (int n = 100; n < 1200; ++n) {
        e2e::fs::path tty = ttys / ("ttyS" + std::to_string(n));
        e2e::fs::create_directory(tty);
        e2e::fs::create_directory_symlink("../../../devices/platform/serial8250", tty / "device");
    }
    const std::string ch340 = "fake/dev/ttyUSB0  CH340 (ch341-uart) 1a86:7523  ";
    // The large tree, linked; the small one, made anew where a row changes it.
    const std::string large = "ln -s " + std::string(tree) + "/fake fake; ";
    const std::string small = "env -u LD_PRELOAD sh fake.sh; ";
    const struct {
        std::string script, out, tail;  // tail: the end of standard error up to any ports listed
    } rows[] = {
        {large + "$Q --list-ports | wc -l", "1024\n",
         kBanner + "  82 more ports left out: the list holds at most 1024.\n"},
        {large + "$Q --port=usb:1a86:7523 --yes blink.hex >/dev/null; echo $?", "0\n", kEoj},
        {small + "echo x >lock/LCK..ttyUSB0; $Q --list-ports | grep ttyUSB0",
         ch340 + "no serial number  \"USB Serial\"  lock file names no process, refused\n",
         kBanner},
        {small +
             "U=fake/sys/devices/usb1/1-1; printf \"\\303\\211vil\\033[2J\\302\\233\" >$U/product; "
             "printf \"S\\007\\377N\" >$U/serial; $Q --list-ports | grep ttyUSB0",
         ch340 + "serial S\\x07\\xffN  \"\xC3\x89vil\\x1b[2J\\xc2\\x9b\"\n", kBanner},
        {"$Q \"$(printf \"a\\033b.hex\")\"; echo $?", "4\n",
         ">>> Error opening file a\\x1bb.hex\n"},
        {"$Q --port=\"$(printf \"/x\\033y\")\" blink.hex; echo $?", "2\n",
         ">>>COM-port \"/x\\x1by\" not allowed! Programming canceled!\n  No such port: /x\\x1by "
         "does not exist.\n"},
    };
    for (const auto& row : rows) {
        e2e::Outcome outcome = e2e::run({"Q=\"" QUILLET_BINARY " --sysroot=fake\"; " + row.script,
                                         "port=fake/dev/ttyUSB0",
                                         {{"blink.hex", kBlink}, {"fake.sh", kFakeSys}}});
        EXPECT_EQ(withoutFtdi(outcome.out), row.out) << row.script;
        std::string err = withoutFtdi(beforePorts(outcome.err));
        std::size_t size = std::min(err.size(), row.tail.size());
        EXPECT_EQ(err.substr(err.size() - size), row.tail) << row.script;
    }
    e2e::fs::remove_all(tree);
}
