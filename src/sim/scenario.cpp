// The scenario text format, the built-in scenarios and VANTEL_SIMULATE.
//
// The parser takes hostile input: every number is range-checked, every count
// is bounded, and nothing it accepts can make the simulator allocate more than
// a few megabytes.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/sim.h"

namespace vantel::sim {

namespace {

constexpr std::size_t kMaxKeyboards = 32;
constexpr std::size_t kMaxInterfaces = 8;
constexpr std::size_t kMaxFaults = 256;
constexpr std::size_t kMaxEvents = 256;
constexpr std::size_t kMaxTimeline = 256;    // timed plugs and unplugs
constexpr std::size_t kMaxTextLength = 58;   // a version text that fits one reply
constexpr std::size_t kMaxPathLength = 260;
constexpr long long kMaxMs = 3600000;        // one hour
constexpr std::size_t kMaxLineLength = 4096;

struct NamedCode {
    const char* name;
    std::uint8_t code;
};

constexpr NamedCode kCodes[] = {
    {"enter-isp", 0xA0},        {"write-block", 0xA1},  {"goto-page", 0xA2},
    {"chip-erase", 0xA4},       {"isp-check-profile", 0xA5}, {"get-isp-version", 0xA6},
    {"set-mode-flag", 0xA9},    {"enter-isp-boot", 0xAA}, {"reset", 0xAF},
    {"get-version", 0xB0},      {"check-profile", 0xB4}, {"test-mode", 0xF0},
    {"factory-defaults", 0xF1},
};

struct NamedEntry {
    const char* name;
    Entry entry;
};

constexpr NamedEntry kEntries[] = {
    {"hid-guid", Entry::HidGuid},         {"get-class-devs", Entry::GetClassDevs},
    {"enum-interface", Entry::EnumInterface}, {"interface-detail", Entry::InterfaceDetail},
    {"destroy-class-devs", Entry::DestroyClassDevs}, {"attributes", Entry::Attributes},
    {"capabilities", Entry::Capabilities}, {"set-feature", Entry::SetFeature},
    {"get-feature", Entry::GetFeature},
};

bool parseInteger(const std::string& word, long long min, long long max, long long& out) {
    if (word.empty() || word.size() > 20) return false;
    std::size_t i = 0;
    bool negative = false;
    if (word[0] == '-') {
        negative = true;
        i = 1;
    }
    int base = 10;
    if (word.size() > i + 2 && word[i] == '0' && (word[i + 1] == 'x' || word[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= word.size()) return false;
    long long value = 0;
    for (; i < word.size(); ++i) {
        char c = word[i];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        value = value * base + d;
        if (value > (1LL << 40)) return false;
    }
    if (negative) value = -value;
    if (value < min || value > max) return false;
    out = value;
    return true;
}

// "2", "2.5", "0.125": seconds with at most millisecond precision, up to an hour.
bool parseSeconds(const std::string& word, long long& ms) {
    std::size_t dot = word.find('.');
    std::string whole = word.substr(0, dot);
    std::string fraction = dot == std::string::npos ? std::string() : word.substr(dot + 1);
    if (whole.empty() || (dot != std::string::npos && (fraction.empty() || fraction.size() > 3))) return false;
    for (char c : whole + fraction)
        if (c < '0' || c > '9') return false;
    if (whole.size() > 4) return false;
    fraction.resize(3, '0');
    ms = std::stoll(whole) * 1000 + std::stoll(fraction);
    return ms <= kMaxMs;
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::optional<Scenario> run(std::string& error) {
        std::size_t pos = 0;
        int line = 0;
        while (pos <= text_.size()) {
            std::size_t end = text_.find('\n', pos);
            if (end == std::string_view::npos) end = text_.size();
            ++line;
            std::string_view raw = text_.substr(pos, end - pos);
            pos = end + 1;
            if (raw.size() > kMaxLineLength) return fail(error, line, "line too long");
            std::string why;
            if (!parseLine(raw, why)) return fail(error, line, why);
            if (end == text_.size()) break;
        }
        return std::move(scenario_);
    }

private:
    std::optional<Scenario> fail(std::string& error, int line, const std::string& why) {
        error = "line " + std::to_string(line) + ": " + why;
        return std::nullopt;
    }

    static std::vector<std::string> split(std::string_view raw) {
        std::vector<std::string> words;
        std::string cur;
        for (char c : raw) {
            if (c == '#') break;
            if (c == ' ' || c == '\t' || c == '\r') {
                if (!cur.empty()) words.push_back(std::move(cur));
                cur.clear();
            } else {
                cur.push_back(c);
            }
        }
        if (!cur.empty()) words.push_back(std::move(cur));
        return words;
    }

    bool number(const std::vector<std::string>& w, std::size_t i, long long min, long long max,
                long long& out, std::string& why) {
        if (i >= w.size()) {
            why = "'" + w[0] + "' needs a value";
            return false;
        }
        if (!parseInteger(w[i], min, max, out)) {
            why = "'" + w[i] + "' is not a number from " + std::to_string(min) + " to " + std::to_string(max);
            return false;
        }
        return true;
    }

    bool code(const std::string& word, std::uint8_t& out, std::string& why) {
        for (const NamedCode& c : kCodes) {
            if (word == c.name) {
                out = c.code;
                return true;
            }
        }
        long long v;
        if (parseInteger(word, 0, 255, v)) {
            out = static_cast<std::uint8_t>(v);
            return true;
        }
        why = "'" + word + "' is not a command";
        return false;
    }

    KeyboardSpec* current(std::string& why) {
        if (scenario_.keyboards.empty()) {
            why = "no 'keyboard' or 'device' line before this one";
            return nullptr;
        }
        return &scenario_.keyboards.back();
    }

    bool text(const std::vector<std::string>& w, std::size_t limit, std::string& out, std::string& why) {
        if (w.size() != 2) {
            why = "'" + w[0] + "' takes one word";
            return false;
        }
        if (w[1].size() > limit) {
            why = "'" + w[0] + "' is longer than " + std::to_string(limit) + " characters";
            return false;
        }
        out = w[1];
        return true;
    }

    bool parseLine(std::string_view raw, std::string& why) {
        std::vector<std::string> w = split(raw);
        if (w.empty()) return true;
        const std::string& key = w[0];
        long long v = 0;

        if (key == "option") return option(w, why);
        if (key == "keyboard" || key == "device") {
            if (scenario_.keyboards.size() >= kMaxKeyboards) {
                why = "too many keyboards";
                return false;
            }
            if (w.size() > 2) {
                why = "'" + key + "' takes at most a name";
                return false;
            }
            KeyboardSpec spec;
            if (w.size() == 2) {
                if (w[1].size() > 64) {
                    why = "name too long";
                    return false;
                }
                spec.name = w[1];
            }
            if (key == "device") {
                spec.passive = true;
                spec.vid = 0x1234;
                spec.pid = 0x5678;
            }
            scenario_.keyboards.push_back(spec);
            return true;
        }
        if (key == "fault") return fault(w, why);
        if (key == "event") return event(w, why);
        if (key == "at") return timed(w, why);

        KeyboardSpec* kb = current(why);
        if (!kb) return false;
        if (key == "vid" || key == "pid" || key == "isp-vid" || key == "isp-pid" || key == "isp-value") {
            if (!number(w, 1, 0, 0xFFFF, v, why)) return false;
            auto u = static_cast<std::uint16_t>(v);
            if (key == "vid") kb->vid = u;
            else if (key == "pid") kb->pid = u;
            else if (key == "isp-vid") kb->ispVid = u;
            else if (key == "isp-pid") kb->ispPid = u;
            else kb->ispValue = u;
        } else if (key == "version") {
            return text(w, kMaxTextLength, kb->appVersion, why);
        } else if (key == "isp-version") {
            return text(w, kMaxTextLength, kb->ispVersion, why);
        } else if (key == "port") {
            if (!text(w, kMaxTextLength, kb->port, why)) return false;
            if (!validPort(kb->port)) {
                why = "'" + kb->port + "' is not a USB location such as 1-2 or 2-1.4";
                return false;
            }
            return true;
        } else if (key == "plugged") {
            if (w.size() != 2 || (w[1] != "yes" && w[1] != "no")) {
                why = "'plugged' is 'yes' or 'no'";
                return false;
            }
            kb->plugged = w[1] == "yes";
        } else if (key == "profiles") {
            kb->profiles.clear();
            for (std::size_t i = 1; i < w.size(); ++i) {
                if (w[i].size() > 10 || kb->profiles.size() >= 16) {
                    why = "profile codes are 1 to 10 characters, at most 16 of them";
                    return false;
                }
                kb->profiles.push_back(w[i]);
            }
        } else if (key == "profile-record") {
            if (w.size() != 11) {
                why = "'profile-record' takes 10 byte values";
                return false;
            }
            std::vector<std::uint8_t> rec;
            for (std::size_t i = 1; i < 11; ++i) {
                if (!number(w, i, 0, 255, v, why)) return false;
                rec.push_back(static_cast<std::uint8_t>(v));
            }
            kb->profileRecord = rec;
        } else if (key == "isp-profile") {
            if (w.size() != 2 || (w[1] != "accept" && w[1] != "refuse")) {
                why = "'isp-profile' is 'accept' or 'refuse'";
                return false;
            }
            kb->ispProfileAccepted = w[1] == "accept";
        } else if (key == "flash-kib" || key == "boot-flash-kib") {
            if (!number(w, 1, 1, 255, v, why)) return false;
            (key == "flash-kib" ? kb->flashKiB : kb->bootFlashKiB) = static_cast<int>(v);
        } else if (key == "erased") {
            if (!number(w, 1, 0, 255, v, why)) return false;
            kb->erasedValue = static_cast<std::uint8_t>(v);
        } else if (key == "isp") {
            if (w.size() != 2 || (w[1] != "separate" && w[1] != "same-path")) {
                why = "'isp' is 'separate' or 'same-path'";
                return false;
            }
            kb->isp = w[1] == "separate" ? IspStyle::Separate : IspStyle::SamePath;
        } else if (key == "leave-ms" || key == "reenumerate-ms") {
            if (!number(w, 1, 0, kMaxMs, v, why)) return false;
            (key == "leave-ms" ? kb->leaveMs : kb->reenumerateMs) = static_cast<int>(v);
        } else if (key == "goto-page-status" || key == "mode-flag-status" || key == "reset-status") {
            if (!number(w, 1, 0, 255, v, why)) return false;
            auto s = static_cast<std::uint8_t>(v);
            if (key == "goto-page-status") kb->gotoPageStatus = s;
            else if (key == "mode-flag-status") kb->modeFlagStatus = s;
            else kb->resetStatus = s;
        } else if (key == "starts-in-isp" || key == "legacy") {
            if (w.size() != 1) {
                why = "'" + key + "' takes no value";
                return false;
            }
            (key == "legacy" ? kb->legacy : kb->startsInIsp) = true;
        } else if (key == "legacy-version") {
            if (w.size() != 2) {
                why = "'legacy-version' is 'terminated', 'unterminated' or 'wrong-marker'";
                return false;
            }
            if (w[1] == "terminated") kb->legacyVersion = LegacyVersionForm::Terminated;
            else if (w[1] == "unterminated") kb->legacyVersion = LegacyVersionForm::Unterminated;
            else if (w[1] == "wrong-marker") kb->legacyVersion = LegacyVersionForm::WrongMarker;
            else {
                why = "'legacy-version' is 'terminated', 'unterminated' or 'wrong-marker'";
                return false;
            }
        } else if (key == "busy") {
            // busy <code> [polls N] [ms M]
            if (w.size() < 2) {
                why = "'busy' needs a command";
                return false;
            }
            std::uint8_t c;
            if (!code(w[1], c, why)) return false;
            BusySpec b;
            for (std::size_t i = 2; i < w.size(); i += 2) {
                if (w[i] == "polls") {
                    if (!number(w, i + 1, 0, 100000, v, why)) return false;
                    b.polls = static_cast<int>(v);
                } else if (w[i] == "ms") {
                    if (!number(w, i + 1, 0, kMaxMs, v, why)) return false;
                    b.ms = static_cast<int>(v);
                } else {
                    why = "'busy' takes 'polls N' and 'ms M'";
                    return false;
                }
            }
            kb->busy[c] = b;
        } else if (key == "interface") {
            return interface(*kb, w, why);
        } else {
            why = "unknown keyword '" + key + "'";
            return false;
        }
        if (w.size() > 2 && key != "profiles" && key != "profile-record" && key != "busy") {
            why = "'" + key + "' takes one value";
            return false;
        }
        return true;
    }

    bool option(const std::vector<std::string>& w, std::string& why) {
        long long v;
        if (w.size() < 2) {
            why = "'option' needs a name";
            return false;
        }
        Options& o = scenario_.options;
        if (w[1] == "wide-names" && w.size() == 2) o.wideNames = true;
        else if (w[1] == "strict-libraries" && w.size() == 2) o.strictLibraries = true;
        else if (w[1] == "no-trace" && w.size() == 2) o.trace = false;
        else if (w[1] == "latency-us" && w.size() == 3) {
            if (!number(w, 2, 0, 1000000, v, why)) return false;
            o.latencyUs = static_cast<int>(v);
        } else {
            why = "unknown option '" + w[1] + "'";
            return false;
        }
        return true;
    }

    bool interface(KeyboardSpec& kb, const std::vector<std::string>& w, std::string& why) {
        if (kb.interfaces.size() >= kMaxInterfaces) {
            why = "too many interfaces";
            return false;
        }
        InterfaceSpec is;
        is.protocol = !kb.passive;
        long long v;
        for (std::size_t i = 1; i < w.size(); ++i) {
            const std::string& k = w[i];
            if (k == "protocol") { is.protocol = true; continue; }
            if (k == "passive") { is.protocol = false; continue; }
            if (i + 1 >= w.size()) {
                why = "'" + k + "' needs a value";
                return false;
            }
            if (k == "path") {
                if (w[i + 1].size() > kMaxPathLength) {
                    why = "path too long";
                    return false;
                }
                is.path = w[i + 1];
            } else if (k == "usage-page" || k == "usage") {
                if (!number(w, i + 1, 0, 0xFFFF, v, why)) return false;
                (k == "usage" ? is.usage : is.usagePage) = static_cast<std::uint16_t>(v);
            } else if (k == "length") {
                if (!number(w, i + 1, 0, 64, v, why)) return false;
                is.featureLength = static_cast<std::uint16_t>(v);
            } else if (k == "mi") {
                if (!number(w, i + 1, 0, 255, v, why)) return false;
                is.mi = static_cast<int>(v);
            } else {
                why = "unknown interface setting '" + k + "'";
                return false;
            }
            ++i;
        }
        kb.interfaces.push_back(is);
        return true;
    }

    // Reads "[at N] [times K|always] [offset X] [back-ms M]" from w[from].
    bool fields(const std::vector<std::string>& w, std::size_t from, FaultSpec& f, std::string& why) {
        long long v;
        for (std::size_t i = from; i < w.size(); i += 2) {
            const std::string& k = w[i];
            if (k == "always") {
                f.times = kAlways;
                --i;
                continue;
            }
            if (i + 1 >= w.size()) {
                why = "'" + k + "' needs a value";
                return false;
            }
            if (k == "at") {
                if (!number(w, i + 1, 1, 1000000000, v, why)) return false;
                f.at = static_cast<int>(v);
            } else if (k == "times") {
                if (w[i + 1] == "always") f.times = kAlways;
                else if (!number(w, i + 1, 1, 1000000000, v, why)) return false;
                else f.times = static_cast<int>(v);
            } else if (k == "offset") {
                if (!number(w, i + 1, 0, 0xFFFFFFFF, v, why)) return false;
                f.offset = static_cast<std::uint32_t>(v);
            } else if (k == "back-ms") {
                if (!number(w, i + 1, 0, kMaxMs, v, why)) return false;
                f.backMs = static_cast<int>(v);
            } else {
                why = "unknown fault setting '" + k + "'";
                return false;
            }
        }
        return true;
    }

    bool fault(const std::vector<std::string>& w, std::string& why) {
        if (scenario_.faults.size() >= kMaxFaults) {
            why = "too many faults";
            return false;
        }
        if (w.size() < 2) {
            why = "'fault' needs a kind";
            return false;
        }
        using K = FaultSpec::Kind;
        FaultSpec f;
        f.keyboard = static_cast<int>(scenario_.keyboards.size()) - 1;
        const std::string& kind = w[1];
        long long v;
        auto needKeyboard = [&]() {
            if (f.keyboard < 0) {
                why = "a command fault needs a 'keyboard' line before it";
                return false;
            }
            return true;
        };
        if (kind == "status") {
            // fault status <code> <status> ...
            if (w.size() < 4) {
                why = "'fault status' needs a command and a status";
                return false;
            }
            f.kind = K::Status;
            if (!needKeyboard() || !code(w[2], f.code, why) || !number(w, 3, 0, 255, v, why)) return false;
            f.status = static_cast<std::uint8_t>(v);
            if (!fields(w, 4, f, why)) return false;
        } else if (kind == "bad-checksum" || kind == "no-answer" || kind == "remove") {
            if (w.size() < 3) {
                why = "'fault " + kind + "' needs a command";
                return false;
            }
            f.kind = kind == "bad-checksum" ? K::BadChecksum : kind == "no-answer" ? K::NoAnswer : K::Remove;
            if (f.kind == K::NoAnswer) f.times = kAlways;
            if (!needKeyboard() || !code(w[2], f.code, why) || !fields(w, 3, f, why)) return false;
        } else if (kind == "set-fails" || kind == "get-fails") {
            f.kind = kind == "set-fails" ? K::SetFails : K::GetFails;
            if (!fields(w, 2, f, why)) return false;
        } else if (kind == "enum-fails" || kind == "detail-fails") {
            f.kind = kind == "enum-fails" ? K::EnumFails : K::DetailFails;
            f.times = kAlways;
            if (!number(w, 2, 0, 1000, v, why)) return false;
            f.index = static_cast<int>(v);
            if (!fields(w, 3, f, why)) return false;
        } else if (kind == "open-fails" || kind == "attributes-fail" || kind == "caps-fail") {
            f.kind = kind == "open-fails" ? K::OpenFails : kind == "attributes-fail" ? K::AttributesFail : K::CapsFail;
            f.times = kAlways;
            if (w.size() < 3 || w[2].size() > kMaxPathLength) {
                why = "'fault " + kind + "' needs a part of a path";
                return false;
            }
            f.text = w[2];
            if (!fields(w, 3, f, why)) return false;
        } else if (kind == "missing") {
            f.kind = K::Missing;
            bool found = false;
            for (const NamedEntry& e : kEntries) {
                if (w.size() == 3 && w[2] == e.name) {
                    f.entry = e.entry;
                    found = true;
                }
            }
            if (!found) {
                why = "'fault missing' needs an entry point name";
                return false;
            }
        } else if ((kind == "null-set" || kind == "hid-library-fails" || kind == "setup-library-fails") &&
                   w.size() == 2) {
            f.kind = kind == "null-set" ? K::NullSet : kind == "hid-library-fails" ? K::HidLibraryFails
                                                                                   : K::SetupLibraryFails;
        } else {
            why = "unknown fault '" + kind + "'";
            return false;
        }
        scenario_.faults.push_back(f);
        return true;
    }

    bool event(const std::vector<std::string>& w, std::string& why) {
        // event arrival|removal <class> <name> [after-ms M]
        if (scenario_.events.size() >= kMaxEvents) {
            why = "too many events";
            return false;
        }
        if (w.size() != 4 && w.size() != 6) {
            why = "'event' is: event arrival|removal <class> <name> [after-ms M]";
            return false;
        }
        EventSpec e;
        if (w[1] == "arrival") e.event = DBT_DEVICEARRIVAL;
        else if (w[1] == "removal") e.event = DBT_DEVICEREMOVECOMPLETE;
        else {
            why = "an event is an 'arrival' or a 'removal'";
            return false;
        }
        const std::string& c = w[2];
        if (c == "hid") e.cls = kHidInterfaceClass;
        else if (c == "failure-signal") e.cls = kFailureSignalClass;
        else if (c == "usb") e.cls = kUsbDeviceClass;
        else if (c == "disk") e.cls = kDiskClass;
        else if (c == "network") e.cls = kNetworkAdapterClass;
        else if (auto g = Guid::parse(c)) e.cls = *g;
        else {
            why = "'" + c + "' is not a device class";
            return false;
        }
        if (w[3].size() > kMaxPathLength) {
            why = "name too long";
            return false;
        }
        e.name = w[3];
        if (w.size() == 6) {
            long long v;
            if (w[4] != "after-ms") {
                why = "expected 'after-ms'";
                return false;
            }
            if (!number(w, 5, 0, kMaxMs, v, why)) return false;
            e.afterMs = static_cast<int>(v);
        }
        scenario_.events.push_back(e);
        return true;
    }

    bool timed(const std::vector<std::string>& w, std::string& why) {
        // at <seconds> s plug <name> [at <port>] | at <seconds> s unplug <name>
        if (scenario_.timeline.size() >= kMaxTimeline) {
            why = "too many timed plugs";
            return false;
        }
        const bool plug = w.size() >= 4 && w[3] == "plug";
        const bool shape = w.size() >= 5 && w[2] == "s" && (plug || w[3] == "unplug") &&
                           (w.size() == 5 || (plug && w.size() == 7 && w[5] == "at"));
        if (!shape) {
            why = "expected 'at <seconds> s plug <name> [at <port>]' or 'at <seconds> s unplug <name>'";
            return false;
        }
        PlugSpec p;
        p.plug = plug;
        long long ms = 0;
        if (!parseSeconds(w[1], ms)) {
            why = "'" + w[1] + "' is not a time from 0 to 3600 seconds (at most three decimals)";
            return false;
        }
        p.atMs = static_cast<int>(ms);
        const auto& kbs = scenario_.keyboards;
        auto named = std::find_if(kbs.begin(), kbs.end(), [&](const KeyboardSpec& k) { return k.name == w[4]; });
        if (named == kbs.end()) {
            why = "no keyboard named '" + w[4] + "' before this line";
            return false;
        }
        p.keyboard = static_cast<std::size_t>(named - kbs.begin());
        if (w.size() == 7) {
            if (w[6].size() > kMaxTextLength || !validPort(w[6])) {
                why = "'" + w[6] + "' is not a USB location such as 1-2 or 2-1.4";
                return false;
            }
            p.port = w[6];
        }
        scenario_.timeline.push_back(p);
        return true;
    }

    std::string_view text_;
    Scenario scenario_;
};

struct Builtin {
    const char* name;
    const char* text;
};

// Written in the scenario format itself, so that each one doubles as an example.
constexpr Builtin kBuiltins[] = {
    {"default",
     "keyboard rx431\n"
     "vid 0x0F39\npid 0x0641\nflash-kib 64\nisp separate\nisp-pid 0x0001\n"},
    {"two-keyboards",
     "keyboard rx431\n"
     "vid 0x0F39\npid 0x0641\nflash-kib 64\nisp separate\n"
     "keyboard waiting\n"
     "vid 0x0F39\npid 0x0825\nflash-kib 64\nstarts-in-isp\n"},
    {"legacy",
     "keyboard rx401\n"
     "vid 0x0404\npid 0x0322\nlegacy\nversion V1.07\nflash-kib 32\n"
     "interface mi 0 usage-page 0x000C usage 0x0001 length 9 protocol\n"
     "interface mi 1 usage-page 0x0001 usage 0x0002 length 5 passive\n"},
    {"paged",
     "keyboard rx431\n"
     "vid 0x0F39\npid 0x0641\nflash-kib 128\nisp separate\ngoto-page-status 241\n"},
    {"isp-boot",
     "keyboard rx431\n"
     "vid 0x0F39\npid 0x0641\nflash-kib 64\nboot-flash-kib 4\nisp same-path\n"
     "isp-version B0302/S5301V11\n"},
    {"demo",
     "option latency-us 250\n"
     "keyboard rx431\n"
     "vid 0x0F39\npid 0x0641\nflash-kib 64\nisp separate\nreenumerate-ms 600\nleave-ms 100\n"
     "busy chip-erase ms 400\n"
     "keyboard rx409\n"
     "vid 0x0F39\npid 0x0875\nversion S5304V12\nflash-kib 128\nisp separate\ngoto-page-status 241\n"
     "reenumerate-ms 600\nbusy chip-erase ms 700\n"
     "device mouse\nvid 0x046D\npid 0xC077\ninterface usage-page 0x0001 usage 0x0002 length 0\n"
     "device headset\nvid 0x0F39\npid 0x3001\ninterface usage 0x0080 length 9 passive\n"},
    // A production station's run: three keyboards of one model, each on a bus
    // of its own. kb2 comes later; kb3's first download fails on a refused
    // block (about 1 s in, at this latency), then it is re-plugged, still in its
    // boot loader, for the retry. A whole download takes about 5.5 s.
    {"station-demo",
     "option latency-us 250\n"
     "keyboard kb1\nvid 0x0F39\npid 0x0641\nflash-kib 64\nisp separate\nport 1-1\n"
     "keyboard kb2\nvid 0x0F39\npid 0x0641\nflash-kib 64\nisp separate\nport 2-1\nplugged no\n"
     "keyboard kb3\nvid 0x0F39\npid 0x0641\nflash-kib 64\nisp separate\nport 3-1\n"
     "fault status write-block 0x10 times 1\n"
     "at 0.5 s plug kb2\n"
     "at 3 s unplug kb3\n"
     "at 4 s plug kb3\n"},
    {"filtering",
     "keyboard rx431\nvid 0x0F39\npid 0x0641\n"
     "device other-vendor\nvid 0x1234\npid 0x5678\ninterface usage 0x0080 length 8\n"
     "device other-usage\nvid 0x0F39\npid 0x0700\ninterface usage 0x0006 length 8\n"
     "device long-reports\nvid 0x0F39\npid 0x0701\ninterface usage 0x0080 length 9\n"
     "device odd-vendor\nvid 0x1130\npid 0x0001\ninterface usage 0x0080 length 8\n"},
};

}  // namespace

std::optional<Scenario> parseScenario(std::string_view text, std::string& error) {
    Parser p(text);
    return p.run(error);
}

std::optional<Scenario> builtinScenario(std::string_view name) {
    for (const Builtin& b : kBuiltins) {
        if (name == b.name) {
            std::string error;
            return parseScenario(b.text, error);
        }
    }
    return std::nullopt;
}

std::vector<std::string> builtinScenarioNames() {
    std::vector<std::string> names;
    for (const Builtin& b : kBuiltins) names.emplace_back(b.name);
    return names;
}

std::unique_ptr<SimBackend> simulatorFromSetting(const std::string& value, std::string& error) {
    error.clear();
    if (value.empty()) return nullptr;
    std::error_code ec;
    std::filesystem::path file(value);
    if (std::filesystem::is_regular_file(file, ec)) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            error = "cannot read the simulation scenario " + value;
            return nullptr;
        }
        std::ostringstream text;
        text << in.rdbuf();
        std::string why;
        auto scenario = parseScenario(text.str(), why);
        if (!scenario) {
            error = value + ": " + why;
            return nullptr;
        }
        return std::make_unique<SimBackend>(*scenario);
    }
    auto scenario = builtinScenario(value);
    if (!scenario) {
        std::string names;
        for (const std::string& n : builtinScenarioNames()) names += (names.empty() ? "" : ", ") + n;
        error = "VANTEL_SIMULATE: \"" + value + "\" is neither a scenario file nor a built-in scenario (" + names + ")";
        return nullptr;
    }
    return std::make_unique<SimBackend>(*scenario);
}

std::unique_ptr<SimBackend> simulatorFromEnvironment(std::string& error) {
    const char* value = std::getenv("VANTEL_SIMULATE");
    return simulatorFromSetting(value ? value : "", error);
}

}  // namespace vantel::sim
