// For any bytes and any part count: the parts put back together are the
// input, and no cut falls inside a character or between CR and LF, in the
// encoding the bytes are detected as (and in every other encoding too).

#include "property.h"
#include "services/encoding.h"
#include "split/splitengine.h"

#include <cstdint>
#include <vector>

namespace {

// Character starts by a plain parse from the beginning: the byte-order mark is
// one character, then characterLength decides each next one.
std::vector<bool> characterStarts(const QByteArray& bytes, EncodingInfo info)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    const std::int64_t length = bytes.size();
    std::vector<bool> starts(std::size_t(length) + 1, false);
    starts[0] = true;
    std::int64_t at = std::min<std::int64_t>(info.bomLength, length);
    starts[std::size_t(at)] = true;
    while (at < length) {
        at += characterLength(info.encoding, data + at, length - at);
        starts[std::size_t(at)] = true;
    }
    return starts;
}

bool isCrLfMiddle(const QByteArray& bytes, EncodingInfo info, std::int64_t cut)
{
    const auto at = [&](std::int64_t i) { return static_cast<unsigned char>(bytes[qsizetype(i)]); };
    switch (info.encoding) {
    case Encoding::Utf8:
    case Encoding::Gb18030:
        return cut >= 1 && cut < bytes.size() && at(cut - 1) == '\r' && at(cut) == '\n';
    case Encoding::Utf16LE:
        return cut >= 2 && cut + 1 < bytes.size() && at(cut - 2) == '\r' && at(cut - 1) == 0 && at(cut) == '\n'
            && at(cut + 1) == 0;
    case Encoding::Utf16BE:
        return cut >= 2 && cut + 1 < bytes.size() && at(cut - 2) == 0 && at(cut - 1) == '\r' && at(cut) == 0
            && at(cut + 1) == '\n';
    }
    return false;
}

void checkPlan(const QByteArray& bytes, EncodingInfo info, std::int32_t parts, bool nearest)
{
    const std::int64_t length = bytes.size();
    const ByteReader read = [&](std::int64_t offset, std::int64_t count) -> std::optional<ByteBuffer> {
        check(offset >= 0 && count >= 0 && offset + count <= length);
        return bytes.mid(qsizetype(offset), qsizetype(count));
    };
    const auto cuts = planCuts(info, length, parts, read);
    check(cuts.has_value());
    check(cuts->size() == std::size_t(parts) + 1);
    check(cuts->front() == 0 && cuts->back() == length);

    const std::vector<bool> starts = characterStarts(bytes, info);
    const std::int64_t size = nominalPartSize(length, parts);
    QByteArray joined;
    for (std::int32_t i = 1; i <= parts; ++i) {
        const std::int64_t from = (*cuts)[std::size_t(i - 1)], to = (*cuts)[std::size_t(i)];
        check(from <= to);
        joined += bytes.mid(qsizetype(from), qsizetype(to - from));
        if (i == parts)
            break;
        check(starts[std::size_t(to)]);
        check(!isCrLfMiddle(bytes, info, to));
        const std::int64_t aim = std::min<std::int64_t>(std::int64_t(i) * size, length);
        check(to <= aim);
        if (nearest && to < aim) {
            // Nothing between the cut and its aim could have taken it.
            for (std::int64_t p = std::max(to + 1, from); p <= aim; ++p)
                check(!starts[std::size_t(p)] || isCrLfMiddle(bytes, info, p) || p == length);
        }
    }
    check(joined == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    // The first two bytes give the part count, the rest is the file.
    const std::int32_t parts = 1 + ((data[0] | data[1] << 8) % 300);
    const QByteArray bytes(reinterpret_cast<const char*>(data + 2), qsizetype(size - 2));

    const EncodingInfo detected = detectEncoding(bytes);
    checkPlan(bytes, detected, parts, true);
    for (Encoding other : {Encoding::Utf8, Encoding::Gb18030, Encoding::Utf16LE, Encoding::Utf16BE}) {
        if (other != detected.encoding)
            checkPlan(bytes, EncodingInfo{other, 0}, parts, false);
    }
    return 0;
}
