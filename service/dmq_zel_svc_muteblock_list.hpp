#pragma once
// The mutes and the blocks of a network (one shape for both): entries keyed by client id with a
// time index by Start, permanent or temporary (an End), remembering who set them and at which
// level; their prepared texts; the reader of "mutes.dat" and "blocks.dat"; the operations of the
// network's commands, expiry and the merge of a reread.
#include <cstdint>
#include <memory>

#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_list_base.hpp"

namespace zel {

struct TZELSVCMuteBlockData {
    int64_t Start = 0;  // Unix seconds when set; 0 unknown
    int64_t End = 0;    // when a temporary entry expires; 0 permanent
    AnsiString Id;
    AnsiString NN, CT, BC, ON;
    AnsiString AI;  // the setter's ON
    AnsiString NN8, CT8, BC8, ON8;
    AnsiString AI8;
    AnsiString SetterId;  // empty when unknown
    int32_t Duration = 0;  // seconds; above 0 for a temporary entry
    uint8_t ClientType = 2;
    uint8_t SetterLevel = 1;  // TZELClientPrivilege order
    uint8_t Utf8 = 0;
};

// The values a reread compares: Start, the four texts and their UTF-8 forms, the client type,
// Duration and the setter's level, id and callsign (so that an operator's edit of them is taken).
bool MuteBlockValuesEqual(const TZELSVCMuteBlockData& A, const TZELSVCMuteBlockData& B) noexcept;

struct TZELSVCMuteBlockRecord {
    TZELSVCMuteBlockRecord* Next = nullptr;
    UnicodeString Network;
    TZELSVCMuteBlockData Data;

    const AnsiString& Key() const noexcept { return Data.Id; }
    int64_t Time() const noexcept { return Data.Start; }
};

class TZELSVCMuteBlock {
public:
    explicit TZELSVCMuteBlock(TZELSVCNetworkBase& Owner) : Owner(&Owner) {}
    TZELSVCMuteBlock(const TZELSVCMuteBlock&) = delete;
    TZELSVCMuteBlock& operator=(const TZELSVCMuteBlock&) = delete;

    TZELSVCNetworkBase* Owner;
    TZELSVCMuteBlockData Data;
    AnsiString ProtoLine;
    AnsiString CommandLine;
    AnsiString FileLine;
    AnsiString EndText;  // End in decimal for a temporary entry, else empty

    // NN, CT, BC, ON, the client type and the four UTF-8 forms equal the context's.
    bool EqualsClient(const TZELSVCListClientData& Context) const noexcept;
    // The target's id, values, type and UTF-8 flag; the rest from the arguments; End = Start +
    // Duration when Duration is at least 1 (a smaller Duration is kept as 0). Rebuilds the texts.
    void AssignFromClient(const TZELSVCListClientData& Context, AnsiView AI, AnsiView AI8, AnsiView SetterId,
                          int64_t Start, uint8_t SetterLevel, int32_t Duration, TStringBldA& Builder);
    void AssignData(const TZELSVCMuteBlockData& D, TStringBldA& Builder);
    // The lines are assembled in Builder (the network lends its own) and copied into the entry.
    void RebuildText(TStringBldA& Builder);

    const AnsiString& Key() const noexcept { return Data.Id; }
    int64_t TimeKey() const noexcept { return Data.Start; }
};

using TZELSVCMuteBlockList = TZELSVCEntryList<TZELSVCMuteBlock>;
using TZELSVCMuteBlockRecordList = TZELSVCRecordList<TZELSVCMuteBlockRecord>;
using TZELSVCMuteBlockRecordChain = TZELListRecordChain<TZELSVCMuteBlockRecord>;

// One line into Rec; false (with the reason; none for an entry that expired before Now) when the
// line is dropped.
bool ParseMuteBlockLine(TZELSVCMuteBlockRecord& Rec, AnsiView Line, int64_t Now, bool& Rewrite, AnsiString& Reason);
// The records of the file, newest line first; entries that ended before Now are dropped.
TZELSVCMuteBlockRecordChain ReadMuteBlockFile(UnicodeView FileName, int64_t Now, bool& RewriteFlag,
                                              const TZELListWarningProc& Warning = {},
                                              const TZELListReadHooks& Hooks = {});

// Target found with other client values: the entry takes them and keeps its setter, Start and
// Duration (a target that is not online changes nothing). Found and equal: unchanged (a second mute does not renew the first). Not found: a new
// entry set by Setter (its ON, ON8, Id and privilege) now for Duration seconds. True when changed.
bool MuteBlockListAddClient(TZELSVCMuteBlockList& List, const TZELSVCListClientData& Target,
                            const TZELSVCListClientData& Setter, int32_t Duration, TZELSVCNetworkBase& Owner,
                            TStringBldA& Builder);
bool MuteBlockListFindClient(const TZELSVCMuteBlockList& List, const TZELSVCListClientData& Context, bool& Differs);
// The record's data unless the entry of its id has a Start at least as great. True when changed.
bool MuteBlockListMergeRecord(TZELSVCMuteBlockList& List, const TZELSVCMuteBlockData& Data, TZELSVCNetworkBase& Owner,
                              TStringBldA& Builder);
// Removes the entry of Id unless the network's LevelMuteBlock / ExactMuteBlock protect it from
// this requester (its id and TZELClientPrivilege level). Under ExactMuteBlock an entry without a
// SetterId yields to a requester of at least its level. True when removed.
bool MuteBlockListRemove(TZELSVCMuteBlockList& List, AnsiView Id, AnsiView RequesterId, uint8_t RequesterLevel,
                         TZELSVCNetworkBase& Network);
// A command-port request: the server's own id at level 3.
bool MuteBlockListRemoveByServer(TZELSVCMuteBlockList& List, AnsiView Id, TZELSVCNetworkBase& Network);
// Removes every temporary entry whose End lies before Now, last to first; unless Silent the
// network is told to unmute each client first. True when any was removed.
bool MuteBlockListRemoveExpired(TZELSVCMuteBlockList& List, int64_t Now, bool Silent, TZELSVCNetworkBase& Network);
// A reread (IsBlocks selects the network's calls: a new block is applied; a new mute is applied and
// a removed one lifted). Records merged in are taken out of New; the time index is left for the
// caller to rebuild when the result is true.
bool MuteBlockListMerge(TZELSVCMuteBlockList& Current, TZELSVCMuteBlockRecordList& New, TZELSVCNetworkBase& Network,
                        bool IsBlocks, TStringBldA& Builder);

}  // namespace zel
