// Runs a built program as a child process under the preload library, in a
// fresh directory, and collects what it left: exit code, output and the
// chip's final state.
#pragma once

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
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
// as root, with a world-readable copy of quillet and of the library in a
// directory of its own, as the build may lie where nobody cannot reach it
// (a checkout under /root). Made once; removed when the tests end.
struct Guest {
    std::string why;  // why there is none; empty when there is
    std::string name, binary, library;
    std::string as;  // the command that runs the rest of its line as the guest
    fs::path home;
    ~Guest() {
        if (!home.empty()) fs::remove_all(home);
    }
};

inline const Guest& guest() {
    static const Guest made = [] {
        Guest g;
        const passwd* user = getpwnam("nobody");
        char home[] = "/tmp/quillet-guest-XXXXXX";
        if (geteuid() != 0) {
            g.why = "it needs root, to run as another user";
        } else if (user == nullptr || std::system("command -v setpriv >/dev/null") != 0) {
            g.why = "it needs the user nobody and setpriv";
        } else if (mkdtemp(home) == nullptr || chmod(home, 0755) != 0) {
            g.why = "no directory for nobody's copies in /tmp";
        } else {
            g.home = home;
            g.name = "nobody";
            g.binary = g.home / "quillet";
            g.library = g.home / "libvtarget.so";
            fs::copy_file(QUILLET_BINARY, g.binary);
            fs::copy_file(VTARGET_LIBRARY, g.library);
            chmod(g.binary.c_str(), 0755);
            chmod(g.library.c_str(), 0755);
            g.as = "setpriv --reuid=" + std::to_string(user->pw_uid) +
                   " --regid=" + std::to_string(user->pw_gid) + " --clear-groups ";
        }
        return g;
    }();
    return made;
}

// Whether what can run as the guest; where not, says why, and fails the test
// where QUILLET_TESTS_SKIP_NOTHING is set (CI, run as root).
inline bool guestCan(const std::string& what) {
    if (guest().why.empty()) return true;
    if (std::getenv("QUILLET_TESTS_SKIP_NOTHING") != nullptr) {
        ADD_FAILURE() << what << ": " << guest().why;
    } else {
        std::printf("%s skipped: %s\n", what.c_str(), guest().why.c_str());
    }
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
    if (child.guest) {
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            fs::permissions(entry, entry.is_directory() ? fs::perms::all : fs::perms::others_read,
                            fs::perm_options::add);
        }
        fs::permissions(dir, fs::perms::all);
    }
    outcome.code = spawn(dir, child.command, child.vtarget + ",state-out=state.json",
                         child.guest ? guest().library : VTARGET_LIBRARY);
    outcome.out = readFile(dir / "stdout");
    outcome.err = readFile(dir / "stderr");
    outcome.state = readFile(dir / "state.json");
    fs::remove_all(dir);
    return outcome;
}

}  // namespace e2e
