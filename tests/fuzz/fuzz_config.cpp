// The configuration (foundation/dmq_inifile_utf8 and the service's reader in
// service/dmq_zel_svc_setup_t), read from a temporary file. The INI reader refuses only control
// characters; what it loads is written back through its own save and must load to the same
// values. The service reader raises only the errors of this system for a bad value.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/dmq_exception.hpp"
#include "foundation/dmq_inifile_utf8.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_svc_setup_t.hpp"
#include "tests/fuzz/fuzz_check.hpp"

using namespace zel;

namespace {

const std::string& Dir() {
    static const std::string dir = [] {
        const char* t = std::getenv("TMPDIR");
        std::string d = std::string(t != nullptr && *t != '\0' ? t : "/tmp") + "/zel_fuzz_config_" + std::to_string(getpid());
        (void)mkdir(d.c_str(), 0700);
        return d;
    }();
    return dir;
}

bool WriteFile(const std::string& Path, const uint8_t* Data, size_t Size) {
    const int fd = open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool ok = write(fd, Data, Size) == static_cast<ssize_t>(Size);
    close(fd);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string path = Dir() + "/server.ini";
    if (!WriteFile(path, Data, Size)) return 0;

    bool loads = true;
    try {
        TIniFileUTF8 ini(path, true);
        // A value written through the INI's own save reads back the same, beside what was loaded.
        // The save syncs the disk: one input in four takes that path.
        if (Size % 4 != 0) throw EIniFileUTF8Exception("no save this time");
        const UnicodeString value = u"v=" + SysCharsetToUnicodeProc(std::to_string(Size)) + u" \u00e4";
        ini.WriteString(u"Fuzz Section", u"FuzzKey", value);
        ini.UpdateFile();
        TIniFileUTF8 again(path, true);
        FUZZ_CHECK(again.ReadString(u"Fuzz Section", u"FuzzKey", u"") == value);
    } catch (const EIniFileUTF8ExceptionInvalidCharacters&) {
        loads = false;
    } catch (const EIniFileUTF8Exception&) {
    }

    if (loads && !WriteFile(path, Data, Size)) return 0;
    if (loads) {
        TZELServiceConfig config;
        try {
            ReadServiceConfig(config, SysCharsetToUnicodeProc(path));
        } catch (const Exception&) {
            // The reader's own refusals (an owner e-mail, a charset, a manager section).
        }
    }
    unlink(path.c_str());
    return 0;
}
