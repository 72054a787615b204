#pragma once
// The main window's logic: start-up, command line and run modes, result
// reporting, the service functions and the window's commands. Platform-free:
// every front end creates its window, then a CVantelDlg over it, and
// dispatches the window's events to it on the user-interface thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/result_report.h"
#include "app/shell.h"
#include "link/discovery.h"
#include "link/hid_backend.h"
#include "update/download_state.h"
#include "update/update_host.h"
#include "update/updater.h"
#include "update/window.h"

namespace vantel {

inline const char* const kWindowTitle = "USB Firmware Downloader Version 2.0.6.0";
inline const char* const kVersionText = "Version 2.0.6.0";

class CVantelDlg : public WindowHandler, public UpdateHost {
public:
    // The back end becomes the link's back end.
    CVantelDlg(MainWindow& window, Shell& shell, HidBackend& backend);
    ~CVantelDlg() override;

    // Window initialisation, in its fixed order; the last step interprets the
    // command line. `arguments` are the arguments after the executable's path,
    // already converted to the ANSI code page.
    void OnInitDialog(const std::vector<std::string>& arguments);

    // WindowHandler.
    void onCommand(int id) override;
    void onTimer(int id) override;
    void onDeviceChange(const DeviceBroadcast& broadcast) override;
    void onHotKey(int id) override;
    bool onCloseRequest() override;
    void onDestroy() override;

    // Commands of the window.
    void OnBrowse();
    void OnRefresh();
    void OnTestMode();        // Ctrl+Alt+T
    void OnFactorySetting();  // Ctrl+Alt+F

    // UpdateHost.
    void reportResult(const std::string& message, Outcome outcome, bool final) override;
    void reportIntermediate(const std::string& message) override;
    void postHostResultMessage(std::uint32_t wparam, std::uint32_t lparam) override;
    bool hostDriven() const override;
    bool eventLogRun() const override;
    std::int32_t hostVid() const override;
    std::int32_t hostPid() const override;
    bool windows8OrLater() const override;
    int keywordMode() const override;
    void setKeywordMode(int mode) override;
    void legacyFileChosen(const std::string& name) override;
    void releasePlatform() override;

    // State, for the shells and for tests.
    const StartupValues& values() const { return values_; }
    DeviceTable& table() { return table_; }
    DownloadState& state() { return state_; }
    std::atomic<bool>& workerRunning() { return workerRunning_; }
    Updater& updater() { return *updater_; }
    int paintHideCountdown = 0;   // paints that still hide the window (result-file runs)
    bool trayIconFilled = false;  // the notification-area icon record is filled (result-file runs)

    // Paint hiding, for the shells' paint handlers: true when this paint of a
    // window that is not minimised should hide it (the countdown is then used up by one).
    bool takePaintHide(bool minimised);

    // True while the programming worker owns the link: workerRunning is set or
    // its thread is still alive. Commands that would use the link are ignored then.
    bool linkOwnedByWorker() const;

private:
    void interpretCommandLine(const std::vector<std::string>& arguments);
    void releaseLibrariesAndIcon();

    MainWindow& window_;
    Shell& shell_;
    HidBackend& backend_;
    StartupValues values_;
    DeviceTable table_;
    std::atomic<bool> workerRunning_{false};
    DownloadState state_;
    ResultReporter reporter_;
    std::unique_ptr<Updater> updater_;
    std::atomic<bool> librariesReleased_{false};
    // Handlers of this window on the user-interface thread's stack. A message
    // box shown by one runs a nested message loop, in which a hotkey must not
    // start a keyboard command.
    int handlersRunning_ = 0;
    struct HandlerScope {
        explicit HandlerScope(int& depth) : depth_(depth) { ++depth_; }
        ~HandlerScope() { --depth_; }
        HandlerScope(const HandlerScope&) = delete;
        HandlerScope& operator=(const HandlerScope&) = delete;
        int& depth_;
    };
};

}  // namespace vantel
