#include "ui/Package.h"

#include "ui/CFlashUI.h"

PackageDescriptor packageDescriptor = {0xAE3725BFu, 0xD948C016u, 0, 0, 0, 0, 0, 0, 0, ""};

// Package support is not built yet: every executable runs as the plain tool.
void CFlashUI::DetectPackage() { packageMode = 0; }
