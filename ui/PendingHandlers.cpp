// Handlers whose commands are not built yet. Each checks its arguments the
// way the finished handler will (so usage errors already work) and then
// reports failure. Replace them one by one as the commands arrive.
#include <cstring>

#include "ui/Arguments.h"
#include "ui/CFlashUI.h"

namespace {
constexpr int kAny = -1;

int Pending(bool argumentsValid) { return argumentsValid ? CMD_FAILED : CMD_USAGE; }
}  // namespace

int CFlashUI::CmdProgram(int count, char** args) { return Pending(ArgumentsValid(count, args, 2, kAny, true)); }
int CFlashUI::CmdProgramAll(int count, char** args) { return Pending(ArgumentsValid(count, args, 1, kAny, false)); }
int CFlashUI::CmdModifyId(int count, char** args) { return Pending(ArgumentsValid(count, args, 1, kAny, true)); }
int CFlashUI::CmdModifyBiosInfo(int count, char** args) { return Pending(ArgumentsValid(count, args, 2, kAny, true)); }
int CFlashUI::CmdPackage(int count, char** args) { return Pending(ArgumentsValid(count, args, 1, 1, false)); }
int CFlashUI::CmdIsr(int count, char**) { return Pending(count == 1 || count == 3); }
int CFlashUI::CmdProd(int count, char** args) {
    return Pending(count == 1 || (count == 2 && std::strlen(args[1]) == 12));
}
int CFlashUI::CmdCheckProdSn(int count, char** args) { return Pending(count == 2 && std::strlen(args[1]) == 12); }

int CFlashUI::ShowIsrNumber(std::uint32_t) { return CMD_FAILED; }
int CFlashUI::ShowProductionSerial(std::uint32_t) { return CMD_FAILED; }
int CFlashUI::ParseModifyFile(FILE*) { return CMD_FAILED; }
std::uint32_t CFlashUI::ParseFirmwareFile(FILE*) { return 0; }

// Until the programming command exists there is no old-board warning to give.
int CFlashUI::CheckOldBoardVbios(int, char**) { return CMD_OK; }
