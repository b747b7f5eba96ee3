// The data files of the networks (service/*_list): "admins.dat", "modes.dat", "mutes.dat" and
// "blocks.dat", "notices.dat", "owner.dat" and the rights file. The first byte picks the file; the
// rest is its first line, given to the line parser as the reader would give it, and then the
// whole file, read from a temporary file by the file reader. Lines of the files the server writes
// (modes, notices, owner) are written again from what was read and must read back equal; a
// refused owner line leaves the owner unchanged.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_svc_admins_list.hpp"
#include "service/dmq_zel_svc_modes_list.hpp"
#include "service/dmq_zel_svc_muteblock_list.hpp"
#include "service/dmq_zel_svc_notices_list.hpp"
#include "service/dmq_zel_svc_owner_list.hpp"
#include "service/dmq_zel_svc_rights_list.hpp"
#include "service/dmq_zel_utils.hpp"
#include "tests/fuzz/fuzz_check.hpp"

using namespace zel;

namespace {

constexpr int64_t kNow = 1700000000;

// A line as the list reader hands it over: up to the LF, one CR before it dropped, leading bytes
// below 33 skipped; empty for a line the reader skips.
AnsiView ReaderLine(AnsiView In) {
    const size_t lf = In.find('\n');
    if (lf != AnsiView::npos) In = In.substr(0, lf);
    if (!In.empty() && In.back() == '\r') In.remove_suffix(1);
    while (!In.empty() && static_cast<uint8_t>(In.front()) < 33) In.remove_prefix(1);
    if (!In.empty() && In.front() == '#') return {};
    return In;
}

AnsiView WithoutLineEnd(AnsiView Line) {
    FUZZ_CHECK(Line.size() >= 2 && Line.substr(Line.size() - 2) == "\r\n");
    Line.remove_suffix(2);
    return ReaderLine(Line);
}

void LineRoundTrips(uint8_t Kind, AnsiView Line) {
    bool rewrite = false;
    AnsiString reason;
    switch (Kind) {
        case 0: {
            TZELSVCAdminRecord r;
            if (!ParseAdminLine(r, Line, rewrite, reason)) break;
            const TZELSVCAdminData& d = r.Data;
            for (const AnsiString* t : {&d.NN, &d.CT, &d.BC, &d.ON, &d.NN8, &d.CT8, &d.BC8, &d.ON8})
                FUZZ_CHECK(IsSafeElementTextA(*t));
            break;
        }
        case 1: {
            TZELSVCModesRecord r;
            if (!ParseModesLine(r, Line, rewrite, reason)) break;
            const AnsiString again = BuildModesLine(UnicodeToUtf8A(r.Network), r.ConnectionMode != 0, r.TalkMode != 0);
            TZELSVCModesRecord b;
            bool rw = false;
            FUZZ_CHECK(ParseModesLine(b, WithoutLineEnd(again), rw, reason) && !rw);
            FUZZ_CHECK(b.Network == r.Network && (b.ConnectionMode != 0) == (r.ConnectionMode != 0) &&
                       (b.TalkMode != 0) == (r.TalkMode != 0));
            break;
        }
        case 2: {
            TZELSVCMuteBlockRecord r;
            if (!ParseMuteBlockLine(r, Line, kNow, rewrite, reason)) break;
            const TZELSVCMuteBlockData& d = r.Data;
            for (const AnsiString* t : {&d.AI, &d.NN, &d.CT, &d.BC, &d.ON, &d.AI8, &d.NN8, &d.CT8, &d.BC8, &d.ON8})
                FUZZ_CHECK(IsSafeElementTextA(*t));
            break;
        }
        case 3: {
            TZELSVCNoticeRecord r;
            if (!ParseNoticeLine(r, Line, reason)) break;
            FUZZ_CHECK(!HasCtrlCharsBuf(r.Data.Notice1.data(), static_cast<int32_t>(r.Data.Notice1.size())));
            const AnsiString again = BuildNoticeLine(UnicodeToUtf8A(r.Network), r.Data);
            TZELSVCNoticeRecord b;
            FUZZ_CHECK(ParseNoticeLine(b, WithoutLineEnd(again), reason));
            FUZZ_CHECK(b.Network == r.Network && b.Data.Notice1 == r.Data.Notice1 && b.Data.Notice2 == r.Data.Notice2);
            break;
        }
        case 4: {
            TZELSVCOwnerData o;
            o.ON = "KEEP";
            o.ON8 = "KEEP8";
            if (!ParseOwnerLine(o, Line, reason)) {
                FUZZ_CHECK(o.ON == "KEEP" && o.ON8 == "KEEP8");
                break;
            }
            const AnsiString again = BuildOwnerLine(o);
            TZELSVCOwnerData b;
            FUZZ_CHECK(ParseOwnerLine(b, WithoutLineEnd(again), reason));
            FUZZ_CHECK(b.ON == o.ON && b.ON8 == o.ON8);
            break;
        }
        default: {
            TZELSVCAccessRecord r;
            if (!ParseAccessLine(r, Line, rewrite, reason)) break;
            const TZELSVCAccessData& d = r.Data;
            for (const AnsiString* t : {&d.EMail, &d.NN, &d.CT, &d.BC, &d.ON, &d.NN8, &d.CT8, &d.BC8, &d.ON8})
                FUZZ_CHECK(IsSafeElementTextA(*t));
            break;
        }
    }
}

template <class Chain>
int32_t Drain(Chain&& C) {
    int32_t n = 0;
    while (C.Pop()) ++n;
    return n;
}

void ReadWholeFile(uint8_t Kind, const UnicodeString& Name) {
    bool rewrite = false;
    int32_t warnings = 0;
    bool summed = false, noLineFeeds = false;
    // Each warning names its line, but for the one closing count of the refused lines not told,
    // and for the one of a file without line feeds, which is all its read says.
    const TZELListWarningProc warn = [&](int32_t LineNo, AnsiView Text) {
        FUZZ_CHECK(!summed);
        if (LineNo == 0) {
            if (Text.starts_with("the file has no line feeds")) {
                FUZZ_CHECK(warnings == 0);
                noLineFeeds = summed = true;
                return;
            }
            FUZZ_CHECK(warnings == ZELListWarningsShown && Text.ends_with(" more lines refused"));
            summed = true;
            return;
        }
        FUZZ_CHECK(LineNo >= 1 && warnings < ZELListWarningsShown);
        ++warnings;
    };
    switch (Kind) {
        case 0: (void)Drain(ReadAdminsFile(Name, rewrite, warn)); break;
        case 1: {
            TZELSVCModesArray modes;
            ReadModesFile(Name, modes, rewrite, warn);
            break;
        }
        case 2: (void)Drain(ReadMuteBlockFile(Name, kNow, rewrite, warn)); break;
        case 3: (void)Drain(ReadNoticesFile(Name, rewrite, warn)); break;
        case 4: {
            TZELSVCOwnerData o;
            (void)ReadOwnerFile(Name, o, rewrite, warn);
            break;
        }
        default: (void)Drain(ReadAccessFile(Name, rewrite, warn)); break;
    }
    if (warnings > 0) FUZZ_CHECK(rewrite);
    // Such a file is kept as it is: nothing marks it for writing anew.
    if (noLineFeeds) FUZZ_CHECK(!rewrite);
}

const UnicodeString& FileName() {
    static const UnicodeString name = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/zel_fuzz_list_" +
                           std::to_string(getpid()) + ".dat";
        return SysCharsetToUnicodeProc(path);
    }();
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 1) return 0;
    const uint8_t kind = Data[0] % 6;
    const AnsiView body(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    const AnsiView line = ReaderLine(body);
    if (!line.empty()) LineRoundTrips(kind, line);

    const AnsiString path = UnicodeToSysCharsetProc(FileName());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    const bool written = write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
    close(fd);
    if (written) ReadWholeFile(kind, FileName());
    unlink(path.c_str());
    return 0;
}
