#include "services/file.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Text describeError(int code)
{
    switch (code) {
    case 0:
        return QStringLiteral("未知错误");
    case ENOENT:
        return QStringLiteral("文件或文件夹不存在");
    case ENOTDIR:
        return QStringLiteral("路径中有一段不是文件夹");
    case EACCES:
    case EPERM:
        return QStringLiteral("没有访问权限");
    case ENOSPC:
    case EDQUOT:
        return QStringLiteral("磁盘空间不足");
    case EFBIG:
        return QStringLiteral("文件超出了允许的大小");
    case EISDIR:
        return QStringLiteral("这是一个文件夹，不是文件");
    case EROFS:
        return QStringLiteral("磁盘是只读的");
    case EIO:
        return QStringLiteral("读写磁盘时出错");
    case EBUSY:
    case ETXTBSY:
        return QStringLiteral("文件正被其他程序使用");
    case ENAMETOOLONG:
        return QStringLiteral("文件名太长");
    case EMFILE:
    case ENFILE:
        return QStringLiteral("同时打开的文件太多");
    case ELOOP:
        return QStringLiteral("符号链接层数太多");
    case ENXIO:
    case ENODEV:
        return QStringLiteral("这不是普通文件");
    case ESTALE:
        return QStringLiteral("文件在处理期间被其他程序改动");
    default:
        return QStringLiteral("系统错误：%1").arg(QString::fromLocal8Bit(std::strerror(code)));
    }
}

Text FileError::reason() const
{
    // Qt shows bytes of a file name that are not UTF-8 as U+FFFD, and that name
    // leads to no file (or to another): "missing" would puzzle a user who sees
    // the file in the folder.
    if (code == ENOENT && path.contains(QChar::ReplacementCharacter))
        return QStringLiteral("名称中含有无法识别的字节（不是 UTF-8 编码），本程序无法打开它，请先给它改个名字");
    return describeError(code);
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

FileHandle::~FileHandle()
{
    close();
}

int FileHandle::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void FileHandle::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

FileHandle FileHandle::duplicate() const
{
    if (fd_ < 0)
        return {};
    return FileHandle(::fcntl(fd_, F_DUPFD_CLOEXEC, 0));
}

QByteArray nativePath(const Text& path)
{
    return QFile::encodeName(path);
}

OpenedFile openFile(const Text& path, FileAccess access)
{
    const int flags = (access == FileAccess::Read ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NOCTTY;
    // O_NONBLOCK keeps a FIFO from hanging the program; it means nothing for regular files.
    const int fd = ::open(nativePath(path).constData(), flags | O_NONBLOCK);
    if (fd < 0)
        return {FileHandle(), FileError{errno, path}};
    FileHandle handle(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return {FileHandle(), FileError{errno, path}};
    if (S_ISDIR(info.st_mode))
        return {FileHandle(), FileError{EISDIR, path}};
    if (!S_ISREG(info.st_mode))
        return {FileHandle(), FileError{ENXIO, path}};
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return {std::move(handle), std::nullopt};
}

std::int64_t fileLength(const FileHandle& file)
{
    struct stat info {};
    if (!file || ::fstat(file.fd(), &info) != 0)
        return 0;
    return info.st_size;
}

ByteBuffer readBytes(const FileHandle& file, std::int64_t offset, std::int64_t count)
{
    ByteBuffer bytes;
    if (!file || count <= 0 || offset < 0)
        return bytes;
    bytes.resize(count);
    bytes.truncate(std::max<std::int64_t>(preadFully(file.fd(), bytes.data(), count, offset), 0));
    return bytes;
}

std::int64_t preadFully(int fd, char* data, std::int64_t count, std::int64_t offset)
{
    std::int64_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(fd, data + done, static_cast<std::size_t>(count - done), offset + done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

bool writeFully(int fd, const char* data, std::int64_t count, std::int64_t offset)
{
    while (count > 0) {
        // Linux writes at most about 2 GiB at a time anyway.
        const auto chunk = static_cast<std::size_t>(std::min<std::int64_t>(count, std::int64_t{1} << 30));
        const ssize_t n = offset < 0 ? ::write(fd, data, chunk) : ::pwrite(fd, data, chunk, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        data += n;
        count -= n;
        if (offset >= 0)
            offset += n;
    }
    return true;
}

std::optional<FileIdentity> fileIdentity(const FileHandle& file)
{
    struct stat info {};
    if (!file || ::fstat(file.fd(), &info) != 0)
        return std::nullopt;
    return FileIdentity{info.st_dev, info.st_ino};
}

std::optional<FileIdentity> fileIdentity(const Text& path)
{
    struct stat info {};
    if (::stat(nativePath(path).constData(), &info) != 0)
        return std::nullopt;
    return FileIdentity{info.st_dev, info.st_ino};
}
