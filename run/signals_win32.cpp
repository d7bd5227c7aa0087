// Ctrl-C and Ctrl-Break on Windows: the console control handler, which runs
// in a thread of its own, records the first; for a second it lets Windows end
// the process at once.
#include <windows.h>

#include <csignal>

#include "isp/session.h"
#include "run/run.h"

namespace run {

namespace {

BOOL WINAPI onControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    if (isp::interruption() != 0) return FALSE;
    isp::requestInterrupt(event == CTRL_C_EVENT ? SIGINT : SIGBREAK);
    return TRUE;
}

}  // namespace

void catchSignals() {
    SetConsoleCtrlHandler(onControl, TRUE);
}

}  // namespace run
