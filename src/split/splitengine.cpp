#include "split/splitengine.h"

#include <QDir>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

std::int64_t nominalPartSize(std::int64_t length, std::int32_t parts)
{
    if (parts < 1 || length <= 0)
        return 0;
    const std::int64_t quotient = length / parts;
    const std::int64_t remainder = length % parts;
    // A remainder of at least half a part rounds up: halves go away from zero.
    return quotient + (remainder >= parts - remainder ? 1 : 0);
}

namespace {

constexpr std::int64_t gbScanWindow = 4096;       // how far back to look for a byte below 0x30
constexpr std::int64_t forwardParseChunk = 1 << 20;

bool isUtf8Continuation(unsigned char byte)
{
    return byte >= 0x80 && byte <= 0xBF;
}

// Parses characters forward from `from`, a known character start, and gives
// the start of the one that holds byte `position`. Memory stays at one chunk.
std::optional<std::int64_t> parseForwardTo(Encoding encoding, std::int64_t length, std::int64_t from,
                                           std::int64_t position, const ByteReader& read)
{
    std::int64_t at = from;
    for (;;) {
        const std::int64_t chunkEnd = std::min(length, at + forwardParseChunk);
        const auto chunk = read(at, chunkEnd - at);
        if (!chunk)
            return std::nullopt;
        const auto* data = reinterpret_cast<const unsigned char*>(chunk->constData());
        const std::int64_t base = at;
        // A character starting in the last three bytes may go on past the
        // chunk: read it again with the next chunk unless the file ends here.
        const std::int64_t complete = chunkEnd == length ? chunkEnd : chunkEnd - 3;
        while (at < complete) {
            const int characterBytes = characterLength(encoding, data + (at - base), chunkEnd - at);
            if (at + characterBytes > position)
                return at;
            at += characterBytes;
        }
    }
}

}  // namespace

std::optional<std::int64_t> characterStartAtOrBefore(EncodingInfo encoding, std::int64_t length,
                                                     std::int64_t position, std::int64_t floor,
                                                     const ByteReader& read)
{
    if (position >= length)
        return length;
    if (position <= floor)
        return floor;

    const bool utf16 = encoding.encoding == Encoding::Utf16LE || encoding.encoding == Encoding::Utf16BE;
    const std::int64_t bom = encoding.bomLength;
    if (position < bom)
        return floor;  // inside the byte-order mark, which is one character starting at 0

    const std::int64_t lookBack = encoding.encoding == Encoding::Gb18030 ? gbScanWindow : 4;
    const std::int64_t low = std::max(floor, position - lookBack - 2);
    const std::int64_t high = std::min(length, position + 4);
    const auto window = read(low, high - low);
    if (!window)
        return std::nullopt;
    const auto* bytes = reinterpret_cast<const unsigned char*>(window->constData());
    auto byteAt = [&](std::int64_t offset) { return bytes[offset - low]; };

    std::int64_t start = position;
    if (utf16) {
        const bool little = encoding.encoding == Encoding::Utf16LE;
        auto unitAt = [&](std::int64_t offset) -> unsigned {
            return little ? unsigned(byteAt(offset)) | unsigned(byteAt(offset + 1)) << 8
                          : unsigned(byteAt(offset)) << 8 | unsigned(byteAt(offset + 1));
        };
        // Code units sit at even distances from the end of the byte-order mark.
        start = bom + (position - bom) / 2 * 2;
        if (start + 2 <= length && start - 2 >= std::max(floor, bom)) {
            const unsigned unit = unitAt(start);
            const unsigned before = unitAt(start - 2);
            // A low surrogate after a high one is the second half of one character;
            // a high surrogate is never a second half, so one step back is enough.
            if (unit >= 0xDC00 && unit <= 0xDFFF && before >= 0xD800 && before <= 0xDBFF)
                start -= 2;
            else if (unit == 0x0A && before == 0x0D)
                start -= 2;
        }
        return std::max(start, floor);
    }

    // Find a place from which a forward parse is in step with one from the
    // start of the file, then parse to the character holding `position`.
    std::optional<std::int64_t> inStep;
    if (encoding.encoding == Encoding::Gb18030) {
        // A byte below 0x30 is never inside a two- or four-byte character.
        for (std::int64_t at = position; at >= low; --at) {
            if (isGb18030SingleByte(byteAt(at))) {
                inStep = at;
                break;
            }
        }
        if (!inStep && low == floor)
            inStep = floor;
        if (!inStep) {
            const auto parsed = parseForwardTo(encoding.encoding, length, floor, position, read);
            if (!parsed)
                return std::nullopt;
            start = *parsed;
        }
    } else {
        // Every byte that is not a continuation byte starts a character, and a
        // character is at most four bytes long.
        for (std::int64_t at = position; at >= std::max(low, position - 3); --at) {
            if (!isUtf8Continuation(byteAt(at))) {
                inStep = at;
                break;
            }
        }
        if (!inStep && std::max(low, position - 3) == floor)
            inStep = floor;
        // No lead byte within reach: the byte at `position` stands alone.
    }
    if (inStep) {
        start = *inStep;
        for (;;) {
            const int characterBytes = characterLength(encoding.encoding, bytes + (start - low), high - start);
            if (start + characterBytes > position)
                break;
            start += characterBytes;
        }
    }

    // CR and LF are one-byte characters in both UTF-8 and GB18030.
    if (start > floor && start - 1 >= low && byteAt(start) == 0x0A && byteAt(start - 1) == 0x0D)
        --start;
    return std::max(start, floor);
}

CutPlanner::CutPlanner(EncodingInfo encoding, std::int64_t length, std::int32_t parts, ByteReader read)
    : encoding_(encoding),
      length_(length),
      parts_(parts),
      partSize_(nominalPartSize(length, parts)),
      read_(std::move(read))
{
}

std::optional<std::int64_t> CutPlanner::nextCut()
{
    ++planned_;
    if (planned_ >= parts_) {
        previous_ = length_;
        return length_;
    }
    // planned_ < parts_ and partSize_ <= length / parts + 1 keep this product in range.
    const std::int64_t aim = std::min(std::int64_t{planned_} * partSize_, length_);
    const auto cut = characterStartAtOrBefore(encoding_, length_, aim, previous_, read_);
    if (!cut)
        return std::nullopt;
    previous_ = *cut;
    return previous_;
}

std::optional<std::vector<std::int64_t>> planCuts(EncodingInfo encoding, std::int64_t length, std::int32_t parts,
                                                  const ByteReader& read)
{
    std::vector<std::int64_t> cuts{0};
    CutPlanner planner(encoding, length, parts, read);
    for (std::int32_t i = 0; i < parts; ++i) {
        const auto cut = planner.nextCut();
        if (!cut)
            return std::nullopt;
        cuts.push_back(*cut);
    }
    return cuts;
}

Text partPath(const Text& folder, std::int64_t index)
{
    return concatTexts(folder, Text(QDir::separator()), toText(index), QStringLiteral(".txt"));
}

namespace {

constexpr std::int64_t copyChunk = 16 << 20;  // per call, so that progress and cancel stay responsive
constexpr std::int64_t bufferSize = 1 << 20;  // the buffered copy reads this much at a time
constexpr std::int64_t checkChunk = 256 << 10;  // small enough to stay in cache between the read and the check

// The hidden names a split uses in the destination folder besides i.txt.
class PartNames {
public:
    PartNames()
    {
        stem_ = ".splitreplace-" + QByteArray::number(::getpid()) + "-" +
                QByteArray::number(QRandomGenerator::system()->generate64(), 36) + "-";
    }
    [[nodiscard]] QByteArray final(std::int64_t index) const { return QByteArray::number(index) + ".txt"; }
    [[nodiscard]] QByteArray temporary(std::int64_t index) const { return stem_ + QByteArray::number(index) + ".tmp"; }
    // Where an earlier i.txt waits until the new set is in place, so that a
    // failure while renaming can put it back.
    [[nodiscard]] QByteArray backup(std::int64_t index) const { return stem_ + QByteArray::number(index) + ".old"; }

private:
    QByteArray stem_;
};

enum class Utf8Check { Pending, Valid, Invalid, ReadFailed };

// Why a copy stopped, when it did not complete.
enum class CopyStop { None, Cancelled, EncodingChanged, Failed };

class SplitJob {
public:
    explicit SplitJob(SplitRequest& request) : request_(request) {}

    SplitResult run();

private:
    SplitResult fail(SplitOutcome outcome, int code, const Text& path)
    {
        SplitResult result;
        result.outcome = outcome;
        result.error = FileError{code, path};
        result.encoding = encoding_.encoding;
        return result;
    }
    [[nodiscard]] bool cancelled() const { return request_.cancel && request_.cancel->load(); }
    std::optional<ByteBuffer> readSource(std::int64_t offset, std::int64_t count);
    ByteReader sourceReader()
    {
        return [this](std::int64_t offset, std::int64_t count) { return readSource(offset, count); };
    }
    SplitResult sourceFailure()
    {
        return sourceShrank_ ? fail(SplitOutcome::SourceChanged, 0, request_.sourcePath)
                             : fail(SplitOutcome::SourceUnreadable, readError_, request_.sourcePath);
    }
    std::optional<SplitResult> checkPartPaths();
    std::optional<EncodingInfo> checkUtf8(Utf8Validator& validator, std::int64_t from, std::int64_t to,
                                          const std::atomic<bool>* stop, int& readError, bool& shrank);
    [[nodiscard]] bool encodingTurnedOut() const { return speculating_ && utf8Check_ == Utf8Check::Invalid; }
    CopyStop writeParts(EncodingInfo encoding, SplitResult& failure);
    bool copyRange(int target, std::int64_t from, std::int64_t to, std::int64_t index, SplitResult& failure);
    bool copySegment(int target, std::int64_t from, std::int64_t to, std::int64_t index, SplitResult& failure);
    void removeTemporaries();
    std::optional<SplitResult> commit();
    bool sameCuts(EncodingInfo a, EncodingInfo b);

    SplitRequest& request_;
    int source_ = -1;
    std::int64_t length_ = 0;
    FileIdentity sourceIdentity_;
    FileHandle folder_;
    PartNames names_;
    EncodingInfo encoding_;
    std::int64_t created_ = 0;  // temporaries made so far, 1 ... created_
    std::int64_t copied_ = 0;
    bool useCopyFileRange_ = true;
    bool speculating_ = false;
    bool findHoles_ = true;
    int readError_ = 0;
    bool sourceShrank_ = false;
    int backgroundReadError_ = 0;  // the background check's own, read after it is joined
    bool backgroundShrank_ = false;
    ByteBuffer buffer_;
    std::atomic<Utf8Check> utf8Check_{Utf8Check::Pending};
};

std::optional<ByteBuffer> SplitJob::readSource(std::int64_t offset, std::int64_t count)
{
    ByteBuffer bytes(count, Qt::Uninitialized);
    const std::int64_t got = preadFully(source_, bytes.data(), count, offset);
    if (got < 0) {
        readError_ = errno;
        return std::nullopt;
    }
    if (got < count) {
        sourceShrank_ = true;
        return std::nullopt;
    }
    return bytes;
}

// Before anything is written: no part path may be the source or a folder.
std::optional<SplitResult> SplitJob::checkPartPaths()
{
    for (std::int64_t i = 1; i <= request_.parts; ++i) {
        if ((i & 1023) == 0 && cancelled())
            return fail(SplitOutcome::Cancelled, 0, {});
        struct stat info {};
        if (::fstatat(folder_.fd(), names_.final(i).constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(info.st_mode))
            return fail(SplitOutcome::PartNotWritten, EISDIR, partPath(request_.folder, i));
        // Links are followed here: a link to the source is the source.
        if (::fstatat(folder_.fd(), names_.final(i).constData(), &info, 0) == 0 &&
            FileIdentity{info.st_dev, info.st_ino} == sourceIdentity_)
            return fail(SplitOutcome::PartIsSource, 0, partPath(request_.folder, i));
    }
    return std::nullopt;
}

// Feeds bytes [from, to) of the source to the validator. Nothing when the
// check was stopped or reading failed (then utf8Check_ says which).
std::optional<EncodingInfo> SplitJob::checkUtf8(Utf8Validator& validator, std::int64_t from, std::int64_t to,
                                                const std::atomic<bool>* stop, int& readError, bool& shrank)
{
    ByteBuffer chunk(std::min(checkChunk, std::max<std::int64_t>(to - from, 0)), Qt::Uninitialized);
    for (std::int64_t at = from; at < to;) {
        if (cancelled() || (stop && stop->load()))
            return std::nullopt;
        const std::int64_t count = std::min(checkChunk, to - at);
        ssize_t got = ::pread(source_, chunk.data(), count, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got < 0)
                readError = errno;
            else
                shrank = true;
            utf8Check_ = Utf8Check::ReadFailed;
            return std::nullopt;
        }
        if (!validator.feed(QByteArrayView(chunk.constData(), got))) {
            utf8Check_ = Utf8Check::Invalid;
            return EncodingInfo{Encoding::Gb18030, 0};
        }
        at += got;
    }
    if (to < length_)
        return EncodingInfo{Encoding::Utf8, 0};  // valid so far; the caller goes on
    const bool valid = validator.finish();
    utf8Check_ = valid ? Utf8Check::Valid : Utf8Check::Invalid;
    return EncodingInfo{valid ? Encoding::Utf8 : Encoding::Gb18030, 0};
}

// Copies the data of [from, to) into `target`, which starts empty. Holes of a
// sparse source stay holes: they read as zeros and take no disk space.
bool SplitJob::copyRange(int target, std::int64_t from, std::int64_t to, std::int64_t index, SplitResult& failure)
{
    std::int64_t offset = from;
    while (offset < to) {
        std::int64_t dataStart = offset;
        std::int64_t dataEnd = to;
        if (findHoles_) {
            const off_t data = ::lseek(source_, offset, SEEK_DATA);
            if (data >= 0) {
                dataStart = std::min<std::int64_t>(data, to);
                const off_t hole = ::lseek(source_, dataStart, SEEK_HOLE);
                if (hole >= 0)
                    dataEnd = std::min<std::int64_t>(hole, to);
            } else if (errno == ENXIO) {
                dataStart = to;  // only a hole is left before the end
            } else {
                findHoles_ = false;  // the file system cannot tell: copy every byte
            }
        }
        if (dataStart > offset) {
            copied_ += dataStart - offset;
            if (request_.progress)
                request_.progress(copied_, length_);
        }
        if (dataStart < dataEnd) {
            if (::lseek(target, dataStart - from, SEEK_SET) < 0) {
                failure = fail(SplitOutcome::PartNotWritten, errno, partPath(request_.folder, index));
                return false;
            }
            if (!copySegment(target, dataStart, dataEnd, index, failure))
                return false;
        }
        offset = dataEnd;
    }
    // A hole at the end of the part makes the file longer without writing.
    struct stat info {};
    if (::fstat(target, &info) != 0 || (info.st_size < to - from && ::ftruncate(target, to - from) != 0)) {
        failure = fail(SplitOutcome::PartNotWritten, errno, partPath(request_.folder, index));
        return false;
    }
    return true;
}

bool SplitJob::copySegment(int target, std::int64_t from, std::int64_t to, std::int64_t index, SplitResult& failure)
{
    const Text path = partPath(request_.folder, index);
    off_t offset = from;
    while (offset < to && useCopyFileRange_) {
        const ssize_t copied = ::copy_file_range(source_, &offset, target, nullptr, std::min(copyChunk, to - offset), 0);
        if (copied > 0) {
            copied_ += copied;
            if (request_.progress)
                request_.progress(copied_, length_);
            if (cancelled() || encodingTurnedOut())
                return false;
            continue;
        }
        if (copied == 0) {
            failure = fail(SplitOutcome::SourceChanged, 0, request_.sourcePath);
            return false;
        }
        if (errno == EINTR)
            continue;
        // Some file systems and kernels cannot copy between these two files;
        // for any other error the buffered copy below tells which side failed.
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == ENOTSUP ||
            errno == EBADF || errno == EPERM)
            useCopyFileRange_ = false;
        break;
    }
    while (offset < to) {
        if (buffer_.isEmpty())
            buffer_.resize(bufferSize);
        const std::int64_t count = std::min(bufferSize, to - std::int64_t{offset});
        ssize_t got = ::pread(source_, buffer_.data(), count, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            failure = got == 0 ? fail(SplitOutcome::SourceChanged, 0, request_.sourcePath)
                               : fail(SplitOutcome::SourceUnreadable, errno, request_.sourcePath);
            return false;
        }
        if (!writeFully(target, buffer_.constData(), got)) {
            failure = fail(SplitOutcome::PartNotWritten, errno, path);
            return false;
        }
        offset += got;
        copied_ += got;
        if (request_.progress)
            request_.progress(copied_, length_);
        if (cancelled() || encodingTurnedOut())
            return false;
    }
    return true;
}

CopyStop SplitJob::writeParts(EncodingInfo encoding, SplitResult& failure)
{
    // UTF-8 cuts while the check still runs: stop as soon as it fails.
    speculating_ = encoding.encoding == Encoding::Utf8 && utf8Check_ == Utf8Check::Pending;
    auto stopReason = [&]() {
        if (cancelled())
            return CopyStop::Cancelled;
        if (encodingTurnedOut())
            return CopyStop::EncodingChanged;
        return CopyStop::Failed;
    };
    copied_ = 0;
    CutPlanner planner(encoding, length_, request_.parts, sourceReader());
    std::int64_t start = 0;
    for (std::int64_t i = 1; i <= request_.parts; ++i) {
        if (cancelled())
            return CopyStop::Cancelled;
        const auto end = planner.nextCut();
        if (!end) {
            failure = sourceFailure();
            return CopyStop::Failed;
        }
        // A new file gets 0666 less the umask, as any new file would.
        const int fd = ::openat(folder_.fd(), names_.temporary(i).constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd < 0) {
            failure = fail(SplitOutcome::PartNotWritten, errno, partPath(request_.folder, i));
            return CopyStop::Failed;
        }
        created_ = i;
        FileHandle part(fd);
        const bool copiedAll = copyRange(part.fd(), start, *end, i, failure);
        if (!copiedAll)
            return failure.failed() ? CopyStop::Failed : stopReason();
        // Some file systems report a failed write only when the file is closed.
        if (::close(part.release()) != 0) {
            failure = fail(SplitOutcome::PartNotWritten, errno, partPath(request_.folder, i));
            return CopyStop::Failed;
        }
        start = *end;
    }
    return CopyStop::None;
}

void SplitJob::removeTemporaries()
{
    for (std::int64_t i = 1; i <= created_; ++i)
        ::unlinkat(folder_.fd(), names_.temporary(i).constData(), 0);
    created_ = 0;
}

// Puts the complete set in place. An earlier i.txt is moved aside first and
// removed only once every part is in place, so any failure can be undone.
std::optional<SplitResult> SplitJob::commit()
{
    const int folder = folder_.fd();
    auto undo = [&](std::int64_t upTo) {
        for (std::int64_t j = upTo; j >= 1; --j) {
            struct stat info {};
            if (::fstatat(folder, names_.backup(j).constData(), &info, AT_SYMLINK_NOFOLLOW) == 0)
                ::renameat(folder, names_.backup(j).constData(), folder, names_.final(j).constData());
            else
                ::unlinkat(folder, names_.final(j).constData(), 0);
        }
    };
    for (std::int64_t i = 1; i <= request_.parts; ++i) {
        struct stat info {};
        const bool hadEarlier = ::fstatat(folder, names_.final(i).constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
        int error = 0;
        if (hadEarlier && S_ISDIR(info.st_mode))
            error = EISDIR;
        else if (hadEarlier && ::renameat(folder, names_.final(i).constData(), folder, names_.backup(i).constData()) != 0)
            error = errno;
        else if (::renameat(folder, names_.temporary(i).constData(), folder, names_.final(i).constData()) != 0) {
            error = errno;
            if (hadEarlier)
                ::renameat(folder, names_.backup(i).constData(), folder, names_.final(i).constData());
        }
        if (error != 0) {
            undo(i - 1);
            for (std::int64_t j = i; j <= request_.parts; ++j)
                ::unlinkat(folder, names_.temporary(j).constData(), 0);
            created_ = 0;
            return fail(SplitOutcome::PartNotWritten, error, partPath(request_.folder, i));
        }
    }
    created_ = 0;
    for (std::int64_t i = 1; i <= request_.parts; ++i)
        ::unlinkat(folder, names_.backup(i).constData(), 0);
    return std::nullopt;
}

bool SplitJob::sameCuts(EncodingInfo a, EncodingInfo b)
{
    CutPlanner first(a, length_, request_.parts, sourceReader());
    CutPlanner second(b, length_, request_.parts, sourceReader());
    for (std::int64_t i = 1; i <= request_.parts; ++i) {
        const auto x = first.nextCut();
        const auto y = second.nextCut();
        if (!x || !y || *x != *y)
            return false;
    }
    return true;
}

SplitResult SplitJob::run()
{
    if (!request_.source)
        return fail(SplitOutcome::NoSource, 0, request_.sourcePath);
    source_ = request_.source.fd();
    struct stat sourceInfo {};
    if (::fstat(source_, &sourceInfo) != 0)
        return fail(SplitOutcome::SourceUnreadable, errno, request_.sourcePath);
    if (!S_ISREG(sourceInfo.st_mode))
        return fail(SplitOutcome::SourceUnreadable, ENXIO, request_.sourcePath);
    length_ = sourceInfo.st_size;
    sourceIdentity_ = FileIdentity{sourceInfo.st_dev, sourceInfo.st_ino};
    if (request_.parts < 1)
        return fail(SplitOutcome::PartNotWritten, EINVAL, request_.folder);

    const int folder = ::open(nativePath(request_.folder).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return fail(SplitOutcome::PartNotWritten, errno, request_.folder);
    folder_ = FileHandle(folder);
    if (auto refused = checkPartPaths())
        return *refused;

    // The encoding: a byte-order mark, else UTF-8 if the whole file is valid, else GB18030.
    std::optional<ByteBuffer> head = readSource(0, std::min<std::int64_t>(length_, 3));
    if (!head)
        return sourceFailure();
    Utf8Validator validator;
    std::thread background;
    std::atomic<bool> stopBackground{false};
    if (auto bom = encodingFromBom(*head)) {
        encoding_ = *bom;
        utf8Check_ = Utf8Check::Valid;
    } else {
        // A small file, or the head of a large one, is checked before copying;
        // a GBK file nearly always fails within its first bytes.
        const std::int64_t first = length_ <= request_.tuning.checkFirstLimit
                                       ? length_
                                       : std::min(length_, request_.tuning.headCheckLength);
        const auto checked = checkUtf8(validator, 0, first, nullptr, readError_, sourceShrank_);
        if (!checked) {
            if (cancelled())
                return fail(SplitOutcome::Cancelled, 0, {});
            return sourceFailure();
        }
        encoding_ = *checked;
        if (first < length_ && utf8Check_ == Utf8Check::Pending) {
            // The rest is checked beside the copy, which goes ahead on UTF-8
            // cuts; in the rare case the check fails, the parts are made again.
            background = std::thread([this, &validator, first, &stopBackground] {
                checkUtf8(validator, first, length_, &stopBackground, backgroundReadError_, backgroundShrank_);
            });
        }
    }
    auto finishBackground = [&] {
        if (background.joinable()) {
            stopBackground = true;
            background.join();
        }
    };

    for (;;) {
        SplitResult failure;
        CopyStop stop = writeParts(encoding_, failure);
        if (stop == CopyStop::None && background.joinable()) {
            background.join();  // the copy is done; wait for the verdict
            if (utf8Check_ == Utf8Check::Invalid && !sameCuts(encoding_, EncodingInfo{Encoding::Gb18030, 0}))
                stop = CopyStop::EncodingChanged;
            if (utf8Check_ == Utf8Check::Invalid)
                encoding_ = EncodingInfo{Encoding::Gb18030, 0};
        }
        if (stop == CopyStop::None && utf8Check_ == Utf8Check::ReadFailed) {
            stop = CopyStop::Failed;
            readError_ = backgroundReadError_;
            sourceShrank_ = backgroundShrank_;
            failure = sourceFailure();
        }
        if (stop == CopyStop::EncodingChanged) {
            finishBackground();
            removeTemporaries();
            encoding_ = EncodingInfo{Encoding::Gb18030, 0};
            continue;
        }
        finishBackground();
        if (stop == CopyStop::Cancelled) {
            removeTemporaries();
            return fail(SplitOutcome::Cancelled, 0, {});
        }
        if (stop == CopyStop::Failed) {
            removeTemporaries();
            failure.encoding = encoding_.encoding;
            return failure;
        }
        break;
    }
    if (cancelled()) {
        removeTemporaries();
        return fail(SplitOutcome::Cancelled, 0, {});
    }
    if (auto failed = commit())
        return *failed;
    SplitResult done;
    done.encoding = encoding_.encoding;
    return done;
}

}  // namespace

SplitResult runSplit(SplitRequest request)
{
    SplitJob job(request);
    return job.run();
}
