// Command lines -> payloads, and data blocks -> output lines.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "diag/diag.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/files.h"
#include "protocol/command_view.h"
#include "protocol/conversion.h"
#include "protocol/porcio.h"
#include "serial/ser_port.h"

namespace {

constexpr int kDinerPayload = 40;
constexpr int kCreditPayload = 43;
constexpr int kSettingsPayload = 17;
constexpr int kStatusRecord = 27;
constexpr int kCreditLimit = 31000;

bool IsDinerLetter(char c) { return c == 'Q' || c == 'R' || c == 'q' || c == 'r'; }
bool IsReadCommand(char c) { return c == 'Y' || c == 'P' || c == 'S'; }

// Reads the width characters at pos the way fixed fields are read.
bool ReadField16(const char* src, size_t pos, size_t width, uint16_t& value) {
    char field[8] = {};
    std::memcpy(field, src + pos, width);
    return ReadNumber16(field, value);
}

void PutHighFirst(uint8_t* out, uint16_t v) {
    out[0] = static_cast<uint8_t>(v >> 8);
    out[1] = static_cast<uint8_t>(v);
}

// The credit field at 71..76: a debt goes as the one's complement of its size.
bool ReadCredit(const char* src, uint16_t& value) {
    char field[8] = {};
    int32_t v = 0;
    if (src[71] == '-') {
        std::memcpy(field, src + 71, 6);
        if (!ReadNumber32(field, v)) return false;
        if (v < -kCreditLimit) v = -kCreditLimit;
        value = static_cast<uint16_t>(0xFFFF - (v < 0 ? -v : 0));
        return true;
    }
    std::memcpy(field, src + 72, 5);
    if (!ReadNumber32(field, v)) return false;
    if (v > kCreditLimit) v = kCreditLimit;
    value = static_cast<uint16_t>(v);
    return true;
}

// src is a zero-filled copy of at least kWorkLineSize bytes.
int EncodeDiner(const char* src, uint8_t* out, const TLinkSettings& s) {
    out[0] = static_cast<uint8_t>(src[0] == 'Q' ? 'X' : src[0]);
    uint16_t number = 0;
    if (ReadField16(src, 1, 4, number)) PutHighFirst(out + 1, number);
    std::memcpy(out + 3, src + 5, 9);

    uint8_t* days = out + 12;
    if (static_cast<uint8_t>(src[13]) & 0x80) {
        std::memcpy(days, src + 14, 14);
    } else {
        bool rejected = false;
        for (int kind = kMainMeal; kind <= kDinner; ++kind)
            for (int d = 0; d < 14; ++d) {
                const TFolded f = FoldMealCode(days[d], src[14 + 14 * kind + d], kind, s);
                days[d] = f.day_byte;
                rejected = rejected || f.rejected;
            }
        // The whole line once, after the rejected codes each said theirs.
        if (rejected) Log_long_line(std::string_view(src, std::strlen(src)));
    }
    for (int i = 0; i < 14; ++i) out[26 + i] = ToTerminalChar(static_cast<uint8_t>(src[56 + i]));
    if (src[0] != 'Q' || !s.Kredit) return kDinerPayload;

    out[40] = static_cast<uint8_t>(src[70]);
    uint16_t credit = 0;
    if (ReadCredit(src, credit)) PutHighFirst(out + 41, credit);
    return kCreditPayload;
}

int EncodeSettings(const char* src, uint8_t* out) {
    std::memcpy(out, src, 5);
    for (int i = 0; i < 6; ++i) {
        uint16_t v = 0;
        if (ReadField16(src, static_cast<size_t>(6 + 5 * i), 4, v)) PutHighFirst(out + 5 + 2 * i, v);
    }
    return kSettingsPayload;
}

// printf into a line, which then ends at its first zero byte like a C string.
template <typename... Args>
std::string FormatLine(const char* format, Args... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, format, args...);
    return std::string(buf);
}

std::string DinerLine(const uint8_t* rec, const uint8_t* follower, const TLinkSettings& s) {
    const bool dt = s.DT_use != 0;
    const char letter = rec[0] == 'Z' ? 'Q' : static_cast<char>(rec[0]);
    char number[8];
    std::snprintf(number, sizeof number, "%04d", (rec[1] << 8) | rec[2]);
    const DayStrings d = DecodeDays(rec[7], rec + 8, s);
    const char flag = static_cast<char>(rec[7]);
    const uint8_t* g = rec + 22;
    if (follower == nullptr) {
        if (!dt)
            return FormatLine("%c%s%02X%02X%02X%02X%c%s%s%s", letter, number, rec[3], rec[4], rec[5], rec[6],
                              flag, d.main, d.breakfast, d.dinner);
        return FormatLine("%c%s%02X%02X%02X%02X%c%s%s%s%02X%02X%02X%02X%02X", letter, number, rec[3], rec[4],
                          rec[5], rec[6], flag, d.main, d.breakfast, d.dinner, g[0], g[1], g[2], g[3], g[4]);
    }
    const DayStrings f = DecodeDays(follower[7], follower + 8, s);
    if (!dt)
        return FormatLine("%c%s%02X%02X%02X%02X%c%s%s%s%s%s%s", letter, number, rec[3], rec[4], rec[5], rec[6],
                          flag, d.main, d.breakfast, d.dinner, f.main, f.breakfast, f.dinner);
    return FormatLine("%c%s%02X%02X%02X%02X%c%s%s%s%s%s%s%02X%02X%02X%02X%02X", letter, number, rec[3], rec[4],
                      rec[5], rec[6], flag, d.main, d.breakfast, d.dinner, f.main, f.breakfast, f.dinner, g[0],
                      g[1], g[2], g[3], g[4]);
}

std::string StatusLine(const uint8_t* rec) {
    return FormatLine("%c%02X%02X%02X%02X%02X%02X%02X%.16s", rec[0], rec[1], rec[2], rec[3], rec[4], rec[5],
                      rec[6], rec[7], reinterpret_cast<const char*>(rec + 9));
}

// The raw block goes to the working directory, with every other file.
void WriteRawBlock(const uint8_t* data, size_t n) {
    std::string path;
    if (!work_path("binarni.bin", path)) return;
    platform::replace_file(path, std::string_view(reinterpret_cast<const char*>(data), data ? n : 0));
}

}  // namespace

int PayloadLength(const char* line, const TLinkSettings& s) {
    if (IsDinerLetter(line[0])) return line[0] == 'Q' && s.Kredit ? kCreditPayload : kDinerPayload;
    if (line[0] == 'c') return kSettingsPayload;
    return static_cast<int>(std::strlen(line));
}

int BuildPayload(char* line, size_t capacity, const TLinkSettings& s) {
    if (line == nullptr || capacity == 0) return -1;
    const size_t length = strnlen(line, capacity);
    if (length == capacity) return -1;  // not terminated inside its buffer
    if (!IsDinerLetter(line[0]) && line[0] != 'c') return static_cast<int>(length);

    // Fields past the end of a short line read as zero bytes.
    char src[kWorkLineSize] = {};
    std::memcpy(src, line, std::min(length, kWorkLineSize - 1));
    uint8_t out[kCreditPayload + 1] = {};
    const int n = line[0] == 'c' ? EncodeSettings(src, out) : EncodeDiner(src, out, s);
    if (static_cast<size_t>(n) + 1 > capacity) return -1;
    std::memcpy(line, out, static_cast<size_t>(n) + 1);
    return n;
}

bool TPorcio::RunCommand(char* line, TCommandView& view) {
    FRecords = 0;
    FFailure.clear();
    const bool read_command = IsReadCommand(line[0]);

    // Lines longer than the working copy are cut; only encoded fields are read there.
    char work[kWorkLineSize];
    const size_t length = strnlen(line, kWorkLineSize - 1);
    auto fresh_copy = [&] {
        std::memset(work, 0, sizeof work);
        std::memcpy(work, line, length);
    };
    fresh_copy();
    if (PayloadLength(work, FSettings) > kMaxPayload) {
        Log_long_line("Prikaz je prilis dlouhy: " + std::string(line, strnlen(line, 255)));
        FFailure = "je prilis dlouhy";
        return false;
    }

    bool acknowledged = false;
    int attempts = 0;
    // What the last attempt that went out heard: a later one that found the
    // line busy does not make the frame unsent.
    bool sent = false;
    int heard = -1;
    for (int attempt = 1; attempt <= view.WriteAttempts() && !platform::stop_requested(); ++attempt) {
        view.ShowWriteAttempt(attempt);
        attempts = attempt;
        if (Transact(work, sizeof work) == 0) {
            acknowledged = true;
            break;
        }
        if (FSent) {
            sent = true;
            heard = FHeard;
        }
        Pause(300);
        fresh_copy();
    }
    if (!acknowledged) {
        FFailure = NotAcknowledged(attempts, sent, heard);
        return false;
    }
    ++FDelivered;

    if (!read_command) {
        if (FMaster) Pause(300);
        return true;
    }
    Pause(500);
    FProgress = &view;
    const uint8_t* block = ReadBlock();
    FProgress = nullptr;
    // A read cut short by the end of the program or the line's loss is no
    // delivery: the terminal's answer never came whole.
    if (platform::stop_requested() || FSerPort->Device_gone()) {
        --FDelivered;
        FFailure = "cteni bloku dat preruseno po " + std::to_string(FReceived) + " B: " +
                   (platform::stop_requested() ? "program se ukoncuje" : "zarizeni ztraceno");
        return false;
    }
    if (block == nullptr) {
        // Overflow: nothing usable came; an empty file and 0 say so (the log has the reason).
        view.ShowReceived(0);
        WriteRawBlock(nullptr, 0);
        return true;
    }
    view.ShowReceived(FReceived);
    WriteRawBlock(block, static_cast<size_t>(FReceived));
    return DecodeBlock(line, view, block);
}

std::string TPorcio::NotAcknowledged(int attempts, bool sent, int heard) const {
    const std::string tries = std::to_string(attempts);
    if (platform::stop_requested()) return std::string(sent ? "nepotvrzen" : "neodeslan") + ": program se ukoncuje";
    if (FSerPort->Device_gone()) return "nepotvrzen: zarizeni ztraceno";
    if (!sent) return "neodeslan ani po " + tries + " pokusech: na lince neni ticho ani vyzva mastera";
    if (heard < 0) return "nepotvrzen ani po " + tries + " pokusech: terminal neodpovida";
    char byte[12];
    std::snprintf(byte, sizeof byte, "%02X", static_cast<unsigned>(heard));
    return "odmitnut: misto 06 prijat bajt " + std::string(byte) + " (pokusu " + tries + ")";
}

// A block of the wrong length: marked for another read, and said why.
bool TPorcio::WrongLength(char* line, int record_length) {
    line[0] = 'E';
    FFailure = "blok dat " + std::to_string(FReceived) + " B " +
               (FEndedByPoll ? std::string("ukoncen vyzvou mastera")
                             : "skoncil mezerou " + std::to_string(FGapUs / 1000) + " ms") +
               ", neni celym poctem zaznamu po " + std::to_string(record_length) + " B";
    return false;
}

bool TPorcio::DecodeBlock(char* line, TCommandView& view, const uint8_t* block) {
    if (FReceived == 0) return true;
    const uint8_t kind = block[0];
    if (kind == 'R' || kind == 'Z') {
        const int record_length = FSettings.DT_use ? 29 : 24;
        if (FReceived % record_length != 0) return WrongLength(line, record_length);
        FRecords = FReceived / record_length;
        Log_error("Načteno: " + std::to_string(FRecords) + " rec.");
        for (int k = 0; k < FRecords; ++k) {
            const uint8_t* rec = block + k * record_length;
            const uint8_t* follower = nullptr;
            if (k + 1 < FRecords) {
                const uint8_t* next = rec + record_length;
                if (next[0] == 'q' || next[0] == 'r') follower = next;
            }
            view.AddLine(DinerLine(rec, follower, FSettings));
            Pause(5);
            if (follower != nullptr) ++k;
        }
        return true;
    }
    if (kind == 'S') {
        if (FReceived % kStatusRecord != 0) return WrongLength(line, kStatusRecord);
        FRecords = FReceived / kStatusRecord;
        view.AddLine(StatusLine(block));
        return true;
    }
    // Whole records that begin with a second half are of no known kind.
    const int record_length = FSettings.DT_use ? 29 : 24;
    if (kind == 'q' || kind == 'r') {
        if (FReceived % record_length != 0) return WrongLength(line, record_length);
        return true;
    }
    // Bytes that begin no record (noise before the block, a stray frame)
    // are no answer of "nothing there": read again like a block of the
    // wrong length.
    line[0] = 'E';
    char first[12];
    std::snprintf(first, sizeof first, "%02X", static_cast<unsigned>(kind));
    FFailure = "blok dat " + std::to_string(FReceived) + " B nezacina zaznamem (prvni bajt " + first + ")";
    return false;
}
