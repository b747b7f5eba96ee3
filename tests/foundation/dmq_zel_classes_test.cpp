#include "foundation/dmq_zel_classes.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace zel {
namespace {

// ---- External-program runner ----

class ExecProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zel_exec_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        // Writes "<count>|<arg>|<arg>..." next to itself, renamed into place when complete.
        script_ = dir_ + "/args.sh";
        std::ofstream(script_) << "#!/bin/sh\n"
                                  "out=\"$(dirname \"$0\")/out\"\n"
                                  "{ printf '%s' \"$#\"; for a in \"$@\"; do printf '|%s' \"$a\"; done; }"
                                  " > \"$out.tmp\" && mv \"$out.tmp\" \"$out\"\n";
        ASSERT_EQ(chmod(script_.c_str(), 0755), 0);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // The program runs on its own; wait (bounded) until its result file appears.
    static std::optional<std::string> WaitForFile(const std::string& path) {
        for (int i = 0; i < 500; ++i) {
            std::ifstream f(path);
            if (f) {
                std::stringstream s;
                s << f.rdbuf();
                return s.str();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::nullopt;
    }
    static UnicodeString U(const std::string& s) { return UnicodeString(s.begin(), s.end()); }

    std::string dir_, script_;
};

TEST_F(ExecProgramTest, PassesArgumentsAsSeparateItems) {
    std::vector<UnicodeString> thirteen;
    std::string all13 = "13";
    for (int i = 1; i <= 13; ++i) {
        thirteen.push_back(U(std::to_string(i)));
        all13 += "|" + std::to_string(i);
    }
    struct Case {
        int32_t count;
        std::vector<UnicodeString> args;
        std::string expected;
    } cases[] = {
        {0, {u"ignored"}, "0"},
        {3, {u"a", u"", u"c"}, "3|a| |c"},  // empty argument: one blank, count unchanged
        {2, {u"my file", u"$HOME;*", u"ignored"}, "2|my file|$HOME;*"},  // no shell in between
        {13, thirteen, all13},
        {20, thirteen, all13},
        {-1, {u"x"}, "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        std::vector<UnicodeString> a = c.args;
        a.resize(13);
        std::filesystem::remove(dir_ + "/out");
        ASSERT_EQ(ExecProgram(U(script_), c.count, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7],
                              a[8], a[9], a[10], a[11], a[12]),
                  0);
        EXPECT_EQ(WaitForFile(dir_ + "/out"), c.expected);
    }
}

TEST_F(ExecProgramTest, FailureToStartGivesMinusOne) {
    std::string plain = dir_ + "/plain.txt";
    std::ofstream(plain) << "not a program\n";
    const std::string cases[] = {"", dir_ + "/missing", dir_, plain, "zel-no-such-program-on-path"};
    for (const std::string& exe : cases) {
        SCOPED_TRACE(exe);
        errno = 0;
        EXPECT_EQ(ExecProgram(U(exe), 1, u"x"), -1);
        EXPECT_NE(errno, 0);
    }
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(ExecProgramTest, DoesNotWaitAndLeavesNoChild) {
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ExecProgram(u"/bin/sh", 2, u"-c", u"exec </dev/null >/dev/null 2>&1; sleep 2"), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    ASSERT_EQ(ExecProgram(u"true", 0), 0);  // found through PATH
    // Neither program is our child: nothing to reap now, nothing left as a zombie later.
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// The program gets none of the server's descriptors, its standard handles only on /dev/null (what
// it writes never reaches the server's output), and default signal handling.
TEST_F(ExecProgramTest, ProgramStartsWithoutServerDescriptorsAndSignalState) {
    if (access("/proc/self/status", R_OK) != 0) GTEST_SKIP() << "no /proc on this system";
    int fd = open(script_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int leaked = fcntl(fd, F_DUPFD, 100);  // deliberately without close-on-exec
    ASSERT_GE(leaked, 100);
    struct sigaction ign {}, oldPipe {};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &oldPipe);
    sigset_t usr1, oldMask;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &oldMask);

    std::string out = dir_ + "/state";
    int rc = ExecProgram(
        u"/bin/sh", 5, u"-c",
        u"std=\"$(readlink /proc/$$/fd/0) $(readlink /proc/$$/fd/1) $(readlink /proc/$$/fd/2)\";"
        u" { for f in 0 1 2 \"$1\"; do if [ -e /proc/self/fd/$f ]; then printf '%s=open ' $f;"
        u" else printf '%s=closed ' $f; fi; done; printf '%s\\n' \"$std\";"
        u" grep -E '^Sig(Blk|Ign)' /proc/self/status; }"
        u" > \"$2.tmp\" && mv \"$2.tmp\" \"$2\"",
        u"sh", U(std::to_string(leaked)), U(out));

    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGPIPE, &oldPipe, nullptr);
    close(leaked);
    close(fd);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(WaitForFile(out), "0=open 1=open 2=open " + std::to_string(leaked) +
                                    "=closed /dev/null /dev/null /dev/null\n"
                                    "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST(StrBldUAddParamTest, QuotesOnlyWhereNeeded) {
    struct Case {
        UnicodeString arg, expected;
    } cases[] = {
        {u"", u"EXEC: \"\""},
        {u"my file", u"EXEC: \"my file\""},
        {u"last ", u"EXEC: \"last \""},
        {u"plain", u"EXEC: plain"},
        {u"tab\there", u"EXEC: tab\there"},  // only the blank asks for quotes
    };
    for (const Case& c : cases) {
        TStringBldU b;
        StrBldUInit(b, 0);
        StrBldUAdd(b, u"EXEC: ");
        StrBldUAddParam(b, c.arg);
        EXPECT_EQ(StrBldUToStr(b), c.expected);
    }
}

}  // namespace
}  // namespace zel

// ---- Sorted lists ----

#include <algorithm>
#include <climits>
#include <random>

namespace zel {
namespace {

void* Ptr(uintptr_t v) { return reinterpret_cast<void*>(v); }

TEST(SortedLists, CapacityGrowsByAQuarterPlusFour) {
    TZELObjectList ol;
    TZELSortedInt64NotUniqList il;
    TZELSortedAnsiStringList sl(true);
    TZELSortedObjectList so;
    EXPECT_EQ(ol.Capacity(), 64);
    for (uintptr_t i = 1; i <= 64; ++i) {
        ol.Add(Ptr(i));
        il.Add(static_cast<int64_t>(i), nullptr);
        sl.Add(StrToSortKeyA(std::to_string(1000 + i)), nullptr);
        so.Add(Ptr(i));
    }
    EXPECT_EQ(ol.Capacity(), 64);
    ol.Add(Ptr(65));
    il.Add(65, nullptr);
    sl.Add(StrToSortKeyA("1065"), nullptr);
    so.Add(Ptr(65));
    for (int32_t c : {ol.Capacity(), il.Capacity(), sl.Capacity(), so.Capacity()}) EXPECT_EQ(c, 84);
    for (uintptr_t i = 66; i <= 85; ++i) ol.Add(Ptr(i));
    EXPECT_EQ(ol.Capacity(), 109);
    for (uintptr_t i = 0; i < 85; ++i) EXPECT_EQ(ol.Get(static_cast<int32_t>(i)), Ptr(i + 1));

    ol.SetCapacity(10);  // never below the count
    EXPECT_EQ(ol.Capacity(), 85);
    ol.Clear();
    EXPECT_EQ(ol.Capacity(), 64);
    ol.SetCapacity(200);
    ol.Clear();  // empty: the capacity stays
    EXPECT_EQ(ol.Capacity(), 200);
    il.Clear();
    EXPECT_EQ(il.Count(), 0);
    EXPECT_EQ(il.Capacity(), 64);
}

TEST(SortedLists, Int64ListKeepsEqualKeysAndExtremes) {
    TZELSortedInt64NotUniqList l;
    const int64_t keys[] = {5, INT64_MAX, 5, -3, INT64_MIN, 5, 9, 0};
    for (uintptr_t i = 0; i < std::size(keys); ++i) l.Add(keys[i], Ptr(i + 1));
    ASSERT_EQ(l.Count(), 8);
    for (int32_t i = 1; i < l.Count(); ++i) EXPECT_LE(l.Items(i - 1).Key, l.Items(i).Key) << i;
    EXPECT_EQ(l.Items(0).Key, INT64_MIN);
    EXPECT_EQ(l.Items(7).Key, INT64_MAX);
    int32_t at = -1;
    ASSERT_TRUE(l.Find(5, at));
    EXPECT_EQ(l.Items(at).Key, 5);
    EXPECT_FALSE(l.Find(6, at));
    EXPECT_EQ(l.Items(at).Key, 9);  // insert point: the first greater item
    EXPECT_FALSE(l.Find(INT64_MAX - 1, at));
    EXPECT_EQ(at, 7);

    EXPECT_EQ(l.IndexOfValue(Ptr(7)), l.Count() - 2);  // key 9
    l.ChangeKey(-100, Ptr(7));
    EXPECT_EQ(l.Count(), 8);
    EXPECT_EQ(l.Items(1).Key, -100);
    EXPECT_EQ(l.Items(1).Value, Ptr(7));
    EXPECT_EQ(l.IndexOfValue(Ptr(99)), -1);
    l.ChangeKey(1, Ptr(99));  // absent value: only added
    EXPECT_EQ(l.Count(), 9);
}

TEST(SortedLists, SortKeys) {
    EXPECT_EQ(PadKey8A("abc"), AnsiString("abc\0\0\0\0\0", 8));
    EXPECT_EQ(PadKey8A("12345678"), "12345678");
    EXPECT_EQ(PadKey8A(""), "");
    EXPECT_EQ(StrToSortKeyA("abc"), AnsiString("\0\0\0\0\0cba", 8));
    EXPECT_EQ(StrToSortKeyA("123456789"), AnsiString("87654321\0\0\0\0\0\0\0" "9", 16));
    EXPECT_EQ(StrToSortKeyA(""), "");
    EXPECT_EQ(BufToSortKeyA("abc", 0), "");
    EXPECT_EQ(BufToSortKeyA(nullptr, 3), "");
}

TEST(SortedLists, StringListDuplicatesAndObjects) {
    TZELSortedAnsiStringList l(false);
    struct Obj { int& freed; ~Obj() { ++freed; } };
    int freed = 0;
    for (const char* k : {"mike", "alpha", "zulu", "kilo"}) l.Add(PadKey8A(k), new Obj{freed});
    try {
        l.Add(PadKey8A("kilo"), nullptr);
        ADD_FAILURE() << "duplicate accepted";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Duplicate string");
        EXPECT_STREQ(e.ClassName(), "Exception");
    }
    int32_t kilo = l.IndexOf(PadKey8A("kilo"));
    ASSERT_GE(kilo, 0);
    EXPECT_EQ(l.TryAdd(PadKey8A("kilo"), nullptr), -(kilo + 1));
    EXPECT_EQ(l.Count(), 4);
    EXPECT_EQ(l.GetObject(PadKey8A("kilo")), l.Items(kilo).Obj);
    EXPECT_EQ(l.GetObject(PadKey8A("nope")), nullptr);
    EXPECT_EQ(l.IndexOfObject(l.Items(kilo).Obj), kilo);
    EXPECT_EQ(l.IndexOfObject(&freed), -1);
    l.FreeObjects<Obj>();
    EXPECT_EQ(freed, 4);
    EXPECT_EQ(l.Count(), 4);
    for (int32_t i = 0; i < l.Count(); ++i) EXPECT_EQ(l.Items(i).Obj, nullptr);
    l.Delete(kilo);
    EXPECT_EQ(l.IndexOf(PadKey8A("kilo")), -1);
    EXPECT_GE(l.TryAdd(PadKey8A("kilo"), nullptr), 0);
}

TEST(SortedLists, ByteOrderKeysSortLikeTheTexts) {
    std::vector<std::string> texts = {"b", "a", "ab", "abcdefgh", "abcdefghi", "abcdefgg\xff",
                                      "\xe9t\xe9", "Z", "zz", "\x80", "abcdefg"};
    TZELSortedAnsiStringList l(true);
    for (const auto& t : texts) l.Add(StrToSortKeyA(t), const_cast<std::string*>(&t));
    std::vector<std::string> want = texts;
    std::sort(want.begin(), want.end());  // char_traits<char> compares bytes unsigned
    ASSERT_EQ(l.Count(), static_cast<int32_t>(want.size()));
    for (int32_t i = 0; i < l.Count(); ++i) EXPECT_EQ(*static_cast<std::string*>(l.Items(i).Obj), want[i]);
}

// Keys of 8-bit texts (an e-mail in a national charset) with high bytes at every position.
TEST(SortedLists, PaddedKeysWithHighBytesAreAllFound) {
    std::mt19937 rng(12345);
    TZELSortedAnsiStringList l(false);
    std::vector<AnsiString> keys;
    for (int n = 0; n < 600; ++n) {
        AnsiString k(1 + rng() % 20, '\0');
        for (char& c : k) c = static_cast<char>(rng() % 4 == 0 ? 0x80 + rng() % 128 : 'a' + rng() % 26);
        k = PadKey8A(k);
        if (l.TryAdd(k, nullptr) >= 0) keys.push_back(k);
    }
    for (int32_t i = 1; i < l.Count(); ++i) ASSERT_LT(CompareKey8(l.Items(i - 1).Key, l.Items(i).Key), 0);
    for (const auto& k : keys) EXPECT_GE(l.IndexOf(k), 0);
    EXPECT_EQ(l.Count(), static_cast<int32_t>(keys.size()));
    // The case a signed difference gets wrong: 0x80.. against 0x00.. in the top byte.
    AnsiString lowTop("aaaaaaa\x01", 8), highTop("aaaaaaa\x80", 8);
    EXPECT_LT(CompareKey8(lowTop, highTop), 0);
    EXPECT_LT(CompareKey8(AnsiString(8, '\0'), AnsiString(8, '\xff')), 0);
    EXPECT_LT(CompareKey8("12345678", "1234567890123456"), 0);
    EXPECT_EQ(CompareKey8("", ""), 0);
}

// Keys without padding compare their tails; padded keys keep their order; a NUL inside a name is
// refused before it can make two keys equal.
TEST(SortedLists, UnpaddedTailsCountAndNulNamesAreRefused) {
    struct Case {
        AnsiString a, b;
        int sign;
    } cases[] = {
        {"abc", "xyz", -1},
        {"xyz", "abc", 1},
        {"abc", "abc", 0},
        {"abc", "abcd", -1},
        {"abc", PadKey8A("abc"), -1},               // equal as padded words, then the length
        {"12345678abc", "12345678abd", -1},         // a tail behind a whole word
        {"12345678c", AnsiString("12345678b\0\0\0\0\0\0\0", 16), 1},  // a tail against a padded word
        {StrToSortKeyA("abc"), StrToSortKeyA("abd"), -1},
    };
    for (const Case& c : cases) {
        const int r = CompareKey8(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " ~ " << c.b;
        const int back = CompareKey8(c.b, c.a);
        EXPECT_EQ((back > 0) - (back < 0), -c.sign) << c.b << " ~ " << c.a;
    }
    TZELSortedAnsiStringList l(false);
    l.Add("xyz", nullptr);
    EXPECT_EQ(l.IndexOf("abc"), -1);  // once found as equal: no word to compare
    EXPECT_EQ(l.IndexOf("xyz"), 0);

    AnsiString key = "old";
    EXPECT_TRUE(TryPadKey8A("user@example.or", key));
    EXPECT_EQ(key, PadKey8A("user@example.or"));
    key = "old";
    EXPECT_FALSE(TryPadKey8A(AnsiString("user@example.or\0", 16), key));  // would pad to the same key
    EXPECT_FALSE(TryPadKey8A(AnsiString("DL\0ABC", 6), key));
    EXPECT_EQ(key, "old");
}

TEST(SortedLists, ObjectSetAndPlainList) {
    TZELSortedObjectList s;
    int objs[5];
    for (int i : {3, 0, 4, 1}) EXPECT_GE(s.Add(&objs[i]), 0);
    for (int32_t i = 1; i < s.Count(); ++i)
        EXPECT_LT(reinterpret_cast<uintptr_t>(s.Get(i - 1)), reinterpret_cast<uintptr_t>(s.Get(i)));
    EXPECT_EQ(s.AddIfAbsent(&objs[4]), -1);
    EXPECT_EQ(s.TryAdd(&objs[4]), -(s.IndexOf(&objs[4]) + 1));
    EXPECT_THROW(s.Add(&objs[0]), Exception);
    EXPECT_EQ(s.Remove(&objs[2]), -1);
    EXPECT_EQ(s.AddIfAbsent(&objs[2]), 2);
    EXPECT_EQ(s.Remove(&objs[2]), 2);
    EXPECT_EQ(s.IndexOf(&objs[2]), -1);
    EXPECT_EQ(s.Count(), 4);

    TZELObjectList l;
    EXPECT_EQ(l.Add(Ptr(1)), 0);
    EXPECT_EQ(l.Add(Ptr(3)), 1);
    l.Insert(1, Ptr(2));
    l.Insert(0, Ptr(0));
    l.Delete(3);
    ASSERT_EQ(l.Count(), 3);
    for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(l.Get(i), Ptr(static_cast<uintptr_t>(i)));
}

}  // namespace
}  // namespace zel
