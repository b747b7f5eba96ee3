// Lines from a System Manager (service/dmq_zel_svc_sysman): the handshake answer, the operating
// lines that answer a request, and the masking of secrets for the log, which sees every line.
#include <cstddef>
#include <cstdint>

#include "service/dmq_zel_svc_sysman.hpp"
#include "service/dmq_zel_utils.hpp"
#include "tests/fuzz/fuzz_check.hpp"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const AnsiView line(reinterpret_cast<const char*>(Data), Size);
    int32_t code = -12345;
    if (!ReadSysManHandshakeCode(line, code)) FUZZ_CHECK(code == -12345);
    const int32_t result = SysManAnswerResult(line);
    FUZZ_CHECK(result >= 0 && result <= 5);
    // An accepting answer is an element list, never a line the network cannot read.
    TTaggedField field;
    TTaggedFieldParser parser;
    parser.Fields = &field;
    parser.Capacity = 1;
    const bool elements = ParseTaggedFields(parser, line.data(), static_cast<int32_t>(line.size())) > 0;
    FUZZ_CHECK((result == 1) == elements);
    // Masking is for the log; it sees every line, whatever its elements overlap with.
    (void)MaskSysManSecrets(line);
    return 0;
}
