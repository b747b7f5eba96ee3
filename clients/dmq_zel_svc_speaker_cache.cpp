#include "clients/dmq_zel_svc_speaker_cache.hpp"

#include <algorithm>
#include <utility>

#include "clients/dmq_zel_svc_context.hpp"
#include "clients/dmq_zel_svc_packets.hpp"
#include "foundation/dmq_exception.hpp"

namespace zel {

uint64_t ZELNetSpeakerKey(const TZELSVCContext& C) noexcept { return (uint64_t(C.Number()) << 32) | C.EntrySerial; }

TZELNetSpeakerCache::TZELNetSpeakerCache(TPositionFreed Freed, TEntryWriter Entry)
    : Freed_(std::move(Freed)), Entry_(std::move(Entry)) {
    for (int32_t p = ZELNetCacheSize - 1; p >= 0; --p) FreePos_.push_back(p);
    Records_.reserve(ZELNetCacheSize);
    StrBldAInit(Bld_, 500);
}

bool TZELNetSpeakerCache::Holds(const TZELSVCContext& Target, const TZELSVCContext& Sender) noexcept {
    return Sender.CachePos >= 0 && (Target.CacheBitmap & (1u << Sender.CachePos)) != 0;
}

bool TZELNetSpeakerCache::TextsAreOf(const TZELSVCContext& C) const noexcept {
    return C.CachePos == TextPos_ && ZELNetSpeakerKey(C) == TextKey_;
}

std::vector<TZELNetSpeakerCache::TRecord>::iterator TZELNetSpeakerCache::Find(const TZELSVCContext& C) {
    return std::find_if(Records_.begin(), Records_.end(), [&C](const TRecord& r) { return r.Client == &C; });
}

void TZELNetSpeakerCache::Touch(TZELSVCContext& C) {
    if (C.CachePos < 0) {
        int32_t pos;
        if (!FreePos_.empty()) {
            pos = FreePos_.back();
            FreePos_.pop_back();
        } else {
            if (Records_.empty()) throw Exception("Cache sort array is empty");
            const TRecord lru = Records_.front();
            if (lru.Client->CachePos != lru.Pos) throw Exception("Cache sort array element not synchonized");
            Records_.erase(Records_.begin());
            lru.Client->CachePos = -1;
            Freed_(lru.Pos);
            pos = lru.Pos;
        }
        Records_.push_back(TRecord{&C, pos, ZELNetSpeakerKey(C)});
        C.CachePos = pos;
    } else {
        const auto it = Find(C);
        if (it == Records_.end()) throw Exception("Context not found in the cache sort array");
        TRecord rec = *it;
        Records_.erase(it);
        Renew(rec);
        Records_.push_back(rec);
    }
    if (!TextsAreOf(C)) BuildTexts(C);
}

void TZELNetSpeakerCache::Renew(TRecord& R) {
    const uint64_t key = ZELNetSpeakerKey(*R.Client);
    if (R.Key == key) return;
    R.Key = key;
    Freed_(R.Pos);
}

void TZELNetSpeakerCache::RenewChanged() {
    for (TRecord& r : Records_) Renew(r);
}

void TZELNetSpeakerCache::TextsFor(TZELSVCContext& C) {
    // A message sender may have taken C's position, or had its own texts built, since.
    if (C.CachePos < 0) return Touch(C);
    if (const auto it = Find(C); it != Records_.end()) Renew(*it);
    if (!TextsAreOf(C)) BuildTexts(C);
}

void TZELNetSpeakerCache::BuildTexts(const TZELSVCContext& C) {
    TextPos_ = C.CachePos;
    TextKey_ = ZELNetSpeakerKey(C);
    StrBldAReset(Bld_);
    StrBldAAddChar(Bld_, ZELPacketCacheEntry);
    StrBldAAddHexByte(Bld_, static_cast<uint8_t>(C.CachePos));
    Entry_(Bld_, C);
    CacheText_.assign(StrBldAView(Bld_));
    StrBldAReset(Bld_);
    StrBldAAddChar(Bld_, ZELPacketCachePosition);
    StrBldAAddHexByte(Bld_, static_cast<uint8_t>(C.CachePos));
    StrBldAAddCRLF(Bld_);
    PosText_.assign(StrBldAView(Bld_));
}

void TZELNetSpeakerCache::Remove(TZELSVCContext& C) {
    if (C.CachePos < 0) return;
    const auto it = Find(C);
    if (it != Records_.end()) Records_.erase(it);
    Freed_(C.CachePos);
    FreePos_.push_back(C.CachePos);
    if (TextPos_ == C.CachePos) TextPos_ = -1;
    C.CachePos = -1;
}

}  // namespace zel
