// Signals on POSIX, in one table: what each does to a run.
//
// End: the handler records the signal and stops a write under way; the run
// ends at its next step, lets the chip go, closes the port, removes its lock
// file and a read's unfinished file, says so and exits with 128 + N.
// Abandon: the handler removes what the run leaves (the serial port's chip
// let go and lock file, a read's unfinished file) with async-signal-safe
// calls only, then ends the process by the signal itself. A second signal of
// the first kind, once the run is ending, is abandoned the same way.
// Ignore: the signal does nothing; the call it would have ended fails.
#include <csignal>

#include "image/file.h"
#include "isp/session.h"
#include "run/run.h"

namespace run {

namespace {

enum class Action { End, Abandon, Ignore };

const struct {
    int sig;
    Action action;
} kSignals[] = {
    {SIGINT, Action::End},   // Ctrl-C
    {SIGTERM, Action::End},  // kill, timeout, a system going down
    {SIGHUP, Action::End},   // the terminal gone
    {SIGUSR1, Action::End},
    {SIGUSR2, Action::End},
    {SIGALRM, Action::End},  // an alarm the program never sets: timeout -s ALRM
#ifdef SIGPWR
    {SIGPWR, Action::End},  // the power failing (Linux)
#endif
    {SIGXCPU, Action::End},      // the CPU time limit (ulimit -t)
    {SIGQUIT, Action::Abandon},  // Ctrl-\: ends at once, with a core dump where allowed
    // The file size limit (ulimit -f): the write fails with EFBIG and the run
    // ends as after any failed write, exit code 4.
    {SIGXFSZ, Action::Ignore},
    // A pipe whose reader has gone: the write fails with EPIPE.
    {SIGPIPE, Action::Ignore},
};

Action actionOf(int sig) {
    for (const auto& row : kSignals) {
        if (row.sig == sig) return row.action;
    }
    return Action::End;
}

extern "C" void onSignal(int sig) {
    if (actionOf(sig) == Action::End && isp::interruption() == 0) {
        isp::requestInterrupt(sig);
        image::stopOutput();
        return;
    }
    isp::abandon();
    image::abandonOutputFile();
    // Blocked until the handler returns, then the default action ends the process.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

void catchSignals() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    // One handler at a time: another signal of the table waits until it returns.
    sigemptyset(&action.sa_mask);
    for (const auto& row : kSignals)
        sigaddset(&action.sa_mask, row.sig);
    // No SA_RESTART: a prompt's read, a wait and a write end when a signal comes.
    action.sa_flags = 0;
    for (const auto& row : kSignals) {
        // One ignored from the start (nohup, a background job) stays ignored.
        struct sigaction before {};
        if (sigaction(row.sig, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) continue;
        if (row.action == Action::Ignore) {
            std::signal(row.sig, SIG_IGN);
        } else {
            sigaction(row.sig, &action, nullptr);
        }
    }
}

}  // namespace run
