#pragma once
// The access rights of a network: entries keyed by the padded e-mail key with a time index, each
// with a mark (may talk) and its prepared texts; the reader of "rights.dat"; the operations of the
// network's commands and the merge of a reread.
#include <cstdint>
#include <memory>

#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_list_base.hpp"

namespace zel {

struct TZELSVCAccessData {
    int64_t Time = 0;  // Unix seconds; 0 unknown
    AnsiString EMail;
    AnsiString Key;  // PadKey8A(EMail)
    AnsiString NN, CT, BC, ON;
    AnsiString NN8, CT8, BC8, ON8;
    uint8_t Mark = 0;
    uint8_t ClientType = 2;
    uint8_t Utf8 = 0;
};

// What a reread compares besides the mark: Time, EMail, the four texts, the client type and the
// four UTF-8 forms.
bool AccessValuesEqual(const TZELSVCAccessData& A, const TZELSVCAccessData& B) noexcept;

struct TZELSVCAccessRecord {
    TZELSVCAccessRecord* Next = nullptr;
    UnicodeString Network;
    TZELSVCAccessData Data;

    const AnsiString& Key() const noexcept { return Data.Key; }
    int64_t Time() const noexcept { return Data.Time; }
};

class TZELSVCAccess {
public:
    explicit TZELSVCAccess(TZELSVCNetworkBase& Owner) : Owner(&Owner) {}
    TZELSVCAccess(TZELSVCNetworkBase& Owner, const TZELSVCAccessData& D) : Owner(&Owner) { AssignData(D); }
    TZELSVCAccess(const TZELSVCAccess&) = delete;
    TZELSVCAccess& operator=(const TZELSVCAccess&) = delete;

    TZELSVCNetworkBase* Owner;
    TZELSVCAccessData Data;
    AnsiString ProtoLine;
    AnsiString CommandLine;
    AnsiString FileLine;

    // EMail, Key, the values, their UTF-8 forms, the type and the UTF-8 flag (Time and Mark stay);
    // the texts are not rebuilt.
    void AssignDataFromClient(const TZELSVCListClientData& Context);
    // EMail, the four texts, the client type and the four UTF-8 forms equal the context's.
    bool EqualsClient(const TZELSVCListClientData& Context) const noexcept;
    void AssignFromClient(const TZELSVCListClientData& Context);
    // Only when not equal; true when changed.
    bool UpdateFromClient(const TZELSVCListClientData& Context);
    void AssignData(const TZELSVCAccessData& D);
    // True when the mark changed.
    bool SetMark(uint8_t Mark);
    void RebuildText();

    const AnsiString& Key() const noexcept { return Data.Key; }
    int64_t TimeKey() const noexcept { return Data.Time; }
};

using TZELSVCAccessList = TZELSVCEntryList<TZELSVCAccess>;
using TZELSVCAccessRecordList = TZELSVCRecordList<TZELSVCAccessRecord>;
using TZELSVCAccessRecordChain = TZELListRecordChain<TZELSVCAccessRecord>;

bool ParseAccessLine(TZELSVCAccessRecord& Rec, AnsiView Line, bool& Rewrite, AnsiString& Reason);
// The records of the file, newest line first.
TZELSVCAccessRecordChain ReadAccessFile(UnicodeView FileName, bool& RewriteFlag,
                                        const TZELListWarningProc& Warning = {}, const TZELListReadHooks& Hooks = {});

// By the context's e-mail key. Found: refreshed from an online client (an id-only one changes
// nothing). Not found: a new unmarked entry stamped now. True when the list changed. An e-mail
// that could forge an element (IsSafeElementTextA) is refused: nothing changes.
bool AccessListAddClient(TZELSVCAccessList& List, const TZELSVCListClientData& Context, TZELSVCNetworkBase& Owner);
bool AccessListRemove(TZELSVCAccessList& List, AnsiView Key);
// True when the entry exists and its mark changed.
bool AccessListSetMark(TZELSVCAccessList& List, AnsiView Key, uint8_t Mark);
// The record's data unless the entry of its key has a Time at least as great. True when changed.
bool AccessListMergeRecord(TZELSVCAccessList& List, const TZELSVCAccessData& Data, TZELSVCNetworkBase& Owner);
// A reread; the network is not told per entry. Records merged in are taken out of New; the time
// index is left for the caller to rebuild when the result is true.
bool AccessListMerge(TZELSVCAccessList& Current, TZELSVCAccessRecordList& New, TZELSVCNetworkBase& Network);

}  // namespace zel
