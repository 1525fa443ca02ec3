#include "tool/FileSystem.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace FileSystem {

namespace {

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

} // namespace

MegaError error(const QString &action, const QString &path)
{
    return MegaError{QStringLiteral("%1 %2: %3").arg(action, path, QString::fromLocal8Bit(std::strerror(errno))),
                     FailureKind::disk, std::nullopt};
}

bool exists(const QString &path)
{
    struct stat status;
    return ::lstat(native(path).constData(), &status) == 0;
}

void removeQuietly(const QString &path)
{
    ::unlink(native(path).constData());
}

MegaResult<int> openRegularFile(const QString &path, int flags)
{
    const int fd = ::open(native(path).constData(), flags | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return error(QStringLiteral("Could not open"), path);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return MegaError{QStringLiteral("Could not open %1: it is not a regular file.").arg(path), FailureKind::disk,
                         std::nullopt};
    }
    return fd;
}

std::optional<qint64> freeSpace(const QString &path)
{
    struct statvfs status {};
    if (::statvfs(native(path).constData(), &status) != 0)
        return std::nullopt;
    return static_cast<qint64>(status.f_bavail) * static_cast<qint64>(status.f_frsize);
}

bool writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

void startWriteback(int fd, qint64 offset, qint64 size)
{
    ::sync_file_range(fd, offset, size, SYNC_FILE_RANGE_WRITE);
}

qsizetype readFull(int fd, char *data, qsizetype size)
{
    qsizetype total = 0;
    while (total < size) {
        const ssize_t count = ::read(fd, data + total, static_cast<size_t>(size - total));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return -1;
        if (count == 0)
            break;
        total += count;
    }
    return total;
}

MegaResult<Done> moveWithoutReplacing(const QString &from, const QString &to)
{
    const QByteArray source = native(from);
    const QByteArray target = native(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return done;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return error(QStringLiteral("Could not move the finished file to"), to);
    // File systems without RENAME_NOREPLACE: a hard link also refuses an existing target.
    if (::link(source.constData(), target.constData()) == 0) {
        ::unlink(source.constData());
        return done;
    }
    if (errno == EEXIST)
        return error(QStringLiteral("Could not move the finished file to"), to);
    // Nor hard links (vboxsf, many FUSE mounts): the name is claimed first.
    return moveOntoClaim(from, to);
}

MegaResult<Done> moveOntoClaim(const QString &from, const QString &to)
{
    const QByteArray source = native(from);
    const QByteArray target = native(to);
    // Creating the name exclusively fails if anything is there, so only our own empty claim is replaced.
    const int claim = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (claim < 0)
        return error(QStringLiteral("Could not move the finished file to"), to);
    ::close(claim);
    if (::rename(source.constData(), target.constData()) != 0) {
        const MegaError failed = error(QStringLiteral("Could not move the finished file to"), to);
        ::unlink(target.constData());
        return failed;
    }
    return done;
}

FileDescriptor::~FileDescriptor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace FileSystem
