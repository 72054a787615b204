#include "sim/remote_backend.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace vantel::sim {

namespace {

// The wire: a request is a 20-byte header (op, index, id, payload length)
// and its payload; a reply is a 16-byte header (status, value, payload
// length) and its payload. Integers are little-endian. Event frames to a
// subscribed connection have the reply's form. Both sides refuse a payload
// above the cap, so a confused or hostile peer cannot make either allocate
// or copy without bound.
constexpr std::uint32_t kMaxPayload = 64 * 1024;
constexpr std::size_t kRequestHeader = 20;
constexpr std::size_t kReplyHeader = 16;
constexpr std::size_t kGuidBytes = 16;

enum class Op : std::uint32_t {
    LoadHid = 1, LoadSetup, HidGuid, GetClassDevs, EnumInterface, InterfaceDetail,
    DestroyClassDevs, Open, Close, Attributes, Capabilities, SetFeature, GetFeature,
    PortOf, Subscribe,
};

using Bytes = std::vector<std::uint8_t>;

struct Request {
    Op op = Op::HidGuid;
    std::int32_t index = 0;
    std::int64_t id = 0;
    Bytes payload;
};

struct Reply {
    HidStatus status = HidStatus::Failed;
    std::int64_t value = 0;
    Bytes payload;
};

void put(Bytes& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t get(const std::uint8_t* in, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<std::uint64_t>(in[i]) << (8 * i);
    return value;
}

Bytes guidBytes(const Guid& g) {
    Bytes out;
    put(out, g.data1, 4);
    put(out, g.data2, 2);
    put(out, g.data3, 2);
    out.insert(out.end(), g.data4.begin(), g.data4.end());
    return out;
}

bool guidFrom(const Bytes& in, Guid& g) {
    if (in.size() != kGuidBytes) return false;
    g.data1 = static_cast<std::uint32_t>(get(in.data(), 4));
    g.data2 = static_cast<std::uint16_t>(get(in.data() + 4, 2));
    g.data3 = static_cast<std::uint16_t>(get(in.data() + 6, 2));
    std::memcpy(g.data4.data(), in.data() + 8, g.data4.size());
    return true;
}

Bytes broadcastBytes(const DeviceBroadcast& b) {
    Bytes out;
    put(out, b.event, 4);
    put(out, b.deviceType, 4);
    const Bytes g = guidBytes(b.classGuid);
    out.insert(out.end(), g.begin(), g.end());
    out.insert(out.end(), b.name.begin(), b.name.end());
    return out;
}

bool broadcastFrom(const Bytes& in, DeviceBroadcast& b) {
    if (in.size() < 8 + kGuidBytes) return false;
    b.event = static_cast<std::uint32_t>(get(in.data(), 4));
    b.deviceType = static_cast<std::uint32_t>(get(in.data() + 4, 4));
    guidFrom(Bytes(in.begin() + 8, in.begin() + 8 + kGuidBytes), b.classGuid);
    b.name.assign(in.begin() + 8 + kGuidBytes, in.end());
    return true;
}

bool sendAll(int fd, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool receiveAll(int fd, std::uint8_t* out, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::recv(fd, out + done, length - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The payload of a header just read; false on a length above the cap.
bool receivePayload(int fd, std::uint32_t length, Bytes& out) {
    if (length > kMaxPayload) return false;
    out.resize(length);
    return receiveAll(fd, out.data(), length);
}

bool sendRequest(int fd, const Request& r) {
    Bytes out;
    out.reserve(kRequestHeader + r.payload.size());
    put(out, static_cast<std::uint32_t>(r.op), 4);
    put(out, static_cast<std::uint32_t>(r.index), 4);
    put(out, static_cast<std::uint64_t>(r.id), 8);
    put(out, r.payload.size(), 4);
    out.insert(out.end(), r.payload.begin(), r.payload.end());
    return sendAll(fd, out);
}

bool receiveRequest(int fd, Request& r) {
    std::uint8_t h[kRequestHeader];
    if (!receiveAll(fd, h, sizeof h)) return false;
    r.op = static_cast<Op>(get(h, 4));
    r.index = static_cast<std::int32_t>(get(h + 4, 4));
    r.id = static_cast<std::int64_t>(get(h + 8, 8));
    return receivePayload(fd, static_cast<std::uint32_t>(get(h + 16, 4)), r.payload);
}

bool sendReply(int fd, const Reply& r) {
    Bytes out;
    out.reserve(kReplyHeader + r.payload.size());
    put(out, static_cast<std::uint32_t>(r.status), 4);
    put(out, static_cast<std::uint64_t>(r.value), 8);
    put(out, r.payload.size(), 4);
    out.insert(out.end(), r.payload.begin(), r.payload.end());
    return sendAll(fd, out);
}

bool receiveReply(int fd, Reply& r) {
    std::uint8_t h[kReplyHeader];
    if (!receiveAll(fd, h, sizeof h)) return false;
    const std::uint32_t status = static_cast<std::uint32_t>(get(h, 4));
    r.status = status == static_cast<std::uint32_t>(HidStatus::Ok)        ? HidStatus::Ok
               : status == static_cast<std::uint32_t>(HidStatus::Missing) ? HidStatus::Missing
                                                                          : HidStatus::Failed;
    r.value = static_cast<std::int64_t>(get(h + 4, 8));
    return receivePayload(fd, static_cast<std::uint32_t>(get(h + 12, 4)), r.payload);
}

bool socketAddress(const std::string& path, sockaddr_un& address, std::string& error) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = path.empty() ? "no socket path" : "socket path too long: " + path;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A connected stream socket, close-on-exec so that the station's children
// do not inherit each other's connections; -1 with `error`.
int connectTo(const std::string& path, std::string& error) {
    sockaddr_un address;
    if (!socketAddress(path, address, error)) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        error = path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

Bytes textBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string bytesText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

// ---------------------------------------------------------------- server

struct BackendServer::Impl final : DeviceEventSink {
    using ConnId = std::uint64_t;
    struct Connection {
        int fd = -1;
        bool done = false;
        std::thread thread;
    };

    HidBackend& backend;
    PortLookup portOf;
    std::string socketPath;
    int listenFd = -1;
    int wake[2] = {-1, -1};  // a finished connection or stop() wakes the accept thread
    std::thread acceptor;
    std::atomic<bool> stopping{false};

    mutable std::mutex mutex;  // connections, ownership, library loading
    std::map<ConnId, Connection> conns;
    ConnId nextId = 1;
    // What each connection opened, closed when it goes.
    std::map<HidHandle, ConnId> handles;
    std::map<InterfaceSet, ConnId> sets;

    std::mutex eventMutex;  // subscribers, local sink, and the writes to subscribers
    std::set<int> subscribers;
    DeviceEventSink* localSink = nullptr;

    Impl(HidBackend& b, PortLookup p) : backend(b), portOf(std::move(p)) {}

    void deviceChanged(const DeviceBroadcast& broadcast) override {
        Reply frame{HidStatus::Ok, 0, broadcastBytes(broadcast)};
        std::lock_guard<std::mutex> lock(eventMutex);
        if (stopping) return;
        for (int fd : subscribers) {
            // A subscriber that stopped reading is cut off (its send times
            // out) rather than holding up the back end's event thread.
            if (!sendReply(fd, frame)) ::shutdown(fd, SHUT_RDWR);
        }
        if (localSink) localSink->deviceChanged(broadcast);
    }

    void signalWake() {
        const std::uint8_t byte = 1;
        while (::write(wake[1], &byte, 1) < 0 && errno == EINTR) {
        }
    }

    bool owns(HidHandle h) {
        std::lock_guard<std::mutex> lock(mutex);
        return handles.count(h) != 0;
    }
    bool knownSet(InterfaceSet s) {
        if (s == 0) return true;  // the null set: the back end answers for it
        std::lock_guard<std::mutex> lock(mutex);
        return sets.count(s) != 0;
    }

    Reply serve(ConnId id, const Request& q) {
        Reply r;
        Guid cls;
        switch (q.op) {
        case Op::LoadHid:
        case Op::LoadSetup: {
            std::lock_guard<std::mutex> lock(mutex);
            const bool hid = q.op == Op::LoadHid;
            const bool loaded = hid ? backend.hidLibraryLoaded() || backend.loadHidLibrary()
                                    : backend.setupLibraryLoaded() || backend.loadSetupLibrary();
            r.status = loaded ? HidStatus::Ok : HidStatus::Failed;
            break;
        }
        case Op::HidGuid:
            r.status = backend.hidGuid(cls);
            if (r.status == HidStatus::Ok) r.payload = guidBytes(cls);
            break;
        case Op::GetClassDevs: {
            if (!guidFrom(q.payload, cls)) break;
            InterfaceSet set = 0;
            r.status = backend.getClassDevs(cls, set);
            r.value = set;
            if (r.status == HidStatus::Ok && set != 0) {
                std::lock_guard<std::mutex> lock(mutex);
                sets[set] = id;
            }
            break;
        }
        case Op::EnumInterface:
            if (!guidFrom(q.payload, cls) || !knownSet(q.id)) break;
            r.status = backend.enumInterface(q.id, cls, q.index);
            break;
        case Op::InterfaceDetail: {
            if (!guidFrom(q.payload, cls) || !knownSet(q.id)) break;
            std::string path;
            r.status = backend.interfaceDetail(q.id, cls, q.index, path);
            if (r.status == HidStatus::Ok) r.payload = textBytes(path);
            break;
        }
        case Op::DestroyClassDevs:
            if (!knownSet(q.id)) break;
            r.status = backend.destroyClassDevs(q.id);
            if (r.status == HidStatus::Ok) {
                std::lock_guard<std::mutex> lock(mutex);
                sets.erase(q.id);
            }
            break;
        case Op::Open: {
            HidHandle h = kNoHandle;
            r.status = backend.open(bytesText(q.payload), q.index == 1 ? Access::ReadWrite : Access::Write, h);
            r.value = h;
            if (r.status == HidStatus::Ok) {
                std::lock_guard<std::mutex> lock(mutex);
                handles[h] = id;
            }
            break;
        }
        case Op::Close: {
            bool known;
            {
                std::lock_guard<std::mutex> lock(mutex);
                known = handles.erase(q.id) != 0;
            }
            if (known) backend.close(q.id);
            r.status = HidStatus::Ok;
            break;
        }
        case Op::Attributes: {
            HidAttributes a;
            if (!owns(q.id)) break;
            r.status = backend.attributes(q.id, a);
            put(r.payload, a.vid, 2);
            put(r.payload, a.pid, 2);
            break;
        }
        case Op::Capabilities: {
            HidCaps c;
            if (!owns(q.id)) break;
            r.status = backend.capabilities(q.id, c);
            for (std::uint16_t v : {c.usagePage, c.usage, c.inputReportByteLength, c.outputReportByteLength,
                                    c.featureReportByteLength}) {
                put(r.payload, v, 2);
            }
            break;
        }
        case Op::SetFeature:
            if (!owns(q.id)) break;
            r.status = backend.setFeature(q.id, q.payload.data(), q.payload.size());
            break;
        case Op::GetFeature:
            if (!owns(q.id)) break;
            r.payload = q.payload;
            r.status = backend.getFeature(q.id, r.payload.data(), r.payload.size());
            break;
        case Op::PortOf:
            r.status = HidStatus::Ok;
            if (portOf) r.payload = textBytes(portOf(bytesText(q.payload)));
            break;
        case Op::Subscribe:
            r.status = HidStatus::Ok;
            break;
        }
        return r;
    }

    void run(ConnId id, int fd) {
        Request q;
        while (receiveRequest(fd, q)) {
            if (q.op == Op::Subscribe) {
                // From here on the connection only carries events; the
                // client's end of it closing ends it.
                timeval limit{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                {
                    std::lock_guard<std::mutex> lock(eventMutex);
                    if (!sendReply(fd, serve(id, q))) break;
                    subscribers.insert(fd);
                }
                std::uint8_t ignored[64];
                for (;;) {
                    const ssize_t n = ::recv(fd, ignored, sizeof ignored, 0);
                    if (n == 0 || (n < 0 && errno != EINTR)) break;
                }
                break;
            }
            if (!sendReply(fd, serve(id, q))) break;
        }
        {
            std::lock_guard<std::mutex> lock(eventMutex);
            subscribers.erase(fd);
        }
        releaseOwned(id);
        std::lock_guard<std::mutex> lock(mutex);
        ::close(fd);
        Connection& c = conns.at(id);
        c.fd = -1;
        c.done = true;
        signalWake();
    }

    void releaseOwned(ConnId id) {
        std::vector<HidHandle> openHandles;
        std::vector<InterfaceSet> openSets;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto it = handles.begin(); it != handles.end();) {
                if (it->second != id) { ++it; continue; }
                openHandles.push_back(it->first);
                it = handles.erase(it);
            }
            for (auto it = sets.begin(); it != sets.end();) {
                if (it->second != id) { ++it; continue; }
                openSets.push_back(it->first);
                it = sets.erase(it);
            }
        }
        for (HidHandle h : openHandles) backend.close(h);
        for (InterfaceSet s : openSets) backend.destroyClassDevs(s);
    }

    // Joins the threads of connections that have ended.
    void reap() {
        std::vector<std::thread> finished;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto it = conns.begin(); it != conns.end();) {
                if (!it->second.done) { ++it; continue; }
                finished.push_back(std::move(it->second.thread));
                it = conns.erase(it);
            }
        }
        for (std::thread& t : finished) t.join();
    }

    void acceptLoop() {
        while (!stopping) {
            pollfd fds[2] = {{listenFd, POLLIN, 0}, {wake[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[1].revents) {
                std::uint8_t drain[64];
                while (::read(wake[0], drain, sizeof drain) > 0) {
                }
                reap();
            }
            if (stopping) break;
            if (!(fds[0].revents & POLLIN)) continue;
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::lock_guard<std::mutex> lock(mutex);
            const ConnId id = nextId++;
            Connection& c = conns[id];
            c.fd = fd;
            c.thread = std::thread([this, id, fd] { run(id, fd); });
        }
    }
};

BackendServer::BackendServer(HidBackend& backend, PortLookup portOf)
    : impl_(std::make_unique<Impl>(backend, std::move(portOf))) {}

BackendServer::~BackendServer() { stop(); }

bool BackendServer::listen(const std::string& socketPath, std::string& error) {
    Impl& s = *impl_;
    if (s.listenFd >= 0) {
        error = "already listening";
        return false;
    }
    sockaddr_un address;
    if (!socketAddress(socketPath, address, error)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    ::unlink(socketPath.c_str());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0 || ::pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = socketPath + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    s.listenFd = fd;
    s.socketPath = socketPath;
    s.stopping = false;
    s.backend.setDeviceEventSink(&s);
    s.acceptor = std::thread([&s] { s.acceptLoop(); });
    return true;
}

void BackendServer::stop() {
    Impl& s = *impl_;
    if (s.listenFd < 0) return;
    s.backend.setDeviceEventSink(nullptr);
    {
        std::lock_guard<std::mutex> lock(s.eventMutex);
        s.stopping = true;
    }
    s.signalWake();
    s.acceptor.join();
    {
        // Each connection's thread sees its peer gone and releases what it opened.
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& [id, c] : s.conns) {
            if (c.fd >= 0) ::shutdown(c.fd, SHUT_RDWR);
        }
    }
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& [id, c] : s.conns) threads.push_back(std::move(c.thread));
    }
    for (std::thread& t : threads) t.join();
    s.conns.clear();
    ::close(s.listenFd);
    ::close(s.wake[0]);
    ::close(s.wake[1]);
    s.listenFd = s.wake[0] = s.wake[1] = -1;
    ::unlink(s.socketPath.c_str());
}

void BackendServer::setLocalSink(DeviceEventSink* sink) {
    std::lock_guard<std::mutex> lock(impl_->eventMutex);
    impl_->localSink = sink;
}

std::size_t BackendServer::connections() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::size_t n = 0;
    for (const auto& [id, c] : impl_->conns) n += !c.done;
    return n;
}

// ---------------------------------------------------------------- client

struct RemoteBackend::Impl {
    std::string socketPath;
    std::mutex poolMutex;
    std::vector<int> idle;  // connections no call is using
    std::atomic<bool> hidLoaded{false};
    std::atomic<bool> setupLoaded{false};
    std::atomic<bool> released{false};

    std::mutex eventMutex;  // the event connection and its reader
    std::atomic<DeviceEventSink*> sink{nullptr};
    int eventFd = -1;
    std::thread reader;

    ~Impl() {
        stopEvents();
        for (int fd : idle) ::close(fd);
    }

    // One round trip on a connection of its own. False when the server
    // cannot be reached or breaks the protocol; that connection is dropped.
    bool call(const Request& q, Reply& r) {
        int fd = -1;
        {
            std::lock_guard<std::mutex> lock(poolMutex);
            if (!idle.empty()) {
                fd = idle.back();
                idle.pop_back();
            }
        }
        if (fd < 0) {
            std::string ignored;
            fd = connectTo(socketPath, ignored);
            if (fd < 0) return false;
        }
        if (!sendRequest(fd, q) || !receiveReply(fd, r)) {
            ::close(fd);
            return false;
        }
        std::lock_guard<std::mutex> lock(poolMutex);
        idle.push_back(fd);
        return true;
    }

    // A status call: Missing after the release, Failed on a lost server.
    HidStatus status(const Request& q, Reply& r) {
        if (released) return HidStatus::Missing;
        if (!call(q, r)) return HidStatus::Failed;
        return r.status;
    }

    void stopEvents() {
        std::thread finished;
        {
            std::lock_guard<std::mutex> lock(eventMutex);
            if (eventFd >= 0) ::shutdown(eventFd, SHUT_RDWR);
            // A sink that clears itself from its own call cannot wait for
            // its own thread; the destructor joins it.
            if (reader.joinable() && reader.get_id() != std::this_thread::get_id()) finished = std::move(reader);
        }
        if (finished.joinable()) finished.join();
        std::lock_guard<std::mutex> lock(eventMutex);
        if (!reader.joinable() && eventFd >= 0) {
            ::close(eventFd);
            eventFd = -1;
        }
    }

    void readEvents(int fd) {
        Reply frame;
        while (receiveReply(fd, frame)) {
            DeviceBroadcast b;
            DeviceEventSink* target = sink.load();
            if (target && broadcastFrom(frame.payload, b)) target->deviceChanged(b);
        }
    }
};

RemoteBackend::RemoteBackend(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

RemoteBackend::~RemoteBackend() {
    impl_->sink = nullptr;
    impl_->stopEvents();
    if (impl_->reader.joinable()) impl_->reader.join();
}

std::unique_ptr<RemoteBackend> RemoteBackend::connect(const std::string& socketPath, std::string& error) {
    const int fd = connectTo(socketPath, error);
    if (fd < 0) return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->socketPath = socketPath;
    impl->idle.push_back(fd);
    return std::unique_ptr<RemoteBackend>(new RemoteBackend(std::move(impl)));
}

std::string RemoteBackend::portOf(const std::string& path) {
    Reply r;
    if (!impl_->call({Op::PortOf, 0, 0, textBytes(path)}, r)) return {};
    return bytesText(r.payload);
}

bool RemoteBackend::loadHidLibrary() {
    Reply r;
    impl_->hidLoaded = !impl_->released && impl_->call({Op::LoadHid, 0, 0, {}}, r) && r.status == HidStatus::Ok;
    return impl_->hidLoaded;
}

bool RemoteBackend::loadSetupLibrary() {
    Reply r;
    impl_->setupLoaded =
        !impl_->released && impl_->call({Op::LoadSetup, 0, 0, {}}, r) && r.status == HidStatus::Ok;
    return impl_->setupLoaded;
}

bool RemoteBackend::hidLibraryLoaded() const { return impl_->hidLoaded; }
bool RemoteBackend::setupLibraryLoaded() const { return impl_->setupLoaded; }

void RemoteBackend::releaseLibraries() {
    impl_->released = true;
    impl_->hidLoaded = impl_->setupLoaded = false;
}

HidStatus RemoteBackend::hidGuid(Guid& out) {
    Reply r;
    const HidStatus s = impl_->status({Op::HidGuid, 0, 0, {}}, r);
    if (s != HidStatus::Ok) return s;
    return guidFrom(r.payload, out) ? HidStatus::Ok : HidStatus::Failed;
}

HidStatus RemoteBackend::getClassDevs(const Guid& cls, InterfaceSet& out) {
    Reply r;
    const HidStatus s = impl_->status({Op::GetClassDevs, 0, 0, guidBytes(cls)}, r);
    out = s == HidStatus::Ok ? static_cast<InterfaceSet>(r.value) : 0;
    return s;
}

HidStatus RemoteBackend::enumInterface(InterfaceSet set, const Guid& cls, int index) {
    Reply r;
    return impl_->status({Op::EnumInterface, index, set, guidBytes(cls)}, r);
}

HidStatus RemoteBackend::interfaceDetail(InterfaceSet set, const Guid& cls, int index, std::string& path) {
    Reply r;
    const HidStatus s = impl_->status({Op::InterfaceDetail, index, set, guidBytes(cls)}, r);
    if (s == HidStatus::Ok) path = bytesText(r.payload);
    return s;
}

HidStatus RemoteBackend::destroyClassDevs(InterfaceSet set) {
    Reply r;
    return impl_->status({Op::DestroyClassDevs, 0, set, {}}, r);
}

HidStatus RemoteBackend::open(const std::string& path, Access access, HidHandle& out) {
    // Opening is a kernel service: never Missing, not even after the release.
    Reply r;
    if (impl_->released || !impl_->call({Op::Open, access == Access::ReadWrite ? 1 : 0, 0, textBytes(path)}, r) ||
        r.status != HidStatus::Ok) {
        return HidStatus::Failed;
    }
    out = static_cast<HidHandle>(r.value);
    return HidStatus::Ok;
}

void RemoteBackend::close(HidHandle handle) {
    Reply r;
    impl_->call({Op::Close, 0, handle, {}}, r);
}

HidStatus RemoteBackend::attributes(HidHandle handle, HidAttributes& out) {
    Reply r;
    HidStatus s = impl_->status({Op::Attributes, 0, handle, {}}, r);
    if (s != HidStatus::Ok) return s;
    if (r.payload.size() != 4) return HidStatus::Failed;
    out.vid = static_cast<std::uint16_t>(get(r.payload.data(), 2));
    out.pid = static_cast<std::uint16_t>(get(r.payload.data() + 2, 2));
    return s;
}

HidStatus RemoteBackend::capabilities(HidHandle handle, HidCaps& out) {
    Reply r;
    HidStatus s = impl_->status({Op::Capabilities, 0, handle, {}}, r);
    if (s != HidStatus::Ok) return s;
    if (r.payload.size() != 10) return HidStatus::Failed;
    const std::uint8_t* p = r.payload.data();
    out.usagePage = static_cast<std::uint16_t>(get(p, 2));
    out.usage = static_cast<std::uint16_t>(get(p + 2, 2));
    out.inputReportByteLength = static_cast<std::uint16_t>(get(p + 4, 2));
    out.outputReportByteLength = static_cast<std::uint16_t>(get(p + 6, 2));
    out.featureReportByteLength = static_cast<std::uint16_t>(get(p + 8, 2));
    return s;
}

HidStatus RemoteBackend::setFeature(HidHandle handle, const std::uint8_t* report, std::size_t length) {
    if (length > kMaxPayload) return HidStatus::Failed;
    Reply r;
    return impl_->status({Op::SetFeature, 0, handle, Bytes(report, report + length)}, r);
}

HidStatus RemoteBackend::getFeature(HidHandle handle, std::uint8_t* buffer, std::size_t length) {
    if (length > kMaxPayload) return HidStatus::Failed;
    Reply r;
    HidStatus s = impl_->status({Op::GetFeature, 0, handle, Bytes(buffer, buffer + length)}, r);
    if (s != HidStatus::Ok) return s;
    // Exactly the caller's buffer, or nothing is copied.
    if (r.payload.size() != length) return HidStatus::Failed;
    std::copy(r.payload.begin(), r.payload.end(), buffer);
    return s;
}

void RemoteBackend::setDeviceEventSink(DeviceEventSink* sink) {
    Impl& c = *impl_;
    if (!sink) {
        c.sink = nullptr;
        c.stopEvents();
        return;
    }
    c.sink = sink;
    std::lock_guard<std::mutex> lock(c.eventMutex);
    if (c.reader.joinable()) return;
    std::string ignored;
    const int fd = connectTo(c.socketPath, ignored);
    if (fd < 0) return;
    Reply r;
    if (!sendRequest(fd, {Op::Subscribe, 0, 0, {}}) || !receiveReply(fd, r)) {
        ::close(fd);
        return;
    }
    c.eventFd = fd;
    c.reader = std::thread([&c, fd] { c.readEvents(fd); });
}

}  // namespace vantel::sim
