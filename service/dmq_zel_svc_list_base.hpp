#pragma once
// What the data lists share: the list-file reader (lines, comments, the line limit, the warning
// hook, file errors that keep their errno), the load state of a list file that blocks a save after
// a failed read, the chain and per-network sets of parsed records, the owning entry list with its
// time index, the field readers and writers of a list line, and the client values an entry takes.
//
// Readers run on the service thread and hand their records over whole; the entry lists live on the
// timer thread. Nothing here is locked.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/dmq_fields.hpp"
#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_types.hpp"
#include "foundation/dmq_zel_classes.hpp"
#include "service/dmq_zel_types.hpp"

namespace zel {

// ---------------------------------------------------------------------------------------------
// Client values of a list entry, taken from a client context (the clients library fills it) or,
// for a client that is not online, the id (rights: the e-mail and key) only.

struct TZELSVCListClientData {
    AnsiString Id;
    AnsiString EMail;
    AnsiString EMailKey;  // PadKey8A(EMail): the rights list's key
    AnsiString NN, CT, BC, ON;
    AnsiString NN8, CT8, BC8, ON8;
    uint8_t ClientType = 2;
    uint8_t Utf8 = 0;
    // As the setter of a mute or block: its ON and ON8 (the callsign), its Id and this.
    TZELClientPrivilege Privilege = TZELClientPrivilege::clpr_USER;
    // False for a client that is not online: only its id (rights: e-mail and key) is known, so an
    // existing entry keeps its values.
    bool Online = true;
};

// ---------------------------------------------------------------------------------------------
// File errors of a list reader. Any open or read failure raises EListFileError with its errno
// value; a file that does not exist raises the subclass EListFileMissing (Code() == ENOENT).

class EListFileError : public EFileException {
public:
    EListFileError(int Code, std::string Message) : EFileException(std::move(Message)), code_(Code) {}
    const char* ClassName() const noexcept override { return "EListFileError"; }
    int Code() const noexcept { return code_; }

private:
    int code_;
};

class EListFileMissing : public EListFileError {
public:
    using EListFileError::EListFileError;
    const char* ClassName() const noexcept override { return "EListFileMissing"; }
};

// A save refused because the list's file could not be read (see TZELListLoadData).
ZEL_DECLARE_EXCEPTION(EListSaveRefused, Exception);

// ---------------------------------------------------------------------------------------------
// Load state of one list file. A list whose file exists but could not be read holds nothing of
// it; saving that list would replace the operator's file with an empty one. The service keeps one
// record per list file, sets it at each read of the configured file, and checks it before a save.

enum class TZELListLoadState : uint8_t { lls_NotRead, lls_Loaded, lls_Missing, lls_Failed };

struct TZELListLoadData {
    TZELListLoadState State = TZELListLoadState::lls_NotRead;
    int Code = 0;          // errno value of a failed read (0 when the failure was no file error)
    AnsiString Error;      // its message
    // The file read had no line feeds (TZELListReadHooks::NoLineFeeds): nothing was read from it,
    // and a save with no line to write leaves it as it is, until a save writes lines.
    bool NoLineFeeds = false;
};

void SetListLoaded(TZELListLoadData& L) noexcept;
void SetListMissing(TZELListLoadData& L) noexcept;
void SetListLoadFailed(TZELListLoadData& L, int Code, AnsiView Error);
// From what a reader raised: EListFileMissing gives lls_Missing, any other failure lls_Failed
// (with the errno of an EListFileError).
void SetListLoadFailure(TZELListLoadData& L, const std::exception& E);
// False only after a failed read (a missing file may be created; an unread one has nothing to
// lose).
bool ListSaveAllowed(const TZELListLoadData& L) noexcept;
// Raises EListSaveRefused naming the file and the read error when the save is not allowed.
void CheckListSave(const TZELListLoadData& L, UnicodeView FileName);
// True when a save of Lines (the list's lines and the kept ones) is to leave the file alone: it
// was read without line feeds and nothing has been put into the list since.
bool ListSaveKeepsFile(const TZELListLoadData& L, size_t Lines) noexcept;

// ---------------------------------------------------------------------------------------------
// The reader.

// The longest line a list reader takes, in bytes without its LF and a CR before it. The longest
// line the server writes (a mute line of UTF-8 texts at their caps) stays well below it; a longer
// line was not written by the server and is dropped with a warning, never parsed cut.
inline constexpr int32_t ZELListMaxLineLen = 16384;
inline constexpr size_t ZELListReadBufSize = 16384;

// Told of the lines the reader drops, with the line's number (from 1) and the reason: the first
// ZELListWarningsShown of one read, then once, with the number 0, how many more were refused. The
// caller logs it with the file's name. An expired entry is no warning.
inline constexpr int32_t ZELListWarningsShown = 10;
using TZELListWarningProc = std::function<void(int32_t LineNo, AnsiView Reason)>;

// Parses one line (leading bytes below 33 removed; never empty, never a comment). Returns true
// when the line is taken. False drops it: the reader then sets the rewrite flag and, when Reason
// is not empty, reports Reason through the warning hook. Rewrite is the caller's rewrite flag: a
// parser sets it for a line it takes in an older form. An exception leaves the reader as
// "line %d: %s".
using TZELListLineProc = std::function<bool(AnsiView Line, bool& Rewrite, AnsiString& Reason)>;

// Told of every line before it is parsed (leading bytes below 33 removed, never empty, never a
// comment); true when the caller holds the line: it is neither parsed nor counted as dropped.
using TZELListLineHold = std::function<bool(AnsiView Line)>;

// Asked during a read; true gives the read up: it raises EListReadStopped. A stop of the server
// does not wait for the read of a large file.
using TZELListStopProc = std::function<bool()>;
inline constexpr int32_t ZELListStopCheckLines = 1024;  // lines between two questions
ZEL_DECLARE_EXCEPTION(EListReadStopped, Exception);

// What a caller gives a reader beside the warning hook.
struct TZELListReadHooks {
    TZELListLineHold Hold;
    TZELListStopProc Stop;
    // Set (never cleared) when the file has no LF but a CR inside its text: its lines end in CR
    // alone. Nothing is read from such a file (a warning says so, with line number 0) and the
    // rewrite flag stays as it was, so the file is not written anew for it.
    bool* NoLineFeeds = nullptr;
};

struct TZELListReadParams {
    size_t BufSize = ZELListReadBufSize;
    AnsiView CommentChars = "#";  // a line beginning with one of them is skipped
    TZELListReadHooks Hooks;
};

// Reads FileName (UTF-16, converted to the system character set) line by line: LF ends a line and
// one CR before it is dropped, a last line without LF counts; a UTF-8 byte order mark is skipped
// on line 1 only; leading bytes below 33 are skipped, then empty and comment lines. A line longer
// than ZELListMaxLineLen is dropped with a warning. Open and read failures raise EListFileError /
// EListFileMissing; so does a file that gives more bytes than its size at the open (it grows
// while read, or is no plain file: ErrFileReadPastSize). RewriteFlag is only ever set, and only
// when the whole file was read. Params.Hooks.Stop is asked every ZELListStopCheckLines lines.
void ReadListFile(UnicodeView FileName, const TZELListLineProc& ParseLine, bool& RewriteFlag,
                  const TZELListWarningProc& Warning, const TZELListReadParams& Params = {});

// "line %d: %s", the form of every message about one line.
AnsiString FormatListLineMessage(int32_t LineNo, AnsiView Text);  // LineNo 0: the text alone

// ---------------------------------------------------------------------------------------------
// The key order compares whole 8-byte words, so a key is looked up in its padded form (ids of 24
// characters and the rights keys already are).
bool FindListKey(const TZELSortedAnsiStringList& List, AnsiView Key, int32_t& I);
AnsiString ListSortKey(AnsiView Key);

// Parsed records. A reader returns a chain of records, newest line first; R has a member
// `R* Next`. The chain owns its records and frees them without recursion.

template <class R>
class TZELListRecordChain {
public:
    TZELListRecordChain() = default;
    TZELListRecordChain(const TZELListRecordChain&) = delete;
    TZELListRecordChain& operator=(const TZELListRecordChain&) = delete;
    TZELListRecordChain(TZELListRecordChain&& O) noexcept : head_(std::exchange(O.head_, nullptr)) {}
    TZELListRecordChain& operator=(TZELListRecordChain&& O) noexcept {
        if (this != &O) {
            Clear();
            head_ = std::exchange(O.head_, nullptr);
        }
        return *this;
    }
    ~TZELListRecordChain() { Clear(); }

    void Push(std::unique_ptr<R> Rec) noexcept {
        Rec->Next = head_;
        head_ = Rec.release();
    }
    std::unique_ptr<R> Pop() noexcept {
        R* r = head_;
        if (r != nullptr) {
            head_ = r->Next;
            r->Next = nullptr;
        }
        return std::unique_ptr<R>(r);
    }
    R* Head() const noexcept { return head_; }
    bool Empty() const noexcept { return head_ == nullptr; }
    void Clear() noexcept {
        while (head_ != nullptr) delete std::exchange(head_, head_->Next);
    }

private:
    R* head_ = nullptr;
};

// One network's records, sorted by key (R::Key(), ordered as the entry lists order theirs), owning
// them. R::Time() decides between two records of one key.
template <class R>
class TZELSVCRecordList {
public:
    TZELSVCRecordList() : items_(false) {}
    TZELSVCRecordList(const TZELSVCRecordList&) = delete;
    TZELSVCRecordList& operator=(const TZELSVCRecordList&) = delete;
    ~TZELSVCRecordList() { items_.FreeObjects<R>(); }

    // A new key is inserted at its place. Of two records of one key the one with the strictly
    // greater time stays; on equal times the one put first (readers give the newest line first).
    // Returns false when Rec was the one dropped.
    bool Put(std::unique_ptr<R> Rec) {
        int32_t i = 0;
        if (FindListKey(items_, Rec->Key(), i)) {
            R* old = static_cast<R*>(items_.Items(i).Obj);
            if (old != nullptr && Rec->Time() <= old->Time()) return false;
            items_.SetObject(i, Rec.release());
            delete old;
            return true;
        }
        items_.Insert(i, ListSortKey(Rec->Key()), Rec.get());
        Rec.release();
        return true;
    }
    // The list as Put of each record of Records in turn would leave it, in one sort instead of
    // one insert into the array per record (a file of many lines would cost the square of its
    // length): of the records of one key, those already here first and then Records in their
    // order, the first of the greatest time stays.
    void PutAll(std::vector<std::unique_ptr<R>> Records) {
        struct TSlot {
            AnsiString Key;
            R* Rec;
            size_t Seq;  // below Count(): an item of the list; else Records[Seq - Count()]
        };
        const size_t had = size_t(items_.Count());
        std::vector<TSlot> slots;
        slots.reserve(had + Records.size());
        for (size_t i = 0; i < had; ++i)
            slots.push_back({items_.Items(int32_t(i)).Key, static_cast<R*>(items_.Items(int32_t(i)).Obj), i});
        for (size_t i = 0; i < Records.size(); ++i)
            slots.push_back({ListSortKey(Records[i]->Key()), Records[i].get(), had + i});
        std::sort(slots.begin(), slots.end(), [](const TSlot& A, const TSlot& B) {
            const int c = CompareKey8(A.Key, B.Key);
            return c < 0 || (c == 0 && A.Seq < B.Seq);
        });
        // The winners, as Put decides: a later record replaces the one kept only with a strictly
        // greater time (or when the one kept was taken).
        std::vector<size_t> winners;
        winners.reserve(slots.size());
        for (size_t k = 0; k < slots.size(); ++k) {
            const size_t w = winners.empty() ? 0 : winners.back();
            if (winners.empty() || CompareKey8(slots[w].Key, slots[k].Key) != 0) {
                winners.push_back(k);
            } else if (slots[w].Rec == nullptr ||
                       (slots[k].Rec != nullptr && slots[k].Rec->Time() > slots[w].Rec->Time())) {
                winners.back() = k;
            }
        }
        TZELSortedAnsiStringList next(false);
        next.SetCapacity(int32_t(winners.size()));
        for (size_t w : winners) next.Insert(next.Count(), slots[w].Key, slots[w].Rec);
        std::vector<bool> kept(slots.size(), false);
        for (size_t w : winners) kept[slots[w].Seq] = true;
        // Nothing raises from here on: the list takes the winners, the rest are freed.
        for (size_t i = 0; i < had; ++i)
            if (!kept[i]) delete static_cast<R*>(items_.Items(int32_t(i)).Obj);
        items_ = std::move(next);
        for (size_t i = 0; i < Records.size(); ++i)
            if (kept[had + i]) Records[i].release();
    }
    int32_t Count() const noexcept { return items_.Count(); }
    const AnsiString& Key(int32_t I) const noexcept { return items_.Items(I).Key; }
    // Null once taken.
    R* Get(int32_t I) const noexcept { return static_cast<R*>(items_.Items(I).Obj); }
    std::unique_ptr<R> Take(int32_t I) noexcept {
        R* r = Get(I);
        items_.SetObject(I, nullptr);
        return std::unique_ptr<R>(r);
    }

private:
    TZELSortedAnsiStringList items_;
};

template <class R>
struct TZELSVCRecordGroup {
    UnicodeString Network;
    std::unique_ptr<TZELSVCRecordList<R>> Records;
};

// The chain's records by network name (exact), the groups in the order their first record comes
// in the chain, each group's records put in chain order (TZELSVCRecordList::PutAll); the chain is
// emptied.
template <class R>
std::vector<TZELSVCRecordGroup<R>> GroupListRecords(TZELListRecordChain<R>& Chain) {
    std::vector<TZELSVCRecordGroup<R>> groups;
    std::vector<std::vector<std::unique_ptr<R>>> records;
    std::unordered_map<UnicodeString, size_t> byName;
    while (!Chain.Empty()) {
        std::unique_ptr<R> rec = Chain.Pop();
        auto at = byName.find(rec->Network);
        if (at == byName.end()) {
            groups.push_back({rec->Network, std::make_unique<TZELSVCRecordList<R>>()});
            records.emplace_back();
            at = byName.emplace(rec->Network, groups.size() - 1).first;
        }
        records[at->second].push_back(std::move(rec));
    }
    for (size_t g = 0; g < groups.size(); ++g) groups[g].Records->PutAll(std::move(records[g]));
    return groups;
}

// ---------------------------------------------------------------------------------------------
// The entries of one list of one network: sorted by E::Key() (unsigned order of CompareKey8), with
// the time index keyed by E::TimeKey(). The list owns its entries. Every single-entry operation
// keeps the time index holding exactly the list's entries; merges leave it to RebuildTimeIndex.

template <class E>
class TZELSVCEntryList {
public:
    TZELSVCEntryList() : items_(false) {}
    TZELSVCEntryList(const TZELSVCEntryList&) = delete;
    TZELSVCEntryList& operator=(const TZELSVCEntryList&) = delete;
    ~TZELSVCEntryList() { items_.FreeObjects<E>(); }

    int32_t Count() const noexcept { return items_.Count(); }
    E* Get(int32_t I) const noexcept { return static_cast<E*>(items_.Items(I).Obj); }
    const AnsiString& Key(int32_t I) const noexcept { return items_.Items(I).Key; }
    // True when present; I is its index, else its insert point.
    bool Find(AnsiView Key, int32_t& I) const { return FindListKey(items_, Key, I); }
    E* Find(AnsiView Key) const {
        int32_t i = 0;
        return Find(Key, i) ? Get(i) : nullptr;
    }
    const TZELSortedInt64NotUniqList& TimeIndex() const noexcept { return time_; }

    // Inserts at I (the insert point of its key) and, with WithIndex, into the time index. When
    // anything fails the entry is freed and the list is as before.
    E* Insert(int32_t I, std::unique_ptr<E> Entry, bool WithIndex) {
        E* e = Entry.get();
        items_.Insert(I, ListSortKey(e->Key()), e);
        if (WithIndex) {
            try {
                time_.Add(e->TimeKey(), e);
            } catch (...) {
                items_.Delete(I);
                throw;
            }
        }
        Entry.release();
        return e;
    }
    // Out of the time index (when there) and the list, and freed.
    void Remove(int32_t I) noexcept {
        E* e = Get(I);
        const int32_t t = time_.IndexOfValue(e);
        if (t >= 0) time_.Delete(t);
        items_.Delete(I);
        delete e;
    }
    // After the entry's time key changed.
    void ChangeTimeKey(E* Entry) { time_.ChangeKey(Entry->TimeKey(), Entry); }
    // Every entry under its time key, in one sort (equal time keys in key order); the index is
    // replaced only once the new one is whole.
    void RebuildTimeIndex() {
        std::vector<TZELSortedInt64NotUniqItem> items;
        items.reserve(size_t(Count()));
        for (int32_t i = 0; i < Count(); ++i) items.push_back({Get(i)->TimeKey(), Get(i)});
        std::stable_sort(items.begin(), items.end(),
                         [](const TZELSortedInt64NotUniqItem& A, const TZELSortedInt64NotUniqItem& B) {
                             return A.Key < B.Key;
                         });
        TZELSortedInt64NotUniqList next;
        next.SetCapacity(int32_t(items.size()));
        for (const TZELSortedInt64NotUniqItem& it : items) next.Insert(next.Count(), it.Key, it.Value);
        time_ = std::move(next);
    }

    // The entries at Indexes (ascending, each once) out of the list and the time index, and freed:
    // a few one by one, many in one pass over the arrays (one by one would cost the square of the
    // list's length when a large part of it goes at once).
    void RemoveMany(const std::vector<int32_t>& Indexes) {
        if (Indexes.size() <= kRemoveOneByOne) {
            for (size_t k = Indexes.size(); k-- > 0;) Remove(Indexes[k]);
            return;
        }
        TZELSortedAnsiStringList next(false);
        next.SetCapacity(Count() - int32_t(Indexes.size()));
        for (int32_t i = 0, k = 0; i < Count(); ++i) {
            if (size_t(k) < Indexes.size() && Indexes[size_t(k)] == i) {
                ++k;
                continue;
            }
            next.Insert(next.Count(), Key(i), Get(i));
        }
        std::vector<E*> gone;
        gone.reserve(Indexes.size());
        for (int32_t i : Indexes) gone.push_back(Get(i));
        items_ = std::move(next);
        for (E* e : gone) delete e;
        // Cleared first: it must never hold a freed entry, even should the rebuild fail.
        time_.Clear();
        RebuildTimeIndex();
    }

    // The walk of MergeListWalk (below), which calls it.
    template <class R, class MakeNewFn, class AddedFn, class CompareFn, class RemovedFn>
    bool MergeWalk(TZELSVCRecordList<R>& New, MakeNewFn MakeNew, AddedFn Added, CompareFn Compare,
                   RemovedFn Removed);

private:
    static constexpr size_t kRemoveOneByOne = 8;

    TZELSortedAnsiStringList items_;
    TZELSortedInt64NotUniqList time_;
};

// The walk of a reread over Current (entries) and New (the file's records for the network), both
// in key order:
//   a key only in New:     the record is taken out of New and MakeNew(record) makes the entry
//                          that goes into Current (without the time index); then Added(key);
//   a key in both:         Compare(entry, record) updates the entry; true when it changed;
//   a key only in Current: the entry leaves the list and is freed; then Removed(key).
// Returns whether anything changed. The new order is built in one pass and takes the list's place
// at once (an insert or delete per key would cost the square of the list's length); Added and
// Removed are told afterwards, in the walk's order. A failure while building leaves the list as
// it was (but for what Compare changed). The time index is left for the caller to rebuild after a
// change (it is cleared, so it never holds a freed entry); should a notice raise, it is rebuilt
// here.
template <class E, class R, class MakeNewFn, class AddedFn, class CompareFn, class RemovedFn>
bool MergeListWalk(TZELSVCEntryList<E>& Current, TZELSVCRecordList<R>& New, MakeNewFn MakeNew, AddedFn Added,
                   CompareFn Compare, RemovedFn Removed) {
    return Current.MergeWalk(New, MakeNew, Added, Compare, Removed);
}

template <class E>
template <class R, class MakeNewFn, class AddedFn, class CompareFn, class RemovedFn>
bool TZELSVCEntryList<E>::MergeWalk(TZELSVCRecordList<R>& New, MakeNewFn MakeNew, AddedFn Added, CompareFn Compare,
                                    RemovedFn Removed) {
    struct TNotice {
        AnsiString Key;
        bool Added;
    };
    std::vector<TNotice> notices;
    std::vector<std::unique_ptr<E>> made;  // the new entries, until the list takes them
    made.reserve(size_t(New.Count()));
    std::vector<E*> gone;
    TZELSortedAnsiStringList next(false);
    next.SetCapacity(Count() + New.Count());
    bool changed = false;
    int32_t i = 0, j = 0;
    auto addNew = [&] {
        if (std::unique_ptr<R> rec = New.Take(j)) {
            std::unique_ptr<E> e = MakeNew(*rec);
            next.Insert(next.Count(), ListSortKey(e->Key()), e.get());
            made.push_back(std::move(e));
            notices.push_back({AnsiString(rec->Key()), true});
        }
        ++j;
    };
    auto remove = [&] {
        gone.push_back(Get(i));
        notices.push_back({AnsiString(Get(i)->Key()), false});
        ++i;
    };
    while (i < Count() && j < New.Count()) {
        const int c = CompareKey8(New.Key(j), Key(i));
        if (c < 0) {
            addNew();
        } else if (c == 0) {
            if (const R* rec = New.Get(j); rec != nullptr && Compare(*Get(i), *rec)) changed = true;
            next.Insert(next.Count(), Key(i), Get(i));
            ++i, ++j;
        } else {
            remove();
        }
    }
    while (i < Count()) remove();
    while (j < New.Count()) addNew();
    if (!notices.empty()) {
        // Nothing raises from here until the notices.
        items_ = std::move(next);
        for (std::unique_ptr<E>& e : made) e.release();
        for (E* e : gone) delete e;
        time_.Clear();
        changed = true;
    }
    try {
        for (const TNotice& n : notices) {
            if (n.Added)
                Added(AnsiView(n.Key));
            else
                Removed(AnsiView(n.Key));
        }
    } catch (...) {
        try {
            RebuildTimeIndex();
        } catch (...) {
        }
        throw;
    }
    return changed;
}

// The record of Key unless List's entry of Key has a time at least as great: Assign(entry) gives an
// entry the record's data, New() makes an empty entry. With WithIndex the time index follows. True
// when the list changed.
template <class E, class NewFn, class AssignFn>
bool MergeListRecord(TZELSVCEntryList<E>& List, AnsiView Key, int64_t Time, bool WithIndex, NewFn New,
                     AssignFn Assign) {
    int32_t i = 0;
    if (List.Find(Key, i)) {
        E* e = List.Get(i);
        if (e->TimeKey() >= Time) return false;
        Assign(*e);
        if (WithIndex) List.ChangeTimeKey(e);
        return true;
    }
    std::unique_ptr<E> e = New();
    Assign(*e);
    List.Insert(i, std::move(e), WithIndex);
    return true;
}

// A client put into List by Key: an existing entry is refreshed by Update(entry) (true when it
// changed) unless the client is not online; else Fill(entry) fills a new one from New(), which goes
// into the list and its time index. True when the list changed.
template <class E, class NewFn, class FillFn, class UpdateFn>
bool AddListClient(TZELSVCEntryList<E>& List, AnsiView Key, bool Online, NewFn New, FillFn Fill, UpdateFn Update) {
    int32_t i = 0;
    if (List.Find(Key, i)) return Online && Update(*List.Get(i));
    std::unique_ptr<E> e = New();
    Fill(*e);
    List.Insert(i, std::move(e), true);
    return true;
}

// Reads a list file into a chain of records, newest line first: Parse(record, line, rewrite,
// reason) fills a fresh record for each line (see TZELListLineProc for the rest).
template <class R, class ParseFn>
TZELListRecordChain<R> ReadListRecords(UnicodeView FileName, bool& RewriteFlag, const TZELListWarningProc& Warning,
                                       ParseFn Parse, const TZELListReadHooks& Hooks = {}) {
    TZELListRecordChain<R> chain;
    TZELListReadParams params;
    params.Hooks = Hooks;
    ReadListFile(
        FileName,
        [&](AnsiView line, bool& rewrite, AnsiString& reason) {
            auto rec = std::make_unique<R>();
            if (!Parse(*rec, line, rewrite, reason)) return false;
            chain.Push(std::move(rec));
            return true;
        },
        RewriteFlag, Warning, params);
    return chain;
}

// ---------------------------------------------------------------------------------------------
// Fields of a list line.

// The fields of one line split at '|', each trimmed of bytes below 33; fields past Count() and
// past the maximum are empty.
class TZELListLineFields {
public:
    static constexpr int32_t MaxFields = 17;
    // Splits into at most Max (<= MaxFields) fields; returns their count.
    int32_t Split(AnsiView Line, int32_t Max) noexcept;
    int32_t Count() const noexcept { return count_; }
    // 1-based, as the file formats number their fields.
    AnsiView operator[](int32_t N) const noexcept;

private:
    TBufFieldRec fields_[MaxFields];
    int32_t count_ = 0;
};

// Sets the reason of a dropped line; returns false, the parser's result for it.
bool ListLineFail(AnsiString& Reason, AnsiView Text);

// A network name: non-empty, valid UTF-8 (it must decode and encode again to the same bytes).
bool ReadListNetworkField(AnsiView Field, UnicodeString& Network);
// A client id of 22 or 24 characters, normalised (22 get their check characters, a 24-character
// id ending "==" has them put in); an older form sets Rewrite.
bool ReadListIdField(AnsiView Field, AnsiString& Id, bool& Rewrite);
// A time field: empty is 0 (no flag); "u" or "U" and a decimal number of at least 1 is that time;
// any other form gives 0, or, for a 17-digit local time stamp, its Unix seconds (not below 0), and
// sets Rewrite.
void ReadListTimeField(AnsiView Field, int64_t& Time, bool& Rewrite);
// Fields First, First + 1, ... of Line as hex texts into Values; false (with the reason) at the
// first that does not decode or decodes to a text no list entry may carry (IsSafeElementTextA):
// every one of them goes into the entries that members and the command channel receive.
bool ReadListHexFields(const TZELListLineFields& Line, int32_t First, std::initializer_list<AnsiString*> Values,
                       AnsiString& Reason);
// Whether every non-empty text is valid UTF-8; Any tells whether one is not empty.
bool ListUtf8TextsValid(std::initializer_list<const AnsiString*> Texts, bool& Any) noexcept;

// A + B without overflow (capped at the largest value).
int64_t AddListSeconds(int64_t A, int32_t B) noexcept;

// Writers of file lines and texts.
void StrBldAAddInt64(TStringBldA& B, int64_t V);
AnsiString Int64ToStrA(int64_t V);
// '|' and the bytes as upper-case hex.
void AddListHexField(TStringBldA& B, AnsiView Text);
// '|' and the hex of each text in turn.
void AddListHexFields(TStringBldA& B, std::initializer_list<AnsiView> Texts);
// The client values as command-channel items: '5' NN, '6' CT, '3' BC, '2' ON.
void AddListClientItems(TStringBldA& B, AnsiView NN, AnsiView CT, AnsiView BC, AnsiView ON);
// '|' and "u" with the decimal seconds; '|' alone for 0 (and below).
void AddListTimeField(TStringBldA& B, int64_t Time);
// The builder's text as a new string, the builder emptied for the next text.
AnsiString TakeListText(TStringBldA& B);

}  // namespace zel
