// The programming run from the command line to the exit code.
#pragma once

#include <cstdio>

namespace run {

enum ExitCode : int {
    kSuccess = 0,        // image written and every byte verified
    kUsage = 1,          // no arguments or no image path
    kNoPort = 2,         // the serial port cannot be opened
    kNoSync = 3,         // the target did not synchronise
    kBadImage = 4,       // the image cannot be opened or read
    kNotProgrammed = 5,  // synchronised, but the image was not all written and verified
    kPortLost = 6,       // within the run only: the port stopped answering (ends as 5)
};

// Runs the program on the arguments as main() receives them; the operator's
// Enter presses are read from input. Returns the exit code.
int entry(int argc, const char* const* argv, std::FILE* input);

}  // namespace run
