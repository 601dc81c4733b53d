#include "ui/CommandTable.h"

#include <cctype>

#include "platform/Bytes.h"

const CommandRow CommandTable[kCommandCount] = {
    {"i", "-i [adapter num]", &CFlashUI::CmdListAdapters, nullptr},
    {"ai", "-ai [adapter num]", &CFlashUI::CmdAdvancedInfo, nullptr},
    {"cf", "-cf <filename> [expected checksum]", &CFlashUI::CmdFileChecksum, "0FL03"},
    {"cb", "-cb <adapter num> [expected checksum]", &CFlashUI::CmdBiosChecksum, "0FL03"},
    {"cr", "-cr <adapter num> [length in hex] [expected checksum]", &CFlashUI::CmdRomChecksum, "0FL03"},
    {"s", "-s <adapter num> <filename> [length in hex]", &CFlashUI::CmdSave, nullptr},
    {"v", "-v <adapter num> <filename>", &CFlashUI::CmdVerify, "0FL04"},
    {"p", "-p <adapter num> <filename>", &CFlashUI::CmdProgram, "0FL01"},
    {"pa", "-pa <filename>", &CFlashUI::CmdProgramAll, "0FL01"},
    {"rsa", "-rsa <filename>", &CFlashUI::CmdRsa, nullptr},
    {"t", "-t <adapter num>", &CFlashUI::CmdTest, "0FL02"},
    {"mi", "-mi <adapter num> [ssid]", &CFlashUI::CmdModifyId, "0FL05"},
    {"mb", "-mb <adapter number> <filename>", &CFlashUI::CmdModifyBiosInfo, "0FL05"},
    {"rs", "", &CFlashUI::CmdReadStatus, nullptr},
    {"ws", "", &CFlashUI::CmdWriteStatus, nullptr},
    {"lockhdcp", "", &CFlashUI::CmdLockHdcp, nullptr},
    {"lockrom", "", &CFlashUI::CmdLockRom, nullptr},
    {"unlockrom", "", &CFlashUI::CmdUnlockRom, nullptr},
    {"checklock", "", &CFlashUI::CmdCheckLock, "0FL06"},
    {"pak", "-pak <filename>", &CFlashUI::CmdPackage, nullptr},
    {"isr", "-isr <adapter num> [build number] [board number]", &CFlashUI::CmdIsr, nullptr},
    {"prod", "-prod <adapter num> [12 Digit Serial Number]", &CFlashUI::CmdProd, nullptr},
    {"checkprodsn", "-checkprodsn <adapter num> [12 Digit Serial Number]", &CFlashUI::CmdCheckProdSn, "0FL07"},
    {"biosfileinfo", "-biosfileinfo <filename>", &CFlashUI::CmdBiosFileInfo, nullptr},
    {"checkpn", "-checkpn <adapter num> <filename>", &CFlashUI::CmdCheckPn, "0FL03"},
    {"h", "", &CFlashUI::CmdHelp, nullptr},
    {"?", "", &CFlashUI::CmdHelp, nullptr},
};

const CommandRow* FindCommand(const char* word) {
    if (!word || (word[0] != '-' && word[0] != '/')) return nullptr;
    for (const CommandRow& row : CommandTable) {
        if (EqualsNoCase(word + 1, row.name)) return &row;
    }
    return nullptr;
}
