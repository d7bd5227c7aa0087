#include "tests/support.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "link/line.h"
#include "run/run.h"

namespace testsupport {

namespace {

namespace fs = std::filesystem;

// A directory no other test process uses, removed at exit.
struct PrivateDirectory {
    fs::path path;
    PrivateDirectory() {
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        for (int attempt = 0; path.empty(); ++attempt) {
            fs::path candidate =
                fs::temp_directory_path() / ("quillet-test-" + std::to_string(stamp + attempt));
            if (fs::create_directory(candidate)) path = candidate;
        }
        // Relative names then stand for the same file in arguments and messages.
        fs::current_path(path);
    }
    ~PrivateDirectory() {
        std::error_code ignored;
        fs::current_path(fs::temp_directory_path(), ignored);
        fs::remove_all(path, ignored);
    }
};

}  // namespace

std::string writeFile(const std::string& name, const std::string& content) {
    static const PrivateDirectory directory;
    std::string path = (directory.path / name).string();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
}

vtarget::PreloadOptions chipOf(const std::string& vtarget) {
    vtarget::PreloadOptions options;
    EXPECT_EQ(vtarget::parsePreloadOptions(vtarget.c_str(), options), "") << vtarget;
    return options;
}

std::vector<std::string> wordsOf(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

Outcome runProgram(const std::string& text, const std::string& input) {
    std::vector<std::string> words = wordsOf("quillet " + text);
    std::vector<const char*> args;
    for (const std::string& word : words)
        args.push_back(word.c_str());
    std::FILE* in = std::fopen(writeFile("stdin", input).c_str(), "rb");
    testing::internal::CaptureStderr();
    int code = run::entry(static_cast<int>(args.size()), args.data(), in);
    std::string err = testing::internal::GetCapturedStderr();
    std::string rest;
    for (int c = std::fgetc(in); c != EOF; c = std::fgetc(in))
        rest += static_cast<char>(c);
    std::fclose(in);
    return {code, err, rest};
}

void enterProgrammingMode() {
    line::set(line::Pin::Mosi, 1);
    line::set(line::Pin::Sck, 0);
    line::set(line::Pin::Reset, 1);
    line::set(line::Pin::Reset, 0);
    line::sleepMs(25);
}

}  // namespace testsupport
