#include "commands/RomImageLoad.h"

#include <cstdio>
#include <cstring>

#include "platform/COsDepend.h"

ImageLoadResult LoadImage(const char* fileName, const std::uint8_t* data, std::uint32_t dataLength,
                          std::uint8_t* image, std::uint32_t capacity, std::uint32_t* imageLength) {
    std::uint32_t loaded = 0;
    ImageLoadResult result = ImageLoadResult::Ok;
    if (dataLength != 0) {
        if (!data) {
            result = ImageLoadResult::NotFound;
        } else if (dataLength > capacity) {
            result = ImageLoadResult::TooLarge;
        } else {
            std::memcpy(image, data, dataLength);
            loaded = dataLength;
        }
    } else {
        FILE* f = COsDepend::OpenInputFile(fileName);
        if (!f) {
            result = ImageLoadResult::NotFound;
        } else {
            loaded = static_cast<std::uint32_t>(std::fread(image, 1, capacity, f));
            // One byte more than the buffer holds means the file would be cut.
            unsigned char extra;
            if (loaded == capacity && std::fread(&extra, 1, 1, f) == 1) {
                result = ImageLoadResult::TooLarge;
                loaded = 0;
            } else if (std::ferror(f)) {
                // A file that fails while being read is not an empty image.
                result = ImageLoadResult::NotFound;
                loaded = 0;
            }
            std::fclose(f);
        }
    }
    std::memset(image + loaded, 0xFF, capacity - loaded);
    if (imageLength) *imageLength = loaded;
    return result;
}

std::string ImageLoadMessage(ImageLoadResult result, const char* fileName) {
    std::string name = fileName ? fileName : "";
    switch (result) {
    case ImageLoadResult::NotFound:
        return "File " + name + " not found\n";
    case ImageLoadResult::TooLarge:
        return "File " + name + " is larger than 1 MiB\n";
    case ImageLoadResult::Ok:
        break;
    }
    return {};
}
