// "-biosfileinfo"/"-checkpn" output and the image-file load.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "commands/RomImage.h"
#include "commands/RomImageLoad.h"
#include "support/RomImageBuilder.h"
#include "support/TestSupport.h"

using vmtest::RomImageBuilder;

namespace {

using Bytes = std::vector<std::uint8_t>;

FileImageInfo Info(const Bytes& img) {
    FileImageInfo info;
    RomImage::ParseFileImage(img.data(), img.size(), info);
    return info;
}

TEST(RomImageOutput, BiosFileInfoLines) {
    RomImageBuilder b;
    b.deviceId = 0x73BF;
    b.ssid = 0x0E3A;
    b.svid = 0x1DA2;
    bool found = false;
    EXPECT_EQ("    Product Name is :    TEST CARD NAME \n"
              "    Device ID is    :    73BF\n"
              "    Bios Version    :    010.005.000.000\n"
              "    Bios P/N is     :    113-TEST01-100 \n"
              "    Bios SSID       :    0E3A\n"
              "    Bios SVID       :    1DA2\n"
              "    Bios Date is    :    01/15/24       \n",
              FormatBiosFileInfo(Info(b.Build()), "card.rom", &found));
    EXPECT_TRUE(found);

    Bytes notBios(4096, 0x90);
    EXPECT_EQ("BIOS P/N not found in x.bin\n", FormatBiosFileInfo(Info(notBios), "x.bin", &found));
    EXPECT_FALSE(found);
}

TEST(RomImageOutput, CheckPnLines) {
    RomImageBuilder b;
    b.partNumber = "113-A-1";
    FileImageInfo info = Info(b.Build());
    PartNumberMatch m;
    EXPECT_EQ("    Bios P/N in file new.rom is   :    113-A-1        \n"
              "    Bios P/N on ROM is     :    113-A-1        \n"
              "    ROM P/N and File P/N Comparison Passed\n",
              FormatCheckPn(info, "new.rom", "113-A-1", &m));
    EXPECT_EQ(PartNumberMatch::Equal, m);
    EXPECT_EQ("    Bios P/N in File new.rom is   :    113-A-1        \n"
              "    Bios P/N on ROM is     :                   \n"
              "    ROM P/N and File P/N Comparison Failed\n",
              FormatCheckPn(info, "new.rom", "", &m));
    EXPECT_EQ(PartNumberMatch::Different, m);
    EXPECT_EQ("BIOS P/N not found in z.rom\n", FormatCheckPn(FileImageInfo{}, "z.rom", "113-A-1", &m));
    EXPECT_EQ(PartNumberMatch::NotFound, m);
}

struct Loaded {
    ImageLoadResult result;
    std::uint32_t length;
};

class RomImageLoad : public testing::Test {
protected:
    Loaded Load(const std::string& file, const Bytes* data = nullptr) {
        std::uint32_t len = 12345;
        ImageLoadResult r = LoadImage(file.c_str(), data ? data->data() : nullptr,
                                      data ? std::uint32_t(data->size()) : 0, buffer.get(), kRomBufferSize, &len);
        return {r, len};
    }
    bool FilledFrom(std::size_t from) const {
        for (std::size_t i = from; i < kRomBufferSize; ++i)
            if (buffer[i] != 0xFF) return false;
        return true;
    }
    vmtest::TempDir dir;
    std::unique_ptr<std::uint8_t[]> buffer{new std::uint8_t[kRomBufferSize]};
};

TEST_F(RomImageLoad, FilesAndPackageData) {
    Bytes big(kRomBufferSize, 0x11);
    vmtest::WriteBytes(dir.File("full.rom"), big);
    Loaded l = Load(dir.File("full.rom"));
    EXPECT_EQ(ImageLoadResult::Ok, l.result);
    EXPECT_EQ(kRomBufferSize, l.length);

    // A smaller load leaves nothing of the earlier one behind.
    Bytes img = RomImageBuilder().Build();
    vmtest::WriteBytes(dir.File("small.rom"), img);
    l = Load(dir.File("small.rom"));
    EXPECT_EQ(ImageLoadResult::Ok, l.result);
    EXPECT_EQ(img.size(), l.length);
    EXPECT_TRUE(std::equal(img.begin(), img.end(), buffer.get()));
    EXPECT_TRUE(FilledFrom(img.size()));

    vmtest::WriteBytes(dir.File("empty.rom"), {});
    l = Load(dir.File("empty.rom"));
    EXPECT_EQ(ImageLoadResult::Ok, l.result);
    EXPECT_EQ(0u, l.length);
    EXPECT_TRUE(FilledFrom(0));

    // Package data is used instead of the named file.
    Bytes data{0x55, 0xAA, 0x01};
    l = Load(dir.File("no-such.rom"), &data);
    EXPECT_EQ(ImageLoadResult::Ok, l.result);
    EXPECT_EQ(3u, l.length);
    EXPECT_TRUE(FilledFrom(3));
}

TEST_F(RomImageLoad, Refusals) {
    Loaded l = Load(dir.File("missing.rom"));
    EXPECT_EQ(ImageLoadResult::NotFound, l.result);
    EXPECT_EQ(0u, l.length);
    EXPECT_EQ("File " + dir.File("missing.rom") + " not found\n", ImageLoadMessage(l.result, dir.File("missing.rom").c_str()));
    // A directory opens but reads nothing: not an empty image.
    l = Load(dir.Path());
    EXPECT_EQ(ImageLoadResult::NotFound, l.result);
    EXPECT_EQ(0u, l.length);

    // One byte over 1 MiB is refused, not cut.
    vmtest::WriteBytes(dir.File("huge.rom"), Bytes(kRomBufferSize + 1, 0x22));
    l = Load(dir.File("huge.rom"));
    EXPECT_EQ(ImageLoadResult::TooLarge, l.result);
    EXPECT_EQ(0u, l.length);
    EXPECT_TRUE(FilledFrom(0));
    EXPECT_EQ("File h.rom is larger than 1 MiB\n", ImageLoadMessage(l.result, "h.rom"));

    Bytes data(kRomBufferSize + 1, 0x33);
    l = Load("pkg.rom", &data);
    EXPECT_EQ(ImageLoadResult::TooLarge, l.result);
    EXPECT_EQ(0u, l.length);
    EXPECT_EQ("", ImageLoadMessage(ImageLoadResult::Ok, "x"));
}

}  // namespace
