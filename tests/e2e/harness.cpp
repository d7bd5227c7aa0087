#include "tests/e2e/harness.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace e2e {

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The sanitizer runtime wants to be loaded first; the library is.
#ifdef QUILLET_SANITIZED
const std::string kSanitizer = "ASAN_OPTIONS=verify_asan_link_order=0 ";
#else
const std::string kSanitizer;
#endif

// Runs the shell command in dir under the library; `timeout` ends a hang.
int spawn(const fs::path& dir, const std::string& command, const std::string& vtarget) {
    std::string line = "cd '" + dir.string() + "' && " + kSanitizer +
                       "LD_PRELOAD=" VTARGET_LIBRARY " VTARGET='" + vtarget +
                       "' timeout -s KILL 120 sh -c '" + command + "' <stdin >stdout 2>stderr";
    int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The program opens the serial device only while the library stands in
// front of it: a library that loads ends a process with a bad VTARGET at once.
bool libraryLoads() {
    static const bool loads = [] {
        char dir[] = "/tmp/quillet-e2e-XXXXXX";
        if (mkdtemp(dir) == nullptr) return false;
        std::ofstream(fs::path(dir) / "stdin");
        bool ended = spawn(dir, "/bin/true", "no-such-key") == 125;
        fs::remove_all(dir);
        return ended;
    }();
    return loads;
}

}  // namespace

std::string Outcome::field(const std::string& key) const {
    std::size_t at = state.find("\"" + key + "\": ");
    if (at == std::string::npos) return "(missing)";
    at += key.size() + 4;
    bool quoted = state[at] == '"';
    std::size_t end = state.find_first_of(quoted ? "\"" : ",\n}", at + quoted);
    return state.substr(at + quoted, end - at - quoted);
}

Outcome run(const Child& child) {
    Outcome outcome;
    if (!libraryLoads()) {
        ADD_FAILURE() << VTARGET_LIBRARY " does not load: nothing was run";
        return outcome;
    }
    char dir[] = "/tmp/quillet-e2e-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        ADD_FAILURE() << "cannot make a directory";
        return outcome;
    }
    for (const auto& [name, content] : child.files)
        std::ofstream(fs::path(dir) / name, std::ios::binary) << content;
    std::ofstream(fs::path(dir) / "stdin") << "\n\n";
    std::string settings = child.vtarget + (child.vtarget.empty() ? "" : ",");
    auto start = std::chrono::steady_clock::now();
    outcome.code = spawn(dir, child.command, settings + "state-out=state.json,trace-out=trace.txt");
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.out = readFile(fs::path(dir) / "stdout");
    outcome.err = readFile(fs::path(dir) / "stderr");
    outcome.state = readFile(fs::path(dir) / "state.json");
    std::istringstream trace(readFile(fs::path(dir) / "trace.txt"));
    for (std::string line; std::getline(trace, line);)
        outcome.trace.push_back(line);
    fs::remove_all(dir);
    return outcome;
}

}  // namespace e2e
