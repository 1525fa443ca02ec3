#include "tool/Emit.h"

#include "model/WorkerProtocol.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

void emitLine(const QString &line)
{
    QByteArray bytes = printableText(line).toUtf8();
    bytes.append('\n');
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

bool writeRaw(const QByteArray &bytes)
{
    std::fflush(stdout);
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}
