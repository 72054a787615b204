#include "platform/linux/hidraw_backend.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vantel {
namespace {

using linuxhid::InterfaceRecord;

constexpr const char* kInterfacePrefix = "\\\\?\\hid#";

// The ioctl length field has 14 bits; hidraw itself refuses more than its
// buffer size. Windows accepts any larger buffer and fills what the report has.
constexpr std::size_t kMaxTransfer = 4096;

bool isInterfacePath(const std::string& path) { return path.rfind(kInterfacePrefix, 0) == 0; }

// "...#hidraw3#{...}" -> "hidraw3".
std::string nodeOfPath(const std::string& path) {
    const auto end = path.rfind('#');
    if (end == std::string::npos || end == 0) return {};
    const auto begin = path.rfind('#', end - 1);
    if (begin == std::string::npos) return {};
    return path.substr(begin + 1, end - begin - 1);
}

bool hasFeatureId(const linuxhid::Collection& caps, std::uint8_t id) {
    return std::find(caps.featureReportIds.begin(), caps.featureReportIds.end(), id) !=
           caps.featureReportIds.end();
}

}  // namespace

struct HidrawBackend::OpenDevice {
    OpenDevice(linuxhid::HidrawIo& system, int descriptor) : io(system), fd(descriptor) {}
    // The descriptor closes when the last user lets go, so that a transfer in
    // flight on another thread never lands on a reused descriptor number.
    ~OpenDevice() { io.close(fd); }
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;

    // ioctl, retried while a signal interrupts it.
    int control(unsigned long request, void* argument) const {
        int result;
        do {
            result = io.ioctl(fd, request, argument);
        } while (result < 0 && errno == EINTR);
        return result;
    }

    linuxhid::HidrawIo& io;
    const int fd;
    bool haveCaps = false;
    linuxhid::Collection caps;
};

struct HidrawBackend::Monitor {
    std::unique_ptr<linuxhid::UeventSource> source;
    int wake[2] = {-1, -1};
    std::thread thread;

    ~Monitor() {
        if (thread.joinable()) {
            const char stop = 1;
            while (::write(wake[1], &stop, 1) < 0 && errno == EINTR) {
            }
            thread.join();
        }
        if (wake[0] >= 0) ::close(wake[0]);
        if (wake[1] >= 0) ::close(wake[1]);
    }
};

HidrawBackend::HidrawBackend(HidrawConfig config)
    : config_(std::move(config)), io_(config_.io ? *config_.io : linuxhid::systemHidrawIo()) {}

HidrawBackend::~HidrawBackend() {
    releaseLibraries();
    std::unique_ptr<Monitor> monitor;
    {
        std::lock_guard lock(mutex_);
        monitor = takeMonitorLocked();
        handles_.clear();
    }
}

bool HidrawBackend::loadHidLibrary() {
    std::lock_guard lock(mutex_);
    hidLoaded_ = true;  // hidraw is a kernel service: nothing to load
    return true;
}

bool HidrawBackend::loadSetupLibrary() {
    std::lock_guard lock(mutex_);
    if (setupLoaded_) return true;
    udev_ = linuxhid::udevContextNew();
    if (udev_ == nullptr) return false;
    setupLoaded_ = true;
    if (sink_ != nullptr) startMonitorLocked();
    return true;
}

bool HidrawBackend::hidLibraryLoaded() const {
    std::lock_guard lock(mutex_);
    return hidLoaded_;
}

bool HidrawBackend::setupLibraryLoaded() const {
    std::lock_guard lock(mutex_);
    return setupLoaded_;
}

void HidrawBackend::releaseLibraries() {
    std::unique_ptr<Monitor> monitor;
    void* context = nullptr;
    {
        std::lock_guard lock(mutex_);
        monitor = takeMonitorLocked();
        hidLoaded_ = false;
        setupLoaded_ = false;
        context = udev_;
        udev_ = nullptr;
        sets_.clear();
    }
    monitor.reset();  // joins the monitor thread outside the lock it may wait for
    linuxhid::udevContextRelease(context);
}

HidStatus HidrawBackend::hidGuid(Guid& out) {
    std::lock_guard lock(mutex_);
    if (!hidLoaded_) return HidStatus::Missing;
    out = kHidInterfaceClass;
    return HidStatus::Ok;
}

HidStatus HidrawBackend::getClassDevs(const Guid& cls, InterfaceSet& out) {
    {
        std::lock_guard lock(mutex_);
        if (!setupLoaded_) return HidStatus::Missing;
    }
    // Only HID interfaces exist here; any other class is an empty set.
    std::vector<InterfaceRecord> records;
    if (cls == kHidInterfaceClass)
        records = linuxhid::interfacesOf(linuxhid::scanHidrawNodes(config_.sysfsRoot), config_.devRoot);
    std::lock_guard lock(mutex_);
    if (!setupLoaded_) return HidStatus::Missing;
    // A full listing replaces what earlier ones recorded, so that the path of
    // a device that has left stops resolving; a path announced after this
    // scan began still resolves through sysfs.
    if (cls == kHidInterfaceClass) {
        known_.clear();
        openFailures_.clear();
        for (const InterfaceRecord& r : records) known_[r.path] = r;
    }
    out = sets_.createOf(records);
    return HidStatus::Ok;
}

HidStatus HidrawBackend::enumInterface(InterfaceSet set, const Guid& cls, int index) {
    std::string path;
    return interfaceDetail(set, cls, index, path);
}

HidStatus HidrawBackend::interfaceDetail(InterfaceSet set, const Guid& cls, int index, std::string& path) {
    std::lock_guard lock(mutex_);
    if (!setupLoaded_) return HidStatus::Missing;
    const std::string* listed = sets_.path(set, index);
    if (listed == nullptr || !(cls == kHidInterfaceClass)) return HidStatus::Failed;
    path = *listed;
    return HidStatus::Ok;
}

HidStatus HidrawBackend::destroyClassDevs(InterfaceSet set) {
    std::lock_guard lock(mutex_);
    if (!setupLoaded_) return HidStatus::Missing;
    return sets_.destroy(set) ? HidStatus::Ok : HidStatus::Failed;
}

void HidrawBackend::remember(const std::vector<InterfaceRecord>& records) {
    std::lock_guard lock(mutex_);
    for (const InterfaceRecord& r : records) known_[r.path] = r;
}

// The interface behind a Windows-like path: the one recorded by a listing or
// an arrival, else the one that sysfs shows now under that node's name.
bool HidrawBackend::resolve(const std::string& path, InterfaceRecord& record) {
    {
        std::lock_guard lock(mutex_);
        auto it = known_.find(path);
        if (it != known_.end()) {
            record = it->second;
            return true;
        }
    }
    const std::string name = nodeOfPath(path);
    auto node = linuxhid::readHidrawNode(config_.sysfsRoot, name);
    if (!node) return false;
    const auto records = linuxhid::interfacesOf({*node}, config_.devRoot);
    remember(records);
    for (const InterfaceRecord& r : records) {
        if (r.path == path) {
            record = r;
            return true;
        }
    }
    return false;
}

HidStatus HidrawBackend::open(const std::string& path, Access access, HidHandle& out) {
    // hidraw's ioctls do not look at the access mode, so a write-only handle
    // reads feature reports as a Windows GENERIC_WRITE handle does.
    const int flags = (access == Access::Write ? O_WRONLY : O_RDWR) | O_CLOEXEC;

    InterfaceRecord record;
    const bool interfacePath = isInterfacePath(path);
    if (interfacePath && !resolve(path, record)) return HidStatus::Failed;
    const std::string devnode = interfacePath ? record.devnode : path;

    const int fd = io_.open(devnode.c_str(), flags);
    if (fd < 0) {
        // Why a keyboard is missing from the list is worth telling its user.
        if (interfacePath) {
            const int error = errno;
            std::lock_guard lock(mutex_);
            openFailures_[path] = OpenFailure{record, error};
        }
        return HidStatus::Failed;
    }
    auto device = std::make_shared<OpenDevice>(io_, fd);

    if (interfacePath) {
        // hidraw numbers are reused: a recorded path must still name the same device.
        hidraw_devinfo info{};
        if (device->control(HIDIOCGRAWINFO, &info) < 0 ||
            static_cast<std::uint16_t>(info.vendor) != record.vid ||
            static_cast<std::uint16_t>(info.product) != record.pid)
            return HidStatus::Failed;
        device->caps = record.caps;
        device->haveCaps = true;
    } else {
        int size = 0;
        hidraw_report_descriptor descriptor{};
        if (device->control(HIDIOCGRDESCSIZE, &size) >= 0 && size > 0 &&
            static_cast<std::size_t>(size) <= sizeof descriptor.value) {
            descriptor.size = static_cast<std::uint32_t>(size);
            std::vector<linuxhid::Collection> collections;
            std::string error;
            if (device->control(HIDIOCGRDESC, &descriptor) >= 0 &&
                linuxhid::parseReportDescriptor(descriptor.value, descriptor.size, collections, error) &&
                !collections.empty()) {
                device->caps = collections.front();
                device->haveCaps = true;
            }
        }
    }

    std::lock_guard lock(mutex_);
    const HidHandle handle = nextHandle_++;
    handles_[handle] = std::move(device);
    out = handle;
    return HidStatus::Ok;
}

std::optional<InterfaceRecord> HidrawBackend::describe(const std::string& path) {
    InterfaceRecord record;
    if (!isInterfacePath(path) || !resolve(path, record)) return std::nullopt;
    return record;
}

std::vector<HidrawBackend::OpenFailure> HidrawBackend::openFailures() const {
    std::lock_guard lock(mutex_);
    std::vector<OpenFailure> failures;
    for (const auto& [path, failure] : openFailures_) failures.push_back(failure);
    return failures;
}

void HidrawBackend::close(HidHandle handle) {
    std::shared_ptr<OpenDevice> device;
    {
        std::lock_guard lock(mutex_);
        auto it = handles_.find(handle);
        if (it == handles_.end()) return;
        device = std::move(it->second);
        handles_.erase(it);
    }
}

std::shared_ptr<HidrawBackend::OpenDevice> HidrawBackend::device(HidHandle handle) const {
    auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : it->second;
}

HidStatus HidrawBackend::attributes(HidHandle handle, HidAttributes& out) {
    std::shared_ptr<OpenDevice> dev;
    {
        std::lock_guard lock(mutex_);
        if (!hidLoaded_) return HidStatus::Missing;
        dev = device(handle);
    }
    if (!dev) return HidStatus::Failed;
    hidraw_devinfo info{};
    if (dev->control(HIDIOCGRAWINFO, &info) < 0) return HidStatus::Failed;
    out.vid = static_cast<std::uint16_t>(info.vendor);
    out.pid = static_cast<std::uint16_t>(info.product);
    return HidStatus::Ok;
}

HidStatus HidrawBackend::capabilities(HidHandle handle, HidCaps& out) {
    std::lock_guard lock(mutex_);
    if (!hidLoaded_) return HidStatus::Missing;
    auto dev = device(handle);
    if (!dev || !dev->haveCaps) return HidStatus::Failed;
    out.usagePage = dev->caps.usagePage;
    out.usage = dev->caps.usage;
    out.inputReportByteLength = dev->caps.inputReportByteLength;
    out.outputReportByteLength = dev->caps.outputReportByteLength;
    out.featureReportByteLength = dev->caps.featureReportByteLength;
    return HidStatus::Ok;
}

HidStatus HidrawBackend::setFeature(HidHandle handle, const std::uint8_t* report, std::size_t length) {
    std::shared_ptr<OpenDevice> dev;
    {
        std::lock_guard lock(mutex_);
        if (!hidLoaded_) return HidStatus::Missing;
        dev = device(handle);
    }
    if (!dev || report == nullptr || length == 0) return HidStatus::Failed;
    if (dev->haveCaps) {
        // The kernel sends whatever it is given; Windows refuses a report the
        // collection does not have or a short buffer, and sends a longer
        // buffer cut to the report length.
        const std::size_t reportLength = dev->caps.featureReportByteLength;
        if (!hasFeatureId(dev->caps, report[0]) || length < reportLength) return HidStatus::Failed;
        length = reportLength;
    }
    if (length > kMaxTransfer) return HidStatus::Failed;
    std::vector<std::uint8_t> buffer(report, report + length);
    const int sent = dev->control(HIDIOCSFEATURE(length), buffer.data());
    return sent >= 0 ? HidStatus::Ok : HidStatus::Failed;
}

HidStatus HidrawBackend::getFeature(HidHandle handle, std::uint8_t* buffer, std::size_t length) {
    std::shared_ptr<OpenDevice> dev;
    {
        std::lock_guard lock(mutex_);
        if (!hidLoaded_) return HidStatus::Missing;
        dev = device(handle);
    }
    if (!dev || buffer == nullptr || length == 0) return HidStatus::Failed;
    if (dev->haveCaps &&
        (!hasFeatureId(dev->caps, buffer[0]) || length < dev->caps.featureReportByteLength))
        return HidStatus::Failed;
    // A longer buffer goes through as it is: the kernel fills only the bytes
    // the device returns and leaves the rest as it was, as Windows does.
    const std::size_t ask = std::min(length, kMaxTransfer);
    const int received = dev->control(HIDIOCGFEATURE(ask), buffer);
    return received >= 0 ? HidStatus::Ok : HidStatus::Failed;
}

void HidrawBackend::setDeviceEventSink(DeviceEventSink* sink) {
    std::unique_ptr<Monitor> monitor;
    {
        std::lock_guard lock(mutex_);
        monitor = takeMonitorLocked();
        sink_ = sink;
        if (sink_ != nullptr && setupLoaded_) startMonitorLocked();
    }
}

HotplugSource HidrawBackend::activeHotplugSource() const {
    std::lock_guard lock(mutex_);
    return activeSource_;
}

void HidrawBackend::startMonitorLocked() {
    if (monitor_ || config_.hotplug == HotplugSource::None) return;
    std::unique_ptr<linuxhid::UeventSource> source;
    HotplugSource kind = HotplugSource::None;
    if (config_.hotplug == HotplugSource::Automatic || config_.hotplug == HotplugSource::Udev) {
        source = linuxhid::openUdevUeventSource(udev_);
        if (source) kind = HotplugSource::Udev;
    }
    // Without a udev daemon the kernel's own events are the only ones; they
    // come before any rule has set the node's permissions, which only
    // matters where a daemon would apply them.
    if (!source && (config_.hotplug == HotplugSource::Automatic || config_.hotplug == HotplugSource::Kernel)) {
        source = linuxhid::openKernelUeventSource();
        if (source) kind = HotplugSource::Kernel;
    }
    if (!source) return;

    auto monitor = std::make_unique<Monitor>();
    if (::pipe2(monitor->wake, O_CLOEXEC) != 0) return;
    monitor->source = std::move(source);
    linuxhid::UeventSource* events = monitor->source.get();
    const int wake = monitor->wake[0];
    monitor->thread = std::thread([this, events, wake] {
        for (;;) {
            pollfd fds[2] = {{events->fd(), POLLIN, 0}, {wake, POLLIN, 0}};
            const int ready = ::poll(fds, 2, -1);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            if (fds[0].revents & (POLLERR | POLLNVAL)) return;
            linuxhid::Uevent event;
            while (events->receive(event)) handleUevent(event);
        }
    });
    monitor_ = std::move(monitor);
    activeSource_ = kind;
}

std::unique_ptr<HidrawBackend::Monitor> HidrawBackend::takeMonitorLocked() {
    activeSource_ = HotplugSource::None;
    return std::move(monitor_);
}

void HidrawBackend::handleUevent(const linuxhid::Uevent& event) {
    std::vector<std::string> paths;
    std::uint32_t kind = 0;
    if (event.action == "add") {
        // Identity is read now: at removal sysfs no longer has it.
        auto node = linuxhid::readHidrawNode(config_.sysfsRoot, event.sysname);
        if (!node) return;
        const auto records = linuxhid::interfacesOf({*node}, config_.devRoot);
        std::lock_guard lock(mutex_);
        std::vector<std::string>& announced = announced_[event.sysname];
        for (const std::string& old : announced) known_.erase(old);
        announced.clear();
        for (const InterfaceRecord& r : records) {
            known_[r.path] = r;
            announced.push_back(r.path);
        }
        paths = announced;
        kind = DBT_DEVICEARRIVAL;
    } else if (event.action == "remove") {
        std::lock_guard lock(mutex_);
        auto it = announced_.find(event.sysname);
        if (it != announced_.end()) {
            paths = std::move(it->second);
            announced_.erase(it);
        } else {
            // Present before the monitor started: the listing recorded it.
            for (const auto& [path, record] : known_)
                if (record.node == event.sysname) paths.push_back(path);
        }
        for (const std::string& p : paths) known_.erase(p);
        // A node never seen still tells the listener that something left.
        if (paths.empty())
            paths.push_back(kInterfacePrefix + event.sysname + "#" + linuxhid::lowerGuid(kHidInterfaceClass));
        kind = DBT_DEVICEREMOVECOMPLETE;
    } else {
        return;
    }

    DeviceEventSink* sink;
    {
        std::lock_guard lock(mutex_);
        sink = sink_;
    }
    if (sink == nullptr) return;
    for (const std::string& path : paths)
        sink->deviceChanged(makeInterfaceBroadcast(kind, kHidInterfaceClass, path, false));
}

}  // namespace vantel
