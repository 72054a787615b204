// Large-file offsets on 32-bit C libraries that need asking for them.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "image/image_file.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

#ifndef _WIN32
#include <filesystem>
#include <system_error>
#endif

namespace vantel {

namespace {

bool seekTo(std::FILE* f, std::int64_t offset, int whence) {
#ifdef _WIN32
    return _fseeki64(f, offset, whence) == 0;
#else
    return fseeko(f, static_cast<off_t>(offset), whence) == 0;
#endif
}

std::int64_t tellPos(std::FILE* f) {
#ifdef _WIN32
    return _ftelli64(f);
#else
    return static_cast<std::int64_t>(ftello(f));
#endif
}

#ifdef _WIN32
// The C runtime keeps the system's own error code of the failed open; it tells
// a sharing violation from a plain access denial, which errno does not.
unsigned causeFromSystemError(unsigned long code) {
    switch (code) {
    case 2: return FILE_NOT_FOUND;           // ERROR_FILE_NOT_FOUND
    case 3:                                  // ERROR_PATH_NOT_FOUND
    case 15:                                 // ERROR_INVALID_DRIVE
    case 123:                                // ERROR_INVALID_NAME
    case 161:                                // ERROR_BAD_PATHNAME
    case 206:                                // ERROR_FILENAME_EXCED_RANGE
    case 267: return FILE_BAD_PATH;          // ERROR_DIRECTORY
    case 4: return FILE_TOO_MANY_OPEN;       // ERROR_TOO_MANY_OPEN_FILES
    case 5: return FILE_ACCESS_DENIED;       // ERROR_ACCESS_DENIED
    case 32:                                 // ERROR_SHARING_VIOLATION
    case 33: return FILE_SHARING_VIOLATION;  // ERROR_LOCK_VIOLATION
    default: return FILE_GENERIC;
    }
}
#endif

unsigned causeFromErrno(int error, const std::string& path) {
    switch (error) {
    case ENOENT: {
        if (path.empty()) return FILE_BAD_PATH;
#ifndef _WIN32
        // A missing file in an existing folder is "not found"; a missing folder
        // on the way there is a bad path.
        const std::filesystem::path parent = std::filesystem::path(path).parent_path();
        if (!parent.empty()) {
            std::error_code ec;
            if (!std::filesystem::is_directory(parent, ec)) return FILE_BAD_PATH;
        }
#endif
        return FILE_NOT_FOUND;
    }
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL:
#ifdef ELOOP
    case ELOOP:
#endif
#ifdef EILSEQ
    case EILSEQ:
#endif
        return FILE_BAD_PATH;
    case EMFILE:
    case ENFILE:
        return FILE_TOO_MANY_OPEN;
    case EACCES:
    case EPERM:
    case EISDIR:
#ifdef EROFS
    case EROFS:
#endif
        return FILE_ACCESS_DENIED;
#ifdef EBUSY
    case EBUSY:
        return FILE_SHARING_VIOLATION;
#endif
    default:
        return FILE_GENERIC;
    }
}

}  // namespace

ImageFile::~ImageFile() { close(); }

ImageFile::ImageFile(ImageFile&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)), length_(std::exchange(other.length_, -1)) {}

ImageFile& ImageFile::operator=(ImageFile&& other) noexcept {
    if (this != &other) {
        close();
        file_ = std::exchange(other.file_, nullptr);
        length_ = std::exchange(other.length_, -1);
    }
    return *this;
}

unsigned ImageFile::open(const std::string& path) {
    close();
    if (path.empty()) return FILE_BAD_PATH;

#ifndef _WIN32
    // The C library here happily opens a folder or a pipe for reading; neither
    // is a firmware file, and opening a pipe could block the caller.
    {
        std::error_code ec;
        const auto status = std::filesystem::status(path, ec);
        if (!ec) {
            if (std::filesystem::is_directory(status)) return FILE_ACCESS_DENIED;
            if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
                return FILE_GENERIC;
            }
        }
    }
#endif

    errno = 0;
#ifdef _WIN32
    _doserrno = 0;
#endif
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
#ifdef _WIN32
        const unsigned long code = static_cast<unsigned long>(_doserrno);
        if (code != 0) return causeFromSystemError(code);
#endif
        return causeFromErrno(errno, path);
    }

    std::int64_t len = -1;
    if (seekTo(f, 0, SEEK_END)) len = tellPos(f);
    if (len < 0 || !seekTo(f, 0, SEEK_SET)) {
        std::fclose(f);
        return FILE_GENERIC;
    }
    file_ = f;
    length_ = len;
    return FILE_OPEN_OK;
}

void ImageFile::close() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    length_ = -1;
}

bool ImageFile::seek(std::int64_t offset) {
    if (file_ == nullptr || offset < 0 || offset > length_) return false;
    return seekTo(file_, offset, SEEK_SET);
}

std::size_t ImageFile::read(void* buffer, std::size_t n) {
    if (file_ == nullptr || n == 0) return 0;
    return std::fread(buffer, 1, n, file_);
}

bool ImageFile::readAt(std::int64_t offset, void* buffer, std::size_t n) {
    if (!seek(offset)) return false;
    return read(buffer, n) == n;
}

}  // namespace vantel
