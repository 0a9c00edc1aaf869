#pragma once

#include "services/encoding.h"
#include "services/text.h"

#include <cstdint>
#include <optional>
#include <vector>

// Knows which byte positions of a window of file bytes start a character, so
// that a match never begins or ends in the middle of one. Only GB18030 needs
// state: there the same byte can be a whole character or a trail byte, and
// only a parse from a known character start can tell.
class CharacterCursor {
public:
    explicit CharacterCursor(Encoding encoding) : encoding_(encoding) {}

    // The window now holds `size` bytes from file offset `fileOffset`, and its
    // first byte starts a character. Every position asked about must have at
    // least three bytes after it in the window, unless the window ends the file.
    void startWindow(const unsigned char* data, std::int64_t size, std::int64_t fileOffset);

    [[nodiscard]] bool isCharacterStart(std::int64_t position);
    // The start of the character that holds `position`.
    [[nodiscard]] std::int64_t characterStartAtOrBefore(std::int64_t position);
    // `position` is known to start a character (the end of a match).
    void markCharacterStart(std::int64_t position);

private:
    Encoding encoding_;
    const unsigned char* data_ = nullptr;
    std::int64_t size_ = 0;
    std::int64_t fileOffset_ = 0;
    std::int64_t known_ = 0;  // a character start that no later question lies before
};

// One target, prepared for one encoding: the byte forms its characters may
// take in the file, and how to find them fast.
class Matcher {
public:
    // `caseSensitive` false: every character also matches the characters with
    // the same simple case folding (A/a, Ａ/ａ, Σ/σ/ς ...).
    Matcher(const Text& target, const Text& replacement, Encoding encoding, bool caseSensitive);

    [[nodiscard]] bool isEmpty() const { return characters_.empty(); }
    [[nodiscard]] Encoding encoding() const { return encoding_; }
    [[nodiscard]] const ByteBuffer& replacementBytes() const { return replacement_; }
    // How many bytes after a match start must be in the window before the
    // match can be decided: the longest match, plus what a GB18030 parse
    // peeks at beyond a character start.
    [[nodiscard]] std::int64_t decisionReach() const { return decisionReach_; }

    struct Match {
        std::int64_t start = 0;
        std::int64_t length = 0;
    };
    // The first match in data[0, size) that starts in [from, limit) on a
    // character start; nothing when there is none there.
    std::optional<Match> findNext(const unsigned char* data, std::int64_t size, std::int64_t from, std::int64_t limit,
                                  CharacterCursor& cursor) const;

private:
    // The byte length of a match of every character from `first` on at `at`; -1 when they do not match.
    std::int64_t matchRest(const unsigned char* data, std::int64_t size, std::int64_t at, std::size_t first) const;

    Encoding encoding_;
    std::vector<std::vector<ByteBuffer>> characters_;  // per target character: each byte form it may take
    ByteBuffer fixedPrefix_;      // the bytes of the leading characters that have one form only
    std::size_t prefixCharacters_ = 0;
    bool firstBytes_[256] = {};   // bytes a match may begin with, when there is no fixed prefix
    ByteBuffer replacement_;
    std::int64_t decisionReach_ = 0;
};

// Every character whose simple case folding equals that of `c`, `c` included.
std::vector<char32_t> caseVariants(char32_t c);

// A text with every unpaired surrogate replaced by U+FFFD, so that it encodes
// the same way in every encoding and matches only whole characters.
Text wellFormedText(const Text& text);
