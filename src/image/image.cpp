#include "image/image.h"

#include <algorithm>
#include <limits>

namespace vantel {

ImageClass classifyLength(std::int64_t length) {
    // Below 16 bytes the magic would lie before the start of the file; from
    // 2 GiB on the length no longer fits the 32-bit value the rest of the
    // update works with (and its low bits could pose as an ISP length).
    if (length < kImageMagicFromEnd || length > std::numeric_limits<std::int32_t>::max()) {
        return ImageClass::Invalid;
    }
    if (length == 3072 || length == 4096 || length == 8192) return ImageClass::Isp;
    return ImageClass::Application;
}

std::string imageCheckMessage(ImageCheck check) {
    switch (check) {
    case ImageCheck::InvalidIspFile: return kInvalidIspFileText;
    case ImageCheck::InvalidFile: return kInvalidFileText;
    case ImageCheck::Ok: break;
    }
    return {};
}

namespace {

ImageCheck checkOpenFile(ImageFile& file, ImageInfo& info) {
    info.ispImage = false;
    info.markerImage = false;
    info.needsPageSelect = false;

    if (!file.isOpen()) return ImageCheck::InvalidFile;
    const std::int64_t length = file.length();
    const ImageClass cls = classifyLength(length);
    if (cls == ImageClass::Invalid) return ImageCheck::InvalidFile;

    ImageInfo found;
    found.length = static_cast<std::int32_t>(length);

    if (cls == ImageClass::Isp) {
        std::array<std::uint8_t, kIspMagic.size()> magic{};
        if (!file.readAt(length - kIspMagicFromEnd, magic.data(), magic.size()) ||
            magic != kIspMagic) {
            return ImageCheck::InvalidIspFile;
        }
        if (!file.readAt(length - kTrailerFromEnd, found.trailer.data(), found.trailer.size())) {
            return ImageCheck::InvalidIspFile;
        }
        found.ispImage = true;
    } else {
        std::array<std::uint8_t, kImageMagic.size()> magic{};
        if (!file.readAt(length - kImageMagicFromEnd, magic.data(), magic.size()) ||
            magic != kImageMagic) {
            return ImageCheck::InvalidFile;
        }
        if (!file.readAt(length - kTrailerFromEnd, found.trailer.data(), found.trailer.size())) {
            return ImageCheck::InvalidFile;
        }
        found.needsPageSelect = length > kPageSize;
        found.profileKind = profileKindOf(found.trailer[0], found.trailer[1]);
        found.markerImage = isMarkerTrailer(found.trailer);
    }
    info = found;
    return ImageCheck::Ok;
}

}  // namespace

ImageCheck checkImageFile(ImageFile& file, ImageInfo& info) {
    const ImageCheck result = checkOpenFile(file, info);
    file.close();
    return result;
}

void descrambleTrailer(const Trailer& stored, Trailer& plain) {
    std::transform(stored.begin(), stored.end(), plain.begin(),
                   [](std::uint8_t b) { return descrambleByte(b); });
}

Trailer descrambleTrailer(const Trailer& stored) {
    Trailer plain{};
    descrambleTrailer(stored, plain);
    return plain;
}

int profileKindOf(std::uint8_t stored0, std::uint8_t stored1) {
    if (stored1 != 0x3B) return 0;
    if (stored0 == 0x8B) return 1;
    if (stored0 == 0xCB) return 2;
    return 0;
}

bool isMarkerTrailer(const Trailer& stored) { return stored == kMarkerPattern; }

std::string trailerTargetName(const Trailer& plain) {
    std::string name;
    for (std::size_t i = 2; i < plain.size() && plain[i] != 0; ++i) {
        name.push_back(static_cast<char>(plain[i]));
    }
    return name;
}

std::string trailerProfileCode(const Trailer& plain) {
    return std::string{static_cast<char>(plain[0]), static_cast<char>(plain[1])};
}

bool readTrailer(ImageFile& file, Trailer& stored) {
    if (!file.isOpen() || classifyLength(file.length()) == ImageClass::Invalid) return false;
    Trailer bytes{};
    if (!file.readAt(file.length() - kTrailerFromEnd, bytes.data(), bytes.size())) return false;
    stored = bytes;
    return true;
}

bool readTrailer(const std::string& path, Trailer& stored, unsigned* openCause) {
    ImageFile file;
    const unsigned cause = file.open(path);
    if (cause != FILE_OPEN_OK) {
        if (openCause != nullptr) *openCause = cause;
        return false;
    }
    const bool ok = readTrailer(file, stored);
    if (!ok && openCause != nullptr) *openCause = FILE_GENERIC;
    return ok;
}

}  // namespace vantel
