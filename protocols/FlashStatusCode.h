// Codes the engine leaves in its error field, and that protocol objects
// report through their host.
#pragma once

#include <cstdint>

// Value of CFlash::errorCode: what the last operation left.
enum FlashStatusCode : std::int32_t {
    FLASH_OK = 0,
    FLASH_NOT_COMPLETED = 1,
    FLASH_ERASE_ASIC_TIMEOUT = 2,   // "timeout polling ASIC idle after bulk erase"
    FLASH_ERASE_ROM_TIMEOUT = 3,    // "timeout polling ROM idle after bulk erase"
    FLASH_NOT_ERASED = 4,           // "data not erased"
    FLASH_WREN_ASIC_TIMEOUT = 5,    // "timeout polling ASIC idle after write enable"
    FLASH_WREN_ROM_TIMEOUT = 6,     // "timeout polling ROM idle after write enable"
    FLASH_WREN_NOT_SET = 7,         // errorAddress holds the status byte
    FLASH_WRDI_ASIC_BUSY = 8,       // "ASIC not idle after write disable"
    FLASH_WRDI_ROM_BUSY = 9,        // "ROM not idle after write disable"
    FLASH_WREN_NOT_RESET = 10,      // "write enable not reset"
    FLASH_WRITE_ASIC_BUSY = 11,     // "ASIC not idle after rom write"
    FLASH_WRITE_ROM_BUSY = 12,      // "ROM not idle after write"
    FLASH_VERIFY_ERROR = 13,        // errorAddress, errorWritten, errorRead describe it
    FLASH_NOT_SUPPORTED = 14,       // the flash type cannot do the operation
    FLASH_WRSR_TIMEOUT = 15,        // after enable-write-status or write-status
    FLASH_PROTECTION_STUCK = 16,    // "cannot disable block protection"
    FLASH_NO_APERTURE = 17,         // "rom pointer not allocated"
    // The erase would reach bytes no read can show (a part larger than the
    // ROM window or than a command holds): nothing was erased.
    FLASH_BEYOND_REACH = 18,
};
