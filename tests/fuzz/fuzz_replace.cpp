// For any bytes and a target taken from them: replacing matches exactly what
// a plain character-by-character scan finds (so no match starts or ends inside
// a character, and the byte-order mark is never touched), the result does not
// depend on where the read buffer's edges fall, replacing the target by itself
// gives back the input, and a target that does not occur changes nothing.

#include "replace/matcher.h"
#include "replace/replaceengine.h"
#include "property.h"
#include "services/encoding.h"

#include <QStringDecoder>

#include <cstdint>

namespace {

// The reference: walk the characters from the start; where the target's bytes
// begin at a character start, replace them and go on after them.
QByteArray referenceReplace(const QByteArray& content, const QByteArray& target, const QByteArray& replacement)
{
    const EncodingInfo info = detectEncoding(content);
    const auto* data = reinterpret_cast<const unsigned char*>(content.constData());
    const qsizetype length = content.size();
    qsizetype at = std::min<qsizetype>(info.bomLength, length);
    QByteArray out = content.left(at);
    while (at < length) {
        if (!target.isEmpty() && content.mid(at, target.size()) == target) {
            out += replacement;
            at += target.size();
            continue;
        }
        const int bytes = characterLength(info.encoding, data + at, length - at);
        out += content.mid(at, bytes);
        at += bytes;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4)
        return 0;
    // Byte 0: the buffer size for the edge case; bytes 1-2: where in the
    // content the target is taken from and how long it is; the rest: the file.
    const std::int64_t smallBuffer = 8 + data[0] % 64;
    const QByteArray content(reinterpret_cast<const char*>(data + 3), qsizetype(size - 3));
    const EncodingInfo info = detectEncoding(content);

    const qsizetype from = content.isEmpty() ? 0 : data[1] % content.size();
    const qsizetype length = 1 + data[2] % 8;
    QStringDecoder decoder(encodingName(info.encoding), QStringDecoder::Flag::Stateless);
    const Text target = wellFormedText(decoder.decode(content.mid(from, length)));
    const Text replacement = QStringLiteral("替换<%1>").arg(data[2] % 3 == 0 ? target : QString());
    if (target.isEmpty())
        return 0;

    const QByteArray targetBytes = encodeText(target, info.encoding);
    const QByteArray replacementBytes = encodeText(replacement, info.encoding);
    const QByteArray expected = referenceReplace(content, targetBytes, replacementBytes);

    // Inputs are short: one 64 KiB buffer holds any of them whole.
    constexpr std::int64_t wholeBuffer = 1 << 16;
    check(replaceAll(content, target, replacement, true, wholeBuffer) == expected);
    check(replaceAll(content, target, replacement, true, smallBuffer) == expected);
    check(replaceAll(content, target, target, true, smallBuffer) == content);

    // Something that cannot occur: a character absent from the content.
    const Text absent = QStringLiteral("\U0001F600");
    if (!content.contains(encodeText(absent, info.encoding)))
        check(replaceAll(content, absent, replacement, false, smallBuffer) == content);

    // Case folding must not move matches off character boundaries either:
    // whatever it replaces, what is left between matches is the content's own bytes.
    const QByteArray folded = replaceAll(content, target, QString(), false, smallBuffer);
    check(folded.size() <= content.size());
    check(replaceAll(content, target, QString(), false, wholeBuffer) == folded);
    return 0;
}
