#include "clients/dmq_zel_svc_context.hpp"

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>

#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "foundation/dmq_zel_classes.hpp"
#include "net/dmq_snps_idn.hpp"
#include "net/dmq_sock.hpp"
#include "clients/dmq_zel_svc_network.hpp"
#include "clients/dmq_zel_svc_packets.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_svc_networks_list.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

namespace {

using DC = TZELSVCDisconnectCause;
using Q = TZELSVCNetQueueCommand;

// Takes the place of an empty password: a fixed upper-case letter.
constexpr char kEmptyPassword[] = "X";

// Client log levels of the parse messages.
constexpr int32_t kLevelParse = 1;
constexpr int32_t kLevelUtf8Part = 2;
constexpr int32_t kLevelDetail = 6;
constexpr int32_t kLevelAlways = 0;

// Field caps in bytes (ANSI) or characters (UTF-8 part).
constexpr int32_t kCapPassword = 100;
constexpr int32_t kCapCallsign = 50;
constexpr int32_t kCapBand = 36;
constexpr int32_t kCapCity = 64;
constexpr int32_t kCapDescription = 70;
constexpr int32_t kCapCountry = 36;
constexpr int32_t kCapNetwork = 32;

constexpr int32_t kMaxFields = 64;

// Accept marks by manager mode (row) and answer code (column).
constexpr bool kManagerAccept[4][6] = {
    {true, true, true, true, true, true},
    {true, true, true, true, true, true},
    {true, true, true, false, false, true},
    {true, true, false, false, false, false},
};

AnsiView TrimmedValue(const TTaggedField* F) {
    if (F == nullptr) return AnsiView();
    const char* p = F->Value;
    int32_t len = F->ValueLen;
    TrimPCharLen(p, len);
    return AnsiView(p, static_cast<size_t>(len));
}

// At most MaxBytes of S, cut where a character of the server's set begins: converted to UTF-16 and
// back only when it is too long, so that text within the cap keeps its bytes.
AnsiString CutToBytes(TAnsiUnicodeConverter& Converter, AnsiView S, int32_t MaxBytes) {
    if (S.size() <= static_cast<size_t>(MaxBytes)) return AnsiString(S);
    return EncodeCutToBytes(Converter, MaxBytes, Converter.ToUnicode(S));
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Characters (code points) of a UTF-16 text; a lone surrogate counts as one.
int32_t CharCount(UnicodeView S) {
    int32_t n = 0;
    for (size_t i = 0; i < S.size(); ++i) {
        if (IsHighSurrogate(S[i]) && i + 1 < S.size() && IsLowSurrogate(S[i + 1])) ++i;
        ++n;
    }
    return n;
}

// The first Max characters, never half a surrogate pair.
UnicodeString CutToChars(UnicodeView S, int32_t Max) {
    size_t i = 0;
    for (int32_t n = 0; n < Max && i < S.size(); ++n) {
        if (IsHighSurrogate(S[i]) && i + 1 < S.size() && IsLowSurrogate(S[i + 1])) ++i;
        ++i;
    }
    return UnicodeString(S.substr(0, i));
}

// The UTF-8 length of a UTF-16 text, a surrogate pair counting 4.
size_t Utf8LengthOf(UnicodeView S) {
    size_t n = 0;
    for (size_t i = 0; i < S.size(); ++i) {
        const char16_t c = S[i];
        if (c < 0x80) {
            n += 1;
        } else if (c < 0x800) {
            n += 2;
        } else if (IsHighSurrogate(c) && i + 1 < S.size() && IsLowSurrogate(S[i + 1])) {
            n += 4;
            ++i;
        } else {
            n += 3;
        }
    }
    return n;
}

// Strict: well-formed UTF-8 only (no overlong form, no surrogate, no cut sequence), and the
// UTF-16 text must count back to the same length.
bool DecodeUtf8Strict(AnsiView S, UnicodeString& Text) {
    if (!IsValidUtf8A(S)) return false;
    UnicodeString t = Utf8BufToUnicodeU(S.data(), static_cast<int32_t>(S.size()));
    if (Utf8LengthOf(t) != S.size()) return false;
    Text = std::move(t);
    return true;
}

char TypeDigit(TZELClientType T) { return static_cast<char>('0' + static_cast<int>(T)); }

UnicodeString Cat(std::initializer_list<UnicodeView> Parts) {
    UnicodeString s;
    for (UnicodeView p : Parts) s += p;
    return s;
}

// A field of the sort key: the bytes cut or filled with blanks to Width.
void AddFixedWidth(TStringBldA& B, AnsiView S, int32_t Width) {
    const int32_t n = static_cast<int32_t>(std::min(S.size(), static_cast<size_t>(Width)));
    StrBldAAddBuf(B, S.data(), n);
    StrBldAAddChars(B, ' ', Width - n);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction.

TZELSVCContext::TZELSVCContext(TZELService* Owner, int32_t Handle, AnsiView PeerText, int32_t ConnValue,
                               int32_t Extra)
    : TZELSVCWrkCtx(Owner, Handle, PeerText, ConnValue, Extra) {
    Tag = ZELWrkCtxTagClient;
    // All three links' records: a client may be asked by every link.
    for (TZELSVCContextManagerInfo& m : ManagerInfo) m = TZELSVCContextManagerInfo{};
    LastActivity = ConnectTick = GetTickMs();
    StrBldAInit(RecvLine, 250);
    StrBldAInit(Answer, 150);
    LogName = Cat({u"Client: ", WidenStrU(this->PeerText()), u" ", WidenStrU(ConnText())});
}

TZELSVCContext::~TZELSVCContext() = default;

bool TZELSVCContext::vIsOutputOverLimit(int32_t) const { return false; }

int32_t TZELSVCContext::ClientLogLevel() const noexcept { return Owner ? Owner->LogClientLevel.load(std::memory_order_relaxed) : 0; }

void TZELSVCContext::OpenServerCharset(TAnsiUnicodeConverter& Converter) const {
    const UnicodeString charset = Owner ? Owner->GetServerCharsetName() : UnicodeString();
    Converter.SetCharset(charset.empty() ? UnicodeView(u"UTF-8") : UnicodeView(charset));
}

UnicodeString TZELSVCContext::LogTextOf(AnsiView Bytes) const {
    TAnsiUnicodeConverter conv;
    OpenServerCharset(conv);
    return EscapeLogTextU(conv.ToUnicode(Bytes));
}

void TZELSVCContext::LogAtLevel(int32_t Level, UnicodeView Text) {
    if (ClientLogLevel() >= Level) LogError(Text);
}

uint32_t TZELSVCContext::CapsOfVersion(int32_t Version) noexcept {
    uint32_t caps = 0;
    if (Version < 2010002) caps |= ZELCapsKP;
    if (Version <= 2012002) caps |= ZELCapsOwnerWord;
    if (Version >= 2014003) caps |= ZELCapsOwnTexts;
    return caps;
}

// ---------------------------------------------------------------------------------------------
// Connect line.

void TZELSVCContext::ParseConnectString(AnsiView Line) {
    ConnectText = "CT:";
    ConnectText += Line;
    HandshakeResult = ZELLoginInvalid;

    TAnsiUnicodeConverter conv;
    OpenServerCharset(conv);
    const auto fail = [this](DC C, UnicodeView Message) {
        SetDisconnectCause(C);
        LogAtLevel(kLevelParse, Message);
    };

    // 1. The fields.
    TTaggedField fields[kMaxFields];
    TTaggedFieldParser parser;
    parser.Fields = fields;
    parser.Capacity = kMaxFields;
    const int32_t n = ParseTaggedFields(parser, Line.data(), static_cast<int32_t>(Line.size()));
    if (n == -2) return fail(DC::fsdc_InvalidCharacter, u"Connect string contains wrong characters");
    if (n <= 0) return fail(DC::fsdc_InvalidConnectString, u"No fields on connect string");

    // 2. The mandatory tags.
    const bool defaultCountry = Owner && !Owner->DefaultCountryCharset().empty();
    TZELSVCNetworkBase* const defaultNet = Owner ? Owner->DefaultNetwork() : nullptr;
    static constexpr struct {
        std::string_view Tag;
        std::u16string_view Missing;
    } kRequired[8] = {
        {"VX", u"No ANSI VX [ClientVersion] field"}, {"EA", u"No ANSI EA [EmailAddress] field"},
        {"PW", u"No ANSI PW [Password] field"},      {"ON", u"No ANSI ON [CallsignOpname] field"},
        {"BC", u"No ANSI BC [BandChannel] field"},   {"CT", u"No ANSI CT [City - CityPart] field"},
        {"NN", u"No ANSI NN [Country] field"},       {"NT", u"No ANSI NT [Network] field"},
    };
    const TTaggedField* req[8];
    for (int i = 0; i < 8; ++i) {
        req[i] = FindTaggedField(parser, kRequired[i].Tag);
        if (req[i] != nullptr || (i == 6 && defaultCountry) || (i == 7 && defaultNet != nullptr)) continue;
        return fail(DC::fsdc_InvalidConnectString, kRequired[i].Missing);
    }
    const auto [fVX, fEA, fPW, fON, fBC, fCT, fNN, fNT] = req;

    // 3. From here on a failure refuses the login.
    HandshakeResult = ZELLoginBlock;
    // A text that goes into other members' list entries must not be able to close its element and
    // open a forged one (an id, above all), nor to split a list line.
    const auto forged = [this](AnsiView Value, UnicodeView Field) {
        if (IsSafeElementTextA(Value)) return false;
        HandshakeResult = ZELLoginWrong;
        LogAtLevel(kLevelParse, Cat({u"Forbidden characters in ANSI ", Field, u" field"}));
        return true;
    };
    const TTaggedField* fDS = FindTaggedField(parser, "DS");
    const TTaggedField* fCEF = FindTaggedField(parser, "CEF");
    const TTaggedField* fU8TF = FindTaggedField(parser, "U8TF");

    // 4. Version.
    const AnsiView vx = TrimmedValue(fVX);
    if (vx.empty()) return LogAtLevel(kLevelParse, u"Empty ANSI VX [ClientVersion] field");
    int32_t version = 0;
    if (!TryStrToInt32A(vx, version)) return LogAtLevel(kLevelParse, u"Wrong value of ANSI VX [ClientVersion] field");
    ClientVersion = version;

    // 5. Band and client type.
    const AnsiView bc = TrimmedValue(fBC);
    if (forged(bc, u"BC [BandChannel]")) return;
    Band = bc.empty() ? AnsiString("PC Only") : CutToBytes(conv, bc, kCapBand);
    BandU = conv.ToUnicode(Band);
    ClientType = ClientTypeFromBand(Band);
    HandshakeResult = ZELLoginWrong;

    // 6. E-mail.
    const AnsiView ea = TrimmedValue(fEA);
    if (ea == "@") {
        HandshakeResult = ZELLoginBlock;
        return;
    }
    if (ea.empty()) return LogAtLevel(kLevelParse, u"Empty ANSI EA [EmailAddress] field");
    if (forged(ea, u"EA [EmailAddress]")) return;
    EMail.assign(ea);
    EMailKey = PadKey8A(EMail);
    EMailU = conv.ToUnicode(EMail);

    // 7. Password.
    const AnsiView pw = TrimmedValue(fPW);
    Password = pw.empty() ? AnsiString(kEmptyPassword) : CutToBytes(conv, pw, kCapPassword);
    PasswordU = conv.ToUnicode(Password);

    // 8. Callsign.
    const AnsiView on = TrimmedValue(fON);
    if (on.empty()) return LogAtLevel(kLevelParse, u"Empty ANSI ON [CallsignOpname] field");
    if (forged(on, u"ON [CallsignOpname]")) return;
    Callsign = CutToBytes(conv, on, kCapCallsign);
    CallsignKey = PadKey8A(Callsign);
    CallsignU = conv.ToUnicode(Callsign);

    // 9. City.
    const AnsiView ct = TrimmedValue(fCT);
    if (ct.empty()) return LogAtLevel(kLevelParse, u"Empty ANSI CT [CityCityPart] field");
    if (forged(ct, u"CT [CityCityPart]")) return;
    City = CutToBytes(conv, ct, kCapCity);
    CityU = conv.ToUnicode(City);

    // 10. Type bits and capabilities.
    ClientFlags.store((ClientFlags.load() & ~ZELClientTypeMask) | (static_cast<uint32_t>(ClientType) << 4));
    Caps = CapsOfVersion(ClientVersion);

    // 11. Network text.
    const AnsiView nt = TrimmedValue(fNT);
    if (!nt.empty())
        Network = CutToBytes(conv, nt, kCapNetwork);
    else if (defaultNet != nullptr)
        Network = defaultNet->ClientNameA();
    NetworkU = conv.ToUnicode(Network);

    // 12. Description.
    const AnsiView ds = TrimmedValue(fDS);
    if (forged(ds, u"DS [Description]")) return;
    if (!ds.empty()) {
        Description = CutToBytes(conv, ds, kCapDescription);
        DescriptionU = conv.ToUnicode(Description);
    }

    // 13. Extension flags.
    const AnsiView cef = TrimmedValue(fCEF);
    if (!cef.empty()) {
        int32_t value = 0;
        if (!TryStrToInt32A(cef, value)) {
            HandshakeResult = ZELLoginBlock;
            return LogAtLevel(kLevelParse, Cat({u"Wrong CEF [Tolvenar Extention Flags] field: ", conv.ToUnicode(cef)}));
        }
        if (ClientLogLevel() >= kLevelDetail)
            LogText(Cat({u"Requested Tolvenar Extention Flags: ", WidenStrU(std::to_string(value)), u": ",
                         ExtensionFlagsToText(static_cast<uint32_t>(value))}));
        RequestedFlags = AdjustExtensionFlags(static_cast<uint32_t>(value)) & ZELExtRequestMask;
    }

    // 14. The UTF-8 part, when asked for.
    if ((RequestedFlags & ZELExtUtf8) != 0) {
        const AnsiView part = fU8TF ? fU8TF->ValueView() : AnsiView();
        if (!ParseUtf8Part(part, pw.empty() ? AnsiView(Password) : pw, conv)) {
            HandshakeResult = ZELLoginInvalid;
            SetDisconnectCause(DC::fsdc_WrongUnicodePart);
            return;
        }
    }
    const bool utf8 = (ClientFlags.load() & ZELClientUtf8) != 0;

    // 15. What the server grants now (the rest at the join).
    if (RequestedFlags != 0) {
        Caps |= ZELCapsExtensions;
        uint32_t flags = ClientFlags.load();
        if (RequestedFlags & ZELExtSoundAck) {
            flags |= ZELClientSoundAck;
            AcceptedFlags |= ZELExtSoundAck;
        }
        const uint32_t format = RequestedFlags & ZELExtListFormat;
        flags = (flags & ~ZELClientListFormatMask) | (format << 8);
        AcceptedFlags = (AcceptedFlags & ~ZELExtListFormat) | format;
        if ((format == 1 || format == 2) && utf8) {
            // The cache list replaces the speaker texts: a client takes one or the other.
            if (RequestedFlags & ZELExtCacheList) {
                flags = (flags & ~ZELClientSpeakerInfo) | ZELClientCacheList;
                AcceptedFlags = (AcceptedFlags & ~ZELExtSpeakerInfo) | ZELExtCacheList;
            } else if (RequestedFlags & ZELExtSpeakerInfo) {
                flags |= ZELClientSpeakerInfo;
                AcceptedFlags |= ZELExtSpeakerInfo;
            }
        }
        ClientFlags.store(flags);
    }

    // 16. User key and id.
    {
        TStringBldA key;
        StrBldAAddHex(key, utf8 ? AnsiView(EMailUtf8) : AnsiView(EMail));
        StrBldAAddHexByte(key, 0);
        StrBldAAddHex(key, utf8 ? AnsiView(CallsignUtf8) : AnsiView(Callsign));
        UserKey = WidenStrU(StrBldAView(key));
    }
    Id = CalcSourceId(EMail);

    // 17. Network.
    TZELSVCNetworkBase* const net = ChooseNetwork();
    if (net == nullptr) return;

    // 18. Country.
    const AnsiView nn = TrimmedValue(fNN);
    if (forged(nn, u"NN [Country]")) return;
    if (!nn.empty())
        Country = CutToBytes(conv, nn, kCapCountry);
    else if (defaultCountry)
        Country = Owner->DefaultCountryCharset();
    // The UTF-8 part's country, when it gave one, stays the UTF-16 form.
    if (CountryUtf8.empty()) CountryU = nn.empty() && defaultCountry ? Owner->DefaultCountry() : conv.ToUnicode(Country);
    if (Country.empty()) return LogAtLevel(kLevelParse, u"Empty NN \"Country\" fileld");
    HandshakeResult = ZELLoginAccepted;
    Net = net;
    BuildListEntries();
}

TZELSVCNetworkBase* TZELSVCContext::ChooseNetwork() const {
    const TZELNetworksList* list = Owner ? Owner->LoginNetworks() : nullptr;
    const int32_t count = list ? list->Count() : 0;
    const auto first = [&](auto&& Match) -> TZELSVCNetworkBase* {
        for (int32_t i = 0; i < count; ++i)
            if (Match(*list->Networks(i))) return list->Networks(i);
        return nullptr;
    };
    TZELSVCNetworkBase* net = nullptr;
    if (!Network.empty()) {
        if ((ClientFlags.load() & ZELClientUtf8) != 0 && !NetworkUtf8.empty())
            net = first([&](const TZELSVCNetworkBase& N) { return N.ListNameUtf8() == NetworkUtf8; });
        if (net == nullptr) net = first([&](const TZELSVCNetworkBase& N) { return N.ListNameUtf8() == Network; });
        if (net == nullptr) net = first([&](const TZELSVCNetworkBase& N) { return N.ClientNameA() == Network; });
        if (net == nullptr) {
            const AnsiString upper = AsciiUpperCaseA(Network);
            net = first([&](const TZELSVCNetworkBase& N) { return AsciiUpperCaseA(N.ClientNameA()) == upper; });
        }
    }
    if (net == nullptr && Owner) net = Owner->DefaultNetwork();
    if (net == nullptr && count > 0) net = list->Networks(0);
    return net;
}

bool TZELSVCContext::ParseUtf8Part(AnsiView Value, AnsiView Password8, TAnsiUnicodeConverter& Converter) {
    if (Value.empty()) {
        LogAtLevel(kLevelDetail, u"Wrong length of Unicode(UTF8) part");
        return false;
    }
    const char type = Value[0];
    if (type < '0' || type > '2') {
        LogAtLevel(kLevelDetail, u"Wrong client type on Unicode(UTF8) part");
        return false;
    }
    if (type != TypeDigit(ClientType)) {
        LogAtLevel(kLevelAlways, u"Wrong client type on Unicode(UTF8) part");
        return false;
    }

    struct TItem {
        char Key;
        int32_t Cap;
        uint8_t Mark;
        std::u16string_view Message;
        UnicodeString* Text;
        AnsiString* Utf8;
        bool Shown;  // goes into other members' lists: checked as the 8-bit field is
    };
    const TItem items[8] = {
        {'0', 64, 1, u"Check UTF8 failed: EMail", &EMailU, &EMailUtf8, true},
        {'1', 100, 2, u"Check UTF8 failed: Password", &PasswordU, &PasswordUtf8, false},
        {'2', 50, 4, u"Check UTF8 failed: CallsignOpname", &CallsignU, &CallsignUtf8, true},
        {'3', 36, 8, u"Check UTF8 failed: BandChannel", &BandU, &BandUtf8, true},
        {'6', 64, 16, u"Check UTF8 failed: CityCityPart", &CityU, &CityUtf8, true},
        {'4', 70, 32, u"Check UTF8 failed: Description field", &DescriptionU, &DescriptionUtf8, true},
        {'7', 32, 64, u"Check UTF8 failed: Network", &NetworkU, &NetworkUtf8, false},
        {'5', 64, 128, u"Check UTF8 failed: Country field", &CountryU, &CountryUtf8, true},
    };
    // The values are stored only once the whole part checked out.
    UnicodeString texts[8];
    uint32_t marks = 0;
    AnsiView rest = Value.substr(1);
    while (!rest.empty()) {
        if (rest.size() < 3) {
            LogAtLevel(kLevelUtf8Part, u"Junk on UTF8 part");
            return false;
        }
        const char key = rest[0];
        rest.remove_prefix(1);
        int32_t len = 0;
        if (!ReadTlvLengthBounded(rest, len)) {
            LogAtLevel(kLevelDetail, Cat({u"Wrong UTF8 field: ", WidenStrU(AnsiView(&key, 1))}));
            return false;
        }
        const AnsiView bytes = rest.substr(0, static_cast<size_t>(len));
        rest.remove_prefix(static_cast<size_t>(len));
        int k = 0;
        while (k < 8 && items[k].Key != key) ++k;
        if (k == 8 || (marks & items[k].Mark) != 0) continue;  // unknown, or a repeat: the first stays
        const TItem& item = items[k];
        UnicodeString t;
        if (!DecodeUtf8Strict(bytes, t)) {
            LogAtLevel(kLevelUtf8Part, item.Message);
            return false;
        }
        // Both forms of the password must hold as many characters, counted before either is cut
        // (the 8-bit form is cut in bytes, this one in characters); a byte count of the 8-bit form
        // would refuse every password beyond ASCII under a multi-byte server set.
        const bool countsDiffer =
            item.Key == '1' && CharCount(TrimU(t)) != CharCount(Converter.ToUnicode(Password8));
        t = TrimU(CutToChars(t, item.Cap));
        bool bad = (t.empty() && item.Mark <= 16) || (item.Shown && !IsSafeElementTextU(t)) || countsDiffer;
        if (bad) {
            LogAtLevel(kLevelUtf8Part, item.Message);
            return false;
        }
        texts[k] = std::move(t);
        marks |= item.Mark;
    }
    if ((marks & 0x1F) != 0x1F) {
        LogAtLevel(kLevelUtf8Part, u"Got not all of mandatory fields on Unicode(UTF8) part");
        return false;
    }
    // An empty network or country item takes the server's default; an absent item leaves the
    // forms the 8-bit field gave.
    if (texts[6].empty() && Owner)
        if (const TZELSVCNetworkBase* d = Owner->DefaultNetwork()) texts[6] = DecodeUtf8U(d->ListNameUtf8());
    if (texts[7].empty() && Owner) texts[7] = Owner->DefaultCountry();
    for (int k = 0; k < 8; ++k) {
        if ((marks & items[k].Mark) == 0) continue;
        *items[k].Text = texts[k];
        *items[k].Utf8 = UnicodeToUtf8A(texts[k]);
    }
    ClientFlags.fetch_or(ZELClientUtf8);
    AcceptedFlags |= ZELExtUtf8;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Answers.

AnsiView TZELSVCContext::AcceptedWord() const {
    switch (Privilege) {
        case TZELClientPrivilege::clpr_USER:
            return "OK";
        case TZELClientPrivilege::clpr_ADMIN:
            return "ADMIN";
        case TZELClientPrivilege::clpr_NETOWNER:
            return (Caps & ZELCapsOwnerWord) ? "OWNER" : "NETOWNER";
        case TZELClientPrivilege::clpr_SERVOWNER:
            return "OWNER";
    }
    throw Exception("Undetected client mode");
}

namespace {

char ManagerModeLetter(TZELSystemManagerMode M) {
    switch (M) {
        case TZELSystemManagerMode::smm_Notify:
            return 'N';
        case TZELSystemManagerMode::smm_Light:
            return 'L';
        case TZELSystemManagerMode::smm_ZEL:
            return 'Z';
        default:
            return 'S';
    }
}

// "<UT>" running seconds "</UT><TVR>" version "</TVR>" CRLF: the end of every answer line.
void AddAnswerTail(TStringBldA& B, const TZELService* Owner) {
    StrBldAAdd(B, "<UT>");
    StrBldAAdd(B, std::to_string(Owner ? Owner->RunningSeconds() : 0u));
    StrBldAAdd(B, "</UT><TVR>");
    StrBldAAdd(B, ZELVersionText());
    StrBldAAdd(B, "</TVR>");
    StrBldAAddCRLF(B);
}

}  // namespace

void TZELSVCContext::BuildLoginAnswer(TStringBldA& B, bool Accepted, AnsiView AL) {
    if (!Accepted) AcceptedFlags &= ZELExtUtf8;
    StrBldAReset(B);
    StrBldAAddInt(B, ClientVersion);
    StrBldAAddCRLF(B);
    StrBldAAddElement(B, "MT", Net ? Net->MessageText() : AnsiString());
    StrBldAAddElement(B, "SV", std::to_string(ServerVersion));
    StrBldAAddElement(B, "AL", AL);
    // Older clients take the present address when no backup is configured.
    const bool fallBack = (Caps & ZELCapsOwnTexts) == 0;
    AnsiString bn = Owner ? IDNToASCII(Owner->BackupServerAddress) : AnsiString();
    if (bn.empty() && fallBack && Owner) bn = IDNToASCII(Owner->PresentServerAddress);
    StrBldAAddElement(B, "BN", bn);
    AnsiString bp = Owner ? UnicodeToUtf8A(Owner->BackupServerPort) : AnsiString();
    if (bp.empty() && fallBack && Owner) bp = UnicodeToUtf8A(Owner->PresentServerPort);
    StrBldAAddElement(B, "BP", bp);
    if (AcceptedFlags != 0) StrBldAAddElement(B, "SEF", std::to_string(AcceptedFlags));
    if ((AcceptedFlags & ZELExtUtf8) && Net) {
        const AnsiString mtu = Net->MessageTextUtf8();
        if (!mtu.empty()) StrBldAAddElement(B, "MTU", mtu);
    }
    if (Accepted) {
        if (Caps & ZELCapsKP) StrBldAAddElement(B, "KP", "111111");
        StrBldAAddElement(B, "ID", Id);
        if (Net)
            StrBldAAddElement(B, "NT", (AcceptedFlags & ZELExtUtf8) ? Net->ListNameUtf8() : Net->ClientNameA());
        else
            StrBldAAddElement(B, "NT", (AcceptedFlags & ZELExtUtf8) ? NetworkUtf8 : Network);
        if (AcceptedFlags & ZELExtCacheList) StrBldAAddElement(B, "CZ", "32");
        if (Net && Net->SpeechLimitSeconds() > 0) StrBldAAddElement(B, "TT", std::to_string(Net->SpeechLimitSeconds()));
    }
    if (Net) StrBldAAddElementChar(B, "EM", ManagerModeLetter(Net->EffectiveManagerMode()));
    AddAnswerTail(B, Owner);
}

void TZELSVCContext::SendAcceptedLogin() {
    const AnsiView word = AcceptedWord();
    BuildLoginAnswer(Answer, true, word);
    vSendLoginAnswer(StrBldAView(Answer));
}

void TZELSVCContext::BuildRefusal(TStringBldA& B, uint8_t Reason) {
    AnsiView word;
    switch (Reason) {
        case ZELLoginError:
            word = "ERROR";
            break;
        case ZELLoginWrong:
            word = "WRONG";
            break;
        case ZELLoginBlock:
            word = "BLOCK";
            break;
        case ZELLoginDupl:
            word = (Owner && Owner->DisableDUPL) ? "BLOCK" : "DUPL";
            break;
        default:
            throw Exception("Unknown login error");
    }
    BuildLoginAnswer(B, false, word);
}

void TZELSVCContext::RefuseHandshake() {
    DC c;
    switch (HandshakeResult) {
        case ZELLoginAccepted:
            throw Exception("TCP_client_error: there is no any error");
        case ZELLoginError:
            c = DC::fsdc_ServerError;
            break;
        case ZELLoginWrong:
            c = DC::fsdc_ServerWrongPasssword;
            break;
        case ZELLoginBlock:
            c = DC::fsdc_ServerBlock;
            break;
        case ZELLoginDupl:
            c = (Owner && Owner->DisableDUPL) ? DC::fsdc_ServerBlock : DC::fsdc_ServerDuplicate;
            break;
        default:
            throw Exception("Unknown login error");
    }
    SetDisconnectCause(c);
    BuildRefusal(Answer, HandshakeResult);
    if (Owner) Owner->PostLoginRefused(this, StrBldAView(Answer));
}

bool TZELSVCContext::BuildStateAnswer(TStringBldA& B) {
    StrBldAReset(B);
    if (Net == nullptr) return false;
    const AnsiView word = AcceptedWord();
    StrBldAAddChar(B, ZELPacketState);
    StrBldAAddElement(B, "AL", word);
    if (AcceptedFlags != 0) StrBldAAddElement(B, "SEF", std::to_string(AcceptedFlags));
    StrBldAAddElement(B, "NT", (AcceptedFlags & ZELExtUtf8) ? Net->ListNameUtf8() : Net->ClientNameA());
    StrBldAAddElement(B, "ID", Id);
    StrBldAAddElement(B, "MT", Net->MessageText());
    if (AcceptedFlags & ZELExtUtf8) {
        const AnsiString mtu = Net->MessageTextUtf8();
        if (!mtu.empty()) StrBldAAddElement(B, "MTU", mtu);
    }
    if (Net->SpeechLimitSeconds() > 0) StrBldAAddElement(B, "TT", std::to_string(Net->SpeechLimitSeconds()));
    StrBldAAddElementChar(B, "EM", ManagerModeLetter(Net->EffectiveManagerMode()));
    AddAnswerTail(B, Owner);
    return true;
}

// ---------------------------------------------------------------------------------------------
// The System Managers' verdict.

bool TZELSVCContext::ManagerAccepts(TZELSystemManagerMode Mode, uint8_t Answer) noexcept {
    const unsigned row = static_cast<unsigned>(Mode);
    return row < 4 && Answer < 6 && kManagerAccept[row][Answer];
}

bool TZELSVCContext::ManagerVerdict(uint8_t& Reason) const {
    if (Net == nullptr || Net->EffectiveManagerMode() == TZELSystemManagerMode::smm_Standalone)
        throw Exception("Manager mode must not be STANDALONE");
    const uint32_t mask = Net->ActiveManagersMask();
    bool any = false;
    uint32_t answered = 0;  // bit n: some selected link answered n
    for (int i = 0; i < 3; ++i) {
        if ((mask & (1u << i)) == 0) continue;
        any = true;
        if (ManagerInfo[i].Accept) return true;
        answered |= 1u << ManagerInfo[i].Answer;
    }
    if (!any) return false;
    for (uint8_t r : {ZELLoginDupl, ZELLoginWrong, ZELLoginBlock, ZELLoginError}) {
        if (answered & (1u << r)) {
            Reason = r;
            return false;
        }
    }
    Reason = 0;
    return false;
}

void TZELSVCContext::ResetManagerAnswers(TZELSystemManagerMode Mode) {
    ManagerAnswerCount = 0;
    for (TZELSVCContextManagerInfo& m : ManagerInfo) {
        m.Session.clear();
        m.Answer = 0;
        m.Accept = ManagerAccepts(Mode, 0);
    }
}

void TZELSVCContext::ClearManagerAnswer(int32_t Link, TZELSystemManagerMode Mode) {
    if (Link < 0 || Link > 2) return;
    TZELSVCContextManagerInfo& m = ManagerInfo[static_cast<size_t>(Link)];
    m.Session.clear();
    m.Answer = 0;
    m.Accept = ManagerAccepts(Mode, 0);
    if (ManagerAnswerCount > 0) --ManagerAnswerCount;
}

void TZELSVCContext::RemarkManagerAnswers(TZELSystemManagerMode Mode) {
    for (TZELSVCContextManagerInfo& m : ManagerInfo) m.Accept = ManagerAccepts(Mode, m.Answer);
}

// ---------------------------------------------------------------------------------------------
// The join preparation.

void TZELSVCContext::FillListClientData(TZELSVCListClientData& D) const {
    const bool utf8 = (ClientFlags.load() & ZELClientUtf8) != 0;
    D.Id = Id;
    D.EMail = EMail;
    D.EMailKey = EMailKey;
    D.NN = Country;
    D.CT = City;
    D.BC = Band;
    D.ON = Callsign;
    D.NN8 = utf8 ? CountryUtf8 : AnsiString();
    D.CT8 = utf8 ? CityUtf8 : AnsiString();
    D.BC8 = utf8 ? BandUtf8 : AnsiString();
    D.ON8 = utf8 ? CallsignUtf8 : AnsiString();
    D.ClientType = static_cast<uint8_t>(ClientType);
    D.Utf8 = utf8 ? 1 : 0;
    D.Privilege = Privilege;
    D.Online = true;
}

void TZELSVCContext::JoinPrepare(TZELServNetwork& N) {
    ListCacheIndex.fill(-1);
    RefreshMarks = 0;
    uint32_t flags = (ClientFlags.load() & 0x78023B3u) | 0x700800u;
    AcceptedFlags &= 0x8CFu;
    TZELSVCListClientData data;
    FillListClientData(data);

    // The role replaces bits 17 to 21 as a whole: OR-ed into the preset rank, an administrator
    // would pass the owners' test.
    uint32_t role;
    const TZELSVCAdmin* admin = nullptr;
    if (Owner != nullptr && !Owner->ServerOwnerSourceId().empty() && Id == Owner->ServerOwnerSourceId()) {
        Privilege = TZELClientPrivilege::clpr_SERVOWNER;
        role = ZELClientRoleOwner | 0x180000u;
    } else if (N.IsNetOwnerId(Id)) {
        Privilege = TZELClientPrivilege::clpr_NETOWNER;
        role = ZELClientRoleOwner | 0x180000u;
    } else if ((admin = N.AdminList().Find(Id)) != nullptr) {
        Privilege = TZELClientPrivilege::clpr_ADMIN;
        role = ZELClientRoleAdmin | 0x280000u;
        if (!admin->EqualsClient(data)) RefreshMarks |= kRefreshAdmin;
    } else {
        Privilege = TZELClientPrivilege::clpr_USER;
        role = 0x300000u;
    }
    flags = (flags & ~ZELClientRoleBits) | role;
    data.Privilege = Privilege;

    HandshakeResult = ZELLoginAccepted;
    bool differs = false;
    const bool blocked = MuteBlockListFindClient(N.BlockList(), data, differs);
    if (blocked && Privilege == TZELClientPrivilege::clpr_USER) {
        ClientFlags.store(flags);
        SetDisconnectCause(TZELSVCDisconnectCause::fsdc_ServerAdminBlock);
        HandshakeResult = ZELLoginBlock;
        return;
    }
    if (blocked && differs) RefreshMarks |= kRefreshBlocked;
    const TZELSVCAccess* right = N.RightsList().Find(EMailKey);
    const bool owner = Privilege >= TZELClientPrivilege::clpr_NETOWNER;
    if (N.ConnectionMode() && right == nullptr && !owner) {
        ClientFlags.store(flags);
        SetDisconnectCause(TZELSVCDisconnectCause::fsdc_ServerAccessDenied);
        HandshakeResult = ZELLoginBlock;
        return;
    }
    if (right != nullptr && !right->EqualsClient(data)) RefreshMarks |= kRefreshRights;

    differs = false;
    if (MuteBlockListFindClient(N.MuteList(), data, differs)) {
        flags |= ZELClientMuted;
        if (differs) RefreshMarks |= kRefreshMuted;
    }
    const bool mayTalk = owner || !N.TalkMode() || (right != nullptr && right->Data.Mark != 0);
    if (mayTalk)
        flags &= ~ZELClientListenOnly;
    else
        flags |= ZELClientListenOnly;

    const TZELSVCNetworkOptions& o = N.NetworkOptions();
    if ((RequestedFlags & ZELExtShortFrames) && o.ShortFrames) {
        flags |= 0x4000u;
        AcceptedFlags |= ZELExtShortFrames;
    }
    if ((RequestedFlags & ZELExtTempMuteBlock) && o.TempMuteBlock && Privilege > TZELClientPrivilege::clpr_USER)
        AcceptedFlags |= ZELExtTempMuteBlock;
    if (RequestedFlags & ZELExtNetChangeInfo) AcceptedFlags |= ZELExtNetChangeInfo;
    if ((RequestedFlags & ZELExtMoveClient) && owner) AcceptedFlags |= ZELExtMoveClient;
    ClientFlags.store(flags);
    WriteEntryStatus();

    ManagerConnectText.clear();
    // Also in STANDALONE: a link that comes up, or a mode set later, asks the managers about the
    // clients already in.
    {
        TStringBldA b;
        StrBldAAdd(b, "CC:");
        StrBldAAddElement(b, "EA", EMail);
        StrBldAAddElement(b, "PW", Password);
        StrBldAAddElement(b, "ON", Callsign);
        StrBldAAddElementChar(b, "CL", TypeDigit(ClientType));
        StrBldAAddElement(b, "BC", Band);
        StrBldAAddElement(b, "NN", Country);
        StrBldAAddElement(b, "CT", City);
        StrBldAAddElement(b, "DS", Description);
        StrBldAAddElement(b, "NT", N.ManagerNetworkName());
        ManagerConnectText = StrBldAToStr(b);
    }
    if (Privilege == TZELClientPrivilege::clpr_SERVOWNER && Owner != nullptr &&
        Owner->OwnerDiffers(Callsign, CallsignUtf8))
        RefreshMarks |= kRefreshOwner;
}

// ---------------------------------------------------------------------------------------------
// Client-list entries.

void TZELSVCContext::BuildListEntries() {
    const uint32_t flags = ClientFlags.load();
    const char type = TypeDigit(ClientType);
    TStringBldA b;
    StrBldAInit(b, 200);

    StrBldAAddElementChar(b, "S", '0');
    StrBldAAddElementChar(b, "M", '0');
    StrBldAAddElement(b, "NN", Country);
    StrBldAAddElement(b, "CT", City);
    StrBldAAddElement(b, "BC", Band);
    StrBldAAddElementChar(b, "CL", type);
    StrBldAAddElement(b, "ON", Callsign);
    StrBldAAddElement(b, "ID", Id);
    StrBldAAddElementLn(b, "DS", Description);
    ClassicEntry = StrBldAToStr(b);
    WriteEntryStatus();

    const auto compact = [&](uint8_t Head, const AnsiString& Co, const AnsiString& Ci, const AnsiString& Ba,
                             const AnsiString& Ca, const AnsiString& De) {
        StrBldAReset(b);
        StrBldAAddHexByte(b, Head);
        StrBldAAddTLV(b, '5', Co);
        StrBldAAddTLV(b, '6', Ci);
        StrBldAAddTLV(b, '3', Ba);
        StrBldAAddTLV(b, '2', Ca);
        StrBldAAddTLV(b, '8', Id);
        StrBldAAddTLV(b, '4', De);
        StrBldAAddCRLF(b);
        return StrBldAToStr(b);
    };
    CompactEntry = compact(static_cast<uint8_t>(flags & 63), Country, City, Band, Callsign, Description);
    ManagerUtf8Part.clear();
    if ((flags & ZELClientUtf8) == 0) {
        // A UTF-8 member never receives bytes that are not UTF-8: the 8-bit texts as the server's
        // character set reads them, a byte that does not convert as "?".
        TAnsiUnicodeConverter conv;
        OpenServerCharset(conv);
        const auto utf8 = [&conv](const AnsiString& S) { return UnicodeToUtf8A(conv.ToUnicodeReplacing(S)); };
        CompactEntryUtf8 = compact(static_cast<uint8_t>(flags & 63), utf8(Country), utf8(City), utf8(Band),
                                   utf8(Callsign), utf8(Description));
    } else {
        CompactEntryUtf8 = compact(static_cast<uint8_t>(flags & 191), CountryUtf8, CityUtf8, BandUtf8, CallsignUtf8,
                                   DescriptionUtf8);
        StrBldAReset(b);
        StrBldAAdd(b, "<U8TF>");
        StrBldAAddChar(b, type);
        StrBldAAddTLV(b, '0', EMailUtf8);
        StrBldAAddTLV(b, '1', PasswordUtf8);
        StrBldAAddTLV(b, '2', CallsignUtf8);
        StrBldAAddTLV(b, '3', BandUtf8);
        StrBldAAddTLV(b, '4', DescriptionUtf8);
        StrBldAAddTLV(b, '5', CountryUtf8);
        StrBldAAddTLV(b, '6', CityUtf8);
        StrBldAAdd(b, "</U8TF>");
        ManagerUtf8Part = StrBldAToStr(b);
    }

    StrBldAReset(b);
    StrBldAAddChar(b, type);
    AddFixedWidth(b, Country, 19);
    AddFixedWidth(b, City, 20);
    AddFixedWidth(b, Callsign, 28);
    AddFixedWidth(b, Band, 20);
    // Big-endian, so that equal texts order by the context's number.
    const uint32_t n = Number();
    const char number[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                            static_cast<char>(n)};
    StrBldAAddBuf(b, number, 4);
    SortKey = BufToSortKeyA(b.Buf(), b.Len());
}

void TZELSVCContext::WriteEntryStatus() {
    if (ClassicEntry.size() <= static_cast<size_t>(ZELEntryMutedPos)) return;
    const uint32_t flags = ClientFlags.load();
    const uint32_t status = (flags & ZELClientStatusMask) + ((flags & ZELClientListenOnly) ? 5 : 0);
    ClassicEntry[ZELEntryStatusPos] = static_cast<char>('0' + status);
    ClassicEntry[ZELEntryMutedPos] = (flags & ZELClientMuted) ? '1' : '0';
}

// ---------------------------------------------------------------------------------------------
// Log lines.

void TZELSVCContext::AddLogDescription(TStringBldU& B) const {
    const auto add = [&B](UnicodeView Key, UnicodeView Value) {
        if (Value.empty()) return;
        StrBldUAdd(B, Key);
        StrBldUAdd(B, Value);
        StrBldUAddChar(B, u'`');
    };
    add(u" EMail=`", EMailU);
    add(u" Call=`", CallsignU);
    add(u" Net=`", Net ? UnicodeView(Net->NetworkName()) : UnicodeView(NetworkU));
    for (int i = 0; i < 3; ++i) {
        if (ManagerInfo[i].Session.empty()) continue;
        const char16_t key[] = {u' ', u'M', u'I', u'D', static_cast<char16_t>(u'0' + i), u'=', u'`', 0};
        add(key, WidenStrU(ManagerInfo[i].Session));
    }
    add(u" SID=`", WidenStrU(Id));
    add(u" City=`", CityU);
    add(u" Band=`", BandU);
    add(u" Descr=`", DescriptionU);
    add(u" Country=`", CountryU);
    if (Privilege != TZELClientPrivilege::clpr_USER) {
        StrBldUAdd(B, u" Priv=");
        StrBldUAdd(B, ClientPrivilegeText(Privilege));
    }
    const uint32_t flags = ClientFlags.load();
    const auto option = [&B](bool Set, UnicodeView Name) {
        if (!Set) return;
        StrBldUAddChar(B, u' ');
        StrBldUAdd(B, Name);
    };
    option(flags & ZELClientListenOnly, u"ListenOnly");
    option(AcceptedFlags & ZELExtUtf8, u"UTF8");
    option(AcceptedFlags & ZELExtSoundAck, u"SoundAck");
    StrBldUAdd(B, u" ListFormat=");
    StrBldUAdd(B, ZELProtoListFormatTexts[AcceptedFlags & ZELExtListFormat]);
    option(AcceptedFlags & ZELExtShortFrames, u"ShortFrames");
    option(AcceptedFlags & ZELExtCompressList, u"CompressList");
    option(AcceptedFlags & ZELExtSpeakerInfo, u"SpeakerInfo");
    option(AcceptedFlags & ZELExtTempMuteBlock, u"TempMuteBlock");
    option(AcceptedFlags & ZELExtNetChangeInfo, u"NetChangeInfo");
    option(AcceptedFlags & ZELExtMoveClient, u"MoveClient");
    option(AcceptedFlags & ZELExtCacheList, u"CacheList");
}

UnicodeString TZELSVCContext::DisconnectLogLine() const {
    TStringBldU b;
    StrBldUInit(b, 200);
    StrBldUAdd(b, LogName);
    StrBldUAddChar(b, u' ');
    StrBldUAdd(b, DisconnectCauseInfo(Cause()).Text);
    if (Cause() == DC::fsdc_ClientWrongCommand) {
        StrBldUAdd(b, u" WRONG_CMD=`");
        StrBldUAdd(b, LastErrorText);
        StrBldUAddChar(b, u'`');
    }
    if (HasCauseText()) {
        StrBldUAdd(b, u" ERROR_TEXT=`");
        StrBldUAddEscapedA(b, CauseText());
        StrBldUAddChar(b, u'`');
    }
    return StrBldUToStr(b);
}

UnicodeString TZELSVCContext::ActionLogLine(const TZELSVCContext& Actor, UnicodeView Action) const {
    TStringBldU b;
    StrBldUInit(b, 300);
    StrBldUAdd(b, LogName);
    StrBldUAdd(b, Action);
    StrBldUAdd(b, u": by=");
    StrBldUAdd(b, ClientPrivilegeText(Actor.Privilege));
    StrBldUAdd(b, u" byCall=`");
    StrBldUAdd(b, Actor.CallsignU);
    StrBldUAdd(b, u"` byEMail=`");
    StrBldUAdd(b, Actor.EMailU);
    StrBldUAddChar(b, u'`');
    AddLogDescription(b);
    return StrBldUToStr(b);
}

// ---------------------------------------------------------------------------------------------
// Operating lines: the client commands.

namespace {

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
    Out = UnicodeToUtf8A(TrimU(CutToChars(DecodeUtf8U(S), Max)));
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

bool TZELSVCContext::ParseCommandLine(AnsiView Line, TZELClientLine& Out) {
    Out = TZELClientLine{};
    const auto refuse = [&](UnicodeView Prefix, bool Quoted) {
        UnicodeString t(Prefix);
        if (Quoted) t += u'"';
        t += LogTextOf(Line);
        if (Quoted) t += u'"';
        LastErrorText = std::move(t);
        return false;
    };
    const auto noPrivilege = [&](UnicodeView Text) {
        SetDisconnectCause(DC::fsdc_PrivilegeViolation);
        LastErrorText = UnicodeString(Text);
        return false;
    };
    // The server's charset, opened only for the texts that are cut or counted.
    std::unique_ptr<TAnsiUnicodeConverter> conv;
    const auto charset = [&]() -> TAnsiUnicodeConverter& {
        if (!conv) {
            conv = std::make_unique<TAnsiUnicodeConverter>();
            OpenServerCharset(*conv);
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
        if (n == -2) SetDisconnectCause(DC::fsdc_InvalidCharacter);
        return n > 0;
    };
    const uint32_t sef = AcceptedFlags.load();
    const bool owner = (ClientFlags.load() & ZELClientRoleMask) == ZELClientRoleOwner;
    const UnicodeString cmd = WidenStrU(Line.substr(0, Line.find(':')));

    // Administrators' commands by client id.
    for (const TIdCommand& c : kIdCommands) {
        if (Line.substr(0, 3) != c.Prefix) continue;
        if ((kPrivilegeBits[static_cast<size_t>(Privilege) & 3] & c.Bit) == 0)
            return noPrivilege(u"Client has no privilege for " + cmd + u" command");
        const UnicodeString bad = u"Invalid " + cmd + u" command: ";
        if (!parseFields(3, kMaxCommandFields)) return refuse(bad, false);
        const AnsiView ip = TrimmedValue(FindTaggedField(parser, "IP"));
        if (ip.empty() || !IsValidSourceId(ip)) return refuse(bad, false);
        int32_t time = 0;
        if (c.Time && (sef & ZELExtTempMuteBlock) != 0) {
            if (const TTaggedField* ti = FindTaggedField(parser, "TI"))
                if (!TryStrToInt32A(TrimmedValue(ti), time) || time < 0) return refuse(bad, false);
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
        const AnsiView ea = TrimmedValue(FindTaggedField(parser, "EA"));
        if (ea.empty()) return refuse(bad, false);
        if ((sef & ZELExtUtf8) != 0) {
            const TTaggedField* eau = FindTaggedField(parser, "EAU");
            if (eau != nullptr && c.NeedsUtf8 && TrimmedValue(eau).empty()) return refuse(bad, false);
            Out.Text2.assign(TrimmedValue(eau));
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
        Out.Text1 = CutToBytes(charset(), sms->ValueView(), kMaxText);
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
        if (CharCount(decoded) != Utf8CharCount(utf8.data(), static_cast<int32_t>(utf8.size())))
            return refuse(bad, false);
        Out.Code = Q::fsnq_ClientNoticeUtf8;
        Out.Text1 = CutToBytes(charset(), text, kMaxText);
        Out.Text2 = UnicodeToUtf8A(CutToChars(DecodeUtf8U(utf8), kMaxText));
        return true;
    }

    // Text messages.
    if (Line.substr(0, 3) == "TM:") {
        const UnicodeView bad = u"invalid message command: ";
        if (!parseFields(3, kMaxMessageFields)) return refuse(bad, true);
        const TTaggedField* ms = FindTaggedField(parser, "MS");
        const AnsiView id = TrimmedValue(FindTaggedField(parser, "ID"));
        if (ms == nullptr || (!id.empty() && !IsValidSourceId(id))) return refuse(bad, true);
        AnsiString text;
        try {
            text = CutToBytes(charset(), ms->ValueView(), kMaxText);
        } catch (const std::exception&) {
            return refuse(bad, true);
        }
        Out.Code = Q::fsnq_ClientMessage;
        Out.Text1.assign(id);
        Out.Text2 = BuildTextPacket(ZELPacketText, Id, text, !id.empty());
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
            cut = CutToBytes(charset(), text, kMaxText);
        } catch (const std::exception&) {
            return refuse(bad, true);
        }
        if (!CutUtf8Text(utf8, kMaxText, cutUtf8)) return refuse(bad, true);
        Out.Code = Q::fsnq_ClientMessageExt;
        Out.Text1.assign(id);
        Out.Text2 = BuildTextPacket(ZELPacketText, Id, cut, !id.empty());
        Out.Text3 = BuildTextPacket(ZELPacketTextUtf8, Id, cutUtf8, !id.empty());
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

bool TZELSVCContext::DispatchCommandLine(AnsiView Line) {
    TZELClientLine l;
    if (!ParseCommandLine(Line, l)) return false;
    if (Owner == nullptr) return true;
    if (l.Kind == TZELClientLine::clk_Move) {
        // A network that is not there asks for nothing.
        const TZELNetworksList* nets = Owner->LoginNetworks();
        TZELSVCNetworkBase* target = nets != nullptr ? nets->Find(DecodeUtf8U(l.Text2)) : nullptr;
        if (target != nullptr) Owner->PostClientMoveRequest(this, target, l.Text1, l.Value);
        return true;
    }
    TZELSVCClientCommandArgs a;
    a.Text1 = l.Text1;
    a.Text2 = l.Text2;
    a.Text3 = l.Text3;
    a.Value1 = l.Value;
    Owner->PostClientCommand(l.Code, this, a);
    return true;
}

}  // namespace zel
