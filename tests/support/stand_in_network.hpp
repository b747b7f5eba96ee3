#pragma once
// A network that answers every operation of the abstract network base harmlessly. Tests derive
// their small networks from it and override only what they watch, so a new operation on the base
// needs one default here, not one in every test.
#include "foundation/dmq_syscharset.hpp"
#include <memory>

#include "service/dmq_zel_svc_bases.hpp"

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

protected:
    UnicodeString Name_;
    TZELSVCNetworkOptions Options_{};
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

}  // namespace zel::test
