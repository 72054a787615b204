#pragma once
// What the update procedures need of the main window. Each front end (the
// Win32 dialog, the headless window of tests and the command line) implements it.
//
// Threads: one user-interface thread runs every handler. The control calls may
// be made from any thread; from another thread they wait until the
// user-interface thread has carried them out, as SendMessage does.

#include <cstdint>
#include <functional>
#include <string>

#include "link/discovery.h"
#include "link/hid_backend.h"

namespace vantel {

// Control ids of the main window (dialog template 102).
enum ControlId : int {
    IDC_DEVICE_LIST = 1000,
    IDC_FIRMWARE_PATH = 1001,
    IDC_BROWSE = 1002,
    IDC_DOWNLOAD = 1003,
    IDC_STATUS = 1005,
    IDC_MANUAL_ISP = 1006,  // a command id; no control carries it
    IDC_GET_FW_VERSION = 1007,
    IDC_PROGRESS = 1019,
    IDC_REFRESH = 1028,
    IDC_NOTICE = 1036,
};

// Timer ids of the main window.
enum TimerId : int {
    TIMER_AUTO_START = 1,
    TIMER_DEFERRED_START = 3,
    TIMER_ISP_TIMEOUT = 4,
};

enum class BoxIcon { None, Warning };

inline const char* const kBoxCaption = "USB Firmware Downloader";

class MainWindow {
public:
    virtual ~MainWindow() = default;

    // The device list (combo box 1000). User-interface thread only.
    virtual DeviceList& deviceList() = 0;

    // Texts of the status line (1005) and the firmware path field (1001).
    virtual void setControlText(int id, const std::string& text) = 0;
    virtual std::string controlText(int id) = 0;

    // Push buttons 1002, 1003, 1007, 1028.
    virtual void enableControl(int id, bool enable) = 0;
    virtual bool isControlEnabled(int id) = 0;

    // Progress bar 1019.
    virtual void setProgressRange(int low, int high) = 0;
    virtual void setProgressPos(int pos) = 0;

    // Window timers by id; setting a running timer restarts it.
    virtual void setTimer(int id, int ms) = 0;
    virtual void killTimer(int id) = 0;

    // A blocking message box with an OK button, owned by the main window.
    // Blocks the calling thread until the user has closed it.
    virtual void messageBox(const std::string& text, const std::string& caption, BoxIcon icon) = 0;

    // Posts a close request (WM_CLOSE) to the main window and returns at once.
    // The request reaches WindowHandler::onCloseRequest on the user-interface thread.
    virtual void postClose() = 0;
    // Ends the window now, without asking onCloseRequest again (EndDialog).
    // User-interface thread only.
    virtual void endWindow() = 0;

    // Runs `fn` on the user-interface thread and waits for it (at once when
    // called on that thread).
    virtual void invoke(const std::function<void()>& fn) = 0;
    // Queues `fn` for the user-interface thread and returns at once.
    virtual void post(std::function<void()> fn) = 0;
    // True on the user-interface thread.
    virtual bool onUiThread() const = 0;

    // Called first thing on the programming worker's thread: raises it to
    // above-normal priority where the platform has one.
    virtual void raiseWorkerPriority() {}
};

// The handlers a front end dispatches to, always on the user-interface thread.
class WindowHandler {
public:
    virtual ~WindowHandler() = default;
    virtual void onCommand(int id) = 0;          // BN_CLICKED of a button, or a command id
    virtual void onTimer(int id) = 0;            // a window timer fired
    virtual void onDeviceChange(const DeviceBroadcast& broadcast) = 0;
    virtual void onHotKey(int id) = 0;           // 1 Ctrl+Alt+T, 2 Ctrl+Alt+F, 3 Ctrl+Alt+R
    // A close request. True: the window may end now. False: the close is
    // deferred (a programming worker still runs) and the handler ends the
    // window itself through `endWindow` once the worker has finished.
    virtual bool onCloseRequest() = 0;
    virtual void onDestroy() = 0;                // window destruction clean-up
};

}  // namespace vantel
