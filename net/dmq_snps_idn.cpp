#include "net/dmq_snps_idn.hpp"

#include <cstdint>
#include <limits>

namespace zel {

namespace {

constexpr uint32_t kBase = 36;
constexpr uint32_t kTMin = 1;
constexpr uint32_t kTMax = 26;
constexpr uint32_t kSkew = 38;
constexpr uint32_t kDamp = 700;
constexpr uint32_t kInitialBias = 72;
constexpr uint32_t kInitialN = 128;
constexpr char kDelimiter = '-';
constexpr uint32_t kMaxInt = std::numeric_limits<uint32_t>::max();
constexpr uint32_t kMaxCodePoint = 0x10FFFF;

inline bool IsScalar(uint32_t c) noexcept {
    return c <= kMaxCodePoint && (c < 0xD800 || c > 0xDFFF);
}

uint32_t Adapt(uint32_t delta, uint32_t numPoints, bool firstTime) noexcept {
    delta = firstTime ? delta / kDamp : delta / 2;
    delta += delta / numPoints;
    uint32_t k = 0;
    while (delta > ((kBase - kTMin) * kTMax) / 2) {
        delta /= kBase - kTMin;
        k += kBase;
    }
    return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
}

inline uint32_t Threshold(uint32_t k, uint32_t bias) noexcept {
    if (k <= bias) return kTMin;
    if (k >= bias + kTMax) return kTMax;
    return k - bias;
}

inline char EncodeDigit(uint32_t d) noexcept {
    return static_cast<char>(d < 26 ? 'a' + d : '0' + (d - 26));
}

// kBase for anything that is not a digit.
inline uint32_t DecodeDigit(unsigned char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0' + 26;
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a';
    return kBase;
}

inline bool IsAsciiPrefixNoCase(AnsiView s, AnsiView prefix) noexcept {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

// UTF-16 label to code points; a lone surrogate makes the label unencodable.
bool LabelToCodePoints(UnicodeView label, std::u32string& out) {
    out.clear();
    out.reserve(label.size());
    for (size_t i = 0; i < label.size(); ++i) {
        uint32_t c = label[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < label.size() && label[i + 1] >= 0xDC00 &&
            label[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (label[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return false;
        }
        out.push_back(c);
    }
    return true;
}

void AppendCodePoint(UnicodeString& out, uint32_t c) {
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
    } else {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
}

}  // namespace

int PunycodeEncode(std::u32string_view input, AnsiString& output) {
    output.clear();
    for (uint32_t c : input)
        if (!IsScalar(c)) return PunycodeBadInput;
    if (input.size() >= kMaxInt) return PunycodeOverflow;

    for (uint32_t c : input)
        if (c < 0x80) output.push_back(static_cast<char>(c));
    const uint32_t b = static_cast<uint32_t>(output.size());
    uint32_t h = b;
    if (b > 0) output.push_back(kDelimiter);

    uint32_t n = kInitialN;
    uint32_t delta = 0;
    uint32_t bias = kInitialBias;
    const uint32_t length = static_cast<uint32_t>(input.size());
    while (h < length) {
        uint32_t m = kMaxInt;
        for (uint32_t c : input)
            if (c >= n && c < m) m = c;
        if (m - n > (kMaxInt - delta) / (h + 1)) {
            output.clear();
            return PunycodeOverflow;
        }
        delta += (m - n) * (h + 1);
        n = m;
        for (uint32_t c : input) {
            if (c < n && ++delta == 0) {
                output.clear();
                return PunycodeOverflow;
            }
            if (c == n) {
                uint32_t q = delta;
                for (uint32_t k = kBase;; k += kBase) {
                    const uint32_t t = Threshold(k, bias);
                    if (q < t) break;
                    output.push_back(EncodeDigit(t + (q - t) % (kBase - t)));
                    q = (q - t) / (kBase - t);
                }
                output.push_back(EncodeDigit(q));
                bias = Adapt(delta, h + 1, h == b);
                delta = 0;
                ++h;
            }
        }
        ++delta;
        ++n;  // n <= 0x10FFFF here, so no wrap
    }
    return PunycodeSuccess;
}

int PunycodeDecode(AnsiView input, std::u32string& output) {
    output.clear();
    if (input.size() >= kMaxInt) return PunycodeOverflow;

    // The basic code points are everything before the last delimiter.
    size_t b = 0;
    for (size_t j = 0; j < input.size(); ++j)
        if (input[j] == kDelimiter) b = j;
    for (size_t j = 0; j < b; ++j) {
        const unsigned char c = static_cast<unsigned char>(input[j]);
        if (c >= 0x80) {
            output.clear();
            return PunycodeBadInput;
        }
        output.push_back(c);
    }

    uint32_t n = kInitialN;
    uint32_t i = 0;
    uint32_t bias = kInitialBias;
    for (size_t in = b > 0 ? b + 1 : 0; in < input.size();) {
        const uint32_t oldi = i;
        uint32_t w = 1;
        for (uint32_t k = kBase;; k += kBase) {
            if (in >= input.size()) {
                output.clear();
                return PunycodeBadInput;
            }
            const uint32_t digit = DecodeDigit(static_cast<unsigned char>(input[in++]));
            if (digit >= kBase) {
                output.clear();
                return PunycodeBadInput;
            }
            if (digit > (kMaxInt - i) / w) {
                output.clear();
                return PunycodeOverflow;
            }
            i += digit * w;
            const uint32_t t = Threshold(k, bias);
            if (digit < t) break;
            if (w > kMaxInt / (kBase - t)) {
                output.clear();
                return PunycodeOverflow;
            }
            w *= kBase - t;
        }
        const uint32_t count = static_cast<uint32_t>(output.size()) + 1;
        bias = Adapt(i - oldi, count, oldi == 0);
        if (i / count > kMaxInt - n) {
            output.clear();
            return PunycodeOverflow;
        }
        n += i / count;
        i %= count;
        // A decoded code point must be a non-basic Unicode scalar: anything else is not what an
        // encoder produces and would put surrogates or ASCII smuggled past the basic part into names.
        if (n < 0x80 || !IsScalar(n)) {
            output.clear();
            return PunycodeBadInput;
        }
        output.insert(output.begin() + i, n);
        ++i;
    }
    return PunycodeSuccess;
}

AnsiString IDNToASCII(UnicodeView name) {
    AnsiString result;
    result.reserve(name.size());
    std::u32string points;
    AnsiString encoded;
    size_t start = 0;
    while (true) {
        const size_t dot = name.find(u'.', start);
        const UnicodeView label =
            name.substr(start, dot == UnicodeView::npos ? UnicodeView::npos : dot - start);
        bool wide = false;
        for (char16_t c : label)
            if (c > 127) wide = true;
        if (wide && LabelToCodePoints(label, points) &&
            PunycodeEncode(points, encoded) == PunycodeSuccess) {
            result += "xn--";
            result += encoded;
        } else {
            // A label that cannot be encoded keeps its ASCII; other characters become '?' so that
            // the name cannot turn into a different, valid host name by dropping high bytes.
            for (char16_t c : label) result.push_back(c <= 127 ? static_cast<char>(c) : '?');
        }
        if (dot == UnicodeView::npos) break;
        result.push_back('.');
        start = dot + 1;
    }
    return result;
}

UnicodeString IDNToUnicode(AnsiView name) {
    UnicodeString result;
    result.reserve(name.size());
    std::u32string points;
    size_t start = 0;
    while (true) {
        const size_t dot = name.find('.', start);
        const AnsiView label =
            name.substr(start, dot == AnsiView::npos ? AnsiView::npos : dot - start);
        if (label.size() > 4 && IsAsciiPrefixNoCase(label, "xn--") &&
            PunycodeDecode(label.substr(4), points) == PunycodeSuccess) {
            for (uint32_t c : points) AppendCodePoint(result, c);
        } else {
            for (char c : label) result.push_back(static_cast<unsigned char>(c));
        }
        if (dot == AnsiView::npos) break;
        result.push_back(u'.');
        start = dot + 1;
    }
    return result;
}

}  // namespace zel
