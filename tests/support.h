// Shared test helpers: a virtual chip behind the port, temporary files,
// captured console output.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/records.h"
#include "vtarget/chip.h"
#include "vtarget/inprocess.h"

namespace testsupport {

// A virtual chip attached to the platform calls for the lifetime of the object.
struct AttachedChip {
    vtarget::Chip chip;
    explicit AttachedChip(const vtarget::Config& config = vtarget::Config()) : chip(config) {
        vtarget::attach(&chip);
    }
    ~AttachedChip() { vtarget::attach(nullptr); }
    AttachedChip(const AttachedChip&) = delete;
    AttachedChip& operator=(const AttachedChip&) = delete;
};

inline vtarget::Config tracing(vtarget::Config config = vtarget::Config()) {
    config.trace = true;
    return config;
}

// Writes content to a fresh file in the test's temporary directory; returns its path.
inline std::string writeFile(const std::string& name, const std::string& content) {
    std::string path = ::testing::TempDir() + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return path;
}

// A stream that delivers text, as standard input would.
inline std::FILE* inputOf(const std::string& text) {
    std::FILE* file = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), file);
    std::rewind(file);
    return file;
}

using records::record;

// Puts the chip into programming mode the way the run does, without printing.
void enterProgrammingMode();

}  // namespace testsupport
