// The Intel HEX image loader: streams the file record by record, writing
// every data byte to the target and reading it back.
#pragma once

namespace image {

enum class MemoryKind { Flash, Eeprom };

// Reads the whole image as programImage would, writing nothing. Returns true
// when every record is sound; otherwise prints why and returns false.
bool checkImage(const char* path, MemoryKind kind);

// Writes and verifies every data byte, printing a progress line per record.
// Returns true when the whole file was read and every byte read back as
// written; false when the file cannot be opened or read, or a byte differed.
bool programImage(const char* path, MemoryKind kind);

}  // namespace image
