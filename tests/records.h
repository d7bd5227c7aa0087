// Intel HEX records with their checksums, for writing test images.
#pragma once

#include <cstdio>
#include <string>

namespace records {

// One record of the given type as a line.
inline std::string record(unsigned address, unsigned type, const std::string& bytes) {
    unsigned sum = static_cast<unsigned>(bytes.size()) + (address >> 8) + address + type;
    char text[16];
    std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(bytes.size()),
                  address & 0xFFFFu, type & 0xFFu);
    std::string line = text;
    for (unsigned char byte : bytes) {
        std::snprintf(text, sizeof text, "%02X", byte);
        line += text;
        sum += byte;
    }
    std::snprintf(text, sizeof text, "%02X\n", (0x100u - (sum & 0xFFu)) & 0xFFu);
    return line + text;
}

// One data record as a line.
inline std::string record(unsigned address, const std::string& bytes) {
    return record(address, 0, bytes);
}

const std::string kEndRecord = ":00000001FF\n";

}  // namespace records
