#pragma once

#include "tool/MegaError.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Thin POSIX helpers whose failures carry the system's own description.
namespace FileSystem {

MegaError error(const QString &action, const QString &path);

bool exists(const QString &path); // anything at all, a dangling link included
void removeQuietly(const QString &path);

// Opens a working file without ever blocking (a FIFO planted under its name
// would hang a plain open) and only if it is a regular file, never through a
// symbolic link; created 0600 when flags ask for it.
MegaResult<int> openRegularFile(const QString &path, int flags);

// The bytes free for this user in the file system holding path; none if unknown.
std::optional<qint64> freeSpace(const QString &path);

// Writes all of size bytes to fd.
bool writeAll(int fd, const char *data, qsizetype size);
// Starts writing a just-appended range to storage in the background, so the
// final flush finds little left to do.
void startWriteback(int fd, qint64 offset, qint64 size);
// Reads until size bytes arrived or the file ended; returns the count, or -1.
qsizetype readFull(int fd, char *data, qsizetype size);

// Moves from onto to only while nothing is at to; never replaces a file.
MegaResult<Done> moveWithoutReplacing(const QString &from, const QString &to);
// The way where neither a no-replace rename nor a hard link works: claims
// the name with an exclusively created empty file, then renames onto it.
MegaResult<Done> moveOntoClaim(const QString &from, const QString &to);

// Closes the descriptor when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }

private:
    int m_fd;
};

} // namespace FileSystem
