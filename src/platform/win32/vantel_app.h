#pragma once
// The application object of Vantel.exe: initialises the common controls, runs
// the main dialog modally over the HID stack (or the simulated keyboard of
// VANTEL_SIMULATE) and returns when it has ended; the process then ends.

#include <windows.h>

namespace vantel::win32 {

class CVantelApp {
public:
    explicit CVantelApp(HINSTANCE instance) : instance_(instance) {}
    // The process's exit code: 0, or 2 when VANTEL_SIMULATE names no usable scenario.
    int run();

private:
    HINSTANCE instance_;
};

}  // namespace vantel::win32
