#pragma once
// The per-download members of the main window, shared by the Download command,
// the re-attachment handlers and the programming worker.
//
// The user-interface thread writes them before the worker is started (thread
// creation orders those writes before the worker's reads); the worker reads
// them afterwards and alone writes currentPage.

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace vantel {

class MainWindow;

struct DownloadState {
    std::string firmwarePath;
    std::uint8_t targetInIsp = 0;
    std::uint8_t ispImage = 0;
    std::uint8_t markerImage = 0;
    std::uint8_t needsPageSelect = 0;
    std::uint8_t currentPage = 0;
    std::uint8_t separateIspDevice = 0;
    int profileKind = 0;
    std::uint8_t tagAny = 0;
    std::uint8_t tagFirst = 0;
    std::string reopenPath;
    std::uint8_t deferredStart = 0;
    std::uint8_t ispEntrySent = 0;
    int selectRetries = 0;
};

// Sets the status line (1005). From the worker thread it waits for the
// user-interface thread.
void SetStatusLine(MainWindow& window, const std::string& text);

}  // namespace vantel
