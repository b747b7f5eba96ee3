#pragma once
// A network stand-in for the data-list tests: it answers the lists' settings and records what the
// lists tell it, and a check that a list's time index holds exactly its entries.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "service/dmq_zel_svc_bases.hpp"
#include "tests/support/stand_in_network.hpp"
#include "service/dmq_zel_svc_list_base.hpp"

namespace zel::test {

class RecordingNetwork : public StandInNetwork {
public:
    AnsiString Name = "Net";
    bool Compare = false;
    bool Level = false;
    bool Exact = false;
    AnsiString Server = "SERVERidSERVERidSERVERid";
    std::vector<std::string> Calls;  // "role:<id>", "mute:<id>", "block:<id>", "unmute:<id>"
    std::function<void(const std::string&)> OnCall;  // runs before the call is recorded

    AnsiString ListNameUtf8() const override { return Name; }
    bool RereadCompareAttr() const override { return Compare; }
    bool LevelMuteBlock() const override { return Level; }
    bool ExactMuteBlock() const override { return Exact; }
    AnsiString ServerId() const override { return Server; }
    void ClientRoleChangedById(AnsiView Id) override { Record("role:", Id); }
    void MuteClientById(AnsiView Id) override { Record("mute:", Id); }
    void BlockClientById(AnsiView Id) override { Record("block:", Id); }
    void UnmuteClientById(AnsiView Id) override { Record("unmute:", Id); }

private:
    void Record(const char* what, AnsiView id) {
        const std::string call = what + std::string(id);
        if (OnCall) OnCall(call);
        Calls.push_back(call);
    }
};

// Every entry once in the time index under its time key, nothing else, in key order.
template <class E>
void ExpectTimeIndexMatches(const TZELSVCEntryList<E>& List) {
    const auto& index = List.TimeIndex();
    ASSERT_EQ(index.Count(), List.Count());
    for (int32_t i = 0; i < List.Count(); ++i) {
        const E* e = List.Get(i);
        const int32_t at = index.IndexOfValue(e);
        ASSERT_GE(at, 0) << "entry " << i << " not in the time index";
        EXPECT_EQ(index.Items(at).Key, e->TimeKey());
    }
    for (int32_t i = 1; i < index.Count(); ++i) EXPECT_LE(index.Items(i - 1).Key, index.Items(i).Key);
}

// The keys of a list in order.
template <class E>
std::vector<std::string> ListKeys(const TZELSVCEntryList<E>& List) {
    std::vector<std::string> keys;
    for (int32_t i = 0; i < List.Count(); ++i) keys.emplace_back(List.Get(i)->Key());
    return keys;
}

}  // namespace zel::test
