#pragma once
// The main window of Vantel.exe: dialog template 102 run modally, with the
// MainWindow operations the update procedures use and the window events
// handed to the dialog logic on the user-interface thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "link/hid_backend.h"
#include "update/window.h"

#include <windows.h>

namespace vantel::win32 {

// Private messages of the main window.
enum : UINT {
    WM_VANTEL_TRAY = WM_USER + 1,     // the notification-area icon's callback (1025)
    WM_VANTEL_INVOKE = WM_APP + 1,    // lParam: std::function<void()>*, sent; runs and returns
    WM_VANTEL_POST = WM_APP + 2,      // lParam: heap std::function<void()>*, posted; runs and frees
    WM_VANTEL_DEVICE = WM_APP + 3,    // wParam: event, lParam: heap record from a simulated device
};

// What the main window hands its events to. The application's dialog logic
// implements it; tests use their own.
class MainDialogEvents : public WindowHandler {
public:
    // Window initialisation (runs inside WM_INITDIALOG).
    virtual void onInitDialog() = 0;
    // Minimise hides the window behind the notification-area icon (host-driven runs).
    virtual bool minimiseToTray() = 0;
    // Paint hiding: true when this paint should hide the window (uses one up).
    virtual bool takePaintHide(bool minimised) = 0;
    // The user brought the window back from the icon: no later paint hides it.
    virtual void restoredFromTray() = 0;
    // The notification-area icon, shown by Minimise and removed by its double click.
    virtual void addTrayIcon() = 0;
    virtual void removeTrayIcon() = 0;
    // The About box (system menu item 16).
    virtual void showAbout() = 0;
};

class Win32DeviceList : public DeviceList {
public:
    void attach(HWND combo) { combo_ = combo; }
    void resetContent() override;
    void addString(const std::string& text) override;
    void setCurSel(int index) override;
    int getCurSel() const override;
    int getCount() const override;
    std::string getItemText(int index) const override;

private:
    HWND combo_ = nullptr;
};

class Win32MainWindow : public MainWindow, public DeviceEventSink {
public:
    explicit Win32MainWindow(HINSTANCE instance);
    ~Win32MainWindow() override;

    Win32MainWindow(const Win32MainWindow&) = delete;
    Win32MainWindow& operator=(const Win32MainWindow&) = delete;

    // Runs dialog template `templateId` modally on the calling thread, which
    // becomes the user-interface thread. Returns when the window has ended.
    INT_PTR runModal(MainDialogEvents& events, int templateId);

    HWND hwnd() const { return hwnd_; }
    HICON icon() const { return icon_; }

    // MainWindow.
    DeviceList& deviceList() override { return list_; }
    void setControlText(int id, const std::string& text) override;
    std::string controlText(int id) override;
    void enableControl(int id, bool enable) override;
    bool isControlEnabled(int id) override;
    void setProgressRange(int low, int high) override;
    void setProgressPos(int pos) override;
    void setTimer(int id, int ms) override;
    void killTimer(int id) override;
    void messageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
    void postClose() override;
    void endWindow() override;
    void invoke(const std::function<void()>& fn) override;
    void post(std::function<void()> fn) override;
    bool onUiThread() const override;
    void raiseWorkerPriority() override;

    // DeviceEventSink: a simulated device's arrival or removal, delivered to
    // the window as a WM_DEVICECHANGE with a record of its own. Any thread.
    void deviceChanged(const DeviceBroadcast& broadcast) override;

    // Centres the window over its owner, or on its monitor's work area.
    void centre();

    // While false, the user's close (Alt+F4, the system menu) is ignored; the
    // window's own closes (WM_CLOSE from postClose, endWindow) still end it.
    void setUserClosable(bool closable) { userClosable_ = closable; }

private:
    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    static LRESULT CALLBACK messageFilter(int code, WPARAM wparam, LPARAM lparam);
    INT_PTR handle(UINT message, WPARAM wparam, LPARAM lparam);
    bool preTranslate(MSG& msg);
    void paint();
    void destroyOnce();
    void quitFromTray();

    HINSTANCE instance_;
    HWND hwnd_ = nullptr;
    HICON icon_ = nullptr;
    DWORD uiThread_ = 0;
    MainDialogEvents* events_ = nullptr;
    Win32DeviceList list_;
    HHOOK filter_ = nullptr;
    bool destroyed_ = false;
    std::atomic<bool> userClosable_{true};
    // Guards hwnd_ against a simulated arrival racing the window's end.
    std::mutex postMutex_;
    bool accepting_ = false;
};

// The window's one instance, for the message filter hook (one per thread; the
// application has one user-interface thread).
Win32MainWindow* currentMainWindow();

}  // namespace vantel::win32
