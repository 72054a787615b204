#pragma once
// A headless main window with the update procedures on it, wired to the
// simulated keyboards: the loop thread runs every handler, the worker runs on
// its own thread, and the simulator delivers arrivals and removals.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/discovery.h"
#include "link/link.h"
#include "sim/sim.h"
#include "support/journal.h"
#include "headless/headless_window.h"
#include "update/updater.h"
#include "update_fixture.h"

namespace vantel::test {

// Writes what the window shows into the journal, in the order it is shown.
class JournalObserver : public WindowObserver {
public:
    explicit JournalObserver(Journal& journal) : journal_(journal) {}
    void controlTextChanged(int id, const std::string& text) override {
        if (id == IDC_STATUS) journal_.add("status:" + text);
    }
    void messageBox(const std::string& text, const std::string&, BoxIcon) override {
        journal_.add("box:" + text);
    }
    void timerChanged(int id, bool armed, int ms) override {
        journal_.add((armed ? "timer:" : "kill:") + std::to_string(id) + (armed ? ":" + std::to_string(ms) : ""));
    }

private:
    Journal& journal_;
};

class SimRig : public WindowHandler {
public:
    explicit SimRig(const Timing& t = shortTiming()) : timingGuard_(t) {
        // Window initialisation loads the two platform libraries before the first discovery.
        sim.loadHidLibrary();
        sim.loadSetupLibrary();
        setLinkBackend(&sim);
        window.setObserver(&observer);
        updater = std::make_unique<Updater>(window, table, running, state, host);
        window.start(*this);
    }
    ~SimRig() override {
        sim.setDeviceEventSink(nullptr);
        window.endWindow();  // no-op when the run ended it already; from here only waited-for calls run
        updater.reset();     // joins a worker that is still finishing
        closeLink();
        EXPECT_TRUE(waitForReadersToEnd(5000));
        setLinkBackend(nullptr);
        window.setObserver(nullptr);
    }

    // Window initialisation: the first discovery, then whatever the test adds.
    void initialise(const std::function<void()>& more = {}) {
        window.initialise([&] {
            discoverDevices(table, window.deviceList(), -1, running);
            if (more) more();
        });
    }
    void listen() { sim.setDeviceEventSink(&window); }

    bool waitForResults(std::size_t count, int timeoutMs = 20000) { return host.waitForResults(count, timeoutMs); }
    // Waits until the worker thread has ended and its end was handled.
    bool finishWorker(int timeoutMs = 20000) { return updater->waitForWorker(timeoutMs); }

    std::vector<std::string> entries() { return journal.entries(); }
    // The journal entries of one kind ("status:", "result:", "box:", ...), prefix removed.
    std::vector<std::string> entries(const std::string& prefix) {
        std::vector<std::string> out;
        for (const auto& e : journal.entries()) {
            if (e.rfind(prefix, 0) == 0) out.push_back(e.substr(prefix.size()));
        }
        return out;
    }

    bool enabled(int id) { return window.isControlEnabled(id); }

    // WindowHandler: what CVantelDlg does with these events.
    void onCommand(int id) override {
        if (id == IDC_DOWNLOAD) updater->OnDownload();
        if (id == IDC_GET_FW_VERSION) updater->OnGetFwVersion();
        if (id == IDC_MANUAL_ISP) updater->OnManualIspEntry();
    }
    void onTimer(int id) override { updater->OnTimer(id); }
    void onDeviceChange(const DeviceBroadcast& b) override { updater->OnDeviceChange(b); }
    void onHotKey(int) override {}
    bool onCloseRequest() override {
        journal.add("close");
        return updater->allowClose();
    }
    void onDestroy() override {
        journal.add("end");
        if (!updater->workerThreadActive()) closeLink();
    }

    TimingGuard timingGuard_;
    sim::SimBackend sim;
    Journal journal;
    JournalObserver observer{journal};
    HeadlessWindow window;
    DeviceTable table;
    std::atomic<bool> running{false};
    DownloadState state;
    TestHost host{window, &journal};
    std::unique_ptr<Updater> updater;

};

}  // namespace vantel::test
