#pragma once
// Abstract bases through which the service holds what the clients library implements: the
// networks (rooms), the worker threads, the work contexts (client and command connections), and
// the factory that creates them. The service library cannot link the clients library (the
// libraries link one way only), so the service, the data lists and the networks list see these
// classes only; the concrete classes in clients/ derive from them.
//
// Each base grows by role: a group of pure virtual operations per caller, headed by a comment
// naming the caller. Add to the group that calls an operation; declare no second interface.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_params.hpp"

namespace zel {

class TZELService;
class TZELSVCNetworkBase;
class TZELSVCWorkerBase;
class TZELSVCWrkCtxBase;

// A work context: one connection a worker serves (client or command port), or the Parrot.
class TZELSVCWrkCtxBase {
public:
    TZELSVCWrkCtxBase() = default;
    TZELSVCWrkCtxBase(const TZELSVCWrkCtxBase&) = delete;
    TZELSVCWrkCtxBase& operator=(const TZELSVCWrkCtxBase&) = delete;
    virtual ~TZELSVCWrkCtxBase();

    // ---- Requester of the main queue, the flusher queue and command replies (service thread,
    // timer thread). The context's serial number: a request copies it when posted, and its answer
    // is written only while the context still carries it.
    virtual uint32_t Number() const = 0;

    // ---- System Manager links: what the service reads of a client when it asks a link to
    // authenticate it (SysManAuthenticateClient on the timer thread). The link thread never
    // touches the context. The defaults suit contexts that are no clients.
    // The "CC:" request text prepared for the managers, without a line end.
    virtual AnsiString ManagerRequestText() const { return AnsiString(); }
    // The UTF-8 part for the managers ("<U8TF>...</U8TF>"), empty without one.
    virtual AnsiString ManagerUtf8Part() const { return AnsiString(); }
    // The peer address as text, and the client's id.
    virtual AnsiString ManagerPeerAddress() const { return AnsiString(); }
    virtual AnsiString ManagerClientId() const { return AnsiString(); }
    // The eight client texts of ManagerSuccessAuthScript, in the order of TZELSysManScriptText.
    virtual void ManagerScriptTexts(std::array<UnicodeString, 8>& Texts) const { (void)Texts; }
    // The client's state towards link Index (0 to 2): 0 not asked, 1 asked (no answer yet),
    // 2 answered. The service asks only in state 0 and sets 1; the network sets 2 for a verdict
    // (answers 1 to 5) and 0 again for an answer without one (0) and when the link goes down, so
    // that the link is asked again once it is up.
    virtual uint8_t ManagerLinkState(int32_t Index) const {
        (void)Index;
        return 0;
    }
    virtual void SetManagerLinkState(int32_t Index, uint8_t State) {
        (void)Index;
        (void)State;
    }
    // ---- end of the System Manager links' group
};

// A worker thread serving many contexts through one waiter.
class TZELSVCWorkerBase {
public:
    TZELSVCWorkerBase() = default;
    TZELSVCWorkerBase(const TZELSVCWorkerBase&) = delete;
    TZELSVCWorkerBase& operator=(const TZELSVCWorkerBase&) = delete;
    virtual ~TZELSVCWorkerBase();
};

// A log line handler: the text without any prefix of the receiver's.
using TZELSVCLogHook = std::function<void(UnicodeView Text)>;

// One network (room) with its members, floor, lists and command dispatcher.
class TZELSVCNetworkBase {
public:
    TZELSVCNetworkBase() = default;
    TZELSVCNetworkBase(const TZELSVCNetworkBase&) = delete;
    TZELSVCNetworkBase& operator=(const TZELSVCNetworkBase&) = delete;
    virtual ~TZELSVCNetworkBase();

    // ---- Networks list (loader, name indexes, list texts, manager check) ----
    // The name as the networks file gave it: trimmed, at most ZELNetworkNameMaxLen units.
    virtual const UnicodeString& NetworkName() const = 0;
    // The options the network was created with (Hidden keeps it out of the list texts).
    virtual const TZELSVCNetworkOptions& NetworkOptions() const = 0;
    // The network's information and error lines go to these (the list puts the quoted name in
    // front). Set once, before the network is used.
    virtual void SetLogHooks(TZELSVCLogHook Info, TZELSVCLogHook Error) = 0;
    // Applies the mask of the System Manager links in service (bits 1, 2, 4 for links 0 to 2).
    virtual void CheckManagers(uint32_t LinksMask) = 0;

    // ---- Data lists (administrators, mutes, blocks, rights): what the list entries, their
    // removal and expiry and the merges of a reread ask of the network that owns the lists.
    // The network's name in UTF-8 (the first field of every file line of its entries).
    virtual AnsiString ListNameUtf8() const = 0;
    // The configuration's RereadCompareAttr: a reread also compares the entries it keeps.
    virtual bool RereadCompareAttr() const = 0;
    // The network's LevelMuteBlock and ExactMuteBlock options (who may remove a mute or block).
    virtual bool LevelMuteBlock() const = 0;
    virtual bool ExactMuteBlock() const = 0;
    // The server's own client id: the remover named by command-port requests.
    virtual AnsiString ServerId() const = 0;
    // A reread added or removed the client with this id as an administrator.
    virtual void ClientRoleChangedById(AnsiView Id) = 0;
    // A reread added a mute or a block of this id; a reread or an expiry removed a mute.
    virtual void MuteClientById(AnsiView Id) = 0;
    virtual void BlockClientById(AnsiView Id) = 0;
    virtual void UnmuteClientById(AnsiView Id) = 0;
    // ---- end of the data lists' group

    // ---- System Manager links: what the service reads of the network when it asks a link to
    // authenticate a client or tells it that a client left (timer thread). The link thread never
    // touches the network: it only hands it back with the answer.
    // The links (bits 1, 2, 4 for links 0 to 2) that currently serve the network.
    virtual uint32_t ManagersMask() const = 0;
    // The network's name in the server's character set (the "NT" of a logout line); its UTF-8
    // name is ListNameUtf8().
    virtual AnsiString ManagerNetworkName() const = 0;
    // ---- end of the System Manager links' group
};

// Creates the concrete objects. Installed on the service before Start() (TZELService::SetFactory);
// the service owns it and frees it after every object it made.
class TZELSVCFactory {
public:
    TZELSVCFactory() = default;
    TZELSVCFactory(const TZELSVCFactory&) = delete;
    TZELSVCFactory& operator=(const TZELSVCFactory&) = delete;
    virtual ~TZELSVCFactory();

    // ---- Networks list ----
    // The network for one line of the networks file (or one of the default set).
    virtual std::unique_ptr<TZELSVCNetworkBase> CreateNetwork(const TZELServNetworkRec& Rec) = 0;
};

}  // namespace zel
