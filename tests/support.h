// Shared test helpers: a virtual chip behind the port, a private directory
// for the files a test writes, and whole runs of the program in process.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/records.h"
#include "vtarget/chip.h"
#include "vtarget/inprocess.h"
#include "vtarget/preload_config.h"

namespace testsupport {

// A virtual chip attached to the platform calls for the lifetime of the object.
struct AttachedChip {
    vtarget::Chip chip;
    explicit AttachedChip(const vtarget::Config& config = vtarget::Config(),
                          const vtarget::AdapterConfig& adapter = vtarget::AdapterConfig())
        : chip(config) {
        vtarget::attach(&chip, adapter);
    }
    ~AttachedChip() { vtarget::attach(nullptr); }
    AttachedChip(const AttachedChip&) = delete;
    AttachedChip& operator=(const AttachedChip&) = delete;
};

// The chip and adapter that VTARGET text describes, traced.
vtarget::PreloadOptions chipOf(const std::string& vtarget);

inline vtarget::Config tracing(vtarget::Config config = vtarget::Config()) {
    config.trace = true;
    return config;
}

// Writes content to name in this test process's own directory, which is
// its working directory and is removed when the process ends; returns its path.
std::string writeFile(const std::string& name, const std::string& content);

struct Outcome {
    int code;
    std::string err;
    std::string rest;  // the input the prompts left unread
};

// Runs the program on args (argv[1]...) with input as standard input.
Outcome runProgram(std::vector<const char*> args, const std::string& input = "\n\n");

// Puts the chip into programming mode the way the run does, without printing.
void enterProgrammingMode();

using records::kEndRecord;
using records::record;

}  // namespace testsupport
