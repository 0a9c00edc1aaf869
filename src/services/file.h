#pragma once

#include "services/text.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>

// Why a file operation failed, kept as a value so the handler can tell the user.
struct FileError {
    int code = 0;  // errno
    Text path;     // the file the failure is about

    // A short Chinese explanation for the user, e.g. "磁盘空间不足".
    [[nodiscard]] Text reason() const;
};

// The Chinese explanation of an errno value.
Text describeError(int code);

// Which file an open handle or a path is, to notice that two paths name the
// same file (through links) or that a file was replaced behind our back.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

enum class FileAccess { Read, ReadWrite };

// An open file, closed when the handle goes away. An empty handle stands for
// "no file": every operation on it is harmless and gives an empty result.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
    explicit operator bool() const { return isOpen(); }
    [[nodiscard]] int fd() const { return fd_; }
    int release();
    void close();

    // A second, independent handle on the same open file (dup), so that a job
    // can keep the file for its whole run whatever happens to the original.
    [[nodiscard]] FileHandle duplicate() const;

private:
    int fd_ = -1;
};

struct OpenedFile {
    FileHandle handle;
    std::optional<FileError> error;
};

// Opens an existing file; the handle is empty and error set when it cannot be.
OpenedFile openFile(const Text& path, FileAccess access = FileAccess::Read);

// The file's length in bytes; 0 for an empty handle or a failure.
std::int64_t fileLength(const FileHandle& file);

// Reads at most `count` bytes at `offset`, retrying short reads; fewer bytes
// only at the end of the file. An empty buffer for an empty handle.
ByteBuffer readBytes(const FileHandle& file, std::int64_t offset, std::int64_t count);

// Reads up to `count` bytes at `offset`, going on after short reads and
// interruptions: fewer bytes only at the end of the file. -1, errno set, on failure.
std::int64_t preadFully(int fd, char* data, std::int64_t count, std::int64_t offset);

// Writes all `count` bytes at `offset` (at the file position when offset < 0),
// going on after short writes and interruptions. False, errno set, when the
// disk refuses; a write that makes no progress counts as a full disk (ENOSPC).
bool writeFully(int fd, const char* data, std::int64_t count, std::int64_t offset = -1);

std::optional<FileIdentity> fileIdentity(const FileHandle& file);
// The identity of the file a path leads to, links followed; nothing if none.
std::optional<FileIdentity> fileIdentity(const Text& path);

// The byte form of a path for system calls (the file system's own encoding).
QByteArray nativePath(const Text& path);
