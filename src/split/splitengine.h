#pragma once

#include "services/encoding.h"
#include "services/file.h"
#include "services/text.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// Reads exactly `count` bytes at `offset` of the source (the range lies inside
// it); nothing when the read fails. The planner reads through this so that it
// works the same on a file and, in tests, on bytes in memory.
using ByteReader = std::function<std::optional<ByteBuffer>(std::int64_t offset, std::int64_t count)>;

// The size every part aims at: length / parts, halves rounded away from zero.
// Computed exactly in integers, so it stays right beyond double precision.
std::int64_t nominalPartSize(std::int64_t length, std::int32_t parts);

// Where a cut aimed at `position` lands: the start of the character that holds
// the byte at `position` in `encoding`, moved before a CR when it would fall
// between that CR and its LF. `floor` is a known character start at or before
// `position` (the previous cut) and the result never goes below it. Reads only
// a few bytes around `position`, except for GB18030 text with no byte below
// 0x30 nearby, which is parsed forward from `floor` in bounded chunks.
std::optional<std::int64_t> characterStartAtOrBefore(EncodingInfo encoding, std::int64_t length,
                                                     std::int64_t position, std::int64_t floor,
                                                     const ByteReader& read);

// Gives the end of each part in turn, so that memory does not grow with the
// number of parts. Part i (1-based) ends where cut i lands, aimed at
// min(i * S, length); the last part ends at the length.
class CutPlanner {
public:
    CutPlanner(EncodingInfo encoding, std::int64_t length, std::int32_t parts, ByteReader read);

    // The end (exclusive) of the next part; nothing when reading failed.
    // Not to be called more than `parts` times.
    std::optional<std::int64_t> nextCut();

private:
    EncodingInfo encoding_;
    std::int64_t length_;
    std::int32_t parts_;
    std::int64_t partSize_;
    ByteReader read_;
    std::int32_t planned_ = 0;
    std::int64_t previous_ = 0;
};

// All part boundaries at once: parts + 1 offsets from 0 to length. For tests.
std::optional<std::vector<std::int64_t>> planCuts(EncodingInfo encoding, std::int64_t length, std::int32_t parts,
                                                  const ByteReader& read);

enum class SplitOutcome {
    Done,
    Cancelled,
    NoSource,          // no source file is held
    SourceUnreadable,  // reading the source failed
    SourceChanged,     // the source got shorter while it was being split
    PartNotWritten,    // a part file could not be created, written or put in place
    PartIsSource,      // a part's path leads to the source itself
};

struct SplitResult {
    SplitOutcome outcome = SplitOutcome::Done;
    FileError error;  // for a failure: the file it is about and the errno
    Encoding encoding = Encoding::Utf8;  // the reading the cuts followed
    [[nodiscard]] bool failed() const { return outcome != SplitOutcome::Done && outcome != SplitOutcome::Cancelled; }
};

// Knobs for the UTF-8 check; the defaults suit real files, tests make them
// small to reach every road on small files.
struct SplitTuning {
    // Up to this length the whole source is checked before copying.
    std::int64_t checkFirstLimit = 32 << 20;
    // Larger sources: this many leading bytes are checked first (a GBK file
    // fails within them); the rest is checked beside the copy.
    std::int64_t headCheckLength = 1 << 20;
};

struct SplitRequest {
    FileHandle source;  // the job's own handle, read by offset (its position is not used)
    Text sourcePath;    // names the source in failures
    Text folder;
    std::int32_t parts = 0;
    // Bytes copied so far of the total; called on the splitting thread.
    std::function<void(std::int64_t done, std::int64_t total)> progress;
    const std::atomic<bool>* cancel = nullptr;  // set to stop; the folder is then left as it was
    SplitTuning tuning;
};

// The path of part `index` in `folder`: folder, separator, decimal index, ".txt".
Text partPath(const Text& folder, std::int64_t index);

// Splits the source into parts 1.txt ... N.txt in the folder, all or nothing:
// the parts are written under hidden temporary names and put in place only
// when every one is complete; after a failure or a cancel the folder holds
// what it held before. Never throws; blocks until done.
SplitResult runSplit(SplitRequest request);
