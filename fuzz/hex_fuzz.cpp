// Feeds arbitrary bytes to the image reader, from memory. It must not crash,
// must end, must keep every record in range and within the room its text
// took, and must read the same image every time.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    image::MemoryKind kind = size % 2 ? image::MemoryKind::Eeprom : image::MemoryKind::Flash;
    std::vector<std::uint8_t> first(size + 1), second(size + 1);
    image::Image image{}, again{};
    unsigned failed = 0, failedAgain = 0;
    image::ReadError error = image::readImage(text, size, kind, first.data(), image, failed);
    if (image::readImage(text, size, kind, second.data(), again, failedAgain) != error ||
        failed != failedAgain) {
        std::abort();
    }
    if (error != image::ReadError::None) return 0;
    if (image.size > size || again.size != image.size ||
        std::memcmp(first.data(), second.data(), image.size) != 0) {
        std::abort();
    }
    unsigned last = image::memoryBytes(kind) - 1;
    for (std::size_t offset = 0; offset < image.size;) {
        image::ImageRecord record = image::nextRecord(image, offset);
        if (record.count > 0 && record.address + record.count - 1 > last) std::abort();
    }
    return 0;
}
