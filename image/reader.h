// The Intel HEX record reader: bytes in, records or the first error out.
// Pure: it reads memory only and knows nothing of files, chips or ports.
#pragma once

#include <cstddef>
#include <cstdint>

namespace image {

enum class MemoryKind { Flash, Eeprom };

// The sizes of the two memories of a 1-KB ATtiny.
constexpr unsigned kFlashBytes = 1024;
constexpr unsigned kEepromBytes = 64;

inline unsigned memoryBytes(MemoryKind kind) {
    return kind == MemoryKind::Flash ? kFlashBytes : kEepromBytes;
}

enum class ReadError { None, NoStart, BadHeader, BadData, BadChecksum, UnknownType, OutOfRange };

// One record as it is to be programmed: the data bytes and the address of
// the first, the address base of earlier records included. Records that
// carry no data (end of file, bases, start addresses) have count 0.
struct Record {
    unsigned count;
    std::uint32_t address;
    std::uint8_t data[255];
};

// The reading position in an image's text. The text reads as it would on
// any platform: CR LF reads as LF and a Ctrl-Z ends it.
struct Reader {
    const char* text;
    std::size_t size;
    std::size_t at;
    int pending;  // the character looked at and not yet taken
    bool atEnd;   // a read has run into the end: no record follows
    std::uint32_t base;
    unsigned last;  // the highest address of the memory
};

// Starts reading text of size bytes as an image for the memory kind.
void startReading(Reader& reader, const char* text, std::size_t size, MemoryKind kind);

// Reads the next record and the blanks after it. Returns None, or why the
// record cannot be read.
ReadError readRecord(Reader& reader, Record& record);

// An image as its records in file order, those without data (end of file,
// bases, start addresses) included, kept packed: per record a count byte,
// the address in two bytes (high first), then the data bytes. A record takes
// no more room packed than its text, so packing into as many bytes as the
// text has always fits.
struct Image {
    MemoryKind kind;
    const std::uint8_t* packed;
    std::size_t size;  // packed bytes
};

// One record of an image as it is to be programmed.
struct ImageRecord {
    unsigned count;
    unsigned address;
    const std::uint8_t* data;
};

// Reads every record of text into packed, which has room for size bytes.
// Returns None, or the first error with its record number (counted from 1)
// in failedRecord; image holds the records read before it either way.
ReadError readImage(const char* text, std::size_t size, MemoryKind kind, std::uint8_t* packed,
                    Image& image, unsigned& failedRecord);

// The record at offset of image, which then points at the next one; offset
// == image.size after the last.
ImageRecord nextRecord(const Image& image, std::size_t& offset);

// What an error means, for a message.
const char* reasonOf(ReadError error);

}  // namespace image
