#pragma once
// A temporary directory for list-file tests, with the warnings a reader reports and ASCII paths
// as UTF-16 file names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/dmq_zel_svc_list_base.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel::test {

// Test paths and texts are ASCII.
inline UnicodeString AsciiU(const std::string& s) { return UnicodeString(s.begin(), s.end()); }

class ListFileTest : public TempDirTest {
protected:
    struct Warning {
        int32_t LineNo;
        std::string Reason;
    };

    UnicodeString UPath(const std::string& name) const { return AsciiU(Path(name)); }
    TZELListWarningProc Warn() {
        return [this](int32_t n, AnsiView why) { warnings_.push_back({n, std::string(why)}); };
    }

    std::vector<Warning> warnings_;
};

}  // namespace zel::test
