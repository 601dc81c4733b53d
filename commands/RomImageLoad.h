// Loading an image file (or a package command's embedded data) into the
// front end's image buffer; shared by every command that takes an image.
#pragma once

#include <cstdint>
#include <string>

enum class ImageLoadResult {
    Ok,        // *imageLength bytes loaded (may be 0)
    NotFound,  // the file could not be opened or read
    TooLarge,  // more than the buffer holds: refused, nothing loaded
};

// With dataLength != 0 the data is the file's content and the file is not
// opened. On every call the buffer past the loaded bytes is filled with
// 0xFF, so nothing of an earlier load survives.
ImageLoadResult LoadImage(const char* fileName, const std::uint8_t* data, std::uint32_t dataLength,
                          std::uint8_t* image, std::uint32_t capacity, std::uint32_t* imageLength);

// The message a failed load prints ("" for Ok).
std::string ImageLoadMessage(ImageLoadResult result, const char* fileName);
