// The standard streams at start, before the program opens anything. One
// back end per platform, chosen by CMake: streams_posix.cpp or streams_win32.cpp.
#pragma once

namespace run {

// Opens the null device on each of standard input, output and error that is
// closed, so that no file or port opened later can take its place: messages
// would go into it, and a prompt would wait on it. outputClosed tells
// whether standard output was one of them. Returns false, with errno set,
// when it cannot.
bool openClosedStandardStreams(bool& outputClosed);

}  // namespace run
