// The end of a text type table that several tests share: the usual serial
// flash command set, the M25P10 part, and the closing keyword.
#pragma once

namespace vmtest {

inline constexpr char kM25P10CommandSetText[] =
    "spi_cmd_table 1\n"
    "spi_cmd_code 9f c7 d8 06 04 05 01 0 03 02\n"
    "spi_cmd_addr 0 0 0 0 0 0 0 0 3 3\n"
    "spi_cmd_dummy 0 0 0 0 0 0 0 0 0 0\n"
    "spi_cmd_status 1 1 2 2\n"
    "spi_cmd_wp c 4 c c 80 80 8c 0\n"
    "spi_type M25P10 20000 100 8000 1 20 20 11\n"
    "end\n";

}  // namespace vmtest
