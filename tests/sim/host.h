#pragma once
// A minimal host for driving the simulated keyboard through the HidBackend
// calls alone, with frames built by hand.

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;
using namespace vantel;
using namespace vantel::sim;

inline Bytes frame(std::uint8_t code, const Bytes& args = {}) {
    Bytes f{0xEA, static_cast<std::uint8_t>(args.size() + 2), code};
    f.insert(f.end(), args.begin(), args.end());
    std::uint8_t sum = 0;
    for (auto b : f) sum ^= b;
    f.push_back(sum);
    return f;
}

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct Host {
    SimBackend& sim;
    HidHandle h = kNoHandle;
    std::size_t R = 8;

    explicit Host(SimBackend& s, std::size_t keyboard = 0) : sim(s) { openKeyboard(keyboard); }

    void openKeyboard(std::size_t keyboard) {
        std::string path = sim.keyboard(keyboard).path();
        ASSERT_EQ(sim.open(path, Access::ReadWrite, h), HidStatus::Ok) << path;
    }
    void openPath(const std::string& path) { ASSERT_EQ(sim.open(path, Access::ReadWrite, h), HidStatus::Ok) << path; }

    // Splits a frame into R-byte reports with report ID 1.
    HidStatus send(const Bytes& f) {
        for (std::size_t i = 0; i < f.size(); i += R - 1) {
            Bytes report(R, 0);
            report[0] = 0x01;
            for (std::size_t j = 0; j < R - 1 && i + j < f.size(); ++j) report[1 + j] = f[i + j];
            HidStatus s = sim.setFeature(h, report.data(), report.size());
            if (s != HidStatus::Ok) return s;
        }
        return HidStatus::Ok;
    }

    Bytes get(HidStatus* status = nullptr) {
        Bytes block(R + 1, 0);
        block[0] = 0x01;
        HidStatus s = sim.getFeature(h, block.data(), block.size());
        if (status) *status = s;
        return block;
    }

    // Polls for a reply the way the host's reader does: first block, then the
    // continuation blocks it keeps (the extra discarded read is not made).
    Bytes reply(int maxPolls = 100) {
        for (int i = 0; i < maxPolls; ++i) {
            HidStatus s;
            Bytes first = get(&s);
            if (s != HidStatus::Ok) return {};
            if (first[0] != 0xED) continue;
            std::size_t L = first[1];
            Bytes all = first;
            while (all.size() < L + 2) {
                Bytes next = get(&s);
                if (s != HidStatus::Ok) return {};
                all.insert(all.end(), next.begin(), next.end());
            }
            all.resize(L + 2);
            return all;
        }
        return {};
    }

    Bytes exchange(std::uint8_t code, const Bytes& args = {}) {
        if (send(frame(code, args)) != HidStatus::Ok) return {};
        return reply();
    }

    // The status of a well-formed reply; -1 for no reply, -2 for a bad checksum.
    int status(std::uint8_t code, const Bytes& args = {}) {
        Bytes r = exchange(code, args);
        if (r.size() < 5) return -1;
        std::uint8_t sum = 0;
        for (std::size_t i = 0; i + 1 < r.size(); ++i) sum ^= r[i];
        if (sum != r.back()) return -2;
        EXPECT_EQ(r[2], code);
        return r[3];
    }

    int write(std::uint16_t offset, const Bytes& data) {
        Bytes args{static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset & 0xFF)};
        args.insert(args.end(), data.begin(), data.end());
        return status(0xA1, args);
    }
};

// Records broadcasts; waits for a count without sleeping.
struct EventLog : DeviceEventSink {
    std::mutex m;
    std::condition_variable cv;
    std::vector<DeviceBroadcast> events;
    std::function<void(const DeviceBroadcast&)> onEvent;

    void deviceChanged(const DeviceBroadcast& b) override {
        if (onEvent) onEvent(b);
        std::lock_guard<std::mutex> lock(m);
        events.push_back(b);
        cv.notify_all();
    }
    std::vector<DeviceBroadcast> snapshot() {
        std::lock_guard<std::mutex> lock(m);
        return events;
    }
    static std::string name(const DeviceBroadcast& b) {
        std::string s;
        for (auto c : b.name) {
            if (c == 0) break;
            s.push_back(static_cast<char>(c));
        }
        return s;
    }
};

inline Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + 1);
    return b;
}

}  // namespace simtest
