// The firmware-file checks on arbitrary files: the input is written to a file
// of its own and classified, checked and its trailer read, as the Download
// command and the programming worker do it.
//
// Checked: the file is closed afterwards; a file shorter than the layout
// needs is refused; an accepted file's facts follow from its length and
// bytes alone (class, page selection, marker, profile kind, trailer).

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image/image.h"
#include "image/image_file.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

const std::string& scratchPath() {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string p = std::string(dir && *dir ? dir : "/tmp") + "/vantel-fuzz-image-" +
                        std::to_string(static_cast<long>(getpid())) + ".bin";
        return p;
    }();
    return path;
}

bool writeScratch(const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(scratchPath().c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!writeScratch(data, size)) return 0;

    vantel::ImageFile file;
    if (file.open(scratchPath()) != vantel::FILE_OPEN_OK) return 0;
    check(file.length() == static_cast<std::int64_t>(size));

    vantel::ImageInfo info;
    const vantel::ImageCheck result = vantel::checkImageFile(file, info);
    check(!file.isOpen());

    const bool ispLength = size == 3072 || size == 4096 || size == 8192;
    if (size < 16) check(result != vantel::ImageCheck::Ok);
    if (result == vantel::ImageCheck::Ok) {
        check(info.length == static_cast<std::int32_t>(size));
        check(info.ispImage == ispLength);
        check(info.needsPageSelect == (!ispLength && size > 65536));
        const std::uint8_t* stored = data + size - 14;
        check(std::memcmp(info.trailer.data(), stored, 10) == 0);
        if (ispLength) {
            static const std::uint8_t magic[5] = {0x7B, 0x6A, 0x6B, 0xCA, 0xFA};
            check(std::memcmp(data + size - 12, magic, 5) == 0);
        } else {
            check(data[size - 16] == 0x7B && data[size - 15] == 0x6A);
            check(info.markerImage == vantel::isMarkerTrailer(info.trailer));
            check(info.profileKind == vantel::profileKindOf(stored[0], stored[1]));
            if (info.markerImage) check(info.profileKind == 0);
        }
    } else {
        check(!info.ispImage && !info.markerImage && !info.needsPageSelect);
        if (ispLength) check(result == vantel::ImageCheck::InvalidIspFile);
        check(!vantel::imageCheckMessage(result).empty());
    }

    // The worker's second look at the trailer.
    vantel::Trailer stored{};
    unsigned cause = vantel::FILE_OPEN_OK;
    const bool read = vantel::readTrailer(scratchPath(), stored, &cause);
    if (size >= 14 && read) check(std::memcmp(stored.data(), data + size - 14, 10) == 0);
    if (size >= 16) check(read);

    const vantel::Trailer plain = vantel::descrambleTrailer(stored);
    check(vantel::descrambleTrailer(plain) == stored);
    check(vantel::trailerTargetName(plain).size() <= 8);
    return 0;
}
