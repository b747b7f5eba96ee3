#include "service/dmq_zel_svc_muteblock_list.hpp"

#include <algorithm>
#include <vector>

#include "foundation/dmq_datetime.hpp"
#include "service/dmq_zel_svc_params.hpp"

namespace zel {

namespace {

constexpr uint8_t kServerLevel = static_cast<uint8_t>(TZELClientPrivilege::clpr_SERVOWNER);

bool ClientValuesEqual(const TZELSVCMuteBlockData& D, const TZELSVCListClientData& C) noexcept {
    return D.NN == C.NN && D.CT == C.CT && D.BC == C.BC && D.ON == C.ON && D.ClientType == C.ClientType &&
           D.NN8 == C.NN8 && D.CT8 == C.CT8 && D.BC8 == C.BC8 && D.ON8 == C.ON8;
}

}  // namespace

bool MuteBlockValuesEqual(const TZELSVCMuteBlockData& A, const TZELSVCMuteBlockData& B) noexcept {
    // The setter's fields too: an operator's edit of them is taken, not written back over.
    return A.Start == B.Start && A.Duration == B.Duration && A.NN == B.NN && A.CT == B.CT && A.BC == B.BC &&
           A.ON == B.ON && A.ClientType == B.ClientType && A.NN8 == B.NN8 && A.CT8 == B.CT8 && A.BC8 == B.BC8 &&
           A.ON8 == B.ON8 && A.SetterLevel == B.SetterLevel && A.SetterId == B.SetterId && A.AI == B.AI &&
           A.AI8 == B.AI8;
}

// ---------------------------------------------------------------------------------------------
// Entry.

bool TZELSVCMuteBlock::EqualsClient(const TZELSVCListClientData& C) const noexcept {
    return ClientValuesEqual(Data, C);
}

void TZELSVCMuteBlock::AssignFromClient(const TZELSVCListClientData& C, AnsiView AI, AnsiView AI8,
                                        AnsiView SetterId, int64_t Start, uint8_t SetterLevel, int32_t Duration,
                                        TStringBldA& Builder) {
    TZELSVCMuteBlockData d;
    d.Start = Start;
    d.Duration = Duration >= 1 ? Duration : 0;
    d.End = d.Duration >= 1 ? AddListSeconds(Start, d.Duration) : 0;
    d.Id = C.Id;
    d.NN = C.NN, d.CT = C.CT, d.BC = C.BC, d.ON = C.ON;
    d.NN8 = C.NN8, d.CT8 = C.CT8, d.BC8 = C.BC8, d.ON8 = C.ON8;
    d.AI = AI;
    d.AI8 = AI8;
    d.SetterId = SetterId;
    d.ClientType = C.ClientType;
    d.SetterLevel = SetterLevel;
    d.Utf8 = C.Utf8;
    AssignData(d, Builder);
}

void TZELSVCMuteBlock::AssignData(const TZELSVCMuteBlockData& D, TStringBldA& Builder) {
    Data = D;
    RebuildText(Builder);
}

void TZELSVCMuteBlock::RebuildText(TStringBldA& B) {
    const char type = static_cast<char>('0' + Data.ClientType);
    const bool temporary = Data.Duration > 0;
    AnsiString endText = Data.Duration >= 1 ? Int64ToStrA(Data.End) : AnsiString();
    StrBldAReset(B);

    StrBldAAddElement(B, "AI", Data.AI);
    StrBldAAddElement(B, "NN", Data.NN);
    StrBldAAddElement(B, "CT", Data.CT);
    StrBldAAddElement(B, "BC", Data.BC);
    StrBldAAddElementChar(B, "CM", type);
    StrBldAAddElement(B, "ON", Data.ON);
    StrBldAAddElement(B, "ID", Data.Id);
    if (temporary) StrBldAAddElement(B, "RT", endText);
    StrBldAAddCRLF(B);
    AnsiString proto = TakeListText(B);

    const bool u8 = Data.Utf8 != 0;
    StrBldAAddChar(B, u8 ? '1' : '0');
    StrBldAAddChar(B, type);
    StrBldAAddTLV(B, '9', Data.AI);
    if (u8) {
        StrBldAAddTLV(B, 'A', Data.AI8);
        AddListClientItems(B, Data.NN8, Data.CT8, Data.BC8, Data.ON8);
    } else {
        AddListClientItems(B, Data.NN, Data.CT, Data.BC, Data.ON);
    }
    StrBldAAddTLV(B, '8', Data.Id);
    StrBldAAddTLV(B, 'C', Int64ToStrA(Data.Start));
    if (temporary) StrBldAAddTLV(B, 'B', endText);
    StrBldAAddCRLF(B);
    AnsiString command = TakeListText(B);

    StrBldAAdd(B, Owner->ListNameUtf8());
    StrBldAAddChar(B, '|');
    StrBldAAdd(B, Data.Id);
    AddListHexFields(B, {Data.AI, Data.NN, Data.CT, Data.BC, Data.ON});
    StrBldAAddChar(B, '|');
    StrBldAAddChar(B, type);
    AddListTimeField(B, Data.Start);
    AddListHexFields(B, {Data.AI8, Data.NN8, Data.CT8, Data.BC8, Data.ON8});
    StrBldAAddChar(B, '|');
    StrBldAAddChar(B, static_cast<char>('0' + Data.SetterLevel));
    StrBldAAddChar(B, '|');
    StrBldAAdd(B, Data.SetterId);
    StrBldAAddChar(B, '|');
    if (temporary) StrBldAAddInt(B, Data.Duration);
    StrBldAAddCRLF(B);

    ProtoLine = std::move(proto);
    CommandLine = std::move(command);
    FileLine = TakeListText(B);
    EndText = std::move(endText);
}

// ---------------------------------------------------------------------------------------------
// Reader.

bool ParseMuteBlockLine(TZELSVCMuteBlockRecord& Rec, AnsiView Line, int64_t Now, bool& Rewrite, AnsiString& Reason) {
    TZELListLineFields f;
    if (f.Split(Line, 17) < 2) return ListLineFail(Reason, "fewer than 2 fields");
    if (!ReadListNetworkField(f[1], Rec.Network)) return ListLineFail(Reason, "field 1: invalid network name");
    TZELSVCMuteBlockData& d = Rec.Data;
    if (!ReadListIdField(f[2], d.Id, Rewrite)) return ListLineFail(Reason, "field 2: invalid client id");
    if (!ReadListHexFields(f, 3, {&d.AI, &d.NN, &d.CT, &d.BC, &d.ON}, Reason)) return false;
    if (ReadClientTypeField(d.ClientType, f[8]) < 0) return ListLineFail(Reason, "field 8: invalid client type");
    ReadListTimeField(f[9], d.Start, Rewrite);
    if (!ReadListHexFields(f, 10, {&d.AI8, &d.NN8, &d.CT8, &d.BC8, &d.ON8}, Reason)) return false;
    if (!d.AI8.empty() && !IsValidUtf8A(d.AI8)) {
        d.AI8.clear();
        Rewrite = true;
    }
    bool any = false;
    const bool valid = ListUtf8TextsValid({&d.NN8, &d.CT8, &d.BC8, &d.ON8}, any);
    d.Utf8 = any ? 1 : 0;
    if (any && !valid) {
        for (AnsiString* t : {&d.AI8, &d.NN8, &d.CT8, &d.BC8, &d.ON8}) t->clear();
        d.Utf8 = 0;
        Rewrite = true;
    }

    int32_t level = 0;
    d.SetterLevel = TryStrToInt32A(f[15], level) && level >= 0 && level <= 3 ? static_cast<uint8_t>(level) : 1;
    if (!ReadListIdField(f[16], d.SetterId, Rewrite)) d.SetterId.clear();

    const AnsiView duration = f[17];
    int32_t seconds = 0;
    if (!duration.empty() && !TryBufToInt32A(duration.data(), static_cast<int32_t>(duration.size()), seconds)) {
        seconds = 0;
        Rewrite = true;
    }
    d.Duration = seconds > 0 && d.Start != 0 ? seconds : 0;
    d.End = d.Duration > 0 ? AddListSeconds(d.Start, d.Duration) : 0;
    if (d.Duration > 0 && d.End < Now) return ListLineFail(Reason, "");  // expired: dropped without a warning
    return true;
}

TZELSVCMuteBlockRecordChain ReadMuteBlockFile(UnicodeView FileName, int64_t Now, bool& RewriteFlag,
                                              const TZELListWarningProc& Warning, const TZELListReadHooks& Hooks) {
    return ReadListRecords<TZELSVCMuteBlockRecord>(
        FileName, RewriteFlag, Warning,
        [Now](TZELSVCMuteBlockRecord& rec, AnsiView line, bool& rewrite, AnsiString& reason) {
            return ParseMuteBlockLine(rec, line, Now, rewrite, reason);
        },
        Hooks);
}

// ---------------------------------------------------------------------------------------------
// List operations.

namespace {

bool MergeMuteBlockRecord(TZELSVCMuteBlockList& List, const TZELSVCMuteBlockData& Data, TZELSVCNetworkBase& Owner,
                          TStringBldA& Builder, bool WithIndex) {
    return MergeListRecord(
        List, Data.Id, Data.Start, WithIndex, [&] { return std::make_unique<TZELSVCMuteBlock>(Owner); },
        [&](TZELSVCMuteBlock& e) { e.AssignData(Data, Builder); });
}

}  // namespace

bool MuteBlockListAddClient(TZELSVCMuteBlockList& List, const TZELSVCListClientData& Target,
                            const TZELSVCListClientData& Setter, int32_t Duration, TZELSVCNetworkBase& Owner,
                            TStringBldA& Builder) {
    return AddListClient(
        List, Target.Id, Target.Online, [&] { return std::make_unique<TZELSVCMuteBlock>(Owner); },
        [&](TZELSVCMuteBlock& e) {
            e.AssignFromClient(Target, Setter.ON, Setter.ON8, Setter.Id, GetUnixTime(),
                               static_cast<uint8_t>(Setter.Privilege), Duration, Builder);
        },
        [&](TZELSVCMuteBlock& e) {
            if (e.EqualsClient(Target)) return false;
            const TZELSVCMuteBlockData old = e.Data;
            e.AssignFromClient(Target, old.AI, old.AI8, old.SetterId, old.Start, old.SetterLevel, old.Duration,
                               Builder);
            return true;
        });
}

bool MuteBlockListFindClient(const TZELSVCMuteBlockList& List, const TZELSVCListClientData& Context, bool& Differs) {
    const TZELSVCMuteBlock* e = List.Find(Context.Id);
    if (e == nullptr) return false;
    Differs = !e->EqualsClient(Context);
    return true;
}

bool MuteBlockListMergeRecord(TZELSVCMuteBlockList& List, const TZELSVCMuteBlockData& Data, TZELSVCNetworkBase& Owner,
                              TStringBldA& Builder) {
    return MergeMuteBlockRecord(List, Data, Owner, Builder, true);
}

bool MuteBlockListRemove(TZELSVCMuteBlockList& List, AnsiView Id, AnsiView RequesterId, uint8_t RequesterLevel,
                         TZELSVCNetworkBase& Network) {
    int32_t i = 0;
    if (!List.Find(Id, i)) return false;
    const TZELSVCMuteBlockData& d = List.Get(i)->Data;
    const bool byLevel = Network.LevelMuteBlock();
    const bool exact = Network.ExactMuteBlock();
    if (byLevel && d.SetterLevel > RequesterLevel) return false;
    if (exact) {
        if (d.SetterId.empty()) {
            // Nobody's id matches an unknown setter: such an entry yields to its level.
            if (RequesterLevel < d.SetterLevel) return false;
        } else if (d.SetterId != RequesterId && (!byLevel || d.SetterLevel == RequesterLevel)) {
            return false;
        }
    }
    List.Remove(i);
    return true;
}

bool MuteBlockListRemoveByServer(TZELSVCMuteBlockList& List, AnsiView Id, TZELSVCNetworkBase& Network) {
    return MuteBlockListRemove(List, Id, Network.ServerId(), kServerLevel, Network);
}

bool MuteBlockListRemoveExpired(TZELSVCMuteBlockList& List, int64_t Now, bool Silent, TZELSVCNetworkBase& Network) {
    // From the last entry to the first, as the network is told; then out of the list together.
    std::vector<int32_t> expired;
    for (int32_t i = List.Count() - 1; i >= 0; --i) {
        const TZELSVCMuteBlock* e = List.Get(i);
        if (e->Data.Duration <= 0 || e->Data.End >= Now) continue;
        if (!Silent) Network.UnmuteClientById(e->Data.Id);
        expired.push_back(i);
    }
    std::reverse(expired.begin(), expired.end());
    List.RemoveMany(expired);
    return !expired.empty();
}

bool MuteBlockListMerge(TZELSVCMuteBlockList& Current, TZELSVCMuteBlockRecordList& New, TZELSVCNetworkBase& Network,
                        bool IsBlocks, TStringBldA& Builder) {
    const bool compare = Network.RereadCompareAttr();
    return MergeListWalk(
        Current, New,
        [&](const TZELSVCMuteBlockRecord& rec) {
            auto e = std::make_unique<TZELSVCMuteBlock>(Network);
            e->AssignData(rec.Data, Builder);
            return e;
        },
        [&](AnsiView id) {
            if (IsBlocks)
                Network.BlockClientById(id);
            else
                Network.MuteClientById(id);
        },
        [&](TZELSVCMuteBlock& e, const TZELSVCMuteBlockRecord& rec) {
            if (!compare || MuteBlockValuesEqual(e.Data, rec.Data)) return false;
            e.AssignData(rec.Data, Builder);
            return true;
        },
        [&](AnsiView id) {
            if (!IsBlocks) Network.UnmuteClientById(id);
        });
}

}  // namespace zel
