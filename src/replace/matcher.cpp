#include "replace/matcher.h"

#include <QChar>

#include <algorithm>
#include <cstring>
#include <string.h>
#include <unordered_map>

void CharacterCursor::startWindow(const unsigned char* data, std::int64_t size, std::int64_t fileOffset)
{
    data_ = data;
    size_ = size;
    fileOffset_ = fileOffset;
    known_ = 0;
}

bool CharacterCursor::isCharacterStart(std::int64_t position)
{
    return characterStartAtOrBefore(position) == position;
}

std::int64_t CharacterCursor::characterStartAtOrBefore(std::int64_t position)
{
    switch (encoding_) {
    case Encoding::Utf8:
        // A match begins with a lead or ASCII byte, which is never inside a
        // character, so UTF-8 needs no parse; a carry may start anywhere.
        return position;
    case Encoding::Utf16LE:
    case Encoding::Utf16BE:
        // Targets are well formed, so a match never begins on a low surrogate:
        // an even offset is all it takes.
        return position - ((fileOffset_ + position) & 1);
    case Encoding::Gb18030:
        break;
    }
    // A byte below 0x30 is a character of its own, so the parse may start just
    // after the nearest one instead of at the last known start.
    std::int64_t from = known_;
    for (std::int64_t s = position - 1; s >= known_; --s) {
        if (isGb18030SingleByte(data_[s])) {
            from = s + 1;
            break;
        }
    }
    std::int64_t start = from;
    std::int64_t x = from;
    while (x < position) {
        start = x;
        x += characterLength(encoding_, data_ + x, size_ - x);
    }
    if (x == position)
        start = position;
    known_ = start;
    return start;
}

void CharacterCursor::markCharacterStart(std::int64_t position)
{
    known_ = position;
}

namespace {

// Characters that fold to each folded character, other than itself.
const std::unordered_map<char32_t, std::vector<char32_t>>& foldingInverse()
{
    static const auto inverse = [] {
        std::unordered_map<char32_t, std::vector<char32_t>> map;
        for (char32_t c = 0; c <= 0x10FFFF; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF)
                continue;
            const char32_t folded = QChar::toCaseFolded(c);
            if (folded != c)
                map[folded].push_back(c);
        }
        return map;
    }();
    return inverse;
}

}  // namespace

// One code point as a text. Not QString::fromUcs4, which takes a leading
// U+FEFF for a byte-order mark and drops it: a target holding that character
// would then match one character short.
Text textOfCodePoint(char32_t c)
{
    if (QChar::requiresSurrogates(c)) {
        const QChar pair[] = {QChar(QChar::highSurrogate(c)), QChar(QChar::lowSurrogate(c))};
        return Text(pair, 2);
    }
    return Text(QChar(char16_t(c)));
}

std::vector<char32_t> caseVariants(char32_t c)
{
    const char32_t folded = QChar::toCaseFolded(c);
    std::vector<char32_t> variants{folded};
    const auto& inverse = foldingInverse();
    if (auto it = inverse.find(folded); it != inverse.end())
        variants.insert(variants.end(), it->second.begin(), it->second.end());
    std::sort(variants.begin(), variants.end());
    return variants;
}

Text wellFormedText(const Text& text)
{
    Text result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar unit = text[i];
        if (unit.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            result.append(unit);
            result.append(text[++i]);
        } else if (unit.isSurrogate()) {
            result.append(QChar(QChar::ReplacementCharacter));
        } else {
            result.append(unit);
        }
    }
    return result;
}

Matcher::Matcher(const Text& target, const Text& replacement, Encoding encoding, bool caseSensitive)
    : encoding_(encoding), replacement_(encodeText(wellFormedText(replacement), encoding))
{
    const auto codePoints = wellFormedText(target).toUcs4();
    std::int64_t longest = 0;
    for (const char32_t c : codePoints) {
        std::vector<ByteBuffer> forms;
        const std::vector<char32_t> variants = caseSensitive ? std::vector<char32_t>{c} : caseVariants(c);
        for (const char32_t v : variants)
            forms.push_back(encodeText(textOfCodePoint(v), encoding));
        std::int64_t widest = 0;
        for (const auto& form : forms)
            widest = std::max<std::int64_t>(widest, form.size());
        longest += widest;
        characters_.push_back(std::move(forms));
    }
    while (prefixCharacters_ < characters_.size() && characters_[prefixCharacters_].size() == 1)
        fixedPrefix_ += characters_[prefixCharacters_++].front();
    if (fixedPrefix_.isEmpty() && !characters_.empty()) {
        for (const auto& form : characters_.front())
            firstBytes_[static_cast<unsigned char>(form.front())] = true;
    }
    decisionReach_ = longest + (encoding == Encoding::Gb18030 ? 3 : 0);
}

std::int64_t Matcher::matchRest(const unsigned char* data, std::int64_t size, std::int64_t at, std::size_t first) const
{
    std::int64_t x = at;
    for (std::size_t i = first; i < characters_.size(); ++i) {
        bool matched = false;
        for (const auto& form : characters_[i]) {
            if (x + form.size() <= size && std::memcmp(data + x, form.constData(), form.size()) == 0) {
                x += form.size();
                matched = true;
                break;
            }
        }
        if (!matched)
            return -1;
    }
    return x - at;
}

std::optional<Matcher::Match> Matcher::findNext(const unsigned char* data, std::int64_t size, std::int64_t from,
                                                std::int64_t limit, CharacterCursor& cursor) const
{
    if (characters_.empty())
        return std::nullopt;
    if (!fixedPrefix_.isEmpty()) {
        const std::int64_t prefixLength = fixedPrefix_.size();
        while (from < limit) {
            const std::int64_t searchEnd = std::min(size, limit + prefixLength - 1);
            if (searchEnd - from < prefixLength)
                return std::nullopt;
            const void* hit = ::memmem(data + from, searchEnd - from, fixedPrefix_.constData(), prefixLength);
            if (!hit)
                return std::nullopt;
            const std::int64_t start = static_cast<const unsigned char*>(hit) - data;
            if (cursor.isCharacterStart(start)) {
                const std::int64_t rest = matchRest(data, size, start + prefixLength, prefixCharacters_);
                if (rest >= 0)
                    return Match{start, prefixLength + rest};
            }
            from = start + 1;
        }
        return std::nullopt;
    }
    for (std::int64_t start = from; start < limit; ++start) {
        if (!firstBytes_[data[start]] || !cursor.isCharacterStart(start))
            continue;
        const std::int64_t length = matchRest(data, size, start, 0);
        if (length >= 0)
            return Match{start, length};
    }
    return std::nullopt;
}
