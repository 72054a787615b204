#include "cli/image_info.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "cli/output.h"
#include "image/image.h"
#include "image/image_file.h"

namespace vantel::cli {

namespace {

constexpr std::int64_t kBlock = 64;
constexpr std::int64_t kSegment = 256;
constexpr std::int64_t kReportPayload = 7;  // frame bytes per 8-byte output report
constexpr std::int64_t kWriteFrameOverhead = 6;  // EA, length, A1, address high, address low, checksum
constexpr std::int64_t kGotoPageFrame = 5;       // EA 03 A2 page checksum

std::int64_t ceilDiv(std::int64_t a, std::int64_t b) { return (a + b - 1) / b; }

void countBlock(ImageReport& r, std::int64_t n) {
    ++r.blocks;
    r.reportsSent += ceilDiv(n + kWriteFrameOverhead, kReportPayload);
    ++r.reportsRead;
}

const char* profileName(const std::string& code) {
    if (code == "GF") return "Global Full";
    if (code == "GL") return "Global Lite";
    if (code == "CL") return "Chinese Lite";
    return "";
}

std::string printable(const std::string& text) {
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            out += c;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", u);
            out += buf;
        }
    }
    return out;
}

// The write plan of the page writer: the head always, then every body segment
// that holds a non-zero byte, paged images switching page before the first
// block beyond the current one.
void planWrite(ImageFile& file, ImageReport& r) {
    const std::int64_t length = r.length;
    for (std::int64_t offset = 0; offset < kSegment; offset += kBlock) {
        const std::int64_t n = std::clamp<std::int64_t>(length - offset, 0, kBlock);
        countBlock(r, n);
    }
    if (length <= kSegment) return;

    r.bodySegments = ceilDiv(length - kSegment, kSegment);
    std::int64_t page = 0;
    std::array<std::uint8_t, kSegment> buffer{};
    for (std::int64_t s = 0; s < r.bodySegments; ++s) {
        const std::int64_t start = kSegment + s * kSegment;
        const std::int64_t size = std::min(kSegment, length - start);
        if (!file.readAt(start, buffer.data(), static_cast<std::size_t>(size))) break;
        const bool used = std::any_of(buffer.begin(), buffer.begin() + size,
                                      [](std::uint8_t b) { return b != 0; });
        if (!used) continue;
        ++r.segmentsToWrite;
        for (std::int64_t o = start; o < start + size; o += kBlock) {
            if (r.needsPageSelect) {
                while (o >= (page + 1) * kPageSize) {
                    ++page;
                    ++r.pageSelects;
                    r.reportsSent += ceilDiv(kGotoPageFrame, kReportPayload);
                    ++r.reportsRead;
                }
            }
            countBlock(r, std::min(kBlock, start + size - o));
        }
    }
}

}  // namespace

ImageReport inspectImage(const std::string& path) {
    ImageReport r;
    r.path = path;
    ImageFile file;
    r.openCause = file.open(path);
    if (r.openCause != FILE_OPEN_OK) {
        char text[64];
        std::snprintf(text, sizeof text, ", error = %u!", r.openCause);
        r.rejection = "Can't open file " + path + text;
        r.imageClass = "invalid";
        return r;
    }
    r.length = file.length();
    const ImageClass cls = classifyLength(r.length);
    r.imageClass = cls == ImageClass::Isp           ? "ISP image"
                   : cls == ImageClass::Application ? "application image"
                                                    : "invalid";
    if (cls == ImageClass::Invalid) {
        r.rejection = kInvalidFileText;
        return r;
    }

    std::array<std::uint8_t, 2> magic{};
    r.imageMagic = file.readAt(r.length - kImageMagicFromEnd, magic.data(), magic.size()) &&
                   magic == kImageMagic;
    std::array<std::uint8_t, 5> isp{};
    r.ispMagic = file.readAt(r.length - kIspMagicFromEnd, isp.data(), isp.size()) && isp == kIspMagic;

    Trailer stored{};
    r.trailerRead = readTrailer(file, stored);
    if (r.trailerRead) {
        const Trailer plain = descrambleTrailer(stored);
        r.profileCode = trailerProfileCode(plain);
        r.profileName = profileName(r.profileCode);
        r.targetName = trailerTargetName(plain);
    }

    r.needsPageSelect = cls == ImageClass::Application && r.length > kPageSize;
    r.pages = ceilDiv(r.length, kPageSize);
    if (fitsAnyFramedKeyboard(r.length)) r.flashKiB = r.length / 1024;
    planWrite(file, r);

    ImageInfo info;
    const ImageCheck check = checkImageFile(file, info);  // closes the file
    r.valid = check == ImageCheck::Ok;
    r.rejection = imageCheckMessage(check);
    if (r.valid) {
        r.markerImage = info.markerImage;
        r.profileKind = info.profileKind;
    }
    return r;
}

std::string imageReportText(const ImageReport& r) {
    std::string out;
    auto line = [&out](const std::string& label, const std::string& value) {
        std::string l = label + ":";
        l.resize(22, ' ');
        out += l + value + "\n";
    };
    line("File", r.path);
    if (r.openCause != FILE_OPEN_OK) {
        line("Error", r.rejection);
        return out;
    }
    line("Length", std::to_string(r.length) + " bytes");
    line("Class", r.imageClass);
    line("Valid", r.valid ? "yes" : "no: " + r.rejection);
    if (r.imageClass == "invalid") return out;
    line("Image magic (L-16)", r.imageMagic ? "7B 6A" : "absent");
    line("ISP magic (L-12)", r.ispMagic ? "7B 6A 6B CA FA" : "absent");
    if (r.trailerRead) {
        std::string profile = printable(r.profileCode);
        if (!r.profileName.empty()) profile += " (" + r.profileName + ")";
        line("Profile", profile);
        line("Target", r.targetName.empty() ? "(none)" : printable(r.targetName));
    }
    if (r.valid && r.imageClass == "application image") {
        line("Marker image", r.markerImage ? "yes" : "no");
    }
    line("Paging", r.needsPageSelect ? "64 KB pages, " + std::to_string(r.pages) + " pages"
                                     : std::string("none (one page)"));
    line("Flash size needed", r.flashKiB >= 0 ? std::to_string(r.flashKiB) + " KB"
                                              : std::string("none fits (not a whole number of KB up to 255)"));
    line("Segments to write", std::to_string(r.segmentsToWrite) + " of " +
                                  std::to_string(r.bodySegments) + " (plus the 256-byte head)");
    line("Blocks", std::to_string(r.blocks) + " of 64 bytes");
    if (r.needsPageSelect) line("Page switches", std::to_string(r.pageSelects));
    line("Est. transfers", std::to_string(r.reportsSent + r.reportsRead) + " feature reports (" +
                               std::to_string(r.reportsSent) + " sent, at least " +
                               std::to_string(r.reportsRead) + " read)");
    return out;
}

std::string imageReportJson(const ImageReport& r) {
    auto b = [](bool v) { return std::string(v ? "true" : "false"); };
    auto n = [](std::int64_t v) { return std::to_string(v); };
    std::string out = "{";
    out += "\"file\":" + jsonString(r.path);
    out += ",\"openError\":" + std::to_string(r.openCause);
    out += ",\"length\":" + n(r.length);
    out += ",\"class\":" + jsonString(r.imageClass);
    out += ",\"valid\":" + b(r.valid);
    out += ",\"rejection\":" + jsonString(r.rejection);
    out += ",\"imageMagic\":" + b(r.imageMagic);
    out += ",\"ispMagic\":" + b(r.ispMagic);
    out += ",\"profile\":" + jsonString(r.profileCode);
    out += ",\"profileHex\":" + jsonString(hexBytes(r.profileCode));
    out += ",\"profileName\":" + jsonString(r.profileName);
    out += ",\"target\":" + jsonString(r.targetName);
    out += ",\"targetHex\":" + jsonString(hexBytes(r.targetName));
    out += ",\"markerImage\":" + b(r.markerImage);
    out += ",\"profileKind\":" + std::to_string(r.profileKind);
    out += ",\"needsPageSelect\":" + b(r.needsPageSelect);
    out += ",\"pages\":" + n(r.pages);
    out += ",\"flashKiB\":" + (r.flashKiB >= 0 ? n(r.flashKiB) : std::string("null"));
    out += ",\"bodySegments\":" + n(r.bodySegments);
    out += ",\"segmentsToWrite\":" + n(r.segmentsToWrite);
    out += ",\"blocks\":" + n(r.blocks);
    out += ",\"pageSelects\":" + n(r.pageSelects);
    out += ",\"reportsSent\":" + n(r.reportsSent);
    out += ",\"reportsRead\":" + n(r.reportsRead);
    out += ",\"estimatedTransfers\":" + n(r.reportsSent + r.reportsRead);
    out += "}\n";
    return out;
}

}  // namespace vantel::cli
