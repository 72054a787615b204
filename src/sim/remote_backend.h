#pragma once
// A HidBackend shared between processes over a Unix stream socket.
//
// The station flashes each keyboard in a child process of its own, and with
// the simulator the keyboards live in the station's process. BackendServer
// serves the station's back end on a socket; RemoteBackend, in each child,
// forwards every call to it and receives its arrivals and removals.
//
// POSIX only: the station on Windows works with real devices alone.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "link/hid_backend.h"

namespace vantel::sim {

class BackendServer {
public:
    // The USB location of a device path, for the clients' portOf(); empty
    // when unknown. May be empty itself.
    using PortLookup = std::function<std::string(const std::string& path)>;

    explicit BackendServer(HidBackend& backend, PortLookup portOf = {});
    ~BackendServer();  // stop()
    BackendServer(const BackendServer&) = delete;
    BackendServer& operator=(const BackendServer&) = delete;

    // Creates the socket (a stale file at the path is replaced), becomes the
    // back end's event sink and starts accepting. False with `error` on failure.
    bool listen(const std::string& socketPath, std::string& error);
    // Disconnects every client, joins every thread (a call waiting inside the
    // back end is waited for), sets the back end's event sink to null and
    // removes the socket file. Idempotent.
    void stop();

    // Also receives every arrival and removal the back end reports; null: none.
    // Called on the back end's event thread with the server's event lock held
    // (so that after setLocalSink returns the old sink is not called): it must
    // not call setLocalSink itself.
    void setLocalSink(DeviceEventSink* sink);

    // Clients connected now (each RemoteBackend holds one per thread that
    // calls at the same moment, plus one for its events).
    std::size_t connections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Thread-safe: concurrent calls travel on connections of their own, so a
// transfer on one handle never waits for another's. A server that has gone
// makes every call fail at once (Failed; portOf empty).
class RemoteBackend final : public HidBackend {
public:
    static std::unique_ptr<RemoteBackend> connect(const std::string& socketPath, std::string& error);
    ~RemoteBackend() override;
    RemoteBackend(const RemoteBackend&) = delete;
    RemoteBackend& operator=(const RemoteBackend&) = delete;

    // The server's USB location of a device path; empty when unknown.
    std::string portOf(const std::string& path);

    // The libraries are the server's, loaded once for all clients; a release
    // is this client's own.
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
    // Events come on a connection of their own, read by a thread that calls
    // the sink; after a call with null returns, the old sink is not called.
    void setDeviceEventSink(DeviceEventSink* sink) override;

private:
    struct Impl;
    explicit RemoteBackend(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace vantel::sim
