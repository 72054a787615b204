#include "link/commands.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "link/link.h"
#include "link/timing.h"

namespace vantel {

std::uint8_t xorChecksum(const std::uint8_t* bytes, std::size_t n) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum ^= bytes[i];
    return sum;
}

std::vector<std::uint8_t> buildRequest(std::uint8_t code, const std::uint8_t* args, std::size_t n) {
    std::vector<std::uint8_t> frame;
    frame.reserve(n + 4);
    frame.push_back(REQUEST_START);
    frame.push_back(static_cast<std::uint8_t>(n + 2));
    frame.push_back(code);
    if (n) frame.insert(frame.end(), args, args + n);
    frame.push_back(xorChecksum(frame.data(), frame.size()));
    return frame;
}

namespace {

std::size_t boundedLength(const char* text, std::size_t max) {
    std::size_t n = 0;
    while (n < max && text[n] != '\0') ++n;
    return n;
}

// The framed exchange every standard command performs. Returns 0 when a reply
// was delivered into `record` (its status is record[0]), else the link code.
std::uint32_t exchange(const std::vector<std::uint8_t>& frame, ReplyRecord& record) {
    if (!linkOpen()) return LINK_NOT_OPEN;
    if (!sendFrame(frame.data(), frame.size())) return LINK_SEND_FAILED;
    return awaitReply(record.data());
}

std::uint32_t standard(std::uint8_t code, const std::uint8_t* args = nullptr, std::size_t n = 0) {
    ReplyRecord record{};
    std::uint32_t r = exchange(buildRequest(code, args, n), record);
    return r ? r : record[0];
}

std::uint32_t enterIsp(std::uint8_t code, bool retrySend, std::uint8_t& flashKiB, std::uint16_t& value) {
    if (!linkOpen()) return LINK_NOT_OPEN;
    const std::vector<std::uint8_t> frame = buildRequest(code, nullptr, 0);
    const int attempts = retrySend ? std::max(1, timing().bootSendAttempts) : 1;
    bool sent = false;
    for (int attempt = 0; attempt < attempts && !sent; ++attempt) {
        if (attempt > 0) sleepMs(timing().bootSendPauseMs);
        sent = sendFrame(frame.data(), frame.size());
    }
    if (!sent) return LINK_SEND_FAILED;
    ReplyRecord record{};
    std::uint32_t r = awaitReply(record.data());
    if (r) return r;
    flashKiB = record[3];
    value = static_cast<std::uint16_t>(record[4] | record[5] << 8);
    return record[0];
}

// Legacy reports: report ID 0, the command in bytes 1..4, sent as R bytes.
// A device whose reports are longer than the 30-byte buffer is refused.
std::uint32_t legacySend(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4) {
    const LinkState link = linkState();
    if (link.handle == LINK_CLOSED) return LINK_NOT_OPEN;
    if (link.reportLength > kLegacyBufferSize) return LINK_SEND_FAILED;
    std::array<std::uint8_t, kLegacyBufferSize> buffer{};
    buffer[1] = b1;
    buffer[2] = b2;
    buffer[3] = b3;
    buffer[4] = b4;
    // The legacy scheme has no acknowledgement; a refused report is not reported.
    (void)setFeatureOnLink(buffer.data(), link.reportLength);
    return 0;
}

}  // namespace

std::uint32_t CMD_ENTER_ISP(std::uint8_t& flashKiB, std::uint16_t& value) {
    return enterIsp(opcode::ENTER_ISP, false, flashKiB, value);
}

std::uint32_t CMD_ENTER_ISP_BOOT(std::uint8_t& flashKiB, std::uint16_t& value) {
    return enterIsp(opcode::ENTER_ISP_BOOT, true, flashKiB, value);
}

std::uint32_t CMD_WRITE_BLOCK(std::uint8_t hi, std::uint8_t lo, const std::uint8_t* data, std::size_t n) {
    if (!linkOpen()) return LINK_NOT_OPEN;
    n = std::min(n, kMaxWriteBlockData);
    std::vector<std::uint8_t> args;
    args.reserve(n + 2);
    args.push_back(hi);
    args.push_back(lo);
    args.insert(args.end(), data, data + n);
    const std::vector<std::uint8_t> frame = buildRequest(opcode::WRITE_BLOCK, args.data(), args.size());
    // The write waits for its reply even when a report was refused: the
    // keyboard may still have taken the block, and its answer says so.
    (void)sendFrame(frame.data(), frame.size());
    std::array<std::uint8_t, kReplyRecordSize + 1> record{};
    // Any failure of the wait is the result: a reader that could not start
    // leaves the record as zeroed, which must not read as a written block.
    std::uint32_t r = awaitReply(record.data());
    if (r != 0) return r;
    return record[0];
}

std::uint32_t CMD_GOTO_PAGE(std::uint8_t page) { return standard(opcode::GOTO_PAGE, &page, 1); }

std::uint32_t CMD_CHIP_ERASE() { return standard(opcode::CHIP_ERASE); }

std::uint32_t CMD_ISP_CHECK_PROFILE(const std::uint8_t record[10]) {
    return standard(opcode::ISP_CHECK_PROFILE, record, 10);
}

std::uint32_t CMD_GET_VERSION(bool isp, std::string& version) {
    ReplyRecord record{};
    std::uint32_t r = exchange(buildRequest(isp ? opcode::GET_ISP_VERSION : opcode::GET_VERSION, nullptr, 0), record);
    if (r) return r;
    const std::size_t length = std::min<std::size_t>(record[1], kReplyRecordSize - 3);
    const char* text = reinterpret_cast<const char*>(record.data() + 3);
    version.assign(text, boundedLength(text, length));
    return record[0];
}

std::uint32_t CMD_SET_MODE_FLAG(bool on) {
    const std::uint8_t arg = on ? 1 : 0;
    return standard(opcode::SET_MODE_FLAG, &arg, 1);
}

std::uint32_t CMD_RESET() { return standard(opcode::RESET); }

std::uint32_t CMD_CHECK_PROFILE(const std::uint8_t* code, std::size_t n) {
    n = std::min<std::size_t>(n, 10);
    ReplyRecord record{};
    std::uint32_t r = exchange(buildRequest(opcode::CHECK_PROFILE, code, n), record);
    if (r) return r;
    // A reply to another command is not an answer to this check.
    if (record[2] != opcode::CHECK_PROFILE) return LINK_BUSY;
    return record[0];
}

std::uint32_t CMD_CHECK_PROFILE(const char* code) {
    return CMD_CHECK_PROFILE(reinterpret_cast<const std::uint8_t*>(code), std::strlen(code));
}

std::uint32_t CMD_TEST_MODE() {
    const std::uint8_t arg = 0x01;
    return standard(opcode::TEST_MODE, &arg, 1);
}

std::uint32_t CMD_FACTORY_DEFAULTS() {
    const std::uint8_t args[3] = {0, 0, 0};
    return standard(opcode::FACTORY_DEFAULTS, args, 3);
}

std::uint32_t LEGACY_ENTER_ISP() { return legacySend(0xA0, 'I', 'S', 'P'); }
std::uint32_t LEGACY_TEST_MODE() { return legacySend(0xA0, 'T', 'S', 'T'); }
std::uint32_t LEGACY_RESET() { return legacySend(0xA0, 'R', 'S', 'T'); }
std::uint32_t LEGACY_FACTORY_DEFAULTS() { return legacySend(0xFF, 0, 0, 0); }

std::uint32_t LEGACY_GET_VERSION(std::string& version) {
    std::uint32_t r = legacySend(0xA0, 'V', 'E', 'R');
    if (r) return r;
    const std::uint32_t length = linkState().reportLength;
    std::array<std::uint8_t, kLegacyBufferSize> buffer{};
    (void)readFeatureRetry(buffer.data(), length);
    if (buffer[1] != 0xA0) return 1;
    // The text ends at its zero byte, or at the end of the buffer when the
    // keyboard left it unterminated.
    const char* text = reinterpret_cast<const char*>(buffer.data() + 2);
    version.assign(text, boundedLength(text, kLegacyBufferSize - 2));
    return 0;
}

}  // namespace vantel
