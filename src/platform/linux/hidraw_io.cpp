#include "platform/linux/hidraw_io.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace vantel::linuxhid {
namespace {

class SystemHidrawIo final : public HidrawIo {
public:
    int open(const char* path, int flags) override { return ::open(path, flags); }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void* argument) override {
        return ::ioctl(fd, request, argument);
    }
};

}  // namespace

HidrawIo& systemHidrawIo() {
    static SystemHidrawIo io;
    return io;
}

}  // namespace vantel::linuxhid
