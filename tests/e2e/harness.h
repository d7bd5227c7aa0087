// Runs a built program as a child process under the preload library, in a
// fresh directory, and collects what it left: exit code, output, the chip's
// final state and trace.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/records.h"

namespace e2e {

// A parsed JSON value: enough for the state file.
struct Json {
    std::string text;                    // a string's contents or a number's digits
    std::map<std::string, Json> fields;  // an object's members
    std::vector<Json> items;             // an array's elements
};

// Parses text; returns false when it is not one JSON value.
bool parseJson(const std::string& text, Json& value);

struct Child {
    std::string program;            // a path, or "quillet" / "port_probe" for the built ones
    std::vector<std::string> args;  // argv[1...]
    std::string vtarget;            // VTARGET, before state-out and trace-out are added
    std::string input;              // standard input
    std::map<std::string, std::string> files;  // written into the directory first
};

struct Outcome {
    int code = -1;  // exit code; -1 when it did not exit normally
    std::string out;
    std::string err;
    bool stateWritten = false;
    Json state;
    std::vector<std::string> trace;
    double seconds = 0;  // wall time of the run

    std::uint64_t number(const std::string& key) const;
    const std::string& text(const std::string& key) const;
};

// Runs child in a new directory (its working directory, so relative paths in
// arguments and settings stay the same text everywhere), with state-out and
// trace-out added to VTARGET. Fails the current test, and runs nothing, unless
// the preload library has been seen to serve the COM1 device.
Outcome run(const Child& child);

using records::kEndRecord;
using records::record;

// The chip's 1-KB flash as the state file shows it, with `bytes` from address 0.
std::string flashHex(const std::string& bytes);

}  // namespace e2e
