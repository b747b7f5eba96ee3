#pragma once
// A network that answers every operation of the abstract network base harmlessly. Tests derive
// their small networks from it and override only what they watch, so a new operation on the base
// needs one default here, not one in every test.
#include <memory>
#include <utility>

#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_cmd_proto.hpp"
#include "service/dmq_zel_svc_admins_list.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_muteblock_list.hpp"
#include "service/dmq_zel_svc_notices_list.hpp"
#include "service/dmq_zel_svc_queue.hpp"
#include "service/dmq_zel_svc_rights_list.hpp"

namespace zel::test {

class StandInNetwork : public TZELSVCNetworkBase {
public:
    // Networks list
    const UnicodeString& NetworkName() const override { return Name_; }
    const TZELSVCNetworkOptions& NetworkOptions() const override { return Options_; }
    void SetLogHooks(TZELSVCLogHook, TZELSVCLogHook) override {}
    void CheckManagers(uint32_t) override {}

    // Data lists
    AnsiString ListNameUtf8() const override { return UnicodeToUtf8A(Name_); }
    bool RereadCompareAttr() const override { return false; }
    bool LevelMuteBlock() const override { return false; }
    bool ExactMuteBlock() const override { return false; }
    AnsiString ServerId() const override { return AnsiString(); }
    void ClientRoleChangedById(AnsiView) override {}
    void MuteClientById(AnsiView) override {}
    void BlockClientById(AnsiView) override {}
    void UnmuteClientById(AnsiView) override {}

    // Client context
    AnsiString ClientNameA() const override { return UnicodeToUtf8A(Name_); }
    AnsiString MessageText() const override { return AnsiString(); }
    AnsiString MessageTextUtf8() const override { return AnsiString(); }
    TZELSystemManagerMode EffectiveManagerMode() const override { return Options_.ManagerMode; }
    uint32_t ActiveManagersMask() const override { return 0; }
    int32_t SpeechLimitSeconds() const override { return 0; }

    // Service tick and dispatcher: a dispatcher that releases its pending commands, empty lists,
    // both modes off, no notice, and a list block with no member.
    void Tick(uint32_t) override {}
    uint32_t LastRun() const override { return LastRun_; }
    void ProcessQueue(bool Housekeeping) override {
        if (Housekeeping) LastRun_ += 500;
        (void)Pending_.TakeAll();
    }
    void AddPending(std::unique_ptr<TZELSVCNetQueueRecord>&& Rec) override { Pending_.Add(std::move(Rec)); }
    int32_t PendingCount() const override { return Pending_.Count(); }
    const TZELSVCMuteBlockList& MuteList() const override { return Mutes_; }
    const TZELSVCMuteBlockList& BlockList() const override { return Blocks_; }
    const TZELSVCAdminList& AdminList() const override { return Admins_; }
    const TZELSVCAccessList& RightsList() const override { return Rights_; }
    bool ConnectionMode() const override { return false; }
    bool TalkMode() const override { return false; }
    const TZELSVCNoticeData& Notices() const override { return Notices_; }
    void PrepareCmdList(TZELCmdListBlock& Block) override {
        StrBldAReset(ListBld_);
        AddCmdNetworkLine(ListBld_, ListNameUtf8(), "", "");
        Block = TZELCmdListBlock{};
        Block.NetworkLine = StrBldAView(ListBld_);
    }
    // System Manager links
    uint32_t ManagersMask() const override { return static_cast<uint32_t>(Options_.ManagersMask); }
    AnsiString ManagerNetworkName() const override { return NarrowStrA(Name_); }
    // Client moves: nobody is found, nobody is accepted.
    uint8_t FindActiveClient(AnsiView, TZELSVCWrkCtxBase*& Client) override {
        Client = nullptr;
        return 6;
    }
    bool CanAcceptClient(TZELSVCWrkCtxBase*) override { return false; }
    bool IsActiveMember(TZELSVCWrkCtxBase*, uint32_t) override { return false; }
    bool IsRequestingMember(TZELSVCWrkCtxBase*, uint32_t) override { return false; }
    void RemoveClient(TZELSVCWrkCtxBase*) override {}
    void AddMovedClient(TZELSVCWrkCtxBase*, int32_t, int32_t) override {}

protected:
    UnicodeString Name_;
    TZELSVCNetworkOptions Options_{};
    uint32_t LastRun_ = 0;
    TZELSVCPendingCommands Pending_;
    TZELSVCMuteBlockList Mutes_;
    TZELSVCMuteBlockList Blocks_;
    TZELSVCAdminList Admins_;
    TZELSVCAccessList Rights_;
    TZELSVCNoticeData Notices_;
    TStringBldA ListBld_;
};

// A network made from its networks-file line (name and options), noting the mask of System
// Manager links it was given.
class StandInFileNetwork : public StandInNetwork {
public:
    explicit StandInFileNetwork(const TZELServNetworkRec& Rec) {
        Name_ = Rec.Name;
        Options_ = Rec.Options;
    }
    void CheckManagers(uint32_t Mask) override { LinksMask = static_cast<int64_t>(Mask); }
    int64_t LinksMask = -1;  // -1: never told
};

// Makes StandInFileNetwork networks.
class StandInFactory : public TZELSVCFactory {
public:
    std::unique_ptr<TZELSVCNetworkBase> CreateNetwork(const TZELServNetworkRec& Rec) override {
        return std::make_unique<StandInFileNetwork>(Rec);
    }
};

// Service start builds the networks list anew (with no networks file: "Test" and "Net01"). This
// factory hands out a network the test made beforehand under the first name it is asked for, so
// that the test holds its network before the start; the other names get StandInFileNetworks.
class HandOverFactory : public StandInFactory {
public:
    explicit HandOverFactory(std::unique_ptr<TZELSVCNetworkBase> First) : First_(std::move(First)) {}
    std::unique_ptr<TZELSVCNetworkBase> CreateNetwork(const TZELServNetworkRec& Rec) override {
        if (First_) return std::move(First_);
        return StandInFactory::CreateNetwork(Rec);
    }

private:
    std::unique_ptr<TZELSVCNetworkBase> First_;
};

}  // namespace zel::test
