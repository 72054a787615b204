#pragma once
// The one process-wide keyboard link: HID feature-report transport with its
// framed request/reply exchange and the retrying read of the legacy scheme.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "link/hid_backend.h"

namespace vantel {

struct DeviceEntry;

inline constexpr HidHandle LINK_CLOSED = -1;

// Results of a keyboard command besides 0 (success) and the keyboard's own status.
enum : std::uint32_t {
    LINK_NOT_OPEN = 225,
    LINK_SEND_FAILED = 226,
    LINK_TIMEOUT = 227,
    LINK_READ_FAILED = 228,
    LINK_READ_FAILED_CONT = 229,  // reserved: a failed continuation read is reported as 228
    LINK_BUSY = 231,
    LINK_BAD_CHECKSUM = 240,
};

inline constexpr std::uint8_t REQUEST_START = 0xEA;
inline constexpr std::uint8_t REPLY_START = 0xED;
inline constexpr std::size_t kReplyRecordSize = 64;
inline constexpr std::size_t kMaxReplyLength = 61;  // the length byte of a reply that fits 64 bytes

// The caller's buffer for one exchange: status, data length, reply code, data.
using ReplyRecord = std::array<std::uint8_t, kReplyRecordSize>;

// Auto-reset event: each signal releases exactly one wait.
class ResponseEvent;

struct LinkState {
    HidHandle handle = LINK_CLOSED;
    std::uint32_t reportLength = 0;  // R, report-ID byte included; 8 on the framed scheme
    ResponseEvent* responseEvent = nullptr;  // none until the first openLink
    bool busy = false;                        // an exchange is outstanding
    std::uint32_t legacy = 0;                 // vendor 0x0404 report scheme
};

// The HID stack every link operation goes through. Set once at start-up.
void setLinkBackend(HidBackend* backend);
HidBackend* linkBackend();

// A snapshot of the link state (the live state is guarded inside the link).
LinkState linkState();
bool linkOpen();
// The device path the link is open on; empty while it is closed. Handle values
// are reused by the system, so a path is what tells which device the link is.
std::string linkPath();
// Sets R and the legacy flag; used when an arrival records the ISP device's length.
void setLinkReportLength(std::uint32_t reportLength);
void setLinkLegacy(std::uint32_t legacy);
// Creates the response event when there is none (the arrival and the worker do this).
void ensureResponseEvent();

// closeLink(), then open `path`. With an entry, R and the legacy flag are taken
// from it; without one they keep their values. Creates the response event when
// there is none. False: the link stays closed.
bool openLink(const std::string& path, Access access, const DeviceEntry* entry);
// Closes the device, releases the response event and clears busy. No-op when closed.
void closeLink();

// Splits a request frame into R-byte output reports (report ID 1) and sends
// them back to back. True when every report was accepted, or for an empty frame.
bool sendFrame(const std::uint8_t* frame, std::size_t length);

// Starts a reply reader for `record` and waits for it up to the reply wait (and,
// with replyWaitPolls set, no longer than that many blocks without a reply).
// Returns LINK_BUSY, LINK_TIMEOUT, the reader's failure code (228 or 240), or 0
// when a reply was delivered (its status is then record[0]).
std::uint32_t awaitReply(std::uint8_t* record);

// One legacy-scheme feature-report read of `length` bytes, retried.
bool readFeatureRetry(std::uint8_t* buffer, std::size_t length);

// One plain feature-report write of `length` bytes on the open link (legacy scheme).
bool setFeatureOnLink(const std::uint8_t* report, std::size_t length);

// Releases the platform libraries once no transfer is in flight; nothing uses
// them afterwards. Safe to call more than once.
void releaseLinkLibraries();

// Observability for tests and benchmarks.
struct LinkCounters {
    std::uint64_t readersStarted = 0;
    std::uint64_t readersRunning = 0;
    std::uint64_t exchanges = 0;
};
LinkCounters linkCounters();
// Blocks until no reply reader thread is running (bounded by `timeoutMs`); true when none runs.
bool waitForReadersToEnd(int timeoutMs);

namespace testing {
// Points in a reply reader at which a test may hold it, to order a stale reader
// against a later exchange without sleeping.
enum class ReaderPoint { BeforeDeliver };
using ReaderProbe = void (*)(ReaderPoint point, std::uint64_t exchange);
void setReaderProbe(ReaderProbe probe);
// The number of the exchange started last (1 for the first).
std::uint64_t currentExchange();
// Asked before each reply reader is started (with the link's state lock held);
// true makes the start fail as when no thread can be created.
using ReaderStartRefusal = bool (*)(std::uint64_t exchange);
void setReaderStartRefusal(ReaderStartRefusal refusal);

// Ends the outstanding exchange's reply wait as if its time had run out, so that
// a test makes a held reply late without waiting the wait out. False when no
// exchange is outstanding.
bool runOutReplyWait();
}  // namespace testing

}  // namespace vantel
