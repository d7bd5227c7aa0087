// What the preload library's stand-ins for libftdi (preload_ftdi.cpp) reach
// of the library's state (preload.cpp): the virtual FT232R, under the
// library's lock.
#pragma once

#include <mutex>

#include "vtarget/ft232r.h"

namespace vtarget {

class Library;

// Holds the library's lock for as long as it lives.
class FtdiAccess {
  public:
    FtdiAccess();
    // Null without the ft232r key, or while the library is being made.
    Ft232r* device() const { return device_; }
    // The device was closed: state-out and trace-out are written, as at the
    // close of a served port.
    void closed();

  private:
    Library* library_;
    std::unique_lock<std::recursive_mutex> lock_;
    Ft232r* device_ = nullptr;
};

}  // namespace vtarget
