#include "model/MegaBase64.h"
#include "model/MegaFolderLink.h"

#include <QTest>

namespace {

const QString key = QStringLiteral("bqYT8Zdz0BGhr4DVR5LW4w");
const QString pasteMessage = QStringLiteral("Paste a public MEGA folder link, including its decryption key.");
const QString legacyMessage = QStringLiteral("Invalid legacy MEGA folder link.");
const QString addressMessage = QStringLiteral("Invalid MEGA folder address.");
const QString selectionMessage = QStringLiteral("The MEGA folder link has an invalid subfolder or file address.");
const QString identifierMessage = QStringLiteral("Invalid MEGA folder or file identifier.");
const QString keyMessage =
    QStringLiteral("The MEGA folder key is missing or invalid. Paste the full link including everything after #.");

QString withKey(const char *pattern)
{
    return QString::fromUtf8(pattern).replace(QLatin1String("KEY"), key);
}

} // namespace

class TestMegaFolderLink : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void handles_data()
    {
        // clang-format off
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("eight mixed") << "AbCdEfGh" << true;
        QTest::newRow("dash and underscore") << "a-b_c-d_" << true;
        QTest::newRow("seven") << "AbCdEfG" << false;
        QTest::newRow("nine") << "AbCdEfGhi" << false;
        QTest::newRow("plus") << "AbCd+fGh" << false;
        QTest::newRow("padded by space") << " AbCdEfG" << false;
        QTest::newRow("non-ascii letter") << "AbCdEfG\u00e9" << false;
        QTest::newRow("empty") << "" << false;
        // clang-format on
    }
    void handles()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(validMegaHandle(text), valid);
    }

    void base64_data()
    {
        // clang-format off
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("decodes");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("two characters") << "QQ" << true << QByteArray("A");
        QTest::newRow("three characters") << "QUI" << true << QByteArray("AB");
        QTest::newRow("four characters") << "QUJD" << true << QByteArray("ABC");
        QTest::newRow("dash is plus") << "-w" << true << QByteArray("\xfb");
        QTest::newRow("underscore is slash") << "_w" << true << QByteArray("\xff");
        QTest::newRow("length 4k+1") << "QUJDR" << false << QByteArray();
        QTest::newRow("single character") << "Q" << false << QByteArray();
        QTest::newRow("empty") << "" << false << QByteArray();
        QTest::newRow("standard plus") << "+w" << false << QByteArray();
        QTest::newRow("standard slash") << "/w" << false << QByteArray();
        QTest::newRow("padding") << "QQ==" << false << QByteArray();
        QTest::newRow("space") << "QU I" << false << QByteArray();
        // clang-format on
    }
    void base64()
    {
        QFETCH(QString, text);
        QFETCH(bool, decodes);
        QFETCH(QByteArray, bytes);
        const auto decoded = megaBase64Data(text);
        QCOMPARE(decoded.has_value(), decodes);
        if (decodes)
            QCOMPARE(*decoded, bytes);
    }

    void base64RoundTrip()
    {
        for (int length = 0; length < 40; ++length) {
            QByteArray bytes;
            for (int i = 0; i < length; ++i)
                bytes.append(static_cast<char>(i * 37 + 250));
            const QString text = megaBase64String(bytes);
            QVERIFY(!text.contains(QLatin1Char('=')));
            if (length > 0)
                QCOMPARE(megaBase64Data(text).value_or(QByteArray("missing")), bytes);
        }
    }

    void recognizes_data()
    {
        // clang-format off
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("recognized");
        QTest::newRow("current form") << withKey("https://mega.nz/folder/AbCdEfGh#KEY") << true;
        QTest::newRow("no key at all") << "https://mega.nz/folder/AbCdEfGh" << true;
        QTest::newRow("www legacy host") << "https://www.mega.co.nz/folder/x" << true;
        QTest::newRow("upper-case host") << "https://MEGA.NZ/folder/x" << true;
        QTest::newRow("legacy fragment") << "https://mega.nz/#F!AbCdEfGh!x" << true;
        QTest::newRow("ftp scheme still recognized") << "ftp://mega.nz/folder/x" << true;
        QTest::newRow("file link") << "https://mega.nz/file/AbCdEfGh#x" << false;
        QTest::newRow("capital Folder") << "https://mega.nz/Folder/AbCdEfGh#x" << false;
        QTest::newRow("other host") << "https://example.com/folder/AbCdEfGh#x" << false;
        QTest::newRow("subdomain") << "https://cdn.mega.nz/folder/AbCdEfGh#x" << false;
        QTest::newRow("not a url") << "mega.nz/folder/AbCdEfGh" << false;
        QTest::newRow("empty") << "" << false;
        // clang-format on
    }
    void recognizes()
    {
        QFETCH(QString, text);
        QFETCH(bool, recognized);
        QCOMPARE(MegaFolderLink::recognizes(text), recognized);
    }

    void parses_data()
    {
        // clang-format off
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("handle");
        QTest::addColumn<QString>("selected"); // "-" for none
        QTest::addColumn<bool>("isFile");
        QTest::newRow("folder") << withKey("https://mega.nz/folder/AbCdEfGh#KEY") << "AbCdEfGh" << "-" << false;
        QTest::newRow("subfolder") << withKey("https://mega.nz/folder/AbCdEfGh#KEY/folder/0aB1cD2e") << "AbCdEfGh"
                                   << "0aB1cD2e" << false;
        QTest::newRow("file") << withKey("https://mega.nz/folder/AbCdEfGh#KEY/file/0aB1cD2e") << "AbCdEfGh"
                              << "0aB1cD2e" << true;
        QTest::newRow("http www upper") << withKey("HTTP://WWW.MEGA.NZ/folder/AbCdEfGh#KEY") << "AbCdEfGh" << "-"
                                        << false;
        QTest::newRow("legacy host") << withKey("https://www.mega.co.nz/folder/AbCdEfGh#KEY") << "AbCdEfGh" << "-"
                                     << false;
        QTest::newRow("doubled slashes") << withKey("https://mega.nz//folder//AbCdEfGh/#KEY") << "AbCdEfGh" << "-"
                                         << false;
        QTest::newRow("legacy") << withKey("https://mega.nz/#F!AbCdEfGh!KEY") << "AbCdEfGh" << "-" << false;
        QTest::newRow("legacy selected") << withKey("https://mega.nz/#F!AbCdEfGh!KEY!0aB1cD2e") << "AbCdEfGh"
                                         << "0aB1cD2e" << false;
        QTest::newRow("legacy empty selection") << withKey("https://mega.nz/#F!AbCdEfGh!KEY!") << "AbCdEfGh" << "-"
                                                << false;
        QTest::newRow("legacy ignores folder path")
            << withKey("https://mega.nz/folder/ZZZZZZZZ#F!AbCdEfGh!KEY") << "AbCdEfGh" << "-" << false;
        // clang-format on
    }
    void parses()
    {
        QFETCH(QString, text);
        QFETCH(QString, handle);
        QFETCH(QString, selected);
        QFETCH(bool, isFile);
        const auto link = MegaFolderLink::parse(text);
        QVERIFY2(link.ok(), qPrintable(link.ok() ? QString() : link.error().message));
        QCOMPARE(link->handle(), handle);
        QCOMPARE(link->key(), key);
        QCOMPARE(link->selectedHandle().value_or(QStringLiteral("-")), selected);
        QCOMPARE(link->selectedIsFile(), isFile);
        QCOMPARE(link->canonicalURL(), withKey("https://mega.nz/folder/AbCdEfGh#KEY"));
    }

    void rejects_data()
    {
        // clang-format off
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("not a link") << "hello" << pasteMessage;
        QTest::newRow("other host") << withKey("https://example.com/folder/AbCdEfGh#KEY") << pasteMessage;
        QTest::newRow("capital Folder path") << withKey("https://mega.nz/Folder/AbCdEfGh#KEY") << pasteMessage;
        QTest::newRow("ftp scheme") << withKey("ftp://mega.nz/folder/AbCdEfGh#KEY") << pasteMessage;
        QTest::newRow("legacy two pieces") << "https://mega.nz/#F!AbCdEfGh" << legacyMessage;
        QTest::newRow("legacy five pieces") << withKey("https://mega.nz/#F!AbCdEfGh!KEY!0aB1cD2e!x") << legacyMessage;
        QTest::newRow("handle only") << withKey("https://mega.nz/folder#KEY") << addressMessage;
        QTest::newRow("third component") << withKey("https://mega.nz/folder/AbCdEfGh/extra#KEY") << addressMessage;
        QTest::newRow("key and slash") << withKey("https://mega.nz/folder/AbCdEfGh#KEY/") << selectionMessage;
        QTest::newRow("capital File") << withKey("https://mega.nz/folder/AbCdEfGh#KEY/File/0aB1cD2e")
                                      << selectionMessage;
        QTest::newRow("four pieces") << withKey("https://mega.nz/folder/AbCdEfGh#KEY/file/0aB1cD2e/x")
                                     << selectionMessage;
        QTest::newRow("empty selection") << withKey("https://mega.nz/folder/AbCdEfGh#KEY/folder/")
                                         << identifierMessage;
        QTest::newRow("short handle") << withKey("https://mega.nz/folder/AbCdEfG#KEY") << identifierMessage;
        QTest::newRow("long selection") << withKey("https://mega.nz/folder/AbCdEfGh#KEY/file/0aB1cD2e9")
                                        << identifierMessage;
        QTest::newRow("legacy bad handle") << withKey("https://mega.nz/#F!AbC!KEY") << identifierMessage;
        QTest::newRow("no fragment") << "https://mega.nz/folder/AbCdEfGh" << keyMessage;
        QTest::newRow("21 characters") << "https://mega.nz/folder/AbCdEfGh#bqYT8Zdz0BGhr4DVR5LW4" << keyMessage;
        QTest::newRow("23 characters") << "https://mega.nz/folder/AbCdEfGh#bqYT8Zdz0BGhr4DVR5LW4wA" << keyMessage;
        QTest::newRow("standard alphabet") << "https://mega.nz/folder/AbCdEfGh#bqYT8Zdz0BGhr4DV+5LW4w" << keyMessage;
        QTest::newRow("legacy empty key") << "https://mega.nz/#F!AbCdEfGh!" << keyMessage;
        // clang-format on
    }
    void rejects()
    {
        QFETCH(QString, text);
        QFETCH(QString, message);
        const auto link = MegaFolderLink::parse(text);
        QVERIFY(!link.ok());
        QCOMPARE(link.error().message, message);
        QCOMPARE(link.error().description(), message);
    }
};

QTEST_GUILESS_MAIN(TestMegaFolderLink)
#include "tst_megafolderlink.moc"
