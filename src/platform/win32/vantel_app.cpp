#include "platform/win32/vantel_app.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/vantel_dlg.h"
#include "link/timing.h"
#include "platform/win32/about_dlg.h"
#include "platform/win32/environment.h"
#include "platform/win32/exit_code.h"
#include "platform/win32/win32_hid.h"
#include "platform/win32/win32_shell.h"
#include "platform/win32/win32_window.h"
#include "resource.h"
#include "sim/sim.h"

#include <commctrl.h>

namespace vantel::win32 {

namespace {

// Hands the window's events to the dialog logic and the platform pieces.
class DialogEvents : public MainDialogEvents {
public:
    DialogEvents(HINSTANCE instance, CVantelDlg& dlg, Win32Shell& shell, Win32MainWindow& window,
                 sim::SimBackend* simulator, std::vector<std::string> arguments)
        : instance_(instance),
          dlg_(dlg),
          shell_(shell),
          window_(window),
          simulator_(simulator),
          arguments_(std::move(arguments)) {}

    void onInitDialog() override {
        // The simulated keyboard's arrivals and removals reach the window as
        // WM_DEVICECHANGE, as a real keyboard's do.
        if (simulator_ != nullptr) simulator_->setDeviceEventSink(&window_);
        dlg_.OnInitDialog(arguments_);
    }
    void onCommand(int id) override { dlg_.onCommand(id); }
    void onTimer(int id) override { dlg_.onTimer(id); }
    void onDeviceChange(const DeviceBroadcast& broadcast) override { dlg_.onDeviceChange(broadcast); }
    void onHotKey(int id) override { dlg_.onHotKey(id); }
    bool onCloseRequest() override { return dlg_.onCloseRequest(); }
    void onDestroy() override {
        if (simulator_ != nullptr) simulator_->setDeviceEventSink(nullptr);
        dlg_.onDestroy();
    }
    bool minimiseToTray() override { return dlg_.values().runMode == RunMode::HostDriven; }
    bool takePaintHide(bool minimised) override { return dlg_.takePaintHide(minimised); }
    // Paint hiding belongs to the start of a result-file run. A paint after
    // the user has brought the window back must not hide it again: the icon
    // is gone by then and nothing would show the window any more.
    void restoredFromTray() override { dlg_.paintHideCountdown = 0; }
    void addTrayIcon() override { shell_.addTrayIcon(); }
    void removeTrayIcon() override { shell_.removeTrayIcon(); }
    void showAbout() override { CAboutDlg(instance_, shell_.applicationName()).DoModal(window_.hwnd()); }

private:
    HINSTANCE instance_;
    CVantelDlg& dlg_;
    Win32Shell& shell_;
    Win32MainWindow& window_;
    sim::SimBackend* simulator_;
    std::vector<std::string> arguments_;
};

void applyTimingScale() {
    const std::string scale = environmentValue("VANTEL_TIMING_SCALE");
    if (scale.empty()) return;
    int num = 1, den = 1;
    if (parseTimingScale(scale, num, den)) {
        timing() = scaledTiming(timing(), num, den);
    } else {
        std::fprintf(stderr, "Vantel: VANTEL_TIMING_SCALE \"%s\" is not num/den; ignored\n",
                     scale.c_str());
    }
}

}  // namespace

int CVantelApp::run() {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;  // 8
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);

    applyTimingScale();

    std::string error;
    std::unique_ptr<sim::SimBackend> simulator = sim::simulatorFromEnvironment(error);
    if (!error.empty()) {
        std::fprintf(stderr, "Vantel: VANTEL_SIMULATE: %s\n", error.c_str());
        return 2;
    }
    Win32HidBackend hid;
    HidBackend& backend = simulator ? static_cast<HidBackend&>(*simulator) : hid;

    Win32MainWindow window(instance_);
    Win32Shell shell(window);
    int exitCode = 0;
    {
        RecordingDlg dlg(window, shell, backend);
        DialogEvents events(instance_, dlg, shell, window, simulator.get(),
                            ansiArguments(GetCommandLineW()));
        window.runModal(events, IDD_VANTEL_DIALOG);
        if (simulator) simulator->setDeviceEventSink(nullptr);
        exitCode = exitCodeOf(dlg.values().runMode, dlg.outcomes());
    }
    return exitCode;
}

}  // namespace vantel::win32
