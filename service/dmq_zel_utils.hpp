#pragma once
// Small routines shared by the server and the console: source ids and their check characters,
// the tagged-field coding of the client protocol, the hex item coding of the command channel,
// extension-flag texts, option parsers, path resolution, the log and PID file names and the
// PID file itself.
#include <sys/types.h>

#include <cstdint>
#include <string_view>

#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_types.hpp"

namespace zel {

class TAnsiUnicodeConverter;
class TIniFileUTF8;

// ---------------------------------------------------------------------------------------------
// Source ids: 22 letters of the id alphabet, then two check characters from a CRC-16 of them.

inline constexpr std::string_view ZELIdAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789[]=";
inline constexpr int32_t ZELSourceIdLen = 24;
inline constexpr int32_t ZELSourceIdBodyLen = 22;

// The first 22 characters and their check characters; shorter ids raise "Invalid source id length".
AnsiString AddIdCheckChars(AnsiView Id);
bool IsValidSourceId(AnsiView Id) noexcept;
bool IsValidSourceId(const char* P, int32_t Len) noexcept;
// 22 characters: check characters appended; 24 ending in "==": those replaced; 24 valid: kept.
bool NormalizeSourceId(AnsiString& Id, bool& Changed);
// Id of a text (MD5 digest in the id alphabet, check characters in place of the fill).
AnsiString CalcSourceId(AnsiView Text);
AnsiString CalcSourceId(AnsiView Text, AnsiString& Digest);

// ---------------------------------------------------------------------------------------------
// Protocol extension flags.

UnicodeString ExtensionFlagsToText(uint32_t Flags);
// 10 columns of "." with a letter for each feature set.
UnicodeString ExtensionFlagsToLetters(uint32_t Flags);
uint32_t AdjustExtensionFlags(uint32_t Flags);

// ---------------------------------------------------------------------------------------------
// Tagged fields: "<" tag ">" value "</" tag ">", separated by blanks or tabs. Fields point into
// the parsed line; nothing is copied and values are not unescaped.

struct TTaggedField {
    const char* Tag = nullptr;
    const char* Value = nullptr;
    int32_t TagLen = 0;
    int32_t ValueLen = 0;

    AnsiView TagView() const noexcept { return AnsiView(Tag, static_cast<size_t>(TagLen)); }
    AnsiView ValueView() const noexcept { return AnsiView(Value, static_cast<size_t>(ValueLen)); }
};

struct TTaggedFieldParser {
    TTaggedField* Fields = nullptr;  // caller-owned table
    int32_t Capacity = 0;
    const char* Line = nullptr;
    int32_t LineLen = 0;
    int32_t Count = 0;
};

AnsiString MakeTagField(AnsiView Tag, AnsiView Value);
AnsiString MakeTagFieldChar(AnsiView Tag, char C);
// Number of fields stored, -1 for a malformed line, -2 for a forbidden control byte.
// Fields beyond the table's capacity are parsed and dropped.
int32_t ParseTaggedFields(TTaggedFieldParser& Parser, const char* Line, int32_t Length);
const TTaggedField* FindTaggedField(const TTaggedFieldParser& Parser, AnsiView Tag) noexcept;
// Whether a text may stand as the value of a tagged element that others read, or on a list line
// of its own: no '<' or '>' (they could close the element and open a forged one) and no byte or
// unit below 32, TAB included (CR and LF would split the line; no name, place or e-mail needs
// any of them).
bool IsSafeElementTextA(AnsiView Text) noexcept;
bool IsSafeElementTextU(UnicodeView Text) noexcept;
// Drop bytes below 33 at both ends (at the end only); return the new length.
int32_t TrimPCharLen(const char*& P, int32_t& Len) noexcept;
int32_t TrimRightPCharLen(const char*& P, int32_t& Len) noexcept;

// ---------------------------------------------------------------------------------------------
// Items of the command channel: a hex-coded length ("7F", "8180", "82012C", ...) and the value.

AnsiString EncodeTlvLength(int32_t N);
// The same with a negative N taken as 0.
AnsiString EncodeTlvLengthNonNeg(int32_t N);
AnsiString MakeTlvValue(AnsiView Value);
// Tag byte, length, value; an empty value gives no item at all.
AnsiString MakeTlvItem(char Tag, AnsiView Value);

// Readers. A long form takes 1 to 4 length bytes; lengths and numbers above 2147483647 are
// refused. On failure nothing is changed.
// On a zero-terminated text: the terminator is no hex digit, so reading stops there.
bool ReadTlvLength(const char*& P, int32_t& Len) noexcept;
// Needs the length digits within Rest and the length within what follows them.
bool ReadTlvLengthBounded(AnsiView& Rest, int32_t& Len) noexcept;
// A number in the same form, not compared with what follows.
bool ReadTlvNumber(AnsiView& Rest, int32_t& Value) noexcept;
// Two hex digits.
bool ReadTlvByte(AnsiView& Rest, uint8_t& Value) noexcept;
// Four upper-case hex digits; returns the position behind them.
char* WordToHex4(uint16_t Value, char* Buffer) noexcept;

// ---------------------------------------------------------------------------------------------
// Option parsers.

bool ParsePortU(UnicodeView Text, uint16_t& Port);
bool ParsePortA(AnsiView Text, uint16_t& Port);
uint16_t IniReadPort(TIniFileUTF8& Ini, UnicodeView Section, UnicodeView Key, uint16_t Default);
// 0 both families, 1 IPv4 only, 2 IPv6 only.
bool ParseIPVersion(UnicodeView Text, uint8_t& Version);
bool ParseProxyType(UnicodeView Text, TZELProxyType& Type);
bool ParseReopenLogSignal(UnicodeView Text, TZELReopenLogSignal& Signal);
TZELReopenLogSignal StrToReopenLogSignalDef(UnicodeView Text);
// One character from a delimiter text: "\UX" or "\X" and hex, "\" and decimal, else the first
// character; a bad or empty text, and NUL, give Default.
char16_t DecodeEscapes(UnicodeView Text, char16_t Default);

// ---------------------------------------------------------------------------------------------
// Names and paths.

// Relative names are expanded against BaseDir; absolute names stay as they are.
UnicodeString ResolvePath(UnicodeView Name, UnicodeView BaseDir);
UnicodeString MakeLogFileName(UnicodeView Configured, UnicodeView Default, UnicodeView BaseDir);
// A bare file name goes into RunDir, a relative one with a directory part against BaseDir.
UnicodeString MakePidFileName(UnicodeView Configured, UnicodeView Default, UnicodeView RunDir,
                              UnicodeView BaseDir);
inline constexpr std::u16string_view ZELDefaultRunDir = u"/var/run/";

TZELClientType ClientTypeFromBand(AnsiView Band) noexcept;
// The longest prefix of whole characters whose conversion fits MaxBytes, converted (a surrogate
// pair is never split; a lone surrogate counts as a character).
AnsiString EncodeCutToBytes(TAnsiUnicodeConverter& Converter, int32_t MaxBytes, UnicodeView Text);
// Caps at 2147483647; false for a negative value.
bool ClampToMaxInt32(int64_t& Value) noexcept;
// Control characters but the tab dropped, at most 500 characters kept.
UnicodeString CleanLogText(UnicodeView Text);
// A text for a log line: every control character (below 32, DEL, U+0080 to U+009F) and the
// backslash written as "\xHH", so a log line never holds a control character and reads back
// unambiguously.
UnicodeString EscapeLogTextU(UnicodeView Text);

// One client of a command-channel list answer, as the console shows it.
struct TZELClientRec {
    UnicodeString Id;
    UnicodeString Callsign;
    UnicodeString Country;
    UnicodeString City;
    UnicodeString Band;
    UnicodeString Description;
    uint8_t VisibleStatus = 0;
    uint8_t Muted = 0;
    uint8_t ListenOnly = 0;
    uint8_t ClientType = 2;
    uint8_t Utf8 = 0;
};
void ClearClientRec(TZELClientRec& Rec);

// ---------------------------------------------------------------------------------------------
// Files (names in the system character set).

// Creates a file of a fresh name beside Name (Name + ".$tmp$" and six random characters, made
// exclusively, so no planted link is followed), writes "1" into it and deletes it; a failure to
// create or write raises the file error.
bool MakeWriteTest(AnsiView Name);
// Replaces the file by the decimal PID and a line feed; 0 or the errno value.
int WritePidFile(AnsiView Name, pid_t Pid);
// True with Pid set for a decimal number from 2 up that fits the platform's pid type; an open or
// read failure raises the file error.
bool ReadPidFile(AnsiView Name, pid_t& Pid);
// The number of a PID file's text, read as ReadPidFile reads it: its first line (at most 20
// bytes), a decimal number from 2 up that fits the platform's pid type.
bool ParsePidText(AnsiView Text, pid_t& Pid);

}  // namespace zel
