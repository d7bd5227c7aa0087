#include <cerrno>
#include <cstdio>
#include <cstring>

#include "run/run.h"
#include "run/streams.h"

int main(int argc, char** argv) {
    bool outputClosed = false;
    if (!run::openClosedStandardStreams(outputClosed)) {
        std::fprintf(stderr,
                     ">>> Error opening the null device for a closed standard stream: %s. "
                     "Canceled!\n",
                     std::strerror(errno));
        return run::kNoPort;
    }
    // Prompts end without a newline and progress lines with a carriage
    // return: each must be on the console as soon as it is printed.
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    run::catchSignals();
    return run::entry(argc, argv, stdin, outputClosed);
}
