#pragma once
// The rereads of the list files while the server runs (main-queue codes 7 to 13): each reads its
// file with the list's own reader into a fresh set of records, groups them per network, and posts
// them to the timer thread as one install command (service-queue codes 0 to 5) that carries one
// payload per network in network-list order; the network side replaces its list from it. A file
// that cannot be read changes nothing (the lists, their save block, nothing is posted).
//
// Runs on the service thread. The networks list is only read here: service start built it before
// the timer started, and nothing changes it until the tail.
#include <cstdint>
#include <memory>

#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_admins_list.hpp"
#include "service/dmq_zel_svc_list_base.hpp"
#include "service/dmq_zel_svc_muteblock_list.hpp"
#include "service/dmq_zel_svc_notices_list.hpp"
#include "service/dmq_zel_svc_queue.hpp"
#include "service/dmq_zel_svc_rights_list.hpp"

namespace zel {

class TZELService;

// ---------------------------------------------------------------------------------------------
// One network's part of an install command. A network without a part (a null entry) has nothing
// in the file: its list is emptied, its modes switched off, its notice cleared.

// Administrators, mutes, blocks and rights: the file's records for the network, in key order.
template <class R>
class TZELSVCRecordListPayload : public TZELSVCListPayload {
public:
    std::unique_ptr<TZELSVCRecordList<R>> Records;
};

using TZELSVCAdminsPayload = TZELSVCRecordListPayload<TZELSVCAdminRecord>;
using TZELSVCMuteBlocksPayload = TZELSVCRecordListPayload<TZELSVCMuteBlockRecord>;
using TZELSVCRightsPayload = TZELSVCRecordListPayload<TZELSVCAccessRecord>;

class TZELSVCModesPayload : public TZELSVCListPayload {
public:
    // The connection mode times 256 plus the talk mode (each 0 or 1).
    int32_t Modes = 0;
};

class TZELSVCNoticesPayload : public TZELSVCListPayload {
public:
    TZELSVCNoticeData Notice;
};

// ---------------------------------------------------------------------------------------------
// The rereads, in the form of the service's OnReread hooks: FileName is read; Default tells that
// it is the configured file, whose load state and kept lines (TZELService::KeptLines: the lines of
// networks not in service while those are not a whole networks file's) the read then sets and
// whose install command asks for a save when the file held anything to drop or to write anew
// (entries of unknown networks, a second part for one network, lines in an older form or
// dropped). False, with an error line, when the file could not be read.

bool RereadAdminsFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t UnixTime);
bool RereadMutesFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t UnixTime);
bool RereadBlocksFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t UnixTime);
bool RereadRightsFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t UnixTime);
// Of several lines for one network, the one nearest the start of the file counts.
bool RereadModesFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t UnixTime);
// Of several lines for one network, the last one in the file counts (the reader gives the newest
// line first).
bool RereadNoticesFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t UnixTime);

// Service start: the administrators, mutes, blocks, modes, rights and notices from their
// configured files, each network's part installed straight into its pending commands (the timer
// is not running yet; the network installs them at its first run), each file's load state set. A
// file that held entries to drop (networks a networks file read in full does not define, one
// warning per network) is marked for rewriting.
void ReadListsAtStart(TZELService& Service, int64_t UnixTime);

// Sets the six OnReread hooks of Service to the rereads above; before Start().
void InstallListRereads(TZELService& Service);

}  // namespace zel
