// Signals on POSIX: the handler records the first and lets a second end the
// process at once.
#include <csignal>
#include <initializer_list>

#include "isp/session.h"
#include "run/run.h"

namespace run {

namespace {

extern "C" void onSignal(int sig) {
    if (isp::interruption() != 0) {
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        return;
    }
    isp::requestInterrupt(sig);
}

}  // namespace

void catchSignals() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a prompt's read and a wait end when a signal comes.
    action.sa_flags = 0;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        // One ignored from the start (nohup, a background job) stays ignored.
        struct sigaction before {};
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
            sigaction(sig, &action, nullptr);
        }
    }
    // A message to a pipe that is gone is dropped; the run goes on to its end.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace run
