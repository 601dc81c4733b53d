// Parallel flash through the whole engine on a simulated JEDEC part behind
// the ROM aperture: identification with either board wiring, erase and
// programming in byte and page mode, and the faults ending in their codes.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "protocols/CParallel.h"
#include "sim/SimParallelFlash.h"
#include "tests/engine/EngineRig.h"
#include "tests/protocols/SpiRig.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ParallelLineMaps, SwizzledWiringTranslatesCommandsAndIdentityOtherwise) {
    CParallel p(nullptr);
    p.swizzle = 1;
    p.BuildLineMaps();
    const auto offset = [&](std::uint16_t a) { return p.addressHighMap[a >> 8] | p.addressLowMap[a & 0xFF]; };
    EXPECT_EQ(offset(0x5555), 0x2DAA);
    EXPECT_EQ(offset(0x2AAA), 0xC255);
    EXPECT_EQ(offset(0x0001), 0x0400);
    const struct {
        std::uint8_t meant, sent;
    } bytes[] = {{0xAA, 0xD2}, {0x55, 0x2D}, {0x90, 0x48}, {0xA0, 0x50}, {0xF0, 0x78}, {0x80, 0x40}, {0x10, 0x08}};
    for (const auto& b : bytes) EXPECT_EQ(p.dataToPart[b.meant], b.sent) << int(b.meant);
    for (unsigned v = 0; v < 256; ++v) ASSERT_EQ(p.dataFromPart[p.dataToPart[v]], v);

    p.swizzle = 0;
    p.BuildLineMaps();
    for (unsigned v = 0; v < 256; ++v) {
        ASSERT_EQ(p.dataToPart[v], v);
        ASSERT_EQ(p.dataFromPart[v], v);
        ASSERT_EQ(offset(std::uint16_t(v * 0x101)), v * 0x101);
    }
}

// A page part loads bytes until a pause as long as its byte-load window
// (150 us, 200 us on the W29EE011), reads meanwhile answering from the
// array, then writes the page whole: the bytes it did not load read 0xFF.
TEST(ParallelPageLoad, APauseEndsTheLoadAndThePageIsWrittenWhole) {
    const std::tuple<const char*, std::uint64_t, bool> cases[] = {  // part, pause, the third byte loaded
        {"AT29C010A", 170, false}, {"W29EE011", 170, true}, {"W29EE011", 210, false}, {"AT29C020", 140, true}};
    for (auto [name, pause, third] : cases) {
        const SimParallelPartModel& model = *FindSimParallelPart(name);
        SimClocks clocks;
        SimParallelFlash part(model, std::make_shared<SimStorage>(model.size, 0x00), false, &clocks);
        const std::uint32_t page = model.pageSize;
        for (auto [at, v] : {std::pair{0x5555u, 0xAA}, {0x2AAAu, 0x55}, {0x5555u, 0xA0}, {page + 1, 0x11}})
            part.WriteByte(at, std::uint8_t(v));
        EXPECT_EQ(part.ReadByte(page + 1), 0x00) << name;
        clocks.AdvanceDevice(pause);
        part.WriteByte(page + 9, 0x99);
        clocks.AdvanceDevice(20000);  // past the window and the page write
        EXPECT_EQ(part.ReadByte(page + 1), 0x11) << name;
        Bytes want(model.size, 0x00);
        std::fill_n(want.begin() + page, page, 0xFF);
        want[page + 1] = 0x11;
        want[page + 9] = third ? 0x99 : 0xFF;
        EXPECT_EQ(part.Storage().Bytes(), want) << name << " " << pause;
    }
}

// A parallel board (text table, device 0x4160) with the part behind its ROM BAR.
struct ParallelBoard {
    enginetest::EngineRig rig;
    std::shared_ptr<SimParallelFlash> part;
    CFlash* engine = nullptr;

    // Device 0x4161 has no retry, 0x4160 one.
    ParallelBoard(const std::string& partName, bool swizzled, std::uint16_t device = 0x4160) {
        SimAdapterOptions o;
        o.device = device;
        SimAdapter a = rig.Add(1, "quor", o);
        part = AttachParallelFlash(rig.hw, *a.function, *FindSimParallelPart(partName), nullptr, swizzled);
        engine = &rig.Build(vmtest::ReadFile(VM_SOURCE_DIR "/tests/engine/fixtures/parallel_boards.rom"));
    }
    bool Open() { return rig.Select(1) == 1 && engine->OpenAccess() == 1; }
    // What the ROM reads through the board's wiring.
    Bytes Image(std::uint32_t size) {
        Bytes b(size);
        for (std::uint32_t o = 0; o < size; ++o) b[o] = part->ApertureData(part->Storage().Bytes()[part->PartAddress(o)]);
        return b;
    }
};

struct Identified {
    const char* part;
    bool swizzled;
    std::uint32_t method;
    std::uint32_t size;
    std::uint32_t page;
    std::int16_t eraseOnly;
};

TEST(ParallelFlash, IdentifiedOnOpenThenErasedProgrammedAndReadBack) {
    const Identified cases[] = {
        {"SST39SF010", false, 0, 0x20000, 0, 1},
        {"AT29C010A", false, 0, 0x20000, 0x80, 0},
        {"AT49F512", true, 1, 0x10000, 0, 1},
        {"AT29C010A", true, 1, 0x20000, 0x80, 0},
    };
    for (const Identified& c : cases) {
        const std::string what = std::string(c.part) + (c.swizzled ? " swizzled" : "");
        ParallelBoard b(c.part, c.swizzled);
        // Old contents the new image must replace, bits 0 where it needs 1.
        b.part->Storage().Bytes() = Pattern(b.part->Storage().Size(), 3);
        ASSERT_TRUE(b.Open()) << what;
        EXPECT_STREQ(b.engine->parallelName, c.part);
        EXPECT_EQ(b.engine->parallelMethod, c.method) << what;
        EXPECT_EQ(b.engine->romSize, c.size) << what;
        EXPECT_EQ(b.engine->sectorSize, c.page) << what;
        // Known before any write, so programming erases the byte parts first.
        EXPECT_EQ(b.engine->bulkEraseOnly, c.eraseOnly) << what;
        EXPECT_FALSE(b.part->InIdMode()) << what;

        const Bytes image = Pattern(c.size, 9);
        if (c.eraseOnly) {
            EXPECT_EQ(b.engine->BulkErase(), c.size) << what;
            EXPECT_EQ(b.engine->errorCode, FLASH_OK) << what;
            EXPECT_EQ(b.part->ChipErases(), 1u) << what;
        }
        EXPECT_EQ(b.engine->Write(0, c.size, image.data()), c.size) << what;
        EXPECT_EQ(b.engine->errorCode, FLASH_OK) << what;
        EXPECT_EQ(b.Image(c.size), image) << what;
        // Data is not translated: through the permuted wiring the part holds
        // the image permuted.
        EXPECT_EQ(b.part->Storage().Bytes() != image, c.swizzled) << what;
        Bytes read(c.size);
        EXPECT_EQ(b.engine->Read(0, c.size, read.data()), c.size) << what;
        EXPECT_EQ(read, image) << what;
        // Byte mode skips what is already there; a page part rewrites its pages.
        const unsigned programs = b.part->BytePrograms();
        EXPECT_EQ(b.engine->Write(0, c.size, image.data()), c.size) << what;
        EXPECT_EQ(b.part->BytePrograms(), programs) << what;
        EXPECT_EQ(b.engine->CloseAccess(), 1);
    }
}

TEST(ParallelFlash, UnknownPartKeepsTheEntrySizeButIsDrivenWithTheSwizzledWiring) {
    ParallelBoard b("SST39SF010", false);
    b.part->FailNoId(true);
    b.part->Storage().Bytes() = Pattern(0x20000, 4);
    ASSERT_TRUE(b.Open());
    EXPECT_EQ(b.engine->parallelMethod, 2u);
    EXPECT_EQ(b.engine->romSize, 0x20000u);
    EXPECT_EQ(b.engine->bulkEraseOnly, 1);
    // After both wirings failed the last one tried stays: the part on the
    // plain wiring never sees an erase command.
    EXPECT_EQ(b.engine->BulkErase(), 0u);
    EXPECT_EQ(b.engine->errorCode, FLASH_NOT_ERASED);
    EXPECT_EQ(b.part->ChipErases(), 0u);
}

struct Fault {
    const char* name;
    const char* part;
    void (*inject)(SimParallelFlash&);
    bool erase;              // the fault shows in BulkErase, else in Write
    std::uint32_t retry;
    std::uint32_t result;
    FlashStatusCode code;
    std::uint32_t address;   // errorAddress (named by failed writes only)
    std::uint32_t retried;
    std::uint64_t minCpuMicros;  // simulated time the failure takes
};

TEST(ParallelFlash, FaultsEndInTheirCodesWithinSimulatedTime) {
    const Fault faults[] = {
        // Waited for twice, then judged busy.
        {"erase never ends", "SST39SF010", [](SimParallelFlash& p) { p.FailEraseNeverEnds(true); }, true, 0, 0,
         FLASH_ERASE_ROM_TIMEOUT, 0, 1, 12000000},
        // A part still busy takes no second pass, whose ID and blank reads
        // would see its busy status.
        {"erase never ends, one retry", "SST39SF010", [](SimParallelFlash& p) { p.FailEraseNeverEnds(true); }, true,
         1, 0, FLASH_ERASE_ROM_TIMEOUT, 0, 1, 12000000},
        {"one byte not erased", "SST39SF010", [](SimParallelFlash& p) { p.AddUnerasedByte(0x1234); }, true, 1,
         0x1234, FLASH_NOT_ERASED, 0, 2, 0},
        {"page part not blank", "AT29C010A", [](SimParallelFlash&) {}, true, 1, 0, FLASH_NOT_ERASED, 0, 2, 0},
        {"stuck bit", "SST39SF010", [](SimParallelFlash& p) { p.AddStuckBits(0x2345, 0x01, 0); }, false, 1, 0x2345,
         FLASH_VERIFY_ERROR, 0x2345, 2, 2000000},
        {"page with a stuck bit", "AT29C010A", [](SimParallelFlash& p) { p.AddStuckBits(0x2345, 0x01, 0); }, false,
         0, 0x2345, FLASH_VERIFY_ERROR, 0x2345, 1, 1000000},
    };
    for (const Fault& f : faults) {
        ParallelBoard b(f.part, false, f.retry ? 0x4160 : 0x4161);
        b.part->Storage().Bytes() = Bytes(0x20000, 0x00);
        if (!f.erase) b.part->Storage().Bytes() = Bytes(0x20000, 0xFF);
        f.inject(*b.part);
        ASSERT_TRUE(b.Open()) << f.name;
        const std::uint64_t start = b.rig.hw.Clocks().CpuMicros();
        const Bytes image(0x20000, 0x00);
        const std::uint32_t result = f.erase ? b.engine->BulkErase() : b.engine->Write(0, 0x20000, image.data());
        EXPECT_EQ(result, f.result) << f.name;
        EXPECT_EQ(b.engine->errorCode, f.code) << f.name;
        EXPECT_EQ(b.engine->successFlag, 0) << f.name;
        EXPECT_EQ(b.engine->retried, f.retried) << f.name;
        EXPECT_EQ(b.engine->errorAddress, f.address) << f.name;
        EXPECT_GE(b.rig.hw.Clocks().CpuMicros() - start, f.minCpuMicros) << f.name;
    }
}

// Past the window a program command's data is lost, and the next
// command's cycles would land as data: nothing of it is written.
TEST(ParallelFlash, ImageLargerThanTheBoardIsRefusedBeforeAnyWrite) {
    ParallelBoard b("SST39SF010", false, 0x4161);
    ASSERT_TRUE(b.Open());
    const Bytes before = b.part->Storage().Bytes();
    // Programming sets the ROM size to the image length.
    b.engine->romSize = 0x100000;
    const Bytes image = Pattern(0x100000, 6);
    EXPECT_EQ(b.engine->Write(0, 0x100000, image.data()), 0u);
    EXPECT_EQ(b.engine->errorCode, FLASH_NOT_COMPLETED);
    EXPECT_EQ(b.rig.hw.StrayAccesses(), 0u);
    EXPECT_EQ(b.part->Storage().Bytes(), before);
}

// A page load clears what it does not load of its page; on the permuted
// wiring (aperture A0-A6 and A10 drive part A0-A7) only aligned 2 KiB of
// the aperture hold whole part pages.
TEST(ParallelFlash, UnalignedPageWriteTouchesNothing) {
    const std::tuple<bool, std::uint32_t, std::uint32_t> cases[] = {  // swizzled, offset, length
        {false, 0x40, 0x80}, {false, 0x80, 0x40}, {true, 0x80, 0x80}, {true, 0x400, 0x800}};
    for (auto [swizzled, offset, length] : cases) {
        ParallelBoard b("AT29C010A", swizzled);
        ASSERT_TRUE(b.Open());
        const Bytes image(0x800, 0x00);
        EXPECT_EQ(b.engine->Write(offset, length, image.data()), 0u) << offset;
        EXPECT_EQ(b.engine->errorCode, FLASH_VERIFY_ERROR) << offset;
        EXPECT_EQ(b.engine->errorAddress, offset) << offset;
        EXPECT_EQ(b.part->PageWrites(), 0u) << offset;
        EXPECT_EQ(b.part->Storage().Bytes(), Bytes(0x20000, 0xFF)) << offset;
    }
}

}  // namespace
