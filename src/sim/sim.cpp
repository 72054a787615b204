// The simulated HID stack: presence of devices, handles, discovery, the
// transfer path with its faults, pacing and trace, and the scheduler thread
// that delivers arrivals and removals.

#include "sim/sim.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sim/sim_state.h"

namespace vantel::sim {

namespace {

constexpr const char* kHidClassSuffix = "#{4d1e55b2-f16f-11cf-88cb-001111000030}";

bool sameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool takePathFault(std::vector<PathFault>& faults, const std::string& path) {
    for (PathFault& f : faults) {
        if (f.remaining == 0 || path.find(f.text) == std::string::npos) continue;
        if (f.remaining > 0) --f.remaining;
        return true;
    }
    return false;
}

bool takeCountFault(const std::vector<CountFault>& faults, std::uint64_t call) {
    for (const CountFault& f : faults) {
        if (call <= f.base) continue;
        std::uint64_t rel = call - f.base;  // 1-based since arming
        std::uint64_t first = static_cast<std::uint64_t>(std::max(1, f.nth));
        if (rel >= first && (f.times == kAlways || rel < first + static_cast<std::uint64_t>(f.times))) return true;
    }
    return false;
}

bool isSetupEntry(Entry e) {
    return e == Entry::GetClassDevs || e == Entry::EnumInterface || e == Entry::InterfaceDetail ||
           e == Entry::DestroyClassDevs;
}

}  // namespace

std::string applicationPath(std::uint16_t vid, std::uint16_t pid, int mi, std::size_t instance, int col) {
    char collection[16] = "";
    if (col > 0) std::snprintf(collection, sizeof collection, "&col%02d", col % 100);
    char buf[176];
    std::snprintf(buf, sizeof buf, "\\\\?\\hid#vid_%04x&pid_%04x&mi_%02x%s#7&%06x&0&0000%s", vid, pid,
                  static_cast<unsigned>(mi) & 0xFF, collection,
                  static_cast<unsigned>((0x2a1c3e + instance * 0x10f1) & 0xFFFFFF), kHidClassSuffix);
    return buf;
}

std::string ispPath(std::uint16_t vid, std::uint16_t pid, std::size_t instance) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "\\\\?\\hid#vid_%04x&pid_%04x#8&%06x&0&0000%s", vid, pid,
                  static_cast<unsigned>((0x1b2d4f + instance * 0x2e3) & 0xFFFFFF), kHidClassSuffix);
    return buf;
}

bool validPort(std::string_view port) {
    // bus '-' port ('.' port)*, every part a number
    bool digits = false, dash = false;
    for (char c : port) {
        if (c >= '0' && c <= '9') {
            digits = true;
        } else if ((c == '-' && !dash) || (c == '.' && dash)) {
            if (!digits) return false;
            dash = true;
            digits = false;
        } else {
            return false;
        }
    }
    return dash && digits;
}

std::string busOf(std::string_view port) { return std::string(port.substr(0, port.find('-'))); }

// ---------------------------------------------------------------- state helpers

std::uint16_t KeyboardState::currentVid() const {
    if (lastIdentity == Identity::Boot && spec.ispVid != 0) return spec.ispVid;
    return spec.vid;
}

std::uint16_t KeyboardState::currentPid() const {
    return lastIdentity == Identity::Boot ? spec.ispPid : spec.pid;
}

void SimState::presentOf(std::size_t k, std::vector<PresentInterface>& out) const {
    const KeyboardState& kb = *keyboards[k];
    if (kb.identity == Identity::Absent) return;
    if (kb.identity == Identity::Boot) {
        PresentInterface p;
        p.keyboard = k;
        p.iface = 0;
        p.path = kb.bootPath;
        p.vid = kb.currentVid();
        p.pid = kb.currentPid();
        p.usagePage = 0xFF00;
        p.usage = 0x0080;
        p.featureLength = 8;
        p.protocol = !kb.spec.passive;
        out.push_back(p);
        return;
    }
    for (std::size_t i = 0; i < kb.spec.interfaces.size(); ++i) {
        const InterfaceSpec& s = kb.spec.interfaces[i];
        PresentInterface p;
        p.keyboard = k;
        p.iface = i;
        p.path = kb.appPaths[i];
        p.vid = kb.spec.vid;
        p.pid = kb.spec.pid;
        p.usagePage = s.usagePage;
        p.usage = s.usage;
        p.featureLength = s.featureLength;
        p.protocol = s.protocol && !kb.spec.passive && s.featureLength >= 2;
        p.legacyProtocol = p.protocol && kb.spec.legacy;
        out.push_back(p);
    }
}

std::vector<PresentInterface> SimState::presentInterfaces() const {
    std::vector<PresentInterface> out;
    for (std::size_t k = 0; k < keyboards.size(); ++k) presentOf(k, out);
    return out;
}

const HandleState* SimState::liveHandle(HidHandle h) const {
    auto it = handles.find(h);
    if (it == handles.end()) return nullptr;
    const KeyboardState& kb = *keyboards[it->second.keyboard];
    if (kb.identity == Identity::Absent || kb.generation != it->second.generation) return nullptr;
    return &it->second;
}

bool SimState::presentInterface(const HandleState& h, PresentInterface& out) const {
    std::vector<PresentInterface> list;
    presentOf(h.keyboard, list);
    for (const PresentInterface& p : list) {
        if (p.iface == h.iface) {
            out = p;
            return true;
        }
    }
    return false;
}

void SimState::schedule(Clock::time_point at, std::function<std::vector<DeviceBroadcast>()> action) {
    queue.push_back(Scheduled{at, nextSeq++, std::move(action)});
    schedCv.notify_all();
}

void SimState::scheduleFor(std::size_t k, Clock::time_point at,
                           std::function<std::vector<DeviceBroadcast>()> action) {
    const std::uint64_t life = keyboards[k]->life;
    schedule(at, [this, k, life, action = std::move(action)] {
        if (keyboards[k]->life != life) return std::vector<DeviceBroadcast>{};
        return action();
    });
}

void SimState::scheduleReturn(std::size_t k, Clock::time_point at, Identity identity) {
    KeyboardState& kb = *keyboards[k];
    kb.returning = identity;
    const std::uint64_t epoch = kb.epoch;
    scheduleFor(k, at, [this, k, epoch, identity] {
        KeyboardState& back = *keyboards[k];
        if (back.epoch != epoch) return std::vector<DeviceBroadcast>{};
        back.returning.reset();
        return arrive(k, identity);
    });
}

Clock::time_point& SimState::paceChain(HidHandle handle) {
    auto h = handles.find(handle);
    if (h == handles.end()) return strayDeadline;
    KeyboardState& kb = *keyboards[h->second.keyboard];
    if (kb.spec.port.empty()) return kb.deadline;
    return busDeadlines[busOf(kb.spec.port)];
}

DeviceBroadcast SimState::broadcast(std::uint32_t event, const std::string& path) const {
    return makeInterfaceBroadcast(event, kHidInterfaceClass, path, options.wideNames);
}

std::vector<DeviceBroadcast> SimState::leave(std::size_t k) {
    KeyboardState& kb = *keyboards[k];
    std::vector<DeviceBroadcast> out;
    if (kb.identity == Identity::Absent) return out;
    std::vector<PresentInterface> list;
    presentOf(k, list);
    for (const PresentInterface& p : list) out.push_back(broadcast(DBT_DEVICEREMOVECOMPLETE, p.path));
    kb.lastIdentity = kb.identity;
    kb.identity = Identity::Absent;
    ++kb.generation;
    kb.assembly.clear();
    kb.reply = PendingReply{};
    kb.legacyVersionReady = false;
    return out;
}

std::vector<DeviceBroadcast> SimState::arrive(std::size_t k, Identity identity) {
    KeyboardState& kb = *keyboards[k];
    std::vector<DeviceBroadcast> out;
    if (kb.identity != Identity::Absent || identity == Identity::Absent || kb.forgotten) return out;
    kb.identity = identity;
    kb.lastIdentity = identity;
    ++kb.generation;
    kb.inIsp = identity == Identity::Boot;
    kb.target = Region::Application;
    kb.page = 0;
    kb.assembly.clear();
    kb.reply = PendingReply{};
    std::vector<PresentInterface> list;
    presentOf(k, list);
    for (const PresentInterface& p : list) out.push_back(broadcast(DBT_DEVICEARRIVAL, p.path));
    return out;
}

void SimState::leaveNow(std::size_t k, Clock::time_point now) {
    auto events = leave(k);
    if (!events.empty()) schedule(now, [events] { return events; });
}

void SimState::leaveThenArrive(std::size_t k, Identity next, int leaveMs, int reenumerateMs,
                               Clock::time_point now) {
    auto gone = now + std::chrono::milliseconds(std::max(0, leaveMs));
    if (leaveMs <= 0) {
        // Leaving at once keeps the outcome of the host's next call independent
        // of the scheduler thread.
        leaveNow(k, now);
    } else {
        const std::uint64_t epoch = keyboards[k]->epoch;
        scheduleFor(k, gone, [this, k, epoch] {
            return keyboards[k]->epoch == epoch ? leave(k) : std::vector<DeviceBroadcast>{};
        });
    }
    scheduleReturn(k, gone + std::chrono::milliseconds(std::max(0, reenumerateMs)), next);
}

std::vector<DeviceBroadcast> SimState::pull(std::size_t k) {
    KeyboardState& kb = *keyboards[k];
    std::vector<DeviceBroadcast> gone = leave(k);
    ++kb.epoch;
    if (kb.returning) {
        // It was on its way into (or out of) its boot loader: that is what
        // comes back when it is plugged in again.
        kb.lastIdentity = *kb.returning;
        kb.returning.reset();
    }
    return gone;
}

std::vector<DeviceBroadcast> SimState::plug(std::size_t k, const std::optional<std::string>& port) {
    KeyboardState& kb = *keyboards[k];
    if (kb.forgotten || kb.identity != Identity::Absent) return {};
    if (port) kb.spec.port = *port;
    // The user's plug supersedes a return the keyboard had scheduled itself.
    ++kb.epoch;
    kb.returning.reset();
    return arrive(k, kb.lastIdentity);
}

// ---------------------------------------------------------------- SimKeyboard

#define KB_LOCK                                         \
    std::lock_guard<std::mutex> lock(state_->mutex);    \
    KeyboardState& kb = *state_->keyboards[index_];     \
    (void)kb

KeyboardSpec SimKeyboard::spec() const { KB_LOCK; return kb.spec; }
std::vector<std::uint8_t> SimKeyboard::flash(Region r) const { KB_LOCK; return kb.region(r).bytes; }
std::vector<bool> SimKeyboard::written(Region r) const { KB_LOCK; return kb.region(r).written; }
std::map<std::uint32_t, int> SimKeyboard::blockWrites(Region r) const { KB_LOCK; return kb.region(r).blockWrites; }
int SimKeyboard::eraseCount(Region r) const { KB_LOCK; return kb.region(r).erases; }
void SimKeyboard::setFlash(const std::vector<std::uint8_t>& bytes, Region r) {
    KB_LOCK;
    FlashRegion& f = kb.region(r);
    std::size_t size = f.bytes.size();
    f.bytes = bytes;
    f.bytes.resize(size, kb.spec.erasedValue);
}
bool SimKeyboard::modeFlag() const { KB_LOCK; return kb.modeFlag; }
std::vector<bool> SimKeyboard::modeFlagHistory() const { KB_LOCK; return kb.modeHistory; }
bool SimKeyboard::inIsp() const { KB_LOCK; return kb.identity != Identity::Absent && kb.inIsp; }
bool SimKeyboard::present() const { KB_LOCK; return kb.identity != Identity::Absent; }
int SimKeyboard::currentPage() const { KB_LOCK; return kb.page; }
int SimKeyboard::testModeCount() const { KB_LOCK; return kb.testMode; }
int SimKeyboard::factoryDefaultsCount() const { KB_LOCK; return kb.factory; }
int SimKeyboard::resetCount() const { KB_LOCK; return kb.resets; }
int SimKeyboard::bootResetCount() const { KB_LOCK; return kb.bootResets; }
std::vector<ReceivedCommand> SimKeyboard::commands() const { KB_LOCK; return kb.commands; }
std::uint16_t SimKeyboard::vid() const { KB_LOCK; return kb.currentVid(); }
std::uint16_t SimKeyboard::pid() const { KB_LOCK; return kb.currentPid(); }

std::string SimKeyboard::path() const {
    KB_LOCK;
    std::vector<PresentInterface> list;
    state_->presentOf(index_, list);
    for (const PresentInterface& p : list)
        if (p.protocol) return p.path;
    return list.empty() ? std::string() : list.front().path;
}

std::vector<std::string> SimKeyboard::paths() const {
    KB_LOCK;
    std::vector<PresentInterface> list;
    state_->presentOf(index_, list);
    std::vector<std::string> out;
    for (const PresentInterface& p : list) out.push_back(p.path);
    return out;
}

namespace {
CommandFault makeFault(const KeyboardState& kb, FaultSpec::Kind kind, std::uint8_t code, int at, int times) {
    CommandFault f;
    f.kind = kind;
    f.code = code;
    f.times = times;
    auto it = kb.occurrences.find(code);
    int seen = it == kb.occurrences.end() ? 0 : it->second;
    f.start = at > 0 ? at : seen + 1;
    return f;
}
}  // namespace

void SimKeyboard::failCommand(std::uint8_t code, std::uint8_t status, int times, int at) {
    KB_LOCK;
    CommandFault f = makeFault(kb, FaultSpec::Kind::Status, code, at, times);
    f.status = status;
    kb.faults.push_back(f);
}

void SimKeyboard::failWriteAt(std::uint32_t offset, std::uint8_t status, int times) {
    KB_LOCK;
    CommandFault f = makeFault(kb, FaultSpec::Kind::Status, 0xA1, 0, times);
    f.status = status;
    f.offset = offset;
    kb.faults.push_back(f);
}

void SimKeyboard::corruptReply(std::uint8_t code, int times, int at) {
    KB_LOCK;
    kb.faults.push_back(makeFault(kb, FaultSpec::Kind::BadChecksum, code, at, times));
}

void SimKeyboard::noAnswer(std::uint8_t code, int times, int at) {
    KB_LOCK;
    kb.faults.push_back(makeFault(kb, FaultSpec::Kind::NoAnswer, code, at, times));
}

void SimKeyboard::removeAt(std::uint8_t code, int at, int backMs) {
    KB_LOCK;
    CommandFault f = makeFault(kb, FaultSpec::Kind::Remove, code, at, 1);
    f.backMs = backMs;
    kb.faults.push_back(f);
}

void SimKeyboard::removeAtWrite(std::uint32_t offset, int backMs) {
    KB_LOCK;
    CommandFault f = makeFault(kb, FaultSpec::Kind::Remove, 0xA1, 0, 1);
    f.offset = offset;
    f.backMs = backMs;
    kb.faults.push_back(f);
}

void SimKeyboard::setBusy(std::uint8_t code, BusySpec busy) {
    KB_LOCK;
    kb.spec.busy[code] = busy;
}

void SimKeyboard::unplug() {
    KB_LOCK;
    auto gone = state_->pull(index_);
    if (!gone.empty()) state_->schedule(Clock::now(), [gone] { return gone; });
}

void SimKeyboard::plugIn(int afterMs) {
    KB_LOCK;
    std::size_t k = index_;
    SimState* s = state_;
    s->scheduleFor(k, Clock::now() + std::chrono::milliseconds(std::max(0, afterMs)),
                   [s, k] { return s->plug(k, std::nullopt); });
}

void SimKeyboard::plugInAt(const std::string& port, int afterMs) {
    KB_LOCK;
    std::size_t k = index_;
    SimState* s = state_;
    s->scheduleFor(k, Clock::now() + std::chrono::milliseconds(std::max(0, afterMs)),
                   [s, k, port] { return s->plug(k, port); });
}

std::string SimKeyboard::port() const { KB_LOCK; return kb.spec.port; }

#undef KB_LOCK

// ---------------------------------------------------------------- SimBackend

namespace {

void schedulerLoop(SimState* s) {
    std::unique_lock<std::mutex> lock(s->mutex);
    while (!s->stopping) {
        if (s->queue.empty()) {
            s->idleCv.notify_all();
            s->schedCv.wait(lock);
            continue;
        }
        auto first = std::min_element(s->queue.begin(), s->queue.end(), [](const Scheduled& a, const Scheduled& b) {
            return a.at != b.at ? a.at < b.at : a.seq < b.seq;
        });
        if (first->at > Clock::now()) {
            // A copy: the wait lets go of the lock, and a change scheduled
            // meanwhile may move the queue's elements.
            const Clock::time_point due = first->at;
            s->schedCv.wait_until(lock, due);
            continue;
        }
        Scheduled item = std::move(*first);
        s->queue.erase(first);
        std::vector<DeviceBroadcast> events = item.action();
        DeviceEventSink* sink = s->sink;
        if (sink && !events.empty()) {
            s->delivering = true;
            lock.unlock();
            for (const DeviceBroadcast& b : events) sink->deviceChanged(b);
            lock.lock();
            s->delivering = false;
        }
        s->idleCv.notify_all();
    }
    s->idleCv.notify_all();
}

}  // namespace

SimBackend::SimBackend() : state_(std::make_unique<SimState>()) {
    SimState* s = state_.get();
    s->scheduler = std::thread(schedulerLoop, s);
    s->schedulerId = s->scheduler.get_id();
}

SimBackend::SimBackend(const Scenario& scenario) : SimBackend() {
    setOptions(scenario.options);
    for (const KeyboardSpec& spec : scenario.keyboards) addKeyboard(spec);
    for (const FaultSpec& f : scenario.faults) addFault(f);
    std::lock_guard<std::mutex> lock(state_->mutex);
    SimState* s = state_.get();
    s->deferredEvents = scenario.events;
    for (const PlugSpec& p : scenario.timeline) {
        if (p.keyboard >= s->keyboards.size()) continue;
        const std::size_t k = p.keyboard;
        const auto at = s->created + std::chrono::milliseconds(std::max(0, p.atMs));
        if (p.plug) {
            std::optional<std::string> port;
            if (!p.port.empty()) port = p.port;
            s->scheduleFor(k, at, [s, k, port] { return s->plug(k, port); });
        } else {
            s->scheduleFor(k, at, [s, k] { return s->pull(k); });
        }
    }
}

SimBackend::~SimBackend() {
    SimState* s = state_.get();
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->stopping = true;
        ++s->releaseGeneration;
    }
    s->schedCv.notify_all();
    s->holdCv.notify_all();
    if (s->scheduler.joinable()) s->scheduler.join();
    // A call still held in the back end returns now; wait until it has left.
    std::unique_lock<std::mutex> lock(s->mutex);
    s->holdCv.wait(lock, [s] { return s->heldNow == 0; });
}

SimKeyboard& SimBackend::addKeyboard(const KeyboardSpec& specIn, bool announce) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto kb = std::make_unique<KeyboardState>();
    auto& slots = state_->keyboards;
    auto free = std::find_if(slots.begin(), slots.end(), [](const auto& slot) { return slot->forgotten; });
    std::size_t index = static_cast<std::size_t>(free - slots.begin());
    if (free != slots.end()) {
        // Handles and scheduled changes of the slot's former keyboard must not
        // reach this one.
        kb->generation = (*free)->generation + 1;
        kb->life = (*free)->life + 1;
        kb->view = std::move((*free)->view);
    }
    kb->spec = specIn;
    KeyboardSpec& spec = kb->spec;
    spec.flashKiB = std::clamp(spec.flashKiB, 1, 255);
    spec.bootFlashKiB = std::clamp(spec.bootFlashKiB, 1, 255);
    if (spec.interfaces.empty()) spec.interfaces.push_back(InterfaceSpec{});
    auto miOf = [&spec](std::size_t i) {
        const InterfaceSpec& is = spec.interfaces[i];
        return is.mi >= 0 ? is.mi : static_cast<int>(spec.legacy ? i : i + 1);
    };
    for (std::size_t i = 0; i < spec.interfaces.size(); ++i) {
        InterfaceSpec& is = spec.interfaces[i];
        const int mi = miOf(i);
        // Several interfaces on one interface number are the top-level
        // collections of one USB interface: "&col01", "&col02", ...
        int col = 0, sharing = 0;
        for (std::size_t j = 0; j < spec.interfaces.size(); ++j) {
            if (miOf(j) != mi) continue;
            ++sharing;
            if (j <= i) ++col;
        }
        kb->appPaths.push_back(is.path.empty() ? applicationPath(spec.vid, spec.pid, mi, index, sharing > 1 ? col : 0)
                                               : is.path);
    }
    kb->bootPath = ispPath(spec.ispVid ? spec.ispVid : spec.vid, spec.ispPid, index);
    kb->app.bytes.assign(static_cast<std::size_t>(spec.flashKiB) * 1024, spec.erasedValue);
    kb->app.written.assign(kb->app.bytes.size(), false);
    kb->boot.bytes.assign(static_cast<std::size_t>(spec.bootFlashKiB) * 1024, spec.erasedValue);
    kb->boot.written.assign(kb->boot.bytes.size(), false);
    Identity identity = spec.startsInIsp && !spec.passive ? Identity::Boot : Identity::Application;
    kb->identity = announce || !spec.plugged ? Identity::Absent : identity;
    kb->lastIdentity = identity;
    kb->inIsp = identity == Identity::Boot;
    if (!kb->view) kb->view.reset(new SimKeyboard(state_.get(), index));
    SimKeyboard& view = *kb->view;
    if (index < slots.size()) slots[index] = std::move(kb);
    else slots.push_back(std::move(kb));
    if (announce && spec.plugged) {
        SimState* s = state_.get();
        s->scheduleFor(index, Clock::now(), [s, index, identity] { return s->arrive(index, identity); });
    }
    return view;
}

bool SimBackend::forget(std::size_t index) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto& slots = state_->keyboards;
    if (index >= slots.size() || slots[index]->identity != Identity::Absent) return false;
    KeyboardState& old = *slots[index];
    if (old.forgotten) return true;
    auto empty = std::make_unique<KeyboardState>();
    empty->identity = Identity::Absent;
    empty->forgotten = true;
    empty->generation = old.generation + 1;
    empty->life = old.life + 1;
    empty->view = std::move(old.view);
    slots[index] = std::move(empty);
    return true;
}

std::size_t SimBackend::keyboardCount() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->keyboards.size();
}

SimKeyboard& SimBackend::keyboard(std::size_t index) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return *state_->keyboards.at(index)->view;
}

SimKeyboard* SimBackend::findKeyboard(std::string_view name) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (auto& kb : state_->keyboards)
        if (!kb->forgotten && kb->spec.name == name) return kb->view.get();
    return nullptr;
}

std::string SimBackend::portOf(const std::string& path) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (const auto& kb : state_->keyboards) {
        if (kb->identity == Identity::Boot && sameText(kb->bootPath, path)) return kb->spec.port;
        if (kb->identity != Identity::Application) continue;
        for (const std::string& p : kb->appPaths)
            if (sameText(p, path)) return kb->spec.port;
    }
    return {};
}

void SimBackend::setOptions(const Options& options) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->options = options;
}

Options SimBackend::options() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->options;
}

void SimBackend::setLatencyUs(int microseconds) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->options.latencyUs = std::max(0, microseconds);
}

void SimBackend::setPaceWait(std::function<void(Clock::time_point)> wait) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->paceWait = std::move(wait);
}

std::uint64_t SimBackend::setTransfers() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->setCalls;
}

std::uint64_t SimBackend::getTransfers() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->getCalls;
}

bool SimBackend::addFault(const FaultSpec& f, std::string* error) {
    using K = FaultSpec::Kind;
    auto fail = [error](const char* why) {
        if (error) *error = why;
        return false;
    };
    switch (f.kind) {
    case K::Status:
    case K::BadChecksum:
    case K::NoAnswer:
    case K::Remove: {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (f.keyboard < 0 || static_cast<std::size_t>(f.keyboard) >= state_->keyboards.size())
            return fail("the fault names no keyboard");
        KeyboardState& kb = *state_->keyboards[static_cast<std::size_t>(f.keyboard)];
        CommandFault c = makeFault(kb, f.kind, f.code, f.at, f.kind == K::Remove ? 1 : f.times);
        c.status = f.status;
        c.offset = f.offset;
        c.backMs = f.backMs;
        kb.faults.push_back(c);
        return true;
    }
    case K::SetFails:
        failSetFeature(f.at > 0 ? f.at : 1, f.times);
        return true;
    case K::GetFails:
        failGetFeature(f.at > 0 ? f.at : 1, f.times);
        return true;
    default:
        break;
    }
    std::lock_guard<std::mutex> lock(state_->mutex);
    SimState& s = *state_;
    switch (f.kind) {
    case K::EnumFails: s.enumFails[f.index] = f.times; break;
    case K::DetailFails: s.detailFails[f.index] = f.times; break;
    case K::OpenFails: s.openFails.push_back(PathFault{f.text, f.times}); break;
    case K::AttributesFail: s.attributesFails.push_back(PathFault{f.text, f.times}); break;
    case K::CapsFail: s.capsFails.push_back(PathFault{f.text, f.times}); break;
    case K::Missing: s.missing.push_back(f.entry); break;
    case K::NullSet: s.nullSet = true; break;
    case K::HidLibraryFails: s.hidLibraryFails = true; break;
    case K::SetupLibraryFails: s.setupLibraryFails = true; break;
    default: break;
    }
    return true;
}

void SimBackend::failSetFeature(int nth, int times) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->setFails.push_back(CountFault{state_->setCalls, nth, times});
}

void SimBackend::failGetFeature(int nth, int times) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->getFails.push_back(CountFault{state_->getCalls, nth, times});
}

void SimBackend::clearFaults() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    SimState& s = *state_;
    for (auto& kb : s.keyboards) kb->faults.clear();
    s.setFails.clear();
    s.getFails.clear();
    s.enumFails.clear();
    s.detailFails.clear();
    s.openFails.clear();
    s.attributesFails.clear();
    s.capsFails.clear();
    s.missing.clear();
    s.nullSet = false;
    s.hidLibraryFails = s.setupLibraryFails = false;
}

void SimBackend::holdNextReply() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->holdArmed = true;
}

bool SimBackend::waitUntilHeld(int timeoutMs) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->holdCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [this] { return state_->heldNow > 0; });
}

void SimBackend::releaseHeld() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->holdArmed = false;
        ++state_->releaseGeneration;
    }
    state_->holdCv.notify_all();
}

void SimBackend::raiseEvent(std::uint32_t event, const Guid& cls, const std::string& name, int afterMs) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    DeviceBroadcast b = makeInterfaceBroadcast(event, cls, name, state_->options.wideNames);
    state_->schedule(Clock::now() + std::chrono::milliseconds(std::max(0, afterMs)),
                     [b] { return std::vector<DeviceBroadcast>{b}; });
}

bool SimBackend::waitIdle(int timeoutMs) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (std::this_thread::get_id() == state_->schedulerId) return state_->queue.empty();
    return state_->idleCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [this] { return state_->queue.empty() && !state_->delivering; });
}

bool SimBackend::flushScheduled(int timeoutMs) {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        auto& q = state_->queue;
        std::sort(q.begin(), q.end(), [](const Scheduled& a, const Scheduled& b) {
            return a.at != b.at ? a.at < b.at : a.seq < b.seq;
        });
        auto now = Clock::now();
        for (Scheduled& item : q) {
            item.at = now;
            item.seq = state_->nextSeq++;
        }
        state_->schedCv.notify_all();
    }
    return waitIdle(timeoutMs);
}

std::size_t SimBackend::pendingEvents() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->queue.size();
}

std::vector<TraceEntry> SimBackend::trace() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return std::vector<TraceEntry>(state_->traceLog.begin(), state_->traceLog.end());
}

std::size_t SimBackend::traceDropped() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->traceDropped;
}

void SimBackend::clearTrace() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->traceLog.clear();
    state_->traceDropped = 0;
}

void SimBackend::setTraceCallback(std::function<void(const TraceEntry&)> callback) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->traceCallback = std::move(callback);
}

void SimBackend::setDeviceEventSink(DeviceEventSink* sink) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    SimState& s = *state_;
    s.sink = sink;
    if (sink && !s.deferredEvents.empty()) {
        // A scenario's events count their delay from the moment someone listens,
        // so that none is lost to a receiver that registers a little late.
        auto now = Clock::now();
        for (const EventSpec& e : s.deferredEvents) {
            DeviceBroadcast b = makeInterfaceBroadcast(e.event, e.cls, e.name, s.options.wideNames);
            s.schedule(now + std::chrono::milliseconds(std::max(0, e.afterMs)),
                       [b] { return std::vector<DeviceBroadcast>{b}; });
        }
        s.deferredEvents.clear();
    }
    // The old receiver may be destroyed once this returns: wait out a delivery
    // in flight, unless the receiver itself is calling from inside one.
    if (std::this_thread::get_id() != state_->schedulerId)
        state_->idleCv.wait(lock, [this] { return !state_->delivering; });
}

// ---------------------------------------------------------------- libraries

bool SimBackend::loadHidLibrary() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->hidLibraryFails) return false;
    state_->hidLoaded = true;
    state_->released = false;
    return true;
}

bool SimBackend::loadSetupLibrary() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->setupLibraryFails) return false;
    state_->setupLoaded = true;
    state_->released = false;
    return true;
}

bool SimBackend::hidLibraryLoaded() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->hidLoaded;
}

bool SimBackend::setupLibraryLoaded() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->setupLoaded;
}

void SimBackend::releaseLibraries() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->hidLoaded = state_->setupLoaded = false;
    state_->released = true;
}

namespace {
bool available(const SimState& s, Entry e) {
    if (s.released) return false;
    if (s.options.strictLibraries && !(isSetupEntry(e) ? s.setupLoaded : s.hidLoaded)) return false;
    return std::find(s.missing.begin(), s.missing.end(), e) == s.missing.end();
}
}  // namespace

// ---------------------------------------------------------------- discovery

HidStatus SimBackend::hidGuid(Guid& out) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!available(*state_, Entry::HidGuid)) return HidStatus::Missing;
    out = kHidInterfaceClass;
    return HidStatus::Ok;
}

HidStatus SimBackend::getClassDevs(const Guid& cls, InterfaceSet& out) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    SimState& s = *state_;
    if (!available(s, Entry::GetClassDevs)) return HidStatus::Missing;
    if (s.nullSet) {
        out = 0;
        return HidStatus::Ok;
    }
    out = s.sets.createOf(cls == kHidInterfaceClass ? s.presentInterfaces() : std::vector<PresentInterface>{});
    return HidStatus::Ok;
}

HidStatus SimBackend::enumInterface(InterfaceSet set, const Guid& cls, int index) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    SimState& s = *state_;
    if (!available(s, Entry::EnumInterface)) return HidStatus::Missing;
    if (s.sets.path(set, index) == nullptr || cls != kHidInterfaceClass) return HidStatus::Failed;
    auto f = s.enumFails.find(index);
    if (f != s.enumFails.end() && f->second != 0) {
        if (f->second > 0) --f->second;
        return HidStatus::Failed;
    }
    return HidStatus::Ok;
}

HidStatus SimBackend::interfaceDetail(InterfaceSet set, const Guid& cls, int index, std::string& path) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    SimState& s = *state_;
    if (!available(s, Entry::InterfaceDetail)) return HidStatus::Missing;
    const std::string* listed = s.sets.path(set, index);
    if (listed == nullptr || cls != kHidInterfaceClass) return HidStatus::Failed;
    auto f = s.detailFails.find(index);
    if (f != s.detailFails.end() && f->second != 0) {
        if (f->second > 0) --f->second;
        return HidStatus::Failed;
    }
    path = *listed;
    return HidStatus::Ok;
}

HidStatus SimBackend::destroyClassDevs(InterfaceSet set) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    SimState& s = *state_;
    if (!available(s, Entry::DestroyClassDevs)) return HidStatus::Missing;
    return s.sets.destroy(set) ? HidStatus::Ok : HidStatus::Failed;
}

HidStatus SimBackend::open(const std::string& path, Access access, HidHandle& out) {
    (void)access;
    std::lock_guard<std::mutex> lock(state_->mutex);
    SimState& s = *state_;
    if (s.released) return HidStatus::Failed;
    for (const PresentInterface& p : s.presentInterfaces()) {
        if (!sameText(p.path, path)) continue;
        if (takePathFault(s.openFails, p.path)) return HidStatus::Failed;
        HidHandle h = s.nextHandle++;
        s.handles[h] = HandleState{p.keyboard, p.iface, s.keyboards[p.keyboard]->generation, p.path};
        out = h;
        return HidStatus::Ok;
    }
    return HidStatus::Failed;
}

void SimBackend::close(HidHandle handle) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->handles.erase(handle);
}

HidStatus SimBackend::attributes(HidHandle handle, HidAttributes& out) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    SimState& s = *state_;
    if (!available(s, Entry::Attributes)) return HidStatus::Missing;
    const HandleState* h = s.liveHandle(handle);
    PresentInterface p;
    if (!h || !s.presentInterface(*h, p) || takePathFault(s.attributesFails, p.path)) return HidStatus::Failed;
    out.vid = p.vid;
    out.pid = p.pid;
    return HidStatus::Ok;
}

HidStatus SimBackend::capabilities(HidHandle handle, HidCaps& out) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    SimState& s = *state_;
    if (!available(s, Entry::Capabilities)) return HidStatus::Missing;
    const HandleState* h = s.liveHandle(handle);
    PresentInterface p;
    if (!h || !s.presentInterface(*h, p) || takePathFault(s.capsFails, p.path)) return HidStatus::Failed;
    out = HidCaps{};
    out.usagePage = p.usagePage;
    out.usage = p.usage;
    out.featureReportByteLength = p.featureLength;
    return HidStatus::Ok;
}

// ---------------------------------------------------------------- transfers

namespace {

struct TransferEnd {
    Clock::time_point deadline{};
    bool pace = false;
    std::function<void(Clock::time_point)> wait;
    std::function<void(const TraceEntry&)> callback;
    TraceEntry entry;
    bool traced = false;
};

// Reserves the transfer's slot on its keyboard's bus: it completes at the
// later of now and the end of the bus's previous transfer, plus the latency.
// Other buses do not wait for it.
void reserve(SimState& s, TransferEnd& end, HidHandle handle, Clock::time_point now) {
    if (s.options.latencyUs <= 0) return;
    Clock::time_point& chain = s.paceChain(handle);
    end.deadline = std::max(now, chain) + std::chrono::microseconds(s.options.latencyUs);
    chain = end.deadline;
    end.pace = true;
    end.wait = s.paceWait;
}

void record(SimState& s, TransferEnd& end, TraceKind kind, HidHandle handle, const std::uint8_t* bytes,
            std::size_t length, HidStatus result) {
    if (!s.options.trace && !s.traceCallback) return;
    TraceEntry e;
    e.kind = kind;
    e.handle = handle;
    auto h = s.handles.find(handle);
    if (h != s.handles.end()) e.path = h->second.path;
    if (bytes) e.bytes.assign(bytes, bytes + length);
    e.result = result;
    e.when = Clock::now();
    if (s.options.trace) {
        if (s.options.traceLimit > 0) s.traceLog.push_back(e);
        while (s.traceLog.size() > s.options.traceLimit) {
            s.traceLog.pop_front();
            ++s.traceDropped;
        }
        if (s.options.traceLimit == 0) ++s.traceDropped;
    }
    if (s.traceCallback) {
        end.callback = s.traceCallback;
        end.entry = std::move(e);
        end.traced = true;
    }
}

// Runs without the simulator's lock, so that transfers on other buses go on
// meanwhile.
void finish(TransferEnd& end) {
    if (end.pace) {
        if (end.wait) end.wait(end.deadline);
        else std::this_thread::sleep_until(end.deadline);
    }
    if (end.traced && end.callback) end.callback(end.entry);
}

}  // namespace

HidStatus SimBackend::setFeature(HidHandle handle, const std::uint8_t* report, std::size_t length) {
    TransferEnd end;
    HidStatus result = HidStatus::Failed;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        SimState& s = *state_;
        if (!available(s, Entry::SetFeature)) return HidStatus::Missing;
        auto now = Clock::now();
        ++s.setCalls;
        reserve(s, end, handle, now);
        const HandleState* h = s.liveHandle(handle);
        PresentInterface p;
        if (takeCountFault(s.setFails, s.setCalls)) {
            result = HidStatus::Failed;
        } else if (h && report && s.presentInterface(*h, p) && p.protocol && length == p.featureLength) {
            if (p.legacyProtocol) {
                if (report[0] == 0x00) {
                    s.legacyOutput(h->keyboard, report, length, now);
                    result = HidStatus::Ok;
                }
            } else if (report[0] == 0x01) {
                s.outputReport(h->keyboard, p, report, length, now);
                result = HidStatus::Ok;
            }
        }
        record(s, end, TraceKind::Set, handle, report, report ? length : 0, result);
    }
    finish(end);
    return result;
}

HidStatus SimBackend::getFeature(HidHandle handle, std::uint8_t* buffer, std::size_t length) {
    TransferEnd end;
    HidStatus result = HidStatus::Failed;
    bool hold = false;
    bool notReady = false;
    std::vector<std::uint8_t> held;
    {
        std::unique_lock<std::mutex> lock(state_->mutex);
        SimState& s = *state_;
        if (!available(s, Entry::GetFeature)) return HidStatus::Missing;
        auto now = Clock::now();
        ++s.getCalls;
        reserve(s, end, handle, now);
        const HandleState* h = s.liveHandle(handle);
        PresentInterface p;
        if (takeCountFault(s.getFails, s.getCalls)) {
            result = HidStatus::Failed;
        } else if (h && buffer && s.presentInterface(*h, p) && p.protocol) {
            if (p.legacyProtocol) {
                if (length == p.featureLength && buffer[0] == 0x00) {
                    s.legacyInput(h->keyboard, p, buffer, length);
                    result = HidStatus::Ok;
                }
            } else if (length == static_cast<std::size_t>(p.featureLength) + 1 && buffer[0] == 0x01) {
                s.inputReport(h->keyboard, p, buffer, length, now, hold, notReady);
                result = HidStatus::Ok;
            }
        }
        if (hold) {
            // The block has been taken from the keyboard; it reaches the caller
            // only when the test lets go.
            held.assign(buffer, buffer + length);
            std::uint64_t generation = s.releaseGeneration;
            ++s.heldNow;
            s.holdCv.notify_all();
            s.holdCv.wait(lock, [&] { return s.releaseGeneration != generation || s.stopping; });
            --s.heldNow;
            s.holdCv.notify_all();
            std::memcpy(buffer, held.data(), length);
        }
        record(s, end, TraceKind::Get, handle, buffer, buffer ? length : 0, result);
    }
    // A reply that is not ready yet: a USB frame passes before the next poll,
    // so a time-busy keyboard is not polled thousands of times a millisecond.
    if (notReady && !end.pace) std::this_thread::sleep_for(std::chrono::microseconds(500));
    finish(end);
    return result;
}

}  // namespace vantel::sim
