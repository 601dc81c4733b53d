// I2C master bit-banged on four GPIO register bits. Table-driven: the write
// and read headers (device address, address bytes, repeated starts, stops)
// are templates into which the bits of the EEPROM address are spread.
#pragma once

#include <cstdint>

class ProtocolHost;

inline constexpr std::uint32_t kI2cHeaderMax = 16;
inline constexpr std::uint32_t kI2cAddressBits = 32;

// A GPIO line: register offset and bit. The bit number is bit & 31; any of
// bits 5-31 set marks the line inverted. Level 1 means released (high).
struct GpioLine {
    std::uint32_t reg = 0;
    std::uint32_t bit = 0;
};

class CGenI2C {
public:
    explicit CGenI2C(ProtocolHost* flash);
    virtual ~CGenI2C();
    CGenI2C(const CGenI2C&) = delete;
    CGenI2C& operator=(const CGenI2C&) = delete;

    virtual void SetScl(std::uint32_t level);
    virtual void SetSda(std::uint32_t level);
    virtual std::uint32_t GetScl();
    virtual std::uint32_t GetSda();
    virtual std::int16_t ResetBus();
    virtual std::int16_t Start();
    virtual std::int16_t Stop();
    virtual std::int16_t WriteBit(std::uint32_t bit);
    virtual std::int16_t ReadBit(std::uint32_t* bit);
    virtual std::uint32_t Transfer(std::uint32_t headerLength, const std::uint8_t* header,
                                   const std::uint16_t* startAfter, const std::uint16_t* stopAfter,
                                   std::uint32_t dataLength, const std::uint8_t* data, std::uint32_t readLength,
                                   std::uint8_t* readBuffer, std::int16_t compare);
    // Count written.
    virtual std::uint32_t Write(const std::uint8_t* data, std::uint32_t address, std::uint32_t length,
                                std::int16_t verify);
    // Count read (or compared equal); 0 when the bus transfer failed.
    virtual std::uint32_t Read(std::uint8_t* buffer, std::uint32_t address, std::uint32_t length,
                               std::int16_t compare);

    // Back to the defaults of a new object (headers, maps, timing).
    void ResetHeaders();

    ProtocolHost* flash;
    std::uint32_t romSize = 0;
    std::uint32_t delay = 5;
    std::uint32_t writeAlign = 1;
    std::uint32_t writePage = 1;
    std::uint32_t readAlign = 1;
    std::uint32_t readPage = 1;
    std::uint32_t writeHeaderLength = 2;
    std::uint8_t writeHeader[kI2cHeaderMax] = {};
    std::uint16_t writeStartAfter[kI2cHeaderMax] = {};
    std::uint16_t writeStopAfter[kI2cHeaderMax] = {};
    std::int32_t writeAddressMap[kI2cAddressBits] = {};
    std::uint32_t readHeaderLength = 3;
    std::uint8_t readHeader[kI2cHeaderMax] = {};
    std::uint16_t readStartAfter[kI2cHeaderMax] = {};
    std::uint16_t readStopAfter[kI2cHeaderMax] = {};
    std::int32_t readAddressMap[kI2cAddressBits] = {};
    GpioLine sclOut;
    GpioLine sdaOut;
    GpioLine sclIn;
    GpioLine sdaIn;

private:
    void SetLine(const GpioLine& line, std::uint32_t level);
    std::uint32_t GetLine(const GpioLine& line);
    void Wait();
    // Releases the clock and waits (bounded) while a slave stretches it;
    // true once it reads high.
    bool RaiseClock();
    // Data set (1: released) while the clock is low, then one clock pulse;
    // data is sampled while the clock is high. True when the clock went high.
    bool ClockPulse(std::uint32_t sda, std::uint32_t* sampled);
    // Eight bits and the acknowledge; true when acknowledged.
    bool SendByte(std::uint8_t byte);
    // Header, data and reads of a started transfer; count grows per byte done.
    void Exchange(std::uint32_t headerLength, const std::uint8_t* header, const std::uint16_t* startAfter,
                  const std::uint16_t* stopAfter, std::uint32_t dataLength, const std::uint8_t* data,
                  std::uint32_t readLength, std::uint8_t* readBuffer, std::int16_t compare, std::uint32_t& count);
    void BuildHeader(std::uint8_t* out, const std::uint8_t* templ, std::uint32_t length, const std::int32_t* map,
                     std::uint32_t address) const;
    // Polls with the header's device address byte until the device
    // acknowledges (its write cycle is over), bounded in time.
    bool AwaitWriteCycle(const std::uint8_t* header, std::uint32_t headerLength);
    // End of the chunk starting at a: the next multiple of page, or end.
    static std::uint32_t ChunkEnd(std::uint32_t a, std::uint32_t end, std::uint32_t page);
};
