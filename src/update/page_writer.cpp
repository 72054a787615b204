#include "update/page_writer.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "image/image.h"
#include "image/image_file.h"
#include "link/commands.h"
#include "link/link.h"
#include "update/update_internal.h"

namespace vantel {

int writeImage(MainWindow& window, UpdateHost& host, DownloadState& state, const std::string& path) {
    window.setProgressRange(0, 100);

    ImageFile file;
    if (file.open(path) != FILE_OPEN_OK) return WRITE_OPEN_FAILED;
    const std::int64_t length = file.length();

    constexpr std::int64_t kHead = 256;
    constexpr std::int64_t kSegment = 256;
    constexpr std::int64_t kBlock = 64;

    // Segment scan: a body segment is written when it holds a non-zero byte.
    const std::int64_t segments = length > kHead ? (length - kHead + kSegment - 1) / kSegment : 0;
    std::vector<std::uint8_t> used(static_cast<std::size_t>(segments), 0);
    std::int64_t flagged = 0;
    {
        std::uint8_t buf[kSegment];
        for (std::int64_t s = 0; s < segments; ++s) {
            const std::int64_t at = kHead + s * kSegment;
            const auto n = static_cast<std::size_t>(std::min(kSegment, length - at));
            if (!file.seek(at) || file.read(buf, n) != n) break;
            if (std::any_of(buf, buf + n, [](std::uint8_t b) { return b != 0; })) {
                used[static_cast<std::size_t>(s)] = 1;
                ++flagged;
            }
        }
    }
    const std::int64_t toWrite = 4 * flagged + 4;
    auto progress = [&](std::int64_t blockNumber) {
        const std::int64_t pos = blockNumber * 100 / toWrite;
        window.setProgressPos(static_cast<int>(std::min<std::int64_t>(pos, std::numeric_limits<int>::max())));
    };

    // One block, sent again on 242 and on a bad checksum, at most three more times.
    auto writeBlock = [](std::uint8_t hi, std::uint8_t lo, const std::uint8_t* data, std::size_t n,
                         int& retries) {
        std::uint32_t r = CMD_WRITE_BLOCK(hi, lo, data, n);
        retries = 0;
        while ((r == STATUS_WRITE_AGAIN || r == LINK_BAD_CHECKSUM) && retries < 3) {
            r = CMD_WRITE_BLOCK(hi, lo, data, n);
            ++retries;
        }
        return r;
    };

    std::uint8_t block[kBlock];

    // Head: always written.
    for (std::int64_t offset = 0; offset < kHead; offset += kBlock) {
        std::size_t n = 0;
        if (file.seek(std::min(offset, length))) n = file.read(block, kBlock);
        const auto hi = static_cast<std::uint8_t>((offset / 256) % 256);
        const auto lo = static_cast<std::uint8_t>(offset % 256);
        int retries = 0;
        const std::uint32_t r = writeBlock(hi, lo, block, n, retries);
        if (r != 0) {
            file.close();
            const std::string text =
                format("2. Retried %d times, Update fail at 0x%02X%02X!", retries, hi, lo);
            SetStatusLine(window, text);
            host.reportIntermediate(text);
            return WRITE_HEAD_FAILED;
        }
        progress(offset / kBlock);
    }

    // Body: the blocks of flagged segments.
    for (std::int64_t k = 0; kHead + k * kBlock < length; ++k) {
        const std::int64_t o = kHead + k * kBlock;
        if (!used[static_cast<std::size_t>(k / 4)]) continue;
        if (state.needsPageSelect) {
            while (o >= (static_cast<std::int64_t>(state.currentPage) + 1) * kPageSize) {
                // The page number travels as one byte.
                if (state.currentPage == 0xFF) {
                    file.close();
                    return WRITE_PAGE_FAILED;
                }
                ++state.currentPage;
                if (!linkOpen() || CMD_GOTO_PAGE(state.currentPage) != 0) {
                    file.close();
                    return WRITE_PAGE_FAILED;
                }
            }
        }
        std::size_t n = 0;
        if (file.seek(o)) n = file.read(block, kBlock);
        const auto hi = static_cast<std::uint8_t>((o / 256) % 256);
        const auto lo = static_cast<std::uint8_t>(o % 256);
        int retries = 0;
        const std::uint32_t r = writeBlock(hi, lo, block, n, retries);
        if (r != 0) {
            file.close();
            const std::string text = format("1. Retried %d times, Update fail at 0x%02X%02X, Error: 0x%02X",
                                            retries, hi, lo, static_cast<unsigned>(r));
            SetStatusLine(window, text);
            host.reportIntermediate(text);
            return static_cast<int>(r);
        }
        progress(k + 4);
    }

    file.close();
    return 0;
}

}  // namespace vantel
