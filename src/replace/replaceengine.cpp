#include "replace/replaceengine.h"

#include "replace/matcher.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <set>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// Where the scan sends the new content: the bytes to keep as they are, and
// where each match stands in the original.
class ReplaceSink {
public:
    virtual ~ReplaceSink() = default;
    virtual bool keep(const unsigned char* data, std::int64_t count) = 0;
    virtual bool replace(std::int64_t offset, std::int64_t length, const ByteBuffer& replacement) = 0;
    // The bytes given so far are about to be overwritten or freed.
    virtual bool windowDone() { return true; }
};

enum class ScanEnd { Done, ReadFailed, SinkFailed, NotUtf8 };

// Reads into `buffer` at most `count` bytes; 0 at the end, -1 (errno set) on failure.
using ByteSource = std::function<std::int64_t(unsigned char* buffer, std::int64_t count)>;

// Streams the source through one bounded window. What a match may straddle at
// the window's edge is carried over to the next round. With `validator`, the
// bytes are also checked as UTF-8 and the scan gives up at the first byte
// that is not, so that one pass both decides the encoding and replaces.
ScanEnd scanAndReplace(const ByteSource& read, std::int64_t startOffset, const Matcher& matcher, ReplaceSink& sink,
                       std::int64_t chunkSize, Utf8Validator* validator, std::vector<unsigned char>& buffer)
{
    const std::int64_t reach = std::max<std::int64_t>(matcher.decisionReach(), 1);
    // Kept from file to file: allocating and clearing a window per small file costs more than reading it.
    if (buffer.size() < static_cast<std::size_t>(chunkSize + reach + 8))
        buffer.resize(static_cast<std::size_t>(chunkSize + reach + 8));
    CharacterCursor cursor(matcher.encoding());
    std::int64_t size = 0;          // bytes in the window
    std::int64_t windowOffset = startOffset;  // file offset of buffer[0]
    std::int64_t position = 0;      // where the search goes on
    std::int64_t emitted = 0;       // bytes before this are already with the sink
    for (;;) {
        std::int64_t got = 0;
        bool atEnd = false;
        // Fill up to a whole chunk, so that a slow source does not shrink the window.
        while (got < chunkSize) {
            const std::int64_t n = read(buffer.data() + size + got, chunkSize - got);
            if (n < 0)
                return ScanEnd::ReadFailed;
            if (n == 0) {
                atEnd = true;
                break;
            }
            got += n;
        }
        if (validator && !validator->feed(QByteArrayView(buffer.data() + size, got)))
            return ScanEnd::NotUtf8;
        if (atEnd && validator && !validator->finish())
            return ScanEnd::NotUtf8;
        size += got;
        cursor.startWindow(buffer.data(), size, windowOffset);
        const std::int64_t limit = atEnd ? size : std::max(position, size - reach + 1);
        while (auto match = matcher.findNext(buffer.data(), size, position, limit, cursor)) {
            if (!sink.keep(buffer.data() + emitted, match->start - emitted)
                || !sink.replace(windowOffset + match->start, match->length, matcher.replacementBytes()))
                return ScanEnd::SinkFailed;
            position = emitted = match->start + match->length;
            cursor.markCharacterStart(position);
        }
        if (atEnd) {
            return sink.keep(buffer.data() + emitted, size - emitted) && sink.windowDone() ? ScanEnd::Done
                                                                                           : ScanEnd::SinkFailed;
        }
        position = std::max(position, limit);
        if (!sink.keep(buffer.data() + emitted, position - emitted) || !sink.windowDone())
            return ScanEnd::SinkFailed;
        // The carry starts on a character so the next window can parse from its first byte.
        const std::int64_t carryFrom = cursor.characterStartAtOrBefore(position);
        std::memmove(buffer.data(), buffer.data() + carryFrom, static_cast<std::size_t>(size - carryFrom));
        windowOffset += carryFrom;
        size -= carryFrom;
        position -= carryFrom;
        emitted = position;
    }
}

class MemorySink : public ReplaceSink {
public:
    bool keep(const unsigned char* data, std::int64_t count) override
    {
        out.append(reinterpret_cast<const char*>(data), count);
        return true;
    }
    bool replace(std::int64_t, std::int64_t, const ByteBuffer& replacement) override
    {
        out.append(replacement);
        return true;
    }
    ByteBuffer out;
};

// Writes every byte the pieces hold, in order; any shortfall is a failure with errno set.
bool writeAll(int fd, std::vector<iovec>& pieces)
{
    std::size_t first = 0;
    while (first < pieces.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(pieces.size() - first, IOV_MAX));
        ssize_t n = ::writev(fd, pieces.data() + first, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        while (first < pieces.size() && static_cast<std::size_t>(n) >= pieces[first].iov_len) {
            n -= static_cast<ssize_t>(pieces[first].iov_len);
            ++first;
        }
        if (n > 0) {
            pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + n;
            pieces[first].iov_len -= static_cast<std::size_t>(n);
        }
    }
    pieces.clear();
    return true;
}

// Copies `count` bytes from `in` at `inOffset` to `out` at `outOffset`
// (-1: at out's file position). In the kernel where it can, by hand where not.
bool copyRange(int in, std::int64_t inOffset, int out, std::int64_t outOffset, std::int64_t count)
{
    bool kernel = true;
    while (count > 0 && kernel) {
        loff_t from = inOffset;
        loff_t to = outOffset;
        const ssize_t n = ::copy_file_range(in, &from, out, outOffset >= 0 ? &to : nullptr,
                                            static_cast<std::size_t>(std::min<std::int64_t>(count, 1 << 30)), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
            kernel = false;
            break;
        }
        if (n < 0)
            return false;
        if (n == 0) {
            errno = ESTALE;  // the source ended early: it changed under us
            return false;
        }
        inOffset += n;
        if (outOffset >= 0)
            outOffset += n;
        count -= n;
    }
    if (count == 0)
        return true;
    std::vector<char> chunk(std::size_t{1} << 20);
    while (count > 0) {
        const std::int64_t got = preadFully(in, chunk.data(), std::min<std::int64_t>(count, chunk.size()), inOffset);
        if (got < 0)
            return false;
        if (got == 0) {
            errno = ESTALE;
            return false;
        }
        if (!writeFully(out, chunk.data(), got, outOffset))
            return false;
        if (outOffset >= 0)
            outOffset += got;
        inOffset += got;
        count -= got;
    }
    return true;
}

// Copies the first `count` bytes of `in` into the new, empty `out` and leaves
// out's position after them. The holes of a sparse file stay holes: copied
// as bytes they would fill the disk with zeros.
bool copyStartKeepingHoles(int in, int out, std::int64_t count)
{
    std::int64_t offset = 0;
    while (offset < count) {
        const off_t data = ::lseek(in, offset, SEEK_DATA);
        if (data < 0 && errno != ENXIO) {
            // The file system cannot tell where its holes are: copy every byte.
            return ::lseek(out, offset, SEEK_SET) >= 0 && copyRange(in, offset, out, -1, count - offset);
        }
        if (data < 0 || data >= count)
            break;  // only a hole is left
        const off_t hole = ::lseek(in, data, SEEK_HOLE);
        const std::int64_t end = hole < 0 ? count : std::min<std::int64_t>(hole, count);
        if (::lseek(out, data, SEEK_SET) < 0 || !copyRange(in, data, out, -1, end - data))
            return false;
        offset = end;
    }
    // A hole at the end still counts: the file gets its length without writing.
    return ::ftruncate(out, count) == 0 && ::lseek(out, count, SEEK_SET) >= 0;
}

QByteArray folderOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : path.left(slash);
}

// A new, empty, private file beside the others in `folder`, named after `name`.
int createTemporary(const QByteArray& folder, const QByteArray& name, QByteArray* path)
{
    QByteArray pattern = folder + "/." + name.right(std::min<qsizetype>(name.size(), 180)) + ".sr-XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0)
        *path = pattern;
    return fd;
}

bool sameFileAsRead(const struct stat& now, const struct stat& read)
{
    return now.st_dev == read.st_dev && now.st_ino == read.st_ino && now.st_size == read.st_size
           && now.st_mtim.tv_sec == read.st_mtim.tv_sec && now.st_mtim.tv_nsec == read.st_mtim.tv_nsec;
}

// The new content of one original file. Nothing is created until the first
// match: a file without one is never touched.
class RewriteSink : public ReplaceSink {
public:
    RewriteSink(int original, const struct stat& info, QByteArray originalPath)
        : original_(original), info_(info), originalPath_(std::move(originalPath))
    {
    }
    ~RewriteSink() override { discard(); }

    // The pieces are gathered and written together, straight from the window
    // and the replacement, without copying them first.
    bool keep(const unsigned char* data, std::int64_t count) override
    {
        if (temporary_ < 0 || count == 0)
            return true;
        return add(data, count);
    }

    bool windowDone() override { return flushOut(); }

    bool replace(std::int64_t offset, std::int64_t, const ByteBuffer& replacement) override
    {
        ++replacements_;
        if (temporary_ < 0) {
            if (!start())
                return false;
            // Everything before the first match is copied as it is.
            if (!copyStartKeepingHoles(original_, temporary_, offset))
                return false;
            newSize_ = offset;
        }
        return replacement.isEmpty() || add(replacement.constData(), replacement.size());
    }

    // The new content is complete: give it the original's owner and
    // permissions. In place, copy it over the original now.
    bool finish()
    {
        if (!flushOut())
            return false;
        if (inPlace_)
            return rewriteInPlace();
        // Only a privileged process may give a file away, but any owner may pass
        // it to a group they belong to; what is not allowed is left as it is.
        if ((info_.st_uid != ::geteuid() || info_.st_gid != ::getegid())
            && ::fchown(temporary_, info_.st_uid, info_.st_gid) != 0) {
            [[maybe_unused]] const int ignored = ::fchown(temporary_, static_cast<uid_t>(-1), info_.st_gid);
        }
        if (::fchmod(temporary_, info_.st_mode & 07777) != 0)
            return false;
        ::close(temporary_);
        temporary_ = -1;
        return true;
    }

    // Forgets the new content (the scan starts over in another encoding, or failed).
    void discard()
    {
        if (temporary_ >= 0)
            ::close(temporary_);
        temporary_ = -1;
        if (!temporaryPath_.isEmpty())
            ::unlink(temporaryPath_.constData());
        temporaryPath_.clear();
        pieces_.clear();
        replacements_ = 0;
        startedWriteback_ = 0;
        newSize_ = 0;
    }

    // The temporary file now belongs to the caller.
    QByteArray takeTemporary() { return std::exchange(temporaryPath_, {}); }

    [[nodiscard]] std::int64_t replacements() const { return replacements_; }
    [[nodiscard]] std::int64_t newSize() const { return newSize_; }
    [[nodiscard]] bool inPlace() const { return inPlace_; }

private:
    bool add(const void* data, std::int64_t count)
    {
        pieces_.push_back({const_cast<void*>(data), static_cast<std::size_t>(count)});
        newSize_ += count;
        return pieces_.size() < 1024 || flushOut();
    }

    bool flushOut()
    {
        if (pieces_.empty())
            return true;
        if (!writeAll(temporary_, pieces_))
            return false;
        // Start the disk on what is written so far, so that the sync before the
        // rename has little left to wait for.
        constexpr std::int64_t writebackStep = std::int64_t{8} << 20;
        if (newSize_ - startedWriteback_ >= writebackStep) {
            ::sync_file_range(temporary_, startedWriteback_, newSize_ - startedWriteback_, SYNC_FILE_RANGE_WRITE);
            startedWriteback_ = newSize_;
        }
        return true;
    }

    bool start()
    {
        const QByteArray folder = folderOf(originalPath_);
        const QByteArray name = originalPath_.mid(originalPath_.lastIndexOf('/') + 1);
        // Renaming over a file with other links would split it from them.
        inPlace_ = info_.st_nlink > 1;
        temporary_ = createTemporary(folder, name, &temporaryPath_);
        if (temporary_ >= 0)
            return true;
        if (errno != EACCES && errno != EPERM && errno != EROFS)
            return false;
        // The folder does not let us add a file, but the file itself is open for
        // writing: prepare the content elsewhere and copy it over in place.
        inPlace_ = true;
        temporary_ = createTemporary(nativePath(QDir::tempPath()), name, &temporaryPath_);
        return temporary_ >= 0;
    }

    // The whole new content is ready in the temporary file. Keep a copy of the
    // old content beside it, so that a failed write can be undone.
    bool rewriteInPlace()
    {
        QByteArray backupPath;
        const int backup = createTemporary(folderOf(temporaryPath_), "old", &backupPath);
        if (backup < 0)
            return false;
        struct ScopedBackup {
            int fd;
            QByteArray path;
            ~ScopedBackup()
            {
                ::close(fd);
                ::unlink(path.constData());
            }
        } scoped{backup, backupPath};
        if (!copyRange(original_, 0, backup, 0, info_.st_size))
            return false;
        struct stat now {};
        if (::fstat(original_, &now) != 0)
            return false;
        if (!sameFileAsRead(now, info_)) {
            errno = ESTALE;
            return false;
        }
        if (copyRange(temporary_, 0, original_, 0, newSize_) && ::ftruncate(original_, newSize_) == 0
            && ::fsync(original_) == 0)
            return true;
        const int failure = errno;
        // Put the old bytes back; they fit where they were.
        if (copyRange(backup, 0, original_, 0, info_.st_size) && ::ftruncate(original_, info_.st_size) == 0) {
            [[maybe_unused]] const int ignored = ::fsync(original_);
        }
        errno = failure;
        return false;
    }

    int original_;
    struct stat info_;
    QByteArray originalPath_;
    int temporary_ = -1;
    QByteArray temporaryPath_;
    std::vector<iovec> pieces_;
    std::int64_t startedWriteback_ = 0;
    std::int64_t replacements_ = 0;
    std::int64_t newSize_ = 0;
    bool inPlace_ = false;
};

// The path with every symbolic link resolved, so that the file a link points
// to is the one rewritten and the link stays a link.
std::optional<QByteArray> resolvedPath(const Text& path, int* error)
{
    char* resolved = ::realpath(nativePath(path).constData(), nullptr);
    if (!resolved) {
        *error = errno;
        return std::nullopt;
    }
    QByteArray result(resolved);
    std::free(resolved);
    return result;
}

}  // namespace

ByteBuffer replaceAll(const ByteBuffer& content, const Text& target, const Text& replacement, bool caseSensitive,
                      std::int64_t bufferSize)
{
    const EncodingInfo info = detectEncoding(content);
    const Matcher matcher(target, replacement, info.encoding, caseSensitive);
    if (matcher.isEmpty())
        return content;
    std::int64_t offset = info.bomLength;
    const ByteSource read = [&](unsigned char* buffer, std::int64_t count) {
        const std::int64_t n = std::min<std::int64_t>(count, content.size() - offset);
        std::memcpy(buffer, content.constData() + offset, static_cast<std::size_t>(n));
        offset += n;
        return n;
    };
    MemorySink sink;
    sink.out = content.left(info.bomLength);
    std::vector<unsigned char> buffer;
    scanAndReplace(read, info.bomLength, matcher, sink, std::max<std::int64_t>(bufferSize, 1), nullptr, buffer);
    return sink.out;
}

ReplaceBatch::ReplaceBatch(ReplaceLimits limits) : limits_(limits)
{
    limits_.bufferSize = std::max<std::int64_t>(limits_.bufferSize, 1);
}

ReplaceBatch::~ReplaceBatch()
{
    finishCommit();
    for (const auto& prepared : prepared_)
        ::unlink(prepared.temporaryPath.constData());
}

void ReplaceBatch::applyFailures(const std::vector<std::pair<std::size_t, int>>& failures)
{
    for (const auto& [index, code] : failures) {
        FileResult& result = results_[index];
        result.outcome = FileOutcome::Failed;
        result.replacements = 0;
        result.error = FileError{code, result.path};
    }
}

void ReplaceBatch::replaceInFile(const Text& path, const ReplaceRequest& request)
{
    results_.push_back(FileResult{path, FileOutcome::Unchanged, 0, std::nullopt});
    const std::size_t index = results_.size() - 1;
    auto failWith = [&](int code) {
        results_[index].outcome = FileOutcome::Failed;
        results_[index].error = FileError{code, path};
    };
    if (wellFormedText(request.target).isEmpty())
        return;
    int error = 0;
    const auto resolved = resolvedPath(path, &error);
    if (!resolved)
        return failWith(error);
    // The same file reached by another path: let the earlier rewrite land
    // first, so that this one starts from its result.
    struct stat info {};
    if (::stat(resolved->constData(), &info) == 0) {
        const auto sameFile = [&](const Prepared& prepared) {
            return prepared.device == info.st_dev && prepared.inode == info.st_ino;
        };
        if (std::any_of(prepared_.begin(), prepared_.end(), sameFile)
            || std::any_of(committing_.begin(), committing_.end(), sameFile))
            flush();
    }
    // Opened for writing too, so that a file the user may not change is
    // reported instead of being replaced through its folder.
    OpenedFile opened = openFile(QFile::decodeName(*resolved), FileAccess::ReadWrite);
    if (opened.error)
        return failWith(opened.error->code);
    const int fd = opened.handle.fd();
    if (::fstat(fd, &info) != 0)
        return failWith(errno);
    fileSize_.store(info.st_size, std::memory_order_relaxed);
    bytesRead_.store(0, std::memory_order_relaxed);

    unsigned char head[3] = {};
    const std::int64_t headLength = preadFully(fd, reinterpret_cast<char*>(head), 3, 0);
    if (headLength < 0)
        return failWith(errno);
    const auto bom = encodingFromBom(QByteArrayView(head, headLength));

    RewriteSink sink(fd, info, *resolved);
    auto scan = [&](Encoding encoding, Utf8Validator* validator) {
        const Matcher matcher(request.target, request.replacement, encoding, request.caseSensitive);
        // The byte-order mark is no text: it is never part of a match, and the
        // copy up to the first match keeps it.
        const std::int64_t start = bom ? bom->bomLength : 0;
        std::int64_t offset = start;
        const ByteSource read = [&](unsigned char* buffer, std::int64_t count) -> std::int64_t {
            const std::int64_t got = preadFully(fd, reinterpret_cast<char*>(buffer), count, offset);
            if (got < 0)
                return -1;
            offset += got;
            bytesRead_.store(offset, std::memory_order_relaxed);
            return got;
        };
        // A small file needs no more window than itself (one byte more sees its end).
        const std::int64_t chunk = std::clamp<std::int64_t>(info.st_size - start + 1, 1, limits_.bufferSize);
        return scanAndReplace(read, start, matcher, sink, chunk, validator, scratch_);
    };
    ScanEnd end;
    if (bom) {
        end = scan(bom->encoding, nullptr);
    } else {
        Utf8Validator validator;
        end = scan(Encoding::Utf8, &validator);
        if (end == ScanEnd::NotUtf8) {
            sink.discard();
            end = scan(Encoding::Gb18030, nullptr);
        }
    }
    if (end != ScanEnd::Done) {
        const int code = errno;
        sink.discard();
        return failWith(code);
    }
    if (sink.replacements() == 0)
        return;
    if (!sink.finish()) {
        const int code = errno;
        sink.discard();
        return failWith(code);
    }
    results_[index].replacements = sink.replacements();
    if (sink.inPlace()) {
        sink.discard();
        results_[index].outcome = FileOutcome::Changed;
        return;
    }
    results_[index].outcome = FileOutcome::Changed;
    Prepared prepared;
    prepared.resultIndex = index;
    prepared.originalPath = *resolved;
    prepared.temporaryPath = sink.takeTemporary();
    prepared.device = info.st_dev;
    prepared.inode = info.st_ino;
    prepared.size = info.st_size;
    prepared.modifiedSeconds = info.st_mtim.tv_sec;
    prepared.modifiedNanoseconds = info.st_mtim.tv_nsec;
    prepared.newSize = sink.newSize();
    preparedBytes_ += prepared.newSize;
    prepared_.push_back(std::move(prepared));
    if (static_cast<int>(prepared_.size()) >= limits_.batchFiles || preparedBytes_ >= limits_.batchBytes)
        startCommit();
}

// The full batch is synced and renamed on a thread of its own while the next
// one is prepared: renames wait on the disk, preparing mostly does not.
void ReplaceBatch::startCommit()
{
    finishCommit();
    committing_ = std::move(prepared_);
    prepared_.clear();
    preparedBytes_ = 0;
    committer_ = std::thread([this] { commitFailures_ = commitBatch(committing_); });
}

void ReplaceBatch::finishCommit()
{
    if (committer_.joinable())
        committer_.join();
    applyFailures(commitFailures_);
    commitFailures_.clear();
    committing_.clear();
}

void ReplaceBatch::flush()
{
    finishCommit();
    std::vector<Prepared> batch = std::move(prepared_);
    prepared_.clear();
    preparedBytes_ = 0;
    applyFailures(commitBatch(batch));
}

std::vector<std::pair<std::size_t, int>> ReplaceBatch::commitBatch(const std::vector<Prepared>& batch)
{
    std::vector<std::pair<std::size_t, int>> failures;
    const auto fail = [&](const Prepared& prepared, int code) {
        ::unlink(prepared.temporaryPath.constData());
        failures.emplace_back(prepared.resultIndex, code);
    };
    if (batch.empty())
        return failures;

    // On disk before any of them replaces an original: one file is synced by
    // itself, many share one sync per file system.
    std::set<dev_t> unsynced;
    if (batch.size() == 1) {
        const int fd = ::open(batch.front().temporaryPath.constData(), O_RDONLY | O_CLOEXEC);
        const bool synced = fd >= 0 && ::fsync(fd) == 0;
        const int code = errno;
        if (fd >= 0)
            ::close(fd);
        if (!synced) {
            fail(batch.front(), code);
            return failures;
        }
    } else {
        std::set<dev_t> synced;
        for (const auto& prepared : batch) {
            if (synced.count(prepared.device) || unsynced.count(prepared.device))
                continue;
            const int fd = ::open(folderOf(prepared.temporaryPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0 && ::syncfs(fd) == 0)
                synced.insert(prepared.device);
            else
                unsynced.insert(prepared.device);
            if (fd >= 0)
                ::close(fd);
        }
    }
    for (const auto& prepared : batch) {
        if (unsynced.count(prepared.device)) {
            fail(prepared, EIO);
            continue;
        }
        // The original must still be the file whose content was read.
        struct stat now {};
        if (::stat(prepared.originalPath.constData(), &now) != 0) {
            fail(prepared, errno);
            continue;
        }
        if (now.st_dev != prepared.device || now.st_ino != prepared.inode || now.st_size != prepared.size
            || now.st_mtim.tv_sec != prepared.modifiedSeconds || now.st_mtim.tv_nsec != prepared.modifiedNanoseconds) {
            fail(prepared, ESTALE);
            continue;
        }
        if (::rename(prepared.temporaryPath.constData(), prepared.originalPath.constData()) != 0)
            fail(prepared, errno);
    }
    return failures;
}
