// Shared test helpers: a virtual chip behind the port, a private directory
// for the files a test writes, and whole runs of the program in process.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "link/port.h"
#include "run/run.h"
#include "tests/records.h"
#include "vtarget/chip.h"
#include "vtarget/inprocess.h"
#include "vtarget/preload_config.h"

namespace testsupport {

struct Outcome {
    int code;
    std::string err;
    std::string rest;  // the input the prompts left unread
};

namespace fs = std::filesystem;

// A directory no other test process uses, removed at exit. Relative names
// stand for the same file in arguments and messages: it is the working directory.
struct PrivateDirectory {
    fs::path path;
    PrivateDirectory() {
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        do
            path = fs::temp_directory_path() / ("quillet-test-" + std::to_string(stamp++));
        while (!fs::create_directory(path));
        fs::current_path(path);
    }
    ~PrivateDirectory() {
        std::error_code ignored;
        fs::current_path(fs::temp_directory_path(), ignored);
        fs::remove_all(path, ignored);
    }
};

// Writes content to name in this test process's own directory, which is
// its working directory and is removed when the process ends; returns its path.
inline std::string writeFile(const std::string& name, const std::string& content) {
    static const PrivateDirectory directory;
    std::string path = (directory.path / name).string();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
}

// The chip and adapter that the preload library's settings describe, traced.
inline vtarget::PreloadOptions chipOf(const std::string& vtarget) {
    vtarget::PreloadOptions options;
    EXPECT_EQ(vtarget::parsePreloadOptions(vtarget.c_str(), options), "") << vtarget;
    options.chip.keepWords = true;
    options.adapter.trace = true;
    return options;
}

// The words of text, as a shell without quotes would split them.
inline std::vector<std::string> wordsOf(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// Runs the program on args (argv[1]..., separated by blanks) with input as
// standard input.
inline Outcome runProgram(const std::string& text, const std::string& input = "\n\n") {
    std::vector<std::string> words = wordsOf("quillet " + text);
    std::vector<const char*> args;
    for (const std::string& word : words)
        args.push_back(word.c_str());
    std::FILE* in = std::fopen(writeFile("stdin", input).c_str(), "rb");
    testing::internal::CaptureStderr();
    int code = run::entry(static_cast<int>(args.size()), args.data(), in);
    std::string err = testing::internal::GetCapturedStderr();
    std::string rest;
    for (int c = std::fgetc(in); c != EOF; c = std::fgetc(in))
        rest += static_cast<char>(c);
    std::fclose(in);
    return {code, err, rest};
}

// Puts the chip into programming mode the way the run does, without printing.
inline void enterProgrammingMode() {
    port::open("COM1:", false);
    waveform::Waveform wave = port::begin();
    waveform::drive(wave, wiring::Pin::Mosi, true);
    waveform::drive(wave, wiring::Pin::Sck, false);
    waveform::drive(wave, wiring::Pin::Reset, true);
    waveform::drive(wave, wiring::Pin::Reset, false);
    waveform::wait(wave, 25000);
    port::exchange(wave);
}

// A virtual chip behind its adapter, attached to the platform calls for the
// lifetime of the object; with no-port in its settings there is no port to open.
struct AttachedChip {
    vtarget::Chip chip;
    vtarget::Adapter adapter;  // what the program did: calls, sleeps, the trace
    explicit AttachedChip(const vtarget::PreloadOptions& options = chipOf(""))
        : chip(options.chip), adapter(chip, options.adapter) {
        vtarget::attach(options.noPort ? nullptr : &adapter);
    }
    ~AttachedChip() { vtarget::attach(nullptr); }
    AttachedChip(const AttachedChip&) = delete;
    AttachedChip& operator=(const AttachedChip&) = delete;
};

using records::kEndRecord;
using records::record;

}  // namespace testsupport
