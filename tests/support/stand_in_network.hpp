#pragma once
// A network that answers every operation of the abstract network base harmlessly. Tests derive
// their small networks from it and override only what they watch, so a new operation on the base
// needs one default here, not one in every test.
#include "foundation/dmq_syscharset.hpp"
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

    // System Manager links
    uint32_t ManagersMask() const override { return static_cast<uint32_t>(Options_.ManagersMask); }
    AnsiString ManagerNetworkName() const override { return NarrowStrA(Name_); }

protected:
    UnicodeString Name_;
    TZELSVCNetworkOptions Options_{};
};

}  // namespace zel::test
