#include "service/dmq_zel_svc_rights_list.hpp"

#include "foundation/dmq_datetime.hpp"
#include "service/dmq_zel_svc_params.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

bool AccessValuesEqual(const TZELSVCAccessData& A, const TZELSVCAccessData& B) noexcept {
    return A.Time == B.Time && A.EMail == B.EMail && A.NN == B.NN && A.CT == B.CT && A.BC == B.BC && A.ON == B.ON &&
           A.ClientType == B.ClientType && A.NN8 == B.NN8 && A.CT8 == B.CT8 && A.BC8 == B.BC8 && A.ON8 == B.ON8;
}

// ---------------------------------------------------------------------------------------------
// Entry.

void TZELSVCAccess::AssignDataFromClient(const TZELSVCListClientData& C) {
    Data.EMail = C.EMail;
    Data.Key = C.EMailKey.empty() ? PadKey8A(C.EMail) : C.EMailKey;
    Data.NN = C.NN, Data.CT = C.CT, Data.BC = C.BC, Data.ON = C.ON;
    Data.NN8 = C.NN8, Data.CT8 = C.CT8, Data.BC8 = C.BC8, Data.ON8 = C.ON8;
    Data.ClientType = C.ClientType;
    Data.Utf8 = C.Utf8;
}

bool TZELSVCAccess::EqualsClient(const TZELSVCListClientData& C) const noexcept {
    return Data.EMail == C.EMail && Data.NN == C.NN && Data.CT == C.CT && Data.BC == C.BC && Data.ON == C.ON &&
           Data.ClientType == C.ClientType && Data.NN8 == C.NN8 && Data.CT8 == C.CT8 && Data.BC8 == C.BC8 &&
           Data.ON8 == C.ON8;
}

void TZELSVCAccess::AssignFromClient(const TZELSVCListClientData& C) {
    AssignDataFromClient(C);
    RebuildText();
}

bool TZELSVCAccess::UpdateFromClient(const TZELSVCListClientData& C) {
    if (EqualsClient(C)) return false;
    AssignFromClient(C);
    return true;
}

void TZELSVCAccess::AssignData(const TZELSVCAccessData& D) {
    Data = D;
    RebuildText();
}

bool TZELSVCAccess::SetMark(uint8_t Mark) {
    if (Data.Mark == Mark) return false;
    Data.Mark = Mark;
    RebuildText();
    return true;
}

void TZELSVCAccess::RebuildText() {
    // Shown inverted: '0' for a marked entry.
    const char mark = Data.Mark == 1 ? '0' : '1';
    TStringBldA b;
    StrBldAInit(b, 512);

    StrBldAAddElementChar(b, "AI", mark);
    StrBldAAddElement(b, "NN", Data.NN);
    StrBldAAddElement(b, "CT", Data.CT);
    StrBldAAddElement(b, "BC", Data.BC);
    StrBldAAddElement(b, "ON", Data.ON);
    StrBldAAddElement(b, "ID", Data.EMail);
    StrBldAAddCRLF(b);
    AnsiString proto = TakeListText(b);

    const bool u8 = Data.Utf8 != 0;
    StrBldAAddChar(b, u8 ? '1' : '0');
    StrBldAAddChar(b, mark);
    if (u8)
        AddListClientItems(b, Data.NN8, Data.CT8, Data.BC8, Data.ON8);
    else
        AddListClientItems(b, Data.NN, Data.CT, Data.BC, Data.ON);
    StrBldAAddTLV(b, '0', Data.EMail);
    StrBldAAddTLV(b, 'C', Int64ToStrA(Data.Time));
    StrBldAAddCRLF(b);
    AnsiString command = TakeListText(b);

    StrBldAAdd(b, Owner->ListNameUtf8());
    StrBldAAddChar(b, '|');
    StrBldAAddChar(b, Data.Mark == 1 ? '1' : '0');
    AddListHexFields(b, {Data.EMail, Data.NN, Data.CT, Data.BC, Data.ON});
    StrBldAAddChar(b, '|');
    StrBldAAddChar(b, static_cast<char>('0' + Data.ClientType));
    AddListTimeField(b, Data.Time);
    AddListHexFields(b, {Data.NN8, Data.CT8, Data.BC8, Data.ON8});
    StrBldAAddCRLF(b);

    ProtoLine = std::move(proto);
    CommandLine = std::move(command);
    FileLine = TakeListText(b);
}

// ---------------------------------------------------------------------------------------------
// Reader.

bool ParseAccessLine(TZELSVCAccessRecord& Rec, AnsiView Line, bool& Rewrite, AnsiString& Reason) {
    TZELListLineFields f;
    if (f.Split(Line, 13) < 3) return ListLineFail(Reason, "fewer than 3 fields");
    if (!ReadListNetworkField(f[1], Rec.Network)) return ListLineFail(Reason, "field 1: invalid network name");
    TZELSVCAccessData& d = Rec.Data;
    d.Mark = f[2].size() == 1 && f[2][0] != '0' ? 1 : 0;
    if (f[3].empty()) return ListLineFail(Reason, "field 3: empty e-mail");
    // A NUL would pad to the key of the e-mail without it: two entries, one key.
    if (ReadHexTextField(d.EMail, f[3]) <= 0 || !TryPadKey8A(d.EMail, d.Key))
        return ListLineFail(Reason, "field 3: invalid e-mail");
    if (!IsSafeElementTextA(d.EMail)) return ListLineFail(Reason, "field 3: forbidden characters");
    if (!ReadListHexFields(f, 4, {&d.NN, &d.CT, &d.BC, &d.ON}, Reason)) return false;
    if (ReadClientTypeField(d.ClientType, f[8]) < 0) return ListLineFail(Reason, "field 8: invalid client type");
    ReadListTimeField(f[9], d.Time, Rewrite);
    if (!ReadListHexFields(f, 10, {&d.NN8, &d.CT8, &d.BC8, &d.ON8}, Reason)) return false;
    bool any = false;
    const bool valid = ListUtf8TextsValid({&d.NN8, &d.CT8, &d.BC8, &d.ON8}, any);
    d.Utf8 = any ? 1 : 0;
    if (any && !valid) {
        for (AnsiString* t : {&d.NN8, &d.CT8, &d.BC8, &d.ON8}) t->clear();
        d.Utf8 = 0;
        Rewrite = true;
    }
    return true;
}

TZELSVCAccessRecordChain ReadAccessFile(UnicodeView FileName, bool& RewriteFlag, const TZELListWarningProc& Warning,
                                        const TZELListReadHooks& Hooks) {
    return ReadListRecords<TZELSVCAccessRecord>(FileName, RewriteFlag, Warning, ParseAccessLine, Hooks);
}

// ---------------------------------------------------------------------------------------------
// List operations.

namespace {

bool MergeAccessRecord(TZELSVCAccessList& List, const TZELSVCAccessData& Data, TZELSVCNetworkBase& Owner,
                       bool WithIndex) {
    return MergeListRecord(
        List, Data.Key, Data.Time, WithIndex, [&] { return std::make_unique<TZELSVCAccess>(Owner); },
        [&](TZELSVCAccess& e) { e.AssignData(Data); });
}

}  // namespace

bool AccessListAddClient(TZELSVCAccessList& List, const TZELSVCListClientData& Context, TZELSVCNetworkBase& Owner) {
    // The e-mail of an owner's or the command port's request is shown in the ID element.
    if (!IsSafeElementTextA(Context.EMail)) return false;
    const AnsiString key = Context.EMailKey.empty() ? PadKey8A(Context.EMail) : Context.EMailKey;
    return AddListClient(
        List, key, Context.Online, [&] { return std::make_unique<TZELSVCAccess>(Owner); },
        [&](TZELSVCAccess& e) {
            e.AssignDataFromClient(Context);
            e.Data.Time = GetUnixTime();
            e.RebuildText();
        },
        [&](TZELSVCAccess& e) { return e.UpdateFromClient(Context); });
}

bool AccessListRemove(TZELSVCAccessList& List, AnsiView Key) {
    int32_t i = 0;
    if (!List.Find(Key, i)) return false;
    List.Remove(i);
    return true;
}

bool AccessListSetMark(TZELSVCAccessList& List, AnsiView Key, uint8_t Mark) {
    TZELSVCAccess* e = List.Find(Key);
    return e != nullptr && e->SetMark(Mark);
}

bool AccessListMergeRecord(TZELSVCAccessList& List, const TZELSVCAccessData& Data, TZELSVCNetworkBase& Owner) {
    return MergeAccessRecord(List, Data, Owner, true);
}

bool AccessListMerge(TZELSVCAccessList& Current, TZELSVCAccessRecordList& New, TZELSVCNetworkBase& Network) {
    const bool compare = Network.RereadCompareAttr();
    return MergeListWalk(
        Current, New,
        [&](const TZELSVCAccessRecord& rec) {
            auto e = std::make_unique<TZELSVCAccess>(Network);
            e->AssignData(rec.Data);
            return e;
        },
        [](AnsiView) {},
        [&](TZELSVCAccess& e, const TZELSVCAccessRecord& rec) {
            if (compare && !AccessValuesEqual(e.Data, rec.Data)) {
                e.AssignData(rec.Data);  // the mark too
                return true;
            }
            return e.SetMark(rec.Data.Mark);
        },
        [](AnsiView) {});
}

}  // namespace zel
