// Runs as the init payload of a small virtual machine with the real HID core,
// uhid and hidraw: keyboards played through uhid are found by the hidraw back
// end, driven through the real link and programmed block by block.
// Prints one line "VANTEL-KERNEL-TEST: PASS" or "VANTEL-KERNEL-TEST: FAIL: <why>".

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "link/commands.h"
#include "link/discovery.h"
#include "link/link.h"
#include "platform/linux/hidraw_backend.h"
#include "uhid_keyboard.h"
#include "usb_gadget.h"

using namespace vantel;
using kerneltest::Firmware;
using kerneltest::UhidKeyboard;

namespace {

struct Failure {
    std::string why;
};

#define EXPECT(cond, message)                                                        \
    do {                                                                             \
        if (!(cond)) {                                                               \
            std::ostringstream os_;                                                  \
            os_ << message << " [" #cond " at line " << __LINE__ << "]";             \
            throw Failure{os_.str()};                                                \
        }                                                                            \
    } while (0)

class ListBox final : public DeviceList {
public:
    void resetContent() override {
        items.clear();
        selection = -1;
    }
    void addString(const std::string& text) override { items.push_back(text); }
    void setCurSel(int index) override { selection = index; }
    int getCurSel() const override { return selection; }
    int getCount() const override { return static_cast<int>(items.size()); }
    std::string getItemText(int index) const override { return items.at(static_cast<std::size_t>(index)); }
    std::vector<std::string> items;
    int selection = -1;
};

// Arrivals and removals as the window would receive them.
class Events final : public DeviceEventSink {
public:
    void deviceChanged(const DeviceBroadcast& b) override {
        std::lock_guard lock(mutex_);
        std::string name(b.name.begin(), b.name.end());
        if (!name.empty() && name.back() == '\0') name.pop_back();
        log_.push_back({b.event, name});
        changed_.notify_all();
    }
    // Waits until an event of `kind` whose name holds `part` has come; its name.
    std::string waitFor(std::uint32_t kind, const std::string& part, int seconds = 20) {
        std::unique_lock lock(mutex_);
        std::string found;
        const bool ok = changed_.wait_for(lock, std::chrono::seconds(seconds), [&] {
            for (auto& [k, n] : log_) {
                if (k == kind && n.find(part) != std::string::npos) {
                    found = n;
                    return true;
                }
            }
            return false;
        });
        (void)ok;
        return found;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        log_.clear();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<std::uint32_t, std::string>> log_;
};

void step(const char* what) {
    std::printf("kernel test: %s\n", what);
    std::fflush(stdout);
}

kerneltest::KeyboardModel model(const char* name, std::uint16_t vid, std::uint16_t pid, Firmware fw) {
    kerneltest::KeyboardModel s;
    s.name = name;
    s.vid = vid;
    s.pid = pid;
    s.firmware = fw;
    s.descriptor = fw == Firmware::Legacy ? kerneltest::legacyKeyboardDescriptor()
                                          : kerneltest::framedKeyboardDescriptor();
    s.flashSize = 4096;
    return s;
}

std::vector<std::uint8_t> testImage(std::size_t size) {
    std::vector<std::uint8_t> image(size);
    std::uint32_t x = 0x12345678;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return image;
}

std::string devnodeOf(const std::string& path) {
    const auto end = path.rfind('#');
    const auto begin = path.rfind('#', end - 1);
    return "/dev/" + path.substr(begin + 1, end - begin - 1);
}

void run() {
    const std::atomic<bool> workerRunning{false};
    HidrawBackend backend;
    EXPECT(backend.loadHidLibrary() && backend.loadSetupLibrary(), "libraries");
    Events events;
    backend.setDeviceEventSink(&events);
    EXPECT(backend.activeHotplugSource() == HotplugSource::Kernel, "the kernel's uevents feed hotplug");
    setLinkBackend(&backend);

    // 1. Two keyboards arrive: one on the framed scheme, one legacy.
    step("two keyboards arrive");
    UhidKeyboard app(model("RX-431 keyboard", 0x0F39, 0x0641, Firmware::Application));
    UhidKeyboard legacy(model("RX-401 keyboard", 0x0404, 0x0322, Firmware::Legacy));
    std::string error;
    EXPECT(app.create(error), error);
    const std::string appArrival = events.waitFor(DBT_DEVICEARRIVAL, "vid_0f39&pid_0641&col02");
    EXPECT(!appArrival.empty(), "arrival of the vendor collection of the framed keyboard");
    EXPECT(legacy.create(error), error);
    const std::string legacyArrival = events.waitFor(DBT_DEVICEARRIVAL, "vid_0404&pid_0322");
    EXPECT(!legacyArrival.empty(), "arrival of the legacy keyboard");
    EXPECT(appArrival.find("_0000") == std::string::npos && appArrival.find("_0001") == std::string::npos,
           "an application keyboard does not look like an ISP device: " << appArrival);

    // 2. A write-only descriptor reads feature reports (the device list opens write-only).
    step("a write-only descriptor reads feature reports");
    {
        const int fd = ::open(devnodeOf(appArrival).c_str(), O_WRONLY | O_CLOEXEC);
        EXPECT(fd >= 0, "open " << devnodeOf(appArrival) << " write-only: " << std::strerror(errno));
        std::uint8_t block[9] = {1};
        const int got = ::ioctl(fd, HIDIOCGFEATURE(9), block);
        const int err = errno;
        ::close(fd);
        EXPECT(got == 9, "HIDIOCGFEATURE on a write-only descriptor: " << got << " " << std::strerror(err));
    }

    // 3. Discovery lists both, as on Windows.
    step("discovery");
    DeviceTable table;
    ListBox list;
    discoverDevices(table, list, -1, workerRunning);
    EXPECT(table.count == 2, "discovery found " << table.count << " keyboards");
    EXPECT(list.items.size() == 2 && list.items[0] == "RX-431" && list.items[1] == "RX-401",
           "device list: " << (list.items.empty() ? std::string("(empty)") : list.items[0]));
    EXPECT(table.entries[0].reportLength == 8 && table.entries[0].legacy == 0, "framed entry");
    EXPECT(table.entries[1].reportLength == 8 && table.entries[1].legacy == 1, "legacy entry");
    EXPECT(table.entries[0].path == appArrival, "listed path " << table.entries[0].path);

    // 4. Framed exchanges on the application firmware.
    step("framed exchanges with the application firmware");
    EXPECT(openLink(table.entries[0].path, Access::Write, &table.entries[0]), "openLink framed keyboard");
    std::string version;
    std::uint32_t rc = CMD_GET_VERSION(false, version);
    EXPECT(rc == 0 && version == "S5301V10", "CMD_GET_VERSION: " << rc << " '" << version << "'");
    std::uint8_t flashKiB = 0;
    std::uint16_t value = 0;
    rc = CMD_ENTER_ISP(flashKiB, value);
    EXPECT(rc == 0 && flashKiB == 4 && value == 0x1234, "CMD_ENTER_ISP: " << rc);
    closeLink();

    // 5. The keyboard leaves and comes back as an ISP device.
    step("the keyboard comes back as an ISP device");
    events.clear();
    app.destroy();
    EXPECT(!events.waitFor(DBT_DEVICEREMOVECOMPLETE, "vid_0f39&pid_0641").empty(), "removal announced");
    UhidKeyboard isp(model("ISP keyboard", 0x0F39, 0x0001, Firmware::Isp));
    EXPECT(isp.create(error), error);
    const std::string ispArrival = events.waitFor(DBT_DEVICEARRIVAL, "pid_0001&col02");
    EXPECT(!ispArrival.empty(), "ISP arrival");
    EXPECT(ispArrival.find("_0001") != std::string::npos, "ISP name carries _0001");

    discoverDevices(table, list, 1, workerRunning);
    EXPECT(table.count == 1 && list.items.size() == 1 && list.items[0] == "ISP Mode", "ISP discovery");
    setLinkReportLength(table.entries[0].reportLength);
    // The worker reopens the arrival's name read-write without an entry.
    EXPECT(openLink(ispArrival, Access::ReadWrite, nullptr), "openLink ISP device");
    rc = CMD_GET_VERSION(true, version);
    EXPECT(rc == 0 && version == "ISP-V2.01/S5301/GF-0641", "CMD_GET_ISP_VERSION: " << rc << " '" << version << "'");

    // 6. Erase and program a small image block by block, then compare the flash.
    step("erase, program and compare the flash");
    rc = CMD_CHIP_ERASE();
    EXPECT(rc == 0, "CMD_CHIP_ERASE: " << rc);
    const std::vector<std::uint8_t> image = testImage(4096);
    for (std::size_t offset = 0; offset < image.size(); offset += 64) {
        rc = CMD_WRITE_BLOCK(static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset),
                             image.data() + offset, 64);
        EXPECT(rc == 0, "CMD_WRITE_BLOCK at " << offset << ": " << rc);
    }
    EXPECT(isp.flash() == image, "the flash holds the image");
    rc = CMD_RESET();
    EXPECT(rc == 0, "CMD_RESET: " << rc);

    // 7. The back end's own checks on a real node.
    step("report checks on a real node");
    HidHandle handle = kNoHandle;
    EXPECT(backend.open(ispArrival, Access::ReadWrite, handle) == HidStatus::Ok, "open");
    std::uint8_t report[8] = {2};
    EXPECT(backend.setFeature(handle, report, 8) == HidStatus::Failed, "report ID 2 is no feature report");
    std::uint8_t longReport[12] = {1, 0xEA, 0x02, 0xB0, 0x58};
    EXPECT(backend.setFeature(handle, longReport, sizeof longReport) == HidStatus::Ok, "long report");
    EXPECT(isp.lastSetReport().size() == 8, "a long report goes out cut to 8 bytes, not "
                                                << isp.lastSetReport().size());
    closeLink();

    // 8. Unplugged under an open handle: the next transfer fails, it does not hang.
    step("unplug under an open handle");
    isp.destroy();
    EXPECT(!events.waitFor(DBT_DEVICEREMOVECOMPLETE, "pid_0001").empty(), "ISP removal announced");
    std::uint8_t block[9] = {1};
    EXPECT(backend.getFeature(handle, block, 9) == HidStatus::Failed, "read after unplug");
    backend.close(handle);
    EXPECT(backend.open(ispArrival, Access::ReadWrite, handle) == HidStatus::Failed, "reopen after unplug");

    // 9. The legacy keyboard answers its unframed version request.
    step("legacy version request");
    EXPECT(openLink(legacyArrival, Access::Write, nullptr), "openLink legacy");
    setLinkLegacy(1);
    setLinkReportLength(8);
    rc = LEGACY_GET_VERSION(version);
    EXPECT(rc == 0 && version == "L1.2", "LEGACY_GET_VERSION: " << rc << " '" << version << "'");
    closeLink();
    legacy.destroy();

    // 10. A legacy keyboard on a real USB interface 0: listed by its "mi_00"
    // path although its usage is not the protocol's, with its own length.
    step("a legacy keyboard on USB interface 0");
    events.clear();
    kerneltest::HidGadget gadget;
    EXPECT(gadget.create(0x0404, 0x0342, kerneltest::legacyGadgetDescriptor(), error), error);
    const std::string usbArrival = events.waitFor(DBT_DEVICEARRIVAL, "vid_0404&pid_0342&mi_00#");
    EXPECT(!usbArrival.empty(), "arrival of the USB keyboard");
    discoverDevices(table, list, -1, workerRunning);
    EXPECT(table.count == 1 && list.items.size() == 1 && list.items[0] == "RX-402",
           "USB discovery found " << table.count);
    EXPECT(table.entries[0].legacy == 1 && table.entries[0].reportLength == 30,
           "USB entry: legacy " << table.entries[0].legacy << ", length " << table.entries[0].reportLength);
    EXPECT(table.entries[0].path == usbArrival, "USB path " << table.entries[0].path);
    EXPECT(openLink(table.entries[0].path, Access::Write, &table.entries[0]), "openLink USB keyboard");
    rc = LEGACY_ENTER_ISP();
    EXPECT(rc == 0, "LEGACY_ENTER_ISP: " << rc);
    // usbhid sends a report of ID 0 without its ID byte.
    const std::vector<std::uint8_t> sent = gadget.readSetReport(5000);
    EXPECT(sent.size() == 29 && sent[0] == 0xA0 && sent[1] == 'I' && sent[2] == 'S' && sent[3] == 'P',
           "the gadget received " << sent.size() << " bytes");
    closeLink();
    gadget.destroy();
    EXPECT(!events.waitFor(DBT_DEVICEREMOVECOMPLETE, "vid_0404&pid_0342&mi_00#").empty(), "USB removal");

    backend.setDeviceEventSink(nullptr);
    releaseLinkLibraries();
    Guid guid;
    EXPECT(backend.hidGuid(guid) == HidStatus::Missing, "released");
}

}  // namespace

int main() {
    try {
        run();
        std::printf("VANTEL-KERNEL-TEST: PASS\n");
    } catch (const Failure& f) {
        std::printf("VANTEL-KERNEL-TEST: FAIL: %s\n", f.why.c_str());
    } catch (const std::exception& e) {
        std::printf("VANTEL-KERNEL-TEST: FAIL: exception %s\n", e.what());
    }
    std::fflush(stdout);
    return 0;
}
