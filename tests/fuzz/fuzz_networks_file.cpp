// The networks file (service/dmq_zel_svc_networks_list), read from a temporary file in a check
// run (no network objects): every bad line is reported and skipped, nothing raises but an
// unreadable file.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_svc_networks_list.hpp"
#include "tests/fuzz/fuzz_check.hpp"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/zel_fuzz_networks_" +
               std::to_string(getpid()) + ".cfg";
    }();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    const bool written = write(fd, Data, Size) == static_cast<ssize_t>(Size);
    close(fd);
    if (written) {
        TZELNetworksList list(nullptr, DefaultConverterOptions());
        int32_t errors = 0;
        list.SetLogHooks([](UnicodeView) {}, [&](UnicodeView) { ++errors; });
        TZELServiceNetOptions d;
        d.CharsetName = u"UTF-8";
        const bool clean = list.LoadFromFile(SysCharsetToUnicodeProc(path), d);
        FUZZ_CHECK(clean == (errors == 0));
    }
    unlink(path.c_str());
    return 0;
}
