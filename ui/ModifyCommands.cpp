// "-mi" and "-mb": showing and editing subsystem IDs and BIOS strings, and
// the parser of the "-mb" input file.
#include <algorithm>
#include <cstring>
#include <string>
#include <strings.h>

#include "commands/CFlashCmd.h"
#include "engine/CFlash.h"
#include "ui/Arguments.h"
#include "ui/CFlashUI.h"
#include "ui/WriteLoop.h"

namespace {

constexpr std::size_t kTextMax = 127;  // characters of a 128-byte text
constexpr std::size_t kIdDigits = 8;      // SSID and SVID of "-mi"
constexpr std::size_t kFileIdDigits = 4;  // one ID of the "-mb" file

// What an edit refused on a valid BIOS did not find.
const char* InvalidImageText(const CFlashCmd& c) {
    if (c.oldImageValid != 1) return "Invalid PC BIOS image\n";
    return c.bootLineMissing == 1 ? "ROM boot message not found\n" : "ROM ssid not found\n";
}

void PrintProgrammed(CFlashUI& ui) {
    ui.Print(ui.log, "%X/%Xh bytes programmed\n", unsigned(ui.cmd->bytesProgrammed), unsigned(ui.cmd->bytesRead));
}

// What both editing commands show of their runs; their failure lines are
// printed even with "-suppress" and name no erase sector.
class EditRun : public WriteLoop {
public:
    EditRun(CFlashUI& ui, std::uint32_t adapter, bool counts) : WriteLoop(ui, adapter), counts_(counts) {
        texts_.writeFail = "Write fail\n";
        texts_.eraseSectorLine = false;
        texts_.suppressible = false;
    }

protected:
    // The refusals both show alike.
    int ShowRefusal(int state) {
        if (state == CMD_CHECKS_PASSED) return kNextStep;
        if (state == CMD_INVALID_IMAGE) ui_.Print(ui_.log, "%s", InvalidImageText(cmd_));
        else ui_.ReportError(state);
        return state;
    }
    // The counts of an edit that was written.
    int Report(int) override {
        if (counts_) {
            PrintProgrammed(ui_);
            if (cmd_.bytesProgrammed == cmd_.bytesRead)
                ui_.Print(ui_.log, "%X/%Xh bytes verified\n", unsigned(cmd_.bytesVerified),
                          unsigned(cmd_.bytesProgrammed));
        }
        return cmd_.status;
    }

    std::uint32_t value_ = 0;  // the new IDs in, the IDs found out

private:
    bool counts_;
};

// Without an engine (it could not be allocated) no adapter can be reached.
int ReportNoAdapter(CFlashUI& ui) {
    ui.ReportError(CMD_NO_ADAPTER);
    return CMD_NO_ADAPTER;
}

// ---------------------------------------------------------------------------
// "-mi <adapter> [ids]"

class ModifyIdRun : public EditRun {
public:
    ModifyIdRun(CFlashUI& ui, std::uint32_t adapter, bool change, std::uint32_t newValue)
        : EditRun(ui, adapter, change), change_(change), newValue_(newValue) {
        value_ = newValue;
    }

private:
    int Step() override { return cmd_.ModifyId(adapter_, value_, change_ ? 1 : 0); }
    int Show(int state) override {
        if (state != CMD_READY_TO_ERASE) return ShowRefusal(state);
        ui_.Print(ui_.log, "Flash type: %s\n", FlashName());
        ui_.Print(ui_.log, "old ROM ssid = %08X\n", unsigned(value_));
        ui_.Print(ui_.log, "new ROM ssid = %08X\n", unsigned(newValue_));
        return kNextStep;
    }
    int Report(int state) override {
        if (!change_) {
            ui_.Print(ui_.log, "Flash type: %s\n", FlashName());
            ui_.Print(ui_.log, "ROM ssid = %08X\n", unsigned(value_));
        }
        return EditRun::Report(state);
    }
    const char* FlashName() const { return cmd_.adapters[cmd_.currentAdapter].flashName; }

    bool change_;
    std::uint32_t newValue_;
};

}  // namespace

int CFlashUI::CmdModifyId(int count, char** args) {
    std::uint32_t adapter = 0;
    if (count < 1 || !ParseDecimal(args[0], &adapter)) return CMD_USAGE;
    const bool change = count > 1;
    // The IDs are written as typed: hexadecimal digits only, eight at most.
    std::uint32_t newValue = 0;
    if (change && !ParseHexDigits(args[1], kIdDigits, &newValue)) return CMD_USAGE;
    if (!cmd->engine) return ReportNoAdapter(*this);
    cmd->status = CMD_FAILED;
    return ModifyIdRun(*this, adapter, change, newValue).Run();
}

// ---------------------------------------------------------------------------
// "-mb <adapter> <file>"

namespace {

// Lengths of the new texts against the room the image has. The rooms are
// unsigned, so an unflagged text meets "room - 1" wrapped to the maximum.
// A flagged text never fits a room of 0: nothing would be written, yet the
// ROM would be reprogrammed and the edit reported as done.
void CheckEditLengths(CFlashUI& ui, CFlashCmd& c) {
    const std::uint32_t pn = std::uint32_t(std::strlen(c.modifyPartNumberText));
    const std::uint32_t bm = std::uint32_t(std::strlen(c.modifyBootMessageText));
    const bool velk = c.oldHeaderIsVelk == 1;
    const std::uint32_t pnLimit = velk ? c.partNumberRoom - 1 : c.partNumberRoom;
    const bool pnNoRoom = c.modifyPartNumber == 1 && c.partNumberRoom == 0 && pn > 0;
    const bool bmNoRoom = c.modifyBootMessage == 1 && c.bootMessageRoom == 0 && bm > 0;
    const bool pnLong = pn > pnLimit || pnNoRoom;
    const bool bmLong = bm > c.bootMessageRoom - 1 || bmNoRoom;

    c.programAfterEdit = 0;
    if (c.ssidOverflow == 1) {
        ui.Print(ui.log, "This BIOS Does Not Support 16bit SSID.\n");
    } else if (c.modifyBootMessage == 1 && !velk) {
        ui.Print(ui.log, "Modify Boot Up Message Option Is Not Currently Availiable\n");
        ui.Print(ui.log, "For This Video BIOS.\n");
    } else if (pn > c.partNumberRoom && bm > c.bootMessageRoom) {
        ui.Print(ui.log, "Invaild BIOS Part Number & Boot Message Provided.\n");
        ui.Print(ui.log, "Length of BIOS Part Number & Boot Message TOO Long.\n");
    } else if (pnLong) {
        ui.Print(ui.log, "Invaild BIOS Part Number Provided.\n");
        ui.Print(ui.log, "Length of BIOS Part Number TOO Long.\n");
    } else if (bmLong) {
        ui.Print(ui.log, "Invaild BIOS Boot Message Provided.\n");
        ui.Print(ui.log, "Length of BIOS Boot Message TOO Long.\n");
    } else {
        c.programAfterEdit = 1;
    }
}

// The ID lines before the erase: whole values, or the half being changed.
void PrintEditPlan(CFlashUI& ui, CFlashCmd& c, std::uint32_t found, std::uint32_t wanted) {
    ui.Print(ui.log, "Flash type: %s\n", c.adapters[c.currentAdapter].flashName);
    if (c.modifySsid == 1 && c.modifySvid == 1) {
        ui.Print(ui.log, "Old ROM ssid = %08X\n", unsigned(found));
        ui.Print(ui.log, "New ROM ssid = %08X\n", unsigned(wanted));
    } else if (c.modifySsid == 1) {
        ui.Print(ui.log, "Old ROM ssid = %04X\n", unsigned(found >> 16));
        ui.Print(ui.log, "New ROM ssid = %04X\n", unsigned(wanted >> 16));
    } else if (c.modifySvid == 1) {
        ui.Print(ui.log, "Old ROM svid = %04X\n", unsigned(found & 0xFFFF));
        ui.Print(ui.log, "New ROM svid = %04X\n", unsigned(wanted & 0xFFFF));
    }
    if (c.modifyPartNumber == 1) {
        ui.Print(ui.log, "Old P/N: %s\n", c.currentPartNumber);
        ui.Print(ui.log, "New P/N: %s\n", c.modifyPartNumberText);
    }
    if (c.modifyBootMessage == 1 && c.oldHeaderIsVelk == 1) {
        ui.Print(ui.log, "Old ROM Boot Up Message = %s\n", c.currentBootMessage);
        ui.Print(ui.log, "New ROM Boot Up Message = %s\n", c.modifyBootMessageText);
    }
}

class ModifyBiosRun : public EditRun {
public:
    ModifyBiosRun(CFlashUI& ui, std::uint32_t adapter, std::uint32_t wanted)
        : EditRun(ui, adapter, true), wanted_(wanted) {
        value_ = wanted;
        texts_.notErased = "ROM not erased--\n";
    }

private:
    int Step() override { return cmd_.ModifyBiosInfo(adapter_, value_); }
    int Show(int state) override {
        switch (state) {
        case CMD_EDIT_READY: CheckEditLengths(ui_, cmd_); return kNextStep;
        case CMD_READY_TO_ERASE: PrintEditPlan(ui_, cmd_, value_, wanted_); return kNextStep;
        case CMD_EDIT_STOPPED: PrintProgrammed(ui_); return cmd_.status = CMD_FAILED;
        default: return ShowRefusal(state);
        }
    }

    std::uint32_t wanted_;
};

}  // namespace

int CFlashUI::CmdModifyBiosInfo(int count, char** args) {
    cmd->status = CMD_FAILED;
    std::uint32_t adapter = 0;
    if (count < 2 || !ParseDecimal(args[0], &adapter)) return CMD_USAGE;
    if (!cmd->engine) return ReportNoAdapter(*this);
    // Like every input file: a FIFO or a device is no modify file.
    FILE* file = COsDepend::OpenInputFile(args[1]);
    if (!file) {
        Print(log, "File %s not found.\n", args[1]);
        return CMD_FILE_NOT_FOUND;
    }
    const int parsed = ParseModifyFile(file);
    std::fclose(file);
    if (parsed != 0) return cmd->status;
    const bool anyFlag =
        cmd->modifySsid == 1 || cmd->modifySvid == 1 || cmd->modifyPartNumber == 1 || cmd->modifyBootMessage == 1;
    if (!anyFlag) return cmd->status;

    const std::uint32_t wanted = (cmd->modifySsid == 1 ? std::uint32_t(cmd->modifySsidValue) << 16 : 0) |
                                 (cmd->modifySvid == 1 ? cmd->modifySvidValue : 0);
    return ModifyBiosRun(*this, adapter, wanted).Run();
}

// ---------------------------------------------------------------------------
// The "-mb" input file

namespace {

enum class LineOutcome { Accepted, Error, Ignored };

struct ModifyKey {
    const char* name;
    bool text;  // biospn, bootmsg
    const char* message;
};

constexpr ModifyKey kModifyKeys[] = {
    {"ssid", false, "Invalid ssid entry provided, Line %d.\n"},
    {"svid", false, "Invalid svid entry provided, Line %d.\n"},
    {"biospn", true, "Invalid BIOS Part Number entry provided, Line %d.\n"},
    {"bootmsg", true, "Invalid Boot Message entry provided, Line %d.\n"},
};

// Tokens of one line of the file, read on demand.
class LineTokens {
public:
    LineTokens(COsDepend& tokenizer, FILE* file) : tokenizer_(tokenizer), file_(file) {}
    bool Next(std::string* token) {
        const char* t = tokenizer_.ReadToken(file_);
        if (!t) return false;
        *token = t;
        return true;
    }

private:
    COsDepend& tokenizer_;
    FILE* file_;
};

// An ID value: hexadecimal digits only, at most four, after an optional
// 0x; then the separate form wants a non-zero number of exactly four
// characters, the attached forms a non-zero number or four characters.
bool ParseIdValue(const std::string& text, bool separate, std::uint16_t* value) {
    const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::uint32_t parsed = 0;
    if (!ParseHexDigits(text.c_str() + (prefixed ? 2 : 0), kFileIdDigits, &parsed)) return false;
    const bool ok = separate ? (parsed != 0 && text.size() == 4) : (parsed != 0 || text.size() == 4);
    if (ok) *value = std::uint16_t(parsed);
    return ok;
}

// A text started after "=" and a dropped opening quote, continued over the
// line's tokens, joined by one blank, up to the token that ends in a quote.
// Texts that do not fit 127 characters (quote included) are refused.
bool CollectText(LineTokens& tokens, std::string text, std::string* out) {
    for (;;) {
        if (text.size() > kTextMax) return false;
        if (!text.empty() && text.back() == '"') {
            text.pop_back();
            *out = text;
            return true;
        }
        std::string next;
        if (!tokens.Next(&next)) return false;
        text += ' ';
        text += next;
    }
}

// Reads the value of a key whose first token was `first`.
LineOutcome ParseValue(const ModifyKey& key, const std::string& first, LineTokens& tokens, std::uint16_t* id,
                       std::string* text) {
    const std::size_t k = std::strlen(key.name);
    std::string token;
    if (first.size() == k) {
        if (!tokens.Next(&token)) return LineOutcome::Error;
        if (token[0] != '=') return LineOutcome::Ignored;
        if (token.size() == 1) {
            if (!tokens.Next(&token)) return LineOutcome::Error;
            if (!key.text) return ParseIdValue(token, true, id) ? LineOutcome::Accepted : LineOutcome::Error;
            *text = token;
            return LineOutcome::Accepted;
        }
        if (!key.text) return ParseIdValue(token.substr(1), false, id) ? LineOutcome::Accepted : LineOutcome::Error;
        return CollectText(tokens, token.substr(2), text) ? LineOutcome::Accepted : LineOutcome::Error;
    }
    if (first[k] != '=') return LineOutcome::Ignored;
    if (first.size() == k + 1) {
        if (!tokens.Next(&token)) return LineOutcome::Error;
        if (!key.text) return ParseIdValue(token, false, id) ? LineOutcome::Accepted : LineOutcome::Error;
        *text = token;
        return LineOutcome::Accepted;
    }
    if (!key.text) return ParseIdValue(first.substr(k + 1), false, id) ? LineOutcome::Accepted : LineOutcome::Error;
    if (first[k + 1] != '"') return LineOutcome::Ignored;
    return CollectText(tokens, first.substr(k + 2), text) ? LineOutcome::Accepted : LineOutcome::Error;
}

}  // namespace

int CFlashUI::ParseModifyFile(FILE* file) {
    std::uint16_t* flags[] = {&cmd->modifySsid, &cmd->modifySvid, &cmd->modifyPartNumber, &cmd->modifyBootMessage};
    std::uint16_t* ids[] = {&cmd->modifySsidValue, &cmd->modifySvidValue, nullptr, nullptr};
    char* texts[] = {nullptr, nullptr, cmd->modifyPartNumberText, cmd->modifyBootMessageText};
    LineTokens tokens(tokenizer, file);
    int line = 1;
    int result = 0;
    for (;;) {
        std::string first;
        if (tokens.Next(&first)) {
            std::size_t which = 0;
            while (which < std::size(kModifyKeys) &&
                   strncasecmp(first.c_str(), kModifyKeys[which].name, std::strlen(kModifyKeys[which].name)) != 0)
                ++which;
            if (which == std::size(kModifyKeys)) {
                Print(log, "Invalid entry provided, Line %d.\n", line);
                result = 1;
            } else {
                const ModifyKey& key = kModifyKeys[which];
                std::uint16_t id = 0;
                std::string text;
                LineOutcome outcome = ParseValue(key, first, tokens, &id, &text);
                std::string extra;
                if (outcome == LineOutcome::Accepted) {
                    if (ids[which]) *ids[which] = id;
                    if (texts[which]) {
                        const std::size_t n = std::min(text.size(), kTextMax);
                        std::memcpy(texts[which], text.data(), n);
                        texts[which][n] = '\0';
                    }
                    *flags[which] = 1;
                    if (tokens.Next(&extra)) outcome = LineOutcome::Error;
                }
                if (outcome == LineOutcome::Error) {
                    Print(log, key.message, line);
                    *flags[which] = 0;
                    result = 1;
                }
            }
            ++line;
        }
        if (!tokenizer.SkipLine(file)) break;
    }
    return result;
}
