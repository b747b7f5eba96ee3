#pragma once
// The networks (rooms) of the server, read from the networks file: one network per line, kept in
// file order and in three name indexes, with the network-list texts that clients receive. The
// list lives in the service library and holds the networks through TZELSVCNetworkBase; the
// factory it is given creates them. Without a factory (a check run) the file is only checked.
//
// A bad line never costs the other networks: it is reported through the error hook with its
// composed message and skipped, and the load reports that not every line loaded.
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_exception.hpp"
#include "foundation/dmq_types.hpp"
#include "foundation/dmq_zel_classes.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_params.hpp"

namespace zel {

// The networks file could not be read as a whole. ErrorCode() is the errno value: ENOENT when
// the file is missing (the service then runs the default set); anything else means a file that is
// there but unreadable, so the lists must not be rewritten against the default set.
class EZELNetworksFileError : public Exception {
public:
    EZELNetworksFileError(int Code, std::string Message) : Exception(std::move(Message)), Code_(Code) {}
    const char* ClassName() const noexcept override { return "EZELNetworksFileError"; }
    int ErrorCode() const noexcept { return Code_; }

private:
    int Code_;
};

class TZELNetworksList {
public:
    // Factory null: a check run, which makes no network objects.
    TZELNetworksList(TZELSVCFactory* Factory, TAnsiUnicodeConverterOptions ConverterOptions);
    ~TZELNetworksList();
    TZELNetworksList(const TZELNetworksList&) = delete;
    TZELNetworksList& operator=(const TZELNetworksList&) = delete;

    // The creator of the networks of later loads (the service installs its factory after
    // creating the list); null: check runs only.
    void SetFactory(TZELSVCFactory* Factory) noexcept { Factory_ = Factory; }

    // Receivers of the networks' lines ("<name>": text) and of the loader's error lines.
    void SetLogHooks(TZELSVCLogHook Info, TZELSVCLogHook Error);

    // The server's character set: the list texts and the hex-name index use it. An unknown name
    // raises the converter's error and keeps the previous set.
    void SetServerCharsetName(UnicodeView Name);
    const UnicodeString& ServerCharsetName() const noexcept { return ServerCharsetName_; }

    // Frees every network and empties the indexes and the texts.
    void Clear();

    // Clears the list and reads FileName (UTF-16; the message names it as given). Each line that
    // fails (bad option, duplicate name) is reported through the error hook as
    // "Network file "<path>": Line <n>: <message>" and skipped. Returns true when every line
    // loaded. A file that cannot be read raises EZELNetworksFileError and leaves the list empty.
    bool LoadFromFile(UnicodeView FileName, const TZELServiceNetOptions& Defaults);

    // Inserts into the indexes (raises "Network: "<name>": duplicate network name" when a key is
    // taken, and frees the network) and binds the network's log hooks to the list's.
    void Add(std::unique_ptr<TZELSVCNetworkBase> Network);

    // Exact name through the index; null when absent.
    TZELSVCNetworkBase* Find(UnicodeView Name) const;
    // Linear search from the last network to the first.
    TZELSVCNetworkBase* FindByName(UnicodeView Name) const noexcept;
    // By the name's UTF-8 bytes (as the list files hold it).
    TZELSVCNetworkBase* FindUtf8(AnsiView Name) const;
    // By the upper-case hex of the name in the server's character set.
    TZELSVCNetworkBase* FindByHexName(AnsiView Hex) const;

    int32_t Count() const noexcept { return static_cast<int32_t>(Networks_.size()); }
    // File order; I in [0, Count()).
    TZELSVCNetworkBase* Networks(int32_t I) const noexcept { return Networks_[static_cast<size_t>(I)].get(); }

    // The visible networks (not Hidden), in list order: the count in decimal and CRLF, then each
    // name and CRLF; in the server's character set and in UTF-8.
    void BuildListTexts();
    const AnsiString& ListText() const noexcept { return ListText_; }
    const AnsiString& ListTextUtf8() const noexcept { return ListTextUtf8_; }

    // True after a load that read the file (bad lines included); false after Clear.
    bool Loaded() const noexcept { return Loaded_; }

    // Gives every network the mask of the System Manager links in service.
    void CheckNetManagers(uint32_t LinksMask);

    // "Test" and "Net01" with the server-wide options and the Parrot (with START and STOP) on;
    // then BuildListTexts. Nothing without a factory.
    void AddDefaultNetworks(const TZELServiceNetOptions& Defaults);

private:
    struct TKeys {
        AnsiString Name;
        AnsiString Utf8;
        AnsiString Hex;
    };
    TKeys MakeKeys(UnicodeView Name);
    // Raises the duplicate error when any of the keys is taken.
    void CheckFree(const TKeys& Keys, UnicodeView Name) const;
    void Insert(const TKeys& Keys, TZELSVCNetworkBase* Network);
    // A parsed line or a default: checked, created (with a factory) and added.
    void AddRec(const TZELServNetworkRec& Rec);
    void ReadFile(const AnsiString& SysName, const AnsiString& FileNameUtf8, const TZELServiceNetOptions& Defaults,
                  bool& Clean);
    void ReportError(UnicodeView Text);

    TZELSVCFactory* Factory_;
    TAnsiUnicodeConverterOptions ConverterOptions_;
    std::vector<std::unique_ptr<TZELSVCNetworkBase>> Networks_;
    // Keys: the name's UTF-16 units as bytes; its UTF-8 bytes; the upper-case hex of its bytes in
    // the server's character set. A check run keeps the keys with null objects, to find duplicates.
    TZELSortedAnsiStringList ByName_{true};
    TZELSortedAnsiStringList ByName2_{true};
    TZELSortedAnsiStringList ByHexName_{true};
    AnsiString ListText_;
    AnsiString ListTextUtf8_;
    bool Loaded_ = false;
    TZELSVCLogHook OnInfo_;
    TZELSVCLogHook OnError_;
    UnicodeString ServerCharsetName_;
    TAnsiUnicodeConverter ServerConverter_;
};

// Loads FileName into a list without a factory, reporting each failing line (and a file that
// cannot be read) through Error; true when the file was read and every line loaded.
bool CheckNetworksFile(UnicodeView FileName, const TZELServiceNetOptions& Defaults,
                       TAnsiUnicodeConverterOptions ConverterOptions, const TZELSVCLogHook& Error);

}  // namespace zel
