#include "tests/support.h"

#include "link/line.h"

namespace testsupport {

void enterProgrammingMode() {
    line::set(line::Pin::Mosi, 1);
    line::set(line::Pin::Sck, 0);
    line::set(line::Pin::Reset, 1);
    line::set(line::Pin::Reset, 0);
    line::sleepMs(25);
}

}  // namespace testsupport
