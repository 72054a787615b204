#include "image/image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "support/temp_dir.h"

namespace vantel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// An application image of `length` bytes: a counting pattern, the image magic
// at L - 16 and `stored` as the trailer at L - 14.
Bytes applicationImage(std::size_t length, const Trailer& stored) {
    Bytes b(length);
    for (std::size_t i = 0; i < length; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 1);
    b[length - 16] = 0x7B;
    b[length - 15] = 0x6A;
    std::copy(stored.begin(), stored.end(), b.begin() + static_cast<long>(length - 14));
    return b;
}

// An ISP image: trailer bytes 2..6 are the ISP magic.
Bytes ispImage(std::size_t length, std::uint8_t stored0 = 0x8B, std::uint8_t stored1 = 0x3B) {
    Trailer t{stored0, stored1, 0x7B, 0x6A, 0x6B, 0xCA, 0xFA, 0x12, 0x34, 0x56};
    Bytes b(length, 0x5A);
    std::copy(t.begin(), t.end(), b.begin() + static_cast<long>(length - 14));
    return b;
}

const Trailer kSomeTrailer{0x8B, 0x3B, 0xE9, 0x1A, 0x3B, 0xDB, 0xFF, 0xFF, 0xFF, 0xFF};

class ImageCheckTest : public ::testing::Test {
protected:
    ImageCheck check(const Bytes& bytes, ImageInfo& info) {
        const std::string path = dir.write("fw" + std::to_string(counter++) + ".bin", bytes);
        ImageFile file;
        EXPECT_EQ(file.open(path), FILE_OPEN_OK);
        const ImageCheck result = checkImageFile(file, info);
        EXPECT_FALSE(file.isOpen()) << "checkImageFile closes the file";
        return result;
    }
    ImageCheck check(const Bytes& bytes) {
        ImageInfo info;
        return check(bytes, info);
    }

    TempDir dir;
    int counter = 0;
};

TEST_F(ImageCheckTest, IspLengthsWithIspMagicAreIspImages) {
    for (std::size_t length : {3072u, 4096u, 8192u}) {
        SCOPED_TRACE(length);
        const Bytes bytes = ispImage(length);
        ImageInfo info;
        info.markerImage = true;  // stale values of an earlier file
        info.needsPageSelect = true;
        ASSERT_EQ(check(bytes, info), ImageCheck::Ok);
        EXPECT_TRUE(info.ispImage);
        EXPECT_EQ(info.length, static_cast<std::int32_t>(length));
        EXPECT_FALSE(info.needsPageSelect);
        EXPECT_FALSE(info.markerImage);
        // The trailer overlaps the ISP magic and is still taken whole; its
        // first bytes would mean Global Lite but are not evaluated here.
        EXPECT_EQ(info.trailer,
                  (Trailer{0x8B, 0x3B, 0x7B, 0x6A, 0x6B, 0xCA, 0xFA, 0x12, 0x34, 0x56}));
        EXPECT_EQ(info.profileKind, 0);
    }
}

TEST_F(ImageCheckTest, IspLengthWithoutIspMagicIsNeverAnApplicationImage) {
    // A proper application layout at one of the ISP lengths.
    EXPECT_EQ(check(applicationImage(3072, kSomeTrailer)), ImageCheck::InvalidIspFile);
    // One byte of the ISP magic wrong.
    for (std::size_t i = 0; i < 5; ++i) {
        Bytes bytes = ispImage(4096);
        bytes[4096 - 12 + i] ^= 0x01;
        EXPECT_EQ(check(bytes), ImageCheck::InvalidIspFile) << "magic byte " << i;
    }
    EXPECT_EQ(imageCheckMessage(ImageCheck::InvalidIspFile),
              "The firmware file is not a valid ISP firmware file.");
}

TEST_F(ImageCheckTest, OtherLengthsAreApplicationImagesNeedingTheImageMagic) {
    for (std::size_t length : {16u, 3071u, 3073u, 4097u, 8191u, 32768u}) {
        SCOPED_TRACE(length);
        ImageInfo info;
        ASSERT_EQ(check(applicationImage(length, kSomeTrailer), info), ImageCheck::Ok);
        EXPECT_FALSE(info.ispImage);
        EXPECT_EQ(info.length, static_cast<std::int32_t>(length));
        EXPECT_EQ(info.trailer, kSomeTrailer);
    }
    // An ISP image at a non-ISP length carries no image magic at L - 16.
    EXPECT_EQ(check(ispImage(5000)), ImageCheck::InvalidFile);
    Bytes bytes = applicationImage(20000, kSomeTrailer);
    bytes[20000 - 15] = 0x6B;
    EXPECT_EQ(check(bytes), ImageCheck::InvalidFile);
    EXPECT_EQ(imageCheckMessage(ImageCheck::InvalidFile),
              "The firmware file is not a valid firmware file.");
    EXPECT_EQ(imageCheckMessage(ImageCheck::Ok), "");
}

TEST_F(ImageCheckTest, PagingStartsAbove64KiB) {
    ImageInfo info;
    ASSERT_EQ(check(applicationImage(65536, kSomeTrailer), info), ImageCheck::Ok);
    EXPECT_FALSE(info.needsPageSelect);
    ASSERT_EQ(check(applicationImage(65537, kSomeTrailer), info), ImageCheck::Ok);
    EXPECT_TRUE(info.needsPageSelect);
}

TEST_F(ImageCheckTest, ProfileKindAndMarkerFromTheStoredTrailer) {
    struct Case {
        std::uint8_t b0, b1;
        int kind;
    };
    for (const Case c : {Case{0x8B, 0x3B, 1}, Case{0xCB, 0x3B, 2}, Case{0x8B, 0x9B, 0},
                         Case{0x3B, 0x8B, 0}, Case{0x3B, 0xCB, 0}, Case{0x00, 0x00, 0}}) {
        Trailer t = kSomeTrailer;
        t[0] = c.b0;
        t[1] = c.b1;
        ImageInfo info;
        ASSERT_EQ(check(applicationImage(4000, t), info), ImageCheck::Ok);
        EXPECT_EQ(info.profileKind, c.kind) << std::hex << int(c.b0) << " " << int(c.b1);
        EXPECT_FALSE(info.markerImage);
    }

    ImageInfo info;
    ASSERT_EQ(check(applicationImage(70000, kMarkerPattern), info), ImageCheck::Ok);
    EXPECT_TRUE(info.markerImage);
    EXPECT_EQ(info.profileKind, 0);  // the pattern begins with 8B 9B

    for (std::size_t i = 0; i < kTrailerSize; ++i) {
        Trailer near = kMarkerPattern;
        near[i] ^= 0x10;
        ASSERT_EQ(check(applicationImage(70000, near), info), ImageCheck::Ok);
        EXPECT_FALSE(info.markerImage) << "byte " << i;
    }
}

TEST_F(ImageCheckTest, RejectionClearsTheFlagsOfAnEarlierFile) {
    ImageInfo info;
    ASSERT_EQ(check(applicationImage(70000, kMarkerPattern), info), ImageCheck::Ok);
    ASSERT_TRUE(info.markerImage && info.needsPageSelect);
    ASSERT_EQ(check(Bytes(70000, 0), info), ImageCheck::InvalidFile);
    EXPECT_FALSE(info.ispImage);
    EXPECT_FALSE(info.markerImage);
    EXPECT_FALSE(info.needsPageSelect);
}

TEST_F(ImageCheckTest, FilesTooShortForAnyLayoutAreRejected) {
    for (std::size_t length : {0u, 1u, 2u, 13u, 14u, 15u}) {
        // Magic-looking bytes everywhere, so only the length can reject.
        Bytes bytes(length);
        for (std::size_t i = 0; i < length; ++i) bytes[i] = (i % 2) ? 0x6A : 0x7B;
        EXPECT_EQ(check(bytes), ImageCheck::InvalidFile) << length;
    }
}

TEST_F(ImageCheckTest, ClosedFileIsRejected) {
    ImageFile file;
    ImageInfo info;
    EXPECT_EQ(checkImageFile(file, info), ImageCheck::InvalidFile);
}

TEST(ImageLength, ClassesByLength) {
    EXPECT_EQ(classifyLength(-1), ImageClass::Invalid);
    EXPECT_EQ(classifyLength(15), ImageClass::Invalid);
    EXPECT_EQ(classifyLength(16), ImageClass::Application);
    EXPECT_EQ(classifyLength(3072), ImageClass::Isp);
    EXPECT_EQ(classifyLength(4096), ImageClass::Isp);
    EXPECT_EQ(classifyLength(8192), ImageClass::Isp);
    EXPECT_EQ(classifyLength(6144), ImageClass::Application);
    EXPECT_EQ(classifyLength(0x7FFFFFFF), ImageClass::Application);
    // From 2 GiB on: never wrapped into a negative or an ISP length.
    EXPECT_EQ(classifyLength(0x80000000LL), ImageClass::Invalid);
    EXPECT_EQ(classifyLength(0x100000000LL + 4096), ImageClass::Invalid);
    EXPECT_EQ(classifyLength(0x100000000LL + 65537), ImageClass::Invalid);
}

TEST_F(ImageCheckTest, HugeSparseFileIsRejectedByItsFullLength) {
    // 4 GiB + 4096: its low 32 bits are an ISP length. Written sparse, so it
    // costs no disk space where the file system supports that.
    const std::string path = dir.file("huge.bin");
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    std::error_code ec;
    std::filesystem::resize_file(path, 0x100000000ULL + 4096, ec);
    if (ec) GTEST_SKIP() << "no large sparse files here: " << ec.message();

    ImageFile file;
    ASSERT_EQ(file.open(path), FILE_OPEN_OK);
    EXPECT_EQ(file.length(), 0x100000000LL + 4096);
    ImageInfo info;
    EXPECT_EQ(checkImageFile(file, info), ImageCheck::InvalidFile);
    EXPECT_FALSE(file.isOpen());

    Trailer stored{};
    unsigned cause = 0;
    EXPECT_FALSE(readTrailer(path, stored, &cause));
    EXPECT_EQ(cause, FILE_GENERIC);
}

TEST(Scrambling, DescrambleByteIsItsOwnInverse) {
    for (unsigned v = 0; v < 256; ++v) {
        const auto b = static_cast<std::uint8_t>(v);
        EXPECT_EQ(descrambleByte(descrambleByte(b)), b) << v;
    }
    EXPECT_EQ(descrambleByte(0x12), 0xDE);  // swap 21, invert DE
    EXPECT_EQ(descrambleByte(0xFF), 0x00);
    EXPECT_EQ(descrambleByte(0x00), 0xFF);
}

TEST(Scrambling, TrailerReadsAsProfileCodeAndTarget) {
    // The stored profile bytes of the kinds are the codes GL and CL.
    EXPECT_EQ(trailerProfileCode(descrambleTrailer(Trailer{0x8B, 0x3B})), "GL");
    EXPECT_EQ(trailerProfileCode(descrambleTrailer(Trailer{0xCB, 0x3B})), "CL");

    Trailer plain{'G', 'F', 'K', 'B', '1', '0', '0', 0, 'X', 'Y'};
    Trailer stored{};
    for (std::size_t i = 0; i < kTrailerSize; ++i) stored[i] = descrambleByte(plain[i]);
    Trailer back{};
    descrambleTrailer(stored, back);
    EXPECT_EQ(back, plain);
    EXPECT_EQ(trailerTargetName(back), "KB100");

    Trailer full{'G', 'F', 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
    EXPECT_EQ(trailerTargetName(full), "ABCDEFGH");  // at most 8, no terminator needed
}

TEST(SizeRule, FlashSizeMustMatchTheLengthExactly) {
    EXPECT_TRUE(fitsKeyboard(4096, 4));
    EXPECT_FALSE(fitsKeyboard(4096, 3));
    EXPECT_FALSE(fitsKeyboard(4096, 8));
    EXPECT_TRUE(fitsKeyboard(65536, 64));
    EXPECT_FALSE(fitsKeyboard(65537, 64));
    EXPECT_FALSE(fitsKeyboard(65535, 64));
    EXPECT_TRUE(fitsKeyboard(255 * 1024, 255));
    EXPECT_FALSE(fitsKeyboard(0, 1));
    EXPECT_FALSE(fitsKeyboard(1024, 0));
    // What some framed keyboard could take: whole KiB, 1 to 255 of them.
    EXPECT_TRUE(fitsAnyFramedKeyboard(1024));
    EXPECT_TRUE(fitsAnyFramedKeyboard(255 * 1024));
    EXPECT_FALSE(fitsAnyFramedKeyboard(256 * 1024));
    EXPECT_FALSE(fitsAnyFramedKeyboard(65537));
    EXPECT_FALSE(fitsAnyFramedKeyboard(0));
    EXPECT_EQ(std::string(kFileSizeStatusText), "Firmware file size is not correct.");
    EXPECT_EQ(std::string(kNotForKeyboardText),
              "The firmware file is not for this keyboard.\nPlease use another firmware file.");
}

TEST(ReadTrailer, ReadsTheTenBytesAtTheEnd) {
    TempDir dir;
    const std::string path = dir.write("a.bin", applicationImage(1000, kSomeTrailer));
    Trailer stored{};
    unsigned cause = 99;
    ASSERT_TRUE(readTrailer(path, stored, &cause));
    EXPECT_EQ(stored, kSomeTrailer);
    EXPECT_EQ(cause, 99u) << "left alone on success";

    const std::string isp = dir.write("isp.bin", ispImage(8192, 0x01, 0x02));
    ASSERT_TRUE(readTrailer(isp, stored));
    EXPECT_EQ(stored, (Trailer{0x01, 0x02, 0x7B, 0x6A, 0x6B, 0xCA, 0xFA, 0x12, 0x34, 0x56}));

    Trailer untouched = kMarkerPattern;
    EXPECT_FALSE(readTrailer(dir.file("missing.bin"), untouched, &cause));
    EXPECT_EQ(cause, FILE_NOT_FOUND);
    EXPECT_EQ(untouched, kMarkerPattern);
    EXPECT_FALSE(readTrailer(dir.write("short.bin", Bytes(10, 0)), untouched, &cause));
    EXPECT_EQ(cause, FILE_GENERIC);
    EXPECT_EQ(untouched, kMarkerPattern);
}

TEST(ImageFileOpen, CauseCodes) {
    TempDir dir;
    ImageFile file;
    EXPECT_EQ(file.open(dir.file("missing.bin")), FILE_NOT_FOUND);
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(file.open(dir.file("no-such-folder/fw.bin")), FILE_BAD_PATH);
    EXPECT_EQ(file.open(""), FILE_BAD_PATH);
    EXPECT_EQ(file.open(dir.path().string()), FILE_ACCESS_DENIED);  // a folder
    const std::string plain = dir.write("plain.bin", Bytes(3, 1));
    EXPECT_EQ(file.open(plain + "/below.bin"), FILE_BAD_PATH);      // a file used as a folder
    EXPECT_EQ(file.length(), -1);
}

TEST(ImageFileOpen, UnreadableFileIsAccessDenied) {
    TempDir dir;
    const std::string path = dir.write("locked.bin", Bytes(32, 1));
    std::filesystem::permissions(path, std::filesystem::perms::none);
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
        GTEST_SKIP() << "permissions are not enforced for this user";
    }
    ImageFile file;
    EXPECT_EQ(file.open(path), FILE_ACCESS_DENIED);
}

TEST(ImageFileRead, SequentialAndPositionedReads) {
    TempDir dir;
    Bytes bytes(300);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
    const std::string path = dir.write("r.bin", bytes);

    ImageFile file;
    ASSERT_EQ(file.open(path), FILE_OPEN_OK);
    EXPECT_EQ(file.length(), 300);

    std::uint8_t buf[128];
    EXPECT_EQ(file.read(buf, 128), 128u);
    EXPECT_EQ(buf[127], 127);
    EXPECT_EQ(file.read(buf, 128), 128u);
    EXPECT_EQ(buf[0], 128);
    EXPECT_EQ(file.read(buf, 128), 44u);  // the short last block
    EXPECT_EQ(buf[43], static_cast<std::uint8_t>(299));
    EXPECT_EQ(file.read(buf, 128), 0u);

    EXPECT_TRUE(file.seek(300));
    EXPECT_FALSE(file.seek(301));
    EXPECT_FALSE(file.seek(-1));
    EXPECT_TRUE(file.readAt(290, buf, 10));
    EXPECT_EQ(buf[9], static_cast<std::uint8_t>(299));
    EXPECT_FALSE(file.readAt(291, buf, 10));

    // Moving keeps the one open file.
    ImageFile moved = std::move(file);
    EXPECT_FALSE(file.isOpen());
    EXPECT_TRUE(moved.readAt(0, buf, 1));
    EXPECT_EQ(buf[0], 0);

    moved.close();
    EXPECT_EQ(moved.read(buf, 1), 0u);
    EXPECT_FALSE(moved.seek(0));
    EXPECT_EQ(TempDir::read(path).size(), 300u);  // never written
}

}  // namespace
}  // namespace vantel
