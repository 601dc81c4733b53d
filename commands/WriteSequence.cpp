// The write sequence every writing command runs once its checks passed:
// identify, erase with its blank check, write, verify. Each step has its
// own attempts, and a retry runs every step again. Once the part is erased
// the data goes onto every cell that takes it, so a failure never leaves
// 0xFF where data was in memory.
#include <algorithm>

#include "commands/CFlashCmd.h"
#include "commands/RomImage.h"
#include "engine/CFlash.h"

namespace {

// The commands that hold the board's only copy of its ROM try each step
// at least this many times more.
constexpr std::uint32_t kOnlyCopyRetries = 2;
// Where the filler written ahead of the data starts: a boundary no
// program unit crosses.
constexpr std::uint32_t kFillerAlign = 0x8000;

std::uint32_t RoundUp(std::uint32_t value, std::uint32_t align) {
    return std::uint32_t((std::uint64_t(value) + align - 1) / align * align);
}

// The error a write left, kept while another write runs.
struct FailedWrite {
    std::int32_t code;
    std::uint32_t address;
    void Restore(CFlash& engine) const {
        engine.errorCode = code;
        engine.errorAddress = address;
    }
};

}  // namespace

std::uint32_t CFlashCmd::SequenceAttempts(bool onlyCopy) const {
    return onlyCopy ? std::max<std::uint32_t>(retries, kOnlyCopyRetries) : retries;
}

void CFlashCmd::BeginSequence(std::uint32_t attempts, const SequenceTarget& target) {
    seq_ = target;
    std::fill(std::begin(stepAttemptsLeft_), std::end(stepAttemptsLeft_), attempts);
    retryPending_ = false;
    retriesRemaining_ = 0;
    failedStep_ = kIdentifyStep;
    original_.clear();
    verifyBuffer_.clear();
}

void CFlashCmd::StepFailed(SequenceStep step) {
    failedStep_ = step;
    std::uint32_t& left = stepAttemptsLeft_[step];
    retryPending_ = left > 0;
    if (retryPending_) --left;
    retriesRemaining_ = int(left);
}

bool CFlashCmd::SequenceIdentify(std::uint32_t adapter) {
    // A part still busy from the failed attempt may answer as another part:
    // it is waited for first, as an erase would be, and only the part the
    // first attempt found is written.
    for (;;) {
        if (engine->WaitWhileBusy() && Reselect(adapter) &&
            GetAdapterRomInfo(std::uint8_t(adapter)).romSize == seq_.partSize)
            return true;
        StepFailed(kIdentifyStep);
        if (!retryPending_) break;
    }
    engine->CloseAccess();
    return false;
}

bool CFlashCmd::SaveOriginal() {
    if (!original_.empty()) return true;
    const std::uint32_t hold = seq_.holdLength;
    original_.resize(hold);
    const std::uint32_t saved = engine->romSize;
    engine->romSize = hold;
    const bool read = hold != 0 && engine->Read(0, hold, original_.data()) == hold;
    engine->romSize = saved;
    if (!read) original_.clear();
    return read;
}

bool CFlashCmd::ReadyToErase() {
    // Nothing is erased under protection that could not be lifted, nor
    // before the part as found could be read back.
    if (!BlockProtectionLeft() && SaveOriginal()) return true;
    StepFailed(kEraseStep);
    engine->CloseAccess();
    return false;
}

bool CFlashCmd::EraseRetryReady() {
    // The erase that failed may still be running: the retry waits for it
    // as the erase did. A part busy past that has failed this erase too.
    if (failedStep_ != kEraseStep || engine->WaitWhileBusy()) return true;
    bytesProgrammed = 0;
    StepFailed(kEraseStep);
    if (!retryPending_) engine->CloseAccess();
    return false;
}

bool CFlashCmd::ErasedBefore() {
    // Only a part no longer busy is judged; romSize covers what it holds.
    const std::uint32_t hold = seq_.holdLength;
    if (!partTouched_ || hold == 0 || engine->PartStaysBusy()) return false;
    return BlankLead() == hold;
}

int CFlashCmd::SequenceErase() {
    retryPending_ = false;
    const std::uint32_t saved = engine->romSize;
    // The blank check covers all the part holds, not only the data: a bit
    // left at 0 past a shorter image is an erase that did not take.
    engine->romSize = seq_.holdLength;
    // A retry whose part, waited for, reads blank over all it holds has
    // been erased: it goes on to the write.
    const bool erasedBefore = ErasedBefore();
    partTouched_ = true;
    const std::uint32_t erased = erasedBefore ? seq_.holdLength : engine->BulkErase();
    engine->romSize = saved;
    bytesProgrammed = erased;
    if (erased == seq_.holdLength) return CMD_ERASED;
    // A part larger than the program reaches, with no smaller erase, was
    // refused untouched; trying again would refuse again.
    if (engine->errorCode == FLASH_BEYOND_REACH) {
        partTouched_ = false;
        retryPending_ = false;
        engine->CloseAccess();
        return CMD_NOT_ERASED;
    }
    StepFailed(kEraseStep);
    // The retry waits for the part as identified here.
    if (retryPending_) return CMD_NOT_ERASED;
    if (engine->PartStaysBusy() && FinishSlowErase()) {
        bytesProgrammed = seq_.holdLength;
        return CMD_ERASED;
    }
    // A part that ends holding all it was asked to hold has taken the
    // data, whatever its erase said: the write step then finds it so.
    if (WriteOverFailedErase()) {
        bytesProgrammed = seq_.holdLength;
        return CMD_ERASED;
    }
    engine->CloseAccess();
    return CMD_NOT_ERASED;
}

bool CFlashCmd::FinishSlowErase() {
    // No retry is left to wait for a part still erasing: the last erase is
    // waited for as a retry would, and one that got further than before is
    // run on from there, while it does; an erase that gets nowhere more, or
    // a part busy past its waits, has failed.
    if (seq_.holdLength == 0) return false;
    const std::uint32_t saved = engine->romSize;
    engine->romSize = seq_.holdLength;
    std::uint32_t blank = 0;
    bool erased = false;
    while (engine->WaitWhileBusy()) {
        const std::uint32_t now = BlankLead();
        erased = now == seq_.holdLength;
        if (erased || now <= blank) break;
        blank = now;
        engine->BulkErase();
    }
    engine->romSize = saved;
    return erased;
}

std::uint32_t CFlashCmd::BlankLead() {
    const std::uint32_t hold = seq_.holdLength;
    std::vector<std::uint8_t> part(hold);
    if (engine->Read(0, hold, part.data()) != hold) return 0;
    return std::uint32_t(std::find_if(part.begin(), part.end(), [](std::uint8_t b) { return b != 0xFF; }) -
                         part.begin());
}

bool CFlashCmd::WriteOverFailedErase() {
    // A part that kept its old content is left alone: programming only
    // clears bits, so data written over it would corrupt it. A part still
    // erasing takes nothing.
    const std::uint32_t hold = seq_.holdLength;
    verifyBuffer_.clear();
    if (hold == 0 || original_.size() != hold || engine->PartStaysBusy()) return false;
    const std::uint32_t saved = engine->romSize;
    engine->romSize = hold;
    std::vector<std::uint8_t> erased(hold);
    if (engine->Read(0, hold, erased.data()) == hold && (erased != original_ || WasBlank(erased)))
        WriteOverUnerasedCells(erased);
    engine->romSize = saved;
    return verifyBuffer_.size() == hold && std::equal(verifyBuffer_.begin(), verifyBuffer_.end(), romBuffer);
}

bool CFlashCmd::WasBlank(const std::vector<std::uint8_t>& part) const {
    // A part erased already but for a few cells that will not erase takes
    // the data everywhere else; one that still holds a ROM would be
    // corrupted by it.
    constexpr std::size_t kFewCells = 16;
    return part.size() - std::size_t(std::count(part.begin(), part.end(), 0xFF)) <= kFewCells;
}

void CFlashCmd::WriteOverUnerasedCells(std::vector<std::uint8_t>& erased) {
    // The cells the erase left at 0 cost the erase step its attempts, not
    // the write step: a unit that fails is written again, and a cell
    // programmed wrong gets another erase and another write.
    const std::uint32_t hold = seq_.holdLength;
    for (;;) {
        const bool last = stepAttemptsLeft_[kWriteStep] == 0;
        WriteTarget(last);
        verifyBuffer_.assign(hold, 0);
        if (engine->Read(0, hold, verifyBuffer_.data()) != hold) return;
        bool best = true;
        for (std::uint32_t i = 0; best && i < hold; ++i) best = verifyBuffer_[i] == (romBuffer[i] & erased[i]);
        if (best || last || engine->PartStaysBusy()) return;
        --stepAttemptsLeft_[kWriteStep];
        engine->BulkErase();
        if (engine->PartStaysBusy() || engine->Read(0, hold, erased.data()) != hold) return;
    }
}

std::uint32_t CFlashCmd::WriteTarget(bool last) {
    const std::uint32_t end = seq_.writeEnd;
    std::uint32_t split = end;
    if (engine->bulkEraseOnly == 1) {
        // The erase left every byte erased: erased bytes at the end of the
        // data need no program, and on a part the window shows twice they
        // would go over what its start holds.
        while (split > 0 && romBuffer[split - 1] == 0xFF) --split;
    } else if (end == seq_.holdLength && !IsSpiType(engine->flashType)) {
        // Erased filler past the data goes in first: on a part smaller than
        // the window, whose writes replace what they cover (pages of a
        // parallel part, EEPROM bytes), it lands on the data's cells and the
        // data then goes over it.
        split = std::min(end, RoundUp(DataEnd(end), kFillerAlign));
    }
    std::uint32_t fillerFailed = end;
    if (split < end && engine->bulkEraseOnly != 1) {
        const std::uint32_t done = engine->WriteAll(split, end - split, romBuffer + split, last);
        if (done < end - split) fillerFailed = split + done;
    }
    const FailedWrite filler{engine->errorCode, engine->errorAddress};
    std::uint32_t written = split == 0 ? 0 : engine->WriteAll(0, split, romBuffer, last);
    if (written == split) {
        written = fillerFailed;
        if (fillerFailed < end) filler.Restore(*engine);
    }
    const std::uint32_t from = seq_.windowFrom, to = seq_.windowTo;
    if (from >= to) return written;
    // The window goes in after the data; its failure counts as the write's.
    const FailedWrite data{engine->errorCode, engine->errorAddress};
    const bool windowWritten = engine->WriteAll(from, to - from, romBuffer + from, last) == to - from;
    if (written < seq_.writeEnd) {
        data.Restore(*engine);
        return written;
    }
    return windowWritten ? written : from;
}

std::uint32_t CFlashCmd::DataEnd(std::uint32_t end) const {
    // Erased bytes a whole-ROM image carries to its end are filler too.
    while (end > 0 && romBuffer[end - 1] == 0xFF) --end;
    return end;
}

bool CFlashCmd::SmallerPartHoldsTarget() const {
    const std::uint32_t hold = seq_.holdLength;
    if (verifyBuffer_.size() != hold) return false;
    for (std::uint32_t part = PartShownIn(verifyBuffer_.data(), hold); part < hold; part *= 2)
        if (HoldsTargetFolded(part)) return true;
    return false;
}

bool CFlashCmd::HoldsTargetFolded(std::uint32_t part) const {
    // A part smaller than what the program reads shows its own start again
    // past its end: each of its cells stands for every copy the window
    // shows. It holds the target when each cell reads what its copies ask
    // of it: the data one of them asks for, erased where none does.
    const std::uint32_t hold = seq_.holdLength;
    for (std::uint32_t cell = 0; cell < part; ++cell) {
        std::uint8_t asked = 0xFF;
        for (std::uint32_t i = cell; i < hold; i += part) {
            if (romBuffer[i] == 0xFF) continue;
            if (asked != 0xFF && asked != romBuffer[i]) return false;
            asked = romBuffer[i];
        }
        if (verifyBuffer_[cell] != asked) return false;
    }
    return true;
}

int CFlashCmd::SequenceWrite() {
    retryPending_ = false;
    const std::uint32_t hold = seq_.holdLength;
    const std::uint32_t saved = engine->romSize;
    engine->romSize = hold;
    partTouched_ = true;
    // The last attempt writes a unit that failed once more before it is
    // judged; an earlier one leaves that to the retry, which erases first.
    const std::uint32_t written = WriteTarget(stepAttemptsLeft_[kWriteStep] == 0);
    const std::int32_t code = engine->errorCode;
    const std::uint32_t address = engine->errorAddress;
    // The read-back covers all the part holds: bytes past the data must
    // read erased too.
    verifyBuffer_.assign(hold, 0);
    const bool readBack = hold != 0 && engine->Read(0, hold, verifyBuffer_.data()) == hold;
    engine->romSize = saved;
    // The failure is told by the write's error, not the read's.
    engine->errorCode = code;
    engine->errorAddress = address;
    std::uint32_t same = 0;
    while (readBack && same < hold && verifyBuffer_[same] == romBuffer[same]) ++same;
    // On a part the window shows twice, a unit that failed past the part's
    // end lay on cells the data then went over: the read-back tells.
    const bool smaller = readBack && same < hold && SmallerPartHoldsTarget();
    const bool held = readBack && (same == hold ? written >= seq_.writeEnd : smaller);
    bytesProgrammed = smaller ? seq_.reportLength : std::min(written, seq_.reportLength);
    bytesVerified = held ? seq_.reportLength : std::min(same, seq_.reportLength);
    if (held) return CMD_OK;
    if (NoSilentPartTook()) {
        retryPending_ = false;
        partTouched_ = false;
        return CMD_READ_FAILED;
    }
    StepFailed(kWriteStep);
    return CMD_FAILED;
}

bool CFlashCmd::NoSilentPartTook() const {
    // A part that held data and now reads erased took the erase.
    const auto erased = [](const std::vector<std::uint8_t>& bytes) {
        return !bytes.empty() && std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t v) { return v == 0xFF; });
    };
    return engine->acceptSilentPart && erased(verifyBuffer_) && erased(original_);
}
