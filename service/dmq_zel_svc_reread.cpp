#include "service/dmq_zel_svc_reread.hpp"

#include <exception>
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
};

constexpr TRereadKind kAdmins{Q::fsnq_InstallAdmins, M::fsmq_SaveAdmins, u"Reread of admins: "};
constexpr TRereadKind kMutes{Q::fsnq_InstallMutes, M::fsmq_SaveMutes, u"Reread mutes: "};
constexpr TRereadKind kBlocks{Q::fsnq_InstallBlocks, M::fsmq_SaveBlocks, u"Reread blocks: "};
constexpr TRereadKind kRights{Q::fsnq_InstallRights, M::fsmq_SaveRights, u"Reread rights: "};
constexpr TRereadKind kModes{Q::fsnq_InstallModes, M::fsmq_SaveModes, u"Reread modes: "};
constexpr TRereadKind kNotices{Q::fsnq_InstallNotices, M::fsmq_SaveNotices, u"Reread notices: "};

// One reread: reads the file, collects one payload per network and posts them.
class TReread {
public:
    TReread(TZELService& Service, const TRereadKind& Kind, const UnicodeString& FileName, bool Default)
        : S_(Service), K_(Kind), File_(FileName), Default_(Default) {
        const int32_t count = S_.Networks().Count();
        Objects_.resize(size_t(count));
        for (int32_t i = 0; i < count; ++i) Positions_.emplace(S_.Networks().Networks(i), i);
    }

    // Runs Read (which fills what it reads into the caller's variables); false after logging the
    // error when it raised. The configured file's load state follows the outcome.
    template <class ReadFn>
    bool Read(ReadFn Fn) {
        try {
            Fn([this](int32_t LineNo, AnsiView Reason) {
                S_.LogWarningSync(Prefixed(DecodeUtf8U(FormatListLineMessage(LineNo, Reason))));
            });
        } catch (const std::exception& e) {
            if (Default_) SetListLoadFailure(S_.ListLoad(K_.Save), e);
            S_.LogErrorSync(Prefixed(DecodeUtf8U(e.what())));
            return false;
        }
        if (Default_) SetListLoaded(S_.ListLoad(K_.Save));
        return true;
    }

    // The network-list position of the network named exactly Network; -1 (and the list changed:
    // the file holds entries it will lose) when there is none.
    int32_t Slot(UnicodeView Network) {
        const TZELSVCNetworkBase* n = S_.Networks().Find(Network);
        const auto it = n != nullptr ? Positions_.find(n) : Positions_.end();
        if (it == Positions_.end()) {
            Changed = true;
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
        auto r = std::make_unique<TZELSVCNetQueueRecord>();
        r->Command = K_.Install;
        r->Objects = std::move(Objects_);
        r->Value1 = Changed && Default_ ? 1 : 0;
        S_.PostServQueue(std::move(r), false);
    }

    bool Changed = false;

private:
    UnicodeString Prefixed(UnicodeView Text) const {
        UnicodeString s(K_.ErrorPrefix);
        s += File_;
        s += u": ";
        s += Text;
        return s;
    }

    TZELService& S_;
    const TRereadKind& K_;
    const UnicodeString& File_;
    const bool Default_;
    std::vector<std::unique_ptr<TZELSVCListPayload>> Objects_;
    std::unordered_map<const TZELSVCNetworkBase*, int32_t> Positions_;
};

// The record lists: one group per network name, each group the network's part.
template <class R, class ReadFn>
bool RereadRecords(TZELService& Service, const TRereadKind& Kind, const UnicodeString& FileName, bool Default,
                   ReadFn ReadFile) {
    TReread reread(Service, Kind, FileName, Default);
    TZELListRecordChain<R> chain;
    bool rewrite = false;
    if (!reread.Read([&](const TZELListWarningProc& Warning) { chain = ReadFile(rewrite, Warning); })) return false;
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

}  // namespace

bool RereadAdminsFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t) {
    return RereadRecords<TZELSVCAdminRecord>(Service, kAdmins, FileName, Default,
                                             [&](bool& Rewrite, const TZELListWarningProc& Warning) {
                                                 return ReadAdminsFile(FileName, Rewrite, Warning);
                                             });
}

bool RereadMutesFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t UnixTime) {
    return RereadRecords<TZELSVCMuteBlockRecord>(Service, kMutes, FileName, Default,
                                                 [&](bool& Rewrite, const TZELListWarningProc& Warning) {
                                                     return ReadMuteBlockFile(FileName, UnixTime, Rewrite, Warning);
                                                 });
}

bool RereadBlocksFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t UnixTime) {
    return RereadRecords<TZELSVCMuteBlockRecord>(Service, kBlocks, FileName, Default,
                                                 [&](bool& Rewrite, const TZELListWarningProc& Warning) {
                                                     return ReadMuteBlockFile(FileName, UnixTime, Rewrite, Warning);
                                                 });
}

bool RereadRightsFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t) {
    return RereadRecords<TZELSVCAccessRecord>(Service, kRights, FileName, Default,
                                              [&](bool& Rewrite, const TZELListWarningProc& Warning) {
                                                  return ReadAccessFile(FileName, Rewrite, Warning);
                                              });
}

bool RereadModesFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t) {
    TReread reread(Service, kModes, FileName, Default);
    TZELSVCModesArray modes;
    bool rewrite = false;
    if (!reread.Read([&](const TZELListWarningProc& Warning) { ReadModesFile(FileName, modes, rewrite, Warning); }))
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

bool RereadNoticesFile(TZELService& Service, const UnicodeString& FileName, bool Default, int64_t) {
    TReread reread(Service, kNotices, FileName, Default);
    TZELSVCNoticeChain chain;
    bool rewrite = false;
    if (!reread.Read([&](const TZELListWarningProc& Warning) { chain = ReadNoticesFile(FileName, rewrite, Warning); }))
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
