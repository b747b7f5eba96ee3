// Tagged fields, command-channel items and source ids (service/dmq_zel_utils): the codings every
// client line, manager line and command request is made of.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "service/dmq_zel_utils.hpp"
#include "tests/fuzz/fuzz_check.hpp"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const AnsiView in(reinterpret_cast<const char*>(Data), Size);

    // Fields point into the line and lie inside it; a field found by its tag is one of them.
    TTaggedField fields[16];
    TTaggedFieldParser p;
    p.Fields = fields;
    p.Capacity = 16;
    const int32_t n = ParseTaggedFields(p, in.data(), static_cast<int32_t>(in.size()));
    FUZZ_CHECK(n >= -2 && n <= 16);
    if (n >= 0) {
        for (int32_t i = 0; i < n; ++i) {
            const TTaggedField& f = fields[i];
            FUZZ_CHECK(f.TagLen >= 0 && f.ValueLen >= 0);
            FUZZ_CHECK(f.Tag >= in.data() && f.Tag + f.TagLen <= in.data() + in.size());
            FUZZ_CHECK(f.Value >= in.data() && f.Value + f.ValueLen <= in.data() + in.size());
            const TTaggedField* found = FindTaggedField(p, f.TagView());
            FUZZ_CHECK(found != nullptr && found->TagView() == f.TagView());
        }
        // A field made from a parsed tag and value reads back as that pair.
        if (n > 0 && fields[0].TagLen > 0) {
            const AnsiString made = MakeTagField(fields[0].TagView(), fields[0].ValueView());
            TTaggedField again[2];
            TTaggedFieldParser q;
            q.Fields = again;
            q.Capacity = 2;
            if (ParseTaggedFields(q, made.data(), static_cast<int32_t>(made.size())) == 1) {
                FUZZ_CHECK(again[0].TagView() == fields[0].TagView());
                FUZZ_CHECK(again[0].ValueView() == fields[0].ValueView());
            }
        }
    }

    // Items: a length read within the bounds, then the value; a refused read leaves the rest and
    // the result alone.
    AnsiView rest = in;
    for (int guard = 0; guard < 64 && !rest.empty(); ++guard) {
        const AnsiView before = rest;
        int32_t len = -7;
        if (!ReadTlvLengthBounded(rest, len)) {
            FUZZ_CHECK(rest.data() == before.data() && rest.size() == before.size() && len == -7);
            break;
        }
        FUZZ_CHECK(len >= 0 && static_cast<size_t>(len) <= rest.size());
        const AnsiView value = rest.substr(0, static_cast<size_t>(len));
        // The printer's form of that value reads back to the same value.
        AnsiView made_rest;
        const AnsiString made = MakeTlvValue(value);
        made_rest = made;
        int32_t made_len = 0;
        FUZZ_CHECK(ReadTlvLengthBounded(made_rest, made_len));
        FUZZ_CHECK(made_rest.substr(0, static_cast<size_t>(made_len)) == value);
        rest.remove_prefix(static_cast<size_t>(len));
    }
    {
        AnsiView r = in;
        int32_t v = -7;
        if (ReadTlvNumber(r, v)) {
            FUZZ_CHECK(v >= 0);
            const AnsiString printed = EncodeTlvLength(v);
            AnsiView back = printed;
            int32_t w = -1;
            FUZZ_CHECK(ReadTlvNumber(back, w) && w == v && back.empty());
        } else {
            FUZZ_CHECK(v == -7 && r.data() == in.data());
        }
        // The zero-terminated form stops at the terminator.
        const AnsiString z(in);
        const char* zp = z.c_str();
        int32_t zl = 0;
        if (ReadTlvLength(zp, zl)) FUZZ_CHECK(zp >= z.c_str() && zp <= z.c_str() + z.size());
    }

    // Source ids: a normalized id is valid; a valid id stays as it is.
    const AnsiString original(in.substr(0, 30));
    AnsiString id = original;
    bool changed = false;
    const bool valid = IsValidSourceId(id);
    if (NormalizeSourceId(id, changed)) {
        FUZZ_CHECK(IsValidSourceId(id));
        if (valid) FUZZ_CHECK(id == original);
    } else {
        FUZZ_CHECK(id == original);
    }
    return 0;
}
