#pragma once
#include <gtest/gtest.h>

#include "link/discovery.h"
#include "link/link.h"
#include "link/timing.h"
#include "scripted_hid.h"

namespace vantel::test {

// Opens the scripted device as an 8-byte framed keyboard with short timings.
class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = timing();
        timing().replyWaitMs = 5000;  // a good reply never comes near it; tests of the wait set their own
        timing().readRetryPauseMs = 1;
        timing().bootSendPauseMs = 1;
        setLinkBackend(&hid);
        entry.path = "device";
        entry.reportLength = 8;
        entry.legacy = 0;
    }
    void TearDown() override {
        closeLink();
        EXPECT_TRUE(waitForReadersToEnd(5000));
        testing::setReaderProbe(nullptr);
        setLinkBackend(nullptr);
        timing() = saved_;
    }
    void open(std::uint32_t r = 8, std::uint32_t legacy = 0) {
        entry.reportLength = r;
        entry.legacy = legacy;
        ASSERT_TRUE(openLink("device", Access::Write, &entry));
    }

    ScriptedHid hid;
    DeviceEntry entry;

private:
    Timing saved_;
};

}  // namespace vantel::test
