// The info command: the facts of a firmware file and the write it takes.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "cli/image_info.h"
#include "image_maker.h"
#include "json_reader.h"

namespace vantel::cli {
namespace {

namespace fs = std::filesystem;
using test::Json;
using test::JsonReader;

class CliImageInfo : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("vantel-cli-info-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string file(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const std::string path = (dir_ / name).string();
        test::writeBytes(path, bytes);
        return path;
    }
    fs::path dir_;
};

TEST_F(CliImageInfo, ApplicationImageWithZeroSegments) {
    // File segments 3..9 are zero: body segments 2..8 are skipped.
    const auto path = file("a.bin", test::applicationImage(65536, "GL", "RX431", 1, {3, 4, 5, 6, 7, 8, 9}));
    const ImageReport r = inspectImage(path);
    EXPECT_TRUE(r.valid) << r.rejection;
    EXPECT_EQ(r.imageClass, "application image");
    EXPECT_TRUE(r.imageMagic);
    EXPECT_FALSE(r.ispMagic);
    EXPECT_EQ(r.profileCode, "GL");
    EXPECT_EQ(r.profileName, "Global Lite");
    EXPECT_EQ(r.profileKind, 1);
    EXPECT_EQ(r.targetName, "RX431");
    EXPECT_FALSE(r.needsPageSelect);
    EXPECT_EQ(r.pages, 1);
    EXPECT_EQ(r.flashKiB, 64);
    EXPECT_EQ(r.bodySegments, 255);
    EXPECT_EQ(r.segmentsToWrite, 248);
    EXPECT_EQ(r.blocks, 4 + 248 * 4);
    EXPECT_EQ(r.pageSelects, 0);
    // A 64-byte block travels in a 70-byte frame: ten 8-byte reports, one reply.
    EXPECT_EQ(r.reportsSent, r.blocks * 10);
    EXPECT_EQ(r.reportsRead, r.blocks);

    const std::string text = imageReportText(r);
    EXPECT_NE(text.find("GL (Global Lite)"), std::string::npos) << text;
    EXPECT_NE(text.find("248 of 255"), std::string::npos) << text;
}

TEST_F(CliImageInfo, PagedImageWithAShortLastSegment) {
    const std::int64_t length = 65536 + 100;
    const auto path = file("p.bin", test::applicationImage(static_cast<std::size_t>(length), "CL", "LONGNAME9"));
    const ImageReport r = inspectImage(path);
    EXPECT_TRUE(r.valid);
    EXPECT_TRUE(r.needsPageSelect);
    EXPECT_EQ(r.pages, 2);
    EXPECT_EQ(r.flashKiB, -1) << "no keyboard reports a flash of that size";
    EXPECT_EQ(r.targetName, "LONGNAME") << "at most 8 characters";
    EXPECT_EQ(r.profileName, "Chinese Lite");
    EXPECT_EQ(r.bodySegments, 256);
    EXPECT_EQ(r.segmentsToWrite, 256);
    // Full segments give 4 blocks; the last 100 bytes give a 64- and a 36-byte block.
    EXPECT_EQ(r.blocks, 4 + 255 * 4 + 2);
    EXPECT_EQ(r.pageSelects, 1);
    // 1025 blocks of 64 bytes (10 reports), one of 36 (42-byte frame: 6 reports), one page switch.
    EXPECT_EQ(r.reportsSent, (r.blocks - 1) * 10 + 6 + 1);
    EXPECT_EQ(r.reportsRead, r.blocks + 1);
}

TEST_F(CliImageInfo, IspImage) {
    const auto path = file("i.bin", test::ispImage(4096));
    const ImageReport r = inspectImage(path);
    EXPECT_TRUE(r.valid) << r.rejection;
    EXPECT_EQ(r.imageClass, "ISP image");
    EXPECT_TRUE(r.ispMagic);
    EXPECT_EQ(r.profileCode, "GF");
    EXPECT_EQ(r.flashKiB, 4);
    EXPECT_FALSE(r.markerImage);
}

TEST_F(CliImageInfo, RejectionsCarryTheDownloadsTexts) {
    // An ISP length without the ISP magic is never taken for an application image.
    auto r = inspectImage(file("i.bin", test::applicationImage(3072)));
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.rejection, "The firmware file is not a valid ISP firmware file.");

    r = inspectImage(file("z.bin", std::vector<std::uint8_t>(5000)));
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.rejection, "The firmware file is not a valid firmware file.");

    r = inspectImage(file("tiny.bin", std::vector<std::uint8_t>(10, 0x7B)));
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.imageClass, "invalid");

    const std::string missing = (dir_ / "missing.bin").string();
    r = inspectImage(missing);
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.openCause, 2u);
    EXPECT_EQ(r.rejection, "Can't open file " + missing + ", error = 2!");
    EXPECT_NE(imageReportText(r).find("error = 2"), std::string::npos);
}

TEST_F(CliImageInfo, JsonParsesBack) {
    const auto path = file("m.bin", test::applicationImage(131072, "GF", "RX\"Q"));
    const Json j = JsonReader::parse(imageReportJson(inspectImage(path)));
    EXPECT_EQ(j["file"].string, path);
    EXPECT_EQ(j["length"].number, 131072);
    EXPECT_EQ(j["class"].string, "application image");
    EXPECT_TRUE(j["valid"].boolean);
    EXPECT_EQ(j["target"].string, "RX\"Q");
    EXPECT_EQ(j["flashKiB"].number, 128);
    EXPECT_TRUE(j["needsPageSelect"].boolean);
    EXPECT_EQ(j["pages"].number, 2);
    EXPECT_EQ(j["estimatedTransfers"].number, j["reportsSent"].number + j["reportsRead"].number);

    // Trailer bytes that are no text at all still give JSON a strict parser
    // takes, with the bytes themselves in hex.
    const auto odd = file("odd.bin", test::applicationImage(65536, std::string("\xFA\x80", 2),
                                                           std::string("\xC3\x01\xFF\xED\xA0\x80\x7F", 7)));
    const Json o = JsonReader::parseStrict(imageReportJson(inspectImage(odd)));
    EXPECT_EQ(o["profileHex"].string, "FA 80");
    EXPECT_EQ(o["targetHex"].string, "C3 01 FF ED A0 80 7F");
    EXPECT_EQ(o["profile"].string, "\xC3\xBA\xC2\x80") << "read as Latin-1";

    const Json bad = JsonReader::parse(imageReportJson(inspectImage((dir_ / "none").string())));
    EXPECT_FALSE(bad["valid"].boolean);
    EXPECT_EQ(bad["flashKiB"].type, Json::Type::Null);
}

}  // namespace
}  // namespace vantel::cli
