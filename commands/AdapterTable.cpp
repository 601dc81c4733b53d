#include "commands/AdapterTable.h"

std::string GetImageTypeName(const RomImageEntry& entry) {
    switch (entry.imageType) {
    case IMAGE_LEGACY: return "Legacy Image";
    case IMAGE_EFI: return "EFI Image";
    default: return "Unknown Image Type";
    }
}

std::string GetImageSetTypeName(const std::vector<RomImageEntry>& images) {
    if (images.size() >= 2) return "Hybrid Images";
    if (images.empty()) return GetImageTypeName(RomImageEntry{-1, 0});
    return GetImageTypeName(images.front());
}

std::string DescribeImage(const RomImageEntry& entry) {
    return "Size(" + std::to_string(entry.size) + " Bytes), Type(" + GetImageTypeName(entry) + ")";
}

std::string DescribeImageList(const std::vector<RomImageEntry>& images) {
    std::string text;
    for (std::size_t i = 0; i < images.size(); ++i)
        text += "        Image[" + std::to_string(i) + "]: " + DescribeImage(images[i]) + "\n";
    return text;
}
