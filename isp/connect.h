// Getting the target into programming mode and telling which chip it is.
#pragma once

namespace isp {

// Resets the target, synchronises with its instruction framing, reports its
// lock and fuse bits and erases it if protected. Returns true when the target
// is ready for programming; false after the sync error.
bool connect();

// Reads the signature and reports the model. Returns 10, 11, 12 or 15, or 0
// when the chip is not a supported one (one message printed either way).
int identify();

// Signature byte 2 of each supported model, with its message.
struct SupportedModel {
    unsigned signature;
    int model;
    const char* message;  // a "%02X" for the calibration byte where it is shown
    bool hasCalibration;
};
extern const SupportedModel kSupportedModels[4];

}  // namespace isp
