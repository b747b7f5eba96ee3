#include "clients/dmq_zel_svc_login_answer.hpp"

#include <string>

#include "clients/dmq_zel_svc_packets.hpp"
#include "foundation/dmq_exception.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "net/dmq_snps_idn.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

namespace {

using DC = TZELSVCDisconnectCause;

char ManagerModeLetter(TZELSystemManagerMode M) {
    switch (M) {
        case TZELSystemManagerMode::smm_Notify:
            return 'N';
        case TZELSystemManagerMode::smm_Light:
            return 'L';
        case TZELSystemManagerMode::smm_ZEL:
            return 'Z';
        default:
            return 'S';
    }
}

// "<UT>" running seconds "</UT><TVR>" version "</TVR>" CRLF: the end of every answer line.
void AddAnswerTail(TStringBldA& B, const TZELService* Owner) {
    StrBldAAdd(B, "<UT>");
    StrBldAAdd(B, std::to_string(Owner ? Owner->SecondsCounted() : 0u));
    StrBldAAdd(B, "</UT><TVR>");
    StrBldAAdd(B, ZELVersionText());
    StrBldAAdd(B, "</TVR>");
    StrBldAAddCRLF(B);
}

}  // namespace

AnsiView LoginAnswerWord(const TZELClientLoginData& C) {
    switch (C.Privilege) {
        case TZELClientPrivilege::clpr_USER:
            return "OK";
        case TZELClientPrivilege::clpr_ADMIN:
            return "ADMIN";
        case TZELClientPrivilege::clpr_NETOWNER:
            return (C.Caps & ZELCapsOwnerWord) ? "OWNER" : "NETOWNER";
        case TZELClientPrivilege::clpr_SERVOWNER:
            return "OWNER";
    }
    throw Exception("Undetected client mode");
}

void BuildLoginAnswerLines(TStringBldA& B, TZELClientLoginData& C, bool Accepted, AnsiView AL,
                           const TZELService* Owner) {
    if (!Accepted) C.AcceptedFlags &= ZELExtUtf8;
    const TZELSVCNetworkBase* const Net = C.Net;
    const uint32_t sef = C.AcceptedFlags;
    StrBldAReset(B);
    StrBldAAddInt(B, C.ClientVersion);
    StrBldAAddCRLF(B);
    StrBldAAddElement(B, "MT", Net ? Net->MessageText() : AnsiString());
    StrBldAAddElement(B, "SV", std::to_string(C.ServerVersion));
    StrBldAAddElement(B, "AL", AL);
    // Older clients take the present address when no backup is configured.
    const bool fallBack = (C.Caps & ZELCapsOwnTexts) == 0;
    AnsiString bn = Owner ? IDNToASCII(Owner->BackupServerAddress) : AnsiString();
    if (bn.empty() && fallBack && Owner) bn = IDNToASCII(Owner->PresentServerAddress);
    StrBldAAddElement(B, "BN", bn);
    AnsiString bp = Owner ? UnicodeToUtf8A(Owner->BackupServerPort) : AnsiString();
    if (bp.empty() && fallBack && Owner) bp = UnicodeToUtf8A(Owner->PresentServerPort);
    StrBldAAddElement(B, "BP", bp);
    if (sef != 0) StrBldAAddElement(B, "SEF", std::to_string(sef));
    if ((sef & ZELExtUtf8) && Net) {
        const AnsiString mtu = Net->MessageTextUtf8();
        if (!mtu.empty()) StrBldAAddElement(B, "MTU", mtu);
    }
    if (Accepted) {
        if (C.Caps & ZELCapsKP) StrBldAAddElement(B, "KP", "111111");
        StrBldAAddElement(B, "ID", C.Id);
        if (Net)
            StrBldAAddElement(B, "NT", (sef & ZELExtUtf8) ? Net->ListNameUtf8() : Net->ClientNameA());
        else
            StrBldAAddElement(B, "NT", (sef & ZELExtUtf8) ? C.NetworkUtf8 : C.Network);
        if (sef & ZELExtCacheList) StrBldAAddElement(B, "CZ", "32");
        if (Net && Net->SpeechLimitSeconds() > 0) StrBldAAddElement(B, "TT", std::to_string(Net->SpeechLimitSeconds()));
    }
    if (Net) StrBldAAddElementChar(B, "EM", ManagerModeLetter(Net->EffectiveManagerMode()));
    AddAnswerTail(B, Owner);
}

void BuildLoginRefusal(TStringBldA& B, TZELClientLoginData& C, uint8_t Reason, const TZELService* Owner) {
    AnsiView word;
    switch (Reason) {
        case ZELLoginError:
            word = "ERROR";
            break;
        case ZELLoginWrong:
            word = "WRONG";
            break;
        case ZELLoginBlock:
            word = "BLOCK";
            break;
        case ZELLoginDupl:
            word = (Owner && Owner->DisableDUPL) ? "BLOCK" : "DUPL";
            break;
        default:
            throw Exception("Unknown login error");
    }
    BuildLoginAnswerLines(B, C, false, word, Owner);
}

TZELSVCDisconnectCause LoginRefusalCause(uint8_t HandshakeResult, const TZELService* Owner) {
    switch (HandshakeResult) {
        case ZELLoginAccepted:
            throw Exception("TCP_client_error: there is no any error");
        case ZELLoginError:
            return DC::fsdc_ServerError;
        case ZELLoginWrong:
            return DC::fsdc_ServerWrongPasssword;
        case ZELLoginBlock:
            return DC::fsdc_ServerBlock;
        case ZELLoginDupl:
            return (Owner && Owner->DisableDUPL) ? DC::fsdc_ServerBlock : DC::fsdc_ServerDuplicate;
        default:
            throw Exception("Unknown login error");
    }
}

bool BuildLoginStateAnswer(TStringBldA& B, const TZELClientLoginData& C, const TZELService* Owner) {
    StrBldAReset(B);
    const TZELSVCNetworkBase* const Net = C.Net;
    if (Net == nullptr) return false;
    const AnsiView word = LoginAnswerWord(C);
    const uint32_t sef = C.AcceptedFlags;
    StrBldAAddChar(B, ZELPacketState);
    StrBldAAddElement(B, "AL", word);
    if (sef != 0) StrBldAAddElement(B, "SEF", std::to_string(sef));
    StrBldAAddElement(B, "NT", (sef & ZELExtUtf8) ? Net->ListNameUtf8() : Net->ClientNameA());
    StrBldAAddElement(B, "ID", C.Id);
    StrBldAAddElement(B, "MT", Net->MessageText());
    if (sef & ZELExtUtf8) {
        const AnsiString mtu = Net->MessageTextUtf8();
        if (!mtu.empty()) StrBldAAddElement(B, "MTU", mtu);
    }
    if (Net->SpeechLimitSeconds() > 0) StrBldAAddElement(B, "TT", std::to_string(Net->SpeechLimitSeconds()));
    StrBldAAddElementChar(B, "EM", ManagerModeLetter(Net->EffectiveManagerMode()));
    AddAnswerTail(B, Owner);
    return true;
}

}  // namespace zel
