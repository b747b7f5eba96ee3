#include "clients/dmq_zel_svc_member_lists.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "clients/dmq_zel_svc_context.hpp"
#include "clients/dmq_zel_svc_packets.hpp"

namespace zel {

void AddCompactEntry(TStringBldA& B, const TZELSVCContext* C) {
    // The head digits follow the flags of now (the entries were built at the connect parse, before
    // the join set status, mute and talk right); the items stand as built.
    const uint32_t flags = C->ClientFlags.load(std::memory_order_relaxed);
    const AnsiString& e = C->CompactEntryUtf8;  // only UTF-8 members take compact entries
    StrBldAAddHexByte(B, static_cast<uint8_t>(flags & ((flags & ZELClientUtf8) ? 191u : 63u)));
    if (e.size() > 2) StrBldAAdd(B, AnsiView(e).substr(2));
}

TZELNetMemberLists::TZELNetMemberLists(int32_t OutputBufferLimit)
    : OutputLimit_(OutputBufferLimit > 0 ? OutputBufferLimit : 131072) {
    StrBldAInit(Bld_, 500);
}

int32_t TZELNetMemberLists::ListedCount() const noexcept {
    return static_cast<int32_t>(Listed_.size() - size_t(std::count(Listed_.begin(), Listed_.end(), nullptr)));
}

std::vector<const TZELSVCContext*> TZELNetMemberLists::ListedOrder() const {
    std::vector<const TZELSVCContext*> v;
    for (const TZELSVCContext* c : Listed_)
        if (c) v.push_back(c);
    return v;
}

void TZELNetMemberLists::Unlist(const TZELSVCContext* C) noexcept {
    // A listed member sits at its published index, so one drop costs no walk of the list.
    const size_t at = size_t(C->ListIndex) - 1;
    if (C->ListIndex != 0 && at < Listed_.size() && Listed_[at] == C)
        Listed_[at] = nullptr;
    else
        std::replace(Listed_.begin(), Listed_.end(), const_cast<TZELSVCContext*>(C),
                     static_cast<TZELSVCContext*>(nullptr));
}

void TZELNetMemberLists::ListAll(const TZELNetMembers& Members) {
    Listed_.clear();
    for (const auto& [k, c] : Members) Listed_.push_back(c);
    Renumber();
}

void TZELNetMemberLists::Renumber() {
    uint16_t i = 0;
    for (TZELSVCContext* c : Listed_) c->ListIndex = ++i;
}

TZELNetListChanges TZELNetMemberLists::Merge(const TZELNetMembers& Members) {
    TStringBldA& b = Bld_;
    StrBldAReset(b);
    StrBldAAddChar(b, ZELPacketMemberDiff);
    StrBldAAddChar(b, '\0');
    StrBldAAddChar(b, '\0');
    StrBldAAdd(b, "000000\r\n");
    int32_t lines = 0;
    TZELNetListChanges changes;
    // A line's position counts in the list as the lines before have changed it (a client applies
    // them in order): the place in the new list.
    const auto pos = [&](size_t p) {
        StrBldAAddHexByte(b, static_cast<uint8_t>(p >> 8));
        StrBldAAddHexByte(b, static_cast<uint8_t>(p & 0xFF));
        ++lines;
    };
    std::vector<TZELSVCContext*> next;
    next.reserve(Members.size());
    size_t i = 0;
    auto j = Members.begin();
    while (i < Listed_.size() || j != Members.end()) {
        const auto gone = [&] { return Listed_[i] == nullptr || j == Members.end(); };
        if (i < Listed_.size() && gone()) {
            size_t n = 0;
            while (i < Listed_.size() && gone()) ++i, ++n;
            pos(next.size());
            StrBldAAddChar(b, '-');
            StrBldAAddInt(b, static_cast<int32_t>(n));
            StrBldAAddCRLF(b);
            changes.Members = true;
            continue;
        }
        TZELSVCContext* c = j->second;
        const uint32_t flags = c->ClientFlags.load();
        if (i == Listed_.size() || Listed_[i] != c) {
            pos(next.size());
            StrBldAAddChar(b, '+');
            AddCompactEntry(b, c);
            changes.Members = true;
        } else {
            ++i;
            if (flags & ZELClientEntryChanged) {
                pos(next.size());
                StrBldAAddChar(b, '=');
                AddCompactEntry(b, c);
                changes.Entry = true;
                ++c->EntrySerial;
            } else if (flags & ZELClientChanged) {
                // The speaker and sender texts carry the status digits too: the next ones go out
                // anew.
                ++c->EntrySerial;
                pos(next.size());
                StrBldAAddChar(b, '*');
                const size_t at = static_cast<size_t>(b.Len());
                AddCompactEntry(b, c);
                b.Truncate(static_cast<int32_t>(at + 2));
                StrBldAAddCRLF(b);
                changes.Status = true;
            }
        }
        c->ClientFlags.fetch_and(~(ZELClientEntryChanged | ZELClientChanged));
        next.push_back(c);
        ++j;
    }
    Listed_ = std::move(next);
    DiffText_.assign(StrBldAView(b));
    const std::string count = std::to_string(lines);
    DiffText_.replace(3 + 6 - count.size(), count.size(), count);
    if (lines > 0) Renumber();
    return changes;
}

void TZELNetMemberLists::BuildFull(const TZELNetMembers& Members) {
    TStringBldA& b = Bld_;
    const int32_t n = ListedCount();
    bool counts = false;
    for (const auto& [k, c] : Members)
        if ((c->ClientFlags.load(std::memory_order_relaxed) & ZELClientListFormatMask) == 0x200) counts = true;
    for (int form = 0; form < 2; ++form) {
        StrBldAReset(b);
        StrBldAAddChar(b, form == 0 ? ZELPacketMemberList : ZELPacketMemberListUtf8);
        StrBldAAdd(b, AnsiView("\0\0", 2));
        StrBldAAddInt(b, n);
        StrBldAAddCRLF(b);
        for (const TZELSVCContext* c : Listed_) {
            if (form == 0)
                StrBldAAdd(b, c->ClassicEntry);
            else
                AddCompactEntry(b, c);
        }
        (form == 0 ? FullText_ : FullTextUtf8_).assign(StrBldAView(b));
    }
    if (counts) {
        StrBldAReset(b);
        StrBldAAddChar(b, ZELPacketMemberCount);
        StrBldAAddInt(b, n);
        StrBldAAddCRLF(b);
        CountText_.assign(StrBldAView(b));
    }
}

void TZELNetMemberLists::StampTalker(uint16_t TalkerIndex) {
    for (AnsiString* s : {&FullText_, &FullTextUtf8_, &DiffText_}) {
        if (s->size() < 3) continue;
        (*s)[1] = static_cast<char>(TalkerIndex >> 8);
        (*s)[2] = static_cast<char>(TalkerIndex & 0xFF);
    }
}

void TZELNetMemberLists::UpdateOutputLimit(int32_t Factor, int32_t ActivityTimeoutSeconds, uint32_t Now) {
    const int64_t limit =
        static_cast<int64_t>(FullText_.size()) * Factor + 1700 * static_cast<int64_t>(ActivityTimeoutSeconds);
    const int32_t lim = limit > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(limit);
    if (!Published_) return;
    // OutputBufferLimit holds only until the first list: then the list's own limit, at once.
    if (lim >= OutputLimit_ || !LimitFromList_) {
        LimitFromList_ = true;
        OutputLimit_ = lim;
        LowerPending_ = false;
    } else if (!LowerPending_ || lim != LowerLimit_) {
        // A lower limit waits, so a short dip in the list does not cut slow readers off.
        if (!LowerPending_) LowerSince_ = Now;
        LowerPending_ = true;
        LowerLimit_ = lim;
    }
}

void TZELNetMemberLists::ApplyLowerLimit(uint32_t Now, uint32_t Wait) {
    if (LowerPending_ && Now - LowerSince_ >= Wait) {
        LowerPending_ = false;
        OutputLimit_ = LowerLimit_;
    }
}

}  // namespace zel
