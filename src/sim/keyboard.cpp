// The keyboard model: what the application firmware and the boot loader do
// with the reports they receive, and what they answer.

#include <algorithm>
#include <cstring>

#include "sim/sim_state.h"

namespace vantel::sim {

namespace {

constexpr std::uint8_t kRequestStart = 0xEA;
constexpr std::uint8_t kReplyStart = 0xED;
constexpr std::size_t kMaxReplyData = 58;  // a reply's length byte stays within 61

enum : std::uint8_t {
    ENTER_ISP = 0xA0, WRITE_BLOCK = 0xA1, GOTO_PAGE = 0xA2, CHIP_ERASE = 0xA4,
    ISP_CHECK_PROFILE = 0xA5, GET_ISP_VERSION = 0xA6, SET_MODE_FLAG = 0xA9,
    ENTER_ISP_BOOT = 0xAA, RESET = 0xAF, GET_VERSION = 0xB0, CHECK_PROFILE = 0xB4,
    TEST_MODE = 0xF0, FACTORY_DEFAULTS = 0xF1,
};

std::vector<std::uint8_t> textBytes(const std::string& s) {
    std::vector<std::uint8_t> out(s.begin(), s.end());
    if (out.size() > kMaxReplyData) out.resize(kMaxReplyData);
    return out;
}

std::size_t regionSize(const KeyboardSpec& spec, Region r) {
    int kib = r == Region::Boot ? spec.bootFlashKiB : spec.flashKiB;
    return static_cast<std::size_t>(std::clamp(kib, 1, 255)) * 1024;
}

}  // namespace

void SimState::outputReport(std::size_t k, const PresentInterface& iface, const std::uint8_t* report,
                            std::size_t length, Clock::time_point now) {
    KeyboardState& kb = *keyboards[k];
    // Bytes 1 .. R-1 carry the frame; a report that does not start a frame
    // while none is being assembled is line noise to the firmware.
    const std::uint8_t* bytes = report + 1;
    std::size_t n = length - 1;
    if (kb.assembly.empty() && (n == 0 || bytes[0] != kRequestStart)) return;
    for (std::size_t i = 0; i < n; ++i) {
        kb.assembly.push_back(bytes[i]);
        if (kb.assembly.size() == 2 && kb.assembly[1] < 2) {
            kb.assembly.clear();  // no room for a command byte and a checksum
            return;
        }
        if (kb.assembly.size() >= 2 && kb.assembly.size() == static_cast<std::size_t>(kb.assembly[1]) + 2) {
            std::vector<std::uint8_t> frame;
            frame.swap(kb.assembly);
            request(k, frame, static_cast<std::size_t>(iface.featureLength) + 1, now);
            return;  // the rest of the report is padding
        }
    }
}

bool SimState::matchFault(KeyboardState& kb, std::uint8_t code, int occurrence,
                          std::optional<std::uint32_t> offset, CommandFault& hit) {
    for (auto it = kb.faults.begin(); it != kb.faults.end(); ++it) {
        CommandFault& f = *it;
        if (f.code != code) continue;
        bool match;
        if (f.offset) {
            match = offset && *offset == *f.offset && (f.times == kAlways || f.used < f.times);
        } else {
            match = occurrence >= f.start && (f.times == kAlways || occurrence < f.start + f.times);
        }
        if (!match) continue;
        ++f.used;
        hit = f;
        return true;
    }
    return false;
}

void SimState::request(std::size_t k, const std::vector<std::uint8_t>& frame, std::size_t blockSize,
                       Clock::time_point now) {
    KeyboardState& kb = *keyboards[k];
    const std::size_t L = frame[1];
    const std::uint8_t code = frame[2];
    std::vector<std::uint8_t> args(frame.begin() + 3, frame.begin() + static_cast<std::ptrdiff_t>(L) + 1);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i <= L; ++i) sum ^= frame[i];
    const bool ok = sum == frame[L + 1];
    kb.commands.push_back(ReceivedCommand{code, args, ok, kb.inIsp});

    kb.reply = PendingReply{};
    kb.reply.blockSize = blockSize;
    if (!ok) {
        setReply(k, code, kStatusBadChecksum, {});
        return;
    }
    const int occurrence = ++kb.occurrences[code];
    std::optional<std::uint32_t> offset;
    if (code == WRITE_BLOCK && args.size() >= 2)
        offset = static_cast<std::uint32_t>(kb.page) * 65536u + args[0] * 256u + args[1];

    CommandFault fault;
    bool corrupt = false;
    if (matchFault(kb, code, occurrence, offset, fault)) {
        switch (fault.kind) {
        case FaultSpec::Kind::Remove: {
            leaveNow(k, now);
            if (fault.backMs >= 0)
                scheduleReturn(k, now + std::chrono::milliseconds(fault.backMs), kb.lastIdentity);
            return;
        }
        case FaultSpec::Kind::Status:
            setReply(k, code, fault.status, {});
            return;
        case FaultSpec::Kind::NoAnswer:
            kb.reply.active = true;
            kb.reply.noAnswer = true;
            return;
        case FaultSpec::Kind::BadChecksum:
            corrupt = true;
            break;
        default:
            break;
        }
    }

    execute(k, code, args);
    if (corrupt && kb.reply.active && !kb.reply.bytes.empty()) {
        std::size_t len = kb.reply.bytes[1];
        kb.reply.bytes[len + 1] ^= 0xFF;
    }
    auto busy = kb.spec.busy.find(code);
    if (busy != kb.spec.busy.end()) {
        kb.reply.busyPolls = std::max(0, busy->second.polls);
        if (busy->second.ms > 0) kb.reply.readyAt = now + std::chrono::milliseconds(busy->second.ms);
    }
}

void SimState::setReply(std::size_t k, std::uint8_t code, std::uint8_t status,
                        const std::vector<std::uint8_t>& data) {
    KeyboardState& kb = *keyboards[k];
    PendingReply& r = kb.reply;
    std::size_t n = std::min(data.size(), kMaxReplyData);
    std::vector<std::uint8_t> frame;
    frame.push_back(kReplyStart);
    frame.push_back(static_cast<std::uint8_t>(n + 3));
    frame.push_back(code);
    frame.push_back(status);
    frame.insert(frame.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    std::uint8_t sum = 0;
    for (std::uint8_t b : frame) sum ^= b;
    frame.push_back(sum);
    std::size_t bs = r.blockSize ? r.blockSize : 9;
    frame.resize((frame.size() + bs - 1) / bs * bs, 0);
    r.bytes = std::move(frame);
    r.next = 0;
    r.active = true;
}

void SimState::execute(std::size_t k, std::uint8_t code, const std::vector<std::uint8_t>& args) {
    KeyboardState& kb = *keyboards[k];
    const KeyboardSpec& spec = kb.spec;
    auto sizeReply = [&](int kib) {
        auto v = spec.ispValue;
        return std::vector<std::uint8_t>{static_cast<std::uint8_t>(kib),
                                         static_cast<std::uint8_t>(v & 0xFF),
                                         static_cast<std::uint8_t>(v >> 8)};
    };
    auto modeFlag = [&] {
        if (args.size() != 1) return setReply(k, code, kStatusBadLength, {});
        if (spec.modeFlagStatus != 0) return setReply(k, code, spec.modeFlagStatus, {});
        kb.modeFlag = args[0] != 0;
        kb.modeHistory.push_back(kb.modeFlag);
        setReply(k, code, 0, {});
    };

    if (!kb.inIsp) {
        switch (code) {
        case GET_VERSION:
            return setReply(k, code, 0, textBytes(spec.appVersion));
        case GET_ISP_VERSION:
            return setReply(k, code, 0, textBytes(spec.ispVersion));
        case CHECK_PROFILE: {
            bool accepted;
            if (args.size() == 10) {
                accepted = !spec.profileRecord || *spec.profileRecord == args;
            } else {
                std::string codeText(args.begin(), args.end());
                accepted = std::find(spec.profiles.begin(), spec.profiles.end(), codeText) != spec.profiles.end();
            }
            return setReply(k, code, accepted ? 0 : kStatusRefused, {});
        }
        case SET_MODE_FLAG:
            return modeFlag();
        case TEST_MODE:
            ++kb.testMode;
            return setReply(k, code, 0, {});
        case FACTORY_DEFAULTS:
            ++kb.factory;
            return setReply(k, code, 0, {});
        case RESET:
            ++kb.resets;
            return setReply(k, code, 0, {});
        case ENTER_ISP:
            setReply(k, code, 0, sizeReply(spec.flashKiB));
            // The mode flag keeps the boot loader on the keyboard's own interface.
            if (spec.isp == IspStyle::Separate && !kb.modeFlag) {
                kb.reply.after = AfterReply::LeaveToBoot;
            } else {
                kb.inIsp = true;
                kb.target = Region::Application;
                kb.page = 0;
            }
            return;
        case ENTER_ISP_BOOT:
            // Programming the boot-loader region always happens on the keyboard's own interface.
            setReply(k, code, 0, sizeReply(spec.bootFlashKiB));
            kb.inIsp = true;
            kb.target = Region::Boot;
            kb.page = 0;
            return;
        case GOTO_PAGE:
            if (args.size() != 1) return setReply(k, code, kStatusBadLength, {});
            kb.page = args[0];
            return setReply(k, code, spec.gotoPageStatus, {});
        case WRITE_BLOCK:
        case CHIP_ERASE:
        case ISP_CHECK_PROFILE:
            return setReply(k, code, kStatusWrongMode, {});
        default:
            return setReply(k, code, kStatusUnknownCommand, {});
        }
    }

    // The boot loader.
    FlashRegion& flash = kb.region(kb.target);
    const std::size_t size = regionSize(spec, kb.target);
    switch (code) {
    case ISP_CHECK_PROFILE: {
        if (args.size() != 10) return setReply(k, code, kStatusBadLength, {});
        bool accepted = spec.ispProfileAccepted && (!spec.profileRecord || *spec.profileRecord == args);
        return setReply(k, code, accepted ? 0 : kStatusRefused, {});
    }
    case CHIP_ERASE:
        flash.bytes.assign(size, spec.erasedValue);
        flash.written.assign(size, false);
        flash.blockWrites.clear();
        ++flash.erases;
        return setReply(k, code, 0, {});
    case GOTO_PAGE:
        if (args.size() != 1) return setReply(k, code, kStatusBadLength, {});
        if (static_cast<std::size_t>(args[0]) * 65536 >= size) return setReply(k, code, kStatusOutOfRange, {});
        kb.page = args[0];
        return setReply(k, code, 0, {});
    case WRITE_BLOCK: {
        if (args.size() < 3) return setReply(k, code, kStatusBadLength, {});
        std::size_t offset = static_cast<std::size_t>(kb.page) * 65536 + args[0] * 256u + args[1];
        std::size_t n = args.size() - 2;
        if (offset + n > size) return setReply(k, code, kStatusOutOfRange, {});
        if (flash.bytes.size() != size) {
            flash.bytes.resize(size, spec.erasedValue);
            flash.written.resize(size, false);
        }
        std::copy(args.begin() + 2, args.end(), flash.bytes.begin() + static_cast<std::ptrdiff_t>(offset));
        std::fill(flash.written.begin() + static_cast<std::ptrdiff_t>(offset),
                  flash.written.begin() + static_cast<std::ptrdiff_t>(offset + n), true);
        ++flash.blockWrites[static_cast<std::uint32_t>(offset)];
        return setReply(k, code, 0, {});
    }
    case GET_ISP_VERSION:
        return setReply(k, code, 0, textBytes(spec.ispVersion));
    case RESET:
        ++kb.bootResets;
        if (spec.resetStatus != 0) return setReply(k, code, spec.resetStatus, {});
        setReply(k, code, 0, {});
        if (kb.identity == Identity::Boot) {
            kb.reply.after = AfterReply::LeaveToApplication;
        } else {
            // Same interface: the application firmware answers from now on.
            kb.inIsp = false;
            kb.target = Region::Application;
            kb.page = 0;
        }
        return;
    case SET_MODE_FLAG:
        return modeFlag();
    case ENTER_ISP:
        kb.target = Region::Application;
        return setReply(k, code, 0, sizeReply(spec.flashKiB));
    case ENTER_ISP_BOOT:
        kb.target = Region::Boot;
        return setReply(k, code, 0, sizeReply(spec.bootFlashKiB));
    case GET_VERSION:
    case CHECK_PROFILE:
    case TEST_MODE:
    case FACTORY_DEFAULTS:
        return setReply(k, code, kStatusWrongMode, {});
    default:
        return setReply(k, code, kStatusUnknownCommand, {});
    }
}

void SimState::inputReport(std::size_t k, const PresentInterface& iface, std::uint8_t* buffer,
                           std::size_t length, Clock::time_point now, bool& holdThis, bool& notReady) {
    (void)iface;
    KeyboardState& kb = *keyboards[k];
    PendingReply& r = kb.reply;
    std::memset(buffer, 0, length);
    buffer[0] = 0x01;  // filler: the report ID, nothing to say
    if (!r.active || r.noAnswer || r.next >= r.blocks()) return;
    if (r.busyPolls > 0) {
        --r.busyPolls;
        return;
    }
    if (now < r.readyAt) {
        notReady = true;
        return;
    }
    if (r.next == 0 && holdArmed) {
        holdArmed = false;
        holdThis = true;
    }
    std::size_t n = std::min(length, r.blockSize);
    std::memcpy(buffer, r.bytes.data() + r.next * r.blockSize, n);
    ++r.next;
    if (r.next >= r.blocks()) replyConsumed(k, now);
}

void SimState::replyConsumed(std::size_t k, Clock::time_point now) {
    KeyboardState& kb = *keyboards[k];
    AfterReply after = kb.reply.after;
    kb.reply.after = AfterReply::None;
    switch (after) {
    case AfterReply::None:
        return;
    case AfterReply::LeaveToBoot:
        leaveThenArrive(k, Identity::Boot, kb.spec.leaveMs, kb.spec.reenumerateMs, now);
        return;
    case AfterReply::LeaveToApplication:
        leaveThenArrive(k, Identity::Application, kb.spec.leaveMs, kb.spec.reenumerateMs, now);
        return;
    }
}

void SimState::legacyOutput(std::size_t k, const std::uint8_t* report, std::size_t length,
                            Clock::time_point now) {
    KeyboardState& kb = *keyboards[k];
    std::uint8_t cmd[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i < 4 && i + 1 < length; ++i) cmd[i] = report[i + 1];
    kb.commands.push_back(ReceivedCommand{cmd[0], {cmd[1], cmd[2], cmd[3]}, true, false});
    kb.legacyVersionReady = false;
    auto is = [&](std::uint8_t a, char b, char c, char d) {
        return cmd[0] == a && cmd[1] == static_cast<std::uint8_t>(b) && cmd[2] == static_cast<std::uint8_t>(c) &&
               cmd[3] == static_cast<std::uint8_t>(d);
    };
    const int occurrence = ++kb.occurrences[cmd[0]];
    CommandFault fault;
    if (matchFault(kb, cmd[0], occurrence, std::nullopt, fault)) {
        if (fault.kind == FaultSpec::Kind::Remove) {
            leaveNow(k, now);
            if (fault.backMs >= 0)
                scheduleReturn(k, now + std::chrono::milliseconds(fault.backMs), kb.lastIdentity);
        }
        return;  // a legacy keyboard has no status to answer with: the command is lost
    }
    if (is(0xA0, 'I', 'S', 'P')) {
        leaveThenArrive(k, Identity::Boot, kb.spec.leaveMs, kb.spec.reenumerateMs, now);
    } else if (is(0xA0, 'T', 'S', 'T')) {
        ++kb.testMode;
    } else if (is(0xA0, 'R', 'S', 'T')) {
        ++kb.resets;
    } else if (cmd[0] == 0xFF && cmd[1] == 0 && cmd[2] == 0 && cmd[3] == 0) {
        ++kb.factory;
    } else if (is(0xA0, 'V', 'E', 'R')) {
        kb.legacyVersionReady = true;
    }
}

void SimState::legacyInput(std::size_t k, const PresentInterface& iface, std::uint8_t* buffer,
                           std::size_t length) {
    (void)iface;
    KeyboardState& kb = *keyboards[k];
    std::memset(buffer, 0, length);
    if (!kb.legacyVersionReady || length < 3) return;
    const std::string& text = kb.spec.appVersion;
    buffer[1] = kb.spec.legacyVersion == LegacyVersionForm::WrongMarker ? 0x55 : 0xA0;
    std::size_t room = length - 2;
    if (kb.spec.legacyVersion == LegacyVersionForm::Unterminated) {
        // Every byte from 2 on is text: the report holds no terminator.
        for (std::size_t i = 0; i < room; ++i)
            buffer[2 + i] = i < text.size() && text[i] != 0 ? static_cast<std::uint8_t>(text[i]) : ' ';
    } else {
        std::size_t n = std::min(text.size(), room - 1);
        std::memcpy(buffer + 2, text.data(), n);
    }
}

}  // namespace vantel::sim
