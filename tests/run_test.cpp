// Whole programming runs on the virtual chip, seen as the operator sees them.
#include "run/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/messages.h"
#include "tests/support.h"

namespace {

using testsupport::AttachedChip;
using testsupport::record;
using namespace messages;

const std::string kImage =
    record(0, 0,
           std::string("\x0A\xC0\xFF\xCF\x0F\xEF\x07\xBB\x08\xBB\x00\x95\x80\x95\xFD\xCF", 16)) +
    record(0x10, 0, std::string("\x18\x95", 2)) + ":00000001FF\n";

struct Outcome {
    int code;
    std::string stderrText;
};

Outcome runWith(std::vector<const char*> args, const std::string& input = "\n\n") {
    std::vector<const char*> argv{"quillet"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::FILE* in = testsupport::inputOf(input);
    testing::internal::CaptureStderr();
    int code = run::entry(static_cast<int>(argv.size()), argv.data(), in);
    std::string text = testing::internal::GetCapturedStderr();
    std::fclose(in);
    return {code, text};
}

TEST(Run, SuccessfulFlashRunPrintsEveryStepInOrder) {
    std::string path = testsupport::writeFile("blink.hex", kImage);
    AttachedChip target;
    Outcome outcome = runWith({"/f:243", "/l:4", path.c_str()});
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.stderrText, kBanner + kConnect + kLockFuse + kTiny12 + kErasing +
                                      "--- 1 /\r--- 2 -\r--- 3 \\\r" + kWritten +
                                      "  fuse bits F3 written\n  lock bits 04 written\n" +
                                      kDisconnect + kEoj);
    EXPECT_EQ(target.chip.flash()[0x00], 0x0A);
    EXPECT_EQ(target.chip.flash()[0x0F], 0xCF);
    EXPECT_EQ(target.chip.flash()[0x11], 0x95);
    EXPECT_EQ(target.chip.flash()[0x12], 0xFF);
    EXPECT_EQ(target.chip.fuse(), 0xFF);
    EXPECT_EQ(target.chip.lock(), 0x04);
    EXPECT_TRUE(target.chip.pinLevel(vtarget::Pin::Reset));
    EXPECT_TRUE(target.chip.violations().empty());
    EXPECT_EQ(target.chip.unknownInstructions(), 0u);
}

struct Ending {
    const char* name;
    std::vector<const char*> args;  // "IMAGE" stands for a sound image's path
    std::string image;              // contents of IMAGE
    vtarget::Config config;
    int code;
    std::string tail;  // the end of standard error
    bool chipTouched;
};

vtarget::Config withSignature(std::uint8_t model) {
    vtarget::Config config;
    config.signature = {0x1E, 0x90, model};
    return config;
}

vtarget::Config withStuckFlash() {
    vtarget::Config config;
    config.stuckFlash[0x05] = 0x00;
    return config;
}

class Endings : public ::testing::TestWithParam<Ending> {};

TEST_P(Endings, ExitCodeTellsHowFarTheRunGot) {
    std::string path =
        testsupport::writeFile(std::string(GetParam().name) + ".hex", GetParam().image);
    std::vector<const char*> args;
    for (const char* arg : GetParam().args)
        args.push_back(std::string(arg) == "IMAGE" ? path.c_str() : arg);
    AttachedChip target(GetParam().config);
    Outcome outcome = runWith(args);
    EXPECT_EQ(outcome.code, GetParam().code);
    std::string tail = GetParam().tail;
    size_t at = tail.find("IMAGE");
    if (at != std::string::npos) tail.replace(at, 5, path);
    ASSERT_GE(outcome.stderrText.size(), tail.size()) << outcome.stderrText;
    EXPECT_EQ(outcome.stderrText.substr(outcome.stderrText.size() - tail.size()), tail)
        << outcome.stderrText;
    EXPECT_EQ(target.chip.lineCalls() > 0, GetParam().chipTouched);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Endings,
    ::testing::Values(
        Ending{"NoImagePath", {"/f:1"}, kImage, {}, 1, kBanner + kUsage, false},
        Ending{"Help", {"IMAGE", "--help"}, kImage, {}, 0, kBanner + kUsage, false},
        Ending{"Version", {"--version"}, kImage, {}, 0, kBanner, false},
        Ending{"BrokenImage",
               {"IMAGE"},
               kImage + ":0400000001020304F3\n",
               {},
               4,
               ">>> Error in file IMAGE, record 4: checksum mismatch. Programming canceled!\n",
               false},
        Ending{
            "NotIdentified",
            {"/f:1", "/l:0", "IMAGE"},
            kImage,
            withSignature(0x07),
            5,
            ">>> This ATTiny device is not supported. Programming canceled!\n" + kDisconnect + kEoj,
            true},
        Ending{"StuckCell",
               {"/f:1", "IMAGE"},
               kImage,
               withStuckFlash(),
               5,
               "--- 3 \\\r  fuse bits 01 written\n" + kDisconnect + kEoj,
               true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Run, TextTypedAtTheFirstPromptAnswersTheSecond) {
    std::string path = testsupport::writeFile("blink.hex", kImage);
    AttachedChip target;
    std::string input = "y\n";
    std::FILE* in = testsupport::inputOf(input);
    const char* argv[] = {"quillet", path.c_str()};
    testing::internal::CaptureStderr();
    EXPECT_EQ(run::entry(2, argv, in), 0);
    testing::internal::GetCapturedStderr();
    // Both characters were taken: one by each prompt.
    EXPECT_EQ(std::fgetc(in), EOF);
    std::fclose(in);
}

}  // namespace
