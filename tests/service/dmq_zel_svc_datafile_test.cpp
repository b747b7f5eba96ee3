#include "service/dmq_zel_svc_datafile.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "foundation/dmq_fileutils.hpp"
#include "tests/support/list_file_test.hpp"

namespace zel {
namespace {

namespace fs = std::filesystem;

using test::AsciiU;

std::string Header() { return std::string(DataFileHeader); }

class DataFileTest : public test::ListFileTest {
protected:
    void Save(const std::string& name, const std::vector<AnsiString>& lines) {
        WriteDataFile(AsciiU(Path(name)), AsciiU(dir_), lines);
    }
    // Temporary entries of the mover anywhere under the test directory.
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> found;
        for (const auto& e : fs::recursive_directory_iterator(dir_))
            if (e.path().filename().string().rfind(".ZELSVC$", 0) == 0) found.push_back(e.path().string());
        return found;
    }
    static mode_t Mode(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0);
        return st.st_mode & 07777;
    }
};

TEST_F(DataFileTest, WritesHeaderThenLinesAsTheyAre) {
    ASSERT_EQ(DataFileHeader.size(), 63u);
    Save("empty.dat", {});
    EXPECT_EQ(Get(Path("empty.dat")), Header());

    Put(Path("list.dat"), "old content\r\n");
    Save("list.dat", {"a|1|0\r\n", "", "b|0|1\r\n", "no line end", "\r\n"});
    EXPECT_EQ(Get(Path("list.dat")), Header() + "a|1|0\r\nb|0|1\r\nno line end\r\n");
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(DataFileTest, LargeContentCrossesTheWriteBuffer) {
    std::vector<AnsiString> lines;
    std::string expected = Header();
    for (int i = 0; i < 3000; ++i) {
        lines.push_back("line " + std::to_string(i) + std::string(40, 'x') + "\r\n");
        expected += lines.back();
    }
    Save("big.dat", lines);
    EXPECT_EQ(Get(Path("big.dat")), expected);
}

TEST_F(DataFileTest, NewFileKeepsThePermissionsOfTheOldOne) {
    Put(Path("rights.dat"), "private\r\n");
    ASSERT_EQ(::chmod(Path("rights.dat").c_str(), 0600), 0);
    Save("rights.dat", {"x\r\n"});
    EXPECT_EQ(Mode(Path("rights.dat")), 0600u);
    ASSERT_EQ(::chmod(Path("rights.dat").c_str(), 0640), 0);
    Save("rights.dat", {"y\r\n"});
    EXPECT_EQ(Mode(Path("rights.dat")), 0640u);
    EXPECT_EQ(Get(Path("rights.dat")), Header() + "y\r\n");
}

// Limits the size of files this process writes; SIGXFSZ ignored so that the write fails with
// EFBIG instead of ending the process (the limit holds for root as well).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit lim = old_;
        lim.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, oldHandler_);
    }

private:
    rlimit old_{};
    sighandler_t oldHandler_{};
};

// Lets this process open no further descriptor (the soft limit at the lowest free number).
class NoFreeDescriptor {
public:
    NoFreeDescriptor() {
        getrlimit(RLIMIT_NOFILE, &old_);
        const int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (lowest >= 0) close(lowest);
        rlimit lim = old_;
        lim.rlim_cur = static_cast<rlim_t>(lowest);
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    ~NoFreeDescriptor() { setrlimit(RLIMIT_NOFILE, &old_); }

private:
    rlimit old_{};
};

TEST_F(DataFileTest, FailureKeepsTheOldFileAndLeavesNoTemporaryEntry) {
    const std::string old = Header() + "keep|1|1\r\n" + std::string(5000, 'k') + "\r\n";
    const std::vector<AnsiString> lines(200, AnsiString(100, 'n') + "\r\n");
    struct Case {
        const char* What;
        std::function<void()> Save;
    };
    const Case cases[] = {
        {"write beyond the file size limit",
         [&] {
             FileSizeLimit limit(1000);
             Save("list.dat", lines);
         }},
        {"no descriptor free",
         [&] {
             NoFreeDescriptor none;
             Save("list.dat", lines);
         }},
        {"missing staging directory",
         [&] { WriteDataFile(AsciiU(Path("list.dat")), AsciiU(Path("nodir")), lines); }},
        {"relative staging directory", [&] { WriteDataFile(AsciiU(Path("list.dat")), u"rel", lines); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        Put(Path("list.dat"), old);
        EXPECT_THROW(c.Save(), Exception);
        EXPECT_EQ(Get(Path("list.dat")), old);
        EXPECT_TRUE(Leftovers().empty());
    }
    EXPECT_FALSE(fs::exists(Path("nodir")));
    EXPECT_THROW(WriteDataFile(u"list.dat", AsciiU(dir_), lines), Exception);
}

TEST_F(DataFileTest, TargetThatIsADirectoryIsRefusedAndUntouched) {
    ASSERT_EQ(::mkdir(Path("list.dat").c_str(), 0755), 0);
    Put(Path("list.dat/inside"), "inside");
    try {
        Save("list.dat", {"x\r\n"});
        ADD_FAILURE() << "no exception";
    } catch (const EFileException& e) {
        EXPECT_NE(std::string(e.what()).find("list.dat"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(fs::is_directory(Path("list.dat")));
    EXPECT_EQ(Get(Path("list.dat/inside")), "inside");
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(DataFileTest, SaveIsRefusedOnlyWhileTheFileCouldNotBeRead) {
    const std::string old = "operator's entries\r\n";
    const std::vector<AnsiString> lines{"new|1|0\r\n"};
    TZELListLoadData load;
    UnicodeString refusal;

    SetListLoadFailed(load, EACCES, "error [13] of opening file \"x\": Permission denied");
    Put(Path("modes.dat"), old);
    EXPECT_EQ(SaveListFile(load, UPath("modes.dat"), AsciiU(dir_), lines, refusal), TZELSVCSaveResult::svsr_Refused);
    EXPECT_EQ(refusal, u"\"" + UPath("modes.dat") +
                           u"\" is not saved: its file could not be read: error [13] of opening file \"x\": "
                           u"Permission denied");
    EXPECT_EQ(Get(Path("modes.dat")), old);

    using SetState = void (*)(TZELListLoadData&);
    for (SetState set : {SetState([](TZELListLoadData&) {}), SetState(SetListLoaded), SetState(SetListMissing)}) {
        TZELListLoadData l;
        set(l);
        refusal.clear();
        Put(Path("modes.dat"), old);
        EXPECT_EQ(SaveListFile(l, UPath("modes.dat"), AsciiU(dir_), lines, refusal), TZELSVCSaveResult::svsr_Saved);
        EXPECT_EQ(Get(Path("modes.dat")), Header() + "new|1|0\r\n");
        EXPECT_TRUE(refusal.empty());
    }
    // A write failure is no refusal: it raises, to be tried again.
    SetListLoaded(load);
    EXPECT_THROW(SaveListFile(load, UPath("modes.dat"), AsciiU(Path("nodir")), lines, refusal), EFileException);
}

// A child saves two contents in turn until it is killed; whenever it dies, the target holds one
// of them whole, and the next save succeeds over whatever the crash left behind.
TEST_F(DataFileTest, KilledSaveLeavesTheOldOrTheNewFileWhole) {
    std::vector<AnsiString> a, b;
    for (int i = 0; i < 2000; ++i) {
        a.push_back("a" + std::to_string(i) + "|1|0\r\n");
        b.push_back("bb" + std::to_string(i) + "|0|1\r\n");
    }
    std::string fileA = Header(), fileB = Header();
    for (const auto& l : a) fileA += l;
    for (const auto& l : b) fileB += l;
    Save("modes.dat", a);

    constexpr int kRounds = 30;
    int sawB = 0;
    for (int round = 0; round < kRounds; ++round) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            try {
                for (;;) {
                    Save("modes.dat", b);
                    Save("modes.dat", a);
                }
            } catch (...) {
            }
            _exit(1);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200 + (round * 7919) % 20000));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saving child failed on its own";
        const std::string now = Get(Path("modes.dat"));
        ASSERT_TRUE(now == fileA || now == fileB) << "round " << round << ": " << now.size() << " bytes";
        if (now == fileB) ++sawB;
    }
    RecordProperty("RoundsEndingOnB", sawB);
    Save("modes.dat", {"after|1|1\r\n"});
    EXPECT_EQ(Get(Path("modes.dat")), Header() + "after|1|1\r\n");
}

}  // namespace
}  // namespace zel
