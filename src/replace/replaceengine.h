#pragma once

#include "services/encoding.h"
#include "services/file.h"
#include "services/text.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

// What to replace, as the user typed it. Each file gets it in its own encoding.
struct ReplaceRequest {
    Text target;
    Text replacement;
    bool caseSensitive = true;  // false: letters match regardless of case
};

enum class FileOutcome { Changed, Unchanged, Failed };

struct FileResult {
    Text path;                       // as it was asked for
    FileOutcome outcome = FileOutcome::Unchanged;
    std::int64_t replacements = 0;   // occurrences replaced
    std::optional<FileError> error;  // set when outcome is Failed
};

struct ReplaceLimits {
    // Bytes read at a time; memory does not grow with the file beyond this.
    std::int64_t bufferSize = std::int64_t{1} << 20;
    // Finished temporary files wait for one shared sync and their renames
    // until there are this many of them, or this many bytes in them.
    int batchFiles = 1000;
    std::int64_t batchBytes = std::int64_t{256} << 20;
};

// The content with every occurrence of the target replaced, from the start,
// left to right, never overlapping, each match on character boundaries of
// the content's encoding (byte-order mark, else strict UTF-8, else GB18030).
// Bytes outside the matches stay as they are. An empty target changes nothing.
ByteBuffer replaceAll(const ByteBuffer& content, const Text& target, const Text& replacement, bool caseSensitive,
                      std::int64_t bufferSize = std::int64_t{1} << 20);

// Rewrites files one after another. A file is only rewritten when the target
// occurs in it; its new content goes to a temporary file that replaces the
// original once it is on disk, so after any failure the file holds its old
// content. Used from one thread at a time; a full batch is put in place on a
// thread of its own while the next one is prepared.
class ReplaceBatch {
public:
    explicit ReplaceBatch(ReplaceLimits limits = {});
    // A batch already being put in place is finished; prepared files that were
    // not flushed are dropped, their originals untouched.
    ~ReplaceBatch();
    ReplaceBatch(const ReplaceBatch&) = delete;
    ReplaceBatch& operator=(const ReplaceBatch&) = delete;

    // Reads the file and prepares its new content. Its result is settled at
    // once when it fails or has nothing to replace, else at the next flush.
    void replaceInFile(const Text& path, const ReplaceRequest& request);
    // Syncs the prepared files and puts each in place of its original.
    void flush();

    // One result per replaceInFile call, in order; final after flush().
    [[nodiscard]] const std::vector<FileResult>& results() const { return results_; }

    // How far the file being read has come, for a progress display on another thread.
    [[nodiscard]] std::int64_t currentBytesRead() const { return bytesRead_.load(std::memory_order_relaxed); }
    [[nodiscard]] std::int64_t currentFileSize() const { return fileSize_.load(std::memory_order_relaxed); }

private:
    struct Prepared {
        std::size_t resultIndex = 0;
        QByteArray originalPath;  // links resolved
        QByteArray temporaryPath;
        dev_t device = 0;
        ino_t inode = 0;
        std::int64_t size = 0;
        std::int64_t modifiedSeconds = 0;
        long modifiedNanoseconds = 0;
        std::int64_t newSize = 0;
    };
    // Syncs and renames; the files that failed, by result index, with their errno.
    static std::vector<std::pair<std::size_t, int>> commitBatch(const std::vector<Prepared>& batch);
    void applyFailures(const std::vector<std::pair<std::size_t, int>>& failures);
    void startCommit();
    void finishCommit();

    ReplaceLimits limits_;
    std::vector<FileResult> results_;
    std::vector<Prepared> prepared_;
    std::int64_t preparedBytes_ = 0;
    std::vector<Prepared> committing_;  // the batch the committer thread works on
    std::vector<std::pair<std::size_t, int>> commitFailures_;
    std::thread committer_;
    std::vector<unsigned char> scratch_;  // the read window, reused from file to file
    std::atomic<std::int64_t> bytesRead_{0};
    std::atomic<std::int64_t> fileSize_{0};
};
