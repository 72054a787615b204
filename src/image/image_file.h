#pragma once
// A read-only binary file: the firmware file as the Download command, the
// image checks, the programming worker and the page writer read it. The file
// is never written. Lengths and offsets are 64-bit so that a file of 2 GiB or
// more is seen for what it is.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vantel {

// Cause codes of a failed open, numbered as the file exceptions of the window
// framework number them ("Can't open file %s, error = %u").
enum FileOpenCause : unsigned {
    FILE_OPEN_OK = 0,
    FILE_GENERIC = 1,
    FILE_NOT_FOUND = 2,
    FILE_BAD_PATH = 3,            // a missing folder, an invalid or over-long name
    FILE_TOO_MANY_OPEN = 4,
    FILE_ACCESS_DENIED = 5,       // also: the path names a folder
    FILE_SHARING_VIOLATION = 11,
};

class ImageFile {
public:
    ImageFile() = default;
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;
    ImageFile(ImageFile&& other) noexcept;
    ImageFile& operator=(ImageFile&& other) noexcept;

    // Opens `path` for reading (closing any file open before). FILE_OPEN_OK or
    // the cause of the failure; on failure the object stays closed.
    unsigned open(const std::string& path);
    void close();
    bool isOpen() const { return file_ != nullptr; }

    // The length found at open; -1 when closed.
    std::int64_t length() const { return isOpen() ? length_ : -1; }

    // Moves the read position; false for a position outside 0..length() or a
    // closed file.
    bool seek(std::int64_t offset);
    // Reads up to n bytes at the read position; the number read (0 at the end,
    // on an error or when closed).
    std::size_t read(void* buffer, std::size_t n);
    // Seeks, then reads exactly n bytes; false when fewer are there.
    bool readAt(std::int64_t offset, void* buffer, std::size_t n);

private:
    std::FILE* file_ = nullptr;
    std::int64_t length_ = -1;
};

}  // namespace vantel
