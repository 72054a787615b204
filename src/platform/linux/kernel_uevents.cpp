#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/linux/uevent_source.h"

namespace vantel::linuxhid {
namespace {

constexpr unsigned kKernelUeventGroup = 1;

class KernelUeventSource final : public UeventSource {
public:
    explicit KernelUeventSource(int fd) : fd_(fd) {}
    ~KernelUeventSource() override { ::close(fd_); }
    int fd() const override { return fd_; }

    bool receive(Uevent& event) override {
        for (;;) {
            sockaddr_nl sender{};
            iovec iov{buffer_, sizeof buffer_};
            msghdr msg{};
            msg.msg_name = &sender;
            msg.msg_namelen = sizeof sender;
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            const ssize_t n = ::recvmsg(fd_, &msg, MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR) continue;
                // EAGAIN: nothing waits; ENOBUFS: events were lost, read on.
                if (errno == ENOBUFS) continue;
                return false;
            }
            // Only the kernel speaks on this group; anything else is ignored.
            if (sender.nl_pid != 0 || (msg.msg_flags & MSG_TRUNC)) continue;
            if (parseKernelUevent(buffer_, static_cast<std::size_t>(n), event)) return true;
        }
    }

private:
    int fd_;
    char buffer_[8192];
};

}  // namespace

bool parseKernelUevent(const char* message, std::size_t length, Uevent& event) {
    std::string_view action, subsystem, devname, devpath;
    std::size_t pos = 0;
    bool first = true;
    while (pos < length) {
        const void* end = std::memchr(message + pos, '\0', length - pos);
        const std::size_t fieldLength =
            end ? static_cast<std::size_t>(static_cast<const char*>(end) - (message + pos)) : length - pos;
        std::string_view field(message + pos, fieldLength);
        pos += fieldLength + 1;
        if (first) {
            // The header "action@devpath"; a message without it is not the kernel's.
            first = false;
            if (field.find('@') == std::string_view::npos) return false;
            continue;
        }
        const auto eq = field.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = field.substr(0, eq), value = field.substr(eq + 1);
        if (key == "ACTION") action = value;
        else if (key == "SUBSYSTEM") subsystem = value;
        else if (key == "DEVNAME") devname = value;
        else if (key == "DEVPATH") devpath = value;
    }
    if (subsystem != "hidraw" || action.empty()) return false;
    std::string_view name = devpath.empty() ? devname : devpath;
    const auto slash = name.rfind('/');
    if (slash != std::string_view::npos) name = name.substr(slash + 1);
    if (name.empty()) return false;
    event.action = std::string(action);
    event.sysname = std::string(name);
    return true;
}

std::unique_ptr<UeventSource> openKernelUeventSource() {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) return nullptr;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = kKernelUeventGroup;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<KernelUeventSource>(fd);
}

}  // namespace vantel::linuxhid
