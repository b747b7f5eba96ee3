#include "service/dmq_zel_svc_admins_list.hpp"

#include "foundation/dmq_datetime.hpp"
#include "service/dmq_zel_svc_params.hpp"

namespace zel {

bool AdminValuesEqual(const TZELSVCAdminData& A, const TZELSVCAdminData& B) noexcept {
    return A.Id == B.Id && A.NN == B.NN && A.CT == B.CT && A.BC == B.BC && A.ON == B.ON && A.NN8 == B.NN8 &&
           A.CT8 == B.CT8 && A.BC8 == B.BC8 && A.ON8 == B.ON8 && A.ClientType == B.ClientType;
}

// ---------------------------------------------------------------------------------------------
// Entry.

bool TZELSVCAdmin::EqualsClient(const TZELSVCListClientData& C) const noexcept {
    return Data.Id == C.Id && Data.NN == C.NN && Data.CT == C.CT && Data.BC == C.BC && Data.ON == C.ON &&
           Data.NN8 == C.NN8 && Data.CT8 == C.CT8 && Data.BC8 == C.BC8 && Data.ON8 == C.ON8 &&
           Data.ClientType == C.ClientType;
}

void TZELSVCAdmin::AssignFromClient(bool Stamp, const TZELSVCListClientData& C) {
    TZELSVCAdminData d;
    d.Time = Stamp ? GetUnixTime() : Data.Time;
    d.Id = C.Id;
    d.NN = C.NN, d.CT = C.CT, d.BC = C.BC, d.ON = C.ON;
    d.NN8 = C.NN8, d.CT8 = C.CT8, d.BC8 = C.BC8, d.ON8 = C.ON8;
    d.ClientType = C.ClientType;
    d.Utf8 = C.Utf8;
    AssignData(d);
}

void TZELSVCAdmin::AssignData(const TZELSVCAdminData& D) {
    Data = D;
    RebuildText();
}

void TZELSVCAdmin::RebuildText() {
    const char type = static_cast<char>('0' + Data.ClientType);
    TStringBldA b;
    StrBldAInit(b, 512);

    StrBldAAddElement(b, "NN", Data.NN);
    StrBldAAddElement(b, "CT", Data.CT);
    StrBldAAddElement(b, "BC", Data.BC);
    StrBldAAddElementChar(b, "CM", type);
    StrBldAAddElement(b, "ON", Data.ON);
    StrBldAAddElement(b, "ID", Data.Id);
    StrBldAAddCRLF(b);
    AnsiString proto = TakeListText(b);

    const bool u8 = Data.Utf8 != 0;
    StrBldAAddChar(b, u8 ? '1' : '0');
    StrBldAAddChar(b, type);
    if (u8)
        AddListClientItems(b, Data.NN8, Data.CT8, Data.BC8, Data.ON8);
    else
        AddListClientItems(b, Data.NN, Data.CT, Data.BC, Data.ON);
    StrBldAAddTLV(b, '8', Data.Id);
    StrBldAAddTLV(b, 'C', Int64ToStrA(Data.Time));
    StrBldAAddCRLF(b);
    AnsiString command = TakeListText(b);

    StrBldAAdd(b, Owner->ListNameUtf8());
    StrBldAAddChar(b, '|');
    StrBldAAdd(b, Data.Id);
    AddListHexFields(b, {Data.NN, Data.CT, Data.BC, Data.ON});
    StrBldAAddChar(b, '|');
    StrBldAAddChar(b, type);
    AddListTimeField(b, Data.Time);
    AddListHexFields(b, {Data.NN8, Data.CT8, Data.BC8, Data.ON8});
    StrBldAAddCRLF(b);

    ProtoLine = std::move(proto);
    CommandLine = std::move(command);
    FileLine = TakeListText(b);
}

// ---------------------------------------------------------------------------------------------
// Reader.

bool ParseAdminLine(TZELSVCAdminRecord& Rec, AnsiView Line, bool& Rewrite, AnsiString& Reason) {
    TZELListLineFields f;
    if (f.Split(Line, 16) < 2) return ListLineFail(Reason, "fewer than 2 fields");
    if (!ReadListNetworkField(f[1], Rec.Network)) return ListLineFail(Reason, "field 1: invalid network name");
    TZELSVCAdminData& d = Rec.Data;
    if (!ReadListIdField(f[2], d.Id, Rewrite)) return ListLineFail(Reason, "field 2: invalid client id");
    if (!ReadListHexFields(f, 3, {&d.NN, &d.CT, &d.BC, &d.ON}, Reason)) return false;
    if (ReadClientTypeField(d.ClientType, f[7]) < 0) return ListLineFail(Reason, "field 7: invalid client type");
    ReadListTimeField(f[8], d.Time, Rewrite);
    if (!ReadListHexFields(f, 9, {&d.NN8, &d.CT8, &d.BC8, &d.ON8}, Reason)) return false;
    // The UTF-8 forms are kept as read; only valid ones are shown.
    bool any = false;
    const bool valid = ListUtf8TextsValid({&d.NN8, &d.CT8, &d.BC8, &d.ON8}, any);
    d.Utf8 = any && valid ? 1 : 0;
    return true;
}

TZELSVCAdminRecordChain ReadAdminsFile(UnicodeView FileName, bool& RewriteFlag, const TZELListWarningProc& Warning,
                                       const TZELListReadHooks& Hooks) {
    return ReadListRecords<TZELSVCAdminRecord>(FileName, RewriteFlag, Warning, ParseAdminLine, Hooks);
}

// ---------------------------------------------------------------------------------------------
// List operations.

namespace {

bool MergeAdminRecord(TZELSVCAdminList& List, const TZELSVCAdminData& Data, TZELSVCNetworkBase& Owner,
                      bool WithIndex) {
    return MergeListRecord(
        List, Data.Id, Data.Time, WithIndex, [&] { return std::make_unique<TZELSVCAdmin>(Owner); },
        [&](TZELSVCAdmin& e) { e.AssignData(Data); });
}

}  // namespace

bool AdminsListAddClient(TZELSVCAdminList& List, const TZELSVCListClientData& Context, TZELSVCNetworkBase& Owner) {
    return AddListClient(
        List, Context.Id, Context.Online, [&] { return std::make_unique<TZELSVCAdmin>(Owner); },
        [&](TZELSVCAdmin& e) { e.AssignFromClient(true, Context); },
        [&](TZELSVCAdmin& e) {
            if (e.EqualsClient(Context)) return false;
            e.AssignFromClient(false, Context);
            return true;
        });
}

bool AdminsListRemove(TZELSVCAdminList& List, AnsiView Id) {
    int32_t i = 0;
    if (!List.Find(Id, i)) return false;
    List.Remove(i);
    return true;
}

bool AdminsListMergeRecord(TZELSVCAdminList& List, const TZELSVCAdminData& Data, TZELSVCNetworkBase& Owner) {
    return MergeAdminRecord(List, Data, Owner, true);
}

bool AdminsListMerge(TZELSVCAdminList& Current, TZELSVCAdminRecordList& New, TZELSVCNetworkBase& Network) {
    const bool compare = Network.RereadCompareAttr();
    return MergeListWalk(
        Current, New,
        [&](const TZELSVCAdminRecord& rec) {
            auto e = std::make_unique<TZELSVCAdmin>(Network);
            e->AssignData(rec.Data);
            return e;
        },
        [&](AnsiView id) { Network.ClientRoleChangedById(id); },
        [&](TZELSVCAdmin& e, const TZELSVCAdminRecord& rec) {
            if (!compare || AdminValuesEqual(e.Data, rec.Data)) return false;
            e.AssignData(rec.Data);
            return true;
        },
        [&](AnsiView id) { Network.ClientRoleChangedById(id); });
}

}  // namespace zel
