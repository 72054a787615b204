#pragma once
// A small scripted keyboard for the update procedures' unit tests: it lists
// interfaces for discovery, assembles the framed requests from the output
// reports, answers each with a reply that a test can script per command, and
// keeps a flash image that CMD_WRITE_BLOCK and CMD_GOTO_PAGE write into.
// Thread-safe: the link's reply readers poll it from their own threads.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/commands.h"
#include "link/hid_backend.h"
#include "link/link.h"

namespace vantel::test {

using Bytes = std::vector<std::uint8_t>;

struct Request {
    std::uint8_t code = 0;
    Bytes args;
    std::string path;  // the interface it was sent to
};

struct Answer {
    bool reply = true;        // false: the keyboard never answers this request
    std::uint8_t status = 0;
    Bytes data;
    bool badChecksum = false;
};

inline Answer st(std::uint8_t status) {
    Answer a;
    a.status = status;
    return a;
}
inline Answer silent() {
    Answer a;
    a.reply = false;
    return a;
}
inline Answer corrupt() {
    Answer a;
    a.badChecksum = true;
    return a;
}

struct MiniInterface {
    std::string path;
    std::uint16_t vid = 0x0F39;
    std::uint16_t pid = 0x0641;
    std::uint16_t usage = 0x0080;
    std::uint16_t featureLength = 8;
};

class MiniKeyboard : public HidBackend {
public:
    MiniKeyboard() { interfaces.push_back({"\\\\?\\hid#vid_0f39&pid_0641#1", 0x0F39, 0x0641}); }

    // Set before the link uses the keyboard.
    std::vector<MiniInterface> interfaces;
    std::vector<std::string> extraPaths;  // openable, but not listed by discovery
    bool reuseHandles = false;  // hand out the lowest free handle value, as Windows may

    std::uint8_t flashKiB = 64;
    std::string version = "S5301V10";
    std::string ispVersion = "B0301/S5301V11";
    std::string legacyVersion = "L0404V01";
    // Called on the sending thread for every complete request, outside the lock.
    std::function<void(const Request&)> onRequest;

    // Scripted answers: consulted first, per command code, one per request.
    void script(std::uint8_t code, std::vector<Answer> answers) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& q = scripted_[code];
        q.insert(q.end(), answers.begin(), answers.end());
    }
    // The answer to every further request of this code (after the scripted ones).
    void always(std::uint8_t code, Answer answer) {
        std::lock_guard<std::mutex> lock(mutex_);
        always_[code] = answer;
    }
    // Scripted answers for the write of one block, by its absolute flash offset.
    void scriptWrite(std::uint32_t offset, std::vector<Answer> answers) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& q = writeScript_[offset];
        q.insert(q.end(), answers.begin(), answers.end());
    }
    // Refuses the output reports of the next `times` requests with this code.
    void failSendOf(std::uint8_t code, int times) {
        std::lock_guard<std::mutex> lock(mutex_);
        failSend_[code] += times;
    }
    void failOpen(const std::string& path, bool fail = true) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fail) failOpen_[path] = true; else failOpen_.erase(path);
    }

    // Records.
    std::vector<Request> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    std::vector<std::uint8_t> codes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::uint8_t> out;
        for (const auto& r : requests_) out.push_back(r.code);
        return out;
    }
    int count(std::uint8_t code) const {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const auto& r : requests_) n += r.code == code ? 1 : 0;
        return n;
    }
    std::vector<std::string> opens() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return opens_;
    }
    std::vector<Bytes> legacyReports() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return legacy_;
    }
    // Flash written so far (absolute offset -> byte) and the block writes by offset.
    std::map<std::uint32_t, std::uint8_t> flash() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return flash_;
    }
    std::vector<std::uint32_t> writeOffsets() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return writeOffsets_;
    }
    int refusedSends() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return refusedSends_;
    }
    int releases() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return releases_;
    }
    int openHandles() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int>(handles_.size());
    }

    // HidBackend.
    bool loadHidLibrary() override { return true; }
    bool loadSetupLibrary() override { return true; }
    bool hidLibraryLoaded() const override { return true; }
    bool setupLibraryLoaded() const override { return true; }
    void releaseLibraries() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++releases_;
    }
    HidStatus hidGuid(Guid& out) override {
        out = kHidInterfaceClass;
        return HidStatus::Ok;
    }
    HidStatus getClassDevs(const Guid&, InterfaceSet& out) override {
        out = 1;
        return HidStatus::Ok;
    }
    HidStatus enumInterface(InterfaceSet, const Guid&, int index) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return index < static_cast<int>(interfaces.size()) ? HidStatus::Ok : HidStatus::Failed;
    }
    HidStatus interfaceDetail(InterfaceSet, const Guid&, int index, std::string& path) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (index >= static_cast<int>(interfaces.size())) return HidStatus::Failed;
        path = interfaces[static_cast<std::size_t>(index)].path;
        return HidStatus::Ok;
    }
    HidStatus destroyClassDevs(InterfaceSet) override { return HidStatus::Ok; }

    HidStatus open(const std::string& path, Access, HidHandle& out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        opens_.push_back(path);
        if (failOpen_.count(path)) return HidStatus::Failed;
        bool known = false;
        for (const auto& i : interfaces) known = known || i.path == path;
        for (const auto& p : extraPaths) known = known || p == path;
        if (!known) return HidStatus::Failed;
        out = nextHandle_++;
        if (reuseHandles) {
            for (out = 10; handles_.count(out); ++out) {
            }
        }
        handles_[out] = path;
        return HidStatus::Ok;
    }
    void close(HidHandle handle) override {
        std::lock_guard<std::mutex> lock(mutex_);
        handles_.erase(handle);
    }
    HidStatus attributes(HidHandle handle, HidAttributes& out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const MiniInterface* i = byHandle(handle);
        if (!i) return HidStatus::Failed;
        out.vid = i->vid;
        out.pid = i->pid;
        return HidStatus::Ok;
    }
    HidStatus capabilities(HidHandle handle, HidCaps& out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const MiniInterface* i = byHandle(handle);
        if (!i) return HidStatus::Failed;
        out.usagePage = 0xFF00;
        out.usage = i->usage;
        out.featureReportByteLength = i->featureLength;
        return HidStatus::Ok;
    }

    HidStatus setFeature(HidHandle handle, const std::uint8_t* report, std::size_t length) override {
        std::optional<Request> complete;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto h = handles_.find(handle);
            if (h == handles_.end() || length < 2) return HidStatus::Failed;
            if (report[0] == 0x00) {  // the legacy scheme: one unframed report
                legacy_.emplace_back(report, report + length);
                legacyAnswerPending_ = length >= 5 && report[1] == 0xA0 && report[2] == 'V';
                return HidStatus::Ok;
            }
            if (pending_.empty() && length >= 4 && report[1] == REQUEST_START) {
                auto f = failSend_.find(report[3]);
                if (f != failSend_.end() && f->second > 0) {
                    --f->second;
                    ++refusedSends_;
                    return HidStatus::Failed;
                }
            }
            for (std::size_t i = 1; i < length; ++i) pending_.push_back(report[i]);
            if (pending_.size() >= 2 && pending_.size() >= static_cast<std::size_t>(pending_[1]) + 2u) {
                const std::size_t total = static_cast<std::size_t>(pending_[1]) + 2u;
                Request req;
                req.code = pending_[2];
                req.args.assign(pending_.begin() + 3, pending_.begin() + static_cast<long>(total) - 1);
                req.path = h->second;
                pending_.clear();  // the rest of the last report is padding
                requests_.push_back(req);
                answer(req);
                complete = req;
            }
        }
        // The reply is queued already; the exchange waits for it only after this returns.
        if (complete && onRequest) onRequest(*complete);
        return HidStatus::Ok;
    }

    HidStatus getFeature(HidHandle handle, std::uint8_t* buffer, std::size_t length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (handles_.find(handle) == handles_.end()) return HidStatus::Failed;
        if (buffer[0] == 0x00) {
            for (std::size_t i = 1; i < length; ++i) buffer[i] = 0;
            if (legacyAnswerPending_) {
                buffer[1] = 0xA0;
                for (std::size_t i = 0; i < legacyVersion.size() && i + 2 < length; ++i) {
                    buffer[i + 2] = static_cast<std::uint8_t>(legacyVersion[i]);
                }
            }
            return HidStatus::Ok;
        }
        Bytes block(length, 0);
        block[0] = 0x01;  // not a reply start: the keyboard is busy
        if (!blocks_.empty()) {
            block = blocks_.front();
            blocks_.pop_front();
            block.resize(length, 0);
        }
        for (std::size_t i = 0; i < length; ++i) buffer[i] = block[i];
        return HidStatus::Ok;
    }

private:
    const MiniInterface* byHandle(HidHandle handle) const {
        auto h = handles_.find(handle);
        if (h == handles_.end()) return nullptr;
        for (const auto& i : interfaces) {
            if (i.path == h->second) return &i;
        }
        return nullptr;
    }

    Answer defaultAnswer(const Request& req) {
        Answer a;
        switch (req.code) {
        case opcode::ENTER_ISP:
        case opcode::ENTER_ISP_BOOT:
            a.data = {flashKiB, 0x34, 0x12};
            break;
        case opcode::GET_VERSION:
            a.data.assign(version.begin(), version.end());
            break;
        case opcode::GET_ISP_VERSION:
            a.data.assign(ispVersion.begin(), ispVersion.end());
            break;
        default:
            break;
        }
        return a;
    }

    void answer(const Request& req) {
        Answer a = defaultAnswer(req);
        bool scripted = false;
        if (req.code == opcode::WRITE_BLOCK && req.args.size() >= 2) {
            const std::uint32_t offset = page_ * 65536u + (static_cast<std::uint32_t>(req.args[0]) << 8 | req.args[1]);
            auto w = writeScript_.find(offset);
            if (w != writeScript_.end() && !w->second.empty()) {
                a = w->second.front();
                w->second.pop_front();
                scripted = true;
            }
        }
        if (!scripted) {
            auto s = scripted_.find(req.code);
            if (s != scripted_.end() && !s->second.empty()) {
                const Answer& next = s->second.front();
                a.reply = next.reply;
                a.status = next.status;
                a.badChecksum = next.badChecksum;
                if (!next.data.empty()) a.data = next.data;
                s->second.pop_front();
            } else if (auto al = always_.find(req.code); al != always_.end()) {
                a.reply = al->second.reply;
                a.status = al->second.status;
                a.badChecksum = al->second.badChecksum;
                if (!al->second.data.empty()) a.data = al->second.data;
            }
        }
        if (a.status == 0 && a.reply && !a.badChecksum) apply(req);
        if (!a.reply) return;
        Bytes frame{REPLY_START, static_cast<std::uint8_t>(a.data.size() + 3), req.code, a.status};
        frame.insert(frame.end(), a.data.begin(), a.data.end());
        std::uint8_t sum = xorChecksum(frame.data(), frame.size());
        frame.push_back(a.badChecksum ? static_cast<std::uint8_t>(sum ^ 0x5A) : sum);
        for (std::size_t off = 0; off < frame.size(); off += 9) {
            Bytes b(9, 0);
            for (std::size_t i = 0; i < 9 && off + i < frame.size(); ++i) b[i] = frame[off + i];
            blocks_.push_back(b);
        }
        // The reader makes one read beyond the kept continuation blocks.
        if (frame.size() - 2 >= 7) blocks_.push_back(Bytes(9, 0));
    }

    void apply(const Request& req) {
        if (req.code == opcode::GOTO_PAGE && !req.args.empty()) page_ = req.args[0];
        if (req.code == opcode::CHIP_ERASE) flash_.clear();
        if (req.code == opcode::WRITE_BLOCK && req.args.size() >= 2) {
            const std::uint32_t offset = page_ * 65536u + (static_cast<std::uint32_t>(req.args[0]) << 8 | req.args[1]);
            writeOffsets_.push_back(offset);
            for (std::size_t i = 2; i < req.args.size(); ++i) {
                flash_[offset + static_cast<std::uint32_t>(i - 2)] = req.args[i];
            }
        }
    }

    mutable std::mutex mutex_;
    std::map<std::uint8_t, std::deque<Answer>> scripted_;
    std::map<std::uint8_t, Answer> always_;
    std::map<std::uint32_t, std::deque<Answer>> writeScript_;
    std::map<std::string, bool> failOpen_;
    std::map<std::uint8_t, int> failSend_;
    int refusedSends_ = 0;
    std::vector<Request> requests_;
    std::vector<std::string> opens_;
    std::vector<Bytes> legacy_;
    bool legacyAnswerPending_ = false;
    Bytes pending_;
    std::deque<Bytes> blocks_;
    std::map<HidHandle, std::string> handles_;
    HidHandle nextHandle_ = 10;
    std::map<std::uint32_t, std::uint8_t> flash_;
    std::vector<std::uint32_t> writeOffsets_;
    std::uint32_t page_ = 0;
    int releases_ = 0;
};

}  // namespace vantel::test
