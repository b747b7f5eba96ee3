#pragma once
// A network that answers every operation of the abstract network base harmlessly. Tests derive
// their small networks from it and override only what they watch, so a new operation on the base
// needs one default here, not one in every test.
#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_queue.hpp"

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

protected:
    UnicodeString Name_;
    TZELSVCNetworkOptions Options_{};
};

}  // namespace zel::test
