#include "services/encoding.h"

#include <QStringEncoder>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <cerrno>
#include <cstring>

const char* encodingName(Encoding encoding)
{
    switch (encoding) {
    case Encoding::Utf8:
        return "UTF-8";
    case Encoding::Utf16LE:
        return "UTF-16LE";
    case Encoding::Utf16BE:
        return "UTF-16BE";
    case Encoding::Gb18030:
        return "GB18030";
    }
    return "UTF-8";
}

std::optional<EncodingInfo> encodingFromBom(QByteArrayView head)
{
    const auto* b = reinterpret_cast<const unsigned char*>(head.data());
    if (head.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF)
        return EncodingInfo{Encoding::Utf8, 3};
    if (head.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE)
        return EncodingInfo{Encoding::Utf16LE, 2};
    if (head.size() >= 2 && b[0] == 0xFE && b[1] == 0xFF)
        return EncodingInfo{Encoding::Utf16BE, 2};
    return std::nullopt;
}

namespace {

#if defined(__x86_64__) || defined(__i386__)
// Checks whole 16-byte blocks from `p`, a character start, with table lookups
// (the method of Keiser and Lemire, "Validating UTF-8 in less than one
// instruction per byte"): for Chinese text about ten times the speed of the
// byte loop. Gives where the byte loop should take over: the last character
// start within the final three bytes checked, since a character there may go
// on past them. `ok` turns false on any error in the checked blocks.
__attribute__((target("ssse3"))) const unsigned char* validateBlocks(const unsigned char* p,
                                                                     const unsigned char* end, bool& ok)
{
    // Error classes; a byte pair is bad when all three lookups share a bit.
    const __m128i firstHigh = _mm_setr_epi8(0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, char(0x80), char(0x80),
                                            char(0x80), char(0x80), 0x21, 0x01, 0x15, 0x49);
    const __m128i firstLow = _mm_setr_epi8(char(0xE7), char(0xA3), char(0x83), char(0x83), char(0x8B), char(0xCB),
                                           char(0xCB), char(0xCB), char(0xCB), char(0xCB), char(0xCB), char(0xCB),
                                           char(0xCB), char(0xDB), char(0xCB), char(0xCB));
    const __m128i secondHigh = _mm_setr_epi8(0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, char(0xE6), char(0xAE),
                                             char(0xBA), char(0xBA), 0x01, 0x01, 0x01, 0x01);
    const __m128i nibble = _mm_set1_epi8(0x0F);
    // A lead byte this close to the end of a block needs the next block.
    const __m128i incompleteAbove = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, char(0xEF),
                                                  char(0xDF), char(0xBF));
    __m128i previous = _mm_setzero_si128();
    __m128i error = _mm_setzero_si128();
    const unsigned char* start = p;
    for (; end - p >= 16; p += 16) {
        const __m128i input = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if (_mm_movemask_epi8(input) == 0) {
            error = _mm_or_si128(error, _mm_subs_epu8(previous, incompleteAbove));
            previous = input;
            continue;
        }
        const __m128i prev1 = _mm_alignr_epi8(input, previous, 15);
        const __m128i special = _mm_and_si128(
            _mm_and_si128(_mm_shuffle_epi8(firstHigh, _mm_and_si128(_mm_srli_epi16(prev1, 4), nibble)),
                          _mm_shuffle_epi8(firstLow, _mm_and_si128(prev1, nibble))),
            _mm_shuffle_epi8(secondHigh, _mm_and_si128(_mm_srli_epi16(input, 4), nibble)));
        // Third and fourth bytes of a sequence must be continuation bytes.
        const __m128i third = _mm_subs_epu8(_mm_alignr_epi8(input, previous, 14), _mm_set1_epi8(0xE0 - 0x80));
        const __m128i fourth = _mm_subs_epu8(_mm_alignr_epi8(input, previous, 13), _mm_set1_epi8(0xF0 - 0x80));
        const __m128i mustContinue = _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(char(0x80)));
        error = _mm_or_si128(error, _mm_xor_si128(mustContinue, special));
        previous = input;
    }
    ok = _mm_movemask_epi8(_mm_cmpeq_epi8(error, _mm_setzero_si128())) == 0xFFFF;
    for (const unsigned char* q = p - 1; q >= p - 3 && q >= start; --q) {
        if (*q < 0x80 || *q >= 0xC0)
            return q;
    }
    return p;
}

bool hasBlockValidation()
{
    static const bool supported = __builtin_cpu_supports("ssse3");
    return supported;
}
#endif

}  // namespace

bool Utf8Validator::feed(QByteArrayView chunk)
{
    if (!valid_)
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(chunk.data());
    const auto* end = p + chunk.size();
    bool blocksDone = false;
    while (p < end) {
        if (pending_ == 0) {
#if defined(__x86_64__) || defined(__i386__)
            if (!blocksDone && end - p >= 64 && hasBlockValidation()) {
                blocksDone = true;
                bool ok = true;
                p = validateBlocks(p, end, ok);
                if (!ok) {
                    valid_ = false;
                    return false;
                }
                continue;
            }
#endif
            // Text is mostly ASCII between characters: skip it eight bytes at a time.
            while (end - p >= 8) {
                std::uint64_t word;
                std::memcpy(&word, p, 8);
                if (word & 0x8080808080808080ULL)
                    break;
                p += 8;
            }
            if (p == end)
                break;
            // Whole two- and three-byte characters without the state machine:
            // Chinese text is almost all of them. Leads with narrower ranges
            // (E0, ED, F0-F4) and sequences cut by the chunk's end take the slow way.
            const unsigned char lead = *p;
            if (lead >= 0xE1 && lead <= 0xEF && lead != 0xED && end - p >= 3) {
                if ((p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80) {
                    p += 3;
                    continue;
                }
            } else if (lead >= 0xC2 && lead <= 0xDF && end - p >= 2) {
                if ((p[1] & 0xC0) == 0x80) {
                    p += 2;
                    continue;
                }
            }
            const unsigned char b = *p++;
            if (b < 0x80)
                continue;
            lower_ = 0x80;
            upper_ = 0xBF;
            if (b >= 0xC2 && b <= 0xDF) {
                pending_ = 1;
            } else if (b >= 0xE0 && b <= 0xEF) {
                pending_ = 2;
                if (b == 0xE0)
                    lower_ = 0xA0;  // no overlong forms
                else if (b == 0xED)
                    upper_ = 0x9F;  // no surrogates
            } else if (b >= 0xF0 && b <= 0xF4) {
                pending_ = 3;
                if (b == 0xF0)
                    lower_ = 0x90;
                else if (b == 0xF4)
                    upper_ = 0x8F;  // nothing above U+10FFFF
            } else {
                valid_ = false;
                return false;
            }
        } else {
            const unsigned char b = *p++;
            if (b < lower_ || b > upper_) {
                valid_ = false;
                return false;
            }
            lower_ = 0x80;
            upper_ = 0xBF;
            --pending_;
        }
    }
    return true;
}

EncodingInfo detectEncoding(QByteArrayView content)
{
    if (auto bom = encodingFromBom(content))
        return *bom;
    Utf8Validator validator;
    validator.feed(content);
    return validator.finish() ? EncodingInfo{Encoding::Utf8, 0} : EncodingInfo{Encoding::Gb18030, 0};
}

namespace {

int utf8Length(const unsigned char* d, std::int64_t size)
{
    const unsigned char b = d[0];
    int need;
    unsigned char lower = 0x80, upper = 0xBF;
    if (b < 0x80)
        return 1;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        if (b == 0xE0)
            lower = 0xA0;
        else if (b == 0xED)
            upper = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        if (b == 0xF0)
            lower = 0x90;
        else if (b == 0xF4)
            upper = 0x8F;
    } else {
        return 1;
    }
    if (size < need + 1)
        return 1;
    for (int i = 1; i <= need; ++i) {
        if (d[i] < lower || d[i] > upper)
            return 1;
        lower = 0x80;
        upper = 0xBF;
    }
    return need + 1;
}

int gb18030Length(const unsigned char* d, std::int64_t size)
{
    const unsigned char b = d[0];
    if (b < 0x80 || b == 0x80 || b == 0xFF || size < 2)
        return 1;
    const unsigned char b1 = d[1];
    if ((b1 >= 0x40 && b1 <= 0x7E) || (b1 >= 0x80 && b1 <= 0xFE))
        return 2;
    if (b1 >= 0x30 && b1 <= 0x39 && size >= 4 && d[2] >= 0x81 && d[2] <= 0xFE && d[3] >= 0x30 && d[3] <= 0x39)
        return 4;
    return 1;
}

int utf16Length(const unsigned char* d, std::int64_t size, bool littleEndian)
{
    if (size < 2)
        return 1;
    auto unit = [&](int at) -> unsigned {
        return littleEndian ? unsigned(d[at]) | unsigned(d[at + 1]) << 8 : unsigned(d[at]) << 8 | unsigned(d[at + 1]);
    };
    const unsigned first = unit(0);
    if (first >= 0xD800 && first <= 0xDBFF && size >= 4) {
        const unsigned second = unit(2);
        if (second >= 0xDC00 && second <= 0xDFFF)
            return 4;
    }
    return 2;
}

}  // namespace

int characterLength(Encoding encoding, const unsigned char* data, std::int64_t size)
{
    switch (encoding) {
    case Encoding::Utf8:
        return utf8Length(data, size);
    case Encoding::Gb18030:
        return gb18030Length(data, size);
    case Encoding::Utf16LE:
        return utf16Length(data, size, true);
    case Encoding::Utf16BE:
        return utf16Length(data, size, false);
    }
    return 1;
}

ByteBuffer encodeText(const Text& text, Encoding encoding)
{
    QStringEncoder encoder(encodingName(encoding), QStringEncoder::Flag::Stateless);
    return encoder.encode(text);
}
