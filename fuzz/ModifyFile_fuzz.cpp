// The "-mb" input file parser on arbitrary text. The parsed texts live
// side by side in the command layer, where an overrun would not show under
// the address sanitizer, so their terminators are checked explicitly.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <vector>

#include "commands/CFlashCmd.h"
#include "ui/CTevUI.h"

namespace {

struct Parser {
    CFlashCmd cmd{nullptr, 0};
    CTevUI ui;
    int devNull = open("/dev/null", O_WRONLY);
    Parser() { ui.cmd = &cmd; }
};

bool Terminated(const char* text, std::size_t size) { return std::memchr(text, 0, size) != nullptr; }

}  // namespace


extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Parser p;
    // A memory stream cannot be empty: an empty file reads like one blank line.
    std::vector<char> copy(size + 1, '\n');
    if (size) std::memcpy(copy.data(), data, size);
    FILE* f = fmemopen(copy.data(), size ? size : 1, "rb");
    if (!f) return 0;
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(p.devNull, 1);
    const int r = p.ui.ParseModifyFile(f);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::fclose(f);

    CFlashCmd& c = p.cmd;
    if (r != 0 && r != 1) std::abort();
    for (std::uint16_t flag : {c.modifySsid, c.modifySvid, c.modifyPartNumber, c.modifyBootMessage})
        if (flag > 1) std::abort();
    if (!Terminated(c.modifyPartNumberText, sizeof c.modifyPartNumberText) ||
        !Terminated(c.modifyBootMessageText, sizeof c.modifyBootMessageText))
        std::abort();
    return 0;
}
