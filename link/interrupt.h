// A request from outside to end the run: a signal on POSIX, Ctrl-C or
// Ctrl-Break on Windows. The handler only records it; the port refuses the
// next waveform, a wait ends early, and the run ends at its next step.
#pragma once

namespace interrupt {

// Records that signal number sig asked the run to end; safe in a signal
// handler. The first request counts.
void request(int sig);

// The signal number that asked the run to end, or 0.
int requested();

// Forgets the request: for a process that runs more than once (tests).
void clear();

}  // namespace interrupt
