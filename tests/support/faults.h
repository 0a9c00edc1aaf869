#pragma once

// Faults that real desktops produce, made on purpose for tests.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <csignal>
#include <cstdint>
#include <sys/mount.h>
#include <sys/resource.h>

// How many descriptors the process holds on files and folders in the
// temporary folder, where tests make everything they work on: a leak there is
// the program's. Descriptors elsewhere (sockets, pipes, and the folders Qt's
// own file-dialog threads scan) come and go on their own.
inline int openDescriptorCount()
{
    const QString temporary = QDir(QDir::tempPath()).canonicalPath() + u'/';
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = QFileInfo(fds.filePath(fd)).symLinkTarget();
        if (target.startsWith(temporary) && !target.contains(QStringLiteral("/runtime-")))
            ++count;
    }
    return count;
}

// How many of the process's descriptors are open on `path` (links resolved):
// steadier than the total, which Qt's own threads change at will.
inline int openDescriptorsTo(const QString& path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        if (QFileInfo(fds.filePath(fd)).symLinkTarget() == target)
            ++count;
    }
    return count;
}

// No file this process writes may grow past `bytes`: a write beyond gives EFBIG
// (SIGXFSZ is ignored, so the process is not killed), as a full disk would refuse it.
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(std::uint64_t bytes)
    {
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limited = previous_;
        limited.rlim_cur = bytes;
        active_ = ::setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~ScopedFileSizeLimit()
    {
        if (active_)
            ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
    ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;
    [[nodiscard]] bool ok() const { return active_; }

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = SIG_DFL;
    bool active_ = false;
};

// A small file system of its own (tmpfs), which really fills up. Needs the
// right to mount (root, outside a locked-down container); `ok()` says whether
// it could be made, `why()` why not.
class SmallTmpfs {
public:
    explicit SmallTmpfs(int kilobytes = 64)
    {
        if (!dir_.isValid()) {
            why_ = QStringLiteral("no temporary folder");
            return;
        }
        const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k,mode=0777";
        if (::mount("tmpfs", QFile::encodeName(dir_.path()).constData(), "tmpfs", 0, options.constData()) == 0)
            mounted_ = true;
        else
            why_ = QStringLiteral("mounting a tmpfs is not allowed here (%1)").arg(QString::fromLocal8Bit(strerror(errno)));
    }
    ~SmallTmpfs()
    {
        if (mounted_)
            ::umount2(QFile::encodeName(dir_.path()).constData(), MNT_DETACH);
    }
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;

    [[nodiscard]] bool ok() const { return mounted_; }
    [[nodiscard]] QString why() const { return why_; }
    [[nodiscard]] QString path() const { return dir_.path(); }
    [[nodiscard]] QString filePath(const QString& name) const { return dir_.filePath(name); }

private:
    QTemporaryDir dir_;
    bool mounted_ = false;
    QString why_;
};
