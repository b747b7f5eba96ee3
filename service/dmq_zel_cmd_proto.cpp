#include "service/dmq_zel_cmd_proto.hpp"

#include <string>
#include <utility>

#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_syscharset.hpp"

namespace zel {

namespace {

bool IsBelow33(char c) noexcept { return static_cast<unsigned char>(c) < 33; }

AnsiView TrimView(AnsiView s) noexcept {
    while (!s.empty() && IsBelow33(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBelow33(s.back())) s.remove_suffix(1);
    return s;
}

// Drops one line end: LF, CR LF or a lone CR.
AnsiView StripLineEnd(AnsiView s) noexcept {
    if (!s.empty() && s.back() == '\n') s.remove_suffix(1);
    if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
    return s;
}

bool HasCtrlChars(AnsiView s) noexcept {
    return HasCtrlCharsBuf(s.data(), static_cast<int32_t>(s.size()));
}

// ---------------------------------------------------------------------------------------------
// Request writers.

// A request line under construction: the code, then items and characters, then CR LF.
class TCmdLine {
public:
    explicit TCmdLine(char Code) {
        StrBldAAdd(b_, "00");
        StrBldAAddChar(b_, Code);
        StrBldAAddChar(b_, ':');
    }
    TCmdLine& Item(AnsiView Value) {
        StrBldAAddLV(b_, TrimView(Value));
        return *this;
    }
    TCmdLine& Number(uint32_t Value) { return Item(std::to_string(Value)); }
    TCmdLine& Chars(AnsiView s) {
        StrBldAAdd(b_, s);
        return *this;
    }
    TCmdLine& Char(char c) {
        StrBldAAddChar(b_, c);
        return *this;
    }
    AnsiString Done() {
        StrBldAAddCRLF(b_);
        return StrBldAToStr(b_);
    }
    TStringBldA& Builder() noexcept { return b_; }

private:
    TStringBldA b_;
};

char FlagChar(bool On) noexcept { return On ? ZELCmdFlagOn : ZELCmdFlagOff; }

// A mode or index as two decimal digits ("00" to "03"); a value out of range gives a line the
// daemon refuses rather than a stray character.
void AddTwoDigits(TCmdLine& l, int32_t v) {
    if (v >= 0 && v < 10) l.Char('0');
    l.Chars(std::to_string(v));
}

AnsiString MakeTimed(char Code, AnsiView Network, uint32_t Seconds, AnsiView Client, bool On) {
    TCmdLine l(Code);
    l.Item(Network);
    // No time is an empty item, not "0".
    if (Seconds == 0)
        l.Item(AnsiView());
    else
        l.Number(Seconds);
    return l.Item(Client).Char(FlagChar(On)).Done();
}

AnsiString MakeNetworkItemFlag(char Code, AnsiView Network, AnsiView Value, char Flag) {
    return TCmdLine(Code).Item(Network).Item(Value).Char(Flag).Done();
}

// ---------------------------------------------------------------------------------------------
// Request reader.

// Reads one item into Value: trimmed, empty is not given, a given value must be UTF-8.
bool ReadValue(AnsiView& Rest, TZELCmdValue& Value) {
    int32_t len = 0;
    if (!ReadTlvLengthBounded(Rest, len)) return false;
    const AnsiView v = TrimView(Rest.substr(0, static_cast<size_t>(len)));
    Rest.remove_prefix(static_cast<size_t>(len));
    // Well-formed UTF-8 (no overlong form, surrogate or cut-off sequence) is exactly the text
    // that decodes and encodes again to the same bytes.
    if (!IsValidUtf8A(v)) return false;
    Value.Bytes.assign(v);
    Value.Text = DefaultAnsiToUnicodeU(v);
    return true;
}

bool ReadRequired(AnsiView& Rest, TZELCmdValue& Value) { return ReadValue(Rest, Value) && Value.Given(); }

bool ReadClientId(AnsiView& Rest, TZELCmdValue& Value) {
    return ReadRequired(Rest, Value) && IsValidSourceId(Value.Bytes);
}

// An item whose length is 0 ("00"), the argument of the requests that take none.
bool ReadEmptyItem(AnsiView& Rest) noexcept {
    int32_t len = 0;
    return ReadTlvLengthBounded(Rest, len) && len == 0;
}

// A decimal item within 0..Max.
bool ReadDecimalItem(AnsiView& Rest, uint32_t Max, int32_t& Value) {
    TZELCmdValue v;
    uint32_t n = 0;
    if (!ReadRequired(Rest, v) || !TryParseCmdDecimal(v.Bytes, n) || n > Max) return false;
    Value = static_cast<int32_t>(n);
    return true;
}

// Exactly one character left, one of Allowed.
bool ReadFlag(AnsiView Rest, AnsiView Allowed, char& Flag) noexcept {
    if (Rest.size() != 1 || Allowed.find(Rest[0]) == AnsiView::npos) return false;
    Flag = Rest[0];
    return true;
}

// Exactly "00" to "0<Max>" left.
bool ReadTwoDigits(AnsiView Rest, int32_t Max, int32_t& Value) noexcept {
    if (Rest.size() != 2 || Rest[0] != '0' || Rest[1] < '0' || Rest[1] > '0' + Max) return false;
    Value = Rest[1] - '0';
    return true;
}

bool ReadManagerMode(AnsiView Rest, TZELSystemManagerMode& Mode) noexcept {
    int32_t m = 0;
    if (!ReadTwoDigits(Rest, 3, m)) return false;
    Mode = static_cast<TZELSystemManagerMode>(m);
    return true;
}

// A number coded like an item's length ("8105" is 5), 1 to 4 length bytes, up to 4294967295.
bool ReadLengthFormNumber(AnsiView& Rest, uint32_t& Value) noexcept {
    uint8_t first = 0;
    if (!ReadTlvByte(Rest, first)) return false;
    if (first <= 128) {  // a first byte of exactly 128 is the number 128
        Value = first;
        return true;
    }
    const int n = first - 128;
    if (n > 4) return false;
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
        uint8_t b = 0;
        if (!ReadTlvByte(Rest, b)) return false;
        v = (v << 8) | b;
    }
    Value = v;
    return true;
}

bool IsKnownCode(char c) noexcept {
    return (c >= '1' && c <= '9') || (c >= 'A' && c <= 'T') || (c >= 'W' && c <= 'Z') || c == 'b';
}

// The arguments of one request (Rest: what follows "00c:").
bool ParseArguments(AnsiView Rest, TZELCmdRequest& R) {
    using C = TZELCmdRequestCode;
    switch (R.Code) {
        case C::fcrq_SetManagerPasswordByIndex:
            return ReadDecimalItem(Rest, 2, R.Index) && ReadRequired(Rest, R.Text);
        case C::fcrq_SetManagerPasswordByAddress:
            return ReadRequired(Rest, R.Address) && ReadRequired(Rest, R.Text);
        case C::fcrq_RereadAdmins:
            return ReadValue(Rest, R.Text);
        case C::fcrq_RereadMutes:
        case C::fcrq_RereadBlocks:
        case C::fcrq_RereadRights:
        case C::fcrq_RereadModes:
        case C::fcrq_RereadNotices:
            return ReadValue(Rest, R.Text) && Rest.empty();
        case C::fcrq_RereadAll:
        case C::fcrq_Stop:
        case C::fcrq_ReopenLog:
        case C::fcrq_Threads:
        case C::fcrq_FlushData:
        case C::fcrq_Uptime:
        case C::fcrq_Pid:
            return ReadEmptyItem(Rest);
        case C::fcrq_Ping:
            return true;
        case C::fcrq_List:
            return ReadValue(Rest, R.Network);
        case C::fcrq_Mute:
        case C::fcrq_Block: {
            TZELCmdValue time;
            uint32_t seconds = 0;
            if (!ReadRequired(Rest, R.Network) || !ReadValue(Rest, time)) return false;
            if (time.Given() && !TryParseCmdDecimal(time.Bytes, seconds)) return false;
            R.Seconds = ClampCmdTime(seconds);
            return ReadClientId(Rest, R.Client) && ReadFlag(Rest, "01", R.Flag);
        }
        case C::fcrq_Admin:
            return ReadRequired(Rest, R.Network) && ReadClientId(Rest, R.Client) &&
                   ReadFlag(Rest, "01", R.Flag);
        case C::fcrq_Right:
        case C::fcrq_RightMark:
            return ReadRequired(Rest, R.Network) && ReadRequired(Rest, R.Text) &&
                   ReadFlag(Rest, "01", R.Flag);
        case C::fcrq_NoticeSet:
            return ReadRequired(Rest, R.Network) && ReadRequired(Rest, R.Text);
        case C::fcrq_NoticeClear:
            return ReadRequired(Rest, R.Network);
        case C::fcrq_ConnMode:
        case C::fcrq_TalkMode:
            return ReadRequired(Rest, R.Network) && ReadFlag(Rest, "01?", R.Flag);
        case C::fcrq_ServerManagerMode:
            return ReadManagerMode(Rest, R.ManagerMode);
        case C::fcrq_NetManagerMode:
            return ReadRequired(Rest, R.Network) && ReadManagerMode(Rest, R.ManagerMode);
        case C::fcrq_MoveClient: {
            if (!ReadClientId(Rest, R.Client) || !ReadRequired(Rest, R.Network) ||
                !ReadRequired(Rest, R.Target))
                return false;
            uint32_t seconds = 0;
            if (!Rest.empty() && !ReadLengthFormNumber(Rest, seconds)) return false;
            R.Seconds = ClampCmdTime(seconds);
            return Rest.empty();
        }
        case C::fcrq_Disconnect:
            // The client item may be missing altogether: read as not given.
            if (!ReadValue(Rest, R.Network)) return false;
            if (!Rest.empty() && !ReadValue(Rest, R.Client)) return false;
            if (R.Client.Given() && (!R.Network.Given() || !IsValidSourceId(R.Client.Bytes))) return false;
            return true;
        case C::fcrq_LogText:
            return ReadRequired(Rest, R.Text);
        case C::fcrq_DisconnectManagerByIndex:
            return ReadTwoDigits(Rest, 2, R.Index);
        case C::fcrq_DisconnectManagerByAddress: {
            TZELCmdValue port;
            return ReadRequired(Rest, R.Address) && ReadRequired(Rest, port) &&
                   ParsePortA(port.Bytes, R.Port);
        }
        case C::fcrq_LogLevel:
            return ReadDecimalItem(Rest, 6, R.LogLevel);
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// List answer readers.

// Reads one item's raw bytes.
bool ReadRawItem(AnsiView& Rest, AnsiString& Value) {
    int32_t len = 0;
    if (!ReadTlvLengthBounded(Rest, len)) return false;
    Value.assign(Rest.substr(0, static_cast<size_t>(len)));
    Rest.remove_prefix(static_cast<size_t>(len));
    return true;
}

bool ReadCount(AnsiView Line, int32_t& Count) noexcept {
    uint32_t n = 0;
    if (!TryParseCmdDecimal(StripLineEnd(Line), n) || n > static_cast<uint32_t>(INT32_MAX)) return false;
    Count = static_cast<int32_t>(n);
    return true;
}

TZELChannelCommandAnswer AnswerOfLine(AnsiView Trimmed) noexcept {
    for (int i = 0; i < ZELChannelCommandAnswerCount; ++i) {
        const AnsiView wire = ZELChannelCommandAnswerTable[static_cast<size_t>(i)].Wire;
        if (!wire.empty() && StripLineEnd(wire) == Trimmed) return static_cast<TZELChannelCommandAnswer>(i);
    }
    return TZELChannelCommandAnswer::fsca_Unknown;
}

UnicodeString DecodeValue(AnsiView v, bool Utf8, TAnsiUnicodeConverter* Converter) {
    if (Utf8) return DefaultAnsiToUnicodeU(v);
    if (Converter != nullptr) return Converter->ToUnicode(v);
    return WidenStrU(v);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Answers.

TZELChannelCommandAnswer ReadCmdSimpleAnswer(AnsiView Line) noexcept {
    const AnsiView t = TrimView(Line);
    if (t.empty()) return TZELChannelCommandAnswer::fsca_NoAnswer;
    if (t.front() == '+') return TZELChannelCommandAnswer::fsca_OK;
    return AnswerOfLine(t);
}

TZELChannelCommandAnswer ReadCmdCountLine(AnsiView Line, int32_t& Count) noexcept {
    const AnsiView t = TrimView(Line);
    if (t.empty()) return TZELChannelCommandAnswer::fsca_NoAnswer;
    if (t.front() == '-') return AnswerOfLine(t);
    if (t.front() != '+' || !ReadCount(t.substr(1), Count)) return TZELChannelCommandAnswer::fsca_Unknown;
    return TZELChannelCommandAnswer::fsca_OK;
}

void AddCmdCountLine(TStringBldA& B, int64_t Count) {
    StrBldAAddChar(B, '+');
    StrBldAAdd(B, std::to_string(Count));
    StrBldAAddCRLF(B);
}

void AddCmdUptimeAnswer(TStringBldA& B, int64_t Seconds) {
    AddCmdCountLine(B, 1);
    StrBldAAdd(B, "Server uptime: ");
    StrBldAAdd(B, NarrowStrA(FormatDurationU(Seconds)));
    StrBldAAdd(B, " / ");
    StrBldAAdd(B, std::to_string(Seconds));
    StrBldAAddLn(B, " seconds");
}

void AddCmdPidAnswer(TStringBldA& B, int64_t Pid) {
    AddCmdCountLine(B, 1);
    StrBldAAddLn(B, std::to_string(Pid));
}

void AddCmdThreadsAnswer(TStringBldA& B, std::span<const int32_t> ClientCounts) {
    AddCmdCountLine(B, static_cast<int64_t>(ClientCounts.size()));
    for (int32_t n : ClientCounts) {
        StrBldAAddInt(B, n);
        StrBldAAddCRLF(B);
    }
}

// ---------------------------------------------------------------------------------------------
// Requests.

bool TryParseCmdDecimal(AnsiView Text, uint32_t& Value) noexcept {
    if (Text.empty()) return false;
    uint64_t v = 0;
    for (char c : Text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > UINT32_MAX) return false;
    }
    Value = static_cast<uint32_t>(v);
    return true;
}

AnsiString MakeCmdSetManagerPasswordByIndex(int32_t Index, AnsiView Password) {
    return TCmdLine('1').Item(std::to_string(Index)).Item(Password).Done();
}

AnsiString MakeCmdSetManagerPasswordByAddress(AnsiView Address, AnsiView Password) {
    return TCmdLine('2').Item(Address).Item(Password).Done();
}

AnsiString MakeCmdReread(TZELCmdRereadList List, AnsiView FileName) {
    return TCmdLine(static_cast<char>('3' + static_cast<int>(List))).Item(FileName).Done();
}

AnsiString MakeCmdListNetwork(AnsiView Network) { return TCmdLine('C').Item(Network).Done(); }

AnsiString MakeCmdMute(AnsiView Network, uint32_t Seconds, AnsiView Client, bool On) {
    return MakeTimed('D', Network, Seconds, Client, On);
}

AnsiString MakeCmdBlock(AnsiView Network, uint32_t Seconds, AnsiView Client, bool On) {
    return MakeTimed('E', Network, Seconds, Client, On);
}

AnsiString MakeCmdAdmin(AnsiView Network, AnsiView Client, bool Add) {
    return MakeNetworkItemFlag('F', Network, Client, FlagChar(Add));
}

AnsiString MakeCmdRight(AnsiView Network, AnsiView Key, bool Add) {
    return MakeNetworkItemFlag('G', Network, Key, FlagChar(Add));
}

AnsiString MakeCmdRightMark(AnsiView Network, AnsiView Key, bool Mark) {
    return MakeNetworkItemFlag('H', Network, Key, FlagChar(Mark));
}

AnsiString MakeCmdNoticeSet(AnsiView Network, AnsiView Text) {
    return TCmdLine('I').Item(Network).Item(Text).Done();
}

AnsiString MakeCmdNoticeClear(AnsiView Network) { return TCmdLine('J').Item(Network).Done(); }

AnsiString MakeCmdConnMode(AnsiView Network, char Flag) {
    return TCmdLine('K').Item(Network).Char(Flag).Done();
}

AnsiString MakeCmdTalkMode(AnsiView Network, char Flag) {
    return TCmdLine('L').Item(Network).Char(Flag).Done();
}

AnsiString MakeCmdServerManagerMode(TZELSystemManagerMode Mode) {
    TCmdLine l('N');
    AddTwoDigits(l, static_cast<int32_t>(Mode));
    return l.Done();
}

AnsiString MakeCmdNetManagerMode(AnsiView Network, TZELSystemManagerMode Mode) {
    TCmdLine l('O');
    l.Item(Network);
    AddTwoDigits(l, static_cast<int32_t>(Mode));
    return l.Done();
}

AnsiString MakeCmdMoveClient(AnsiView Client, AnsiView Source, AnsiView Target, uint32_t Seconds) {
    TCmdLine l('S');
    l.Item(Client).Item(Source).Item(Target);
    // The length writer takes the 32 bits as they are: above 2147483647 they still give "84" and
    // four bytes.
    StrBldAAddHexLen(l.Builder(), static_cast<int32_t>(Seconds));
    return l.Done();
}

AnsiString MakeCmdDisconnect(AnsiView Network, AnsiView Client) {
    return TCmdLine('T').Item(Network).Item(Client).Done();
}

AnsiString MakeCmdLogText(AnsiView Text) { return TCmdLine('W').Item(Text).Done(); }

AnsiString MakeCmdDisconnectManagerByIndex(int32_t Index) {
    TCmdLine l('Y');
    AddTwoDigits(l, Index);
    return l.Done();
}

AnsiString MakeCmdDisconnectManagerByAddress(AnsiView Address, uint16_t Port) {
    return TCmdLine('Z').Item(Address).Item(std::to_string(Port)).Done();
}

AnsiString MakeCmdSetLogLevel(int32_t Level) { return TCmdLine('b').Item(std::to_string(Level)).Done(); }

TZELCmdLineKind PrepareCmdRequestLine(AnsiView Raw, AnsiView& Line) noexcept {
    const bool hasLf = !Raw.empty() && Raw.back() == '\n';
    if (Raw.size() + (hasLf ? 0 : 1) > static_cast<size_t>(ZELCmdMaxLineLength))
        return TZELCmdLineKind::fclk_Invalid;
    // Only a line end that is still there is dropped: the collector has already taken LF and one
    // CR, and a second CR is a control byte of the line like any other.
    const AnsiView s = hasLf ? StripLineEnd(Raw) : Raw;
    if (HasCtrlChars(s)) return TZELCmdLineKind::fclk_Invalid;
    Line = TrimView(s);
    return Line.empty() ? TZELCmdLineKind::fclk_Blank : TZELCmdLineKind::fclk_Request;
}

bool ParseCmdRequest(AnsiView Line, TZELCmdRequest& Request) {
    if (Line.size() <= 5 || Line[0] != '0' || Line[1] != '0' || Line[3] != ':' || !IsKnownCode(Line[2]))
        return false;
    TZELCmdRequest r;
    r.Code = static_cast<TZELCmdRequestCode>(Line[2]);
    if (!ParseArguments(Line.substr(4), r)) return false;
    Request = std::move(r);
    return true;
}

// ---------------------------------------------------------------------------------------------
// List answers.

void AddCmdNetworkLine(TStringBldA& B, AnsiView Name, AnsiView CharsetName, AnsiView ParrotId) {
    StrBldAAddLV(B, Name);
    StrBldAAddLV(B, CharsetName);
    StrBldAAddLV(B, ParrotId);
    StrBldAAddCRLF(B);
}

void AddCmdMemberLine(TStringBldA& B, const TZELCmdMemberLine& Member) {
    StrBldAAddChar(B, static_cast<char>('0' + static_cast<int>(Member.Privilege)));
    StrBldAAddLV(B, Member.Address);
    StrBldAAddLV(B, Member.EMail);
    StrBldAAddHexLen(B, 3);
    for (const AnsiString& id : Member.ManagerIds) StrBldAAddLV(B, id);
    StrBldAAdd(B, std::to_string(Member.ExtensionFlags));
    StrBldAAddCRLF(B);
}

void AddCmdClientLine(TStringBldA& B, uint8_t Status, const TZELCmdClientFields& Fields) {
    StrBldAAddHexByte(B, Status);
    StrBldAAddTLV(B, '5', Fields.Country);
    StrBldAAddTLV(B, '6', Fields.City);
    StrBldAAddTLV(B, '3', Fields.Band);
    StrBldAAddTLV(B, '2', Fields.Callsign);
    StrBldAAddTLV(B, '8', Fields.Id);
    StrBldAAddTLV(B, '4', Fields.Description);
    StrBldAAddCRLF(B);
}

void AddCmdListBlock(TStringBldA& B, const TZELCmdListBlock& Block) {
    StrBldAAdd(B, Block.NetworkLine);
    StrBldAAddInt(B, Block.ClientCount);
    StrBldAAddCRLF(B);
    StrBldAAdd(B, Block.ClientLines);
    StrBldAAdd(B, Block.MemberLines);
}

void AddCmdListAnswer(TStringBldA& B, std::span<const TZELCmdListBlock> Blocks) {
    int64_t total = 0;
    for (const TZELCmdListBlock& b : Blocks) total += CmdListBlockLineCount(b.ClientCount);
    AddCmdCountLine(B, total);
    for (const TZELCmdListBlock& b : Blocks) AddCmdListBlock(B, b);
}

bool ReadCmdNetworkLine(AnsiView Line, TZELCmdNetworkLine& Network) {
    AnsiView rest = StripLineEnd(Line);
    TZELCmdNetworkLine n;
    if (!ReadRawItem(rest, n.Name) || !ReadRawItem(rest, n.CharsetName) || !ReadRawItem(rest, n.ParrotId) ||
        !rest.empty())
        return false;
    Network = std::move(n);
    return true;
}

bool ReadCmdMemberLine(AnsiView Line, TZELCmdMemberLine& Member) {
    AnsiView rest = StripLineEnd(Line);
    TZELCmdMemberLine m;
    if (rest.empty() || rest[0] < '0' || rest[0] > '3') return false;
    m.Privilege = static_cast<TZELClientPrivilege>(rest[0] - '0');
    rest.remove_prefix(1);
    uint32_t more = 0;
    if (!ReadRawItem(rest, m.Address) || !ReadRawItem(rest, m.EMail) || !ReadLengthFormNumber(rest, more))
        return false;
    // Further items beyond the three manager ids are read over.
    AnsiString extra;
    for (uint32_t i = 0; i < more; ++i)
        if (!ReadRawItem(rest, i < 3 ? m.ManagerIds[i] : extra)) return false;
    if (!TryParseCmdDecimal(rest, m.ExtensionFlags)) return false;
    Member = std::move(m);
    return true;
}

bool ReadCmdListAnswer(std::span<const AnsiString> Lines, std::vector<TZELCmdListNetwork>& Networks) {
    size_t i = 0;
    while (i < Lines.size()) {
        TZELCmdListNetwork net;
        int32_t count = 0;
        if (!ReadCmdNetworkLine(Lines[i], net.Network) || i + 1 >= Lines.size() ||
            !ReadCount(Lines[i + 1], count))
            return false;
        i += 2;
        // The count is checked against the lines at hand before anything is taken.
        if (static_cast<uint64_t>(count) * 2 > Lines.size() - i) return false;
        const size_t first = i;
        for (int32_t k = 0; k < count; ++k) net.ClientLines.push_back(Lines[first + static_cast<size_t>(k)]);
        i += static_cast<size_t>(count);
        for (int32_t k = 0; k < count; ++k, ++i) {
            TZELCmdMemberLine m;
            if (!ReadCmdMemberLine(Lines[i], m)) return false;
            net.Members.push_back(std::move(m));
        }
        Networks.push_back(std::move(net));
    }
    return true;
}

bool DecodeClientStatus(AnsiView TwoHexChars, TZELClientRec& Rec) {
    uint8_t b = 0;
    if (TwoHexChars.size() < 2 || !ReadTlvByte(TwoHexChars, b)) return false;
    if ((b & 3) == 3 || (b & 0x30) == 0x30) return false;
    Rec.VisibleStatus = b & 3;
    Rec.Muted = (b >> 3) & 1;
    Rec.ListenOnly = (b >> 2) & 1;
    Rec.ClientType = (b >> 4) & 3;
    Rec.Utf8 = (b >> 7) & 1;
    return true;
}

void DecodeClientLine(AnsiView Line, TZELClientRec& Rec, TAnsiUnicodeConverter* Converter) {
    AnsiView rest = StripLineEnd(Line);
    ClearClientRec(Rec);
    if (rest.size() < 2) throw EZELClientLineError("Data is too short");
    if (!DecodeClientStatus(rest.substr(0, 2), Rec)) throw EZELClientLineError("Invalid status");
    rest.remove_prefix(2);
    if (HasCtrlChars(rest)) throw EZELClientLineError("Invalid format client line");
    const bool utf8 = Rec.Utf8 != 0;
    while (!rest.empty()) {
        const char tag = rest[0];
        rest.remove_prefix(1);
        int32_t len = 0;
        if (!ReadTlvLengthBounded(rest, len)) throw EZELClientLineError("Invalid TLV");
        const AnsiView v = rest.substr(0, static_cast<size_t>(len));
        rest.remove_prefix(static_cast<size_t>(len));
        UnicodeString* field = nullptr;
        switch (tag) {
            case '5': field = &Rec.Country; break;
            case '6': field = &Rec.City; break;
            case '3': field = &Rec.Band; break;
            case '2': field = &Rec.Callsign; break;
            case '8': field = &Rec.Id; break;
            case '4': field = &Rec.Description; break;
            default: break;  // "0", "1", "7" and unknown tags
        }
        if (field != nullptr) *field = DecodeValue(v, utf8, Converter);
    }
}

}  // namespace zel
