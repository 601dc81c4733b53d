// Loading an image for a command: the named file, or in a package the
// command's embedded data. Every handler that takes an image file uses it.
#pragma once

class CFlashUI;

// Loads into ui.image and sets ui.imageLength (bytes past it read 0xFF).
// CMD_OK, or CMD_FILE_NOT_FOUND after printing why (missing file, or more
// than the 1 MiB buffer holds: never cut silently).
int LoadImageFile(CFlashUI& ui, const char* fileName);
