#pragma once
// A HID back end whose answers a test scripts block by block: it records every
// report sent and serves queued get-feature blocks, or filler blocks (which do
// not start a reply frame) when the queue is empty.

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "link/commands.h"
#include "link/hid_backend.h"
#include "link/link.h"

namespace vantel::test {

using Bytes = std::vector<std::uint8_t>;

// The reply frame ED L code status data... checksum, split into R+1-byte blocks.
inline std::vector<Bytes> replyBlocks(std::uint8_t code, std::uint8_t status, const Bytes& data,
                                      std::size_t r = 8, bool badChecksum = false) {
    Bytes frame{REPLY_START, static_cast<std::uint8_t>(data.size() + 3), code, status};
    frame.insert(frame.end(), data.begin(), data.end());
    std::uint8_t sum = xorChecksum(frame.data(), frame.size());
    frame.push_back(badChecksum ? static_cast<std::uint8_t>(sum ^ 0x55) : sum);
    std::vector<Bytes> blocks;
    for (std::size_t off = 0; off < frame.size(); off += r + 1) {
        Bytes b(r + 1, 0);
        for (std::size_t i = 0; i < r + 1 && off + i < frame.size(); ++i) b[i] = frame[off + i];
        blocks.push_back(b);
    }
    return blocks;
}

struct ScriptedInterface {
    std::string path;
    std::uint16_t vid = 0x0F39;
    std::uint16_t pid = 0x0641;
    std::uint16_t usage = 0x0080;
    std::uint16_t featureLength = 8;
    bool enumFails = false;
    bool detailFails = false;
    bool openFails = false;
    bool attributesFail = false;
    bool capsFail = false;
};

class ScriptedHid : public HidBackend {
public:
    // Device set for discovery.
    std::vector<ScriptedInterface> interfaces;
    bool hidLoaded = true, setupLoaded = true;
    HidStatus guidStatus = HidStatus::Ok;
    HidStatus classDevsStatus = HidStatus::Ok;
    bool nullSet = false;
    bool enumMissing = false, detailMissing = false, attributesMissing = false, capsMissing = false;
    bool destroyed = false;

    // Transfers.
    bool setMissing = false, getMissing = false;
    int failSetCall = -1;    // this set call (0-based) and every later one of `failSetCount` fail
    int failSetCount = 1;
    int failGets = 0;        // the next N get calls fail
    std::function<void(std::size_t getIndex)> beforeGet;  // called outside the lock

    bool loadHidLibrary() override { return hidLoaded; }
    bool loadSetupLibrary() override { return setupLoaded; }
    bool hidLibraryLoaded() const override { return hidLoaded; }
    bool setupLibraryLoaded() const override { return setupLoaded; }
    void releaseLibraries() override { std::lock_guard<std::mutex> l(m_); released = true; }

    HidStatus hidGuid(Guid& out) override {
        out = kHidInterfaceClass;
        return guidStatus;
    }
    HidStatus getClassDevs(const Guid&, InterfaceSet& out) override {
        out = nullSet ? 0 : 77;
        return classDevsStatus;
    }
    HidStatus enumInterface(InterfaceSet, const Guid&, int index) override {
        if (enumMissing) return HidStatus::Missing;
        std::lock_guard<std::mutex> l(m_);
        ++enumCalls;
        if (index >= static_cast<int>(interfaces.size())) return HidStatus::Failed;
        return interfaces[static_cast<std::size_t>(index)].enumFails ? HidStatus::Failed : HidStatus::Ok;
    }
    HidStatus interfaceDetail(InterfaceSet, const Guid&, int index, std::string& path) override {
        if (detailMissing) return HidStatus::Missing;
        const ScriptedInterface& i = interfaces.at(static_cast<std::size_t>(index));
        if (i.detailFails) return HidStatus::Failed;
        path = i.path;
        return HidStatus::Ok;
    }
    HidStatus destroyClassDevs(InterfaceSet) override {
        destroyed = true;
        return HidStatus::Ok;
    }
    HidStatus open(const std::string& path, Access access, HidHandle& out) override {
        std::lock_guard<std::mutex> l(m_);
        for (std::size_t k = 0; k < interfaces.size(); ++k) {
            if (interfaces[k].path != path) continue;
            if (interfaces[k].openFails) return HidStatus::Failed;
            out = static_cast<HidHandle>(100 + k);
            openHandles.insert(out);
            lastAccess = access;
            ++opens;
            return HidStatus::Ok;
        }
        if (path == "device") {  // a bare device for transport tests
            out = 5;
            openHandles.insert(out);
            lastAccess = access;
            ++opens;
            return HidStatus::Ok;
        }
        return HidStatus::Failed;
    }
    void close(HidHandle h) override {
        std::lock_guard<std::mutex> l(m_);
        openHandles.erase(h);
        ++closes;
    }
    HidStatus attributes(HidHandle h, HidAttributes& out) override {
        if (attributesMissing) return HidStatus::Missing;
        const ScriptedInterface* i = find(h);
        if (!i || i->attributesFail) return HidStatus::Failed;
        out.vid = i->vid;
        out.pid = i->pid;
        return HidStatus::Ok;
    }
    HidStatus capabilities(HidHandle h, HidCaps& out) override {
        if (capsMissing) return HidStatus::Missing;
        const ScriptedInterface* i = find(h);
        if (!i || i->capsFail) return HidStatus::Failed;
        out.usagePage = 0xFF00;
        out.usage = i->usage;
        out.featureReportByteLength = i->featureLength;
        return HidStatus::Ok;
    }
    HidStatus setFeature(HidHandle, const std::uint8_t* report, std::size_t length) override {
        if (setMissing) return HidStatus::Missing;
        std::lock_guard<std::mutex> l(m_);
        const int call = setCalls++;
        if (failSetCall >= 0 && call >= failSetCall && call < failSetCall + failSetCount) return HidStatus::Failed;
        sent.emplace_back(report, report + length);
        return HidStatus::Ok;
    }
    HidStatus getFeature(HidHandle, std::uint8_t* buffer, std::size_t length) override {
        if (getMissing) return HidStatus::Missing;
        std::size_t index;
        {
            std::lock_guard<std::mutex> l(m_);
            index = getCalls++;
            getFirstBytes.push_back(buffer[0]);
        }
        if (beforeGet) beforeGet(index);
        std::lock_guard<std::mutex> l(m_);
        if (failGets > 0) {
            --failGets;
            return HidStatus::Failed;
        }
        Bytes block;
        if (!blocks.empty()) {
            block = blocks.front();
            blocks.pop_front();
        } else {
            block.assign(length, 0);
            block[0] = 0x01;  // not a reply start: the keyboard is busy
            ++fillers;
        }
        for (std::size_t i = 0; i < length; ++i) buffer[i] = i < block.size() ? block[i] : 0;
        return HidStatus::Ok;
    }

    void queue(const std::vector<Bytes>& b) {
        std::lock_guard<std::mutex> l(m_);
        blocks.insert(blocks.end(), b.begin(), b.end());
    }
    std::vector<Bytes> sentReports() {
        std::lock_guard<std::mutex> l(m_);
        return sent;
    }
    std::size_t gets() {
        std::lock_guard<std::mutex> l(m_);
        return getCalls;
    }
    std::size_t openCount() {
        std::lock_guard<std::mutex> l(m_);
        return openHandles.size();
    }

    std::vector<Bytes> sent;
    std::deque<Bytes> blocks;
    std::vector<std::uint8_t> getFirstBytes;
    std::set<HidHandle> openHandles;
    Access lastAccess = Access::Write;
    int setCalls = 0;
    std::size_t getCalls = 0;
    int enumCalls = 0;
    int opens = 0, closes = 0;
    std::size_t fillers = 0;
    bool released = false;

private:
    const ScriptedInterface* find(HidHandle h) const {
        if (h < 100) return nullptr;
        std::size_t k = static_cast<std::size_t>(h - 100);
        return k < interfaces.size() ? &interfaces[k] : nullptr;
    }
    std::mutex m_;
};

}  // namespace vantel::test
