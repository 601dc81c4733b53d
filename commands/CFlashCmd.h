// Command layer between the front end and the flash engine. Only the
// switch fields and the engine it owns exist so far.
#pragma once

#include <cstdint>
#include <cstdio>

#include "commands/FlashCmdStatus.h"

class CFlash;

class CFlashCmd {
public:
    CFlashCmd(FILE* typeTableText, std::uint32_t verbose);
    virtual ~CFlashCmd();
    CFlashCmd(const CFlashCmd&) = delete;
    CFlashCmd& operator=(const CFlashCmd&) = delete;

    std::uint8_t debugPrints = 0;
    std::uint8_t force = 0;
    std::uint16_t keepIsrSn = 0;
    std::uint16_t keepProdSn = 0;
    std::uint16_t forceSst = 0;
    std::uint16_t forceSt = 0;
    std::uint16_t forceAtmel = 0;
    std::uint16_t newBios = 0;
    std::uint16_t suppressDetail = 0;
    std::uint16_t exclMemTrainTable = 0;

    CFlash* engine = nullptr;  // owned

    // Safety checks of programming; each runs only while its word is 1.
    std::uint16_t checkIdentical = 1;
    std::uint16_t checkMemSetting = 1;
    std::uint16_t checkSsid = 1;
    std::uint16_t checkPartNumber = 1;
    std::uint16_t checkVersion = 1;
    // Filters of "-pa"; 0xFFFF = any.
    std::uint16_t filterDeviceId = 0xFFFF;
    std::uint16_t filterSsid = 0xFFFF;
    std::uint16_t filterSvid = 0xFFFF;
    char filterPartNumber[64] = {};
    std::uint16_t retries = 0;
};
