#pragma once
// The administrators of a network: entries keyed by client id with a time index, each with its
// three prepared texts (client-protocol elements, command-channel items, "admins.dat" line); the
// reader of "admins.dat"; the operations of the network's commands and the merge of a reread.
#include <cstdint>
#include <memory>

#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_list_base.hpp"

namespace zel {

struct TZELSVCAdminData {
    int64_t Time = 0;  // Unix seconds of the last assignment; 0 unknown
    AnsiString Id;
    AnsiString NN, CT, BC, ON;
    AnsiString NN8, CT8, BC8, ON8;
    uint8_t ClientType = 2;
    uint8_t Utf8 = 0;
};

// Id, the nine texts and the client type (not Time, not Utf8).
bool AdminValuesEqual(const TZELSVCAdminData& A, const TZELSVCAdminData& B) noexcept;

struct TZELSVCAdminRecord {
    TZELSVCAdminRecord* Next = nullptr;
    UnicodeString Network;
    TZELSVCAdminData Data;

    const AnsiString& Key() const noexcept { return Data.Id; }
    int64_t Time() const noexcept { return Data.Time; }
};

class TZELSVCAdmin {
public:
    explicit TZELSVCAdmin(TZELSVCNetworkBase& Owner) : Owner(&Owner) {}
    TZELSVCAdmin(const TZELSVCAdmin&) = delete;
    TZELSVCAdmin& operator=(const TZELSVCAdmin&) = delete;

    TZELSVCNetworkBase* Owner;
    TZELSVCAdminData Data;
    AnsiString ProtoLine;
    AnsiString CommandLine;
    AnsiString FileLine;

    // Id, the nine texts and the client type equal the context's.
    bool EqualsClient(const TZELSVCListClientData& Context) const noexcept;
    // Takes the context's values and UTF-8 flag; with Stamp, Time becomes now. Rebuilds the texts.
    void AssignFromClient(bool Stamp, const TZELSVCListClientData& Context);
    void AssignData(const TZELSVCAdminData& D);
    void RebuildText();

    const AnsiString& Key() const noexcept { return Data.Id; }
    int64_t TimeKey() const noexcept { return Data.Time; }
};

using TZELSVCAdminList = TZELSVCEntryList<TZELSVCAdmin>;
using TZELSVCAdminRecordList = TZELSVCRecordList<TZELSVCAdminRecord>;
using TZELSVCAdminRecordChain = TZELListRecordChain<TZELSVCAdminRecord>;

// One line of "admins.dat" into Rec; false (with the reason) when the line is invalid.
bool ParseAdminLine(TZELSVCAdminRecord& Rec, AnsiView Line, bool& Rewrite, AnsiString& Reason);
// The records of the file, newest line first (see ReadListFile for errors and warnings; Hooks
// hold lines out and stop the read, see TZELListReadHooks).
TZELSVCAdminRecordChain ReadAdminsFile(UnicodeView FileName, bool& RewriteFlag,
                                       const TZELListWarningProc& Warning = {}, const TZELListReadHooks& Hooks = {});

// Found and different: the entry takes the client's values and keeps its Time (a client that is
// not online changes nothing). Not found: a new entry stamped now. True when the list changed.
bool AdminsListAddClient(TZELSVCAdminList& List, const TZELSVCListClientData& Context, TZELSVCNetworkBase& Owner);
bool AdminsListRemove(TZELSVCAdminList& List, AnsiView Id);
// The record's data unless the entry of its id has a Time at least as great. True when changed.
bool AdminsListMergeRecord(TZELSVCAdminList& List, const TZELSVCAdminData& Data, TZELSVCNetworkBase& Owner);
// A reread: New (the file's records for this network) replaces Current's entries; the network is
// told of each id added or removed. Records merged in are taken out of New. The time index is left
// for the caller to rebuild when the result is true.
bool AdminsListMerge(TZELSVCAdminList& Current, TZELSVCAdminRecordList& New, TZELSVCNetworkBase& Network);

}  // namespace zel
