#pragma once
// TZELNetSpeakerCache: a network's speaker cache. Members that keep a cache are sent a speaker's
// entry once per position and then only the position; the cache hands out the positions, least
// recently used first when all are taken, and keeps the texts of the last speaker asked for.
//
// Invariant: each of the ZELNetCacheSize positions is either on the free stack or held by exactly
// one client, whose CachePos names it, and the records list those clients least recently used
// first. A position leaves its client only through the freed hook (evicted or removed), which
// clears it from the members' bitmaps before the position is handed out again; the hook clears a
// held position too when its client's speaker key changed, so no member keeps a stale entry.
//
// Threads: the network's (the timer thread), without locks.
#include <cstdint>
#include <functional>
#include <vector>

#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_types.hpp"

namespace zel {

class TZELSVCContext;

// Speaker-cache positions.
inline constexpr int32_t ZELNetCacheSize = 32;

// A speaker's session number and entry serial: a new key means new speaker texts.
uint64_t ZELNetSpeakerKey(const TZELSVCContext& C) noexcept;

class TZELNetSpeakerCache {
public:
    // Called with a position its client lost, before the position is handed out again.
    using TPositionFreed = std::function<void(int32_t Pos)>;
    // Appends the client's compact entry (the texts carry it after the position).
    using TEntryWriter = std::function<void(TStringBldA& B, const TZELSVCContext& C)>;

    TZELNetSpeakerCache(TPositionFreed Freed, TEntryWriter Entry);

    // A position for C, the most recent now: a free one, else the least recently used one's. The
    // texts are then C's. Raises when the records and the positions are out of step.
    void Touch(TZELSVCContext& C);
    // The texts are C's: a client without a position is touched.
    void TextsFor(TZELSVCContext& C);
    // C leaves: its position goes back to the free stack.
    void Remove(TZELSVCContext& C);
    // Every holder whose speaker key changed since its entry went out (its status or entry
    // changed) has its position cleared through the freed hook, as an eviction does: the members
    // that cache it are sent the entry anew at its next turn or message.
    void RenewChanged();

    // Byte 145, the position (two hex digits) and the entry; byte 146, the position and CR LF.
    const AnsiString& CacheText() const noexcept { return CacheText_; }
    const AnsiString& PosText() const noexcept { return PosText_; }
    int32_t HeldCount() const noexcept { return static_cast<int32_t>(Records_.size()); }
    int32_t FreeCount() const noexcept { return static_cast<int32_t>(FreePos_.size()); }

    // Target has been sent Sender's cache entry at Sender's present position.
    static bool Holds(const TZELSVCContext& Target, const TZELSVCContext& Sender) noexcept;

private:
    struct TRecord {
        TZELSVCContext* Client;
        int32_t Pos;
        uint64_t Key;  // the client's speaker key when its entry went to the caching members
    };
    void Renew(TRecord& R);
    std::vector<TRecord>::iterator Find(const TZELSVCContext& C);
    bool TextsAreOf(const TZELSVCContext& C) const noexcept;
    void BuildTexts(const TZELSVCContext& C);

    TPositionFreed Freed_;
    TEntryWriter Entry_;
    std::vector<TRecord> Records_;  // least recently used first
    std::vector<int32_t> FreePos_;  // the top is handed out first
    uint64_t TextKey_ = ~uint64_t(0);
    int32_t TextPos_ = -1;
    AnsiString CacheText_, PosText_;
    TStringBldA Bld_;
};

}  // namespace zel
