#include "clients/dmq_zel_svc_client_commands.hpp"

#include <algorithm>
#include <memory>
#include <string>

#include "clients/dmq_zel_svc_connect_line.hpp"
#include "clients/dmq_zel_svc_packets.hpp"
#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "foundation/dmq_zel_classes.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

namespace {

using DC = TZELSVCDisconnectCause;
using Q = TZELSVCNetQueueCommand;

constexpr int32_t kMaxCommandFields = 10;
constexpr int32_t kMaxMessageFields = 8;
constexpr int32_t kMaxText = 500;
// Privilege bits by TZELClientPrivilege: 0x1 mutes and blocks, 0x2 administrators.
constexpr uint8_t kPrivilegeBits[4] = {0, 1, 7, 7};

// The commands that name a client by its id (field IP).
struct TIdCommand {
    AnsiView Prefix;
    TZELSVCNetQueueCommand Code;
    uint8_t Bit;
    bool Time;  // TI with TempMuteBlock
};
constexpr TIdCommand kIdCommands[] = {
    {"MC:", Q::fsnq_ClientMute, 1, true},       {"UM:", Q::fsnq_ClientUnmute, 1, false},
    {"BC:", Q::fsnq_ClientBlock, 1, true},      {"UC:", Q::fsnq_ClientUnblock, 1, false},
    {"AA:", Q::fsnq_ClientAddAdmin, 2, false},  {"DA:", Q::fsnq_ClientDeleteAdmin, 2, false}};

// The owners' commands that name a client by its e-mail (field EA).
struct TMailCommand {
    AnsiView Prefix;
    TZELSVCNetQueueCommand Code;
    bool NeedsUtf8;  // an EAU given must not be empty
};
constexpr TMailCommand kMailCommands[] = {{"AT:", Q::fsnq_ClientAddRight, false},
                                          {"DT:", Q::fsnq_ClientDeleteRight, false},
                                          {"ETX:", Q::fsnq_ClientMarkRight, true},
                                          {"RTX:", Q::fsnq_ClientUnmarkRight, true}};

bool HasCtrlBytes(AnsiView S) {
    return std::any_of(S.begin(), S.end(), [](char c) { return IsCtrlChar(static_cast<unsigned char>(c)); });
}

// An untagged item: its hex length, then that many bytes, within Rest.
bool ReadTlvValue(AnsiView& Rest, AnsiView& Value) {
    int32_t len = 0;
    if (!ReadTlvLengthBounded(Rest, len)) return false;
    Value = Rest.substr(0, static_cast<size_t>(len));
    Rest.remove_prefix(static_cast<size_t>(len));
    return true;
}

// Valid UTF-8 decoded, cut to Max characters, trimmed and encoded again; false when not UTF-8.
bool CutUtf8Text(AnsiView S, int32_t Max, AnsiString& Out) {
    if (!IsValidUtf8A(S)) return false;
    Out = UnicodeToUtf8A(TrimU(CutToCodePointsU(DecodeUtf8U(S), Max)));
    return true;
}

}  // namespace

AnsiString BuildTextPacket(char Type, AnsiView Id, AnsiView Text, bool Private) {
    AnsiString p;
    p.reserve(Id.size() + Text.size() + 12);
    p += Type;
    p += "3\r\n";
    p += Id;
    p += "\r\n";
    p += Text;
    p += "\r\n";
    p += Private ? "P\r\n" : "A\r\n";
    return p;
}

UnicodeString ClientBytesLogText(UnicodeView ServerCharset, AnsiView Bytes) {
    TAnsiUnicodeConverter conv;
    OpenClientCharset(conv, ServerCharset);
    return EscapeLogTextU(conv.ToUnicode(Bytes));
}

bool ParseClientCommandLine(AnsiView Line, const TZELClientCommandSender& Sender, TZELClientLine& Out,
                            TZELClientCommandRefusal& Refusal) {
    Out = TZELClientLine{};
    Refusal = TZELClientCommandRefusal{};
    const auto refuse = [&](UnicodeView Prefix, bool Quoted) {
        UnicodeString t(Prefix);
        if (Quoted) t += u'"';
        t += ClientBytesLogText(Sender.Charset, Line);
        if (Quoted) t += u'"';
        Refusal.HasText = true;
        Refusal.Text = std::move(t);
        return false;
    };
    const auto noPrivilege = [&](UnicodeView Text) {
        Refusal.Cause = DC::fsdc_PrivilegeViolation;
        Refusal.HasText = true;
        Refusal.Text = UnicodeString(Text);
        return false;
    };
    // The sender's charset, opened only for the texts that are cut or counted.
    std::unique_ptr<TAnsiUnicodeConverter> conv;
    const auto charset = [&]() -> TAnsiUnicodeConverter& {
        if (!conv) {
            conv = std::make_unique<TAnsiUnicodeConverter>();
            OpenClientCharset(*conv, Sender.Charset);
        }
        return *conv;
    };
    TTaggedField fields[kMaxCommandFields];
    TTaggedFieldParser parser;
    parser.Fields = fields;
    // The fields after the prefix: false for none or a malformed run; control bytes set the cause.
    const auto parseFields = [&](size_t PrefixLen, int32_t Max) {
        parser.Capacity = Max;
        const AnsiView rest = Line.substr(PrefixLen);
        const int32_t n = ParseTaggedFields(parser, rest.data(), static_cast<int32_t>(rest.size()));
        if (n == -2) Refusal.Cause = DC::fsdc_InvalidCharacter;
        return n > 0;
    };
    const uint32_t sef = Sender.Extensions;
    const bool owner = Sender.NetOwner;
    const UnicodeString cmd = WidenStrU(Line.substr(0, Line.find(':')));

    // Administrators' commands by client id.
    for (const TIdCommand& c : kIdCommands) {
        if (Line.substr(0, 3) != c.Prefix) continue;
        if ((kPrivilegeBits[static_cast<size_t>(Sender.Privilege) & 3] & c.Bit) == 0)
            return noPrivilege(u"Client has no privilege for " + cmd + u" command");
        const UnicodeString bad = u"Invalid " + cmd + u" command: ";
        if (!parseFields(3, kMaxCommandFields)) return refuse(bad, false);
        const AnsiView ip = TrimmedFieldValue(FindTaggedField(parser, "IP"));
        if (ip.empty() || !IsValidSourceId(ip)) return refuse(bad, false);
        int32_t time = 0;
        if (c.Time && (sef & ZELExtTempMuteBlock) != 0) {
            if (const TTaggedField* ti = FindTaggedField(parser, "TI"))
                if (!TryStrToInt32A(TrimmedFieldValue(ti), time) || time < 0) return refuse(bad, false);
        }
        Out.Code = c.Code;
        Out.Text1.assign(ip);
        Out.Value = time;
        return true;
    }

    // Owners' commands.
    const bool switchLine = Line.substr(0, 4) == "ENA:" || Line.substr(0, 4) == "TXR:";
    if (switchLine) {
        if (Line.size() != 5 || (Line[4] != '0' && Line[4] != '1')) return false;
        if (!owner) return noPrivilege(u"Client is not a network owner");
        if (Line[0] == 'E')
            Out.Code = Line[4] == '0' ? Q::fsnq_ClientConnModeOff : Q::fsnq_ClientConnModeOn;
        else
            Out.Code = Line[4] == '0' ? Q::fsnq_ClientTalkModeOff : Q::fsnq_ClientTalkModeOn;
        return true;
    }
    for (const TMailCommand& c : kMailCommands) {
        if (Line.substr(0, c.Prefix.size()) != c.Prefix) continue;
        if (!owner) return noPrivilege(u"Client is not a network owner");
        const UnicodeString bad = u"Invalid " + cmd + u" command: ";
        if (!parseFields(c.Prefix.size(), kMaxCommandFields)) return refuse(bad, false);
        const AnsiView ea = TrimmedFieldValue(FindTaggedField(parser, "EA"));
        if (ea.empty()) return refuse(bad, false);
        if ((sef & ZELExtUtf8) != 0) {
            const TTaggedField* eau = FindTaggedField(parser, "EAU");
            if (eau != nullptr && c.NeedsUtf8 && TrimmedFieldValue(eau).empty()) return refuse(bad, false);
            Out.Text2.assign(TrimmedFieldValue(eau));
        }
        Out.Code = c.Code;
        Out.Text1.assign(ea);
        Out.Value = -1;
        return true;
    }
    if (Line.substr(0, 3) == "AI:") {
        if (!owner) return noPrivilege(u"Client is not a network owner");
        if (!parseFields(3, kMaxCommandFields)) return refuse(u"Invalid AI command: ", false);
        const TTaggedField* sms = FindTaggedField(parser, "SMS");
        if (sms == nullptr) return refuse(u"Invalid AI command: ", false);
        Out.Code = Q::fsnq_ClientNotice;
        Out.Text1 = CutToWholeChars(charset(), sms->ValueView(), kMaxText);
        return true;
    }
    if (Line.substr(0, 4) == "AIU:") {
        if (!owner) return noPrivilege(u"Client is not a network owner");
        const UnicodeView bad = u"Invalid AIU(EXT) command: ";
        AnsiView rest = Line.substr(std::min<size_t>(4, Line.size())), text, utf8;
        if (Line.size() < 8 || HasCtrlBytes(Line) || !ReadTlvValue(rest, text) || !ReadTlvValue(rest, utf8) ||
            !rest.empty() || !IsValidUtf8A(utf8))
            return refuse(bad, false);
        // Both texts are compared by their characters, whatever the server's charset.
        UnicodeString decoded;
        try {
            decoded = charset().ToUnicode(text);
        } catch (const std::exception&) {
            return refuse(bad, false);
        }
        if (CodePointCountU(decoded) != Utf8CharCount(utf8.data(), static_cast<int32_t>(utf8.size())))
            return refuse(bad, false);
        Out.Code = Q::fsnq_ClientNoticeUtf8;
        Out.Text1 = CutToWholeChars(charset(), text, kMaxText);
        Out.Text2 = UnicodeToUtf8A(CutToCodePointsU(DecodeUtf8U(utf8), kMaxText));
        return true;
    }

    // Text messages.
    if (Line.substr(0, 3) == "TM:") {
        const UnicodeView bad = u"invalid message command: ";
        if (!parseFields(3, kMaxMessageFields)) return refuse(bad, true);
        const TTaggedField* ms = FindTaggedField(parser, "MS");
        const AnsiView id = TrimmedFieldValue(FindTaggedField(parser, "ID"));
        if (ms == nullptr || (!id.empty() && !IsValidSourceId(id))) return refuse(bad, true);
        AnsiString text;
        try {
            text = CutToWholeChars(charset(), ms->ValueView(), kMaxText);
        } catch (const std::exception&) {
            return refuse(bad, true);
        }
        Out.Code = Q::fsnq_ClientMessage;
        Out.Text1.assign(id);
        Out.Text2 = BuildTextPacket(ZELPacketText, Sender.Id, text, !id.empty());
        return true;
    }
    if (Line.substr(0, 4) == "TME:") {
        const UnicodeView bad = u"invalid message(EXT) command: ";
        AnsiView rest = Line.substr(std::min<size_t>(4, Line.size())), id, text, utf8;
        if (Line.size() < 10 || HasCtrlBytes(Line) || !ReadTlvValue(rest, id) || !ReadTlvValue(rest, text) ||
            !ReadTlvValue(rest, utf8) || (!id.empty() && !IsValidSourceId(id)))
            return refuse(bad, true);
        AnsiString cut, cutUtf8;
        try {
            cut = CutToWholeChars(charset(), text, kMaxText);
        } catch (const std::exception&) {
            return refuse(bad, true);
        }
        if (!CutUtf8Text(utf8, kMaxText, cutUtf8)) return refuse(bad, true);
        Out.Code = Q::fsnq_ClientMessageExt;
        Out.Text1.assign(id);
        Out.Text2 = BuildTextPacket(ZELPacketText, Sender.Id, cut, !id.empty());
        Out.Text3 = BuildTextPacket(ZELPacketTextUtf8, Sender.Id, cutUtf8, !id.empty());
        return true;
    }

    // An owner moves a client.
    if (Line.substr(0, 4) == "MVU:") {
        if ((sef & ZELExtMoveClient) == 0) return noPrivilege(u"Client has no privilege for MVU command");
        const UnicodeView bad = u"invalid \"move client\" command: ";
        AnsiView rest = Line.substr(4), id, net;
        int32_t number = 0;
        if (Line.size() < 12 || HasCtrlBytes(Line) || !ReadTlvValue(rest, id) || id.size() != 24 ||
            !IsValidSourceId(id) || !ReadTlvValue(rest, net) || net.empty() || !IsValidUtf8A(net) ||
            UnicodeToUtf8A(DecodeUtf8U(net)) != net || !ReadTlvNumber(rest, number) || number < 0)
            return refuse(bad, true);
        Out.Kind = TZELClientLine::clk_Move;
        Out.Text1.assign(id);
        Out.Text2.assign(net);
        Out.Value = number;
        return true;
    }
    // Anything else (an empty, one- or two-byte line among them): refused with the line itself.
    return false;
}

}  // namespace zel
