// What the operator sees of a run on a default virtual ATtiny12, line by line.
#pragma once

#include <string>

namespace messages {

const std::string kBanner = "=== Quillet serial downloader V.R.=1.00\n";
const std::string kUsage =
    "using: Quillet [/f:<fuse bits (default=F3h, see ATTiny datasheet)>] [/l:<lock bits "
    "(default=06h)>] <Hex-file or EEP-file>\n";
const std::string kConnect = ">>> Connect programmator and press Enter...";
const std::string kDisconnect = ">>> Disconnect programmator and press Enter...";
const std::string kEoj = "=== EOJ :-)\n";
const std::string kLockFuse = "  Lock bits readed = 06h, fuse bits readed = 12h\n";
const std::string kTiny12 = "  ATTiny12 detected! Calibration byte readed = 5Ah\n";
const std::string kErasing = "  Erasing chip, please wait...\n";
const std::string kWritten = "  Flash or EEPROM successfully written and checked.\n";

// Standard error up to the ports that a refused open lists: the machine's own.
inline std::string beforePorts(const std::string& err) {
    for (const char* list : {"  Ports found:\n", "  No serial port or FTDI chip found.\n"}) {
        if (err.find(list) != std::string::npos) return err.substr(0, err.find(list));
    }
    return err;
}

// The progress lines of records 1 to n.
inline std::string progress(int n) {
    std::string lines;
    for (int i = 1; i <= n; ++i)
        lines += "--- " + std::to_string(i) + " " + "|/-\\"[i % 4] + "\r";
    return lines;
}

}  // namespace messages
