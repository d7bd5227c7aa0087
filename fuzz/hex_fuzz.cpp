// Feeds arbitrary bytes to the image reader, from memory. It must not crash,
// must end, and must read the same records every time: the loader reads the
// checked text a second time and relies on that.
#include <cstdlib>
#include <cstring>

#include "image/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    image::MemoryKind kind = size % 2 ? image::MemoryKind::Eeprom : image::MemoryKind::Flash;
    unsigned failed = 0;
    image::ReadError checked = image::checkImage(text, size, kind, failed);

    image::Reader reader;
    image::startReading(reader, text, size, kind);
    image::Record record;
    unsigned last = kind == image::MemoryKind::Flash ? 0x3FF : 0x3F;
    for (unsigned n = 1; !reader.atEnd; ++n) {
        image::ReadError error = image::readRecord(reader, record);
        if (error != image::ReadError::None) {
            if (error != checked || n != failed) std::abort();
            return 0;
        }
        if (record.count > 0 && record.address + record.count - 1 > last) std::abort();
        if (n > size + 1) std::abort();
    }
    if (checked != image::ReadError::None) std::abort();
    return 0;
}
