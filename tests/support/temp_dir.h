#pragma once
// A fresh folder per test under the system's temporary folder, removed with
// everything in it when the object goes. The folder is claimed with
// create_directory, which fails for an existing one, so tests running in
// parallel (also from several build trees) never share a folder.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

namespace vantel {

class TempDir {
public:
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string stem = "vantel-test";
        if (info != nullptr) {
            stem += "-";
            stem += info->test_suite_name();
            stem += "-";
            stem += info->name();
        }
        for (char& c : stem) {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                               (c >= '0' && c <= '9') || c == '-';
            if (!plain) c = '_';
        }
        const auto base = std::filesystem::temp_directory_path();
        for (unsigned n = 0;; ++n) {
            auto candidate = base / (stem + "-" + std::to_string(n));
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec)) {
                path_ = candidate;
                break;
            }
            if (ec) throw std::filesystem::filesystem_error("temp dir", candidate, ec);
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // A path inside the folder, as 8-bit text.
    std::string file(const std::string& name) const { return (path_ / name).string(); }

    // Writes `bytes` to `name` and returns its path.
    std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        const std::string p = file(name);
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return p;
    }
    std::string write(const std::string& name, const std::string& bytes) const {
        return write(name, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }

    // The whole content of a file ("" when it cannot be read).
    static std::string read(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::filesystem::path path_;
};

}  // namespace vantel
