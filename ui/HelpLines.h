// Text of the help screen. Two entries are markers: "programname" stands for
// the program name and "nextpage" prints nothing.
#pragma once

constexpr int kHelpLineCount = 117;

extern const char* const HelpLines[kHelpLineCount + 1];  // null-terminated
