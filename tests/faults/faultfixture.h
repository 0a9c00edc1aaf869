#pragma once

// What the fault tests share: exact pictures of folders, odd kinds of files,
// and sparse files, all made and read with the POSIX calls so that names that
// are not valid UTF-8 are handled byte for byte.

#include "faults.h"
#include "testfiles.h"

#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QString>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

inline QByteArray raw(const QString& path)
{
    return QFile::encodeName(path);
}

// Every entry of a folder with what it is: a regular file's bytes, a link's
// target, or its kind. Hidden entries count, so a stray temporary shows.
using FolderSnapshot = QMap<QByteArray, QByteArray>;

inline FolderSnapshot snapshotRaw(const QByteArray& folder)
{
    FolderSnapshot picture;
    DIR* listing = ::opendir(folder.constData());
    if (!listing)
        return {{"<unreadable folder>", QByteArray::number(errno)}};
    while (dirent* entry = ::readdir(listing)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray path = folder + '/' + name;
        struct stat info {};
        if (::lstat(path.constData(), &info) != 0) {
            picture[name] = "<gone>";
        } else if (S_ISLNK(info.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(path.constData(), target, sizeof target);
            picture[name] = "link:" + QByteArray(target, n > 0 ? n : 0);
        } else if (S_ISREG(info.st_mode)) {
            QByteArray bytes;
            const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
            char chunk[65536];
            for (ssize_t n; fd >= 0 && (n = ::read(fd, chunk, sizeof chunk)) > 0;)
                bytes.append(chunk, n);
            if (fd >= 0)
                ::close(fd);
            picture[name] = "file:" + bytes;
        } else {
            picture[name] = "kind:" + QByteArray::number(info.st_mode & S_IFMT, 8);
        }
    }
    ::closedir(listing);
    return picture;
}

inline FolderSnapshot snapshot(const QString& folder)
{
    return snapshotRaw(raw(folder));
}

// The hidden names either job gives its temporary files, found in a folder
// that others share (such as the system's temporary folder).
inline QStringList temporariesIn(const QString& folder)
{
    QStringList found;
    DIR* listing = ::opendir(raw(folder).constData());
    while (dirent* entry = listing ? ::readdir(listing) : nullptr) {
        const QByteArray name(entry->d_name);
        if (name.startsWith('.') && (name.contains(".sr-") || name.startsWith(".splitreplace-")))
            found << QString::fromUtf8(name);
    }
    if (listing)
        ::closedir(listing);
    found.sort();
    return found;
}

inline bool setMode(const QString& path, mode_t mode)
{
    return ::chmod(raw(path).constData(), mode) == 0;
}

inline bool giveTo(const QString& path, uid_t user, gid_t group)
{
    return ::lchown(raw(path).constData(), user, group) == 0;
}

inline bool makeFifo(const QString& path)
{
    return ::mkfifo(raw(path).constData(), 0666) == 0;
}

inline bool makeLink(const QString& target, const QString& link)
{
    return ::symlink(raw(target).constData(), raw(link).constData()) == 0;
}

inline bool makeHardLink(const QString& existing, const QString& extra)
{
    return ::link(raw(existing).constData(), raw(extra).constData()) == 0;
}

inline bool writeRaw(const QByteArray& path, const QByteArray& bytes)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, bytes.constData(), bytes.size()) == bytes.size();
    return ::close(fd) == 0 && written;
}

struct PathInfo {
    bool exists = false;
    bool isLink = false;
    dev_t device = 0;
    ino_t inode = 0;
    nlink_t links = 0;
    std::int64_t size = 0;
    std::int64_t allocated = 0;  // bytes the file system really holds for it
};

// About the entry itself: a link is not followed.
inline PathInfo pathInfo(const QString& path)
{
    struct stat info {};
    if (::lstat(raw(path).constData(), &info) != 0)
        return {};
    return {true, S_ISLNK(info.st_mode), info.st_dev, info.st_ino, info.st_nlink, info.st_size,
            std::int64_t{info.st_blocks} * 512};
}

// A file of `size` bytes that holds `pieces` (offset, bytes) and holes between
// them; false when the file system cannot keep the holes (then a test of a
// huge file would fill the disk).
inline bool makeSparse(const QString& path, std::int64_t size, const QList<QPair<std::int64_t, QByteArray>>& pieces)
{
    const int fd = ::open(raw(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::ftruncate(fd, size) == 0;
    for (const auto& [offset, bytes] : pieces)
        ok = ok && ::pwrite(fd, bytes.constData(), bytes.size(), offset) == bytes.size();
    ok = ::close(fd) == 0 && ok;
    return ok && pathInfo(path).allocated < size / 16;
}

// `count` bytes of the file at `offset` (fewer at its end).
inline QByteArray bytesAt(const QString& path, std::int64_t offset, std::int64_t count)
{
    QByteArray bytes(count, '\0');
    const int fd = ::open(raw(path).constData(), O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd >= 0 ? ::pread(fd, bytes.data(), count, offset) : -1;
    if (fd >= 0)
        ::close(fd);
    bytes.truncate(n > 0 ? n : 0);
    return bytes;
}
