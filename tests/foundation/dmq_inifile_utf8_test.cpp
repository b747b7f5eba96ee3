#include "foundation/dmq_inifile_utf8.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <atomic>
#include <chrono>
#include <iterator>
#include <string>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/dmq_fileutils.hpp"

namespace zel {
namespace {

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/dmq_inifile_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        name_ = dir_ + "/server.ini";
    }
    void TearDown() override { EXPECT_EQ(TryRemoveDirTree(dir_), 0); }

    void Put(const std::string& data) { std::ofstream(name_, std::ios::binary) << data; }
    std::string Get() const {
        std::ifstream in(name_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::set<std::string> Entries() const {
        std::set<std::string> r;
        DIR* d = opendir(dir_.c_str());
        while (const dirent* e = readdir(d))
            if (!IsDotDir(e->d_name)) r.insert(e->d_name);
        closedir(d);
        return r;
    }

    std::string dir_, name_;
};

TEST_F(IniFileTest, LoadRulesAndTypedReads) {
    Put("\xEF\xBB\xBF[Server]\r\n"
        "Port = 10023\n"
        "Name=\t first \n"
        "=nokey\n"
        "no equals sign\n"
        "; comment\n"
        "# comment\n"
        "Flag=yes\n"
        "Num=12abc\n"
        "Neg=-7\n"
        "Dup=1\n"
        "dup=2\n"
        "[Broken\n"
        "InServer=still\n"
        "[]\n"
        "[server] trailing text\n"
        "Back=again\n"
        "[\xC3\x9C" "ber]\n"
        "K\xC3\xA4y=W\xC3\xA9rt\n");
    TIniFileUTF8 ini(name_, true);
    EXPECT_TRUE(ini.Loaded());
    EXPECT_FALSE(ini.Modified());
    EXPECT_EQ(ini.ReadString(u"SERVER", u"port", u"x"), u"10023");
    EXPECT_EQ(ini.ReadInteger(u"Server", u"Port", 0), 10023);
    EXPECT_EQ(ini.ReadString(u"Server", u"Name", u""), u"first");
    EXPECT_EQ(ini.ReadString(u"Server", u"Missing", u" def "), u"def");
    EXPECT_EQ(ini.ReadString(u"Server", u"Missing", u"   "), u"   ");
    EXPECT_EQ(ini.ReadString(u"Nowhere", u"Port", u"d"), u"d");
    EXPECT_TRUE(ini.ReadBool(u"Server", u"Flag", false));
    EXPECT_TRUE(ini.ReadBool(u"Server", u"Missing", true));
    EXPECT_FALSE(ini.ReadBool(u"Server", u"Name", false));  // unrecognised word: the default
    EXPECT_EQ(ini.ReadInteger(u"Server", u"Num", 5), 5);
    EXPECT_EQ(ini.ReadInteger(u"Server", u"Neg", 5), -7);
    EXPECT_EQ(ini.ReadString(u"Server", u"DUP", u""), u"2");
    EXPECT_EQ(ini.ReadString(u"Server", u"InServer", u""), u"still");
    EXPECT_EQ(ini.ReadString(u"Server", u"Back", u""), u"again");
    EXPECT_EQ(ini.ReadString(u"Server", u"", u"-"), u"-");
    EXPECT_EQ(ini.ReadString(u"\u00DCber", u"K\u00E4y", u""), u"W\u00E9rt");
}

TEST_F(IniFileTest, KeysBeforeTheFirstSectionAreIgnored) {
    Put("Port=1\n[S]\nA=2\n");
    TIniFileUTF8 ini(name_, true);
    EXPECT_EQ(ini.ReadString(u"", u"Port", u"none"), u"none");
    EXPECT_EQ(ini.ReadInteger(u"S", u"A", 0), 2);
}

TEST_F(IniFileTest, ControlCharactersFailOnTheirLine) {
    struct {
        const char* text;
        const char* message;
    } const rows[] = {
        {"[S]\nA=1\nB=\x01\n", "Invalid characters on line 3"},
        {"[S]\x1F\n", "Invalid characters on line 1"},
        {"[S]\nA=x\ry\n", "Invalid characters on line 2"},
        {"\xEF\xBB\xBF\x08\n", "Invalid characters on line 1"},
    };
    for (const auto& r : rows) {
        Put(r.text);
        try {
            TIniFileUTF8 ini(name_, true);
            ADD_FAILURE() << r.message;
        } catch (const EIniFileUTF8ExceptionInvalidCharacters& e) {
            EXPECT_EQ(e.Message(), r.message);
        }
    }
    Put("[S]\nA=\tx\t\n");
    TIniFileUTF8 ini(name_, true);
    EXPECT_EQ(ini.ReadString(u"S", u"A", u""), u"x");
}

TEST_F(IniFileTest, MissingFile) {
    EXPECT_THROW(TIniFileUTF8(name_, true), EFileExceptionOpenError);
    TIniFileUTF8 ini(name_, false);
    EXPECT_FALSE(ini.Loaded());
    EXPECT_EQ(ini.ReadInteger(u"S", u"A", 9), 9);
    ini.WriteString(u"S", u"A", u"1");
    ini.UpdateFile();
    EXPECT_EQ(Get(), "[S]\nA=1\n");
    EXPECT_EQ(Entries(), std::set<std::string>{"server.ini"});
}

// A save changes only the lines of the keys written: comments, blank lines, ignored lines and
// their order stay; a written key the file lacks goes behind its section's last key; every
// repeat of a written key takes the new value (the last one counts when read).
TEST_F(IniFileTest, SaveKeepsEveryOtherLineOfTheFile) {
    const std::string before =
        "\xEF\xBB\xBF; the server\n"
        "orphan=before any section\n"
        "[Server]\n"
        "# the port clients use\n"
        "  Port = 10024\n"
        "\n"
        "Name=zel\n"
        "; trailing comment of Server\n"
        "\n"
        "[Manager1]\n"
        "ManagerAuthPassword=old\n"
        "ManagerEnabled=0\n"
        "managerauthpassword=older\n"
        "junk line\n";
    Put(before);
    {
        TIniFileUTF8 ini(name_, true);
        ini.WriteString(u"Manager1", u"ManagerAuthPassword", u"s3cret");
        ini.WriteString(u"server", u"Limit", u"5");
        ini.WriteString(u"Manager2", u"ManagerAuthPassword", u"x");
        ini.UpdateFile();
    }
    std::string want = before;
    auto replace = [&](const std::string& from, const std::string& to) {
        const size_t at = want.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        want.replace(at, from.size(), to);
    };
    replace("Name=zel\n", "Name=zel\nLimit=5\n");
    replace("ManagerAuthPassword=old\n", "ManagerAuthPassword=s3cret\n");
    replace("managerauthpassword=older\n", "ManagerAuthPassword=s3cret\n");
    want += "\n[Manager2]\nManagerAuthPassword=x\n";
    EXPECT_EQ(Get(), want);
    TIniFileUTF8 again(name_, true);
    EXPECT_EQ(again.ReadString(u"Manager1", u"ManagerAuthPassword", u""), u"s3cret");
    EXPECT_EQ(again.ReadInteger(u"Server", u"Port", 0), 10024);
    // A save of the file as now written keeps it as well.
    again.WriteString(u"Server", u"Limit", u"6");
    again.UpdateFile();
    EXPECT_NE(Get().find("Name=zel\nLimit=6\n; trailing"), std::string::npos) << Get();
}

// A file written on a system that ends lines with CRLF keeps every CR; a line replaced keeps its
// own ending, a line added takes the file's.
TEST_F(IniFileTest, SaveKeepsEachLinesEnding) {
    struct Case {
        const char* Before;
        const char* After;
    } cases[] = {
        {"[Server]\r\nPort=1\r\n\r\n[Manager1]\r\nManagerAuthPassword=old\r\n",
         "[Server]\r\nPort=1\r\nLimit=5\r\n\r\n[Manager1]\r\nManagerAuthPassword=new\r\n\r\n[Manager2]\r\n"
         "ManagerAuthPassword=x\r\n"},
        {"[Server]\nPort=1\r\n[Manager1]\nManagerAuthPassword=old\n",
         "[Server]\nPort=1\r\nLimit=5\r\n[Manager1]\nManagerAuthPassword=new\n\r\n[Manager2]\r\n"
         "ManagerAuthPassword=x\r\n"},
        {"[Manager1]\nManagerAuthPassword=old\n",
         "[Manager1]\nManagerAuthPassword=new\n\n[Server]\nLimit=5\n\n[Manager2]\nManagerAuthPassword=x\n"},
    };
    for (const Case& c : cases) {
        Put(c.Before);
        {
            TIniFileUTF8 ini(name_, true);
            ini.WriteString(u"Manager1", u"ManagerAuthPassword", u"new");
            ini.WriteString(u"Server", u"Limit", u"5");
            ini.WriteString(u"Manager2", u"ManagerAuthPassword", u"x");
            ini.UpdateFile();
        }
        EXPECT_EQ(Get(), c.After) << c.Before;
        TIniFileUTF8 again(name_, true);
        EXPECT_EQ(again.ReadString(u"Manager1", u"ManagerAuthPassword", u""), u"new");
    }
}

// A last line without a line end keeps it so while it stays last; a line added behind it gets the
// file's line end first.
TEST_F(IniFileTest, LastLineWithoutLineEndStaysAsItWas) {
    struct Case {
        const char* Before;
        const char16_t* Section;
        const char16_t* Key;
        const char* After;
    } cases[] = {
        {"[S]\r\nA=1\r\nB=2", u"S", u"A", "[S]\r\nA=v\r\nB=2"},
        {"[S]\r\nA=1\r\nB=2", u"S", u"B", "[S]\r\nA=1\r\nB=v"},
        {"[S]\r\nA=1\r\n# end", u"S", u"A", "[S]\r\nA=v\r\n# end"},
        {"[S]\r\nA=1\r\nB=2", u"S", u"C", "[S]\r\nA=1\r\nB=2\r\nC=v\r\n"},
        {"[S]\r\nA=1\r\nB=2", u"T", u"C", "[S]\r\nA=1\r\nB=2\r\n\r\n[T]\r\nC=v\r\n"},
        {"[S]\nA=1", u"S", u"A", "[S]\nA=v"},
        {"[S]\nA=1", u"T", u"C", "[S]\nA=1\n\n[T]\nC=v\n"},
        {"[S]\r\nA=1\r\n", u"S", u"A", "[S]\r\nA=v\r\n"},
    };
    for (const Case& c : cases) {
        Put(c.Before);
        TIniFileUTF8 ini(name_, true);
        ini.WriteString(c.Section, c.Key, u"v");
        ini.UpdateFile();
        EXPECT_EQ(Get(), c.After) << c.Before;
        // Saved again by the same object: the same bytes.
        ini.WriteString(c.Section, c.Key, u"v");
        ini.UpdateFile();
        EXPECT_EQ(Get(), c.After) << c.Before;
    }
}

// A writer that read the file before another saved it keeps the other's keys: the save reads the
// file anew under the directory's lock.
TEST_F(IniFileTest, SaveKeepsTheKeysOfASaveSinceTheRead) {
    Put("[Manager]\nManagerAuthPassword=a0\n[Manager1]\nManagerAuthPassword=b0\n");
    TIniFileUTF8 first(name_, true);
    TIniFileUTF8 second(name_, true);
    first.WriteString(u"Manager", u"ManagerAuthPassword", u"a1");
    second.WriteString(u"Manager1", u"ManagerAuthPassword", u"b1");
    second.WriteString(u"Manager2", u"ManagerAuthPassword", u"c1");
    first.UpdateFile();
    second.UpdateFile();
    EXPECT_EQ(Get(), "[Manager]\nManagerAuthPassword=a1\n[Manager1]\nManagerAuthPassword=b1\n\n[Manager2]\n"
                     "ManagerAuthPassword=c1\n");
    // The object holds the file as saved.
    EXPECT_EQ(second.ReadString(u"Manager", u"ManagerAuthPassword", u""), u"a1");
    EXPECT_EQ(Entries(), std::set<std::string>{"server.ini"});

    // Real writers at once, each with its own key: every round keeps both.
    for (int round = 0; round < 20; ++round) {
        std::vector<std::thread> writers;
        for (int w = 0; w < 4; ++w)
            writers.emplace_back([&, w] {
                TIniFileUTF8 ini(name_, true);
                ini.WriteString(u"W" + std::u16string(1, char16_t(u'0' + w)), u"Round",
                                std::u16string(1, char16_t(u'a' + round)));
                ini.UpdateFile();
            });
        for (std::thread& t : writers) t.join();
        TIniFileUTF8 back(name_, true);
        for (int w = 0; w < 4; ++w)
            EXPECT_EQ(back.ReadString(u"W" + std::u16string(1, char16_t(u'0' + w)), u"Round", u""),
                      std::u16string(1, char16_t(u'a' + round)))
                << "round " << round << ", writer " << w;
    }
}

// A save waits while another holds the directory's lock, and then goes on.
TEST_F(IniFileTest, SaveWaitsForTheDirectorysLock) {
    Put("[S]\nA=1\n");
    const int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    std::atomic<bool> saved{false};
    std::thread writer([&] {
        TIniFileUTF8 ini(name_, true);
        ini.WriteString(u"S", u"A", u"2");
        ini.UpdateFile();
        saved = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(saved);
    EXPECT_EQ(Get(), "[S]\nA=1\n");
    close(fd);
    writer.join();
    EXPECT_TRUE(saved);
    EXPECT_EQ(Get(), "[S]\nA=2\n");
}

// A configuration that is a symbolic link is saved through it: the link stays, the file it leads
// to (through a relative or an absolute link, a chain of two) gets the change, and the staging
// file went beside that file.
TEST_F(IniFileTest, LinkedFileIsSavedThroughTheLink) {
    ASSERT_EQ(mkdir((dir_ + "/etc").c_str(), 0700), 0);
    const std::string target = dir_ + "/etc/real.ini";
    for (const std::string& link : {std::string("etc/real.ini"), target}) {
        std::ofstream(target, std::ios::binary) << "[Manager]\nManagerAuthPassword=old\n";
        ASSERT_EQ(chmod(target.c_str(), 0640), 0);
        unlink(name_.c_str());
        unlink((dir_ + "/hop.ini").c_str());
        ASSERT_EQ(symlink("hop.ini", name_.c_str()), 0);
        ASSERT_EQ(symlink(link.c_str(), (dir_ + "/hop.ini").c_str()), 0);
        TIniFileUTF8 ini(name_, true);
        ini.WriteString(u"Manager", u"ManagerAuthPassword", u"new");
        ini.UpdateFile();
        struct stat st {};
        ASSERT_EQ(lstat(name_.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << link;
        ASSERT_EQ(lstat(target.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(Get(), "[Manager]\nManagerAuthPassword=new\n") << link;
        EXPECT_EQ(Entries(), (std::set<std::string>{"etc", "hop.ini", "server.ini"}));
        DIR* d = opendir((dir_ + "/etc").c_str());
        std::set<std::string> inEtc;
        while (const dirent* e = readdir(d))
            if (!IsDotDir(e->d_name)) inEtc.insert(e->d_name);
        closedir(d);
        EXPECT_EQ(inEtc, std::set<std::string>{"real.ini"});
    }
}

TEST_F(IniFileTest, WriteAndSaveReplacesTheFileInOneStep) {
    Put("[Server]\nPort=1\n\n[Empty]\n[Manager]\nPassword=old\n");
    chmod(name_.c_str(), 0600);
    {
        TIniFileUTF8 ini(name_, true);
        ini.WriteString(u"manager", u"PASSWORD", u" n\u00E9w");
        ini.WriteString(u"Server", u"Port", u"2");
        ini.WriteString(u"New", u"Key", u"v");
        EXPECT_TRUE(ini.Modified());
        ini.UpdateFile();
        EXPECT_FALSE(ini.Modified());
    }
    EXPECT_EQ(Get(), "[Server]\nPort=2\n\n[Empty]\n[Manager]\nPassword= n\xC3\xA9w\n\n[New]\nKey=v\n");
    EXPECT_EQ(Entries(), std::set<std::string>{"server.ini"});  // no ".$new" or ".$old" left
    struct stat st {};
    ASSERT_EQ(stat(name_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    TIniFileUTF8 again(name_, true);
    EXPECT_EQ(again.ReadString(u"Manager", u"Password", u""), u"n\u00E9w");

    // A destructor never saves.
    {
        TIniFileUTF8 ini(name_, true);
        ini.WriteString(u"Server", u"Port", u"3");
    }
    EXPECT_EQ(TIniFileUTF8(name_, true).ReadInteger(u"Server", u"Port", 0), 2);
}

TEST_F(IniFileTest, FailedSaveKeepsTheOldFile) {
    Put("[S]\nA=1\n");
    TIniFileUTF8 ini(name_, true);
    ini.WriteString(u"S", u"A", u"2");
    // The new file cannot be created: a directory stands in its place.
    const std::string blocker = dir_ + "/.server.ini.$new";
    ASSERT_EQ(TryMakeDir(blocker), 0);
    EXPECT_THROW(ini.UpdateFile(), EFileException);
    EXPECT_EQ(Get(), "[S]\nA=1\n");
    ASSERT_EQ(TryRemoveDirTree(blocker), 0);
    EXPECT_TRUE(ini.Modified());
    ini.UpdateFile();
    EXPECT_EQ(Get(), "[S]\nA=2\n");
}

TEST_F(IniFileTest, WritesThatTheLoaderWouldRejectAreRefused) {
    TIniFileUTF8 ini(name_, false);
    struct {
        const char16_t* section;
        const char16_t* key;
        const char16_t* value;
    } const bad[] = {
        {u"S", u"Password", u"abc\ndef"}, {u"S", u"Password", u"abc\r"}, {u"S", u"K=ey", u"v"},
        {u"S", u"K\tey", u"v"},          {u"S]", u"Key", u"v"},           {u"S\n", u"Key", u"v"},
    };
    for (const auto& b : bad)
        EXPECT_THROW(ini.WriteString(b.section, b.key, b.value), EIniFileUTF8ExceptionInvalidCharacters);
    EXPECT_FALSE(ini.Modified());
    ini.WriteString(u"S", u"Key", u"a\tb");  // TAB is allowed in a value
    ini.UpdateFile();
    EXPECT_EQ(TIniFileUTF8(name_, true).ReadString(u"S", u"Key", u""), u"a\tb");
}

TEST_F(IniFileTest, NewFileHoldingAPasswordIsOwnerOnly) {
    const mode_t old = umask(0);  // the umask must not decide who reads the password
    {
        TIniFileUTF8 ini(name_, false);
        ini.WriteString(u"Manager", u"ManagerAuthPassword", u"secret");
        ini.UpdateFile();
    }
    umask(old);
    struct stat st {};
    ASSERT_EQ(lstat(name_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(IniFileTest, PlantedNewFileLinkIsNotFollowed) {
    Put("[S]\nA=1\n");
    const std::string target = dir_ + "/target";
    std::ofstream(target) << "keep";
    ASSERT_EQ(symlink(target.c_str(), (dir_ + "/.server.ini.$new").c_str()), 0);
    TIniFileUTF8 ini(name_, true);
    ini.WriteString(u"S", u"Pass", u"x");
    ini.UpdateFile();
    std::ifstream in(target);
    std::string t((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(t, "keep");
    struct stat st {};
    ASSERT_EQ(lstat(name_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));  // the configuration did not become the link
    EXPECT_EQ(Get(), "[S]\nA=1\nPass=x\n");
    EXPECT_EQ(Entries(), (std::set<std::string>{"server.ini", "target"}));
}

TEST_F(IniFileTest, SaveKeepsModeAndOwner) {
    Put("[S]\nA=1\n");
    ASSERT_EQ(chmod(name_.c_str(), 0640), 0);
    // Run by root, the file belongs to the daemon's user; otherwise to us.
    const bool root = geteuid() == 0;
    const uid_t owner = root ? 4321 : geteuid();
    const gid_t group = root ? 4322 : getegid();
    if (root) {
        ASSERT_EQ(chown(name_.c_str(), owner, group), 0);
    }
    for (mode_t mode : {mode_t(0640), mode_t(0600)}) {
        ASSERT_EQ(chmod(name_.c_str(), mode), 0);
        TIniFileUTF8 ini(name_, true);
        ini.WriteString(u"S", u"A", u"2");
        ini.UpdateFile();
        struct stat st {};
        ASSERT_EQ(stat(name_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(st.st_uid, owner);
        EXPECT_EQ(st.st_gid, group);
    }
}

// Every name that WriteString accepts comes back from the saved file as it was written; the
// rest are refused before anything changes.
TEST_F(IniFileTest, AcceptedNamesReadBack) {
    struct {
        const char16_t* section;
        const char16_t* key;
        bool ok;
    } const cases[] = {
        {u"Server", u"Port", true},
        {u"Sec tion", u"Key with blanks", true},
        {u"[X", u"K]", true},
        {u"#S", u"A#;[", true},
        {u"S\u00e9", u"K\U0001F600", true},
        {u"S", u"#Pass", false},
        {u"S", u";Pass", false},
        {u"S", u"[X]Pass", false},
        {u"S", u"", false},
        {u"S", u" Key", false},
        {u"S", u"Key ", false},
        {u"S", u"Key\t", false},
        {u"S", u"K=ey", false},
        {u"S", u"K\tey", false},
        {u"S", u"K\xd800", false},  // a lone surrogate cannot be written
        {u"", u"Key", false},
        {u" S", u"Key", false},
        {u"S ", u"Key", false},
        {u"S]", u"Key", false},
        {u"S\n", u"Key", false},
    };
    TIniFileUTF8 ini(name_, false);
    for (const auto& c : cases) {
        if (c.ok) {
            ini.WriteString(c.section, c.key, u"v");
        } else {
            EXPECT_THROW(ini.WriteString(c.section, c.key, u"v"), EIniFileUTF8ExceptionInvalidCharacters)
                << std::string(c.section, c.section + std::char_traits<char16_t>::length(c.section));
        }
    }
    ini.UpdateFile();
    TIniFileUTF8 back(name_, true);
    for (const auto& c : cases)
        EXPECT_EQ(back.ReadString(c.section, c.key, u"absent"), c.ok ? u"v" : u"absent");
}

TEST(IniBoolTexts, Words) {
    EXPECT_EQ(BoolToTrueFalseU(true), u"TRUE");
    EXPECT_EQ(BoolToTrueFalseU(false), u"FALSE");
    EXPECT_EQ(BoolToYesNoU(true), u"Yes");
    EXPECT_EQ(BoolToYesNoU(false), u"No");
}

}  // namespace
}  // namespace zel
