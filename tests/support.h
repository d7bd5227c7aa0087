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

// The chip and adapter that the preload library's settings describe, traced.
vtarget::PreloadOptions chipOf(const std::string& vtarget);

// A virtual chip attached to the platform calls for the lifetime of the
// object; with no-port in its settings there is no port to open.
struct AttachedChip {
    vtarget::Chip chip;
    explicit AttachedChip(vtarget::Config config, const vtarget::AdapterConfig& adapter = {},
                          bool port = true)
        : chip((config.trace = true, config)) {
        vtarget::attach(port ? &chip : nullptr, adapter);
    }
    explicit AttachedChip(const vtarget::PreloadOptions& options = chipOf(""))
        : AttachedChip(options.chip, options.adapter, !options.noPort) {}
    ~AttachedChip() { vtarget::attach(nullptr); }
    AttachedChip(const AttachedChip&) = delete;
    AttachedChip& operator=(const AttachedChip&) = delete;
};

// Writes content to name in this test process's own directory, which is
// its working directory and is removed when the process ends; returns its path.
std::string writeFile(const std::string& name, const std::string& content);

struct Outcome {
    int code;
    std::string err;
    std::string rest;  // the input the prompts left unread
};

// The words of text, as a shell without quotes would split them.
std::vector<std::string> wordsOf(const std::string& text);

// Runs the program on args (argv[1]..., separated by blanks) with input as
// standard input.
Outcome runProgram(const std::string& args, const std::string& input = "\n\n");

// Puts the chip into programming mode the way the run does, without printing.
void enterProgrammingMode();

using records::kEndRecord;
using records::record;

}  // namespace testsupport
