#include "service/dmq_zel_svc_list_base.hpp"

#include <cerrno>
#include <charconv>
#include <limits>
#include <new>

#include "foundation/dmq_datetime.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_svc_params.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

// ---------------------------------------------------------------------------------------------
// Load state.

void SetListLoaded(TZELListLoadData& L) noexcept {
    L.NoLineFeeds = false;
    L.State = TZELListLoadState::lls_Loaded;
    L.Code = 0;
    L.Error.clear();
}

void SetListMissing(TZELListLoadData& L) noexcept {
    L.NoLineFeeds = false;
    L.State = TZELListLoadState::lls_Missing;
    L.Code = ENOENT;
    L.Error.clear();
}

void SetListLoadFailed(TZELListLoadData& L, int Code, AnsiView Error) {
    L.NoLineFeeds = false;
    L.State = TZELListLoadState::lls_Failed;
    L.Code = Code;
    L.Error.assign(Error);
}

void SetListLoadFailure(TZELListLoadData& L, const std::exception& E) {
    if (dynamic_cast<const EListFileMissing*>(&E) != nullptr) {
        SetListMissing(L);
        return;
    }
    const auto* fe = dynamic_cast<const EListFileError*>(&E);
    SetListLoadFailed(L, fe != nullptr ? fe->Code() : 0, E.what());
}

bool ListSaveAllowed(const TZELListLoadData& L) noexcept { return L.State != TZELListLoadState::lls_Failed; }

bool ListSaveKeepsFile(const TZELListLoadData& L, size_t Lines) noexcept {
    return L.NoLineFeeds && L.State == TZELListLoadState::lls_Loaded && Lines == 0;
}

void CheckListSave(const TZELListLoadData& L, UnicodeView FileName) {
    if (ListSaveAllowed(L)) return;
    const AnsiString name = DefaultUnicodeToAnsiA(FileName);
    throw EListSaveRefused(FormatA("Not saved: \"%s\" could not be read (%s); reread it first", name.c_str(),
                                   L.Error.c_str()));
}

// ---------------------------------------------------------------------------------------------
// Reader.

namespace {

[[noreturn]] void RaiseListFileError(int Code, const char* What, AnsiView Name) {
    const std::string_view what(What);
    const AnsiString text = what == "opening"   ? FileOpenErrorText(Code)
                            : what == "reading" ? FileReadErrorText(Code)
                                                : SysErrorText(Code);
    AnsiString msg = FormatA("error [%d] of %s file \"%.*s\": %s", Code, What, static_cast<int>(Name.size()),
                             Name.data(), text.c_str());
    if (Code == ENOENT) throw EListFileMissing(Code, std::move(msg));
    throw EListFileError(Code, std::move(msg));
}

constexpr char kBom[] = "\xEF\xBB\xBF";

}  // namespace

AnsiString FormatListLineMessage(int32_t LineNo, AnsiView Text) {
    if (LineNo == 0) return AnsiString(Text);
    return FormatA("line %d: %.*s", LineNo, static_cast<int>(Text.size()), Text.data());
}

void ReadListFile(UnicodeView FileName, const TZELListLineProc& ParseLine, bool& RewriteFlag,
                  const TZELListWarningProc& Warning, const TZELListReadParams& Params) {
    const AnsiString name = UnicodeToSysCharsetProc(FileName);
    std::unique_ptr<char[]> buf(new char[Params.BufSize]);
    TTextFile f;
    if (const int code = TryResetTextName(f, name, buf.get(), Params.BufSize))
        RaiseListFileError(code, "opening", name);

    // A few bytes over the limit (room for a byte order mark and the CR that the scanner drops
    // at the end of what it keeps, plus one) tell a longer line from one at the limit.
    constexpr int32_t scanLimit = ZELListMaxLineLen + 5;
    TStringBldA line;
    StrBldAInit(line, 256);
    AnsiString reason;
    bool rewrite = false;
    int32_t lineNo = 0;
    // A file that is no list (random bytes, another program's file) would give a warning for
    // nearly every line: the first few are told, the rest only counted.
    int32_t warnings = 0;
    auto warn = [&](AnsiView why) {
        if (Warning && ++warnings <= ZELListWarningsShown) Warning(lineNo, why);
    };
    // Also when the read fails: the lines refused until then are told.
    auto tellUntold = [&] {
        if (Warning && warnings > ZELListWarningsShown)
            Warning(0, FormatA("%d more lines refused", warnings - ZELListWarningsShown));
    };
    const TZELListReadHooks& hooks = Params.Hooks;
    try {
        for (;;) {
            if (const int code = TryFillTextBuf(f)) RaiseListFileError(code, "reading", name);
            if (EofText(f)) break;  // filled above, so this reads nothing
            if (hooks.Stop && lineNo % ZELListStopCheckLines == 0 && hooks.Stop())
                throw EListReadStopped("reading given up at the stop");
            bool lineEnded = false;
            if (const int code = TryStrBldAReadLn(f, line, scanLimit, false, lineEnded))
                RaiseListFileError(code, "reading", name);
            ++lineNo;
            AnsiView s = StrBldAView(line);
            // Lines ended by CR alone (an old Mac editor) read as one line, most often a comment:
            // the list would empty without a word and its next save replace the operator's file.
            if (lineNo == 1 && !lineEnded && s.find('\r') != AnsiView::npos) {
                if (hooks.NoLineFeeds != nullptr) *hooks.NoLineFeeds = true;
                if (Warning)
                    Warning(0, "the file has no line feeds (its lines end in CR alone): no entry is read from it, "
                               "and it is kept as it is until a change of the list is saved");
                break;
            }
            if (lineNo == 1 && s.substr(0, 3) == AnsiView(kBom, 3)) s.remove_prefix(3);
            if (s.size() > static_cast<size_t>(ZELListMaxLineLen)) {
                rewrite = true;
                warn(FormatA("longer than %d bytes, dropped", ZELListMaxLineLen));
                continue;
            }
            while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32) s.remove_prefix(1);
            if (s.empty() || Params.CommentChars.find(s.front()) != AnsiView::npos) continue;
            if (hooks.Hold && hooks.Hold(s)) continue;
            reason.clear();
            bool taken;
            try {
                taken = ParseLine(s, rewrite, reason);
            } catch (const std::exception& e) {
                throw Exception(FormatListLineMessage(lineNo, e.what()));
            }
            if (!taken) {
                rewrite = true;
                if (!reason.empty()) warn(reason);
            }
        }
    } catch (...) {
        tellUntold();
        throw;
    }
    tellUntold();
    if (const int code = TryCloseText(f)) RaiseListFileError(code, "closing", name);
    if (rewrite) RewriteFlag = true;
}

bool FindListKey(const TZELSortedAnsiStringList& List, AnsiView Key, int32_t& I) {
    if (Key.size() % 8 == 0) return List.Find(Key, I);
    return List.Find(PadKey8A(Key), I);
}

AnsiString ListSortKey(AnsiView Key) { return Key.size() % 8 == 0 ? AnsiString(Key) : PadKey8A(Key); }

// ---------------------------------------------------------------------------------------------
// Fields.

int32_t TZELListLineFields::Split(AnsiView Line, int32_t Max) noexcept {
    if (Max > MaxFields) Max = MaxFields;
    TSplitBufInfo info;
    info.Text = Line.data();
    info.Len = static_cast<int32_t>(Line.size());
    info.Fields = fields_;
    info.MaxFields = Max;
    info.Delimiter = '|';
    count_ = SplitBufFields(info);
    for (int32_t i = 0; i < count_; ++i) TrimPCharLen(fields_[i].P, fields_[i].Len);
    return count_;
}

AnsiView TZELListLineFields::operator[](int32_t N) const noexcept {
    if (N < 1 || N > count_) return AnsiView();
    const TBufFieldRec& f = fields_[N - 1];
    return f.Len > 0 ? AnsiView(f.P, static_cast<size_t>(f.Len)) : AnsiView();
}

bool ListLineFail(AnsiString& Reason, AnsiView Text) {
    Reason.assign(Text);
    return false;
}

bool ReadListNetworkField(AnsiView Field, UnicodeString& Network) {
    const AnsiString t = TrimA(Field);
    if (t.empty()) return false;
    UnicodeString n = DefaultAnsiToUnicodeU(t);
    if (DefaultUnicodeToAnsiA(n) != t) return false;
    Network = std::move(n);
    return true;
}

bool ReadListIdField(AnsiView Field, AnsiString& Id, bool& Rewrite) {
    AnsiString id = TrimA(Field);
    if (id.size() != 22 && id.size() != 24) return false;
    bool changed = false;
    if (!NormalizeSourceId(id, changed)) return false;
    if (changed) Rewrite = true;
    Id = std::move(id);
    return true;
}

void ReadListTimeField(AnsiView Field, int64_t& Time, bool& Rewrite) {
    Time = 0;
    const AnsiString t = TrimA(Field);
    if (t.empty()) return;
    if (t[0] == 'u' || t[0] == 'U') {
        int64_t v = 0;
        if (TryBufToInt64A(t.data() + 1, static_cast<int32_t>(t.size() - 1), v) && v >= 1) {
            Time = v;
            return;
        }
    } else if (t.size() == 17 && t.find_first_not_of("0123456789") == AnsiString::npos) {
        TDateTime d = 0;
        if (TryParseTimestampA(t, d)) {
            const int64_t v = DateTimeToUnixSec(d);
            Time = v > 0 ? v : 0;
        }
    }
    Rewrite = true;
}

bool ReadListHexFields(const TZELListLineFields& Line, int32_t First, std::initializer_list<AnsiString*> Values,
                       AnsiString& Reason) {
    int32_t n = First;
    for (AnsiString* v : Values) {
        if (ReadHexTextField(*v, Line[n]) < 0) return ListLineFail(Reason, FormatA("field %d: invalid hex", n));
        if (!IsSafeElementTextA(*v)) return ListLineFail(Reason, FormatA("field %d: forbidden characters", n));
        ++n;
    }
    return true;
}

bool ListUtf8TextsValid(std::initializer_list<const AnsiString*> Texts, bool& Any) noexcept {
    bool valid = true;
    Any = false;
    for (const AnsiString* t : Texts) {
        if (t->empty()) continue;
        Any = true;
        if (!IsValidUtf8A(*t)) valid = false;
    }
    return valid;
}

int64_t AddListSeconds(int64_t A, int32_t B) noexcept {
    int64_t r = 0;
    if (__builtin_add_overflow(A, static_cast<int64_t>(B), &r))
        return B > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return r;
}

// ---------------------------------------------------------------------------------------------
// Writers.

void StrBldAAddInt64(TStringBldA& B, int64_t V) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, V);
    StrBldAAddBuf(B, buf, static_cast<int32_t>(r.ptr - buf));
}

AnsiString Int64ToStrA(int64_t V) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, V);
    return AnsiString(buf, r.ptr);
}

void AddListHexField(TStringBldA& B, AnsiView Text) {
    StrBldAAddChar(B, '|');
    StrBldAAddHex(B, Text);
}

void AddListHexFields(TStringBldA& B, std::initializer_list<AnsiView> Texts) {
    for (AnsiView t : Texts) AddListHexField(B, t);
}

void AddListClientItems(TStringBldA& B, AnsiView NN, AnsiView CT, AnsiView BC, AnsiView ON) {
    StrBldAAddTLV(B, '5', NN);
    StrBldAAddTLV(B, '6', CT);
    StrBldAAddTLV(B, '3', BC);
    StrBldAAddTLV(B, '2', ON);
}

void AddListTimeField(TStringBldA& B, int64_t Time) {
    StrBldAAddChar(B, '|');
    if (Time > 0) {
        StrBldAAddChar(B, 'u');
        StrBldAAddInt64(B, Time);
    }
}

AnsiString TakeListText(TStringBldA& B) {
    AnsiString s = StrBldAToStr(B);
    StrBldAReset(B);
    return s;
}

}  // namespace zel
