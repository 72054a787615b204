#pragma once
// The system calls the hidraw back end makes on device nodes. Tests put a
// scripted device behind them; the kernel test and the application use the
// real ones.

namespace vantel::linuxhid {

class HidrawIo {
public:
    virtual ~HidrawIo() = default;
    // Each returns what the system call returns, with errno set on failure.
    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
};

// open(2), close(2) and ioctl(2).
HidrawIo& systemHidrawIo();

}  // namespace vantel::linuxhid
