#include "link/link.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "link/discovery.h"
#include "link/timing.h"

namespace vantel {

// Auto-reset: a signal is consumed by the one wait it releases.
class ResponseEvent {
public:
    bool signalled = false;
};

namespace {

// Which delivered reply codes carry data into the caller's record.
bool deliversData(std::uint8_t code) {
    switch (code) {
        case 0xA0: case 0xA5: case 0xA6: case 0xAA: case 0xB0: case 0xB1: case 0xD0:
            return true;
        default:
            return false;
    }
}

// The link's live state and its two locks.
//
// stateMutex guards LinkState, the exchange number and the event. A reply
// reader delivers, fails or gives up only while holding it, and the waiter's
// give-up takes it too, so "is my exchange still the outstanding one" and the
// delivery are one step.
//
// ioMutex is held for every HID transfer on the link's handle and while the
// handle changes. A reader tests, under it, that its exchange is still current
// before each read, so a reader whose exchange was given up never issues
// another read: it cannot swallow a block of a later exchange's reply, and the
// handle is never closed under a transfer.
//
// Lock order: ioMutex before stateMutex.
struct Link {
    std::mutex stateMutex;
    std::condition_variable changed;
    LinkState state;
    std::string path;  // the device the handle belongs to; empty while closed
    std::shared_ptr<ResponseEvent> event;
    std::uint64_t exchange = 0;  // number of the exchange started last
    std::uint64_t waitRunOut = 0;  // the exchange whose wait was ended before its time

    std::mutex ioMutex;
    HidBackend* backend = nullptr;

    std::uint64_t readersStarted = 0;
    std::uint64_t readersRunning = 0;
    std::uint64_t exchanges = 0;
    std::condition_variable readersChanged;

    testing::ReaderProbe probe = nullptr;
    testing::ReaderStartRefusal startRefusal = nullptr;
};

// Never destroyed: a reader thread that outlives a given-up exchange may still
// look at it while the process ends.
Link& theLink() {
    static Link* link = new Link;
    return *link;
}

bool currentLocked(const Link& l, std::uint64_t exchange) {
    return l.state.busy && l.exchange == exchange;
}

enum class BlockRead { Ok, Failed, Stale };

// One feature-report read of a reply block, retried on failure.
BlockRead readBlock(std::uint8_t* block, std::size_t size, std::uint64_t exchange) {
    Link& l = theLink();
    const int attempts = timing().readAttempts;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        std::memset(block, 0, size);
        block[0] = 0x01;
        HidStatus status;
        {
            std::lock_guard<std::mutex> io(l.ioMutex);
            HidHandle handle;
            {
                std::lock_guard<std::mutex> lock(l.stateMutex);
                if (!currentLocked(l, exchange)) return BlockRead::Stale;
                handle = l.state.handle;
            }
            status = l.backend ? l.backend->getFeature(handle, block, size) : HidStatus::Missing;
        }
        if (status == HidStatus::Ok) return BlockRead::Ok;
        if (status == HidStatus::Missing) return BlockRead::Failed;
        sleepMs(timing().readRetryPauseMs);
    }
    return BlockRead::Failed;
}

void readerEnded() {
    Link& l = theLink();
    std::lock_guard<std::mutex> lock(l.stateMutex);
    --l.readersRunning;
    l.readersChanged.notify_all();
}

// Ends the exchange with the failure fill, if it is still the outstanding one.
void failExchange(std::uint8_t* record, std::uint64_t exchange, std::uint8_t code) {
    Link& l = theLink();
    std::lock_guard<std::mutex> lock(l.stateMutex);
    if (!currentLocked(l, exchange)) return;
    for (int i = 0; i < 5; ++i) record[i] = code;
    l.state.busy = false;
    if (l.event) l.event->signalled = true;
    l.changed.notify_all();
}

// Ends the caller's wait for `exchange` as if its time had run out, if it is
// still the outstanding one. Called with the state lock held.
void runOutWaitLocked(Link& l, std::uint64_t exchange) {
    if (!currentLocked(l, exchange)) return;
    l.waitRunOut = exchange;
    l.changed.notify_all();
}

// `pollLimit`: when above 0, the wait also runs out after this many blocks
// that do not start a reply.
void replyReader(std::uint8_t* record, std::uint64_t exchange, int pollLimit) {
    Link& l = theLink();
    std::uint32_t r;
    {
        std::lock_guard<std::mutex> lock(l.stateMutex);
        if (!currentLocked(l, exchange)) return;
        r = l.state.reportLength;
    }
    const std::size_t blockSize = static_cast<std::size_t>(r) + 1;
    // A framed reply needs at least the start and length bytes in a block, and
    // the first block must fit the assembly buffer.
    if (r < 2 || blockSize > kReplyRecordSize) {
        failExchange(record, exchange, 0xE4);
        return;
    }

    std::uint8_t block[kReplyRecordSize];
    std::uint8_t assembly[kReplyRecordSize] = {};

    // Poll until a block starts a reply frame; the keyboard answers busy polls
    // with other blocks, and those are read again at once.
    for (int polls = 1;; ++polls) {
        BlockRead got = readBlock(block, blockSize, exchange);
        if (got == BlockRead::Stale) return;
        if (got == BlockRead::Failed) {
            failExchange(record, exchange, 0xE4);
            return;
        }
        if (block[0] == REPLY_START) break;
        std::lock_guard<std::mutex> lock(l.stateMutex);
        if (!currentLocked(l, exchange)) return;
        if (pollLimit > 0 && polls >= pollLimit) {
            runOutWaitLocked(l, exchange);
            return;
        }
    }

    const std::uint32_t length = block[1];
    // A reply longer than the assembly buffer, or too short to hold a code, a
    // status and a checksum, cannot be taken apart safely.
    if (length > kMaxReplyLength || length < 3) {
        failExchange(record, exchange, 0xE4);
        return;
    }
    std::memcpy(assembly, block, blockSize);

    const std::uint32_t k = r - 1;
    if (length >= k) {
        const std::uint32_t n = length == k ? 1 : (length - k + r) / (r + 1);
        for (std::uint32_t i = 1;; ++i) {
            BlockRead got = readBlock(block, blockSize, exchange);
            if (got == BlockRead::Stale) return;
            if (got == BlockRead::Failed) {
                failExchange(record, exchange, 0xE4);
                return;
            }
            if (i > n) break;  // the extra read ends the reply and is discarded
            const std::size_t offset = static_cast<std::size_t>(i) * blockSize;
            if (offset < kReplyRecordSize) {
                std::memcpy(assembly + offset, block, std::min(blockSize, kReplyRecordSize - offset));
            }
        }
    }

    std::uint8_t sum = 0;
    for (std::uint32_t i = 0; i <= length; ++i) sum ^= assembly[i];
    if (sum != assembly[length + 1]) {
        failExchange(record, exchange, 0xF0);
        return;
    }

    testing::ReaderProbe probe;
    {
        std::lock_guard<std::mutex> lock(l.stateMutex);
        probe = l.probe;
    }
    if (probe) probe(testing::ReaderPoint::BeforeDeliver, exchange);

    std::lock_guard<std::mutex> lock(l.stateMutex);
    if (!currentLocked(l, exchange)) return;
    record[1] = static_cast<std::uint8_t>(length - 3);
    record[0] = assembly[3];
    record[2] = assembly[2];
    if (deliversData(assembly[2])) std::memcpy(record + 3, assembly + 4, length - 3);
    l.state.busy = false;
    if (l.event) l.event->signalled = true;
    l.changed.notify_all();
}

}  // namespace

void setLinkBackend(HidBackend* backend) {
    Link& l = theLink();
    std::lock_guard<std::mutex> io(l.ioMutex);
    l.backend = backend;
}

HidBackend* linkBackend() {
    Link& l = theLink();
    std::lock_guard<std::mutex> io(l.ioMutex);
    return l.backend;
}

LinkState linkState() {
    Link& l = theLink();
    std::lock_guard<std::mutex> lock(l.stateMutex);
    LinkState s = l.state;
    s.responseEvent = l.event.get();
    return s;
}

bool linkOpen() {
    Link& l = theLink();
    std::lock_guard<std::mutex> lock(l.stateMutex);
    return l.state.handle != LINK_CLOSED;
}

std::string linkPath() {
    Link& l = theLink();
    std::lock_guard<std::mutex> lock(l.stateMutex);
    return l.path;
}

void setLinkReportLength(std::uint32_t reportLength) {
    Link& l = theLink();
    std::lock_guard<std::mutex> lock(l.stateMutex);
    l.state.reportLength = reportLength;
}

void setLinkLegacy(std::uint32_t legacy) {
    Link& l = theLink();
    std::lock_guard<std::mutex> lock(l.stateMutex);
    l.state.legacy = legacy;
}

void ensureResponseEvent() {
    Link& l = theLink();
    std::lock_guard<std::mutex> lock(l.stateMutex);
    if (!l.event) l.event = std::make_shared<ResponseEvent>();
}

bool openLink(const std::string& path, Access access, const DeviceEntry* entry) {
    closeLink();
    Link& l = theLink();
    std::lock_guard<std::mutex> io(l.ioMutex);
    if (!l.backend) return false;
    HidHandle handle = kNoHandle;
    if (l.backend->open(path, access, handle) != HidStatus::Ok || handle == LINK_CLOSED) return false;
    std::lock_guard<std::mutex> lock(l.stateMutex);
    l.state.handle = handle;
    l.path = path;
    if (entry) {
        l.state.reportLength = entry->reportLength;
        l.state.legacy = entry->legacy;
    }
    if (!l.event) l.event = std::make_shared<ResponseEvent>();
    return true;
}

void closeLink() {
    Link& l = theLink();
    std::lock_guard<std::mutex> io(l.ioMutex);
    std::lock_guard<std::mutex> lock(l.stateMutex);
    if (l.state.handle == LINK_CLOSED) return;
    if (l.backend) l.backend->close(l.state.handle);
    l.state.handle = LINK_CLOSED;
    l.path.clear();
    l.event.reset();
    l.state.busy = false;
    l.changed.notify_all();
}

bool sendFrame(const std::uint8_t* frame, std::size_t length) {
    Link& l = theLink();
    std::uint32_t r;
    {
        std::lock_guard<std::mutex> lock(l.stateMutex);
        r = l.state.reportLength;
    }
    if (length == 0) return true;
    if (r < 2) return false;  // a report must carry the ID and at least one frame byte
    const std::size_t k = r - 1;
    const std::size_t count = length / k + (length % k ? 1 : 0);
    std::unique_ptr<std::uint8_t[]> report(new std::uint8_t[r]);
    for (std::size_t i = 0; i < count; ++i) {
        std::memset(report.get(), 0, r);
        report[0] = 0x01;
        const std::size_t offset = i * k;
        std::memcpy(report.get() + 1, frame + offset, std::min(k, length - offset));
        std::lock_guard<std::mutex> io(l.ioMutex);
        HidHandle handle;
        {
            std::lock_guard<std::mutex> lock(l.stateMutex);
            handle = l.state.handle;
        }
        if (!l.backend || l.backend->setFeature(handle, report.get(), r) != HidStatus::Ok) return false;
    }
    return true;
}

std::uint32_t awaitReply(std::uint8_t* record) {
    Link& l = theLink();
    std::unique_lock<std::mutex> lock(l.stateMutex);
    if (l.state.busy) return LINK_BUSY;
    if (!l.event) l.event = std::make_shared<ResponseEvent>();
    std::shared_ptr<ResponseEvent> event = l.event;
    event->signalled = false;
    l.state.busy = true;
    const std::uint64_t exchange = ++l.exchange;
    ++l.exchanges;
    const int pollLimit = timing().replyWaitPolls;
    try {
        if (l.startRefusal && l.startRefusal(exchange)) {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        std::thread([record, exchange, pollLimit] {
            replyReader(record, exchange, pollLimit);
            readerEnded();
        }).detach();
    } catch (const std::system_error&) {
        l.state.busy = false;
        return LINK_READ_FAILED;
    }
    ++l.readersStarted;
    ++l.readersRunning;  // counted down by the reader thread as it ends
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timing().replyWaitMs);
    l.changed.wait_until(lock, deadline, [&] { return event->signalled || l.waitRunOut == exchange; });
    if (!event->signalled) {
        // Give up: from here on the reader finds its exchange no longer current.
        if (l.exchange == exchange) l.state.busy = false;
        return LINK_TIMEOUT;
    }
    event->signalled = false;
    if (record[0] == record[1] && record[0] == record[2] && record[0] == record[3] && record[0] == record[4]) {
        return record[0];
    }
    return 0;
}

bool readFeatureRetry(std::uint8_t* buffer, std::size_t length) {
    Link& l = theLink();
    const int attempts = timing().readAttempts;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        HidStatus status;
        {
            std::lock_guard<std::mutex> io(l.ioMutex);
            HidHandle handle;
            {
                std::lock_guard<std::mutex> lock(l.stateMutex);
                handle = l.state.handle;
            }
            status = l.backend ? l.backend->getFeature(handle, buffer, length) : HidStatus::Missing;
        }
        if (status == HidStatus::Ok) return true;
        if (status == HidStatus::Missing) return false;
        sleepMs(timing().readRetryPauseMs);
    }
    return false;
}

bool setFeatureOnLink(const std::uint8_t* report, std::size_t length) {
    Link& l = theLink();
    std::lock_guard<std::mutex> io(l.ioMutex);
    HidHandle handle;
    {
        std::lock_guard<std::mutex> lock(l.stateMutex);
        handle = l.state.handle;
    }
    return l.backend && l.backend->setFeature(handle, report, length) == HidStatus::Ok;
}

void releaseLinkLibraries() {
    Link& l = theLink();
    std::lock_guard<std::mutex> io(l.ioMutex);
    if (l.backend) l.backend->releaseLibraries();
}

LinkCounters linkCounters() {
    Link& l = theLink();
    std::lock_guard<std::mutex> lock(l.stateMutex);
    return {l.readersStarted, l.readersRunning, l.exchanges};
}

bool waitForReadersToEnd(int timeoutMs) {
    Link& l = theLink();
    std::unique_lock<std::mutex> lock(l.stateMutex);
    return l.readersChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return l.readersRunning == 0; });
}

namespace testing {

void setReaderProbe(ReaderProbe probe) {
    Link& l = theLink();
    std::lock_guard<std::mutex> lock(l.stateMutex);
    l.probe = probe;
}

std::uint64_t currentExchange() {
    Link& l = theLink();
    std::lock_guard<std::mutex> lock(l.stateMutex);
    return l.exchange;
}

void setReaderStartRefusal(ReaderStartRefusal refusal) {
    Link& l = theLink();
    std::lock_guard<std::mutex> lock(l.stateMutex);
    l.startRefusal = refusal;
}

bool runOutReplyWait() {
    Link& l = theLink();
    std::lock_guard<std::mutex> lock(l.stateMutex);
    if (!l.state.busy) return false;
    runOutWaitLocked(l, l.exchange);
    return true;
}

}  // namespace testing

}  // namespace vantel
