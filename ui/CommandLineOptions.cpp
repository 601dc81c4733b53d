// The switches: recognised anywhere on the command line, applied to the
// front end, the command layer and the engine, and removed before the
// command word is looked up.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cctype>

#include "commands/CFlashCmd.h"
#include "engine/CFlash.h"
#include "platform/Bytes.h"
#include "ui/Arguments.h"
#include "ui/CFlashUI.h"

namespace {

const char* const kLogFileName = "vorbanmill.log";
constexpr std::uint32_t kMaxRetries = 99;

enum class Match {
    Exact,             // whole word, case-sensitive
    Prefix,            // word begins with the name; value one character after it,
                       // or the next word when the word is exactly the name
    PrefixIgnoreCase,  // word begins with the name in any case; value right after it
};

enum class Target { Ui, Cmd, Engine, CmdAndEngine };

struct Targets {
    CFlashUI* ui;
    CFlashCmd* cmd;
    CFlash* engine;
};

using Apply = void (*)(const Targets& t, const char* value);

struct SwitchRow {
    const char* name;
    Match match;
    Target target;
    Apply apply;
};

unsigned long Number(const char* value, int base) { return std::strtoul(value, nullptr, base); }

void OpenLog(CFlashUI* ui, bool append) {
    if (ui->log) std::fclose(ui->log);
    ui->log = COsDepend::OpenOutputFile(kLogFileName, append);
    if (!ui->log) ui->logOpenFailed = 1;
}

// Tested in this order; the first match is applied.
const SwitchRow kSwitches[] = {
    {"-ps", Match::Exact, Target::Ui, [](const Targets& t, const char*) { t.ui->writeErrorIdFile = 1; }},
    {"-nw", Match::Exact, Target::Ui, [](const Targets& t, const char*) { t.ui->noWait = 1; }},
    {"-reboot", Match::Exact, Target::Ui, [](const Targets& t, const char*) { t.ui->rebootAfter = 1; }},
    {"-d", Match::Exact, Target::Cmd, [](const Targets& t, const char*) { t.cmd->debugPrints = 1; }},
    {"-f", Match::Exact, Target::Cmd, [](const Targets& t, const char*) { t.cmd->force = 1; }},
    {"-keepisrsn", Match::Exact, Target::Cmd, [](const Targets& t, const char*) { t.cmd->keepIsrSn = 1; }},
    {"-keepprodsn", Match::Exact, Target::Cmd, [](const Targets& t, const char*) { t.cmd->keepProdSn = 1; }},
    {"-sst", Match::Exact, Target::CmdAndEngine,
     [](const Targets& t, const char*) {
         t.cmd->forceSst = 1;
         t.engine->forceSelectOnI2cFail = 1;
     }},
    {"-st", Match::Exact, Target::Cmd, [](const Targets& t, const char*) { t.cmd->forceSt = 1; }},
    {"-atmel", Match::Exact, Target::CmdAndEngine,
     [](const Targets& t, const char*) {
         t.cmd->forceAtmel = 1;
         t.engine->forceSelectOnI2cFail = 1;
     }},
    {"-newbios", Match::Exact, Target::Cmd, [](const Targets& t, const char*) { t.cmd->newBios = 1; }},
    {"-nopci", Match::Exact, Target::Engine, [](const Targets& t, const char*) { t.engine->optNoPci = 1; }},
    {"-pcionly", Match::Exact, Target::Engine, [](const Targets& t, const char*) { t.engine->optPciOnly = 1; }},
    {"-agp", Match::Exact, Target::Engine, [](const Targets& t, const char*) { t.engine->optAgp = 1; }},
    {"-noagp", Match::Exact, Target::Engine, [](const Targets& t, const char*) { t.engine->optNoAgp = 1; }},
    {"-pcie", Match::Exact, Target::Engine, [](const Targets& t, const char*) { t.engine->optPcie = 1; }},
    {"-nopcie", Match::Exact, Target::Engine, [](const Targets& t, const char*) { t.engine->optNoPcie = 1; }},
    {"-pci", Match::Exact, Target::Engine, [](const Targets& t, const char*) { t.engine->optPci = 1; }},
    {"-maxbustoscan", Match::Prefix, Target::Engine,
     [](const Targets& t, const char* v) {
         unsigned long bus = Number(v, 10);
         if ((bus & 0xFFFF) <= 0xFF) t.engine->maxBusToScan = std::uint8_t(bus);
     }},
    {"-maxsegtoscan", Match::Prefix, Target::Engine,
     [](const Targets& t, const char* v) { t.engine->maxSegmentToScan = std::uint16_t(Number(v, 10)); }},
    {"-kelt+", Match::Exact, Target::Engine,
     [](const Targets& t, const char*) {
         for (std::uint32_t i = 0; i < 4; ++i) t.engine->excludedFamilies[i] = i;
         t.engine->excludedFamilyCount = 4;
     }},
    {"-si2c", Match::Exact, Target::Engine, [](const Targets& t, const char*) { t.engine->softI2cDetect = 1; }},
    // Pin numbers keep their low 16 bits, read as unsigned (65535 stays 65535).
    {"-siireset=", Match::PrefixIgnoreCase, Target::Engine,
     [](const Targets& t, const char* v) { t.engine->siiResetPin = std::int32_t(Number(v, 10) & 0xFFFF); }},
    {"-siiuprog=", Match::PrefixIgnoreCase, Target::Engine,
     [](const Targets& t, const char* v) { t.engine->siiProgramPin = std::int32_t(Number(v, 10) & 0xFFFF); }},
    {"-scansii", Match::Exact, Target::Engine,
     [](const Targets& t, const char*) { t.engine->forceSelectOnI2cFail = 1; }},
    {"-log", Match::Exact, Target::Ui,
     [](const Targets& t, const char*) {
         t.ui->logOverwrite = 1;
         OpenLog(t.ui, false);
     }},
    {"-logappend", Match::Exact, Target::Ui,
     [](const Targets& t, const char*) {
         t.ui->logAppend = 1;
         OpenLog(t.ui, true);
     }},
    {"-ddc", Match::Exact, Target::Engine,
     [](const Targets& t, const char*) {
         CFlash& e = *t.engine;
         std::uint32_t kept = 0;
         std::uint32_t count = std::min(e.excludedFamilyCount, kExcludedFamilyMax);
         for (std::uint32_t i = 0; i < count; ++i) {
             if (e.excludedFamilies[i] != TEV_DDC) e.excludedFamilies[kept++] = e.excludedFamilies[i];
         }
         e.excludedFamilyCount = kept;
     }},
    {"-swspi", Match::Exact, Target::Engine, [](const Targets& t, const char*) { t.engine->forceSoftSpi = 1; }},
    {"-noaper", Match::Exact, Target::Engine, [](const Targets& t, const char*) { t.engine->noAperture = 1; }},
    {"-alignreg", Match::Exact, Target::Engine, [](const Targets& t, const char*) { t.engine->capabilityFixup = 1; }},
    {"-fa", Match::Exact, Target::Cmd, [](const Targets& t, const char*) { t.cmd->checkIdentical = 0; }},
    {"-fm", Match::Exact, Target::Cmd, [](const Targets& t, const char*) { t.cmd->checkMemSetting = 0; }},
    {"-fs", Match::Exact, Target::Cmd, [](const Targets& t, const char*) { t.cmd->checkSsid = 0; }},
    {"-fp", Match::Exact, Target::Cmd, [](const Targets& t, const char*) { t.cmd->checkPartNumber = 0; }},
    {"-fv", Match::Exact, Target::Cmd, [](const Targets& t, const char*) { t.cmd->checkVersion = 0; }},
    {"-padevid", Match::Prefix, Target::Cmd,
     [](const Targets& t, const char* v) { t.cmd->filterDeviceId = std::uint16_t(Number(v, 16)); }},
    {"-passid", Match::Prefix, Target::Cmd,
     [](const Targets& t, const char* v) { t.cmd->filterSsid = std::uint16_t(Number(v, 16)); }},
    {"-excl_memtrain_dtable", Match::Exact, Target::Cmd,
     [](const Targets& t, const char*) { t.cmd->exclMemTrainTable = 1; }},
    {"-pasvid", Match::Prefix, Target::Cmd,
     [](const Targets& t, const char* v) { t.cmd->filterSvid = std::uint16_t(Number(v, 16)); }},
    {"-pavbpn", Match::Prefix, Target::Cmd,
     [](const Targets& t, const char* v) {
         // Zero-filled first, so a 16-character value stays terminated.
         std::memset(t.cmd->filterPartNumber, 0, sizeof t.cmd->filterPartNumber);
         std::strncpy(t.cmd->filterPartNumber, v, 16);
     }},
    {"-retries", Match::Prefix, Target::Cmd,
     [](const Targets& t, const char* v) {
         // Each retry is one more erase and program cycle of the part.
         std::uint32_t retries = 0;
         if (ParseFieldValue(v, 10, kMaxRetries, &retries)) t.cmd->retries = std::uint16_t(retries);
         else t.ui->switchValueBad = 1;
     }},
    {"-suppress", Match::Exact, Target::Cmd, [](const Targets& t, const char*) { t.cmd->suppressDetail = 1; }},
    {"-KOV", Match::Exact, Target::Engine, [](const Targets& t, const char*) { t.engine->acceptKovVendor = 1; }},
    {"-retain_offset", Match::Exact, Target::Engine,
     [](const Targets& t, const char*) { t.engine->retainEnabled = 1; }},
};
static_assert(sizeof kSwitches / sizeof kSwitches[0] == 45);

// Whether argv[j] is this switch; *value receives its value text (null when
// the word is exactly the name of a value switch and no word follows it).
bool Matches(const SwitchRow& row, int argc, char** argv, int j, const char** value) {
    const char* word = argv[j];
    *value = nullptr;
    std::size_t length = std::strlen(row.name);
    switch (row.match) {
    case Match::Exact:
        return std::strcmp(word, row.name) == 0;
    case Match::Prefix:
        if (std::strncmp(word, row.name, length) != 0) return false;
        if (word[length] != '\0') {
            *value = word + length + 1;  // the character after the name is skipped, whatever it is
        } else if (j + 1 < argc) {
            *value = argv[j + 1];  // that word stays in the list
        }
        return true;
    case Match::PrefixIgnoreCase:
        if (!StartsWithNoCase(word, row.name)) return false;
        *value = word + length;
        return true;
    }
    return false;
}

bool Available(Target target, const Targets& t) {
    switch (target) {
    case Target::Ui: return true;
    case Target::Cmd: return t.cmd != nullptr;
    case Target::Engine: return t.engine != nullptr;
    case Target::CmdAndEngine: return t.cmd != nullptr && t.engine != nullptr;
    }
    return false;
}

// Per-command defaults. Kept from one command to the next: the excluded
// families, software-I2C detection, the SiI1930 pins, the part-number filter
// and the log stream.
void ResetSwitchFields(const Targets& t) {
    CFlashUI& ui = *t.ui;
    ui.writeErrorIdFile = 0;
    ui.noWait = 0;
    ui.rebootAfter = 0;
    ui.logOverwrite = 0;
    ui.logAppend = 0;
    ui.logOpenFailed = 0;
    ui.switchValueBad = 0;
    if (CFlashCmd* c = t.cmd) {
        c->debugPrints = 0;
        c->force = 0;
        c->keepIsrSn = 0;
        c->keepProdSn = 0;
        c->forceSst = 0;
        c->forceSt = 0;
        c->forceAtmel = 0;
        c->newBios = 0;
        c->checkIdentical = 1;
        c->checkMemSetting = 1;
        c->checkSsid = 1;
        c->checkPartNumber = 1;
        c->checkVersion = 1;
        c->filterDeviceId = 0xFFFF;
        c->filterSsid = 0xFFFF;
        c->filterSvid = 0xFFFF;
        c->exclMemTrainTable = 0;
        c->retries = 0;
        c->suppressDetail = 0;
    }
    if (CFlash* e = t.engine) {
        e->forceSelectOnI2cFail = 0;
        e->optNoPci = 0;
        e->optPciOnly = 0;
        e->optAgp = 0;
        e->optNoAgp = 0;
        e->optPcie = 0;
        e->optNoPcie = 0;
        e->optPci = 0;
        e->maxBusToScan = 0xFF;
        e->maxSegmentToScan = 0xFFFF;
        e->forceSoftSpi = 0;
        e->noAperture = 1;
        e->capabilityFixup = 0;
        e->acceptKovVendor = 0;
        e->retainEnabled = 0;
    }
}

}  // namespace

int CFlashUI::ParseOptions(int argc, char** argv) {
    Targets targets{this, cmd, cmd ? cmd->engine : nullptr};
    ResetSwitchFields(targets);
    int j = 1;
    while (j < argc) {
        const SwitchRow* found = nullptr;
        const char* value = nullptr;
        for (const SwitchRow& row : kSwitches) {
            if (Matches(row, argc, argv, j, &value)) {
                found = &row;
                break;
            }
        }
        if (!found) {
            ++j;
            continue;
        }
        // A value switch with nothing to read keeps its field as it is.
        if (Available(found->target, targets) && (found->match == Match::Exact || value)) {
            found->apply(targets, value);
        }
        for (int k = j; k + 1 < argc; ++k) argv[k] = argv[k + 1];
        argv[argc - 1] = nullptr;
        --argc;
    }
    return argc;
}
