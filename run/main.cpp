#include <cstdio>

#include "run/run.h"

int main(int argc, char** argv) {
    // Prompts end without a newline and progress lines with a carriage
    // return: each must be on the console as soon as it is printed.
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    run::catchSignals();
    return run::entry(argc, argv, stdin);
}
