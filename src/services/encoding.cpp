#include "services/encoding.h"

#include <QStringEncoder>

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

bool Utf8Validator::feed(QByteArrayView chunk)
{
    if (!valid_)
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(chunk.data());
    const auto* end = p + chunk.size();
    while (p < end) {
        if (pending_ == 0) {
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

std::optional<EncodingInfo> detectFileEncoding(const FileHandle& file, int* error)
{
    constexpr std::int64_t chunkSize = 1 << 20;
    ByteBuffer chunk;
    Utf8Validator validator;
    for (std::int64_t offset = 0;; offset += chunk.size()) {
        errno = 0;
        chunk = readBytes(file, offset, chunkSize);
        if (chunk.size() < chunkSize && errno != 0) {
            if (error)
                *error = errno;
            return std::nullopt;
        }
        if (offset == 0) {
            if (auto bom = encodingFromBom(chunk))
                return *bom;
        }
        if (!validator.feed(chunk))
            return EncodingInfo{Encoding::Gb18030, 0};
        if (chunk.size() < chunkSize)
            break;
    }
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
