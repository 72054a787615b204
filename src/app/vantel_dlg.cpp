#include "app/vantel_dlg.h"

#include "app/command_line.h"
#include "link/commands.h"
#include "link/link.h"
#include "link/timing.h"

namespace vantel {

namespace {

const char* const kTitlePrefix = "USB Firmware Downloader ";

}  // namespace

CVantelDlg::CVantelDlg(MainWindow& window, Shell& shell, HidBackend& backend)
    : window_(window),
      shell_(shell),
      backend_(backend),
      reporter_(window, shell, values_, state_) {
    setLinkBackend(&backend_);
    updater_ = std::make_unique<Updater>(window_, table_, workerRunning_, state_, *this);
}

CVantelDlg::~CVantelDlg() {
    // The updater joins a worker that has ended; only then may the link go.
    updater_.reset();
    if (linkBackend() == &backend_) closeLink();
}

void CVantelDlg::OnInitDialog(const std::vector<std::string>& arguments) {
    const HandlerScope scope(handlersRunning_);
    values_.windows8OrLater = shell_.windows8OrLater();
    shell_.setTitle(std::string(kTitlePrefix) + kVersionText);

    // A library that does not load leaves discovery with nothing to find;
    // start-up goes on so that the user sees the window and the reason.
    if (!backend_.loadHidLibrary()) {
        window_.messageBox("Fail to the load the HID library.", shell_.applicationName(),
                           BoxIcon::Warning);
    }
    if (!backend_.loadSetupLibrary()) {
        window_.messageBox("Fail to the load the HID library..", shell_.applicationName(),
                           BoxIcon::Warning);
    }

    shell_.registerDeviceNotifications();
    workerRunning_ = false;
    resetDeviceTable(table_);
    discoverDevices(table_, window_.deviceList(), -1, workerRunning_);
    shell_.registerHotKeys();
    interpretCommandLine(arguments);
}

void CVantelDlg::interpretCommandLine(const std::vector<std::string>& arguments) {
    const CommandLine line =
        parseCommandLine(arguments, [this](const std::string& text) { return shell_.lowerCaseAnsi(text); });

    switch (line.form) {
    case CommandLineForm::None:
        return;

    case CommandLineForm::Keyword:
        if (window_.deviceList().getCount() == 0) {
            window_.messageBox("Please plug the keyboard first.", shell_.applicationName(),
                               BoxIcon::None);
            return;
        }
        values_.keywordMode = line.keywordMode;
        if (line.keywordMode != 0) updater_->OnGetFwVersion();
        return;

    case CommandLineForm::Path:
        values_.argumentPath = line.argumentPath;
        window_.setControlText(IDC_FIRMWARE_PATH, values_.argumentPath);
        values_.runMode = RunMode::FileArgument;
        window_.setTimer(TIMER_AUTO_START, timing().autoStartMs);
        return;

    case CommandLineForm::HostDriven:
        values_.argumentPath = line.argumentPath;
        values_.resultArgument = line.resultArgument;
        values_.hostVid = line.hostVid;
        values_.hostPid = line.hostPid;
        window_.setControlText(IDC_FIRMWARE_PATH, values_.argumentPath);
        values_.runMode = RunMode::HostDriven;
        if (line.resultFileRun) {
            trayIconFilled = true;
            shell_.addTrayIcon();
            paintHideCountdown = 2;
        } else {
            shell_.layoutCompactProgressWindow();
        }
        window_.setTimer(TIMER_AUTO_START, timing().autoStartMs);
        return;
    }
}

bool CVantelDlg::linkOwnedByWorker() const {
    return workerRunning_.load() || updater_->workerThreadActive();
}

bool CVantelDlg::takePaintHide(bool minimised) {
    if (minimised || paintHideCountdown <= 0) return false;
    --paintHideCountdown;
    return true;
}

// --- WindowHandler -----------------------------------------------------------

void CVantelDlg::onCommand(int id) {
    const HandlerScope scope(handlersRunning_);
    switch (id) {
    case IDC_REFRESH:
        OnRefresh();  // discovery itself refuses to run under the worker
        return;
    case IDC_BROWSE:
    case IDC_DOWNLOAD:
    case IDC_GET_FW_VERSION:
    case IDC_MANUAL_ISP:
        // The worker reads the path and owns the link for its whole run; a
        // command that slipped past the disabled buttons must not disturb it.
        if (linkOwnedByWorker()) return;
        break;
    default:
        return;
    }
    switch (id) {
    case IDC_BROWSE: OnBrowse(); break;
    case IDC_DOWNLOAD: updater_->OnDownload(); break;
    case IDC_GET_FW_VERSION: updater_->OnGetFwVersion(); break;
    case IDC_MANUAL_ISP: updater_->OnManualIspEntry(); break;
    default: break;
    }
}

void CVantelDlg::onTimer(int id) {
    const HandlerScope scope(handlersRunning_);
    updater_->OnTimer(id);
}

void CVantelDlg::onDeviceChange(const DeviceBroadcast& broadcast) {
    const HandlerScope scope(handlersRunning_);
    updater_->OnDeviceChange(broadcast);
}

void CVantelDlg::onHotKey(int id) {
    // The link has one user at a time; while the worker owns it a service
    // hotkey is ignored rather than sent into the middle of a download.
    if (id != 1 && id != 2) return;  // 3 is only held, it does nothing
    if (linkOwnedByWorker()) return;
    // A hotkey that arrives in the nested loop of a box shown by a handler
    // (the Download command between its retries, a service function's
    // outcome) would send a command in the middle of that handler.
    if (handlersRunning_ > 0) return;
    const HandlerScope scope(handlersRunning_);
    if (id == 1) {
        OnTestMode();
    } else {
        OnFactorySetting();
    }
}

bool CVantelDlg::onCloseRequest() { return updater_->allowClose(); }

void CVantelDlg::onDestroy() {
    // With a worker still alive the link is its own; it closes it on its way out.
    if (linkOpen() && !updater_->workerThreadActive()) closeLink();
    releaseLibrariesAndIcon();
}

// --- Commands ----------------------------------------------------------------

void CVantelDlg::OnBrowse() {
    std::string path;
    if (shell_.browseForFile(path)) state_.firmwarePath = path;
    // Typed text reaches firmwarePath only through a download; a cancelled
    // browse therefore shows the last stored path again.
    window_.setControlText(IDC_FIRMWARE_PATH, state_.firmwarePath);
    SetStatusLine(window_, "");
}

void CVantelDlg::OnRefresh() { discoverDevices(table_, window_.deviceList(), -1, workerRunning_); }

void CVantelDlg::OnTestMode() {
    const DeviceEntry* entry = updater_->selectedEntry(SelectionPrompt::Result);
    if (!entry) return;
    if (!openLink(entry->path, Access::Write, entry)) {
        reportResult("Fail to init the device", Outcome::NoDevice, true);
        return;
    }
    SetStatusLine(window_, "Enter testing mode");

    std::uint32_t status = 0;
    if (linkState().legacy == 1) {
        LEGACY_TEST_MODE();  // a legacy keyboard gives no answer to judge by
    } else {
        status = CMD_TEST_MODE();
    }
    if (status == 0) {
        window_.messageBox("Enter testing mode successfully.", kBoxCaption, BoxIcon::None);
        SetStatusLine(window_, "Enter testing mode successfully");
        reportOutcome(Outcome::Success);
    } else {
        SetStatusLine(window_, "Fail to enter testing mode");
        reportOutcome(Outcome::KeyboardRefused);
    }
    // The link stays open; the next operation that opens a device closes it.
}

void CVantelDlg::OnFactorySetting() {
    const DeviceEntry* entry = updater_->selectedEntry(SelectionPrompt::Result);
    if (!entry) return;
    if (!openLink(entry->path, Access::Write, entry)) {
        reportResult("Fail to init the device", Outcome::NoDevice, true);
        return;
    }

    std::string outcome = "Load factory setting successfully";
    Outcome outcomeClass = Outcome::Success;
    if (linkState().legacy == 1) {
        LEGACY_FACTORY_DEFAULTS();
        LEGACY_RESET();
    } else if (CMD_FACTORY_DEFAULTS() != 0) {
        outcome = "Fail to load factory setting - 2";
        outcomeClass = Outcome::KeyboardRefused;
    } else if (CMD_RESET() != 0) {
        outcome = "Fail to load factory setting - 1";
        outcomeClass = Outcome::KeyboardRefused;
    }
    window_.messageBox(outcome, shell_.applicationName(), BoxIcon::None);
    reportOutcome(outcomeClass);
}

// --- UpdateHost --------------------------------------------------------------

void CVantelDlg::reportResult(const std::string& message, Outcome outcome, bool final) {
    (void)outcome;  // the window shows and forwards the text; the class is for front ends above
    reporter_.reportResult(message, final);
}

void CVantelDlg::reportIntermediate(const std::string& message) {
    reporter_.reportIntermediate(message);
}

void CVantelDlg::postHostResultMessage(std::uint32_t wparam, std::uint32_t lparam) {
    reporter_.postHostResultMessage(wparam, lparam);
}

bool CVantelDlg::hostDriven() const { return values_.runMode == RunMode::HostDriven; }

bool CVantelDlg::eventLogRun() const { return values_.resultArgument == "EVENTVIEWER"; }

std::int32_t CVantelDlg::hostVid() const { return values_.hostVid; }

std::int32_t CVantelDlg::hostPid() const { return values_.hostPid; }

bool CVantelDlg::windows8OrLater() const { return values_.windows8OrLater; }

int CVantelDlg::keywordMode() const { return values_.keywordMode; }

void CVantelDlg::setKeywordMode(int mode) { values_.keywordMode = mode; }

void CVantelDlg::legacyFileChosen(const std::string& name) {
    values_.argumentPath = name;
    // The run mode only ever rises: a host-driven run stays host-driven.
    if (values_.runMode == RunMode::Interactive) values_.runMode = RunMode::FileArgument;
}

void CVantelDlg::releasePlatform() { releaseLibrariesAndIcon(); }

void CVantelDlg::releaseLibrariesAndIcon() {
    // Each library is released once; the release waits for a transfer in flight.
    if (!librariesReleased_.exchange(true)) releaseLinkLibraries();
    // Removing an icon that is not shown does nothing; the user may have
    // brought it back since the worker's shutdown removed it.
    if (trayIconFilled) shell_.removeTrayIcon();
}

}  // namespace vantel
