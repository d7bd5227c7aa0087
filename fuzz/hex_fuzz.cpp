// Feeds arbitrary files to the image loader: the check pass, then the
// programming pass on a virtual chip. Neither may crash, and a file the check
// rejects must never load as a success.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "image/hex.h"
#include "link/platform.h"
#include "vtarget/chip.h"
#include "vtarget/inprocess.h"

namespace {

std::string imagePath() {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/quillet-fuzz-" +
           std::to_string(static_cast<long>(::getpid())) + ".hex";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = imagePath();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    image::MemoryKind kind = size % 2 ? image::MemoryKind::Eeprom : image::MemoryKind::Flash;
    bool sound = image::checkImage(path.c_str(), kind);

    vtarget::Config config;
    config.flashWriteUs = 0;
    config.eepromWriteUs = 0;
    vtarget::Chip chip(config);
    vtarget::attach(&chip);
    platform::set(platform::PortLine::Dtr, false);
    platform::sleepMs(25);
    bool loaded = image::programImage(path.c_str(), kind);
    vtarget::attach(nullptr);
    if (loaded && !sound) std::abort();
    return 0;
}
