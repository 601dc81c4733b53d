// String and ID accessors of the ROM image model on generated images.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "commands/RomImage.h"
#include "support/RomImageBuilder.h"

using vmtest::RomImageBuilder;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Parsed {
    unsigned deviceId, ssid, svid;
    std::string partNumber, date, product, version, config;
};

Parsed Parse(const Bytes& img) {
    // An exact-size copy, so any read past the data trips the sanitizer.
    Bytes exact(img.begin(), img.end());
    FileImageInfo info;
    EXPECT_EQ(1, RomImage::ParseFileImage(exact.data(), exact.size(), info));
    return {info.deviceId, info.ssid,        info.svid,          info.partNumber,
            info.biosDate, info.productName, info.biosVersion, info.configFileName};
}

struct AccessorCase {
    const char* name;
    std::function<void(RomImageBuilder&)> setup;
    Parsed want;
};

RomImageBuilder Velk() { return RomImageBuilder(); }

const Parsed kVelkDefault{0x6798, 0x0B00, 0x1002, "113-TEST01-100", "01/15/24",
                          "TEST CARD NAME", "010.005.000.000", "VB1234.CFG"};

Parsed With(Parsed p, std::function<void(Parsed&)> f) {
    f(p);
    return p;
}

TEST(RomImageAccessors, VelkImages) {
    const AccessorCase cases[] = {
        {"default", [](RomImageBuilder&) {}, kVelkDefault},
        {"part number line at 0x80, strings at 0x94", [](RomImageBuilder& b) { b.partNumberOffset = 0; },
         kVelkDefault},
        {"part number between line breaks, trailing word dropped",
         [](RomImageBuilder& b) { b.partNumber = "\r\n113-ABCDEF-100 PLUS\r\n"; },
         With(kVelkDefault, [](Parsed& p) { p.partNumber = "113-ABCDEF-100"; })},
        {"part number token found after other text", [](RomImageBuilder& b) { b.partNumber = "ABC 113-X"; },
         With(kVelkDefault, [](Parsed& p) { p.partNumber = "113-X"; })},
        {"no part-number form", [](RomImageBuilder& b) { b.partNumber = "XYZ-1234"; },
         With(kVelkDefault, [](Parsed& p) { p.partNumber = ""; })},
        {"blank inside the token", [](RomImageBuilder& b) { b.partNumber = "1 3-ABC"; },
         With(kVelkDefault, [](Parsed& p) { p.partNumber = ""; })},
        {"long part number cut to 17", [](RomImageBuilder& b) { b.partNumber = "113-ABCDEFGHIJKLMNOP-100"; },
         With(kVelkDefault, [](Parsed& p) { p.partNumber = "113-ABCDEFGHIJKLM"; })},
        {"runs of blanks collapse in the product name",
         [](RomImageBuilder& b) { b.strings[3] = "\r\nMy  Card   Name\r\n"; },
         With(kVelkDefault, [](Parsed& p) { p.product = "My Card Name"; })},
        {"version after VER", [](RomImageBuilder& b) { b.strings[6] = "ABC VER015.050.000.001"; },
         With(kVelkDefault, [](Parsed& p) { p.version = "015.050.000.001"; })},
        {"version without VER taken whole", [](RomImageBuilder& b) { b.strings[6] = "1.0.2 build 7"; },
         With(kVelkDefault, [](Parsed& p) { p.version = "1.0.2 build 7"; })},
        {"VER searched past the end of string 7", [](RomImageBuilder& b) {
             b.strings[6] = "X";
             b.strings[7] = "VER9.CFG";
         },
         With(kVelkDefault, [](Parsed& p) {
             p.version = "9.CFG";
             p.config = "VER9.CFG";
         })},
        {"empty strings count", [](RomImageBuilder& b) { b.strings = {"", "", "", "", "", "", "", ""}; },
         With(kVelkDefault, [](Parsed& p) {
             p.version = "";
             p.config = "";
             p.product = "";  // string 4 empty: the skip lands in string 5
         })},
        {"short extension accepted", [](RomImageBuilder& b) { b.strings[7] = "A.CFG"; },
         With(kVelkDefault, [](Parsed& p) { p.config = "A.CFG"; })},
        {"two-letter extension accepted", [](RomImageBuilder& b) { b.strings[7] = "ABC.CF"; },
         With(kVelkDefault, [](Parsed& p) { p.config = "ABC.CF"; })},
        {"dot second-last refused", [](RomImageBuilder& b) { b.strings[7] = "VB12.C"; },
         With(kVelkDefault, [](Parsed& p) { p.config = ""; })},
        {"too short refused", [](RomImageBuilder& b) { b.strings[7] = "A.C"; },
         With(kVelkDefault, [](Parsed& p) { p.config = ""; })},
        {"name ends at a blank", [](RomImageBuilder& b) { b.strings[7] = "NAME.CFG extra"; },
         With(kVelkDefault, [](Parsed& p) { p.config = "NAME.CFG"; })},
        {"leading blank: no name", [](RomImageBuilder& b) { b.strings[7] = " NAME.CFG"; },
         With(kVelkDefault, [](Parsed& p) { p.config = ""; })},
        {"date ends at a non-printable byte", [](RomImageBuilder& b) { b.date = "12/31/23\x01zz"; },
         With(kVelkDefault, [](Parsed& p) { p.date = "12/31/23"; })},
        {"date cut to 16", [](RomImageBuilder& b) { b.date = "2024-01-15 12:34:56"; },
         With(kVelkDefault, [](Parsed& p) { p.date = "2024-01-15 12:34"; })},
        {"no date", [](RomImageBuilder& b) { b.date = ""; },
         With(kVelkDefault, [](Parsed& p) { p.date = ""; })},
        {"PCIR offset outside the image", [](RomImageBuilder& b) { b.Patch(0x18, {0xFC, 0xFF}); },
         With(kVelkDefault, [](Parsed& p) { p.deviceId = 0; })},
        {"header offset outside the image reads as the older layout",
         [](RomImageBuilder& b) { b.Patch(0x48, {0xFE, 0xFF}); },
         // Older-layout rules on VELK text: no IDs, product from 0x82, no version letters.
         Parsed{0x6798, 0, 0, "113-TEST01-100", "01/15/24", "", "", ""}},
        {"part-number offset outside the image", [](RomImageBuilder& b) { b.Patch(0x6E, {0xFF, 0xFF}); },
         Parsed{0x6798, 0x0B00, 0x1002, "", "01/15/24", "", "", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RomImageBuilder b = Velk();
        c.setup(b);
        Parsed got = Parse(b.Build());
        EXPECT_EQ(c.want.deviceId, got.deviceId);
        EXPECT_EQ(c.want.ssid, got.ssid);
        EXPECT_EQ(c.want.svid, got.svid);
        EXPECT_EQ(c.want.partNumber, got.partNumber);
        EXPECT_EQ(c.want.date, got.date);
        EXPECT_EQ(c.want.product, got.product);
        EXPECT_EQ(c.want.version, got.version);
        EXPECT_EQ(c.want.config, got.config);
    }
}

const Parsed kPlainDefault{0x6798, 0, 0, "113-OLD001-100", "01/15/24", "113-OLD001-100", "1.2", "A.CFG"};

TEST(RomImageAccessors, OlderLayoutImages) {
    const AccessorCase cases[] = {
        {"default", [](RomImageBuilder&) {}, kPlainDefault},
        {"VR form of the version", [](RomImageBuilder& b) { b.stringB = "BIOS VR2.5 X.CFG"; },
         With(kPlainDefault, [](Parsed& p) { p.version = "2.5"; })},
        {"no version letters: B from its start up to a blank",
         [](RomImageBuilder& b) { b.stringB = "7.1 X.CFG"; },
         With(kPlainDefault, [](Parsed& p) { p.version = "7.1"; })},
        {"version letters are not searched past the end of B", [](RomImageBuilder& b) {
             b.stringB = "7.1";
             b.stringC = "VER.CFG";
         },
         With(kPlainDefault, [](Parsed& p) {
             p.version = "7.1";
             p.config = "VER.CFG";
         })},
        {"config from the version line when C has none", [](RomImageBuilder& b) {
             b.stringB = "VER1.2 B.CFG";
             b.stringC = "";
         },
         With(kPlainDefault, [](Parsed& p) { p.config = "B.CFG"; })},
        {"version-line config cut three after the dot", [](RomImageBuilder& b) {
             b.stringB = "VER1 NAME.CFGXYZ";
             b.stringC = "";
         },
         With(kPlainDefault, [](Parsed& p) {
             p.version = "1";
             p.config = "NAME.CFG";
         })},
        {"version not ended by a blank: no config from it", [](RomImageBuilder& b) {
             b.stringB = "VER1.2";
             b.stringC = "";
         },
         With(kPlainDefault, [](Parsed& p) { p.config = ""; })},
        {"name after a blank in C, double blanks dropped",
         [](RomImageBuilder& b) { b.stringC = "CFG  FILE.CFG trailing"; },
         With(kPlainDefault, [](Parsed& p) { p.config = "FILE.CFG"; })},
        {"blank after the dot in C", [](RomImageBuilder& b) {
             b.stringB = "VER1.2";
             b.stringC = "A.CF G";
         },
         With(kPlainDefault, [](Parsed& p) { p.config = ""; })},
        {"LF dropped from the product", [](RomImageBuilder& b) { b.stringA = "\r\n113-X-1\nMORE\r\n"; },
         With(kPlainDefault, [](Parsed& p) {
             p.partNumber = "113-X-1";
             p.product = "113-X-1MORE";
         })},
        {"C longer than the scratch text", [](RomImageBuilder& b) {
             b.n512 = 8;
             b.stringB = "VER1.2";
             b.stringC = std::string(200, 'Q') + ".CFG";
         },
         With(kPlainDefault, [](Parsed& p) { p.config = ""; })},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RomImageBuilder b = RomImageBuilder::NonVelk();
        c.setup(b);
        Parsed got = Parse(b.Build());
        EXPECT_EQ(c.want.deviceId, got.deviceId);
        EXPECT_EQ(c.want.ssid, got.ssid);
        EXPECT_EQ(c.want.svid, got.svid);
        EXPECT_EQ(c.want.partNumber, got.partNumber);
        EXPECT_EQ(c.want.date, got.date);
        EXPECT_EQ(c.want.product, got.product);
        EXPECT_EQ(c.want.version, got.version);
        EXPECT_EQ(c.want.config, got.config);
    }
}

TEST(RomImageAccessors, FailedImageTestGivesNothing) {
    Bytes good = RomImageBuilder().Build();
    for (auto breakIt : std::vector<std::function<void(Bytes&)>>{
             [](Bytes& b) { b[0] = 0x00; }, [](Bytes& b) { b[1] = 0x55; }, [](Bytes& b) { b[2] = 0; },
             [](Bytes& b) { b.resize(2); }, [](Bytes& b) { b.clear(); }}) {
        Bytes img = good;
        breakIt(img);
        Parsed p = Parse(img);
        EXPECT_EQ(0u, p.deviceId + p.ssid + p.svid);
        EXPECT_EQ("", p.partNumber + p.date + p.product + p.version + p.config);

        char out[64] = "untouched";
        ImageHeaderEffect fx;
        EXPECT_EQ(0u, RomImage::GetProductName(img.data(), img.size(), out, sizeof out, &fx));
        EXPECT_STREQ("untouched", out);
        EXPECT_FALSE(fx.set);
    }
}

TEST(RomImageAccessors, ParseClearsTheEarlierFile) {
    FileImageInfo info;
    Bytes good = RomImageBuilder().Build();
    RomImage::ParseFileImage(good.data(), good.size(), info);
    ASSERT_STREQ("VB1234.CFG", info.configFileName);
    Bytes bad(4096, 0xFF);
    RomImage::ParseFileImage(bad.data(), bad.size(), info);
    EXPECT_STREQ("", info.biosVersion);
    EXPECT_STREQ("", info.configFileName);
    EXPECT_STREQ("", info.partNumber);
}

TEST(RomImageAccessors, HeaderEffect) {
    Bytes velk = RomImageBuilder().Build();
    ImageHeaderEffect fx;
    EXPECT_EQ(0x0B00, RomImage::GetSubsystemId(velk.data(), velk.size(), &fx));
    EXPECT_TRUE(fx.set);
    EXPECT_EQ(0x100, fx.headerOffset);
    EXPECT_EQ(1, fx.isVelk);
    EXPECT_TRUE(fx.ssidSet);
    EXPECT_EQ(0x0B00, fx.ssid);

    RomImageBuilder ob = RomImageBuilder::NonVelk();
    ob.headerOffset = 0x120;
    Bytes old = ob.Build();
    ImageHeaderEffect fo;
    char v[64];
    RomImage::GetBiosVersion(old.data(), old.size(), v, sizeof v, nullptr, 0, &fo);
    EXPECT_TRUE(fo.set);
    EXPECT_EQ(0x120, fo.headerOffset);
    EXPECT_EQ(0, fo.isVelk);
    EXPECT_EQ(0, RomImage::GetSubsystemId(old.data(), old.size(), &fo));
    EXPECT_FALSE(fo.ssidSet);
    // Raw header fields of the older layout are reachable through the bounded reads.
    EXPECT_EQ(0x1234, RomImage::ReadU16(old.data(), old.size(),
                                        RomImage::ReadU16(old.data(), old.size(), 0x120 + VelkRomHeader::kMemSetting)));
    EXPECT_EQ(0u, RomImage::ReadU32(old.data(), old.size(), old.size() - 3));
}

TEST(RomImageAccessors, PartNumberRawMode) {
    RomImageBuilder b;
    b.partNumber = "\r\nABC 113-X-1 tail\r\n";
    Bytes img = b.Build();
    char out[64];
    EXPECT_EQ(16u, RomImage::GetPartNumber(img.data(), img.size(), out, 63, 1));
    EXPECT_EQ(std::string("ABC 113-X-1 tail"), std::string(out, 16));
    EXPECT_EQ(5u, RomImage::GetPartNumber(img.data(), img.size(), out, 5, 1));  // max holds
    // The first character is taken untested, even a NUL.
    b.partNumber = "\r\n";
    img = b.Build();
    EXPECT_EQ(1u, RomImage::GetPartNumber(img.data(), img.size(), out, 63, 1));
    EXPECT_EQ(0u, RomImage::GetPartNumber(img.data(), img.size(), out, 63, 0));
}

// Text fields longer than their 64-byte outputs, and strings with no
// terminator before the end of the data.
TEST(RomImageAccessors, LongAndUnterminatedText) {
    RomImageBuilder b;
    b.n512 = 8;
    b.strings[3] = "\r\n" + std::string(100, 'P') + "\r\n";
    b.strings[6] = "VER" + std::string(100, '9');
    b.strings[7] = std::string(70, 'C') + ".CFG";
    b.date = std::string(30, 'D');
    Bytes img = b.Build();
    Parsed p = Parse(img);
    EXPECT_EQ(std::string(63, 'P'), p.product);
    EXPECT_EQ(std::string(63, '9'), p.version);
    EXPECT_EQ("", p.config);  // cannot be held whole
    EXPECT_EQ(std::string(16, 'D'), p.date);
    char date[64];
    EXPECT_EQ(30u, RomImage::GetBiosDate(img.data(), img.size(), date, sizeof date));

    // Printable bytes up to the end of the data: nothing is found past it.
    Bytes open = RomImageBuilder().Build();
    std::memset(open.data() + 0x200, 'A', open.size() - 0x200);
    Parsed q = Parse(open);
    EXPECT_EQ("", q.partNumber);
    EXPECT_EQ("", q.product);
    EXPECT_EQ("", q.version);
    EXPECT_EQ("", q.config);

    // Older layout with string A running to the end.
    Bytes plain = RomImageBuilder::NonVelk().Build();
    std::memset(plain.data() + 0x80, 'B', plain.size() - 0x80);
    Parsed r = Parse(plain);
    EXPECT_EQ(std::string(63, 'B'), r.product);
    EXPECT_EQ("", r.version);
    EXPECT_EQ("", r.config);
}

// Every prefix of a valid image: no read past the prefix, and the results
// only ever come from bytes inside it.
TEST(RomImageAccessors, TruncatedImages) {
    for (bool velk : {true, false}) {
        RomImageBuilder b = velk ? RomImageBuilder() : RomImageBuilder::NonVelk();
        Bytes full = b.Build();
        Parsed whole = Parse(full);
        for (std::size_t len = 0; len <= full.size(); ++len) {
            Parsed p = Parse(Bytes(full.begin(), full.begin() + len));
            if (len >= 0x300) {
                EXPECT_EQ(whole.version, p.version) << len;
                EXPECT_EQ(whole.config, p.config) << len;
            }
            if (len < 0x1C8) {
                EXPECT_EQ(0u, p.deviceId) << len;
            }
        }
    }
}

}  // namespace
