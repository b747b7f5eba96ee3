#include "console/dmq_zel_pid_file.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>

#include "foundation/dmq_fileutils.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel {
namespace {

class PidFile : public test::TempDirTest {};

// Created once with its number; a second creation finds it; the lock is seen by other processes
// as held by the creator, and by nobody once it is removed.
TEST_F(PidFile, ExclusiveAndLockedForLife) {
    const std::string name = Path("zel.pid");
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        TZELPidFile f;
        const char rc = static_cast<char>(f.Create(name, getpid()));
        (void)!write(ready[1], &rc, 1);
        char c;
        (void)!read(done[0], &c, 1);  // hold until the parent has looked
        _exit(0);                      // the lock ends with the process; the file stays
    }
    ASSERT_GT(holder, 0);
    char rc = 1;
    ASSERT_EQ(read(ready[0], &rc, 1), 1);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(Get(name), std::to_string(holder) + "\n");
    EXPECT_EQ(PidFileLockHolder(name), holder);
    EXPECT_TRUE(PidFileDaemonAlive(name, holder));
    EXPECT_FALSE(PidFileDaemonAlive(name, holder + 1));

    TZELPidFile second;
    EXPECT_EQ(second.Create(name, getpid()), EEXIST);
    EXPECT_FALSE(second.Held());
    // Held by a live daemon: never taken over.
    bool stale = true;
    EXPECT_EQ(second.Acquire(name, getpid(), stale), EEXIST);
    EXPECT_FALSE(stale);
    EXPECT_FALSE(second.Held());
    EXPECT_EQ(Get(name), std::to_string(holder) + "\n");

    (void)!write(done[1], "x", 1);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    // A stale file: its number no longer holds the lock.
    EXPECT_TRUE(std::filesystem::exists(name));
    EXPECT_EQ(PidFileLockHolder(name), 0);
    EXPECT_FALSE(PidFileDaemonAlive(name, holder));
    EXPECT_EQ(PidFileLockHolder(Path("missing.pid")), 0);
    // The next daemon takes the stale file over: its number, and its lock.
    ASSERT_EQ(second.Acquire(name, getpid(), stale), 0);
    EXPECT_TRUE(stale);
    EXPECT_EQ(second.TakenOverPid(), holder);
    EXPECT_EQ(Get(name), std::to_string(getpid()) + "\n");
    EXPECT_TRUE(second.Held());
    second.Remove();
    EXPECT_FALSE(std::filesystem::exists(name));
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

// A FIFO in the PID file's place holds no lock and never holds the one who asks.
TEST_F(PidFile, FifoInItsPlaceHoldsNoLock) {
    const std::string name = Path("zel.pid");
    ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
    EXPECT_EQ(PidFileLockHolder(name), 0);
    EXPECT_FALSE(PidFileDaemonAlive(name, getpid()));
}

// Remove unlinks only the file it created: a file made anew under the name stays.
TEST_F(PidFile, RemoveLeavesAnotherFileAlone) {
    const std::string name = Path("zel.pid");
    TZELPidFile f;
    ASSERT_EQ(f.Create(name, 4242), 0);
    std::filesystem::remove(name);
    Put(name, "777\n");
    f.Remove();
    EXPECT_EQ(Get(name), "777\n");
    std::filesystem::remove(name);

    TZELPidFile g;
    ASSERT_EQ(g.Create(name, 4242), 0);
    g.Remove();
    EXPECT_FALSE(std::filesystem::exists(name));
    EXPECT_EQ(g.Create(Path("no/dir/zel.pid"), 1), ENOENT);
}

// Only a stale PID file of this server is taken over: what else the name holds is refused with a
// code that says what it is, and left exactly as it was. An empty file (a daemon killed before it
// wrote its number) is taken over and said to have held none.
TEST_F(PidFile, TakesOverOnlyAStalePidFileOfOurs) {
    const std::string name = Path("zel.pid"), victim = Path("victim");
    struct Case {
        const char* What;
        std::function<void()> Make;
        int Code;
    } cases[] = {
        {"link to a stale PID file", [&] { ASSERT_EQ(symlink(victim.c_str(), name.c_str()), 0); }, ELOOP},
        {"directory", [&] { std::filesystem::create_directory(name); }, EISDIR},
        {"hard link", [&] { ASSERT_EQ(link(victim.c_str(), name.c_str()), 0); }, EMLINK},
        {"garbage", [&] { Put(name, "not a pid\n"); }, ErrPidFileNotAPid},
        {"number and more", [&] { Put(name, "123\nsecret\n"); }, ErrPidFileNotAPid},
        {"number without its line feed", [&] { Put(name, "123"); }, ErrPidFileNotAPid},
        {"FIFO", [&] { ASSERT_EQ(mkfifo(name.c_str(), 0600), 0); }, ErrNotRegularFile},
        {"file of another user",
         [&] {
             Put(name, "123\n");
             ASSERT_EQ(chown(name.c_str(), geteuid() + 1, getegid()), 0);
         },
         EPERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        Put(victim, "123\n");
        if (std::string(c.What) == "file of another user" && geteuid() != 0) continue;  // needs chown
        c.Make();
        const std::string before = std::filesystem::is_regular_file(name) ? Get(name) : "";
        TZELPidFile f;
        bool stale = true;
        EXPECT_EQ(f.Acquire(name, 4242, stale), c.Code);
        EXPECT_FALSE(PidFileRefusalText(c.Code).empty());
        EXPECT_FALSE(stale);
        EXPECT_FALSE(f.Held());
        EXPECT_EQ(Get(victim), "123\n");
        if (std::filesystem::is_regular_file(name)) {
            EXPECT_EQ(Get(name), before);
        }
        std::filesystem::remove_all(name);
    }
    TZELPidFile f;
    bool stale = true;
    Put(name, "");
    ASSERT_EQ(f.Acquire(name, 4242, stale), 0);
    EXPECT_TRUE(stale);
    EXPECT_EQ(f.TakenOverPid(), 0);
    EXPECT_EQ(Get(name), "4242\n");
    f.Remove();
    // A fresh name is created as before.
    ASSERT_EQ(f.Acquire(name, 4242, stale), 0);
    EXPECT_FALSE(stale);
    EXPECT_EQ(Get(name), "4242\n");
}

// The start's warning says why the file was stale: a number that names a live process (here this
// test) names no process of this server, since none held the file's lock.
TEST(StalePidFile, ReasonNamesWhatTheNumberIs) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);  // reaped: the number names no process now
    const struct {
        pid_t Held;
        const char* Reason;
    } cases[] = {
        {0, "it held no process id"},
        {::getpid(), "no process of this server held its lock"},
        {1, "no process of this server held its lock"},
        {child, "no process held it"},
    };
    for (const auto& c : cases) EXPECT_EQ(StalePidFileReason(c.Held), c.Reason) << c.Held;
}

}  // namespace
}  // namespace zel
