#pragma once
// The page writer: programs a firmware file into a keyboard in ISP mode over
// the open link, 64 bytes at a time, skipping body segments that hold only
// zeros and selecting the next 64 KiB page when the image needs it.

#include <string>

#include "update/download_state.h"
#include "update/update_host.h"
#include "update/window.h"

namespace vantel {

// Page writer results besides 0 and a block's status.
inline constexpr int WRITE_OPEN_FAILED = 2;
inline constexpr int WRITE_HEAD_FAILED = -2;
inline constexpr int WRITE_PAGE_FAILED = -3;

// Writes the file at `path`; shows progress and a failure on `window`, reports
// the failure text to `host` as an intermediate result. Reads
// state.needsPageSelect and advances state.currentPage. Returns 0, one of the
// WRITE_* results, or the status of the block that failed.
int writeImage(MainWindow& window, UpdateHost& host, DownloadState& state, const std::string& path);

}  // namespace vantel
