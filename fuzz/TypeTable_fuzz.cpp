// The text type table ("quendrix.rom") on arbitrary bytes: parse, dump the
// records into the trace log and build the serial-flash part list.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/BuiltinTypeTable.h"
#include "engine/TypeTable.h"
#include "platform/COsDepend.h"

namespace {

void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "TypeTable_fuzz: %s\n", what);
        std::abort();
    }
}

// Formats every trace line (so each %s of the dump is read) without a file
// open per line.
class TraceSink : public COsDepend {
public:
    TraceSink() : COsDepend("", 1) {}
    int Log(std::uint32_t level, const char* format, ...) override {
        if (level > 1) return 0;
        char line[1024];
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(line, sizeof line, format, args);
        va_end(args);
        return n < 0 ? 0 : n;
    }
};

bool InNameArea(const TypeTableStore& store, const char* name) {
    const char* area = store.nameArea;
    return name >= area && name < area + sizeof store.nameArea &&
           std::memchr(name, '\0', std::size_t(area + sizeof store.nameArea - name)) != nullptr;
}

void CheckTable(const TypeTableStore& store, int loaded) {
    const TypeTableWord* table = store.Table();
    const TypeTableWord* limit = store.TableLimit();
    Require(loaded == 1 ? table == store.recordArea : table == BuiltinTypeTable(), "table in use");
    for (TypeTableWord opcode = 0; loaded == 1 && opcode < kTypeTableOpcodeCount; ++opcode) {
        const TypeTableWord* r = store.FindRecord(opcode, table, limit);
        if (r) Require(r >= table && r + TypeTableWordCount(opcode) <= limit && *r == opcode, "record walk");
    }
    Require(store.spiPartList.count <= kSpiPartListMax, "part list overflow");
    for (std::uint32_t i = 0; i < store.spiPartList.count; ++i) {
        const SpiPart& part = store.spiPartList.entries[i];
        Require(part.name != nullptr, "part without a name");
        if (loaded == 1) Require(part.name[0] == '\0' || InNameArea(store, part.name), "part name outside the names");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exactly sized copy behind the stream, so a read past the end is seen.
    std::unique_ptr<char[]> text(new char[size ? size : 1]);
    if (size) std::memcpy(text.get(), data, size);
    FILE* f = size ? fmemopen(text.get(), size, "r") : std::fopen("/dev/null", "r");
    Require(f != nullptr, "cannot open the input");

    TraceSink os;
    // One store for all inputs, as a load starts from scratch (and a fresh
    // 80 KiB store per input costs most of the run time).
    static const std::unique_ptr<TypeTableStore> store = std::make_unique<TypeTableStore>();
    std::int32_t errorCode = 0;
    std::int16_t successFlag = 0;
    const int loaded = store->LoadTextTable(os, f, errorCode, successFlag);
    std::fclose(f);
    Require(loaded == 0 || loaded == 1, "load result");
    CheckTable(*store, loaded);
    return 0;
}
