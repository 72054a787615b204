// The reply path of the link under hostile keyboards: a back end that answers
// every feature-report read with the fuzzer's bytes, a real framed exchange
// (version read, ISP entry, profile check, block write, page select) and the
// real reply reader thread.
//
// Input: byte 0 picks the report length R (mostly 8, sometimes anything from
// 0 to 69), then up to four exchanges follow, each starting with one byte that
// picks the command and whether its request send fails; every further read
// takes the next R+1 bytes. When the bytes run out, reads fail.
//
// Checked after every exchange: the result is a byte, the link is not left
// busy, the version text stays within the reply, and once the input is done
// no reader thread is still running.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/commands.h"
#include "link/discovery.h"
#include "link/hid_backend.h"
#include "link/link.h"
#include "link/timing.h"

namespace {

class FuzzedKeyboard : public vantel::HidBackend {
public:
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    bool failSends = false;

    bool loadHidLibrary() override { return true; }
    bool loadSetupLibrary() override { return true; }
    bool hidLibraryLoaded() const override { return true; }
    bool setupLibraryLoaded() const override { return true; }
    void releaseLibraries() override {}
    vantel::HidStatus hidGuid(vantel::Guid&) override { return vantel::HidStatus::Failed; }
    vantel::HidStatus getClassDevs(const vantel::Guid&, vantel::InterfaceSet& out) override {
        out = 0;
        return vantel::HidStatus::Failed;
    }
    vantel::HidStatus enumInterface(vantel::InterfaceSet, const vantel::Guid&, int) override {
        return vantel::HidStatus::Failed;
    }
    vantel::HidStatus interfaceDetail(vantel::InterfaceSet, const vantel::Guid&, int, std::string&) override {
        return vantel::HidStatus::Failed;
    }
    vantel::HidStatus destroyClassDevs(vantel::InterfaceSet) override { return vantel::HidStatus::Ok; }
    vantel::HidStatus open(const std::string&, vantel::Access, vantel::HidHandle& out) override {
        out = 7;
        return vantel::HidStatus::Ok;
    }
    void close(vantel::HidHandle) override {}
    vantel::HidStatus attributes(vantel::HidHandle, vantel::HidAttributes&) override {
        return vantel::HidStatus::Failed;
    }
    vantel::HidStatus capabilities(vantel::HidHandle, vantel::HidCaps&) override {
        return vantel::HidStatus::Failed;
    }
    vantel::HidStatus setFeature(vantel::HidHandle, const std::uint8_t* report, std::size_t length) override {
        if (report == nullptr && length != 0) std::abort();
        return failSends ? vantel::HidStatus::Failed : vantel::HidStatus::Ok;
    }
    vantel::HidStatus getFeature(vantel::HidHandle, std::uint8_t* buffer, std::size_t length) override {
        if (pos >= size) return vantel::HidStatus::Failed;
        const std::size_t n = length < size - pos ? length : size - pos;
        std::memcpy(buffer, data + pos, n);
        std::memset(buffer + n, 0, length - n);
        pos += length;
        return vantel::HidStatus::Ok;
    }
};

FuzzedKeyboard& keyboard() {
    static FuzzedKeyboard* kb = [] {
        auto* k = new FuzzedKeyboard;
        vantel::setLinkBackend(k);
        vantel::Timing& t = vantel::timing();
        t.readAttempts = 2;
        t.readRetryPauseMs = 0;
        t.bootSendAttempts = 2;
        t.bootSendPauseMs = 0;
        // Only reached when a reader neither delivers nor fails; the input
        // always runs out long before.
        t.replyWaitMs = 2000;
        return k;
    }();
    return *kb;
}

void check(bool condition) {
    if (!condition) std::abort();
}

void checkResult(std::uint32_t r) {
    check(r <= 0xFF);
    check(!vantel::linkState().busy);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    FuzzedKeyboard& kb = keyboard();
    const std::uint32_t r = data[0] < 200 ? 8 : static_cast<std::uint32_t>(data[0] - 200);

    // The reader threads read `data` through the back end; none may outlive this call.
    check(vantel::waitForReadersToEnd(10000));
    kb.data = data;
    kb.size = size;
    kb.pos = 1;

    vantel::DeviceEntry entry;
    entry.path = "fuzz";
    entry.reportLength = r;
    check(vantel::openLink(entry.path, vantel::Access::ReadWrite, &entry));

    for (int exchange = 0; exchange < 4 && kb.pos < kb.size; ++exchange) {
        const std::uint8_t pick = data[kb.pos++];
        kb.failSends = (pick & 0x80) != 0 && (pick & 0x40) != 0;
        std::uint32_t result = 0;
        switch (pick % 7) {
            case 0:
            case 1: {
                std::string version = "untouched";
                result = vantel::CMD_GET_VERSION(pick % 7 == 1, version);
                checkResult(result);
                check(version.size() <= vantel::kReplyRecordSize - 3);
                break;
            }
            case 2: {
                std::uint8_t kib = 0;
                std::uint16_t value = 0;
                result = vantel::CMD_ENTER_ISP(kib, value);
                checkResult(result);
                break;
            }
            case 3: {
                std::uint8_t kib = 0;
                std::uint16_t value = 0;
                result = vantel::CMD_ENTER_ISP_BOOT(kib, value);
                checkResult(result);
                break;
            }
            case 4:
                result = vantel::CMD_CHECK_PROFILE("GF");
                checkResult(result);
                break;
            case 5: {
                std::uint8_t block[64];
                for (int i = 0; i < 64; ++i) block[i] = static_cast<std::uint8_t>(i * 7 + 1);
                result = vantel::CMD_WRITE_BLOCK(0x12, 0x40, block, sizeof block);
                checkResult(result);
                break;
            }
            default:
                result = vantel::CMD_GOTO_PAGE(pick);
                checkResult(result);
                break;
        }
        (void)result;
    }

    vantel::closeLink();
    check(vantel::waitForReadersToEnd(10000));
    kb.data = nullptr;
    kb.size = 0;
    return 0;
}
