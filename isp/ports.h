// What the run says about ports: the list of --list-ports, and why a port
// did not open and what to do.
#pragma once

#include <cstdio>

#include "link/port.h"

namespace isp {

// Prints each port found on a line of its own to out, after indent, and
// heading before them on standard error (nullptr: none); says so on
// standard error where there is none.
void printPorts(std::FILE* out, const char* indent, const char* heading);

// Points the look for ports at the system tree below root (the hidden
// --sysroot, for tests); nullptr: the system's own.
void setSystemRoot(const char* root);

// The lines after a refused open's first one: why the port called name did
// not open, what to do, and the ports found.
void explainRefusal(const char* name, const port::Opened& opened);

}  // namespace isp
