// The type table the engine carries as constant data; it is used whenever no
// text table parsed without error.
#pragma once

#include <cstdint>

#include "engine/TypeTable.h"

// Records before END, in table order.
constexpr std::uint32_t kBuiltinTypeTableRecords = 932;

// First word of the built-in table.
const TypeTableWord* BuiltinTypeTable();
// Words of the built-in table, END included.
std::uint32_t BuiltinTypeTableWords();
