// The framing of a client's byte stream (net/dmq_collector_base as the socket context sets it up,
// clients/dmq_zel_svc_server_snps): the 3-byte prefix, the connect line, then operating lines and
// the voice and short blocks they announce. The bytes arrive in chunks whose sizes the first input
// byte chooses, with "nothing yet" between them. Every line and block handed over must be exactly
// the bytes of the stream at that place (a line without its LF and one CR before it), a line
// longer than the limit must be refused, and a stream cut short must never complete a request.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "clients/dmq_zel_svc_server_snps.hpp"
#include "foundation/dmq_strbld_a.hpp"
#include "net/dmq_collector_base.hpp"
#include "tests/fuzz/fuzz_check.hpp"

using namespace zel;

namespace {

using TSnps = TZELSVCContextSNPS;

class TChunkCollector : public TCollectorBase {
public:
    TChunkCollector(AnsiView Stream, uint8_t Seed) : TCollectorBase(TSnps::kCollectorSize), Stream_(Stream), Seed_(Seed) {}

protected:
    TCollectorReadResult ReadSource(void* Dest, uint32_t Count, uint32_t& Got) override {
        Got = 0;
        if (Pos_ >= Stream_.size()) return TCollectorReadResult::colrr_EOF;
        // Every third call finds nothing yet; the others take a chunk of 1 to 600 bytes.
        if (++Calls_ % 3 == 0 && (Seed_ & 1)) return TCollectorReadResult::colrr_OK;
        if (Count == 0) return TCollectorReadResult::colrr_OK;
        const uint32_t chunk = 1 + (Calls_ * (Seed_ | 1u) * 37u) % 600u;
        Got = static_cast<uint32_t>(std::min<size_t>({Count, chunk, Stream_.size() - Pos_}));
        std::memcpy(Dest, Stream_.data() + Pos_, Got);
        Pos_ += Got;
        return TCollectorReadResult::colrr_OK;
    }

private:
    AnsiView Stream_;
    size_t Pos_ = 0;
    uint32_t Calls_ = 0;
    uint8_t Seed_;
};

// Collects until the request ends (bounded: the stream is finite and every call reads or ends).
TCollectResult Run(TChunkCollector& C) {
    for (int i = 0; i < 100000; ++i) {
        const TCollectResult r = C.Collect(0);
        if (r != TCollectResult::colres_Nothing) return r;
    }
    FUZZ_CHECK(false && "collector never ended");
    return TCollectResult::colres_Nothing;
}

// The line the stream holds at Pos: Complete with the line and the position after its LF, or
// TooLong, or EndOfStream for an unfinished line.
TCollectResult ExpectedLine(AnsiView Stream, size_t& Pos, AnsiView& Line, uint32_t Max) {
    const AnsiView rest = Stream.substr(Pos);
    const size_t lf = rest.find('\n');
    const size_t len = lf == AnsiView::npos ? rest.size() : lf;
    if (len > Max) return TCollectResult::colres_TooLong;
    if (lf == AnsiView::npos) return TCollectResult::colres_EndOfStream;
    Line = rest.substr(0, lf);
    if (!Line.empty() && Line.back() == '\r') Line.remove_suffix(1);
    Pos += lf + 1;
    return TCollectResult::colres_Complete;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 1) return 0;
    const AnsiView stream(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    TChunkCollector c(stream, Data[0]);
    c.DropPartialAtEnd = true;
    c.OverflowPolicy = TCollectorOverflow::colo_Result;
    size_t pos = 0;

    char prefix[3] = {};
    c.StartReadBytesNoTimeout(prefix, 3);
    TCollectResult r = Run(c);
    if (stream.size() < 3) {
        FUZZ_CHECK(r != TCollectResult::colres_Complete);
        return 0;
    }
    FUZZ_CHECK(r == TCollectResult::colres_Complete && std::memcmp(prefix, stream.data(), 3) == 0);
    pos = 3;

    TStringBldA line;
    StrBldAInit(line, 256);
    AnsiString block;
    for (int n = 0; n < 10000; ++n) {
        c.StartReadLineNoTimeout(line, TSnps::kMaxLine);
        r = Run(c);
        AnsiView want;
        const TCollectResult expected = ExpectedLine(stream, pos, want, TSnps::kMaxLine);
        FUZZ_CHECK(r == expected);
        if (r != TCollectResult::colres_Complete) return 0;
        FUZZ_CHECK(StrBldAView(line) == want);
        // The first line is the connect line; every later one is an operating line.
        if (n == 0) continue;
        const TZELOperatingLineKind kind = ClassifyOperatingLine(StrBldAView(line));
        if (kind == TZELOperatingLineKind::oplk_Refused) return 0;
        if (kind == TZELOperatingLineKind::oplk_Handled) continue;
        const uint32_t size = (kind == TZELOperatingLineKind::oplk_Voice ? TSnps::kVoiceBlock : TSnps::kShortBlock) - 3;
        block.assign(size, '\0');
        c.StartReadBytesNoTimeout(block.data(), size);
        r = Run(c);
        if (stream.size() - pos < size) {
            FUZZ_CHECK(r != TCollectResult::colres_Complete);
            return 0;
        }
        FUZZ_CHECK(r == TCollectResult::colres_Complete && c.LastCount() == size);
        FUZZ_CHECK(AnsiView(block) == stream.substr(pos, size));
        pos += size;
    }
    return 0;
}
