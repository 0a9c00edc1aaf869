#pragma once

#include "services/file.h"
#include "services/text.h"

#include <QByteArrayView>

#include <cstdint>
#include <optional>

// The encodings a text file of ours may be in. GB18030 stands for GBK and
// GB2312 too: it is a superset of both with the same two-byte characters.
enum class Encoding { Utf8, Utf16LE, Utf16BE, Gb18030 };

struct EncodingInfo {
    Encoding encoding = Encoding::Utf8;
    int bomLength = 0;  // bytes of byte-order mark at the start, kept as they are
    friend bool operator==(const EncodingInfo&, const EncodingInfo&) = default;
};

// The name QStringEncoder/QStringDecoder know the encoding by.
const char* encodingName(Encoding encoding);

// A byte-order mark at the start of `head`, if any.
std::optional<EncodingInfo> encodingFromBom(QByteArrayView head);

// Strict UTF-8 checking over a stream of chunks: overlong forms, surrogates,
// code points above U+10FFFF and a sequence cut off at the end are errors.
class Utf8Validator {
public:
    // False once any byte seen so far is not valid UTF-8.
    bool feed(QByteArrayView chunk);
    // True when everything fed is valid and no sequence is left open.
    [[nodiscard]] bool finish() const { return valid_ && pending_ == 0; }

private:
    bool valid_ = true;
    int pending_ = 0;        // continuation bytes still expected
    unsigned char lower_ = 0x80, upper_ = 0xBF;  // range allowed for the next continuation byte
};

// The ordered decision: byte-order mark, else strict UTF-8, else GB18030.
EncodingInfo detectEncoding(QByteArrayView content);

// The length in bytes of the character that starts at data[0], with `size`
// bytes available from there (size >= 1). A byte that starts no valid
// character, or a sequence cut off by the end of the data, counts as a
// character of one byte, so every byte belongs to exactly one character.
int characterLength(Encoding encoding, const unsigned char* data, std::int64_t size);

// In GB18030 a byte below 0x30 is never part of a multi-byte character, so a
// parse that starts right after one is in step with a parse from the start.
inline bool isGb18030SingleByte(unsigned char byte)
{
    return byte < 0x30;
}

// The bytes of `text` in `encoding`, without a byte-order mark.
ByteBuffer encodeText(const Text& text, Encoding encoding);
