// Crash safety of the data files: the real daemon on a temporary data directory, its server owner
// logged in and changing the mutes, blocks, administrators, notice and modes of its network as
// fast as the server takes it (so the lists are saved again and again), killed with SIGKILL at a
// varied moment, then started again on the same directory; a number of rounds.
// After each kill every list file reads back through the server's own readers with no dropped
// line and holds one of the states written in that round; the next start removes whatever
// staging tree or backup the killed writer left.
//
// zel_crash_test [rounds [seed]]   (defaults 200, 1)
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_admins_list.hpp"
#include "service/dmq_zel_svc_datafile.hpp"
#include "service/dmq_zel_svc_modes_list.hpp"
#include "service/dmq_zel_svc_muteblock_list.hpp"
#include "service/dmq_zel_svc_notices_list.hpp"
#include "service/dmq_zel_svc_owner_list.hpp"
#include "service/dmq_zel_svc_rights_list.hpp"
#include "service/dmq_zel_utils.hpp"
#include "tests/support/server_process.hpp"
#include "tests/support/zel_client.hpp"

namespace zel {
namespace {

using namespace std::chrono_literals;
using test::TServerDir;

// What the lists of the network hold, as far as this test changes them.
struct TListsState {
    std::set<AnsiString> Mutes, Blocks, Admins;
    AnsiString Notice;
    int Connection = 0, Talk = 0;
    bool operator==(const TListsState&) const = default;
};

std::string Describe(const std::set<AnsiString>& S) {
    std::string out = "{";
    for (const AnsiString& s : S) out += (out.size() > 1 ? " " : "") + s.substr(0, 6);
    return out + "}";
}

// The leftovers of the data-file writer in Dir: its staging trees and backups.
std::vector<std::string> WriterLeftovers(const std::string& Dir) {
    std::vector<std::string> found;
    const std::string head = "." + std::string(DataFileMoverPrefix) + "$";
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(Dir, ec))
        if (e.path().filename().string().rfind(head, 0) == 0) found.push_back(e.path().filename().string());
    return found;
}

class TCrashRun {
public:
    explicit TCrashRun(uint32_t Seed) : Rng_(Seed) {
        for (int k = 0; k < 6; ++k) Targets_.push_back(CalcSourceId("target" + std::to_string(k) + "@example.org"));
    }

    bool Setup() {
        if (!Sd_.Ok()) return Fail("no temporary directory");
        Sd_.Put("networks.cfg", "Lobby\n");
        Cfg_ = Sd_.Config("server.ini", true, "", "LogClientLevel=1\n");
        return true;
    }

    // One round: start, change the lists for a while, kill, check. False on a failure.
    bool Round(int N) {
        const std::vector<std::string> before = WriterLeftovers(Sd_.Dir());
        if (!StartDaemon()) return false;
        // The start swept what the killed writer left; a tree that shows up now is a save of this
        // run and goes by itself.
        for (const std::string& name : WriterLeftovers(Sd_.Dir()))
            if (std::find(before.begin(), before.end(), name) != before.end())
                return Fail("the start left " + name);
        if (!test::WaitUntil([&] { return WriterLeftovers(Sd_.Dir()).empty(); }, 5s))
            return Fail("a staging tree or backup stays: " + WriterLeftovers(Sd_.Dir()).front());
        SweptTotal_ += before.size();

        States_.assign(1, Current_);
        // Most rounds kill while the owner works, some right at the start or during the login.
        const int kind = int(Rng_() % 8);
        const int killAfterMs = kind == 0 ? int(Rng_() % 50) : int(20 + Rng_() % 1500);
        const auto killAt = test::ProcClock::now() + std::chrono::milliseconds(killAfterMs);
        if (kind != 0) Work(killAt);
        std::this_thread::sleep_until(killAt);
        ::kill(Pid_, SIGKILL);
        if (!test::WaitUntil([&] { return !test::ProcessAlive(Pid_); }, 10s)) return Fail("the daemon outlived SIGKILL");
        Client_.Close();
        Ops_ += OpsThisRound_;
        if (!WriterLeftovers(Sd_.Dir()).empty()) ++RoundsWithLeftovers_;
        if (!CheckFiles(N)) return false;
        // The killed daemon's PID file stays; the next start takes it over.
        if (!std::filesystem::exists(Sd_.PidFile())) return Fail("the killed daemon's PID file is gone");
        Stale_ = true;
        return true;
    }

    // The last start, an orderly stop and the files once more.
    bool Finish() {
        if (!StartDaemon()) return false;
        if (!WriterLeftovers(Sd_.Dir()).empty() &&
            !test::WaitUntil([&] { return WriterLeftovers(Sd_.Dir()).empty(); }, 5s))
            return Fail("a staging tree or backup stays after the last start");
        States_.assign(1, Current_);
        const test::TProgramRun r = Sd_.Run({"stop", Cfg_}, "stop");
        if (r.Code != 0) return Fail("stop: " + r.Out);
        if (!test::WaitUntil([&] { return !test::ProcessAlive(Pid_); }, 10s)) return Fail("the daemon did not stop");
        if (!CheckFiles(-1)) return false;
        if (!Sd_.LogErrorLines().empty()) return Fail("the log holds an error line");
        return true;
    }

    bool Fail(const std::string& Why) { return Sd_.Failed(Why); }

    uint64_t Ops_ = 0, Logins_ = 0, RoundsChanged_ = 0, SweptTotal_ = 0, RoundsWithLeftovers_ = 0;
    std::map<std::string, uint64_t> FilesChecked_;

private:
    bool StartDaemon() {
        const test::TProgramRun r = Sd_.Run({"daemon", Cfg_}, "start");
        if (r.Code != 0)
            return Fail("the daemon did not start (" + std::to_string(r.Code) + "): " + r.Out + r.Err);
        if (Stale_ != (r.Out.find("] of PID=" + std::to_string(Pid_) + " taken over") != std::string::npos))
            return Fail("the start does not tell of the stale PID file as it should: " + r.Out);
        Stale_ = false;
        Pid_ = Sd_.DaemonPid();
        if (Pid_ <= 1) return Fail("no PID in the PID file");
        return true;
    }

    // The owner logs in and changes the lists until Until; each change is one line, and every
    // state the lists pass through is noted.
    void Work(test::ProcClock::time_point Until) {
        OpsThisRound_ = 0;
        if (!Client_.Connect(Sd_.ClientPort)) return;
        if (Client_.Login(test::ConnectLine(Sd_.OwnerEMail, "OWN3R", "Lobby")) != "OWNER") return;
        ++Logins_;
        uint32_t i = 0;
        while (test::ProcClock::now() < Until) {
            TListsState next = Current_;
            std::string line;
            const AnsiString& id = Targets_[i % Targets_.size()];
            const auto toggle = [&](std::set<AnsiString>& S, const char* Add, const char* Del) {
                const bool has = S.count(id) != 0;
                line = std::string(has ? Del : Add) + "<IP>" + id + "</IP>";
                if (has)
                    S.erase(id);
                else
                    S.insert(id);
            };
            switch (i % 5) {
                case 0: toggle(next.Mutes, "MC:", "UM:"); break;
                case 1: toggle(next.Blocks, "BC:", "UC:"); break;
                case 2: toggle(next.Admins, "AA:", "DA:"); break;
                case 3:
                    next.Notice = "notice " + std::to_string(Ops_ + OpsThisRound_);
                    line = "AI:<SMS>" + next.Notice + "</SMS>";
                    break;
                default:
                    if ((i / 5) % 2 == 0) {
                        next.Talk = 1 - next.Talk;
                        line = next.Talk ? "TXR:1" : "TXR:0";
                    } else {
                        next.Connection = 1 - next.Connection;
                        line = next.Connection ? "ENA:1" : "ENA:0";
                    }
                    break;
            }
            ++i;
            if (!Client_.Send(line + "\r\n")) break;
            Current_ = next;
            States_.push_back(next);
            ++OpsThisRound_;
            if (!Client_.Pump(1)) break;
        }
    }

    // Every list file reads back whole and holds one of the states of this round (Round -1:
    // exactly the last one).
    bool CheckFiles(int Round) {
        const int64_t now = int64_t(::time(nullptr));
        std::string warnings;
        const auto warn = [&](const char* File) {
            return [&warnings, File](int32_t LineNo, AnsiView Reason) {
                warnings += std::string(File) + " line " + std::to_string(LineNo) + ": " + std::string(Reason) + "; ";
            };
        };
        TListsState found;
        for (const char* name : {"mutes.dat", "blocks.dat", "admins.dat", "notices.dat", "modes.dat", "owner.dat",
                                 "rights.dat"}) {
            const std::string path = Sd_.Path(name);
            if (!std::filesystem::exists(path)) continue;
            const std::string bytes = test::ReadWholeFile(path);
            if (bytes.rfind(std::string(DataFileHeader), 0) != 0 || bytes.back() != '\n')
                return Fail(std::string(name) + " is cut: " + std::to_string(bytes.size()) + " bytes");
            ++FilesChecked_[name];
            const UnicodeString file = DecodeUtf8U(path);
            bool rewrite = false;
            try {
                const std::string n = name;
                if (n == "mutes.dat" || n == "blocks.dat") {
                    auto chain = ReadMuteBlockFile(file, now, rewrite, warn(name));
                    for (auto* r = chain.Head(); r != nullptr; r = r->Next)
                        (n == "mutes.dat" ? found.Mutes : found.Blocks).insert(r->Data.Id);
                } else if (n == "admins.dat") {
                    auto chain = ReadAdminsFile(file, rewrite, warn(name));
                    for (auto* r = chain.Head(); r != nullptr; r = r->Next) found.Admins.insert(r->Data.Id);
                } else if (n == "notices.dat") {
                    auto chain = ReadNoticesFile(file, rewrite, warn(name));
                    for (auto* r = chain.Head(); r != nullptr; r = r->Next) found.Notice = r->Data.Notice1;
                } else if (n == "modes.dat") {
                    TZELSVCModesArray modes;
                    ReadModesFile(file, modes, rewrite, warn(name));
                    for (const TZELSVCModesRecord& m : modes) {
                        found.Connection = m.ConnectionMode;
                        found.Talk = m.TalkMode;
                    }
                } else if (n == "owner.dat") {
                    TZELSVCOwnerData owner;
                    if (!ReadOwnerFile(file, owner, rewrite, warn(name)) || owner.ON != "OWN3R")
                        return Fail("owner.dat does not name the owner");
                } else {
                    auto chain = ReadAccessFile(file, rewrite, warn(name));
                }
            } catch (const std::exception& e) {
                return Fail(std::string(name) + ": " + e.what());
            }
            if (!warnings.empty()) return Fail("dropped lines: " + warnings);
            if (rewrite) return Fail(std::string(name) + " reads back in a form the server would rewrite");
        }
        // Each list is saved on its own: each file holds one of the states its list passed through.
        const auto written = [&](auto Part) {
            if (Round < 0) return Part(found) == Part(States_.back());
            for (const TListsState& s : States_)
                if (Part(s) == Part(found)) return true;
            return false;
        };
        const struct {
            const char* List;
            bool Ok;
        } checks[] = {
            {"mutes", written([](const TListsState& s) { return s.Mutes; })},
            {"blocks", written([](const TListsState& s) { return s.Blocks; })},
            {"admins", written([](const TListsState& s) { return s.Admins; })},
            {"notice", written([](const TListsState& s) { return s.Notice; })},
            {"modes", written([](const TListsState& s) { return std::pair(s.Connection, s.Talk); })},
        };
        for (const auto& c : checks)
            if (!c.Ok)
                return Fail("round " + std::to_string(Round) + ": the " + c.List +
                            " file holds a state never written: mutes " + Describe(found.Mutes) + " blocks " +
                            Describe(found.Blocks) + " admins " + Describe(found.Admins) + " notice \"" +
                            found.Notice + "\" modes " + std::to_string(found.Connection) +
                            std::to_string(found.Talk) + "; last written: mutes " + Describe(Current_.Mutes) +
                            " blocks " + Describe(Current_.Blocks) + " admins " + Describe(Current_.Admins));
        if (Round >= 0 && !(found == States_.front())) ++RoundsChanged_;
        // The next start reads these files: they are where the lists go on from.
        Current_ = found;
        return true;
    }

    TServerDir Sd_;
    std::mt19937 Rng_;
    std::string Cfg_;
    pid_t Pid_ = 0;
    bool Stale_ = false;  // the PID file of the killed daemon is left for the next start
    test::TZelClient Client_;
    std::vector<AnsiString> Targets_;
    TListsState Current_;
    std::vector<TListsState> States_;
    uint64_t OpsThisRound_ = 0;
};

}  // namespace
}  // namespace zel

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    const uint32_t seed = argc > 2 ? uint32_t(std::strtoul(argv[2], nullptr, 10)) : 1u;
    zel::TCrashRun run(seed);
    if (!run.Setup()) return 1;
    const auto t0 = zel::test::ProcClock::now();
    for (int n = 0; n < rounds; ++n)
        if (!run.Round(n)) {
            std::fprintf(stderr, "after %d rounds survived\n", n);
            return 1;
        }
    if (!run.Finish()) return 1;
    const double secs = std::chrono::duration<double>(zel::test::ProcClock::now() - t0).count();
    std::printf("kill rounds survived: %d of %d (seed %u) in %.1f s\n", rounds, rounds, seed, secs);
    std::printf("owner logins: %llu, list changes sent: %llu\n", (unsigned long long)run.Logins_,
                (unsigned long long)run.Ops_);
    std::printf("rounds whose files changed before the kill: %llu\n", (unsigned long long)run.RoundsChanged_);
    std::printf("rounds whose kill left a staging tree or backup: %llu (%llu entries, all swept by the next start)\n",
                (unsigned long long)run.RoundsWithLeftovers_, (unsigned long long)run.SweptTotal_);
    std::printf("files checked after the kills:");
    for (const auto& [name, n] : run.FilesChecked_) std::printf(" %s %llu", name.c_str(), (unsigned long long)n);
    std::printf("\n");
    return 0;
}
