// The command words: name (without the leading '-' or '/'), usage text
// (empty for rows the help does not list), handler and result-file id.
#pragma once

#include "ui/CFlashUI.h"

using CommandHandler = int (CFlashUI::*)(int count, char** args);

struct CommandRow {
    const char* name;
    const char* usage;
    CommandHandler handler;
    const char* errorId;  // null: the row writes no result file
};

constexpr int kCommandCount = 27;

extern const CommandRow CommandTable[kCommandCount];

// The first row whose name equals word without its leading '-' or '/',
// ignoring case; null when there is none or the prefix is missing.
const CommandRow* FindCommand(const char* word);
