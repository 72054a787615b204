#pragma once
// The simulated keyboard: a HidBackend that models keyboards (their application
// firmware, their boot loader, their USB presence) rather than canned replies.
//
// Every HID call is answered from the keyboard's state, byte for byte as the
// keyboard's firmware would: output reports are assembled into request frames,
// the request is executed, and the reply frame is served in blocks to the
// host's polling reads. Re-enumeration, faults and USB timing are part of the
// model, so the host's real code paths run against it.
//
// Thread-safe: calls may arrive from any thread. Arrivals and removals are
// delivered from the simulator's own scheduler thread, never from inside a HID
// call and never with the simulator's lock held.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/hid_backend.h"

namespace vantel::sim {

// Statuses the simulated firmware answers besides 0 and the configured ones.
inline constexpr std::uint8_t kStatusUnknownCommand = 0x01;  // not a command of the current firmware
inline constexpr std::uint8_t kStatusWrongMode = 0x02;       // boot-loader command in the application or vice versa
inline constexpr std::uint8_t kStatusOutOfRange = 0x03;      // write or page outside the flash
inline constexpr std::uint8_t kStatusRefused = 0x04;         // profile not accepted
inline constexpr std::uint8_t kStatusBadLength = 0x05;       // wrong number of arguments
inline constexpr std::uint8_t kStatusBadChecksum = 0xF0;     // the request frame's checksum did not match

struct InterfaceSpec {
    std::string path;               // empty: generated from the keyboard's IDs and `mi`
    std::uint16_t usagePage = 0xFF00;
    std::uint16_t usage = 0x0080;
    std::uint16_t featureLength = 8;  // R, report-ID byte included
    int mi = -1;                    // interface number in a generated path; -1: automatic
    bool protocol = true;           // the keyboard's command protocol is served here
};

enum class IspStyle {
    Separate,  // the boot loader comes up as a new device (other PID, other path)
    SamePath,  // the boot loader answers on the keyboard's own interface
};

enum class LegacyVersionForm {
    Terminated,    // byte 1 = 0xA0, zero-terminated text from byte 2
    Unterminated,  // the text fills the report without a terminator
    WrongMarker,   // byte 1 is not 0xA0
};

struct BusySpec {
    int polls = 0;  // reads answered with a filler block before the reply
    int ms = 0;     // and/or the reply is not ready before this many milliseconds
};

struct KeyboardSpec {
    std::string name;  // for references in scenarios and messages; may be empty
    std::uint16_t vid = 0x0F39;
    std::uint16_t pid = 0x0641;
    std::vector<InterfaceSpec> interfaces;  // empty: one framed interface
    bool passive = false;  // not a keyboard: enumerates, answers no command
    // Where the keyboard is plugged in ("1-2.3": bus and port chain, as Linux
    // names USB devices). Its interfaces and its boot loader are at this place,
    // and its transfers share the bus (the number before '-') with the other
    // keyboards there. Empty: unknown, and a bus of its own.
    std::string port;
    bool plugged = true;  // present from the start; false: only once plugged in

    std::string appVersion = "S5301V10";        // CMD_GET_VERSION 0xB0
    std::string ispVersion = "B0301/S5301V11";  // CMD_GET_ISP_VERSION 0xA6
    std::vector<std::string> profiles = {"GF", "GL", "CL"};  // accepted by 0xB4
    // Accepted 10-byte profile record (0xB4 with 10 bytes, 0xA5); none: any record.
    std::optional<std::vector<std::uint8_t>> profileRecord;
    bool ispProfileAccepted = true;  // 0xA5 accepts (the record, when one is set)

    int flashKiB = 64;      // application flash, reported by 0xA0 (1 .. 255)
    int bootFlashKiB = 4;   // boot-loader region, reported by 0xAA (1 .. 255)
    std::uint16_t ispValue = 0x1234;  // the 16-bit value of the 0xA0/0xAA reply
    std::uint8_t erasedValue = 0x00;

    IspStyle isp = IspStyle::Separate;
    std::uint16_t ispVid = 0;        // 0: the keyboard's own vendor ID
    std::uint16_t ispPid = 0x0001;   // the boot loader's product ID (0x0001 or 0x0000)
    int leaveMs = 0;                 // after the reply is read, until the device leaves
    int reenumerateMs = 50;          // from leaving until the other device arrives
    std::uint8_t gotoPageStatus = 0; // 0xA2 in the application firmware (0 or 241)
    std::uint8_t modeFlagStatus = 0; // 0xA9; nonzero: refused, flag unchanged
    std::uint8_t resetStatus = 0;    // 0xAF in the boot loader; nonzero: stays in it
    bool startsInIsp = false;        // present as the boot-loader device from the start

    bool legacy = false;  // unframed reports with report ID 0 (vendor 0x0404 keyboards)
    LegacyVersionForm legacyVersion = LegacyVersionForm::Terminated;

    std::map<std::uint8_t, BusySpec> busy;  // per command code
};

enum class Region { Application, Boot };

struct ReceivedCommand {
    std::uint8_t code = 0;
    std::vector<std::uint8_t> args;
    bool checksumOk = true;
    bool inIsp = false;  // received by the boot loader
};

enum class TraceKind { Set, Get };

struct TraceEntry {
    TraceKind kind = TraceKind::Set;
    HidHandle handle = kNoHandle;
    std::string path;
    std::vector<std::uint8_t> bytes;  // sent (Set) or returned (Get)
    HidStatus result = HidStatus::Ok;
    std::chrono::steady_clock::time_point when{};
};

// Entry points that a fault can make Missing.
enum class Entry {
    HidGuid, GetClassDevs, EnumInterface, InterfaceDetail, DestroyClassDevs,
    Attributes, Capabilities, SetFeature, GetFeature,
};

inline constexpr int kAlways = -1;  // a fault's count: every occurrence

// A fault as a scenario states it; also accepted by SimBackend::addFault.
struct FaultSpec {
    enum class Kind {
        Status,          // code [at N] [offset X] times K: answer `status`
        BadChecksum,     // code [at N] times K: the reply's checksum is wrong
        NoAnswer,        // code [at N] times K: filler blocks until the next request
        Remove,          // code [at N] [offset X]: the keyboard leaves; back after backMs (-1 never)
        SetFails,        // the Nth set-feature call from now fails, K times
        GetFails,        // the Nth get-feature call from now fails, K times
        EnumFails,       // enumeration at `index`
        DetailFails,     // detail query at `index`
        OpenFails,       // open of a path containing `text`, K times
        AttributesFail,  // attributes of a path containing `text`, K times
        CapsFail,        // capabilities of a path containing `text`, K times
        Missing,         // `entry` cannot be looked up
        NullSet,         // getClassDevs yields the null set
        HidLibraryFails,
        SetupLibraryFails,
    };
    Kind kind = Kind::Status;
    int keyboard = -1;  // index of the keyboard for command faults
    std::uint8_t code = 0;
    std::uint8_t status = 0;
    int at = 0;      // 1-based occurrence; 0: from the next one
    int times = 1;   // kAlways: every one
    std::optional<std::uint32_t> offset;  // absolute flash offset of a CMD_WRITE_BLOCK
    int backMs = -1;
    int index = 0;
    std::string text;
    Entry entry = Entry::HidGuid;
};

// An arrival or removal raised by a scenario.
struct EventSpec {
    std::uint32_t event = DBT_DEVICEARRIVAL;
    Guid cls{};
    std::string name;
    int afterMs = 0;
};

// A keyboard plugged in or pulled out at a time counted from the simulator's
// construction (a scenario's "at 2.5 s plug rx431 at 1-3").
struct PlugSpec {
    int atMs = 0;
    bool plug = true;      // false: unplug
    std::size_t keyboard = 0;
    std::string port;      // plug only; empty: where it was
};

struct Options {
    bool wideNames = false;      // broadcast names as 16-bit text
    int latencyUs = 0;           // per transfer, paced by absolute deadlines
    bool strictLibraries = false;  // calls are Missing until the library is loaded
    bool trace = true;
    std::size_t traceLimit = 50000;  // the most recent entries are kept; older ones are counted
};

struct Scenario {
    Options options;
    std::vector<KeyboardSpec> keyboards;  // passive devices included, in enumeration order
    std::vector<FaultSpec> faults;
    std::vector<EventSpec> events;
    std::vector<PlugSpec> timeline;
};

// True for a USB location such as "1-2" or "2-1.4": a bus, '-', then a chain
// of port numbers separated by '.'.
bool validPort(std::string_view port);
// The bus of a USB location: the text before the first '-' ("2" of "2-1.4").
std::string busOf(std::string_view port);

// Parses the scenario text format (docs/SIMULATOR.md). On failure returns
// nullopt and sets `error` to "line N: reason".
std::optional<Scenario> parseScenario(std::string_view text, std::string& error);
std::optional<Scenario> builtinScenario(std::string_view name);
std::vector<std::string> builtinScenarioNames();

class SimBackend;
struct SimState;

// A view of one simulated keyboard. Every accessor takes a snapshot under the
// simulator's lock; the view lives as long as its SimBackend.
class SimKeyboard {
public:
    std::size_t index() const { return index_; }
    KeyboardSpec spec() const;

    // Flash contents, the bytes written since the last erase, and the number of
    // CMD_WRITE_BLOCK requests per absolute block offset since the last erase.
    std::vector<std::uint8_t> flash(Region region = Region::Application) const;
    std::vector<bool> written(Region region = Region::Application) const;
    std::map<std::uint32_t, int> blockWrites(Region region = Region::Application) const;
    int eraseCount(Region region = Region::Application) const;
    void setFlash(const std::vector<std::uint8_t>& bytes, Region region = Region::Application);

    bool modeFlag() const;
    std::vector<bool> modeFlagHistory() const;  // every accepted 0xA9, in order
    bool inIsp() const;
    bool present() const;
    int currentPage() const;
    int testModeCount() const;
    int factoryDefaultsCount() const;
    int resetCount() const;  // resets of the application firmware (0xAF, legacy RST)
    int bootResetCount() const;  // 0xAF received by the boot loader
    std::vector<ReceivedCommand> commands() const;
    std::uint16_t vid() const;  // of the device that is present now (or was last)
    std::uint16_t pid() const;
    std::string path() const;   // the protocol interface's path now (empty when absent)
    std::vector<std::string> paths() const;  // every present interface

    // Faults of this keyboard (see FaultSpec).
    void failCommand(std::uint8_t code, std::uint8_t status, int times = 1, int at = 0);
    void failWriteAt(std::uint32_t offset, std::uint8_t status, int times = 1);
    void corruptReply(std::uint8_t code, int times = 1, int at = 0);
    void noAnswer(std::uint8_t code, int times = kAlways, int at = 0);
    void removeAt(std::uint8_t code, int at = 0, int backMs = -1);
    void removeAtWrite(std::uint32_t offset, int backMs = -1);
    void setBusy(std::uint8_t code, BusySpec busy);

    // The user pulls the cable / plugs it back in (as the device it was: a
    // keyboard left in its boot loader comes back as the boot loader). Pulling
    // the cable also cancels a return the keyboard had scheduled itself (the
    // re-enumeration into or out of the boot loader, a removal fault's
    // back-ms); the keyboard then comes back as the device it was becoming.
    // Plugging in a keyboard that is present does nothing.
    void unplug();
    void plugIn(int afterMs = 0);
    // The same, plugged in at another USB location: the keyboard moves there
    // unless it is present when the plug takes effect.
    void plugInAt(const std::string& port, int afterMs = 0);
    std::string port() const;  // where it is (or was last) plugged in

private:
    friend class SimBackend;
    SimKeyboard(SimState* state, std::size_t index) : state_(state), index_(index) {}
    SimState* state_;
    std::size_t index_;
};

class SimBackend : public HidBackend {
public:
    SimBackend();
    explicit SimBackend(const Scenario& scenario);
    ~SimBackend() override;
    SimBackend(const SimBackend&) = delete;
    SimBackend& operator=(const SimBackend&) = delete;

    // Keyboards in enumeration order. A keyboard added later is announced with
    // arrival events when `announce` is set.
    // A slot freed by forget() is taken again (its index, hence its paths), so
    // that a program adding keyboards one after the other for hours keeps a
    // bounded state.
    SimKeyboard& addKeyboard(const KeyboardSpec& spec, bool announce = false);
    // Drops an absent keyboard: its flash, history and faults are freed, it is
    // never listed again and nothing it had scheduled happens. Its view stays
    // valid as an object, but the next addKeyboard may reuse it for another
    // keyboard. False (and nothing changes) while the keyboard is present.
    bool forget(std::size_t index);
    std::size_t keyboardCount() const;  // slots, forgotten ones included
    SimKeyboard& keyboard(std::size_t index = 0);
    SimKeyboard* findKeyboard(std::string_view name);
    // The USB location of a present interface's path (application or boot
    // loader); empty for a path that is not present or a keyboard without one.
    std::string portOf(const std::string& path) const;

    void setOptions(const Options& options);
    Options options() const;
    void setLatencyUs(int microseconds);
    // Replaces the wait until a paced transfer's end (std::this_thread::
    // sleep_until by default), so that a test sees the deadlines without
    // waiting for them. Called outside the simulator's lock; nullptr restores
    // the sleep.
    void setPaceWait(std::function<void(std::chrono::steady_clock::time_point)> wait);
    std::uint64_t setTransfers() const;
    std::uint64_t getTransfers() const;

    // Faults: command faults go to SimKeyboard; these are the transport's and
    // discovery's. addFault takes any FaultSpec (a scenario's faults).
    bool addFault(const FaultSpec& fault, std::string* error = nullptr);
    void failSetFeature(int nth = 1, int times = 1);
    void failGetFeature(int nth = 1, int times = 1);
    void clearFaults();

    // Late replies: the next get-feature that would return the first block of
    // a reply takes that block and then blocks until releaseHeld().
    void holdNextReply();
    bool waitUntilHeld(int timeoutMs);
    void releaseHeld();

    // Raises an arrival or removal of any class after `afterMs`.
    void raiseEvent(std::uint32_t event, const Guid& cls, const std::string& name, int afterMs = 0);
    // Waits until no scheduled change is pending or being delivered.
    bool waitIdle(int timeoutMs);
    // Makes every scheduled change due now, then waits until all are delivered.
    bool flushScheduled(int timeoutMs);
    std::size_t pendingEvents() const;

    // The report trace: the most recent Options::traceLimit reports, oldest first.
    std::vector<TraceEntry> trace() const;
    std::size_t traceDropped() const;
    void clearTrace();
    // Called for every exchanged report, on the calling thread, outside the lock.
    void setTraceCallback(std::function<void(const TraceEntry&)> callback);

    // HidBackend.
    bool loadHidLibrary() override;
    bool loadSetupLibrary() override;
    bool hidLibraryLoaded() const override;
    bool setupLibraryLoaded() const override;
    void releaseLibraries() override;
    HidStatus hidGuid(Guid& out) override;
    HidStatus getClassDevs(const Guid& cls, InterfaceSet& out) override;
    HidStatus enumInterface(InterfaceSet set, const Guid& cls, int index) override;
    HidStatus interfaceDetail(InterfaceSet set, const Guid& cls, int index, std::string& path) override;
    HidStatus destroyClassDevs(InterfaceSet set) override;
    HidStatus open(const std::string& path, Access access, HidHandle& out) override;
    void close(HidHandle handle) override;
    HidStatus attributes(HidHandle handle, HidAttributes& out) override;
    HidStatus capabilities(HidHandle handle, HidCaps& out) override;
    HidStatus setFeature(HidHandle handle, const std::uint8_t* report, std::size_t length) override;
    HidStatus getFeature(HidHandle handle, std::uint8_t* buffer, std::size_t length) override;
    void setDeviceEventSink(DeviceEventSink* sink) override;

private:
    std::unique_ptr<SimState> state_;
};

// Reads VANTEL_SIMULATE: a scenario file when such a file exists, else the name
// of a built-in scenario. Unset or empty: nullptr and no error. A file that
// does not parse or an unknown name: nullptr and `error` says why.
std::unique_ptr<SimBackend> simulatorFromEnvironment(std::string& error);
// The same for a given value of the variable.
std::unique_ptr<SimBackend> simulatorFromSetting(const std::string& value, std::string& error);

// Generated device paths, lower-case IDs as Windows writes them.
// `col` > 0 adds "&colNN": one of several top-level collections of interface `mi`.
std::string applicationPath(std::uint16_t vid, std::uint16_t pid, int mi, std::size_t instance, int col = 0);
std::string ispPath(std::uint16_t vid, std::uint16_t pid, std::size_t instance);

}  // namespace vantel::sim
