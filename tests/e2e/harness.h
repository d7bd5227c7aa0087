// Runs a built program as a child process under the preload library, in a
// fresh directory, and collects what it left: exit code, output and the
// chip's final state.
#pragma once

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "tests/records.h"

namespace e2e {

struct Child {
    std::string command;                       // for sh -c, without single quotes
    std::string vtarget;                       // VTARGET, before state-out
    std::map<std::string, std::string> files;  // written into the directory first
    bool guest = false;  // the guest (below) may write the directory; the library is its copy
};

struct Outcome {
    int code = -1;  // exit code; -1 when it did not exit normally
    std::string out;
    std::string err;
    std::string state;  // the state file's text; empty when none was written

    // A number or string member of the state file; "(missing)" when there is none.
    std::string field(const std::string& key) const;
    std::uint64_t number(const std::string& key) const { return std::stoull(field(key)); }
};

using records::kEndRecord;
using records::record;

namespace fs = std::filesystem;

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The sanitizer runtime wants to be loaded first; the library is.
#ifdef QUILLET_SANITIZED
inline const std::string kSanitizer = "ASAN_OPTIONS=verify_asan_link_order=0 ";
// The sanitizers' runtime opens a pipe to check a pointer: a process left
// without descriptors fails its own checks.
constexpr bool kStarvesTheSanitizer = true;
#else
inline const std::string kSanitizer;
constexpr bool kStarvesTheSanitizer = false;
#endif

// Another user for the cases that run as one: nobody, where the tests run
// as root, with world-readable copies of quillet and the library in /tmp, as
// the build may lie where nobody cannot reach it (a checkout under /root).
struct Guest {
    std::string why, name, binary, library, as;  // why: why there is none
};

inline const Guest& guest() {
    static char home[] = "/tmp/quillet-guest-XXXXXX";
    static const Guest made = [] {
        const passwd* user = getpwnam("nobody");
        if (geteuid() != 0 || user == nullptr || std::system("command -v setpriv >/dev/null") != 0)
            return Guest{"it needs root, the user nobody and setpriv", "", "", "", ""};
        std::string dir = mkdtemp(home) == nullptr ? "/nonexistent" : home;
        std::atexit([] { fs::remove_all(home); });
        std::string copy = "chmod 755 " + dir + " && cp " QUILLET_BINARY " " VTARGET_LIBRARY " " +
                           dir + " && chmod 755 " + dir + "/*";
        return Guest{std::system(copy.c_str()) == 0 ? "" : "no copies for nobody in /tmp", "nobody",
                     dir + "/quillet", dir + "/libvtarget.so",
                     "setpriv --reuid=" + std::to_string(user->pw_uid) +
                         " --regid=" + std::to_string(user->pw_gid) + " --clear-groups "};
    }();
    return made;
}

// Whether what can run as the guest, on a host where the shell command needs
// succeeds; where not, says why, or fails the test where
// QUILLET_TESTS_SKIP_NOTHING is set (CI, which runs as root).
inline bool guestCan(const std::string& what, const std::string& needs = "true") {
    std::string why = !guest().why.empty()              ? guest().why
                      : std::system(needs.c_str()) == 0 ? ""
                                                        : "it needs " + needs;
    if (why.empty()) return true;
    if (std::getenv("QUILLET_TESTS_SKIP_NOTHING") != nullptr) ADD_FAILURE() << what << ": " << why;
    std::printf("%s skipped: %s\n", what.c_str(), why.c_str());
    return false;
}

// Runs the shell command in dir under the library; `timeout` ends a hang.
inline int spawn(const fs::path& dir, const std::string& command, const std::string& vtarget,
                 const std::string& library = VTARGET_LIBRARY) {
    std::string line = "cd '" + dir.string() + "' && " + kSanitizer + "LD_PRELOAD=" + library +
                       " VTARGET='" + vtarget + "' timeout -s KILL 120 sh -c '" + command +
                       "' <stdin >stdout 2>stderr";
    int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string Outcome::field(const std::string& key) const {
    std::size_t at = state.find("\"" + key + "\": ");
    if (at == std::string::npos) return "(missing)";
    at += key.size() + 4;
    bool quoted = state[at] == '"';
    std::size_t end = state.find_first_of(quoted ? "\"" : ",\n}", at + quoted);
    return state.substr(at + quoted, end - at - quoted);
}

// Runs child with "\n\n" as standard input in a new directory (its working
// directory, with an empty lock directory that the library puts in place of
// the build's), with state-out added to VTARGET. Fails the current test, and
// runs nothing, unless the library is seen to load: the program opens the
// serial device only while the library stands in front of it, and a library
// that loads ends a process with a bad VTARGET at once.
inline Outcome run(const Child& child) {
    Outcome outcome;
    char name[] = "/tmp/quillet-e2e-XXXXXX";
    if (mkdtemp(name) == nullptr) ADD_FAILURE() << "cannot make a directory";
    fs::path dir = name;
    std::ofstream(dir / "stdin") << "\n\n";
    fs::create_directory(dir / "lock");
    static const bool loads = spawn(dir, "/bin/true", "no-such-key") == 125;
    if (!loads) {
        ADD_FAILURE() << VTARGET_LIBRARY " does not load: nothing was run";
        return outcome;
    }
    for (const auto& [file, content] : child.files)
        std::ofstream(dir / file, std::ios::binary) << content;
    // The guest reads the fixtures and writes the directory and the lock directory.
    std::string d = "'" + dir.string() + "'";
    if (child.guest &&
        std::system(("chmod -R a+rX " + d + " && chmod a+w " + d + " " + d + "/lock").c_str()) != 0)
        ADD_FAILURE() << "cannot open " << d << " to the guest";
    outcome.code = spawn(dir, child.command, child.vtarget + ",state-out=state.json",
                         child.guest ? guest().library : VTARGET_LIBRARY);
    outcome.out = readFile(dir / "stdout");
    outcome.err = readFile(dir / "stderr");
    outcome.state = readFile(dir / "state.json");
    fs::remove_all(dir);
    return outcome;
}

}  // namespace e2e
