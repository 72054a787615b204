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

TEST(UdevRules, EverySupportedVendorGetsAccessOnBothSubsystems) {
    const std::string rules = readFile(VANTEL_UDEV_RULES_FILE);
    ASSERT_FALSE(rules.empty());
    std::set<std::string> lines;
    std::istringstream in(rules);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') lines.insert(line);

    std::set<std::string> expected;
    for (std::uint32_t vid = 0; vid <= 0xFFFF; ++vid) {
        if (!isSupportedVendor(vid)) continue;
        char id[8];
        std::snprintf(id, sizeof id, "%04x", static_cast<unsigned>(vid));
        for (const char* subsystem : {"hidraw", "usb"})
            expected.insert(std::string("SUBSYSTEM==\"") + subsystem + "\", ATTRS{idVendor}==\"" + id +
                            "\", MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\"");
    }
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(lines.size(), 20u);
    EXPECT_EQ(lines.count("SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"0f39\", MODE=\"0660\", "
                          "GROUP=\"plugdev\", TAG+=\"uaccess\""), 1u);
    // The copy kept in the tree for packagers is the generated one.
    EXPECT_EQ(readFile(VANTEL_SOURCE_UDEV_RULES), rules);
}
#endif

}  // namespace
}  // namespace vantel::linuxhid
