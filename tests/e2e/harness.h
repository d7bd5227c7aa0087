// Runs a built program as a child process under the preload library, in a
// fresh directory, and collects what it left: exit code, standard error, and
// the chip's final state and trace.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/records.h"

namespace e2e {

struct Child {
    std::string command;                       // for sh -c, without single quotes
    std::string vtarget;                       // VTARGET, before state-out and trace-out
    std::map<std::string, std::string> files;  // written into the directory first
};

struct Outcome {
    int code = -1;  // exit code; -1 when it did not exit normally
    std::string out;
    std::string err;
    std::string state;  // the state file's text; empty when none was written
    std::vector<std::string> trace;
    double seconds = 0;  // wall time of the run

    // A number or string member of the state file; "(missing)" when there is none.
    std::string field(const std::string& key) const;
    std::uint64_t number(const std::string& key) const { return std::stoull(field(key)); }
};

// Runs child with "\n\n" as standard input in a new directory (its working
// directory), with state-out and trace-out added to VTARGET. Fails the
// current test, and runs nothing, unless the library is seen to load.
Outcome run(const Child& child);

using records::kEndRecord;
using records::record;

}  // namespace e2e
