#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "link/discovery.h"
#include "platform/linux/uevent_source.h"

namespace vantel::linuxhid {
namespace {

bool parse(const std::string& message, Uevent& event) {
    return parseKernelUevent(message.data(), message.size(), event);
}

TEST(KernelUevents, HidrawEventsAreTakenAndOthersDropped) {
    using namespace std::string_literals;
    Uevent e;
    ASSERT_TRUE(parse("add@/devices/virtual/misc/uhid/0003:0F39:0641.0001/hidraw/hidraw3\0ACTION=add\0"
                      "DEVPATH=/devices/virtual/misc/uhid/0003:0F39:0641.0001/hidraw/hidraw3\0"
                      "SUBSYSTEM=hidraw\0MAJOR=240\0MINOR=3\0DEVNAME=hidraw3\0SEQNUM=1234\0"s,
                      e));
    EXPECT_EQ(e.action, "add");
    EXPECT_EQ(e.sysname, "hidraw3");

    // The device name alone will do; no trailing terminator either.
    ASSERT_TRUE(parse("remove@/x\0ACTION=remove\0SUBSYSTEM=hidraw\0DEVNAME=hidraw12"s, e));
    EXPECT_EQ(e.action, "remove");
    EXPECT_EQ(e.sysname, "hidraw12");

    EXPECT_FALSE(parse("add@/devices/x/input/input5\0ACTION=add\0SUBSYSTEM=input\0DEVPATH=/x/input5\0"s, e));
    EXPECT_FALSE(parse("add@/x\0SUBSYSTEM=hidraw\0DEVNAME=hidraw1\0"s, e));         // no action
    EXPECT_FALSE(parse("add@/x\0ACTION=add\0SUBSYSTEM=hidraw\0"s, e));              // no name
    EXPECT_FALSE(parse("libudev\0ACTION=add\0SUBSYSTEM=hidraw\0DEVNAME=hidraw1\0"s, e));  // not the kernel's
    EXPECT_FALSE(parse(""s, e));
}

#ifdef VANTEL_UDEV_RULES_FILE
std::string readFile(const char* path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(UdevRules, OneNarrowHidrawLinePerModelAndBootLoader) {
    const std::string rules = readFile(VANTEL_UDEV_RULES_FILE);
    ASSERT_FALSE(rules.empty());
    std::set<std::string> lines;
    std::istringstream in(rules);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        EXPECT_TRUE(lines.insert(line).second) << "twice: " << line;
        // Raw USB access is never handed out, nor a mode anyone may write.
        EXPECT_EQ(line.rfind("SUBSYSTEM==\"hidraw\", ", 0), 0u) << line;
        EXPECT_EQ(line.find("usb\""), std::string::npos) << line;
        EXPECT_NE(line.find("MODE=\"0660\""), std::string::npos) << line;
        EXPECT_NE(line.find("TAG+=\"uaccess\""), std::string::npos) << line;
        EXPECT_NE(line.find("ATTRS{idProduct}==\""), std::string::npos) << line;
    }

    // Every pair the device list names as a model, and both boot-loader IDs of
    // every supported vendor; nothing else of those vendors.
    auto line = [](std::uint32_t vid, std::uint32_t pid) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\", "
                      "MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\"",
                      vid, pid);
        return std::string(text);
    };
    std::set<std::string> expected;
    for (std::uint32_t vid = 0; vid <= 0xFFFF; ++vid) {
        if (!isSupportedVendor(vid)) continue;
        expected.insert(line(vid, 0x0000));
        expected.insert(line(vid, 0x0001));
        for (std::uint32_t pid = 2; pid <= 0xFFFF; ++pid) {
            const std::string name = modelName(vid, pid);
            if (name.rfind("VID: ", 0) != 0) expected.insert(line(vid, pid));
        }
    }
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(lines.count(line(0x0F39, 0x0641)), 1u);  // RX-431
    EXPECT_EQ(lines.count(line(0x1130, 0x0001)), 1u);  // a boot loader never named "ISP Mode"
    EXPECT_EQ(lines.count(line(0x0F39, 0x0642)), 0u);  // another device of a supported vendor
    // The copy kept in the tree (the one installed) is the generated one.
    EXPECT_EQ(readFile(VANTEL_SOURCE_UDEV_RULES), rules);
}
#endif

}  // namespace
}  // namespace vantel::linuxhid
