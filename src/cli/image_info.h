#pragma once
// The info command: what a firmware file holds and what writing it takes.

#include <cstdint>
#include <string>

namespace vantel::cli {

struct ImageReport {
    std::string path;
    unsigned openCause = 0;       // FILE_OPEN_OK, or why the file could not be opened
    std::int64_t length = -1;
    std::string imageClass;       // "ISP image", "application image" or "invalid"
    bool valid = false;           // passes the class and magic checks
    std::string rejection;        // the text a download would report, when not valid

    bool imageMagic = false;      // 7B 6A at L-16
    bool ispMagic = false;        // 7B 6A 6B CA FA at L-12
    bool trailerRead = false;
    std::string profileCode;      // plain trailer bytes 0-1
    std::string profileName;      // "Global Full", ... or empty for an unknown code
    std::string targetName;       // plain trailer bytes 2-9 up to the first zero
    bool markerImage = false;
    int profileKind = 0;

    bool needsPageSelect = false;
    std::int64_t pages = 0;             // 64 KB pages the file spans
    std::int64_t bodySegments = 0;      // 256-byte segments after the head
    std::int64_t segmentsToWrite = 0;   // of those, the ones holding a non-zero byte
    std::int64_t blocks = 0;            // CMD_WRITE_BLOCK requests (64 bytes each, the head's 4 included)
    std::int64_t pageSelects = 0;       // CMD_GOTO_PAGE during the write (page 0 before it not counted)
    std::int64_t reportsSent = 0;       // output feature reports of the write (8-byte reports)
    std::int64_t reportsRead = 0;       // input feature reports, one per reply at the least
    std::int64_t flashKiB = -1;         // the flash size a keyboard must report; -1: fits none
};

ImageReport inspectImage(const std::string& path);

std::string imageReportText(const ImageReport& report);
std::string imageReportJson(const ImageReport& report);

}  // namespace vantel::cli
