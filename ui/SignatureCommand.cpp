// "-rsa": checks the RSA signature of an image file; no adapter is touched.
#include "commands/CFlashCmd.h"
#include "ui/CFlashUI.h"
#include "ui/ImageFile.h"

int CFlashUI::CmdRsa(int count, char** args) {
    if (count < 1) return CMD_USAGE;
    const int r = LoadImageFile(*this, args[0]);
    if (r != CMD_OK) return r;
    if (imageLength == 0) return CMD_FILE_NOT_FOUND;
    cmd->VerifySignature(image, imageLength);
    return cmd->status == CMD_SIG_PASS ? CMD_OK : CMD_FAILED;
}
