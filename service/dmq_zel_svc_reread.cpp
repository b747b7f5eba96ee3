#include "service/dmq_zel_svc_reread.hpp"

#include <exception>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_modes_list.hpp"
#include "service/dmq_zel_svc_networks_list.hpp"
#include "service/dmq_zel_svc_server_id.hpp"

namespace zel {

namespace {

using Q = TZELSVCNetQueueCommand;
using M = TZELSVCMainQueueCommand;

struct TRereadKind {
    Q Install;
    M Save;  // names the list's load state
    UnicodeView ErrorPrefix;
    UnicodeView StartPrefix;  // of the initial read at service start
    Q Dirty;                  // the service's code that marks the list for saving
};

constexpr TRereadKind kAdmins{Q::fsnq_InstallAdmins, M::fsmq_SaveAdmins, u"Reread of admins: ", u"Read admins: ",
                              Q::fsnq_DirtyAdmins};
constexpr TRereadKind kMutes{Q::fsnq_InstallMutes, M::fsmq_SaveMutes, u"Reread mutes: ", u"Read mutes: ",
                             Q::fsnq_DirtyMutes};
constexpr TRereadKind kBlocks{Q::fsnq_InstallBlocks, M::fsmq_SaveBlocks, u"Reread blocks: ", u"Read blocks: ",
                              Q::fsnq_DirtyBlocks};
constexpr TRereadKind kRights{Q::fsnq_InstallRights, M::fsmq_SaveRights, u"Reread rights: ", u"Read rights: ",
                              Q::fsnq_DirtyRights};
constexpr TRereadKind kModes{Q::fsnq_InstallModes, M::fsmq_SaveModes, u"Reread modes: ", u"Read modes: ",
                             Q::fsnq_DirtyModes};
constexpr TRereadKind kNotices{Q::fsnq_InstallNotices, M::fsmq_SaveNotices, u"Reread notices: ",
                               u"Read notices: ", Q::fsnq_DirtyNotices};

// Service start's initial reads: installed straight into the networks (the timer is not running
// yet).
struct TStartRead {};

// One reread: reads the file, collects one payload per network and posts them.
class TReread {
public:
    // Start: an initial read at service start; null for a reread.
    TReread(TZELService& Service, const TRereadKind& Kind, const UnicodeString& FileName, bool Default,
            const TStartRead* Start)
        : S_(Service), K_(Kind), File_(FileName), Default_(Default), Start_(Start) {
        const int32_t count = S_.Networks().Count();
        Objects_.resize(size_t(count));
        for (int32_t i = 0; i < count; ++i) Positions_.emplace(S_.Networks().Networks(i), i);
    }

    // Runs Read (which fills what it reads into the caller's variables, given the warning hook and
    // the line hold); false after logging the error when it raised. The configured file's load
    // state and kept lines follow the outcome.
    template <class ReadFn>
    bool Read(ReadFn Fn) {
        TZELListReadHooks hooks;
        if (Default_ && !S_.NetworksFromFile()) hooks.Hold = [this](AnsiView Line) { return HoldLine(Line); };
        // A stop does not wait for the read of a large file: it is given up as a queued reread
        // is dropped.
        hooks.Stop = [this] { return S_.StopRequested(); };
        bool noLineFeeds = false;
        hooks.NoLineFeeds = &noLineFeeds;
        try {
            Fn(
                [this](int32_t LineNo, AnsiView Reason) {
                    S_.LogWarningSync(Prefixed(DecodeUtf8U(FormatListLineMessage(LineNo, Reason))));
                },
                hooks);
        } catch (const EListReadStopped& e) {
            // A reread leaves the lists as they are; at start the list stays empty, and a save
            // must not replace the file that was not read.
            if (Default_ && Start_ != nullptr) SetListLoadFailed(S_.ListLoad(K_.Save), 0, e.what());
            S_.LogWarningSync(Prefixed(DecodeUtf8U(e.what())));
            return false;
        } catch (const std::exception& e) {
            if (Default_) SetListLoadFailure(S_.ListLoad(K_.Save), e);
            // At start a list without its file simply starts empty.
            if (Start_ == nullptr || dynamic_cast<const EListFileMissing*>(&e) == nullptr)
                S_.LogErrorSync(Prefixed(DecodeUtf8U(e.what())));
            return false;
        }
        if (Default_) {
            SetListLoaded(S_.ListLoad(K_.Save));
            S_.ListLoad(K_.Save).NoLineFeeds = noLineFeeds;
            S_.KeptLines(K_.Save) = std::move(Kept_);
        }
        return true;
    }

    // The network-list position of the network named exactly Network; -1 (and the list changed:
    // the file holds entries it will lose) when there is none.
    int32_t Slot(UnicodeView Network) {
        const TZELSVCNetworkBase* n = S_.Networks().Find(Network);
        const auto it = n != nullptr ? Positions_.find(n) : Positions_.end();
        if (it == Positions_.end()) {
            Changed = true;
            // Said once per network and file at start: a mistyped network line costs its entries.
            if (Start_ != nullptr && Unknown_.insert(UnicodeString(Network)).second) {
                UnicodeString t = u"network \"";
                t += Network;
                t += u"\" is not in the networks file: its entries are dropped";
                S_.LogWarningSync(Prefixed(t));
            }
            return -1;
        }
        return it->second;
    }
    // The first part for a network stays; a further one is dropped (the list changed).
    bool Put(int32_t Slot, std::unique_ptr<TZELSVCListPayload> Payload) {
        if (Objects_[size_t(Slot)]) {
            Changed = true;
            return false;
        }
        Objects_[size_t(Slot)] = std::move(Payload);
        return true;
    }
    // The part in the slot, replaced.
    void Replace(int32_t Slot, std::unique_ptr<TZELSVCListPayload> Payload) {
        if (Objects_[size_t(Slot)]) Changed = true;
        Objects_[size_t(Slot)] = std::move(Payload);
    }

    // The install command waits for the timer's next step: it is no hurry, and the service thread
    // never wakes the timer for its own lists.
    void Post() {
        if (Start_ != nullptr) {
            // Service start: each network takes its part before the timer runs; the file is
            // marked for rewriting only where that is safe.
            for (size_t i = 0; i < Objects_.size(); ++i) {
                auto r = std::make_unique<TZELSVCNetQueueRecord>();
                r->Command = K_.Install;
                r->Payload = std::move(Objects_[i]);
                S_.Networks().Networks(static_cast<int32_t>(i))->AddPending(std::move(r));
            }
            if (Changed) {
                auto d = std::make_unique<TZELSVCNetQueueRecord>();
                d->Command = K_.Dirty;
                S_.PostServQueue(std::move(d), false);
            }
            return;
        }
        auto r = std::make_unique<TZELSVCNetQueueRecord>();
        r->Command = K_.Install;
        r->Objects = std::move(Objects_);
        r->Value1 = Changed && Default_ ? 1 : 0;
        S_.PostServQueue(std::move(r), false);
    }

    bool Changed = false;

private:
    // While the networks in service are not a whole networks file's, a line of a network not in
    // service is not the operator's removal of it: the line is kept for every save, as it is.
    bool HoldLine(AnsiView Line) {
        const size_t bar = Line.find('|');
        UnicodeString network;
        if (!ReadListNetworkField(Line.substr(0, bar), network) || S_.Networks().Find(network) != nullptr)
            return false;
        AnsiString kept(Line);
        kept += "\r\n";
        Kept_.push_back(std::move(kept));
        if (Unknown_.insert(network).second) {
            UnicodeString t = u"network \"";
            t += network;
            t += u"\" is not in service: its entries are kept, not dropped; they are the network's again only "
                 u"after a restart with the networks file mended";
            S_.LogWarningSync(Prefixed(t));
        }
        return true;
    }

    UnicodeString Prefixed(UnicodeView Text) const {
        UnicodeString s(Start_ != nullptr ? K_.StartPrefix : K_.ErrorPrefix);
        s += File_;
        s += u": ";
        s += Text;
        return s;
    }

    TZELService& S_;
    const TRereadKind& K_;
    const UnicodeString& File_;
    const bool Default_;
    const TStartRead* Start_;
    std::set<UnicodeString> Unknown_;
    TZELSVCWriteArray Kept_;
    std::vector<std::unique_ptr<TZELSVCListPayload>> Objects_;
    std::unordered_map<const TZELSVCNetworkBase*, int32_t> Positions_;
};

// The record lists: one group per network name, each group the network's part.
template <class R, class ReadFn>
bool RereadRecords(TZELService& Service, const TRereadKind& Kind, const UnicodeString& FileName, bool Default,
                   ReadFn ReadFile, const TStartRead* Start = nullptr) {
    TReread reread(Service, Kind, FileName, Default, Start);
    TZELListRecordChain<R> chain;
    bool rewrite = false;
    if (!reread.Read([&](const TZELListWarningProc& Warning, const TZELListReadHooks& Hooks) {
            chain = ReadFile(rewrite, Warning, Hooks);
        }))
        return false;
    reread.Changed = rewrite;
    for (TZELSVCRecordGroup<R>& g : GroupListRecords(chain)) {
        const int32_t slot = reread.Slot(g.Network);
        if (slot < 0) continue;
        auto payload = std::make_unique<TZELSVCRecordListPayload<R>>();
        payload->Records = std::move(g.Records);
        reread.Put(slot, std::move(payload));
    }
    reread.Post();
    return true;
}

bool ReadModes(TZELService& Service, const UnicodeString& FileName, bool Default, const TStartRead* Start) {
    TReread reread(Service, kModes, FileName, Default, Start);
    TZELSVCModesArray modes;
    bool rewrite = false;
    if (!reread.Read([&](const TZELListWarningProc& Warning, const TZELListReadHooks& Hooks) {
            ReadModesFile(FileName, modes, rewrite, Warning, Hooks);
        }))
        return false;
    reread.Changed = rewrite;
    // From the last line to the first, each overwriting: the line nearest the start stays.
    for (size_t i = modes.size(); i-- > 0;) {
        const int32_t slot = reread.Slot(modes[i].Network);
        if (slot < 0) continue;
        auto payload = std::make_unique<TZELSVCModesPayload>();
        payload->Modes = (modes[i].ConnectionMode != 0 ? 256 : 0) + (modes[i].TalkMode != 0 ? 1 : 0);
        reread.Replace(slot, std::move(payload));
    }
    reread.Post();
    return true;
}

bool ReadNotices(TZELService& Service, const UnicodeString& FileName, bool Default, const TStartRead* Start) {
    TReread reread(Service, kNotices, FileName, Default, Start);
    TZELSVCNoticeChain chain;
    bool rewrite = false;
    if (!reread.Read([&](const TZELListWarningProc& Warning, const TZELListReadHooks& Hooks) {
            chain = ReadNoticesFile(FileName, rewrite, Warning, Hooks);
        }))
        return false;
    reread.Changed = rewrite;
    for (const TZELSVCNoticeRecord* r = chain.Head(); r != nullptr; r = r->Next) {
        const int32_t slot = reread.Slot(r->Network);
        if (slot < 0) continue;
        auto payload = std::make_unique<TZELSVCNoticesPayload>();
        payload->Notice = r->Data;
        reread.Put(slot, std::move(payload));
    }
    reread.Post();
    return true;
}

}  // namespace

bool RereadAdminsFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t) {
    return RereadRecords<TZELSVCAdminRecord>(Service, kAdmins, FileName, Default,
                                             [&](bool& Rewrite, const TZELListWarningProc& Warning, const TZELListReadHooks& Hooks) {
                                                 return ReadAdminsFile(FileName, Rewrite, Warning, Hooks);
                                             });
}

bool RereadMutesFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t UnixTime) {
    return RereadRecords<TZELSVCMuteBlockRecord>(Service, kMutes, FileName, Default,
                                                 [&](bool& Rewrite, const TZELListWarningProc& Warning, const TZELListReadHooks& Hooks) {
                                                     return ReadMuteBlockFile(FileName, UnixTime, Rewrite, Warning, Hooks);
                                                 });
}

bool RereadBlocksFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t UnixTime) {
    return RereadRecords<TZELSVCMuteBlockRecord>(Service, kBlocks, FileName, Default,
                                                 [&](bool& Rewrite, const TZELListWarningProc& Warning, const TZELListReadHooks& Hooks) {
                                                     return ReadMuteBlockFile(FileName, UnixTime, Rewrite, Warning, Hooks);
                                                 });
}

bool RereadRightsFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t) {
    return RereadRecords<TZELSVCAccessRecord>(Service, kRights, FileName, Default,
                                              [&](bool& Rewrite, const TZELListWarningProc& Warning, const TZELListReadHooks& Hooks) {
                                                  return ReadAccessFile(FileName, Rewrite, Warning, Hooks);
                                              });
}

bool RereadModesFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t) {
    return ReadModes(Service, FileName, Default, nullptr);
}

bool RereadNoticesFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t) {
    return ReadNotices(Service, FileName, Default, nullptr);
}

void ReadListsAtStart(TZELService& Service, int64_t UnixTime) {
    const TStartRead start;
    const TStartRead* st = &start;
    const UnicodeString& admins = Service.AdminsFileName();
    RereadRecords<TZELSVCAdminRecord>(
        Service, kAdmins, admins, true,
        [&](bool& Rewrite, const TZELListWarningProc& Warning, const TZELListReadHooks& Hooks) { return ReadAdminsFile(admins, Rewrite, Warning, Hooks); }, st);
    const UnicodeString& mutes = Service.MutesFileName();
    RereadRecords<TZELSVCMuteBlockRecord>(
        Service, kMutes, mutes, true,
        [&](bool& Rewrite, const TZELListWarningProc& Warning, const TZELListReadHooks& Hooks) {
            return ReadMuteBlockFile(mutes, UnixTime, Rewrite, Warning, Hooks);
        },
        st);
    const UnicodeString& blocks = Service.BlocksFileName();
    RereadRecords<TZELSVCMuteBlockRecord>(
        Service, kBlocks, blocks, true,
        [&](bool& Rewrite, const TZELListWarningProc& Warning, const TZELListReadHooks& Hooks) {
            return ReadMuteBlockFile(blocks, UnixTime, Rewrite, Warning, Hooks);
        },
        st);
    ReadModes(Service, Service.ModesFileName(), true, st);
    const UnicodeString& rights = Service.RightsFileName();
    RereadRecords<TZELSVCAccessRecord>(
        Service, kRights, rights, true,
        [&](bool& Rewrite, const TZELListWarningProc& Warning, const TZELListReadHooks& Hooks) { return ReadAccessFile(rights, Rewrite, Warning, Hooks); }, st);
    ReadNotices(Service, Service.NoticesFileName(), true, st);
}

void InstallListRereads(TZELService& Service) {
    TZELService* s = &Service;
    auto bind = [s](bool (*Fn)(TZELService&, const UnicodeString&, bool, int64_t)) {
        return [s, Fn](const UnicodeString& FileName, bool Default, int64_t UnixTime) {
            return Fn(*s, FileName, Default, UnixTime);
        };
    };
    Service.OnRereadAdmins = bind(RereadAdminsFile);
    Service.OnRereadMutes = bind(RereadMutesFile);
    Service.OnRereadBlocks = bind(RereadBlocksFile);
    Service.OnRereadRights = bind(RereadRightsFile);
    Service.OnRereadModes = bind(RereadModesFile);
    Service.OnRereadNotices = bind(RereadNoticesFile);
}

}  // namespace zel
