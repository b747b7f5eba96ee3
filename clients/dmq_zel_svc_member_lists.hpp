#pragma once
// TZELNetMemberLists: a network's member list as its members receive it. It keeps the members in
// the order last published (each one's 2-byte index is its 1-based place there), brings that order
// up to date from the network's Members with the difference text, builds the two full lists and
// the count text, hands them out by list format, and derives the output limit from the list's
// size.
//
// The forms by a member's list format (flags 0x300): 0 the 8-bit full list (3), 1 none, 2 the
// count (130), 3 the difference (132), with the UTF-8 full list (131) in its place while the
// member still joins.
//
// Invariants: a listed slot holds a member of the last publication, or null once that member left
// (the next difference tells the others, and nothing dereferences the slot); after a merge that
// wrote a line every listed member's ListIndex is its place. Members keep their relative order
// (a sort key never changes), so one pass merges.
//
// Threads: the timer thread only, as its network.
#include <cstdint>
#include <map>
#include <vector>

#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_types.hpp"
#include "foundation/dmq_zel_classes.hpp"

namespace zel {

class TZELSVCContext;

// The order of Members: list sort keys (BufToSortKeyA, 8-byte groups reversed) compared as
// unsigned 64-bit words, which is the byte order of the texts they were made from.
struct TZELNetSortKeyLess {
    bool operator()(const AnsiString& A, const AnsiString& B) const noexcept { return CompareKey8(A, B) < 0; }
};
using TZELNetMembers = std::map<AnsiString, TZELSVCContext*, TZELNetSortKeyLess>;

// C's compact entry as every text carries it (list lines, speaker, sender and cache texts): the
// head digits from the flags of now, the items as built.
void AddCompactEntry(TStringBldA& B, const TZELSVCContext* C);

// What the lines of a difference text hold.
struct TZELNetListChanges {
    bool Members = false;  // a member added or removed
    bool Entry = false;    // an entry changed ("=")
    bool Status = false;   // a status changed ("*")
};

class TZELNetMemberLists {
public:
    // The output limit holds OutputBufferLimit (131072 when not above 0) until the first list.
    explicit TZELNetMemberLists(int32_t OutputBufferLimit);

    // ---- The order last published.
    const std::vector<TZELSVCContext*>& Listed() const noexcept { return Listed_; }
    // Listed members still members.
    int32_t ListedCount() const noexcept;
    // The listed members still members, in order.
    std::vector<const TZELSVCContext*> ListedOrder() const;
    // A member that leaves: its slot becomes null (found at its index, without a walk).
    void Unlist(const TZELSVCContext* C) noexcept;
    // Every member listed in order and numbered, without a difference (a join before any list).
    void ListAll(const TZELNetMembers& Members);

    // ---- The texts.
    // The difference merge: Listed brought up to Members, the difference text built, the changed
    // flags cleared, a status line raising the member's EntrySerial (its speaker and sender texts
    // go out anew); renumbered when any line was written.
    TZELNetListChanges Merge(const TZELNetMembers& Members);
    // The two full lists of the listed members, and the count text while a member takes counts.
    void BuildFull(const TZELNetMembers& Members);
    // Puts the talker's index into the three shared texts and hands each text to
    // Send(text, mask, value) with the group of members that take it (a member takes it when its
    // flags AND MemberFlagMask AND mask equal value), in the order they go out; the lists count as
    // published from here on.
    template <class F>
    void Publish(uint16_t TalkerIndex, F&& Send) {
        StampTalker(TalkerIndex);
        if (!CountText_.empty()) Send(AnsiView(CountText_), 0x800700u, 0x200u);
        Send(AnsiView(FullTextUtf8_), 0xC00780u, 0x400380u);
        Send(AnsiView(DiffText_), 0xC00780u, 0x380u);
        Send(AnsiView(FullText_), 0x800700u, 0u);
        Published_ = true;
    }
    const AnsiString& FullText() const noexcept { return FullText_; }
    const AnsiString& FullTextUtf8() const noexcept { return FullTextUtf8_; }
    const AnsiString& DiffText() const noexcept { return DiffText_; }
    const AnsiString& CountText() const noexcept { return CountText_; }

    // ---- The output limit.
    int32_t OutputLimit() const noexcept { return OutputLimit_; }
    // After a change of members or entries: the full list's size times Factor plus 1700 per
    // second of the activity time-out. Nothing before the first publication; then a higher limit
    // (and the first) holds at once, a lower one waits.
    void UpdateOutputLimit(int32_t Factor, int32_t ActivityTimeoutSeconds, uint32_t Now);
    // A lower limit waiting Wait ms or more takes effect.
    void ApplyLowerLimit(uint32_t Now, uint32_t Wait);

private:
    void Renumber();
    void StampTalker(uint16_t TalkerIndex);

    // A member that left stays as a null slot until the next difference.
    std::vector<TZELSVCContext*> Listed_;
    AnsiString FullText_, FullTextUtf8_, DiffText_, CountText_;
    TStringBldA Bld_;
    bool Published_ = false;
    int32_t OutputLimit_ = 0;
    int32_t LowerLimit_ = 0;
    uint32_t LowerSince_ = 0;
    bool LowerPending_ = false;
    bool LimitFromList_ = false;
};

}  // namespace zel
