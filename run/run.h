// The run from the command line to the exit code: programming, reading or
// verifying the chip.
#pragma once

#include <cstdio>

namespace run {

enum ExitCode : int {
    kSuccess = 0,        // image written and verified, chip read into the file, or all matched
    kUsage = 1,          // no arguments or no image path, or options or a fuse value refused
    kNoPort = 2,         // the serial port cannot be opened
    kNoSync = 3,         // the target did not synchronise
    kBadImage = 4,       // the image cannot be read, or a read's file cannot be written
    kNotProgrammed = 5,  // synchronised, but not all written, read or matched, or the port lost
    // 128 + N: signal N ended the run (the table in signals_posix.cpp; Ctrl-C
    // or Ctrl-Break on Windows), or the port list
};

// Sets up what each signal does to a run (signals_posix.cpp has the table):
// most end it at its next step, the chip let go, with exit code 128 + N; a
// second one, or SIGQUIT, ends the process at once after removing what it
// leaves; SIGPIPE and SIGXFSZ make a write fail instead. On Windows, Ctrl-C
// and Ctrl-Break end the run, and a second one the process.
void catchSignals();

// Runs the program on the arguments as main() receives them; the operator's
// Enter presses are read from input. outputClosed: standard output was
// closed at start, so that a read into it would go nowhere. Returns the exit
// code.
int entry(int argc, const char* const* argv, std::FILE* input, bool outputClosed = false);

}  // namespace run
