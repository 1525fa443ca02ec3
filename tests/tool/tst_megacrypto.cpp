#include "model/MegaBase64.h"
#include "model/WorkerProtocol.h"
#include "tool/MegaCbcLanes.h"
#include "tool/MegaCrypto.h"
#include "tool/MegaDecrypt.h"
#include "tool/MegaDownload.h"
#include "tool/MegaLink.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <sys/stat.h>

namespace {

const QString v1Key = QStringLiteral("EBAQEBAQEBAvOphYgNCT8hAREhMUFRYXJzOSU4zdnf0");
const QString v2Key = QStringLiteral("8cKXpD0OW2gUaEbrJUrqIwEjRWeJq83vbAEcoBln9Cw");

QByteArray keyBytes(const QString &text)
{
    return megaBase64Data(text).value_or(QByteArray());
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestMegaCrypto : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aesKnownAnswer()
    {
        const QByteArray zeros(16, '\0');
        const auto encrypted = crypt(zeros, zeros, zeros, true, true);
        QVERIFY(encrypted);
        QCOMPARE(encrypted->toHex(), QByteArray("66e94bd4ef8a2c3b884cfa59ca342b2e"));
        QCOMPARE(*crypt(*encrypted, zeros, zeros, false, true), zeros);
        // CBC with a zero IV equals ECB on the first block, then chains.
        const auto cbc = crypt(QByteArray(32, '\0'), zeros, zeros, true);
        QCOMPARE(cbc->left(16), *encrypted);
        QCOMPARE(cbc->mid(16), *crypt(*encrypted, zeros, zeros, true, true));
    }

    void cryptRejectsPartialBlocks()
    {
        const auto result = crypt(QByteArray(15, 'x'), QByteArray(16, '\0'), QByteArray(16, '\0'), true, true);
        QVERIFY(!result);
        QVERIFY(result.error().message.startsWith(QLatin1String("MEGA cryptography failed (")));
        QVERIFY(result.error().message.endsWith(QLatin1String(").")));
    }

    void base64_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("length"); // -1: fails
        // clang-format off
        QTest::newRow("22 characters") << "AAECAwQFBgcICQoLDA0ODw" << 16;
        QTest::newRow("43 characters") << v1Key << 32;
        QTest::newRow("standard alphabet accepted") << "+/+/" << 3;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("length 4k+1") << "AAAAA" << -1;
        QTest::newRow("space") << "AA AA" << -1;
        // clang-format on
    }
    void base64()
    {
        QFETCH(QString, text);
        QFETCH(int, length);
        const auto decoded = b64(text);
        QCOMPARE(decoded.ok(), length >= 0);
        if (decoded)
            QCOMPARE(decoded->size(), length);
        else
            QCOMPARE(decoded.error().message, QStringLiteral("Invalid MEGA decryption key."));
    }

    void keyStringRoundTrip()
    {
        QByteArray bytes;
        for (int i = 0; i < 32; ++i)
            bytes.append(static_cast<char>(0xf8 + i * 7));
        const QString text = megaKeyString(bytes);
        QCOMPARE(text.size(), 43);
        QVERIFY(!text.contains(QLatin1Char('=')) && !text.contains(QLatin1Char('+')) &&
                !text.contains(QLatin1Char('/')));
        QCOMPARE(megaBase64Data(text), bytes);
    }

    void keyParts()
    {
        const QByteArray key = keyBytes(v1Key);
        QCOMPARE(foldedKey(key).toHex(), QByteArray("000102030405060708090a0b0c0d0e0f"));
        QCOMPARE(fileNonce(key), key.mid(16, 8));
        QCOMPARE(foldedKey(key.left(16)), key.left(16));
        QByteArray doubled = key.left(16) + key.left(16);
        QCOMPARE(foldedKey(doubled), QByteArray(16, '\0'));
    }

    void attributeName_data()
    {
        QTest::addColumn<QString>("attributes");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QString>("result"); // the name, or the error message
        const QByteArray fileKey = keyBytes(v1Key);
        const QByteArray aes = foldedKey(fileKey);
        const auto block = [&aes](const QByteArray &plain) {
            QByteArray padded = plain;
            padded.append((16 - padded.size() % 16) % 16, '\0');
            return megaKeyString(*crypt(padded, aes, QByteArray(16, '\0'), true));
        };
        // clang-format off
        QTest::newRow("known vector") << "8V13N24uBPffUj8GimTd8OYeH9MI3vKDPXg1waHXTD0" << fileKey << "fox.txt";
        QTest::newRow("folded folder key") << block("MEGA{\"n\":\"Films\"}") << aes << "Films";
        QTest::newRow("no zero bytes") << block("MEGA{\"n\":\"exactly\",\"x\":\"1234\"}") << fileKey << "exactly";
        QTest::newRow("key length") << "AAAA" << QByteArray(20, 'k') << "Invalid node key length.";
        QTest::newRow("bad base64") << "A" << fileKey << "Invalid MEGA decryption key.";
        QTest::newRow("empty block") << "" << fileKey << "Invalid encrypted file attributes.";
        QTest::newRow("partial block") << "AAAAAAAA" << fileKey << "Invalid encrypted file attributes.";
        QTest::newRow("wrong key") << "8V13N24uBPffUj8GimTd8OYeH9MI3vKDPXg1waHXTD0" << QByteArray(32, 'x')
                                   << "The MEGA decryption key is incorrect.";
        QTest::newRow("name is a number") << block("MEGA{\"n\":5}") << fileKey << "Could not read MEGA filename.";
        QTest::newRow("array") << block("MEGA[\"n\"]") << fileKey << "Could not read MEGA filename.";
        // clang-format on
    }
    void attributeName()
    {
        QFETCH(QString, attributes);
        QFETCH(QByteArray, key);
        QFETCH(QString, result);
        const auto name = megaAttributeName(attributes, key);
        QCOMPARE(name ? *name : name.error().message, result);
    }

    void chunkBoundaries()
    {
        const QList<qint64> sizes{131072, 262144, 393216, 524288, 655360, 786432, 917504, 1048576, 1048576, 1048576};
        qint64 start = 0;
        QList<qint64> starts;
        for (int k = 1; k <= sizes.size(); ++k) {
            QCOMPARE(megaChunkSize(k), sizes[k - 1]);
            starts.append(start);
            start += megaChunkSize(k);
        }
        QCOMPARE(starts.mid(0, 10),
                 QList<qint64>({0, 131072, 393216, 786432, 1310720, 1966080, 2752512, 3670016, 4718592, 5767168}));
    }

    void cbcLanesMatchPlainCbc_data()
    {
        QTest::addColumn<QList<qint64>>("blocks"); // per lane
        QTest::newRow("one lane") << QList<qint64>{5};
        QTest::newRow("four equal lanes") << QList<qint64>{64, 64, 64, 64};
        QTest::newRow("lanes of every length, some empty") << QList<qint64>{1, 0, 300, 7, 65536, 2, 0, 9};
        QTest::newRow("more lanes than go together") << QList<qint64>{3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5};
    }
    void cbcLanesMatchPlainCbc()
    {
        QFETCH(QList<qint64>, blocks);
        const QByteArray key = QByteArray::fromHex("2b7e151628aed2a6abf7158809cf4f3c");
        QList<QByteArray> inputs;
        QList<QByteArray> ivs;
        for (int i = 0; i < blocks.size(); ++i) {
            QByteArray input(blocks[i] * 16, Qt::Uninitialized);
            for (qsizetype b = 0; b < input.size(); ++b)
                input[b] = static_cast<char>(b * 31 + i * 7);
            inputs.append(input);
            ivs.append(QByteArray(16, static_cast<char>(i + 1)));
        }
        for (const bool aesNi : {true, false}) {
            auto lanes = MegaCbcLanes::create(key, aesNi);
            QVERIFY(lanes);
            std::vector<MegaCbcLanes::Lane> state(static_cast<size_t>(blocks.size()));
            for (int i = 0; i < blocks.size(); ++i) {
                std::memcpy(state[i].state, ivs[i].constData(), 16);
                state[i].data = inputs[i].constData();
                state[i].blocks = blocks[i];
            }
            QVERIFY((*lanes)->advance(state.data(), static_cast<int>(state.size())));
            for (int i = 0; i < blocks.size(); ++i) {
                // The state is the last block of CBC encryption, or the IV for no data.
                const QByteArray expected =
                    blocks[i] == 0 ? ivs[i] : crypt(inputs[i], key, ivs[i], true).value().right(16);
                QCOMPARE(QByteArray(reinterpret_cast<const char *>(state[i].state), 16).toHex(), expected.toHex());
                QCOMPARE(state[i].blocks, 0);
            }
        }
    }

    void streamMacDoesNotDependOnHowTheDataIsCut_data()
    {
        QTest::addColumn<QList<qint64>>("pieces"); // sizes; the rest of the data comes as one last piece
        QTest::addColumn<qint64>("resumeAt");      // a chunk boundary to continue from with the MAC there
        QTest::newRow("ranges of 4 MiB") << QList<qint64>{4194304} << qint64(0);
        QTest::newRow("pieces that are not whole AES blocks")
            << QList<qint64>{1000003, 999999, 7, 2100000} << qint64(0);
        QTest::newRow("tiny pieces across the first chunk boundary")
            << QList<qint64>{131060, 5, 3, 13, 1, 131072} << qint64(0);
        QTest::newRow("resumed at a boundary") << QList<qint64>{777777} << qint64(1310720);
        QTest::newRow("resumed at the last boundary") << QList<qint64>{} << qint64(5767168);
    }
    void streamMacDoesNotDependOnHowTheDataIsCut()
    {
        QFETCH(QList<qint64>, pieces);
        QFETCH(qint64, resumeAt);
        QByteArray data(6 * 1048576 + 5, Qt::Uninitialized);
        for (qsizetype i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>((i * 7919) ^ (i >> 9));
        const QByteArray aesKey = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
        const QByteArray nonce = QByteArray::fromHex("1011121314151617");
        const auto reference = [&](qint64 upTo) {
            auto whole = MegaStreamMac::create(aesKey, nonce, 0, QByteArray(16, '\0'));
            (*whole)->add(data.constData(), upTo);
            return std::make_pair((*whole)->mac(), (*whole)->finish().value());
        };
        const QByteArray expected = reference(data.size()).second;

        auto stream = MegaStreamMac::create(aesKey, nonce, resumeAt, reference(resumeAt).first);
        QVERIFY(stream);
        qint64 at = resumeAt;
        for (const qint64 piece : pieces) {
            QVERIFY((*stream)->add(data.constData() + at, piece));
            at += piece;
            QVERIFY((*stream)->boundary() <= at);
            QCOMPARE((*stream)->boundary(), MegaStreamMac::boundaryAtOrBefore(at));
        }
        QVERIFY((*stream)->add(data.constData() + at, data.size() - at));
        QCOMPARE((*stream)->finish().value(), expected);
        // One byte different anywhere changes it.
        QByteArray changed = data;
        changed[3 * 1048576 + 1] = static_cast<char>(changed[3 * 1048576 + 1] ^ 1);
        auto other = MegaStreamMac::create(aesKey, nonce, 0, QByteArray(16, '\0'));
        (*other)->add(changed.constData(), changed.size());
        QVERIFY((*other)->finish().value() != expected);
    }

    void decryptKnownVectors_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("cipherText");
        QTest::addColumn<QByteArray>("plainText");
        // clang-format off
        QTest::newRow("V1") << v1Key
            << QByteArray::fromHex("d98ebde0ac2ea5fbb46658b88f824455f95bbb80834d6acfcc8d2dbc13676a5f705eb89bb97db2c8973273")
            << QByteArray("The quick brown fox jumps over the lazy dog");
        QTest::newRow("V2") << v2Key << QByteArray::fromHex("ba") << QByteArray::fromHex("41");
        QTest::newRow("empty with zero MAC") << "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA" << QByteArray() << QByteArray();
        // clang-format on
    }
    void decryptKnownVectors()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, cipherText);
        QFETCH(QByteArray, plainText);
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in"));
        const QString output = dir.filePath(QStringLiteral("out"));
        QVERIFY(writeFile(input, cipherText));
        QVERIFY(writeFile(output, "stale output from an earlier run"));
        const auto link = MegaLink::fromParts(QStringLiteral("abcdefgh"), keyBytes(key));
        QVERIFY(link);
        const auto result = decryptFile(input, output, *link);
        QVERIFY2(result, result ? "" : qPrintable(result.error().message));
        QCOMPARE(readFile(output), plainText);
        struct stat status;
        QCOMPARE(::stat(QFile::encodeName(output).constData(), &status), 0);
        QCOMPARE(status.st_mode & 0777, 0600u);
        QCOMPARE(readFile(input), cipherText);
    }

    void integrityFailureRemovesOutput_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("cipherText");
        // clang-format off
        QTest::newRow("flipped byte") << v1Key
            << QByteArray::fromHex("d98ebde0ac2ea5fbb46658b88f824455f95bbb80834d6acfcc8d2dbc13676a5f705eb89bb97db2c8973272");
        QTest::newRow("empty file, MAC not zero") << v2Key << QByteArray();
        // clang-format on
    }
    void integrityFailureRemovesOutput()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, cipherText);
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in"));
        const QString output = dir.filePath(QStringLiteral("out"));
        QVERIFY(writeFile(input, cipherText));
        const auto result = decryptFile(input, output, *MegaLink::fromParts(QStringLiteral("abcdefgh"), keyBytes(key)));
        QVERIFY(!result);
        QCOMPARE(result.error().message,
                 QStringLiteral("MEGA integrity check failed. Remove the encrypted .part file and retry."));
        QVERIFY(!QFileInfo::exists(output));
        QCOMPARE(readFile(input), cipherText);
    }

    void fileLinks_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("result"); // the handle, or the error message
        // clang-format off
        QTest::newRow("current") << "https://mega.nz/file/AbCdEfGh#" + v1Key << "AbCdEfGh";
        QTest::newRow("www and upper case") << "HTTPS://WWW.MEGA.NZ/file/AbCdEfGh#" + v1Key << "AbCdEfGh";
        QTest::newRow("legacy host") << "https://mega.co.nz/file/AbCdEfGh#" + v1Key << "AbCdEfGh";
        QTest::newRow("legacy fragment") << "https://mega.nz/#!AbCdEfGh!" + v1Key << "AbCdEfGh";
        QTest::newRow("legacy on other path") << "https://mega.nz/anything/here#!AbCdEfGh!" + v1Key << "AbCdEfGh";
        QTest::newRow("standard base64 key") << "https://mega.nz/file/AbCdEfGh#" + QString(v1Key).replace(QLatin1Char('-'), QLatin1Char('+')) << "AbCdEfGh";
        QTest::newRow("www legacy host") << "https://www.mega.co.nz/file/AbCdEfGh#" + v1Key << "Invalid MEGA link.";
        QTest::newRow("other host") << "https://example.com/file/AbCdEfGh#" + v1Key << "Invalid MEGA link.";
        QTest::newRow("not a url") << "--self-test" << "Invalid MEGA link.";
        QTest::newRow("folder link") << "https://mega.nz/folder/AbCdEfGh#" + v1Key
            << "Paste a public MEGA file link, or use Fetch folder to select files from a folder link.";
        QTest::newRow("legacy three pieces") << "https://mega.nz/#!AbCdEfGh!" + v1Key + "!x"
            << "Paste the complete MEGA file link, including its key.";
        QTest::newRow("bad handle") << "https://mega.nz/file/AbCdEf#" + v1Key << "Invalid MEGA file identifier.";
        QTest::newRow("undecodable key") << "https://mega.nz/file/AbCdEfGh#A" << "Invalid MEGA decryption key.";
        QTest::newRow("no fragment") << "https://mega.nz/file/AbCdEfGh"
            << "Paste the complete MEGA link with its 43-character decryption key.";
        QTest::newRow("16-byte key") << "https://mega.nz/file/AbCdEfGh#AAECAwQFBgcICQoLDA0ODw"
            << "Paste the complete MEGA link with its 43-character decryption key.";
        // clang-format on
    }
    void fileLinks()
    {
        QFETCH(QString, text);
        QFETCH(QString, result);
        const auto link = MegaLink::parse(text);
        QCOMPARE(link ? link->handle() : link.error().message, result);
        if (link)
            QCOMPARE(link->key(), keyBytes(v1Key));
    }

    void fileNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("safe");
        const QString fourByte = QStringLiteral("\U0001F600");
        // clang-format off
        QTest::newRow("separators") << "a/b:c\\d\ne\rf" + QString(QChar(0)) + "g" << "a_b_c_d_e_f_g";
        QTest::newRow("dot dot") << ".." << "MEGA download";
        QTest::newRow("dot") << "." << "MEGA download";
        QTest::newRow("empty") << "" << "MEGA download";
        QTest::newRow("200 characters") << QString(200, QLatin1Char('x')) << QString(180, QLatin1Char('x'));
        QTest::newRow("100 four-byte characters") << fourByte.repeated(100) << fourByte.repeated(45);
        QTest::newRow("two-byte characters") << QString(100, QChar(0xe9)) << QString(90, QChar(0xe9));
        QTest::newRow("combining marks stay whole") << QStringLiteral("e\u0301").repeated(100)
                                                   << QStringLiteral("e\u0301").repeated(60);
        QTest::newRow("ordinary") << "Holiday clip.mp4" << "Holiday clip.mp4";
        // clang-format on
    }
    void fileNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, safe);
        QCOMPARE(MegaDownload::safeFileName(name), safe);
        QVERIFY(MegaDownload::safeFileName(name).toUtf8().size() <= 180);
    }

    void taggedNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("tagged");
        // clang-format off
        QTest::newRow("extension") << "movie.mkv" << "movie [h].mkv";
        QTest::newRow("no extension") << "notes" << "notes [h]";
        QTest::newRow("last dot only") << "a.tar.gz" << "a.tar [h].gz";
        QTest::newRow("hidden file") << ".profile" << ".profile [h]";
        QTest::newRow("trailing dot") << "name." << "name. [h]";
        // clang-format on
    }
    void taggedNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, tagged);
        QCOMPARE(MegaDownload::taggedName(name, QStringLiteral("h")), tagged);
    }
};

QTEST_GUILESS_MAIN(TestMegaCrypto)
#include "tst_megacrypto.moc"
