#include "service/dmq_zel_svc_networks_list.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "foundation/dmq_syscharset.hpp"
#include "tests/support/stand_in_network.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel {
namespace {

// A network that only keeps what it was created with.
class TestNetwork : public test::StandInNetwork {
public:
    explicit TestNetwork(const TZELServNetworkRec& Rec) : Rec_(Rec) {}
    const UnicodeString& NetworkName() const override { return Rec_.Name; }
    const TZELSVCNetworkOptions& NetworkOptions() const override { return Rec_.Options; }
    void SetLogHooks(TZELSVCLogHook Info, TZELSVCLogHook Error) override {
        Info_ = std::move(Info);
        Error_ = std::move(Error);
    }
    void CheckManagers(uint32_t LinksMask) override { Links = LinksMask; }

    void Log(UnicodeView Text) const { Info_(Text); }
    void LogError(UnicodeView Text) const { Error_(Text); }
    uint32_t Links = 0xFFFF;

private:
    TZELServNetworkRec Rec_;
    TZELSVCLogHook Info_;
    TZELSVCLogHook Error_;
};

class TestFactory : public TZELSVCFactory {
public:
    std::unique_ptr<TZELSVCNetworkBase> CreateNetwork(const TZELServNetworkRec& Rec) override {
        Created.push_back(Rec.Name);
        return std::make_unique<TestNetwork>(Rec);
    }
    std::vector<UnicodeString> Created;
};

std::string U8(UnicodeView s) { return UnicodeToUtf8A(s); }
UnicodeString U16(const std::string& s) { return Utf8BufToUnicodeU(s.data(), static_cast<int32_t>(s.size())); }

class NetworksListTest : public test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        Defaults.CharsetName = u"UTF-8";
        List.SetLogHooks([this](UnicodeView t) { Info.push_back(U8(t)); },
                         [this](UnicodeView t) { Errors.push_back(U8(t)); });
    }
    // Writes the file and loads it.
    bool Load(const std::string& Content, const std::string& Name = "networks.cfg") {
        Put(Path(Name), Content);
        return List.LoadFromFile(U16(Path(Name)), Defaults);
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> r;
        for (int32_t i = 0; i < List.Count(); ++i) r.push_back(U8(List.Networks(i)->NetworkName()));
        return r;
    }
    std::string OptionsOf(const std::string& Name) const {
        const TZELSVCNetworkBase* n = List.Find(U16(Name));
        return n == nullptr ? "<none>" : U8(NetworkOptionsToText(Defaults, n->NetworkOptions()));
    }

    TZELServiceNetOptions Defaults;
    TestFactory Factory;
    TZELNetworksList List{&Factory, DefaultConverterOptions()};
    std::vector<std::string> Info;
    std::vector<std::string> Errors;
};

TEST_F(NetworksListTest, FileFixture) {
    List.SetServerCharsetName(u"ISO-8859-5");
    const std::string forty(40, 'L');
    ASSERT_TRUE(Load("\xEF\xBB\xBFMain|\r\n"
                     "# comment|MaxClients=1\n"
                     "; comment too\n"
                     "\n"
                     "   |MaxClients=3\n"
                     "  \xD0\x9A\xD0\xB8\xD0\xB5\xD0\xB2  |CharsetName=KOI8-R; MaxClients=50\n" +
                     forty +
                     "|Hidden=no\n"
                     "Opts|MaxClients=10;Hidden=yes|MaxClients=20\n"
                     "\tPlain\t\r\n"));
    EXPECT_TRUE(Errors.empty());
    EXPECT_TRUE(List.Loaded());
    const std::string cut(32, 'L');
    EXPECT_EQ(Names(), (std::vector<std::string>{"Main", "\xD0\x9A\xD0\xB8\xD0\xB5\xD0\xB2", cut, "Opts", "Plain"}));
    EXPECT_EQ(Factory.Created.size(), 5u);
    EXPECT_EQ(OptionsOf("Main"), "");
    EXPECT_EQ(OptionsOf("\xD0\x9A\xD0\xB8\xD0\xB5\xD0\xB2"), "MaxClients=50; CharsetName=KOI8-R");
    EXPECT_EQ(OptionsOf(cut), "");
    EXPECT_EQ(OptionsOf("Opts"), "MaxClients=10; Hidden=Yes");
    // Opts is hidden; Kiev in ISO-8859-5 is BA D8 D5 D2.
    EXPECT_EQ(List.ListText(), "4\r\nMain\r\n\xBA\xD8\xD5\xD2\r\n" + cut + "\r\nPlain\r\n");
    EXPECT_EQ(List.ListTextUtf8(), "4\r\nMain\r\n\xD0\x9A\xD0\xB8\xD0\xB5\xD0\xB2\r\n" + cut + "\r\nPlain\r\n");

    // The lookups agree on one network and refuse near misses.
    const TZELSVCNetworkBase* kiev = List.Networks(1);
    EXPECT_EQ(List.Find(U16("\xD0\x9A\xD0\xB8\xD0\xB5\xD0\xB2")), kiev);
    EXPECT_EQ(List.FindByName(U16("\xD0\x9A\xD0\xB8\xD0\xB5\xD0\xB2")), kiev);
    EXPECT_EQ(List.FindUtf8("\xD0\x9A\xD0\xB8\xD0\xB5\xD0\xB2"), kiev);
    EXPECT_EQ(List.FindByHexName("BAD8D5D2"), kiev);
    EXPECT_EQ(List.Find(u"main"), nullptr);
    EXPECT_EQ(List.Find(std::u16string(u"Main\0", 5)), nullptr);
    EXPECT_EQ(List.FindUtf8(std::string("Main\0", 5)), nullptr);
    EXPECT_EQ(List.FindByName(u"Nowhere"), nullptr);
    EXPECT_EQ(List.FindByHexName("4D61696E"), List.Networks(0));
}

TEST_F(NetworksListTest, EmptyFileGivesNoNetwork) {
    ASSERT_TRUE(Load("main|\n"));
    ASSERT_EQ(List.Count(), 1);
    EXPECT_TRUE(Load(""));
    EXPECT_EQ(List.Count(), 0);
    EXPECT_EQ(List.Find(u"main"), nullptr);
    EXPECT_EQ(List.ListText(), "0\r\n");
    EXPECT_EQ(List.ListTextUtf8(), "0\r\n");
    EXPECT_TRUE(List.Loaded());
}

TEST_F(NetworksListTest, BadLinesAreSkippedAndReported) {
    const std::string path = Path("networks.cfg");
    EXPECT_FALSE(Load("First|MaxClients=5\n"
                      "Broken|CharsetName=NO-SUCH-SET\n"
                      "Second\n"
                      "  First |MaxClients=9\n"
                      "Third|Hidden=1\n"));
    EXPECT_EQ(Names(), (std::vector<std::string>{"First", "Second", "Third"}));
    EXPECT_EQ(OptionsOf("First"), "MaxClients=5");  // the first definition stays
    EXPECT_EQ(Factory.Created.size(), 3u);          // the duplicate was never created
    EXPECT_EQ(Errors, (std::vector<std::string>{
                          "Network file \"" + path +
                              "\": Line 2: Network: \"Broken\": Network option \"CharsetName\": Invalid or unknown "
                              "charset name: NO-SUCH-SET",
                          "Network file \"" + path + "\": Line 4: Network: \"First\": duplicate network name",
                      }));
    EXPECT_EQ(List.ListTextUtf8(), "2\r\nFirst\r\nSecond\r\n");
}

TEST_F(NetworksListTest, NamesThatMeetInTheServerCharsetAreDuplicates) {
    List.SetServerCharsetName(u"ISO-8859-1");
    // Both Cyrillic letters become "?" in ISO-8859-1: 8-bit clients could not tell them apart.
    EXPECT_FALSE(Load("\xD0\x96|\n\xD0\xA9|\nA|\n"));
    EXPECT_EQ(List.Count(), 2);
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors[0].find("Line 2: Network: \"\xD0\xA9\": duplicate network name"), std::string::npos);
}

TEST_F(NetworksListTest, NameCutKeepsWholeCharacters) {
    // 31 letters and U+1F600: 33 units, the 32nd the first half of the pair.
    const std::string name = std::string(31, 'x') + "\xF0\x9F\x98\x80";
    ASSERT_TRUE(Load(name + "|\n" + std::string(32, 'y') + "\xF0\x9F\x98\x80|\n"));
    EXPECT_EQ(Names(), (std::vector<std::string>{std::string(31, 'x'), std::string(32, 'y')}));
    EXPECT_EQ(List.ListTextUtf8(), "2\r\n" + std::string(31, 'x') + "\r\n" + std::string(32, 'y') + "\r\n");
}

TEST_F(NetworksListTest, UnreadableAndMissingFilesAreToldApart) {
    ASSERT_TRUE(Load("Main|\n"));
    const struct {
        std::string Path;
        int Code;
    } cases[] = {{dir_, EISDIR}, {Path("missing.cfg"), ENOENT}};
    for (const auto& c : cases) {
        try {
            List.LoadFromFile(U16(c.Path), Defaults);
            ADD_FAILURE() << c.Path << ": no exception";
        } catch (const EZELNetworksFileError& e) {
            EXPECT_EQ(e.ErrorCode(), c.Code) << e.Message();
            EXPECT_EQ(e.Message().rfind("Network file \"" + c.Path + "\": error [", 0), 0u) << e.Message();
        }
        EXPECT_EQ(List.Count(), 0) << c.Path;  // no half-read list
        EXPECT_FALSE(List.Loaded()) << c.Path;
    }
}

TEST_F(NetworksListTest, DefaultSetHooksAndManagers) {
    List.AddDefaultNetworks(Defaults);
    EXPECT_EQ(Names(), (std::vector<std::string>{"Test", "Net01"}));
    EXPECT_EQ(OptionsOf("Net01"), "ParrotEnable=Yes; ParrotStartStopEnable=Yes");
    EXPECT_EQ(List.ListText(), "2\r\nTest\r\nNet01\r\n");

    static_cast<TestNetwork*>(List.Networks(1))->Log(u"joined");
    static_cast<TestNetwork*>(List.Networks(0))->LogError(u"failed");
    EXPECT_EQ(Info, (std::vector<std::string>{"\"Net01\": joined"}));
    EXPECT_EQ(Errors, (std::vector<std::string>{"\"Test\": failed"}));

    List.CheckNetManagers(5);
    EXPECT_EQ(static_cast<TestNetwork*>(List.Networks(0))->Links, 5u);
    EXPECT_EQ(static_cast<TestNetwork*>(List.Networks(1))->Links, 5u);

    TZELServNetworkRec again;
    again.Name = u"Test";
    EXPECT_THROW(List.Add(std::make_unique<TestNetwork>(again)), Exception);
    EXPECT_EQ(List.Count(), 2);
}

TEST_F(NetworksListTest, CheckRunMakesNoNetworks) {
    std::vector<std::string> errors;
    auto hook = [&](UnicodeView t) { errors.push_back(U8(t)); };
    Put(Path("good.cfg"), "A|\nB|MaxClients=3\n");
    Put(Path("bad.cfg"), "A|\nA|\nB|CharsetName=nope\n");
    EXPECT_TRUE(CheckNetworksFile(U16(Path("good.cfg")), Defaults, DefaultConverterOptions(), hook));
    EXPECT_TRUE(errors.empty());
    EXPECT_FALSE(CheckNetworksFile(U16(Path("bad.cfg")), Defaults, DefaultConverterOptions(), hook));
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("Line 2: Network: \"A\": duplicate network name"), std::string::npos);
    EXPECT_NE(errors[1].find("Line 3: Network: \"B\": Network option \"CharsetName\""), std::string::npos);
    errors.clear();
    EXPECT_FALSE(CheckNetworksFile(U16(Path("missing.cfg")), Defaults, DefaultConverterOptions(), hook));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Network file \"" + Path("missing.cfg") + "\": error [", 0), 0u);
    EXPECT_TRUE(Factory.Created.empty());
}

// A factory without a network class: the file and the default set leave the list empty, and a
// name of the default set in the file does not stop the set.
TEST_F(NetworksListTest, FactoryWithoutNetworksLeavesTheListEmpty) {
    class TNoNetworks : public TZELSVCFactory {
    public:
        std::unique_ptr<TZELSVCNetworkBase> CreateNetwork(const TZELServNetworkRec&) override { return nullptr; }
    } none;
    TZELNetworksList list{&none, DefaultConverterOptions()};
    Put(Path("networks.cfg"), "Test\nLobby\n");
    EXPECT_TRUE(list.LoadFromFile(U16(Path("networks.cfg")), Defaults));
    EXPECT_NO_THROW(list.AddDefaultNetworks(Defaults));
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Find(u"Test"), nullptr);
}

}  // namespace
}  // namespace zel
