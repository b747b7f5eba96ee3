#include "service/dmq_zel_svc_networks_list.hpp"

#include <cerrno>
#include <string>

#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_hex.hpp"
#include "foundation/dmq_syscharset.hpp"

namespace zel {

namespace {

constexpr size_t NetworksFileBufSize = 16384;

// The units as big-endian byte pairs, so that the index keeps the names in code-unit order.
AnsiString UnitsAsBytes(UnicodeView S) {
    AnsiString r(S.size() * 2, '\0');
    for (size_t i = 0; i < S.size(); ++i) {
        r[2 * i] = static_cast<char>(S[i] >> 8);
        r[2 * i + 1] = static_cast<char>(S[i] & 0xFF);
    }
    return r;
}

UnicodeString Utf8ToU(AnsiView S) { return Utf8BufToUnicodeU(S.data(), static_cast<int32_t>(S.size())); }

// Keys are padded with zero bytes, so a text ending in a zero byte would match the text without
// it. No stored key ends so (names are trimmed, hex has none); such a query finds nothing.
bool EndsWithZero(AnsiView S) noexcept { return !S.empty() && S.back() == '\0'; }

AnsiString QuotedNameA(UnicodeView Name) { return "\"" + UnicodeToUtf8A(Name) + "\""; }

}  // namespace

TZELNetworksList::TZELNetworksList(TZELSVCFactory* Factory, TAnsiUnicodeConverterOptions ConverterOptions)
    : Factory_(Factory), ConverterOptions_(ConverterOptions) {
    ServerConverter_.SetOptions(ConverterOptions);
}

TZELNetworksList::~TZELNetworksList() { Clear(); }

void TZELNetworksList::SetLogHooks(TZELSVCLogHook Info, TZELSVCLogHook Error) {
    OnInfo_ = std::move(Info);
    OnError_ = std::move(Error);
}

void TZELNetworksList::SetServerCharsetName(UnicodeView Name) {
    // Checked first, so that a refused name leaves the converter as it was.
    CheckCharsetName(Name, u"", ConverterOptions_);
    ServerConverter_.SetCharset(Name);
    ServerCharsetName_ = UnicodeString(Name);
}

void TZELNetworksList::Clear() {
    ByName_ = TZELSortedAnsiStringList(true);
    ByName2_ = TZELSortedAnsiStringList(true);
    ByHexName_ = TZELSortedAnsiStringList(true);
    while (!Networks_.empty()) Networks_.pop_back();
    ListText_.clear();
    ListTextUtf8_.clear();
    Loaded_ = false;
}

TZELNetworksList::TKeys TZELNetworksList::MakeKeys(UnicodeView Name) {
    TKeys k;
    k.Name = StrToSortKeyA(UnitsAsBytes(Name));
    k.Utf8 = StrToSortKeyA(UnicodeToUtf8A(Name));
    k.Hex = StrToSortKeyA(StrToHexA(ServerConverter_.FromUnicode(Name)));
    return k;
}

void TZELNetworksList::CheckFree(const TKeys& Keys, UnicodeView Name) const {
    // Two names may still meet in the server's character set (both unencodable there): 8-bit
    // clients could not tell them apart, so the later one is a duplicate too.
    if (ByName_.IndexOf(Keys.Name) >= 0 || ByName2_.IndexOf(Keys.Utf8) >= 0 || ByHexName_.IndexOf(Keys.Hex) >= 0)
        throw Exception("Network: " + QuotedNameA(Name) + ": duplicate network name");
}

void TZELNetworksList::Insert(const TKeys& Keys, TZELSVCNetworkBase* Network) {
    ByName_.Add(Keys.Name, Network);
    ByName2_.Add(Keys.Utf8, Network);
    ByHexName_.Add(Keys.Hex, Network);
}

void TZELNetworksList::Add(std::unique_ptr<TZELSVCNetworkBase> Network) {
    if (!Network) throw Exception("Network list: no network to add");
    const UnicodeString name = Network->NetworkName();
    const TKeys keys = MakeKeys(name);
    CheckFree(keys, name);
    Networks_.reserve(Networks_.size() + 1);  // so that nothing below fails half-way
    Insert(keys, Network.get());
    const UnicodeString prefix = u"\"" + name + u"\": ";
    Network->SetLogHooks(
        [this, prefix](UnicodeView Text) {
            if (OnInfo_) OnInfo_(prefix + UnicodeString(Text));
        },
        [this, prefix](UnicodeView Text) {
            if (OnError_) OnError_(prefix + UnicodeString(Text));
        });
    Networks_.push_back(std::move(Network));
}

void TZELNetworksList::AddRec(const TZELServNetworkRec& Rec) {
    const TKeys keys = MakeKeys(Rec.Name);
    // Before creating: a network may act on creation (its Parrot joins).
    CheckFree(keys, Rec.Name);
    if (Factory_ == nullptr) {
        Insert(keys, nullptr);
        return;
    }
    std::unique_ptr<TZELSVCNetworkBase> made = Factory_->CreateNetwork(Rec);
    // A factory without a network class makes none: the list stays empty.
    if (made) Add(std::move(made));
}

TZELSVCNetworkBase* TZELNetworksList::Find(UnicodeView Name) const {
    auto* n = static_cast<TZELSVCNetworkBase*>(ByName_.GetObject(StrToSortKeyA(UnitsAsBytes(Name))));
    return n != nullptr && n->NetworkName() == Name ? n : nullptr;
}

TZELSVCNetworkBase* TZELNetworksList::FindByName(UnicodeView Name) const noexcept {
    for (size_t i = Networks_.size(); i-- > 0;)
        if (Networks_[i]->NetworkName() == Name) return Networks_[i].get();
    return nullptr;
}

TZELSVCNetworkBase* TZELNetworksList::FindUtf8(AnsiView Name) const {
    if (Name.empty() || EndsWithZero(Name)) return nullptr;
    return static_cast<TZELSVCNetworkBase*>(ByName2_.GetObject(StrToSortKeyA(Name)));
}

TZELSVCNetworkBase* TZELNetworksList::FindByHexName(AnsiView Hex) const {
    if (Hex.empty() || EndsWithZero(Hex)) return nullptr;
    return static_cast<TZELSVCNetworkBase*>(ByHexName_.GetObject(StrToSortKeyA(Hex)));
}

void TZELNetworksList::BuildListTexts() {
    AnsiString text, utf8;
    int32_t visible = 0;
    for (const auto& n : Networks_) {
        if (n->NetworkOptions().Hidden) continue;
        ++visible;
        text += ServerConverter_.FromUnicode(n->NetworkName());
        text += "\r\n";
        utf8 += UnicodeToUtf8A(n->NetworkName());
        utf8 += "\r\n";
    }
    const AnsiString count = std::to_string(visible) + "\r\n";
    ListText_ = count + text;
    ListTextUtf8_ = count + utf8;
}

void TZELNetworksList::CheckNetManagers(uint32_t LinksMask) {
    for (const auto& n : Networks_) n->CheckManagers(LinksMask);
}

void TZELNetworksList::AddDefaultNetworks(const TZELServiceNetOptions& Defaults) {
    if (Factory_ == nullptr) return;
    for (const char16_t* name : {u"Test", u"Net01"}) {
        TZELServNetworkRec rec;
        rec.Name = name;
        InitNetworkOptions(Defaults, rec.Options);
        rec.Options.Parrot.ParrotEnable = true;
        rec.Options.Parrot.ParrotStartStopEnable = true;
        AddRec(rec);
    }
    BuildListTexts();
}

void TZELNetworksList::ReportError(UnicodeView Text) {
    if (OnError_) OnError_(Text);
}

void TZELNetworksList::ReadFile(const AnsiString& SysName, const AnsiString& FileNameUtf8,
                                const TZELServiceNetOptions& Defaults, bool& Clean) {
    const AnsiString prefix = "Network file \"" + FileNameUtf8 + "\": ";
    std::vector<char> buf(NetworksFileBufSize);
    TTextFile f;
    int code = TryResetTextName(f, SysName, buf.data(), buf.size());
    if (code != 0) throw EZELNetworksFileError(code, prefix + FormatOpenFileError(code, SysName));
    // The file error's own text, with the code kept for the caller.
    auto raiseRead = [&](int Code) {
        try {
            RaiseReadFileError(Code, SysName);
        } catch (const EFileException& e) {
            throw EZELNetworksFileError(Code, prefix + e.Message());
        }
    };
    AnsiString line;
    for (int32_t n = 1;; ++n) {
        // A read that fails is found here, with its code (a directory is refused at the open).
        code = TryFillTextBuf(f);
        if (code != 0) raiseRead(code);
        if (EofText(f)) break;  // filled above, so this reads nothing
        try {
            ReadLnText(f, line);
        } catch (const EFileException& e) {
            // A read failing in the middle of a long line: the code is not at hand.
            throw EZELNetworksFileError(EIO, prefix + e.Message());
        }
        AnsiView t(line);
        if (n == 1 && t.substr(0, 3) == "\xEF\xBB\xBF") t.remove_prefix(3);
        const AnsiString trimmed = TrimA(t);
        if (trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';') continue;
        try {
            TZELServNetworkRec rec;
            if (ParseNetworkLine(Defaults, trimmed, rec, ConverterOptions_)) AddRec(rec);
        } catch (const std::exception& e) {
            Clean = false;
            ReportError(Utf8ToU(prefix + FormatA("Line %d: %s", n, e.what())));
        }
    }
}

bool TZELNetworksList::LoadFromFile(UnicodeView FileName, const TZELServiceNetOptions& Defaults) {
    Clear();
    bool clean = true;
    try {
        ReadFile(UnicodeToSysCharsetProc(FileName), UnicodeToUtf8A(FileName), Defaults, clean);
    } catch (...) {
        Clear();
        throw;
    }
    Loaded_ = true;
    BuildListTexts();
    return clean;
}

bool CheckNetworksFile(UnicodeView FileName, const TZELServiceNetOptions& Defaults,
                       TAnsiUnicodeConverterOptions ConverterOptions, const TZELSVCLogHook& Error) {
    TZELNetworksList list(nullptr, ConverterOptions);
    list.SetLogHooks(nullptr, Error);
    try {
        if (!Defaults.CharsetName.empty()) list.SetServerCharsetName(Defaults.CharsetName);
        return list.LoadFromFile(FileName, Defaults);
    } catch (const std::exception& e) {
        if (Error) Error(Utf8ToU(e.what()));
        return false;
    }
}

}  // namespace zel
