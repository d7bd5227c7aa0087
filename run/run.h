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
    // 128 + N: signal N (SIGINT, SIGTERM, SIGHUP; Ctrl-C or Ctrl-Break) ended the run
};

// Makes SIGINT, SIGTERM and SIGHUP (Ctrl-C and Ctrl-Break on Windows) end
// the run at its next step, the chip let go, and a second one end the
// process at once; a pipe that is gone no longer ends it.
void catchSignals();

// Runs the program on the arguments as main() receives them; the operator's
// Enter presses are read from input. outputClosed: standard output was
// closed at start, so that a read into it would go nowhere. Returns the exit
// code.
int entry(int argc, const char* const* argv, std::FILE* input, bool outputClosed = false);

}  // namespace run
