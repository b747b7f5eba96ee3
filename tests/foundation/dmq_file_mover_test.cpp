#include "foundation/dmq_file_mover.hpp"

#include "foundation/dmq_fileutils.hpp"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace zel {
namespace {

namespace fs = std::filesystem;

constexpr char kOldBytes[] = "old\0line\r\n\xff\x01 tail";
const std::string kOld(kOldBytes, sizeof kOldBytes - 1);  // binary, with NUL and CR LF
const std::string kNew = "new content\r\n";

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

ino_t Inode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class FileMoverTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zel_mover_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        data_ = root_ + "/data";
        stage_ = root_ + "/stage";
        fs::create_directory(data_);
        fs::create_directory(stage_);
        target_ = data_ + "/admins.dat";
    }
    void TearDown() override {
        if (mover_) FileMoverFree(mover_);
        fs::remove_all(root_);
    }

    // A mover with one synchro for data_ whose staged file holds content.
    TFileMoverSync* Prepare(const std::string& content) {
        mover_ = FileMoverCreate("ZELSVC", stage_);
        TFileMoverSync* s = FileMoverAddSynchro(mover_, data_);
        WriteFile(FileMoverAddFile(s, "admins.dat"), content);
        return s;
    }

    std::string root_, data_, stage_, target_;
    TFileMoverData* mover_ = nullptr;
};

// Afterwards the data directory holds only the target (or nothing), and the staging dir is empty.
TEST_F(FileMoverTest, ReplacesOrRestoresTarget) {
    enum Action { Commit, Rollback, FreeOnly };
    struct Case {
        bool existing;
        Action action;
        bool expectExists;
        const std::string* expected;
    } cases[] = {
        {false, Commit, true, &kNew},    {false, Rollback, false, nullptr},
        {false, FreeOnly, false, nullptr}, {true, Commit, true, &kNew},
        {true, Rollback, true, &kOld},   {true, FreeOnly, true, &kOld},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "existing=" << c.existing << " action=" << c.action);
        fs::remove(target_);
        if (c.existing) {
            WriteFile(target_, kOld);
            fs::permissions(target_, fs::perms(0640));
        }
        TFileMoverSync* s = Prepare(kNew);
        std::string staged = FileMoverStagingDir(*s) + "/M/admins.dat";
        FileMoverCopyUp(mover_);
        FileMoverMoveUp(mover_);
        EXPECT_EQ(ReadFile(target_), kNew);
        if (c.existing) {
            // The old file is kept aside under its backup name until the commit.
            EXPECT_EQ(ReadFile(data_ + "/" + s->TempName + ".admins.dat"), kOld);
        }
        if (c.action == Commit) FileMoverCommit(mover_);
        if (c.action == Rollback) FileMoverRollback(mover_);
        FileMoverFree(mover_);
        EXPECT_EQ(mover_, nullptr);
        EXPECT_EQ(fs::exists(target_), c.expectExists);
        if (c.expected) {
            EXPECT_EQ(ReadFile(target_), *c.expected);
        }
        if (c.existing && c.expected == &kOld) {
            EXPECT_EQ(fs::status(target_).permissions(), fs::perms(0640));
        }
        EXPECT_EQ(Entries(data_), c.expectExists ? std::vector<std::string>{"admins.dat"}
                                                 : std::vector<std::string>{});
        EXPECT_TRUE(Entries(stage_).empty());
        EXPECT_FALSE(fs::exists(staged));
    }
}

TEST_F(FileMoverTest, SameFileSystemRenamesStagingTree) {
    TFileMoverSync* s = Prepare(kNew);
    ino_t staged = Inode(FileMoverStagingDir(*s) + "/M/admins.dat");
    ASSERT_NE(staged, 0u);
    FileMoverCopyUp(mover_);
    EXPECT_FALSE(fs::exists(FileMoverStagingDir(*s)));
    EXPECT_EQ(Inode(FileMoverTargetSideDir(*s) + "/M/admins.dat"), staged);
    FileMoverMoveUp(mover_);
    FileMoverCommit(mover_);
    EXPECT_EQ(Inode(target_), staged);
}

TEST_F(FileMoverTest, StagingOnAnotherFileSystemIsCopied) {
    if (mount("tmpfs", stage_.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs for the staging directory: " << strerror(errno);
    struct Unmount {
        std::string dir;
        ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
    } unmount{stage_};
    WriteFile(target_, kOld);
    for (bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "commit" : "rollback after copy-up");
        TFileMoverSync* s = Prepare(kNew);
        FileMoverCopyUp(mover_);
        EXPECT_TRUE(Entries(stage_).empty());
        EXPECT_EQ(ReadFile(FileMoverTargetSideDir(*s) + "/M/admins.dat"), kNew);
        if (commit) {
            FileMoverMoveUp(mover_);
            FileMoverCommit(mover_);
        }
        FileMoverFree(mover_);
        EXPECT_EQ(ReadFile(target_), commit ? kNew : kOld);
        EXPECT_EQ(Entries(data_), std::vector<std::string>{"admins.dat"});
    }
}

// A reader never finds the target missing while it is replaced again and again.
TEST_F(FileMoverTest, TargetNeverMissingDuringReplacement) {
    WriteFile(target_, kOld);
    std::atomic<bool> stop{false};
    std::atomic<int> missing{0}, looks{0};
    std::thread reader([&] {
        struct stat st {};
        while (!stop.load()) {
            if (::stat(target_.c_str(), &st) != 0) missing.fetch_add(1);
            looks.fetch_add(1);
        }
    });
    for (int i = 0; i < 200; ++i) {
        Prepare(kNew + std::to_string(i));
        FileMoverExecute(mover_);
        FileMoverFree(mover_);
    }
    stop = true;
    reader.join();
    EXPECT_GT(looks.load(), 0);
    EXPECT_EQ(missing.load(), 0);
    EXPECT_EQ(ReadFile(target_), kNew + "199");
}

TEST_F(FileMoverTest, FailingMoveUpRestoresEveryTarget) {
    std::string other = root_ + "/other";
    fs::create_directory(other);
    WriteFile(target_, kOld);
    // The second target name is taken by a directory, so putting a file there fails.
    fs::create_directories(other + "/blocks.dat/sub");
    mover_ = FileMoverCreate("ZELSVC", stage_);
    WriteFile(FileMoverAddFile(FileMoverAddSynchro(mover_, data_), "admins.dat"), kNew);
    WriteFile(FileMoverAddFile(FileMoverAddSynchro(mover_, other), "blocks.dat"), kNew);
    FileMoverCopyUp(mover_);
    EXPECT_THROW(FileMoverMoveUp(mover_), Exception);
    EXPECT_EQ(mover_->State, fms_RolledBack);
    EXPECT_EQ(ReadFile(target_), kOld);
    EXPECT_EQ(Entries(data_), std::vector<std::string>{"admins.dat"});
    EXPECT_EQ(Entries(other), std::vector<std::string>{"blocks.dat"});
    EXPECT_TRUE(Entries(stage_).empty());
}

TEST_F(FileMoverTest, FailedRenameLeavesNoBackup) {
    WriteFile(target_, kOld);
    mover_ = FileMoverCreate("ZELSVC", stage_);
    TFileMoverSync* s = FileMoverAddSynchro(mover_, data_);
    // A directory staged in the file's place: the old file is linked aside, then the rename over
    // the target fails.
    fs::create_directory(FileMoverAddFile(s, "admins.dat"));
    FileMoverCopyUp(mover_);
    EXPECT_THROW(FileMoverMoveUp(mover_), EFileException);
    EXPECT_EQ(mover_->State, fms_RolledBack);
    EXPECT_EQ(ReadFile(target_), kOld);
    EXPECT_EQ(Entries(data_), std::vector<std::string>{"admins.dat"});
    EXPECT_TRUE(Entries(stage_).empty());
}

// A process that ends between the steps leaves temporary trees and backups; the sweep at the next
// start removes exactly those.
TEST_F(FileMoverTest, SweepRemovesACrashsLeftoversAndNothingElse) {
    WriteFile(data_ + "/admins.dat", kOld);
    WriteFile(data_ + "/blocks.dat", kOld);
    // Each child runs a mover in the data directory (staging there too, as the service does) and
    // dies without committing: one after MoveUp, one after CopyUp.
    for (bool moved : {true, false}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            TFileMoverData* m = FileMoverCreate("ZELSVC", data_);
            WriteFile(FileMoverAddFile(FileMoverAddSynchro(m, data_), moved ? "admins.dat" : "blocks.dat"), kNew);
            FileMoverCopyUp(m);
            if (moved) FileMoverMoveUp(m);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::vector<std::string> decoys = {".OTHER$0123456789", ".ZELSVC$012345678", ".ZELSVC$0123456789x",
                                             ".ZELSVC$abcdefghij", ".ZELSVC$0123456789.", "ZELSVC$0123456789",
                                             "keep.dat"};
    for (const std::string& d : decoys) WriteFile(data_ + "/" + d, "decoy");
    ASSERT_GT(Entries(data_).size(), decoys.size() + 2);  // the leftovers are there

    EXPECT_EQ(FileMoverSweep(data_, "ZELSVC"), 0);
    std::vector<std::string> want = decoys;
    want.push_back("admins.dat");
    want.push_back("blocks.dat");
    std::sort(want.begin(), want.end());
    EXPECT_EQ(Entries(data_), want);
    EXPECT_EQ(ReadFile(data_ + "/admins.dat"), kNew);  // replaced before the end: the new file stays
    EXPECT_EQ(ReadFile(data_ + "/blocks.dat"), kOld);  // not yet replaced: the old file stays
    for (const std::string& d : decoys) EXPECT_EQ(ReadFile(data_ + "/" + d), "decoy");
    EXPECT_EQ(FileMoverSweep(root_ + "/missing", "ZELSVC"), ENOENT);
}

TEST_F(FileMoverTest, TemporaryNames) {
    struct Case {
        std::string prefix, head;  // the name is head and ten characters of 0-9, A-Z
    } cases[] = {
        {"ZELSVC", ".ZELSVC$"},
        {"", ".TMP$"},
        {".hidden", ".hidden$"},  // one leading dot, not two
        {"..x", ".x$"},
    };
    auto matches = [](const std::string& name, const std::string& head) {
        if (name.size() != head.size() + 10 || name.compare(0, head.size(), head) != 0) return false;
        for (size_t i = head.size(); i < name.size(); ++i)
            if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'A' && name[i] <= 'Z'))) return false;
        return true;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.prefix);
        TFileMoverData* m = FileMoverCreate(c.prefix, stage_);
        TFileMoverSync* s = FileMoverAddSynchro(m, data_);
        EXPECT_TRUE(matches(s->TempName, c.head)) << s->TempName;
        EXPECT_TRUE(fs::is_directory(FileMoverStagingDir(*s) + "/M"));
        EXPECT_TRUE(fs::is_directory(FileMoverStagingDir(*s) + "/S"));
        EXPECT_EQ(m->Counter, 1u);
        FileMoverFree(m);
    }
    EXPECT_TRUE(Entries(stage_).empty());
    // Only a name that exists already is retried; any other failure is raised at once.
    TFileMoverData* m = FileMoverCreate("ZELSVC", root_ + "/missing");
    try {
        FileMoverAddSynchro(m, data_);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.Message()).rfind("error [", 0), 0u) << e.Message();
    }
    EXPECT_EQ(m->Counter, 1u);
    FileMoverFree(m);
}

TEST_F(FileMoverTest, WrongStateAndBadArgumentsRaise) {
    auto expectMessage = [](const std::function<void()>& f, const std::string& msg) {
        try {
            f();
            ADD_FAILURE() << "no exception, expected " << msg;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), msg);
        }
    };
    TFileMoverSync* s = Prepare(kNew);
    TFileMoverData* m = mover_;
    expectMessage([&] { FileMoverAddFile(s, "again.dat"); },
                  "Master file is already set for Syncro=\"" + data_ + "\"");
    expectMessage([&] { FileMoverMoveUp(m); }, "Unable fullfil MoveUp without previous CopyUp");
    expectMessage([&] { FileMoverCommit(m); }, "Unable perform Commit without MoveUp");
    FileMoverCopyUp(m);
    expectMessage([&] { FileMoverCopyUp(m); }, "Unable do CopyUp procedure");
    expectMessage([&] { FileMoverAddFile(s, "x.dat"); }, "Unable add file");
    expectMessage([&] { FileMoverAddSynchro(m, data_); }, "Unable add synchro");
    expectMessage([&] { FileMoverCommit(m); }, "Unable perform Commit without MoveUp");
    FileMoverMoveUp(m);
    FileMoverCommit(m);
    FileMoverCommit(m);  // a second commit does nothing
    expectMessage([&] { FileMoverRollback(m); }, "File mover data are already commited");
    EXPECT_EQ(ReadFile(target_), kNew);

    TFileMoverData* r = FileMoverCreate("", stage_);
    FileMoverRollback(r);
    FileMoverRollback(r);  // a second rollback does nothing
    expectMessage([&] { FileMoverCommit(r); }, "Unable perform Commit after Rollback");
    FileMoverFree(r);

    expectMessage([&] { FileMoverCreate("", "rel/dir"); }, "Relative path is not allowed: \"rel/dir\"");
    TFileMoverData* a = FileMoverCreate("", stage_);
    expectMessage([&] { FileMoverAddSynchro(a, "data"); }, "Relative path is not allowed: \"data\"");
    FileMoverFree(a);

    TFileMoverData* none = nullptr;
    expectMessage([&] { FileMoverCopyUp(none); }, "Mover=NIL");
    expectMessage([&] { FileMoverFree(none); }, "Mover=NIL");
    expectMessage([&] { FileMoverAddFile(nullptr, "x"); }, "Syncro=NIL");
    TFileMoverData fakeMover;
    fakeMover.Magic = 0;
    expectMessage([&] { FileMoverCommit(&fakeMover); }, "Invalid mover context");
    TFileMoverSync fakeSync;
    fakeSync.Magic = FileMoverMagic;
    expectMessage([&] { FileMoverAddFile(&fakeSync, "x"); }, "Invalid syncro context");
}

}  // namespace
}  // namespace zel
