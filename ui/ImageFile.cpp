#include "ui/ImageFile.h"

#include <string>

#include "commands/RomImage.h"
#include "commands/RomImageLoad.h"
#include "ui/CFlashUI.h"

int LoadImageFile(CFlashUI& ui, const char* fileName) {
    const ImageLoadResult result =
        LoadImage(fileName, ui.cmdData, ui.cmdDataLength, ui.image, kRomBufferSize, &ui.imageLength);
    if (result == ImageLoadResult::Ok) return CMD_OK;
    ui.Print(ui.log, "%s", ImageLoadMessage(result, fileName).c_str());
    return CMD_FILE_NOT_FOUND;
}
