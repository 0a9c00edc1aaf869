#pragma once

// Small helpers for tests over real temporary files.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <unistd.h>

inline bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

inline QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every entry of a folder, hidden ones too, sorted: to see that nothing stray is left.
inline QStringList folderEntries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Acts as the unprivileged user "nobody" for the life of the object, so that
// permission bits mean something when the tests run as root (as CI does).
// Files and folders the test wants "nobody" to reach need modes that allow it.
class ScopedUnprivileged {
public:
    ScopedUnprivileged()
    {
        if (::geteuid() == 0) {
            active_ = ::setegid(65534) == 0 && ::seteuid(65534) == 0;
        }
    }
    ~ScopedUnprivileged()
    {
        if (active_) {
            [[maybe_unused]] int a = ::seteuid(0);
            [[maybe_unused]] int b = ::setegid(0);
        }
    }
    ScopedUnprivileged(const ScopedUnprivileged&) = delete;
    ScopedUnprivileged& operator=(const ScopedUnprivileged&) = delete;

    // False only when running as root and the switch failed.
    [[nodiscard]] bool ok() const { return active_ || ::geteuid() != 0; }

private:
    bool active_ = false;
};
