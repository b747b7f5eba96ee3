#include "foundation/dmq_fileutils.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.hpp"

namespace zel {
namespace {

class FileUtilsTest : public test::TempDirTest {
protected:
    static bool Exists(const std::string& path) {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0;
    }
};

TEST(FileErrors, MessagesNameCodeOperationFileAndSystemText) {
    const std::string text2 = SysErrorText(ENOENT);
    EXPECT_FALSE(text2.empty());
    try {
        RaiseRenameError(ENOENT, "a", "b");
        FAIL();
    } catch (const EFileException& e) {
        EXPECT_EQ(e.Message(), "error [2] of renaming file/dir \"a\" to \"b\": " + text2);
        EXPECT_STREQ(e.ClassName(), "EFileException");
    }
    struct Row {
        void (*raise)(int, AnsiView);
        const char* text;
    };
    const Row rows[] = {
        {RaiseWriteFileError, "writing file"},
        {RaiseReadFileError, "reading file"},
        {RaiseCreateFileError, "creating file"},
        {RaiseOpenOrCreateFileError, "opening or creating file"},
        {RaiseCreateDirError, "creating directory"},
        {RaiseDeleteFileError, "deleting file"},
        {RaiseGetAttrError, "getting attributes of file"},
    };
    for (const Row& r : rows) {
        r.raise(0, "x");  // code 0 raises nothing
        try {
            r.raise(EACCES, "f");
            ADD_FAILURE() << r.text;
        } catch (const EFileException& e) {
            EXPECT_EQ(e.Message(), FormatA("error [%d] of %s \"f\": %s", EACCES, r.text, SysErrorText(EACCES).c_str()));
        }
    }
    EXPECT_THROW(RaiseOpenFileError(ENOENT, "f"), EFileExceptionOpenError);
    EXPECT_EQ(FormatOpenFileError(ENOENT, "f"), "error [2] of opening file \"f\": " + text2);
    EXPECT_EQ(FormatExecuteError(ENOENT, "/bin/x"), "error [2] of execute \"/bin/x\": " + text2);
}

TEST_F(FileUtilsTest, EmptyNamesGiveNotFoundAndTouchNothing) {
    TTextFile t;
    TBinaryFile b;
    uint32_t attr = 0;
    EXPECT_EQ(TryRewriteTextName(t, ""), ENOENT);
    EXPECT_EQ(TryResetTextName(t, ""), ENOENT);
    EXPECT_EQ(TryAppendOrRewriteTextName(t, ""), ENOENT);
    EXPECT_EQ(TryRewriteFileName(b, ""), ENOENT);
    EXPECT_EQ(TryResetFileName(b, "", fm_OpenRead), ENOENT);
    EXPECT_EQ(TryEraseFileName(""), ENOENT);
    EXPECT_EQ(TryGetFileAttr("", attr), ENOENT);
    EXPECT_EQ(TryMakeDir(""), ENOENT);
    EXPECT_EQ(TryForceDirs(""), ENOENT);
    EXPECT_THROW(ResetTextName(t, ""), EFileExceptionOpenError);
    EXPECT_EQ(t.Mode(), TTextFileMode::tfm_Closed);
}

TEST_F(FileUtilsTest, TextWriteThenReadLines) {
    const std::string name = Path("t.txt");
    TTextFile f;
    char small[4];  // caller's buffer: forces flushes in the middle of a write
    ASSERT_EQ(TryRewriteTextNameBuf(f, name, small, sizeof small), 0);
    EXPECT_EQ(fcntl(f.Handle(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    WriteLnText(f, "first line");
    WriteTextBuf(f, "second\r\n\nlast", 13);
    ASSERT_EQ(TryCloseText(f), 0);
    EXPECT_EQ(Get(name), "first line\nsecond\r\n\nlast");

    ASSERT_EQ(TryResetTextName(f, name, small, sizeof small), 0);
    std::vector<std::string> lines;
    for (int i = 0; i < 10 && !EofText(f); ++i) {
        AnsiString s;
        ReadLnText(f, s);
        lines.push_back(s);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"first line", "second", "", "last"}));
    EXPECT_EQ(TryCloseText(f), 0);
    EXPECT_EQ(TryCloseText(f), EBADF);
    EXPECT_EQ(TryWriteTextBuf(f, "x", 1), EBADF);
}

TEST_F(FileUtilsTest, AppendOrRewriteCreatesThenAppends) {
    const std::string name = Path("log");
    for (const char* text : {"a", "b"}) {
        TTextFile f;
        AppendOrRewriteTextName(f, name);
        WriteLnText(f, text);
        ASSERT_EQ(TryCloseText(f), 0);
    }
    EXPECT_EQ(Get(name), "a\nb\n");
    TTextFile f;
    EXPECT_THROW(RewriteTextName(f, Path("missing/x")), EFileException);
    EXPECT_THROW(AppendOrRewriteTextName(f, Path("missing/x")), EFileException);
}

// A FIFO without a writer, a device that never ends, a directory and a file past the cap are
// refused at once, each with a text that says why; a regular file reads as before.
TEST_F(FileUtilsTest, OpenToReadRefusesWhatIsNoRegularFileOrTooLarge) {
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(Path("dir").c_str(), 0700), 0);
    {
        const int fd = ::open(Path("big").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, ReadFileSizeCap + 1), 0);  // sparse: costs no disk
        ::close(fd);
    }
    {
        const int fd = ::open(Path("at-cap").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, ReadFileSizeCap), 0);
        ::close(fd);
    }
    Put(Path("plain"), "a\nb\n");
    struct Row {
        std::string Name;
        int Code;
        const char* Text;  // in the open error's message
    };
    const Row rows[] = {
        {"/dev/zero", ErrNotRegularFile, "not a regular file"},
        {Path("fifo"), ErrNotRegularFile, "not a regular file"},
        {Path("dir"), EISDIR, nullptr},
        {Path("big"), EFBIG, "larger than 67108864 bytes"},
        {Path("missing"), ENOENT, nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        int fd = 7;
        EXPECT_EQ(TryOpenReadFile(r.Name, fd), r.Code);
        EXPECT_EQ(fd, -1);
        TTextFile f;
        EXPECT_EQ(TryResetTextName(f, r.Name), r.Code);
        EXPECT_EQ(f.Mode(), TTextFileMode::tfm_Closed);
        try {
            ResetTextName(f, r.Name);
            ADD_FAILURE();
        } catch (const EFileExceptionOpenError& e) {
            const std::string want = r.Text != nullptr ? std::string(r.Text) : SysErrorText(r.Code);
            EXPECT_NE(e.Message().find(want), std::string::npos) << e.Message();
        }
    }
    int fd = -1;
    ASSERT_EQ(TryOpenReadFile(Path("at-cap"), fd), 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    ::close(fd);
    TTextFile f;
    ASSERT_EQ(TryResetTextName(f, Path("plain")), 0);
    AnsiString line;
    ReadLnText(f, line);
    EXPECT_EQ(line, "a");
}

// A file that gives more than its size at the open (it grows while read, or lies about its size as
// a /proc file of size 0 does) is refused once the reader passes that size: no reader runs on
// without end. What the file held at the open reads as before.
TEST_F(FileUtilsTest, ReadingPastTheSizeAtTheOpenFails) {
    Put(Path("grows"), "a\nb\n");
    char buf[2];
    TTextFile f;
    ASSERT_EQ(TryResetTextName(f, Path("grows"), buf, sizeof buf), 0);
    {
        std::ofstream more(Path("grows"), std::ios::app);
        more << "c\n";
    }
    AnsiString line;
    ReadLnText(f, line);
    EXPECT_EQ(line, "a");
    ReadLnText(f, line);
    EXPECT_EQ(line, "b");
    EXPECT_EQ(TryFillTextBuf(f), ErrFileReadPastSize);
    EXPECT_EQ(TryFillTextBuf(f), ErrFileReadPastSize);
    try {
        EofText(f);
        ADD_FAILURE();
    } catch (const EFileException& e) {
        EXPECT_NE(e.Message().find("more than its size when opened"), std::string::npos) << e.Message();
    }

    TTextFile pagemap;
    ASSERT_EQ(TryResetTextName(pagemap, "/proc/self/pagemap"), 0);
    EXPECT_EQ(TryFillTextBuf(pagemap), ErrFileReadPastSize);

    // Read to its end at its size: the end, not a failure.
    char buf3[3];
    TTextFile whole;
    ASSERT_EQ(TryResetTextName(whole, Path("grows"), buf3, sizeof buf3), 0);
    for (const char* want : {"a", "b", "c"}) {
        ReadLnText(whole, line);
        EXPECT_EQ(line, want);
    }
    EXPECT_TRUE(EofText(whole));
}

TEST_F(FileUtilsTest, CopyFileDataStopsAtMaximum) {
    const std::string src = Path("src"), dst = Path("dst");
    Put(src, "0123456789abcdefghij");
    TBinaryFile in, out;
    ASSERT_EQ(TryResetFileName(in, src, fm_OpenRead), 0);
    ASSERT_EQ(TryRewriteFileName(out, dst), 0);
    char buf[4];
    EXPECT_EQ(TryCopyFileData(in, out, 10, buf, 4), 0);
    EXPECT_EQ(lseek(in.Handle, 0, SEEK_CUR), 10);  // 4 + 4 + 2, nothing read beyond the maximum
    EXPECT_EQ(TryCopyFileData(in, out, 0, buf, 4), 0);
    EXPECT_THROW(TryCopyFileData(in, out, 10, buf, 0), EFileException);
    EXPECT_THROW(TryCopyFileData(in, out, 10, nullptr, 4), EFileException);
    EXPECT_EQ(TryCloseFile(out), 0);
    EXPECT_EQ(Get(dst), "0123456789");

    char big[64];
    EXPECT_EQ(TryCopyFile(src, Path("copy"), big, sizeof big), 0);
    EXPECT_EQ(Get(Path("copy")), "0123456789abcdefghij");
    EXPECT_EQ(TryCopyFile(Path("none"), Path("copy2"), big, sizeof big), ENOENT);
    EXPECT_FALSE(Exists(Path("copy2")));
}

TEST_F(FileUtilsTest, DirectoriesAttributesRenameErase) {
    EXPECT_EQ(TryForceDirs(Path("a/b/c/")), 0);
    EXPECT_EQ(TryForceDirs(Path("a/b/c")), 0);
    EXPECT_EQ(TryMakeDir(Path("a/b/c/")), EEXIST);
    EXPECT_EQ(TryMakeDir(Path("x/y")), ENOENT);
    EXPECT_THROW(MakeDir(Path("x/y")), EFileException);
    Put(Path("a/file"), "z");
    EXPECT_EQ(TryForceDirs(Path("a/file/sub")), ENOTDIR);

    uint32_t attr = 0;
    ASSERT_EQ(TryGetFileAttr(Path("a/b"), attr), 0);
    EXPECT_TRUE(IsDirAttr(attr));
    ASSERT_EQ(TryGetFileAttr(Path("a/file"), attr), 0);
    EXPECT_FALSE(IsDirAttr(attr));
    EXPECT_EQ(TrySetFileAttr(Path("a/file"), 0400u << 16), 0);
    ASSERT_EQ(TryGetFileAttr(Path("a/file"), attr), 0);
    EXPECT_EQ((attr >> 16) & 0777u, 0400u);
    EXPECT_NE(attr & fa_ReadOnly, 0u);
    EXPECT_EQ(TryGetFileAttr(Path("nothing"), attr), ENOENT);
    EXPECT_THROW(GetFileAttr(Path("nothing")), EFileException);

    RenameFileOrDir(Path("a/file"), Path("a/moved"));
    EXPECT_TRUE(Exists(Path("a/moved")));
    EXPECT_THROW(RenameFileOrDir(Path("a/file"), Path("a/moved")), EFileException);
    EraseFileName(Path("a/moved"));
    EXPECT_EQ(TryEraseFileName(Path("a/moved")), ENOENT);
}

TEST_F(FileUtilsTest, CopyDirTreeKeepsPermissionsAndLinks) {
    ASSERT_EQ(TryForceDirs(Path("src/sub/deep")), 0);
    Put(Path("src/f1"), "one");
    Put(Path("src/sub/deep/f2"), "two");
    chmod(Path("src/f1").c_str(), 0640);
    ASSERT_EQ(symlink("f1", Path("src/link").c_str()), 0);
    ASSERT_EQ(TryMakeDir(Path("dst")), 0);
    ASSERT_EQ(TryCopyDir(Path("src"), Path("dst")), 0);
    EXPECT_EQ(Get(Path("dst/src/f1")), "one");
    EXPECT_EQ(Get(Path("dst/src/sub/deep/f2")), "two");
    struct stat st {};
    ASSERT_EQ(stat(Path("dst/src/f1").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ASSERT_EQ(lstat(Path("dst/src/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(TryCopyDir(Path("none"), Path("dst")), ENOENT);
}

TEST_F(FileUtilsTest, RemoveTreeNeverFollowsLinksOutOfTheTree) {
    ASSERT_EQ(TryForceDirs(Path("outside/keep")), 0);
    Put(Path("outside/keep/precious"), "p");
    ASSERT_EQ(TryForceDirs(Path("tree/sub/.hidden")), 0);
    Put(Path("tree/sub/.hidden/f"), "x");
    Put(Path("tree/f"), "y");
    ASSERT_EQ(symlink(Path("outside").c_str(), Path("tree/sub/link").c_str()), 0);
    ASSERT_EQ(symlink(Path("outside").c_str(), Path("toplink").c_str()), 0);

    EXPECT_EQ(TryRemoveDirTree(Path("tree")), 0);
    EXPECT_FALSE(Exists(Path("tree")));
    EXPECT_EQ(TryRemoveDirTree(Path("toplink")), 0);  // the link goes, its target stays
    EXPECT_FALSE(Exists(Path("toplink")));
    EXPECT_EQ(Get(Path("outside/keep/precious")), "p");

    EXPECT_EQ(TryDeleteDirContents(Path("outside")), 0);
    EXPECT_TRUE(Exists(Path("outside")));
    EXPECT_FALSE(Exists(Path("outside/keep")));
    EXPECT_EQ(TryDeleteDirContents(Path("gone")), 0);
    EXPECT_EQ(TryRemoveDirTree(Path("gone")), ENOENT);
}

// A deep tree goes with only a few descriptors free: the walk does not hold one per level.
TEST_F(FileUtilsTest, RemoveDeepTreeWithFewDescriptors) {
    std::string deep = Path("tree");
    ASSERT_EQ(TryMakeDir(deep), 0);
    for (int i = 0; i < 60; ++i) {
        deep += "/d";
        ASSERT_EQ(TryMakeDir(deep), 0);
        Put(deep + "/f", "x");
    }
    for (int i = 0; i < 300; ++i) Put(Path("tree/many" + std::to_string(i)), "y");
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    int highest = open("/dev/null", O_RDONLY | O_CLOEXEC);  // the lowest free descriptor
    ASSERT_GE(highest, 0);
    close(highest);
    struct rlimit few = old;
    few.rlim_cur = static_cast<rlim_t>(highest + 6);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
    const int rc = TryRemoveDirTree(Path("tree"));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(Exists(Path("tree")));
}

TEST_F(FileUtilsTest, CopyDirLeavesOutFifos) {
    ASSERT_EQ(TryForceDirs(Path("src/sub")), 0);
    Put(Path("src/sub/f"), "data");
    ASSERT_EQ(mkfifo(Path("src/sub/pipe").c_str(), 0600), 0);  // opening it would block the copy
    ASSERT_EQ(TryMakeDir(Path("dst")), 0);
    EXPECT_EQ(TryCopyDir(Path("src"), Path("dst")), 0);
    EXPECT_EQ(Get(Path("dst/src/sub/f")), "data");
    EXPECT_FALSE(Exists(Path("dst/src/sub/pipe")));
}

TEST(PathRoutines, SplitAndExpand) {
    struct {
        const char* path;
        const char* dir;
        const char* name;
    } const split[] = {{"/a/b/c", "/a/b/", "c"}, {"c", "", "c"}, {"/c", "/", "c"}, {"a/b/", "a/b/", ""}, {"", "", ""}};
    for (const auto& c : split) {
        EXPECT_EQ(ExtractFilePathA(c.path), c.dir) << c.path;
        EXPECT_EQ(ExtractFileNameA(c.path), c.name) << c.path;
    }
    struct {
        const char* path;
        const char* full;
    } const full[] = {{"/a/./b//c/../d", "/a/b/d"}, {"/../x", "/x"}, {"/a/b/", "/a/b/"}, {"/", "/"}, {"/a/..", "/"}};
    for (const auto& c : full) {
        EXPECT_EQ(ExpandToFullPathA(c.path), c.full) << c.path;
        EXPECT_EQ(ExpandToFullPathU(WidenStrU(c.path)), WidenStrU(c.full)) << c.path;
    }
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(ExpandToFullPathA("x/../y"), ExpandToFullPathA(std::string(cwd) + "/y"));
}

TEST(PathRoutines, Table) {
    EXPECT_EQ(IncludeTrailingSlashA(""), "/");
    EXPECT_EQ(IncludeTrailingSlashA("a"), "a/");
    EXPECT_EQ(IncludeTrailingSlashA("a/"), "a/");
    EXPECT_EQ(IncludeTrailingSlashU(u"a"), u"a/");
    EXPECT_EQ(ExcludeTrailingSlashA("/"), "");
    EXPECT_EQ(ExcludeTrailingSlashA("a//"), "a");
    EXPECT_EQ(ExcludeTrailingSlashU(u"/x/"), u"/x");
    struct {
        const char* path;
        bool clean;
    } const clean[] = {{"/a/b", true},  {"/a/..", false}, {"/a/../b", false}, {"/a/./b", false},
                       {"/a/.", false}, {"/a/.../b", true}, {"/a/.b", true},   {"a..b", true}};
    for (const auto& c : clean) EXPECT_EQ(IsCleanPath(c.path), c.clean) << c.path;
    EXPECT_TRUE(IsDotDir("."));
    EXPECT_TRUE(IsDotDir(".."));
    EXPECT_FALSE(IsDotDir("..."));
    EXPECT_EQ(PathKindU(u""), 0);
    EXPECT_EQ(PathKindU(u"/x"), 2);
    EXPECT_EQ(PathKindU(u"x/"), 0);
}

TEST(PathRoutines, ExePathComesFromTheKernelNotTheCurrentDirectory) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir("/"), 0);  // a path resolved against the current directory would now be wrong
    const AnsiString exe = GetExeFileNameA();
    const AnsiString dir = GetExeDirA();
    EXPECT_EQ(chdir(cwd), 0);
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(exe[0], '/');
    EXPECT_EQ(access(exe.c_str(), X_OK), 0) << exe;
    EXPECT_EQ(exe.rfind("dmq_fileutils_test"), exe.size() - std::strlen("dmq_fileutils_test"));
    EXPECT_EQ(dir + "/dmq_fileutils_test", exe);
}

TEST_F(FileUtilsTest, TempDirTakesOnlyTheFirstSetVariable) {
    const char* vars[] = {"TEMP", "TMP", "TMPDIR", "TEMPDIR"};
    std::vector<std::pair<std::string, bool>> saved;
    for (const char* v : vars) {
        const char* old = getenv(v);
        saved.emplace_back(old ? old : "", old != nullptr);
        unsetenv(v);
    }
    const AnsiString exeDir = IncludeTrailingSlashA(GetExeDirA());
    EXPECT_EQ(GetTempDirA(), exeDir);
    setenv("TMP", dir_.c_str(), 1);
    EXPECT_EQ(GetTempDirA(), dir_ + "/");
    setenv("TEMP", "", 1);  // empty counts as not set
    EXPECT_EQ(GetTempDirA(), dir_ + "/");
    setenv("TEMP", Path("missing").c_str(), 1);
    EXPECT_EQ(GetTempDirA(), exeDir);
    for (size_t i = 0; i < 4; ++i) {
        if (saved[i].second)
            setenv(vars[i], saved[i].first.c_str(), 1);
        else
            unsetenv(vars[i]);
    }
}

TEST(UniqueName, TenDigitsOrCapitalsAndDependsOnInputs) {
    const AnsiString a = MakeUniqueNameA(1, 2, "x", "y");
    ASSERT_EQ(a.size(), 10u);
    for (int i = 0; i < 200; ++i) {
        const AnsiString n = MakeUniqueNameA(static_cast<uint32_t>(i), 0xFFFFFFFFu, "dir", std::to_string(i));
        ASSERT_EQ(n.size(), 10u);
        for (char c : n) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z')) << n;
    }
    EXPECT_NE(MakeUniqueNameA(1, 2, "x", "y"), MakeUniqueNameA(1, 3, "x", "y"));
}

}  // namespace
}  // namespace zel
