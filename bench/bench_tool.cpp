// The tool's hot paths against the plain tools that bound them: raw OpenSSL
// for decryption with verification; curl (one connection) and aria2c (eight)
// for the transfer, uncapped and on a capped distant server; the work after
// the last byte, peak disk use and what a resumed run reads again; the
// tool's peak memory on a 1 GiB file; a transfer with dropped connections
// against the same without, and what a pause keeps.
#include "tests/support/MegaEmulator.h"
#include "tool/MegaCrypto.h"
#include "tool/MegaDecrypt.h"
#include "tool/MegaLink.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QUuid>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

extern char **environ;

namespace {

constexpr qint64 mebibyte = 1048576;

QByteArray randomBytes(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// CTR decryption and the chunked CBC-MAC, straight on OpenSSL over memory;
// returns the condensed MAC.
QByteArray rawDecryptAndMac(const QByteArray &cipherText, QByteArray &plain, const QByteArray &aesKey,
                            const QByteArray &nonce)
{
    const auto *key = reinterpret_cast<const unsigned char *>(aesKey.constData());
    const QByteArray counter = nonce + QByteArray(8, '\0');
    const QByteArray macIv = nonce + nonce;
    EVP_CIPHER_CTX *ctr = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX *cbc = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX *ecb = EVP_CIPHER_CTX_new();
    EVP_DecryptInit_ex(ctr, EVP_aes_128_ctr(), nullptr, key, reinterpret_cast<const unsigned char *>(counter.data()));
    EVP_EncryptInit_ex(ecb, EVP_aes_128_ecb(), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(ecb, 0);
    plain.resize(cipherText.size());
    QByteArray scratch(mebibyte + 16, '\0');
    unsigned char mac[16] = {};
    qint64 request = 131072;
    for (qint64 at = 0; at < cipherText.size(); at += request, request = std::min<qint64>(request, 917504) + 131072) {
        const int length = static_cast<int>(std::min<qint64>(request, cipherText.size() - at));
        auto *out = reinterpret_cast<unsigned char *>(plain.data() + at);
        int moved = 0;
        EVP_DecryptUpdate(ctr, out, &moved, reinterpret_cast<const unsigned char *>(cipherText.constData() + at),
                          length);
        EVP_EncryptInit_ex(cbc, EVP_aes_128_cbc(), nullptr, key, reinterpret_cast<const unsigned char *>(macIv.data()));
        EVP_CIPHER_CTX_set_padding(cbc, 0);
        const int whole = length - length % 16;
        EVP_EncryptUpdate(cbc, reinterpret_cast<unsigned char *>(scratch.data()), &moved, out, whole);
        unsigned char block[16];
        std::memcpy(block, scratch.constData() + whole - 16, 16);
        if (whole < length) {
            unsigned char tail[16] = {};
            std::memcpy(tail, out + whole, static_cast<size_t>(length - whole));
            EVP_EncryptUpdate(cbc, block, &moved, tail, 16);
        }
        for (int i = 0; i < 16; ++i)
            mac[i] ^= block[i];
        EVP_EncryptUpdate(ecb, mac, &moved, mac, 16);
    }
    EVP_CIPHER_CTX_free(ctr);
    EVP_CIPHER_CTX_free(cbc);
    EVP_CIPHER_CTX_free(ecb);
    QByteArray condensed(8, '\0');
    for (int i = 0; i < 4; ++i) {
        condensed[i] = static_cast<char>(mac[i] ^ mac[i + 4]);
        condensed[i + 4] = static_cast<char>(mac[i + 8] ^ mac[i + 12]);
    }
    return condensed;
}

// Argument 0 works in the temporary directory on disk, 1 in memory (/dev/shm),
// which shows the cost of the routine apart from the disk's write speed.
QString workArea(const benchmark::State &state)
{
    return state.range(0) == 1 ? QStringLiteral("/dev/shm/lark-bench-XXXXXX") : QString();
}

// The same crypto as a plain program would run it file to file: read 1 MiB,
// decrypt and MAC it, write it, flush at the end.
QByteArray rawFileToFile(const QString &input, const QString &output, const QByteArray &aesKey, const QByteArray &nonce)
{
    QFile in(input);
    QFile out(output);
    in.open(QIODevice::ReadOnly);
    out.open(QIODevice::WriteOnly | QIODevice::Truncate);
    const auto *key = reinterpret_cast<const unsigned char *>(aesKey.constData());
    const QByteArray counter = nonce + QByteArray(8, '\0');
    const QByteArray macIv = nonce + nonce;
    EVP_CIPHER_CTX *ctr = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX *cbc = EVP_CIPHER_CTX_new();
    EVP_DecryptInit_ex(ctr, EVP_aes_128_ctr(), nullptr, key, reinterpret_cast<const unsigned char *>(counter.data()));
    QByteArray chunk(mebibyte, Qt::Uninitialized);
    QByteArray scratch(mebibyte + 16, Qt::Uninitialized);
    unsigned char mac[16] = {};
    for (qint64 request = 131072;; request = std::min<qint64>(request, 917504) + 131072) {
        const auto length = static_cast<int>(in.read(chunk.data(), request));
        if (length <= 0)
            break;
        auto *data = reinterpret_cast<unsigned char *>(chunk.data());
        int moved = 0;
        EVP_DecryptUpdate(ctr, data, &moved, data, length);
        out.write(chunk.constData(), length);
        EVP_EncryptInit_ex(cbc, EVP_aes_128_cbc(), nullptr, key, reinterpret_cast<const unsigned char *>(macIv.data()));
        EVP_CIPHER_CTX_set_padding(cbc, 0);
        EVP_EncryptUpdate(cbc, reinterpret_cast<unsigned char *>(scratch.data()), &moved, data, length - length % 16);
        for (int i = 0; i < 16; ++i)
            mac[i] ^= static_cast<unsigned char>(scratch[moved - 16 + i]);
    }
    out.flush();
    ::fsync(out.handle());
    EVP_CIPHER_CTX_free(ctr);
    EVP_CIPHER_CTX_free(cbc);
    return QByteArray(reinterpret_cast<const char *>(mac), 16);
}

void BM_DecryptAndVerify256MiB(benchmark::State &state)
{
    QTemporaryDir dir(workArea(state));
    const QByteArray cipherText = randomBytes(256 * mebibyte);
    const QString input = dir.filePath(QStringLiteral("in"));
    writeFile(input, cipherText);
    const QByteArray aesKey = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
    const QByteArray nonce = QByteArray::fromHex("1011121314151617");
    QByteArray plain;
    const QByteArray condensed = rawDecryptAndMac(cipherText, plain, aesKey, nonce);
    // A key whose MAC matches, so the tool's routine runs to a verified file.
    const QByteArray secondHalf = nonce + condensed;
    QByteArray fileKey(16, '\0');
    for (int i = 0; i < 16; ++i)
        fileKey[i] = static_cast<char>(aesKey[i] ^ secondHalf[i]);
    const auto link = MegaLink::fromParts(QStringLiteral("abcdefgh"), fileKey + secondHalf);

    double toolSeconds = 0;
    double rawSeconds = 0;
    double fileSeconds = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        const auto result = decryptFile(input, dir.filePath(QStringLiteral("out")), *link);
        toolSeconds += static_cast<double>(timer.nsecsElapsed()) / 1e9;
        if (!result)
            state.SkipWithError(qPrintable(result.error().message));
        timer.restart();
        benchmark::DoNotOptimize(rawDecryptAndMac(cipherText, plain, aesKey, nonce));
        rawSeconds += static_cast<double>(timer.nsecsElapsed()) / 1e9;
        timer.restart();
        benchmark::DoNotOptimize(rawFileToFile(input, dir.filePath(QStringLiteral("raw-out")), aesKey, nonce));
        fileSeconds += static_cast<double>(timer.nsecsElapsed()) / 1e9;
    }
    const double megabytes = 256.0 * static_cast<double>(state.iterations());
    state.counters["tool_MiB_per_s"] = megabytes / toolSeconds;
    state.counters["openssl_memory_MiB_per_s"] = megabytes / rawSeconds;
    state.counters["openssl_file_MiB_per_s"] = megabytes / fileSeconds;
    state.counters["ratio_to_memory"] = rawSeconds / toolSeconds;
    state.counters["ratio_to_file"] = fileSeconds / toolSeconds;
}
BENCHMARK(BM_DecryptAndVerify256MiB)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime()->Arg(0)->Arg(1);

struct ChildRun {
    double seconds = 0;
    long peakResidentKiB = 0;
    int status = -1;
};

long highWaterKiB(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

// Runs a program to its end. Its peak resident memory is sampled from the
// kernel's high-water mark while it runs: the rusage figure would also count
// this (large) process, whose memory the child shares until it execs.
ChildRun runChild(const QStringList &arguments, const QString &output = QStringLiteral("/dev/null"))
{
    std::vector<QByteArray> storage;
    std::vector<char *> argv;
    for (const QString &argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray outputPath = QFile::encodeName(output);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.constData(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    // Each program starts with no one else's writes still going to the disk.
    ::sync();
    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    ChildRun run;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        return run;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        run.peakResidentKiB = std::max(run.peakResidentKiB, highWaterKiB(pid));
        usleep(5000);
    }
    posix_spawn_file_actions_destroy(&actions);
    run.seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    run.status = status;
    return run;
}

MegaEmulator *sharedEmulator()
{
    static MegaEmulator emulator;
    static const QString error = [] {
        QString failed = emulator.start();
        // The tool's own waits before asking again, not the tests' short ones.
        qunsetenv("LARK_MEGA_RETRY_MS");
        return failed;
    }();
    return error.isEmpty() ? &emulator : nullptr;
}

// The storage address of a file the tool has fetched once, whole-file form.
QString storageUrl(MegaEmulator &emulator)
{
    QString url;
    for (const QJsonValue &entry : emulator.requestLog()) {
        const QString path = entry.toObject().value(QLatin1String("path")).toString();
        if (path.startsWith(QLatin1String("/dl/")))
            url = emulator.apiUrl() + path.section(QLatin1Char('/'), 0, 2);
    }
    return url;
}

// A file of random bytes served by the emulator; the source lives in dir.
QJsonObject addRandomFile(MegaEmulator &emulator, const QTemporaryDir &dir, qint64 size, const QString &name)
{
    const QString source = dir.filePath(QStringLiteral("source"));
    writeFile(source, randomBytes(size));
    return emulator.addFile(source, name);
}

void BM_Transfer256MiBAgainstCurl(benchmark::State &state)
{
    MegaEmulator *emulator = sharedEmulator();
    if (!emulator)
        return state.SkipWithError("the MEGA emulator did not start");
    QTemporaryDir dir;
    const qint64 size = 256 * mebibyte;
    const QJsonObject file = addRandomFile(*emulator, dir, size, QStringLiteral("big.bin"));

    double toolSeconds = 0;
    double curlSeconds = 0;
    double flushSeconds = 0;
    const QByteArray block = randomBytes(4 * mebibyte);
    for (auto _ : state) {
        QTemporaryDir folder(workArea(state));
        const ChildRun tool = runChild({toolPath(), file[QLatin1String("link")].toString(), folder.path(),
                                        QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()});
        if (tool.status != 0)
            return state.SkipWithError("lark-mega failed");
        toolSeconds += tool.seconds;

        // curl fetches the same ranges over one connection, one after another into one file.
        const QString rangeBase = storageUrl(*emulator);
        QStringList curl{QStringLiteral("/usr/bin/curl"), QStringLiteral("-sf"), QStringLiteral("--cacert"),
                         emulator->caFile()};
        for (qint64 first = 0; first < size; first += 4 * mebibyte)
            curl << QStringLiteral("%1/%2-%3").arg(rangeBase).arg(first).arg(first + 4 * mebibyte - 1);
        const ChildRun fetched = runChild(curl, folder.filePath(QStringLiteral("curl.bin")));
        if (fetched.status != 0)
            return state.SkipWithError("curl failed");
        curlSeconds += fetched.seconds;

        // What the storage itself allows when every byte must be flushed, as
        // the tool's must before the file appears (curl leaves it in memory).
        ::sync();
        QElapsedTimer flush;
        flush.start();
        const int out = ::open(QFile::encodeName(folder.filePath(QStringLiteral("flush.bin"))).constData(),
                               O_WRONLY | O_CREAT | O_TRUNC, 0600);
        for (qint64 written = 0; written < size; written += block.size())
            benchmark::DoNotOptimize(::write(out, block.constData(), static_cast<size_t>(block.size())));
        ::fdatasync(out);
        ::close(out);
        flushSeconds += static_cast<double>(flush.nsecsElapsed()) / 1e9;
    }
    const double megabytes = 256.0 * static_cast<double>(state.iterations());
    state.counters["tool_MiB_per_s"] = megabytes / toolSeconds;
    state.counters["curl_MiB_per_s"] = megabytes / curlSeconds;
    state.counters["ratio"] = curlSeconds / toolSeconds;
    state.counters["flushed_write_MiB_per_s"] = megabytes / flushSeconds;
    state.counters["ratio_to_flushed_write"] = flushSeconds / toolSeconds;
}
BENCHMARK(BM_Transfer256MiBAgainstCurl)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime()->Arg(0)->Arg(1);

// A distant storage server: each connection gets 8 MiB/s after 60 ms (with
// argument 1, one of them only 1 MiB/s). The tool end to end (to a verified
// file) against aria2c with as many connections (eight), and curl over one, on
// the same encrypted file in the same run; and against the ideal: every
// connection busy at its cap from the first answer to the last byte.
void BM_Capped64MiBAgainstAria2(benchmark::State &state)
{
    const bool oneSlow = state.range(0) == 1;
    MegaEmulator *emulator = sharedEmulator();
    if (!emulator)
        return state.SkipWithError("the MEGA emulator did not start");
    if (!QFile::exists(QStringLiteral("/usr/bin/aria2c")))
        return state.SkipWithError("aria2c is missing (Debian package aria2)");
    QTemporaryDir dir;
    const qint64 size = 64 * mebibyte;
    const QJsonObject file = addRandomFile(*emulator, dir, size, QStringLiteral("capped.bin"));
    emulator->setShape(8 * mebibyte, 60, oneSlow ? mebibyte : 0);
    double toolSeconds = 0;
    double ariaSeconds = 0;
    double curlSeconds = 0;
    for (auto _ : state) {
        QTemporaryDir folder;
        const ChildRun tool = runChild({toolPath(), file[QLatin1String("link")].toString(), folder.path(),
                                        QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()});
        if (tool.status != 0)
            return state.SkipWithError("lark-mega failed");
        toolSeconds += tool.seconds;
        const QString url = storageUrl(*emulator);
        const ChildRun aria = runChild({QStringLiteral("/usr/bin/aria2c"), QStringLiteral("-q"), QStringLiteral("-x8"),
                                        QStringLiteral("-s8"), QStringLiteral("-k4M"),
                                        QStringLiteral("--ca-certificate=") + emulator->caFile(),
                                        QStringLiteral("--file-allocation=none"), QStringLiteral("-d"), folder.path(),
                                        QStringLiteral("-o"), QStringLiteral("aria.bin"), url});
        if (aria.status != 0)
            return state.SkipWithError("aria2c failed");
        ariaSeconds += aria.seconds;
        const ChildRun curl =
            runChild({QStringLiteral("/usr/bin/curl"), QStringLiteral("-sf"), QStringLiteral("--cacert"),
                      emulator->caFile(), url, QStringLiteral("-o"), folder.filePath(QStringLiteral("curl.bin"))});
        if (curl.status != 0)
            return state.SkipWithError("curl failed");
        curlSeconds += curl.seconds;
    }
    emulator->setShape(0, 0);
    const double megabytes = 64.0 * static_cast<double>(state.iterations());
    state.counters["tool_MiB_per_s"] = megabytes / toolSeconds;
    state.counters["aria2c_MiB_per_s"] = megabytes / ariaSeconds;
    state.counters["curl_MiB_per_s"] = megabytes / curlSeconds;
    state.counters["ratio_to_aria2c"] = ariaSeconds / toolSeconds;
    const double idealSeconds = 0.06 + 64.0 / (oneSlow ? 7 * 8 + 1 : 8 * 8);
    state.counters["ratio_to_ideal"] = idealSeconds * static_cast<double>(state.iterations()) / toolSeconds;
}
BENCHMARK(BM_Capped64MiBAgainstAria2)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime()->Arg(0)->Arg(1);

// A run of the tool watched from outside: its lines as they come, the disk
// its folder takes (sampled every 20 ms) and what it read from storage.
struct WatchedRun {
    double lastProgressToFile = -1; // seconds from the last progress line to the file line
    qint64 peakDiskBytes = 0;
    qint64 readBytes = 0; // read_bytes of /proc/PID/io: what came from the disk itself
    bool finished = false;
    bool killed = false;
    double signalToExit = -1; // seconds from the signal to the end of the process
};

qint64 folderBytes(const QString &folder)
{
    qint64 total = 0;
    for (const QFileInfo &entry : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden)) {
        struct stat status {};
        if (::stat(QFile::encodeName(entry.filePath()).constData(), &status) == 0)
            total += std::max<qint64>(status.st_size, static_cast<qint64>(status.st_blocks) * 512);
    }
    return total;
}

qint64 readBytesOf(qint64 pid)
{
    QFile io(QStringLiteral("/proc/%1/io").arg(pid));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : io.readAll().split('\n')) {
        if (line.startsWith("read_bytes:"))
            return line.mid(11).trimmed().toLongLong();
    }
    return -1;
}

// Runs the tool into folder; with killAtPercent, sends it signal (SIGKILL
// unless told) once a progress line reaches that.
WatchedRun watchedRun(const QString &link, const QString &folder, const QString &job, double killAtPercent = 101,
                      int signal = SIGKILL)
{
    WatchedRun run;
    QProcess tool;
    tool.start(toolPath(), {link, folder, job});
    if (!tool.waitForStarted())
        return run;
    const qint64 pid = tool.processId();
    QElapsedTimer clock;
    clock.start();
    double lastProgress = -1;
    double signalled = -1;
    QByteArray pending;
    while (tool.state() == QProcess::Running) {
        tool.waitForReadyRead(20);
        run.peakDiskBytes = std::max(run.peakDiskBytes, folderBytes(folder));
        if (const qint64 read = readBytesOf(pid); read >= 0)
            run.readBytes = std::max(run.readBytes, read);
        pending += tool.readAllStandardOutput();
        for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            const double now = static_cast<double>(clock.nsecsElapsed()) / 1e9;
            if (line.startsWith("LARK_PROGRESS|")) {
                lastProgress = now;
                if (line.split('|').value(1).chopped(1).toDouble() >= killAtPercent && !run.killed) {
                    ::kill(static_cast<pid_t>(pid), signal);
                    run.killed = true;
                    signalled = now;
                }
            } else if (line.startsWith("LARK_FILE|") && lastProgress >= 0) {
                run.lastProgressToFile = now - lastProgress;
                run.finished = true;
            }
        }
    }
    tool.waitForFinished();
    if (signalled >= 0)
        run.signalToExit = static_cast<double>(clock.nsecsElapsed()) / 1e9 - signalled;
    run.peakDiskBytes = std::max(run.peakDiskBytes, folderBytes(folder));
    return run;
}

// 256 MiB uncapped: the work left after the last byte (the MAC check, the
// flush and the move) and the disk the download takes at its peak, as a
// share of the file; then a job killed at 90 % and run again, with the page
// cache of its partial dropped so that what the second run reads again
// shows in read_bytes.
void BM_Finish256MiB(benchmark::State &state)
{
    MegaEmulator *emulator = sharedEmulator();
    if (!emulator)
        return state.SkipWithError("the MEGA emulator did not start");
    QTemporaryDir dir;
    const qint64 size = 256 * mebibyte;
    const QString link =
        addRandomFile(*emulator, dir, size, QStringLiteral("finish.bin"))[QLatin1String("link")].toString();
    double finishSeconds = 0;
    qint64 peakDisk = 0;
    qint64 resumeRead = 0;
    for (auto _ : state) {
        QTemporaryDir folder;
        const WatchedRun whole = watchedRun(link, folder.path(), QStringLiteral("WHOLE"));
        if (!whole.finished)
            return state.SkipWithError("lark-mega failed");
        finishSeconds = std::max(finishSeconds, whole.lastProgressToFile);
        peakDisk = std::max(peakDisk, whole.peakDiskBytes);

        QTemporaryDir again;
        const WatchedRun first = watchedRun(link, again.path(), QStringLiteral("KILLED"), 90);
        if (!first.killed)
            return state.SkipWithError("the first run was not killed");
        const QString partialPath = again.filePath(QStringLiteral(".lark-KILLED.mega.part"));
        const int partial = ::open(QFile::encodeName(partialPath).constData(), O_RDONLY);
        if (partial < 0)
            return state.SkipWithError("the killed run left no partial");
        ::fdatasync(partial);
        ::posix_fadvise(partial, 0, 0, POSIX_FADV_DONTNEED);
        ::close(partial);
        const WatchedRun second = watchedRun(link, again.path(), QStringLiteral("KILLED"));
        if (!second.finished)
            return state.SkipWithError("the resumed run failed");
        resumeRead = std::max(resumeRead, second.readBytes);
    }
    state.counters["last_progress_to_file_s"] = finishSeconds;
    state.counters["peak_disk_to_file"] = static_cast<double>(peakDisk) / static_cast<double>(size);
    state.counters["resume_read_MiB"] = static_cast<double>(resumeRead) / mebibyte;
    state.counters["state_interval_MiB"] = 16;
}
BENCHMARK(BM_Finish256MiB)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

// The capped distant server again, now dropping one request in eight halfway
// through its body: the tool still ends with a verified file. Timed against
// the same transfer without faults, alternating in the same run.
void BM_Dropped64MiBAgainstFaultFree(benchmark::State &state)
{
    MegaEmulator *emulator = sharedEmulator();
    if (!emulator)
        return state.SkipWithError("the MEGA emulator did not start");
    QTemporaryDir dir;
    const qint64 size = 64 * mebibyte;
    const QJsonObject file = addRandomFile(*emulator, dir, size, QStringLiteral("dropped.bin"));
    emulator->setShape(8 * mebibyte, 60);
    double cleanSeconds = 0;
    double droppedSeconds = 0;
    qint64 requests = 0;
    qint64 drops = 0;
    for (auto _ : state) {
        for (const bool dropping : {false, true}) {
            emulator->setFaults({{QStringLiteral("range"),
                                  dropping ? QJsonObject{{QStringLiteral("drop"), true}, {QStringLiteral("every"), 8}}
                                           : QJsonObject{{QStringLiteral("count"), 0}}}});
            const qsizetype logSize = emulator->requestLog().size();
            QTemporaryDir folder;
            const ChildRun run = runChild({toolPath(), file[QLatin1String("link")].toString(), folder.path(),
                                           QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()});
            if (run.status != 0)
                return state.SkipWithError("lark-mega failed");
            (dropping ? droppedSeconds : cleanSeconds) += run.seconds;
            if (dropping) {
                const qint64 asked = emulator->requestLog().size() - logSize - 1; // less the API request
                requests += asked;
                drops += asked / 8;
            }
        }
    }
    emulator->setFaults({{QStringLiteral("range"), QJsonObject{{QStringLiteral("count"), 0}}}});
    emulator->setShape(0, 0);
    state.counters["fault_free_s"] = cleanSeconds / static_cast<double>(state.iterations());
    state.counters["dropped_s"] = droppedSeconds / static_cast<double>(state.iterations());
    state.counters["drops_per_run"] = static_cast<double>(drops) / static_cast<double>(state.iterations());
    state.counters["requests_per_run"] = static_cast<double>(requests) / static_cast<double>(state.iterations());
    state.counters["ratio_to_fault_free"] = cleanSeconds / droppedSeconds;
}
BENCHMARK(BM_Dropped64MiBAgainstFaultFree)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// A pause (SIGINT) once the progress says 60 % of 64 MiB on the capped
// server: what the partial keeps, against the floor of 60 % less what the
// connections may hold unwritten, and how long the tool takes to end.
void BM_PauseAt60Percent(benchmark::State &state)
{
    MegaEmulator *emulator = sharedEmulator();
    if (!emulator)
        return state.SkipWithError("the MEGA emulator did not start");
    QTemporaryDir dir;
    const qint64 size = 64 * mebibyte;
    const QJsonObject file = addRandomFile(*emulator, dir, size, QStringLiteral("paused.bin"));
    emulator->setShape(8 * mebibyte, 60);
    double kept = 1;
    double slowestExit = 0;
    for (auto _ : state) {
        QTemporaryDir folder;
        const QString job = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        const WatchedRun run = watchedRun(file[QLatin1String("link")].toString(), folder.path(), job, 60, SIGINT);
        if (!run.killed)
            return state.SkipWithError("the transfer ended before 60 %");
        const qint64 partial = QFileInfo(folder.filePath(QStringLiteral(".lark-%1.mega.part").arg(job))).size();
        kept = std::min(kept, static_cast<double>(partial) / static_cast<double>(size));
        slowestExit = std::max(slowestExit, run.signalToExit);
    }
    emulator->setShape(0, 0);
    const double connections = 4;
    state.counters["kept_fraction"] = kept;
    state.counters["floor_fraction"] = 0.6 - connections * 4 * mebibyte / static_cast<double>(size);
    state.counters["slowest_exit_s"] = slowestExit;
}
BENCHMARK(BM_PauseAt60Percent)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_PeakMemory1GiB(benchmark::State &state)
{
    MegaEmulator *emulator = sharedEmulator();
    if (!emulator)
        return state.SkipWithError("the MEGA emulator did not start");
    QTemporaryDir dir;
    {
        QFile source(dir.filePath(QStringLiteral("source")));
        source.open(QIODevice::WriteOnly);
        const QByteArray block = randomBytes(16 * mebibyte);
        for (int i = 0; i < 64; ++i)
            source.write(block);
    }
    const QJsonObject file = emulator->addFile(dir.filePath(QStringLiteral("source")), QStringLiteral("huge.bin"));
    QFile::remove(dir.filePath(QStringLiteral("source")));
    long peak = 0;
    for (auto _ : state) {
        QTemporaryDir folder;
        const ChildRun tool = runChild({toolPath(), file[QLatin1String("link")].toString(), folder.path(),
                                        QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()});
        if (tool.status != 0)
            return state.SkipWithError("lark-mega failed");
        peak = std::max(peak, tool.peakResidentKiB);
    }
    state.counters["peak_MiB"] = static_cast<double>(peak) / 1024.0;
}
BENCHMARK(BM_PeakMemory1GiB)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// A share's listing: time and peak memory of the tool for 100k and 1M
// nodes (a thousand folders, the rest files), and the size of what it prints.
void BM_ListFolder(benchmark::State &state)
{
    MegaEmulator *emulator = sharedEmulator();
    if (!emulator)
        return state.SkipWithError("the MEGA emulator did not start");
    const auto nodes = static_cast<int>(state.range(0));
    const QString link = emulator->addGeneratedShare(1000, nodes - 1001, mebibyte)[QLatin1String("link")].toString();
    QTemporaryDir dir;
    const QString output = dir.filePath(QStringLiteral("listing.json"));
    // The emulator serialises a listing on its first request.
    runChild({toolPath(), QStringLiteral("--list-folder"), link}, output);
    long peak = 0;
    double seconds = 0;
    for (auto _ : state) {
        const ChildRun tool = runChild({toolPath(), QStringLiteral("--list-folder"), link}, output);
        if (tool.status != 0)
            return state.SkipWithError("lark-mega could not list the share");
        peak = std::max(peak, tool.peakResidentKiB);
        seconds += tool.seconds;
    }
    state.counters["peak_MiB"] = static_cast<double>(peak) / 1024.0;
    state.counters["seconds"] = seconds / static_cast<double>(state.iterations());
    state.counters["output_MiB"] = static_cast<double>(QFileInfo(output).size()) / mebibyte;
}
BENCHMARK(BM_ListFolder)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime()->Arg(100000)->Arg(1000000);

} // namespace

BENCHMARK_MAIN();
