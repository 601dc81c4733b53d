// An erase is given the time the part takes: the wait grows with the
// part, and a part still busy when it ends gets as long again before the
// erase is judged, block by block too. Only a part busy past both waits is
// a failed erase; it goes on erasing what it was told to, and a retry waits
// for it as the erase did before it finds it erased.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/TailBlockFixtures.h"

using vmtest::E2e;

namespace {

using Bytes = std::vector<std::uint8_t>;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

Bytes Image(const std::string& version, std::size_t length, std::size_t size) {
    vmtest::RomImageBuilder b;
    b.deviceId = 0x6780;
    b.strings[6] = "VER" + version;
    Bytes rom = b.Build();
    rom.resize(length, 0xFF);
    for (std::size_t i = rom.size() / 2; i < rom.size(); ++i) rom[i] = std::uint8_t(i * 7 + (i >> 8));
    rom.resize(size, 0xFF);
    return rom;
}

TEST(EraseTime, AChipEraseIsGivenTheTimeThePartTakes) {
    const std::string spi = "spiboard 0000:01:00.0 orpane part=W25Q80";
    // A part larger than a command holds is erased block by block, each
    // block its share of the chip's time.
    const std::string large = "spiboard 0000:01:00.0 orpane part=W25Q32BV/FV";
    // The serial-EEPROM controller erases 32 KiB sectors, each its share.
    const std::string seprom = "adapter 0000:01:00.0 nerrow strap=3\nseprom part=M25P10";
    const std::string small = "spiboard 0000:01:00.0 orpane part=M25P10";
    struct Case {
        const char* name;
        const std::string& board;
        std::size_t size;
        unsigned eraseMs;
        bool erased;
        int timeoutLines;  // the SPI layer's time-out line, printed once the erase is judged
        std::size_t blankAfterFailure;  // bytes the part erased before the program gave up
        bool isr = false;  // "-isr 0 7 8", whose retries the part outlasts, instead of "-p"
    };
    const Case cases[] = {
        {"1 MiB, done while waited for once more", spi, 0x100000, 30000, true, 0, 0},
        {"1 MiB, busy past both waits", spi, 0x100000, 150000, false, 1, 0x100000},
        {"4 MiB, block by block", large, 0x400000, 150000, true, 0, 0},
        {"4 MiB, each block done while waited for once more", large, 0x400000, 600000, true, 0, 0},
        {"128 KiB, busy past both waits, erased when the retry comes", small, 0x20000, 45000, true, 1, 0, true},
        {"serial EEPROM, sectors past 10 s", seprom, 0x20000, 60000, true, 0, 0},
        {"serial EEPROM, a sector past both waits, done by the last one", seprom, 0x20000, 100000, true, 0, 0},
        {"serial EEPROM, busy past every wait", seprom, 0x20000, 200000, false, 0, 0x8000},
    };
    for (const Case& c : cases) {
        E2e e;
        e.options.timeoutSeconds = 120;
        vmtest::WriteBytes(e.File("flash.rom"), Image("010.005.000.000", 0x20000, c.size));
        const Bytes image = Image("010.006.000.000", 0x20000, 0x20000);
        vmtest::WriteBytes(e.File("new.rom"), image);
        e.machine = c.board + " file=flash.rom erase-ms=" + std::to_string(c.eraseMs) + "\n";
        using Args = std::vector<std::string>;
        vmtest::RunResult r = e.Sim(c.isr ? Args{"-isr", "0", "7", "8"} : Args{"-p", "0", "new.rom"});
        const Bytes flash = vmtest::ReadBytes(e.File("flash.rom"));
        EXPECT_EQ(Count(r.out, "Error: bulk erase - read status register operation timeout\n"), c.timeoutLines)
            << c.name << "\n" << r.out;
        if (c.erased) {
            EXPECT_EQ(r.exitCode, 0) << c.name << "\n" << r.out;
            EXPECT_TRUE(Has(r.out, "20000/20000h bytes verified\n")) << c.name << "\n" << r.out;
            const Bytes old = Image("010.005.000.000", 0x20000, c.size);
            const Bytes meant =
                c.isr ? vmtest::WithIsr(old, vmtest::IsrBytes(7, 8)) : Image("010.006.000.000", 0x20000, c.size);
            EXPECT_EQ(flash, meant) << c.name;
        } else {
            EXPECT_EQ(r.exitCode, 1) << c.name << "\n" << r.out;
            EXPECT_TRUE(Has(r.out, "ROM not erased\n")) << c.name << "\n" << r.out;
            // The part goes on erasing after the program gave up.
            Bytes blank = Image("010.005.000.000", 0x20000, c.size);
            std::fill(blank.begin(), blank.begin() + std::ptrdiff_t(c.blankAfterFailure), 0xFF);
            EXPECT_EQ(flash, blank) << c.name;
        }
    }
}

}  // namespace
