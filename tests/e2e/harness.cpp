#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

// The sanitizer runtime wants to be loaded first; the library is.
#ifdef QUILLET_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

namespace e2e {

namespace {

// A run that takes longer than this is hanging.
constexpr auto kTimeLimit = std::chrono::seconds(120);

struct Parser {
    const std::string& s;
    std::size_t at = 0;

    void blanks() {
        while (at < s.size() && std::isspace(static_cast<unsigned char>(s[at])))
            ++at;
    }
    bool take(char c) {
        blanks();
        if (at >= s.size() || s[at] != c) return false;
        ++at;
        return true;
    }
    bool string(std::string& out) {
        if (!take('"')) return false;
        out.clear();
        while (at < s.size() && s[at] != '"') {
            if (s[at] == '\\' && at + 1 < s.size()) ++at;
            out += s[at++];
        }
        return take('"');
    }
    bool value(Json& v) {
        blanks();
        if (at >= s.size()) return false;
        if (s[at] == '"') return string(v.text);
        if (take('{')) {
            if (take('}')) return true;
            do {
                std::string key;
                if (!string(key) || !take(':') || !value(v.fields[key])) return false;
            } while (take(','));
            return take('}');
        }
        if (take('[')) {
            if (take(']')) return true;
            do {
                v.items.emplace_back();
                if (!value(v.items.back())) return false;
            } while (take(','));
            return take(']');
        }
        std::size_t start = at;
        while (at < s.size() && (std::isdigit(static_cast<unsigned char>(s[at])) || s[at] == '-')) {
            ++at;
        }
        v.text = s.substr(start, at - start);
        return at > start;
    }
};

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string programPath(const std::string& program) {
    if (program == "quillet") return QUILLET_BINARY;
    if (program == "port_probe") return PORT_PROBE;
    return program;
}

// Starts the child with the library preloaded and waits for it.
Outcome spawn(const Child& child) {
    Outcome outcome;
    std::string pattern = ::testing::TempDir() + "quillet-e2e-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot make a directory from " << pattern;
        return outcome;
    }
    std::filesystem::path dir(pattern);
    for (const auto& [name, content] : child.files)
        writeFile(dir / name, content);
    writeFile(dir / "stdin", child.input);

    std::vector<std::string> args{programPath(child.program)};
    args.insert(args.end(), child.args.begin(), child.args.end());
    std::string settings = child.vtarget;
    if (!settings.empty()) settings += ',';
    settings += "state-out=state.json,trace-out=trace.txt";
    std::vector<std::string> environment{"LD_PRELOAD=" VTARGET_LIBRARY, "VTARGET=" + settings};
    if (kSanitized) environment.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int in = -1;
        int out = -1;
        int err = -1;
        if (chdir(dir.c_str()) == 0 && (in = open("stdin", O_RDONLY)) >= 0 &&
            (out = open("stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644)) >= 0 &&
            (err = open("stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644)) >= 0 && dup2(in, 0) == 0 &&
            dup2(out, 1) == 1 && dup2(err, 2) == 2) {
            execve(argv[0], argv.data(), envp.data());
        }
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() - start > kTimeLimit) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << args[0] << " did not end";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = readFile(dir / "stdout");
    outcome.err = readFile(dir / "stderr");
    outcome.stateWritten = std::filesystem::exists(dir / "state.json");
    if (outcome.stateWritten) {
        EXPECT_TRUE(parseJson(readFile(dir / "state.json"), outcome.state));
    }
    std::istringstream trace(readFile(dir / "trace.txt"));
    for (std::string line; std::getline(trace, line);)
        outcome.trace.push_back(line);
    std::filesystem::remove_all(dir);
    return outcome;
}

// Whether the library, preloaded the way run() does it, serves the COM1
// device: the probe opens it only when open and ioctl are the library's.
bool interceptionSeen() {
    static const bool seen = [] {
        Outcome probe = spawn({"port_probe", {"line"}, "", "", {}});
        return probe.code == 0 && probe.out.find("tty: yes\n") != std::string::npos;
    }();
    return seen;
}

}  // namespace

bool parseJson(const std::string& text, Json& value) {
    Parser parser{text};
    if (!parser.value(value)) return false;
    parser.blanks();
    return parser.at == text.size();
}

std::uint64_t Outcome::number(const std::string& key) const {
    auto field = state.fields.find(key);
    if (field == state.fields.end()) {
        ADD_FAILURE() << "no " << key << " in the state";
        return 0;
    }
    return std::strtoull(field->second.text.c_str(), nullptr, 10);
}

const std::string& Outcome::text(const std::string& key) const {
    static const std::string kMissing = "(missing)";
    auto field = state.fields.find(key);
    return field == state.fields.end() ? kMissing : field->second.text;
}

Outcome run(const Child& child) {
    if (!interceptionSeen()) {
        ADD_FAILURE() << "the preload library " VTARGET_LIBRARY
                         " does not serve the COM1 device: nothing was run";
        return {};
    }
    return spawn(child);
}

std::string flashHex(const std::string& bytes) {
    std::string hex;
    char text[4];
    for (unsigned char byte : bytes) {
        std::snprintf(text, sizeof text, "%02X", byte);
        hex += text;
    }
    return hex + std::string(2048 - hex.size(), 'F');
}

}  // namespace e2e
