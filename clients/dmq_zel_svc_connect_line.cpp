#include "clients/dmq_zel_svc_connect_line.hpp"

#include <initializer_list>
#include <string>

#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "foundation/dmq_zel_classes.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_networks_list.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

namespace {

using DC = TZELSVCDisconnectCause;

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

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

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

// The report's error lines from their client log level on.
struct TMessages {
    const TZELConnectLineEnv& Env;
    TZELConnectLineReport& Report;
    void At(int32_t Level, UnicodeView Text) const {
        if (Env.LogLevel >= Level) Report.Lines.push_back({true, UnicodeString(Text)});
    }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Client text routines.

AnsiView TrimmedFieldValue(const TTaggedField* F) {
    if (F == nullptr) return AnsiView();
    const char* p = F->Value;
    int32_t len = F->ValueLen;
    TrimPCharLen(p, len);
    return AnsiView(p, static_cast<size_t>(len));
}

AnsiString CutToWholeChars(TAnsiUnicodeConverter& Converter, AnsiView S, int32_t MaxBytes) {
    if (S.size() <= static_cast<size_t>(MaxBytes)) return AnsiString(S);
    AnsiString cut = EncodeCutToBytes(Converter, MaxBytes, Converter.ToUnicode(S));
    if (S.substr(0, cut.size()) == cut) return cut;
    // Bytes that the set does not read (a text in another charset) do not convert back as they
    // came: the bytes themselves are cut, so members always receive a start of what was sent.
    // Under UTF-8 no well-formed sequence is split; a byte of no sequence counts alone.
    const size_t max = MaxBytes > 0 ? static_cast<size_t>(MaxBytes) : 0;
    const AnsiString& set = Converter.CharsetNameA();
    if (set != "UTF-8" && set != "UTF8") return AnsiString(S.substr(0, max));
    size_t end = 0;
    while (end < S.size()) {
        char32_t cp;
        const int32_t n = DecodeUtf8Sequence(S.data() + end, static_cast<int32_t>(S.size() - end), cp);
        const size_t step = n > 0 ? static_cast<size_t>(n) : 1;
        if (end + step > max) break;
        end += step;
    }
    return AnsiString(S.substr(0, end));
}

int32_t CodePointCountU(UnicodeView S) {
    int32_t n = 0;
    for (size_t i = 0; i < S.size(); ++i) {
        if (IsHighSurrogate(S[i]) && i + 1 < S.size() && IsLowSurrogate(S[i + 1])) ++i;
        ++n;
    }
    return n;
}

UnicodeString CutToCodePointsU(UnicodeView S, int32_t Max) {
    size_t i = 0;
    for (int32_t n = 0; n < Max && i < S.size(); ++n) {
        if (IsHighSurrogate(S[i]) && i + 1 < S.size() && IsLowSurrogate(S[i + 1])) ++i;
        ++i;
    }
    return UnicodeString(S.substr(0, i));
}

void OpenClientCharset(TAnsiUnicodeConverter& Converter, UnicodeView ServerCharset) {
    Converter.SetCharset(ServerCharset.empty() ? UnicodeView(u"UTF-8") : ServerCharset);
}

UnicodeString NetworkCharsetName(const TZELSVCNetworkBase* Net, UnicodeView ServerCharset) {
    if (Net != nullptr && !Net->NetworkOptions().CharsetName.empty()) return Net->NetworkOptions().CharsetName;
    return UnicodeString(ServerCharset);
}

uint32_t TZELClientLoginData::CapsOfVersion(int32_t Version) noexcept {
    uint32_t caps = 0;
    if (Version < 2010002) caps |= ZELCapsKP;
    if (Version <= 2012002) caps |= ZELCapsOwnerWord;
    if (Version >= 2014003) caps |= ZELCapsOwnTexts;
    return caps;
}

void TZELClientLoginData::EncodeTextsFor(TAnsiUnicodeConverter& Converter) {
    const auto encode = [&Converter](const UnicodeString& Text, int32_t Cap) {
        return EncodeCutToBytes(Converter, Cap, Text);
    };
    Callsign = encode(CallsignU, kCapCallsign);
    CallsignKey = PadKey8A(Callsign);
    Band = encode(BandU, kCapBand);
    City = encode(CityU, kCapCity);
    Description = encode(DescriptionU, kCapDescription);
    Country = encode(CountryU, kCapCountry);
    Network = encode(NetworkU, kCapNetwork);
}

// ---------------------------------------------------------------------------------------------
// Connect line.

namespace {

// The network item of a UTF-8 part as its parse stores it (ParseUtf8Part): the first item of key
// 7, cut to its cap in characters and trimmed, an empty one taking the default network's name;
// in UTF-8. Empty when the part has no such item. A part that cannot be read up to it, or whose
// item does not decode, is refused by the parse, so what this gives then does not matter.
AnsiString Utf8PartNetwork(AnsiView Value, const TZELConnectLineEnv& Env) {
    if (Value.empty()) return AnsiString();
    AnsiView rest = Value.substr(1);
    while (rest.size() >= 3) {
        const char key = rest[0];
        rest.remove_prefix(1);
        int32_t len = 0;
        if (!ReadTlvLengthBounded(rest, len)) break;
        const AnsiView bytes = rest.substr(0, static_cast<size_t>(len));
        rest.remove_prefix(static_cast<size_t>(len));
        if (key != '7') continue;
        UnicodeString t;
        if (!DecodeUtf8Strict(bytes, t)) break;
        t = TrimU(CutToCodePointsU(t, kCapNetwork));
        if (!t.empty()) return UnicodeToUtf8A(t);
        return Env.DefaultNetwork != nullptr ? UnicodeToUtf8A(DecodeUtf8U(Env.DefaultNetwork->ListNameUtf8()))
                                             : AnsiString();
    }
    return AnsiString();
}

}  // namespace

void TZELClientLoginData::ParseConnectLine(AnsiView Line, const TZELConnectLineEnv& Env, TZELConnectLineReport& Report) {
    ConnectText = "CT:";
    ConnectText += Line;
    HandshakeResult = ZELLoginInvalid;

    TAnsiUnicodeConverter conv;
    OpenClientCharset(conv, Env.ServerCharset);
    const TMessages log{Env, Report};
    const auto fail = [&](DC C, UnicodeView Message) {
        Report.Cause = C;
        log.At(kLevelParse, Message);
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
    const bool defaultCountry = !Env.DefaultCountryCharset.empty();
    TZELSVCNetworkBase* const defaultNet = Env.DefaultNetwork;
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
    const TTaggedField* fDS = FindTaggedField(parser, "DS");
    const TTaggedField* fCEF = FindTaggedField(parser, "CEF");
    const TTaggedField* fU8TF = FindTaggedField(parser, "U8TF");

    // 11 and 17 first. The network is chosen once, before any text is read: from the network
    // text cut in the server's set (no network's set is known yet) and, when the line asks for a
    // UTF-8 part, that part's network item. The texts are the network's clients' own: they are
    // cut and read in the chosen network's charset (the server's, when it has none of its own).
    // Choosing again from a text cut in another set could land the client in a network other
    // than the one its texts were read for.
    const AnsiView nt = TrimmedFieldValue(fNT);
    if (!nt.empty())
        Network = CutToWholeChars(conv, nt, kCapNetwork);
    else if (defaultNet != nullptr)
        Network = defaultNet->ClientNameA();
    AnsiString utf8Network;
    if (int32_t cefValue = 0; fU8TF != nullptr && TryStrToInt32A(TrimmedFieldValue(fCEF), cefValue) &&
                              (AdjustExtensionFlags(static_cast<uint32_t>(cefValue)) & ZELExtUtf8) != 0)
        utf8Network = Utf8PartNetwork(fU8TF->ValueView(), Env);
    TZELSVCNetworkBase* const net = ChooseNetwork(Env, utf8Network);
    if (net != nullptr) {
        const UnicodeString cs = NetworkCharsetName(net, Env.ServerCharset);
        try {
            if (cs != Env.ServerCharset) OpenClientCharset(conv, cs);
        } catch (const std::exception&) {
            OpenClientCharset(conv, Env.ServerCharset);
        }
    }

    // 3. From here on a failure refuses the login.
    HandshakeResult = ZELLoginBlock;
    // A text that goes into other members' list entries must not be able to close its element and
    // open a forged one (an id, above all), nor to split a list line.
    const auto forged = [&](AnsiView Value, UnicodeView Field) {
        if (IsSafeElementTextA(Value)) return false;
        HandshakeResult = ZELLoginWrong;
        log.At(kLevelParse, Cat({u"Forbidden characters in ANSI ", Field, u" field"}));
        return true;
    };

    // 4. Version.
    const AnsiView vx = TrimmedFieldValue(fVX);
    if (vx.empty()) return log.At(kLevelParse, u"Empty ANSI VX [ClientVersion] field");
    int32_t version = 0;
    if (!TryStrToInt32A(vx, version)) return log.At(kLevelParse, u"Wrong value of ANSI VX [ClientVersion] field");
    ClientVersion = version;

    // 5. Band and client type.
    const AnsiView bc = TrimmedFieldValue(fBC);
    if (forged(bc, u"BC [BandChannel]")) return;
    Band = bc.empty() ? AnsiString("PC Only") : CutToWholeChars(conv, bc, kCapBand);
    BandU = conv.ToUnicode(Band);
    ClientType = ClientTypeFromBand(Band);
    HandshakeResult = ZELLoginWrong;

    // 6. E-mail.
    const AnsiView ea = TrimmedFieldValue(fEA);
    if (ea == "@") {
        HandshakeResult = ZELLoginBlock;
        return;
    }
    if (ea.empty()) return log.At(kLevelParse, u"Empty ANSI EA [EmailAddress] field");
    if (forged(ea, u"EA [EmailAddress]")) return;
    EMail.assign(ea);
    EMailKey = PadKey8A(EMail);
    EMailU = conv.ToUnicode(EMail);

    // 7. Password.
    const AnsiView pw = TrimmedFieldValue(fPW);
    Password = pw.empty() ? AnsiString(kEmptyPassword) : CutToWholeChars(conv, pw, kCapPassword);
    PasswordU = conv.ToUnicode(Password);

    // 8. Callsign.
    const AnsiView on = TrimmedFieldValue(fON);
    if (on.empty()) return log.At(kLevelParse, u"Empty ANSI ON [CallsignOpname] field");
    if (forged(on, u"ON [CallsignOpname]")) return;
    Callsign = CutToWholeChars(conv, on, kCapCallsign);
    CallsignKey = PadKey8A(Callsign);
    CallsignU = conv.ToUnicode(Callsign);

    // 9. City.
    const AnsiView ct = TrimmedFieldValue(fCT);
    if (ct.empty()) return log.At(kLevelParse, u"Empty ANSI CT [CityCityPart] field");
    if (forged(ct, u"CT [CityCityPart]")) return;
    City = CutToWholeChars(conv, ct, kCapCity);
    CityU = conv.ToUnicode(City);

    // 10. Type bits and capabilities.
    ClientFlags.store((ClientFlags.load() & ~ZELClientTypeMask) | (static_cast<uint32_t>(ClientType) << 4));
    Caps = CapsOfVersion(ClientVersion);

    // 11. Network text (cut above).
    NetworkU = conv.ToUnicode(Network);

    // 12. Description.
    const AnsiView ds = TrimmedFieldValue(fDS);
    if (forged(ds, u"DS [Description]")) return;
    if (!ds.empty()) {
        Description = CutToWholeChars(conv, ds, kCapDescription);
        DescriptionU = conv.ToUnicode(Description);
    }

    // 13. Extension flags.
    const AnsiView cef = TrimmedFieldValue(fCEF);
    if (!cef.empty()) {
        int32_t value = 0;
        if (!TryStrToInt32A(cef, value)) {
            HandshakeResult = ZELLoginBlock;
            return log.At(kLevelParse, Cat({u"Wrong CEF [Tolvenar Extention Flags] field: ", conv.ToUnicode(cef)}));
        }
        if (Env.LogLevel >= kLevelDetail)
            Report.Lines.push_back({false, Cat({u"Requested Tolvenar Extention Flags: ", WidenStrU(std::to_string(value)),
                                                u": ", ExtensionFlagsToText(static_cast<uint32_t>(value))})});
        RequestedFlags = AdjustExtensionFlags(static_cast<uint32_t>(value)) & ZELExtRequestMask;
    }

    // 14. The UTF-8 part, when asked for.
    if ((RequestedFlags & ZELExtUtf8) != 0) {
        const AnsiView part = fU8TF ? fU8TF->ValueView() : AnsiView();
        if (!ParseUtf8Part(part, pw.empty() ? AnsiView(Password) : pw, conv, Env, Report)) {
            HandshakeResult = ZELLoginInvalid;
            Report.Cause = DC::fsdc_WrongUnicodePart;
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

    // 17. Network (chosen above).
    if (net == nullptr) return;

    // 18. Country.
    const AnsiView nn = TrimmedFieldValue(fNN);
    if (forged(nn, u"NN [Country]")) return;
    if (!nn.empty())
        Country = CutToWholeChars(conv, nn, kCapCountry);
    else if (defaultCountry)
        Country = Env.DefaultCountryCharset;
    // The UTF-8 part's country, when it gave one, stays the UTF-16 form.
    if (CountryUtf8.empty()) CountryU = nn.empty() && defaultCountry ? Env.DefaultCountry : conv.ToUnicode(Country);
    if (Country.empty()) return log.At(kLevelParse, u"Empty NN \"Country\" fileld");
    HandshakeResult = ZELLoginAccepted;
    Net = net;
}

TZELSVCNetworkBase* TZELClientLoginData::ChooseNetwork(const TZELConnectLineEnv& Env, AnsiView Utf8Network) const {
    const TZELNetworksList* list = Env.Networks;
    const int32_t count = list ? list->Count() : 0;
    const auto first = [&](auto&& Match) -> TZELSVCNetworkBase* {
        for (int32_t i = 0; i < count; ++i)
            if (Match(*list->Networks(i))) return list->Networks(i);
        return nullptr;
    };
    TZELSVCNetworkBase* net = nullptr;
    if (!Network.empty()) {
        if (!Utf8Network.empty())
            net = first([&](const TZELSVCNetworkBase& N) { return N.ListNameUtf8() == Utf8Network; });
        if (net == nullptr) net = first([&](const TZELSVCNetworkBase& N) { return N.ListNameUtf8() == Network; });
        if (net == nullptr) net = first([&](const TZELSVCNetworkBase& N) { return N.ClientNameA() == Network; });
        if (net == nullptr) {
            const AnsiString upper = AsciiUpperCaseA(Network);
            net = first([&](const TZELSVCNetworkBase& N) { return AsciiUpperCaseA(N.ClientNameA()) == upper; });
        }
    }
    if (net == nullptr) net = Env.DefaultNetwork;
    if (net == nullptr && count > 0) net = list->Networks(0);
    return net;
}

bool TZELClientLoginData::ParseUtf8Part(AnsiView Value, AnsiView Password8, TAnsiUnicodeConverter& Converter,
                                        const TZELConnectLineEnv& Env, TZELConnectLineReport& Report) {
    const TMessages log{Env, Report};
    if (Value.empty()) {
        log.At(kLevelDetail, u"Wrong length of Unicode(UTF8) part");
        return false;
    }
    const char type = Value[0];
    if (type < '0' || type > '2') {
        log.At(kLevelDetail, u"Wrong client type on Unicode(UTF8) part");
        return false;
    }
    if (type != TypeDigit(ClientType)) {
        log.At(kLevelAlways, u"Wrong client type on Unicode(UTF8) part");
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
            log.At(kLevelUtf8Part, u"Junk on UTF8 part");
            return false;
        }
        const char key = rest[0];
        rest.remove_prefix(1);
        int32_t len = 0;
        if (!ReadTlvLengthBounded(rest, len)) {
            log.At(kLevelDetail, Cat({u"Wrong UTF8 field: ", WidenStrU(AnsiView(&key, 1))}));
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
            log.At(kLevelUtf8Part, item.Message);
            return false;
        }
        // Both forms of the password must hold as many characters, counted before either is cut
        // (the 8-bit form is cut in bytes, this one in characters); a byte count of the 8-bit form
        // would refuse every password beyond ASCII under a multi-byte server set.
        const bool countsDiffer =
            item.Key == '1' && CodePointCountU(TrimU(t)) != CodePointCountU(Converter.ToUnicode(Password8));
        t = TrimU(CutToCodePointsU(t, item.Cap));
        bool bad = (t.empty() && item.Mark <= 16) || (item.Shown && !IsSafeElementTextU(t)) || countsDiffer;
        if (bad) {
            log.At(kLevelUtf8Part, item.Message);
            return false;
        }
        texts[k] = std::move(t);
        marks |= item.Mark;
    }
    if ((marks & 0x1F) != 0x1F) {
        log.At(kLevelUtf8Part, u"Got not all of mandatory fields on Unicode(UTF8) part");
        return false;
    }
    // An empty network or country item takes the server's default; an absent item leaves the
    // forms the 8-bit field gave.
    if (texts[6].empty())
        if (const TZELSVCNetworkBase* d = Env.DefaultNetwork) texts[6] = DecodeUtf8U(d->ListNameUtf8());
    if (texts[7].empty()) texts[7] = Env.DefaultCountry;
    for (int k = 0; k < 8; ++k) {
        if ((marks & items[k].Mark) == 0) continue;
        *items[k].Text = texts[k];
        *items[k].Utf8 = UnicodeToUtf8A(texts[k]);
    }
    ClientFlags.fetch_or(ZELClientUtf8);
    AcceptedFlags |= ZELExtUtf8;
    return true;
}

}  // namespace zel
