// The simulator served over a socket: a client sees the same keyboards, bytes
// and events as the serving process, and what a client leaves open dies with it.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include "../cli/image_maker.h"
#include "host.h"
#include "link/commands.h"
#include "link/discovery.h"
#include "link/link.h"
#include "link/timing.h"
#include "sim/remote_backend.h"

using namespace simtest;

namespace {

// Counts what is open in the served back end.
class CountingBackend final : public HidBackend {
public:
    explicit CountingBackend(HidBackend& inner) : in_(inner) {}
    std::atomic<int> handles{0};
    std::atomic<int> sets{0};

    bool loadHidLibrary() override { return in_.loadHidLibrary(); }
    bool loadSetupLibrary() override { return in_.loadSetupLibrary(); }
    bool hidLibraryLoaded() const override { return in_.hidLibraryLoaded(); }
    bool setupLibraryLoaded() const override { return in_.setupLibraryLoaded(); }
    void releaseLibraries() override { in_.releaseLibraries(); }
    HidStatus hidGuid(Guid& out) override { return in_.hidGuid(out); }
    HidStatus getClassDevs(const Guid& cls, InterfaceSet& out) override {
        HidStatus s = in_.getClassDevs(cls, out);
        sets += s == HidStatus::Ok && out != 0;
        return s;
    }
    HidStatus enumInterface(InterfaceSet set, const Guid& cls, int index) override {
        return in_.enumInterface(set, cls, index);
    }
    HidStatus interfaceDetail(InterfaceSet set, const Guid& cls, int index, std::string& path) override {
        return in_.interfaceDetail(set, cls, index, path);
    }
    HidStatus destroyClassDevs(InterfaceSet set) override {
        HidStatus s = in_.destroyClassDevs(set);
        sets -= s == HidStatus::Ok;
        return s;
    }
    HidStatus open(const std::string& path, Access access, HidHandle& out) override {
        HidStatus s = in_.open(path, access, out);
        handles += s == HidStatus::Ok;
        return s;
    }
    void close(HidHandle handle) override {
        --handles;
        in_.close(handle);
    }
    HidStatus attributes(HidHandle handle, HidAttributes& out) override { return in_.attributes(handle, out); }
    HidStatus capabilities(HidHandle handle, HidCaps& out) override { return in_.capabilities(handle, out); }
    HidStatus setFeature(HidHandle handle, const std::uint8_t* report, std::size_t length) override {
        return in_.setFeature(handle, report, length);
    }
    HidStatus getFeature(HidHandle handle, std::uint8_t* buffer, std::size_t length) override {
        return in_.getFeature(handle, buffer, length);
    }
    void setDeviceEventSink(DeviceEventSink* sink) override { in_.setDeviceEventSink(sink); }

private:
    HidBackend& in_;
};

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    return address;
}

// Polls a condition another thread brings about; a generous bound, no sleep
// that the result depends on.
template <class Condition>
bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class Remote : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = timing();
        timing().replyWaitPolls = kScaledReplyWaitPolls;
        timing().readRetryPauseMs = 1;
        socket_ = (std::filesystem::temp_directory_path() /
                   ("vantel-remote-" + std::to_string(::getpid()) + ".sock")).string();
        sim_.loadHidLibrary();
        sim_.loadSetupLibrary();
        KeyboardSpec spec;
        spec.port = "1-3";
        keyboard_ = &sim_.addKeyboard(spec);
        server_ = std::make_unique<BackendServer>(counting_, [this](const std::string& path) {
            for (std::size_t i = 0; i < sim_.keyboardCount(); ++i) {
                const auto paths = sim_.keyboard(i).paths();
                if (std::find(paths.begin(), paths.end(), path) != paths.end()) return sim_.keyboard(i).spec().port;
            }
            return std::string();
        });
        std::string error;
        ASSERT_TRUE(server_->listen(socket_, error)) << error;
        client_ = connect();
    }
    void TearDown() override {
        closeLink();
        waitForReadersToEnd(2000);
        setLinkBackend(nullptr);
        client_.reset();
        server_.reset();
        timing() = saved_;
    }
    std::unique_ptr<RemoteBackend> connect() {
        std::string error;
        auto client = RemoteBackend::connect(socket_, error);
        EXPECT_TRUE(client) << error;
        return client;
    }

    SimBackend sim_;
    CountingBackend counting_{sim_};
    SimKeyboard* keyboard_ = nullptr;
    std::string socket_;
    std::unique_ptr<BackendServer> server_;
    std::unique_ptr<RemoteBackend> client_;
    Timing saved_;
};

TEST_F(Remote, TheLinkTalksToTheServedKeyboard) {
    RemoteBackend& remote = *client_;
    ASSERT_TRUE(remote.loadHidLibrary());
    ASSERT_TRUE(remote.loadSetupLibrary());
    setLinkBackend(&remote);
    DeviceTable table;
    struct : DeviceList {
        std::vector<std::string> items;
        void resetContent() override { items.clear(); }
        void addString(const std::string& t) override { items.push_back(t); }
        void setCurSel(int) override {}
        int getCurSel() const override { return 0; }
        int getCount() const override { return static_cast<int>(items.size()); }
        std::string getItemText(int i) const override { return items.at(static_cast<std::size_t>(i)); }
    } list;
    std::atomic<bool> workerRunning{false};
    discoverDevices(table, list, -1, workerRunning);
    ASSERT_EQ(list.items, std::vector<std::string>{"RX-431"});
    EXPECT_EQ(counting_.sets.load(), 0);  // the walk's sets are destroyed again
    EXPECT_EQ(remote.portOf(table.entries[0].path), "1-3");
    EXPECT_EQ(remote.portOf("elsewhere"), "");

    ASSERT_TRUE(openLink(table.entries[0].path, Access::Write, &table.entries[0]));
    std::string version;
    EXPECT_EQ(CMD_GET_VERSION(false, version), 0u);
    EXPECT_EQ(version, "S5301V10");
    EXPECT_EQ(CMD_TEST_MODE(), 0u);
    EXPECT_EQ(keyboard_->testModeCount(), 1);
    // The back end's own failures arrive as they are.
    sim_.failGetFeature(1, 11);
    EXPECT_EQ(CMD_GET_VERSION(false, version), static_cast<std::uint32_t>(LINK_READ_FAILED));
    FaultSpec missing;
    missing.kind = FaultSpec::Kind::Missing;
    missing.entry = Entry::Attributes;
    ASSERT_TRUE(sim_.addFault(missing));
    HidHandle h = kNoHandle;
    ASSERT_EQ(remote.open(keyboard_->path(), Access::Write, h), HidStatus::Ok);
    HidAttributes attributes;
    EXPECT_EQ(remote.attributes(h, attributes), HidStatus::Missing);
    remote.close(h);
    // A release is this client's alone.
    remote.releaseLibraries();
    Guid hid;
    EXPECT_EQ(remote.hidGuid(hid), HidStatus::Missing);
    HidCaps caps;
    auto other = connect();
    ASSERT_EQ(other->open(keyboard_->path(), Access::Write, h), HidStatus::Ok);
    EXPECT_EQ(other->capabilities(h, caps), HidStatus::Ok);
    EXPECT_EQ(caps.featureReportByteLength, 8);
}

TEST_F(Remote, OneCallWaitingInTheBackEndHoldsUpNoOther) {
    HidHandle h = kNoHandle;
    ASSERT_EQ(client_->open(keyboard_->path(), Access::ReadWrite, h), HidStatus::Ok);
    const Bytes request = buildRequest(0xB0, nullptr, 0);
    Bytes report(8, 0);
    report[0] = 0x01;
    std::copy(request.begin(), request.end(), report.begin() + 1);
    ASSERT_EQ(client_->setFeature(h, report.data(), report.size()), HidStatus::Ok);
    sim_.holdNextReply();
    auto held = std::async(std::launch::async, [&] {
        Bytes block(9, 0);
        block[0] = 0x01;
        const HidStatus s = client_->getFeature(h, block.data(), block.size());
        return std::make_pair(s, block);
    });
    ASSERT_TRUE(sim_.waitUntilHeld(10000));
    HidAttributes attributes;
    EXPECT_EQ(client_->attributes(h, attributes), HidStatus::Ok);
    EXPECT_EQ(attributes.pid, 0x0641);
    sim_.releaseHeld();
    const auto [status, block] = held.get();
    EXPECT_EQ(status, HidStatus::Ok);
    EXPECT_EQ(block[0], 0xED);  // the first block of the reply
    EXPECT_EQ(block[2], 0xB0);
}

TEST_F(Remote, ArrivalsAndRemovalsReachTheClientsSink) {
    EventLog events;
    client_->setDeviceEventSink(&events);
    const std::string path = keyboard_->path();
    keyboard_->unplug();
    keyboard_->plugIn();
    ASSERT_TRUE(sim_.flushScheduled(5000));
    ASSERT_TRUE(eventually([&] {
        auto seen = events.snapshot();
        return std::count_if(seen.begin(), seen.end(), [](auto& b) { return b.event == DBT_DEVICEARRIVAL; }) > 0;
    }));
    const auto seen = events.snapshot();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen.front().event, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(seen.front().classGuid, kHidInterfaceClass);
    std::string name = EventLog::name(seen.front());
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_EQ(name, path);

    // After the sink is taken back nothing reaches it, though the server may
    // not have seen the subscription go yet.
    client_->setDeviceEventSink(nullptr);
    const std::size_t before = events.snapshot().size();
    keyboard_->unplug();
    ASSERT_TRUE(sim_.flushScheduled(5000));
    EXPECT_EQ(events.snapshot().size(), before);
}

TEST_F(Remote, AClientThatGoesAwayLeavesNothingOpen) {
    HidHandle h = kNoHandle;
    InterfaceSet set = 0;
    Guid hid;
    ASSERT_EQ(client_->hidGuid(hid), HidStatus::Ok);
    ASSERT_EQ(client_->getClassDevs(hid, set), HidStatus::Ok);
    ASSERT_EQ(client_->open(keyboard_->path(), Access::ReadWrite, h), HidStatus::Ok);
    EventLog events;
    client_->setDeviceEventSink(&events);
    EXPECT_EQ(server_->connections(), 2u);
    EXPECT_EQ(counting_.handles.load(), 1);
    EXPECT_EQ(counting_.sets.load(), 1);

    // Another client cannot use or close what this one opened.
    auto other = connect();
    HidAttributes attributes;
    EXPECT_EQ(other->attributes(h + 1000, attributes), HidStatus::Failed);
    client_.reset();  // as a killed child: no close, no destroy
    ASSERT_TRUE(eventually([&] { return server_->connections() == 1; }));
    EXPECT_EQ(counting_.handles.load(), 0);
    EXPECT_EQ(counting_.sets.load(), 0);
    EXPECT_EQ(other->attributes(h, attributes), HidStatus::Failed);  // gone with its owner
    ASSERT_EQ(other->open(keyboard_->path(), Access::ReadWrite, h), HidStatus::Ok);
    EXPECT_EQ(other->attributes(h, attributes), HidStatus::Ok);
}

TEST_F(Remote, ALostServerOrABadPeerFailsCallsAtOnce) {
    HidHandle h = kNoHandle;
    ASSERT_EQ(client_->open(keyboard_->path(), Access::ReadWrite, h), HidStatus::Ok);
    HidAttributes attributes;
    {
        // A request that announces more than any report is refused by
        // closing its connection; the other clients go on.
        const sockaddr_un address = addressOf(socket_);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        timeval limit{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::uint8_t request[20] = {13, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
        ASSERT_EQ(::send(fd, request, sizeof request, MSG_NOSIGNAL), 20);
        std::uint8_t reply[16];
        EXPECT_EQ(::recv(fd, reply, sizeof reply, 0), 0);
        ::close(fd);
        EXPECT_EQ(client_->attributes(h, attributes), HidStatus::Ok);
    }
    server_->stop();
    EXPECT_FALSE(std::filesystem::exists(socket_));
    EXPECT_EQ(counting_.handles.load(), 0);
    EXPECT_EQ(client_->attributes(h, attributes), HidStatus::Failed);
    Bytes block(9, 1);
    EXPECT_EQ(client_->getFeature(h, block.data(), block.size()), HidStatus::Failed);
    EXPECT_EQ(client_->open(keyboard_->path(), Access::ReadWrite, h), HidStatus::Failed);
    EXPECT_EQ(client_->portOf(keyboard_->path()), "");
    EXPECT_FALSE(client_->loadHidLibrary());
    std::string error;
    EXPECT_FALSE(RemoteBackend::connect(socket_, error));
    EXPECT_NE(error.find(socket_), std::string::npos) << error;

    // A peer that announces a reply larger than any report is cut off, and
    // the caller's buffer is left as it was.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = addressOf(socket_);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    std::thread peer([listener] {
        const int fd = ::accept(listener, nullptr, nullptr);
        std::uint8_t request[20 + 9];
        ::recv(fd, request, sizeof request, MSG_WAITALL);
        const std::uint8_t reply[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F};
        ::send(fd, reply, sizeof reply, MSG_NOSIGNAL);
        ::close(fd);
    });
    auto liar = RemoteBackend::connect(socket_, error);
    ASSERT_TRUE(liar) << error;
    EXPECT_EQ(liar->getFeature(7, block.data(), block.size()), HidStatus::Failed);
    EXPECT_EQ(block, Bytes(9, 1));
    peer.join();
    ::close(listener);
    ::unlink(socket_.c_str());
}

// The command-line program as a station's children: two downloads at once
// through the socket, each to the keyboard at its port and its boot loader,
// leave each file in its own keyboard's flash.
TEST_F(Remote, VantelCliChildrenFlashTheirOwnKeyboards) {
    KeyboardSpec second;
    second.port = "1-4";
    SimKeyboard* keyboards[2] = {keyboard_, &sim_.addKeyboard(second)};
    std::vector<std::string> env{"VANTEL_SIM_SOCKET=" + socket_};
    for (char** e = environ; *e; ++e) {
        if (std::string(*e).rfind("VANTEL_SIM", 0) != 0) env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<Bytes> images;
    std::vector<pid_t> children;
    for (int i = 0; i < 2; ++i) {
        const std::string image = socket_ + std::to_string(i) + ".bin";
        images.push_back(vantel::cli::test::applicationImage(64 * 1024, "GF", "RX431", 1 + i));
        vantel::cli::test::writeBytes(image, images.back());
        std::string port = keyboards[i]->spec().port;
        std::vector<std::string> args{"vantel-cli", "flash", image, "--port", port, "--json", "--quiet",
                                      "--timing-scale", "1/100"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::execve(VANTEL_CLI_PATH, argv.data(), envp.data());
            ::_exit(127);
        }
        children.push_back(child);
    }
    for (int i = 0; i < 2; ++i) {
        int status = 0;
        ASSERT_EQ(::waitpid(children[i], &status, 0), children[i]);
        std::filesystem::remove(socket_ + std::to_string(i) + ".bin");
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "keyboard at " << keyboards[i]->spec().port;
        EXPECT_EQ(keyboards[i]->flash(), images[i]) << "keyboard at " << keyboards[i]->spec().port;
    }
    EXPECT_TRUE(eventually([&] { return server_->connections() == 1; }));  // the test's own client
    EXPECT_EQ(counting_.handles.load(), 0);
}

}  // namespace
