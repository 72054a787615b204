#pragma once
// The simulator's internal state, shared by the back end, the keyboard views
// and the keyboard model. Everything here is guarded by SimState::mutex.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/interface_sets.h"
#include "sim/sim.h"

namespace vantel::sim {

using Clock = std::chrono::steady_clock;

struct CommandFault {
    FaultSpec::Kind kind = FaultSpec::Kind::Status;
    std::uint8_t code = 0;
    std::uint8_t status = 0;
    int start = 1;   // first matching occurrence (1-based)
    int times = 1;   // kAlways: unlimited
    int used = 0;    // matches so far (offset faults)
    std::optional<std::uint32_t> offset;
    int backMs = -1;
};

struct FlashRegion {
    std::vector<std::uint8_t> bytes;
    std::vector<bool> written;
    std::map<std::uint32_t, int> blockWrites;
    int erases = 0;
};

enum class Identity { Application, Boot, Absent };

// What the keyboard does once the host has read the last block of a reply.
enum class AfterReply { None, LeaveToBoot, LeaveToApplication };

struct PendingReply {
    bool active = false;
    bool noAnswer = false;
    std::vector<std::uint8_t> bytes;  // whole blocks of blockSize bytes
    std::size_t blockSize = 9;
    std::size_t next = 0;             // next block to serve
    int busyPolls = 0;
    Clock::time_point readyAt{};
    AfterReply after = AfterReply::None;

    std::size_t blocks() const { return blockSize ? bytes.size() / blockSize : 0; }
};

struct PresentInterface {
    std::size_t keyboard = 0;
    std::size_t iface = 0;  // index into the keyboard's interfaces (0 for the boot loader)
    std::string path;
    std::uint16_t vid = 0, pid = 0;
    std::uint16_t usagePage = 0, usage = 0, featureLength = 0;
    bool protocol = false;
    bool legacyProtocol = false;  // unframed reports (the legacy application firmware)
};

struct KeyboardState {
    KeyboardSpec spec;
    std::unique_ptr<SimKeyboard> view;
    std::vector<std::string> appPaths;
    std::string bootPath;

    Identity identity = Identity::Application;
    Identity lastIdentity = Identity::Application;  // what a re-plug brings back
    std::uint64_t generation = 1;  // changes whenever the device leaves: old handles die
    // Scheduled changes carry these and lapse when they have moved on: `life`
    // when the slot is forgotten or taken by another keyboard, `epoch` when
    // the user pulls the cable (the keyboard's own returns are cancelled).
    std::uint64_t life = 1;
    std::uint64_t epoch = 1;
    std::optional<Identity> returning;  // a return the keyboard has scheduled itself
    bool forgotten = false;
    Clock::time_point deadline{};  // the end of its last transfer when it has no port (a bus of its own)

    bool inIsp = false;
    Region target = Region::Application;
    int page = 0;
    FlashRegion app, boot;

    bool modeFlag = false;
    std::vector<bool> modeHistory;
    int testMode = 0, factory = 0, resets = 0, bootResets = 0;
    std::vector<ReceivedCommand> commands;
    std::map<std::uint8_t, int> occurrences;
    std::vector<CommandFault> faults;

    std::vector<std::uint8_t> assembly;  // request frame being assembled
    PendingReply reply;
    bool legacyVersionReady = false;

    FlashRegion& region(Region r) { return r == Region::Boot ? boot : app; }
    std::uint16_t currentVid() const;
    std::uint16_t currentPid() const;
};

struct HandleState {
    std::size_t keyboard = 0;
    std::size_t iface = 0;
    std::uint64_t generation = 0;
    std::string path;
};

struct CountFault {  // set/get failures: calls nth .. nth+times-1 after arming
    std::uint64_t base = 0;
    int nth = 1;
    int times = 1;
};

struct PathFault {
    std::string text;
    int remaining = kAlways;
};

struct Scheduled {
    Clock::time_point at;
    std::uint64_t seq = 0;
    std::function<std::vector<DeviceBroadcast>()> action;  // runs under the lock
};

struct SimState {
    mutable std::mutex mutex;
    Options options;
    std::vector<std::unique_ptr<KeyboardState>> keyboards;

    std::map<HidHandle, HandleState> handles;
    HidHandle nextHandle = 0x100;
    InterfaceSets sets{0x5E7};

    bool hidLoaded = false, setupLoaded = false, released = false;
    bool hidLibraryFails = false, setupLibraryFails = false;
    std::vector<Entry> missing;
    bool nullSet = false;
    std::map<int, int> enumFails, detailFails;  // index -> remaining
    std::vector<PathFault> openFails, attributesFails, capsFails;
    std::vector<CountFault> setFails, getFails;

    std::uint64_t setCalls = 0, getCalls = 0;
    // The end of the last transfer on each bus; transfers on a handle of no
    // keyboard have a chain of their own.
    std::map<std::string, Clock::time_point> busDeadlines;
    Clock::time_point strayDeadline{};
    std::function<void(Clock::time_point)> paceWait;
    Clock::time_point created = Clock::now();  // a scenario's timeline counts from here

    std::deque<TraceEntry> traceLog;  // the most recent traceLimit entries
    std::size_t traceDropped = 0;
    std::function<void(const TraceEntry&)> traceCallback;

    // Late replies.
    bool holdArmed = false;
    int heldNow = 0;
    std::uint64_t releaseGeneration = 0;
    std::condition_variable holdCv;

    // Scheduler.
    std::vector<Scheduled> queue;
    std::uint64_t nextSeq = 1;
    bool stopping = false;
    bool delivering = false;
    DeviceEventSink* sink = nullptr;
    std::vector<EventSpec> deferredEvents;  // a scenario's events: their clock starts with the receiver
    std::condition_variable schedCv, idleCv;
    std::thread scheduler;
    std::thread::id schedulerId;

    // --- helpers; the caller holds `mutex` ---
    std::vector<PresentInterface> presentInterfaces() const;
    void presentOf(std::size_t k, std::vector<PresentInterface>& out) const;
    const HandleState* liveHandle(HidHandle h) const;
    bool presentInterface(const HandleState& h, PresentInterface& out) const;
    void schedule(Clock::time_point at, std::function<std::vector<DeviceBroadcast>()> action);
    // Schedules a change of keyboard k that lapses if the slot is forgotten.
    void scheduleFor(std::size_t k, Clock::time_point at, std::function<std::vector<DeviceBroadcast>()> action);
    // The keyboard comes back by itself (re-enumeration, a removal fault's
    // back-ms) as `identity`, unless the user pulls the cable first.
    void scheduleReturn(std::size_t k, Clock::time_point at, Identity identity);
    Clock::time_point& paceChain(HidHandle handle);
    DeviceBroadcast broadcast(std::uint32_t event, const std::string& path) const;

    // Presence.
    std::vector<DeviceBroadcast> leave(std::size_t k);
    std::vector<DeviceBroadcast> arrive(std::size_t k, Identity identity);
    void leaveThenArrive(std::size_t k, Identity next, int leaveMs, int reenumerateMs, Clock::time_point now);
    void leaveNow(std::size_t k, Clock::time_point now);
    // The user's cable: pull it now, or plug it in (at `port` when not empty).
    std::vector<DeviceBroadcast> pull(std::size_t k);
    std::vector<DeviceBroadcast> plug(std::size_t k, const std::optional<std::string>& port);

    // The keyboard model (keyboard.cpp).
    void outputReport(std::size_t k, const PresentInterface& iface, const std::uint8_t* report,
                      std::size_t length, Clock::time_point now);
    // Fills `buffer` with the next block or filler; sets `holdThis` when the
    // block is the first of a reply and a hold is armed, `notReady` while the
    // reply waits out its busy time.
    void inputReport(std::size_t k, const PresentInterface& iface, std::uint8_t* buffer,
                     std::size_t length, Clock::time_point now, bool& holdThis, bool& notReady);
    void legacyOutput(std::size_t k, const std::uint8_t* report, std::size_t length, Clock::time_point now);
    void legacyInput(std::size_t k, const PresentInterface& iface, std::uint8_t* buffer, std::size_t length);
    void request(std::size_t k, const std::vector<std::uint8_t>& frame, std::size_t blockSize,
                 Clock::time_point now);
    void execute(std::size_t k, std::uint8_t code, const std::vector<std::uint8_t>& args);
    void setReply(std::size_t k, std::uint8_t code, std::uint8_t status,
                  const std::vector<std::uint8_t>& data);
    void replyConsumed(std::size_t k, Clock::time_point now);
    bool matchFault(KeyboardState& kb, std::uint8_t code, int occurrence,
                    std::optional<std::uint32_t> offset, CommandFault& hit);
};

}  // namespace vantel::sim
