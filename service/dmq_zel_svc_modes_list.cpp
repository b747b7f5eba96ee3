#include "service/dmq_zel_svc_modes_list.hpp"

#include "foundation/dmq_fields.hpp"

namespace zel {

namespace {

constexpr size_t kModesReadBufSize = 16384;

// A switch field: a decimal number, blanks around it allowed; on when not 0.
bool ReadSwitchField(AnsiView Field, uint8_t& Mode, bool& Rewrite) {
    int32_t n = 0;
    if (!TryStrToInt32A(AnsiView(TrimA(Field)), n)) return false;
    Mode = n != 0 ? 1 : 0;
    if (Field != "0" && Field != "1") Rewrite = true;
    return true;
}

}  // namespace

bool ParseModesLine(TZELSVCModesRecord& Rec, AnsiView Line, bool& Rewrite, AnsiString& Reason) {
    const AnsiString line = TrimA(Line);
    AnsiString name, connection, talk;
    ExtractFieldA(line, '|', 1, name);
    // Network names never carry outer blanks: "Net01 |1|0" names Net01.
    name = TrimA(name);
    if (name.empty()) {
        Reason = "empty network name";
        return false;
    }
    if (!ExtractFieldA(line, '|', 2, connection) || connection.empty()) {
        Reason = "no connection mode";
        return false;
    }
    bool rewrite = false;
    if (!ReadSwitchField(connection, Rec.ConnectionMode, rewrite)) {
        Reason = "connection mode is not a number";
        return false;
    }
    if (!ExtractFieldA(line, '|', 3, talk)) {
        Reason = "no talk mode";
        return false;
    }
    if (!ReadSwitchField(talk, Rec.TalkMode, rewrite)) {
        Reason = "talk mode is not a number";
        return false;
    }
    if (Rec.ConnectionMode == 0 && Rec.TalkMode == 0) {
        Reason = "both modes off";
        return false;
    }
    if (!ReadListNetworkField(name, Rec.Network)) {
        Reason = "network name is not valid UTF-8";
        return false;
    }
    if (rewrite) Rewrite = true;
    return true;
}

void ReadModesFile(UnicodeView FileName, TZELSVCModesArray& Modes, bool& RewriteFlag,
                   const TZELListWarningProc& Warning, const TZELListReadHooks& Hooks) {
    Modes.clear();
    TZELSVCModesArray modes;
    TZELListReadParams params;
    params.BufSize = kModesReadBufSize;
    params.CommentChars = "#;";
    params.Hooks = Hooks;
    ReadListFile(
        FileName,
        [&](AnsiView line, bool& rewrite, AnsiString& reason) {
            TZELSVCModesRecord rec;
            if (!ParseModesLine(rec, line, rewrite, reason)) return false;
            modes.push_back(std::move(rec));
            return true;
        },
        RewriteFlag, Warning, params);
    Modes = std::move(modes);
}

AnsiString BuildModesLine(AnsiView NetworkUtf8, bool ConnectionMode, bool TalkMode) {
    AnsiString s(NetworkUtf8);
    s += ConnectionMode ? "|1|" : "|0|";
    s += TalkMode ? "1\r\n" : "0\r\n";
    return s;
}

}  // namespace zel
