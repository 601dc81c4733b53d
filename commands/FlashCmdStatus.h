// Result codes of every command-layer operation and command handler; the
// same codes are the state word of the programming and editing state
// machines.
#pragma once

enum FlashCmdStatus : int {
    CMD_OK = 0,
    CMD_USAGE = 1,
    CMD_NO_ADAPTER = 2,
    CMD_NO_ROM = 3,
    CMD_SAME_IMAGE = 4,
    CMD_CHECKS_PASSED = 5,
    CMD_EDIT_READY = 6,
    CMD_NOT_ERASED = 7,
    CMD_ERASED = 8,
    CMD_FILE_NOT_FOUND = 9,
    CMD_READ_FAILED = 10,
    CMD_FW_START = 11,
    CMD_FW_WRITE = 12,
    CMD_FW_VERIFY = 14,
    CMD_FW_DONE = 15,
    CMD_MEM_MISMATCH = 18,
    CMD_MEM_OK = 19,
    CMD_SSID_MISMATCH = 20,
    CMD_SSID_OK = 21,
    CMD_PN_MISMATCH = 22,
    CMD_PN_OK = 23,
    CMD_INVALID_IMAGE = 24,
    CMD_EDIT_STOPPED = 25,
    CMD_FAILED = 26,
    CMD_ROM_BLANK = 27,
    CMD_ROM_ZERO = 28,
    CMD_SW_PROTECT_FAIL = 29,
    CMD_HW_PROTECT_FAIL = 30,
    CMD_READY_TO_ERASE = 34,
    CMD_OLDER_VERSION = 35,
    CMD_SIG_PASS = 36,
    CMD_SIG_FAIL = 37,
    // A read asked for more than the ROM gives back as its own bytes.
    CMD_BEYOND_REACH = 38,
};
