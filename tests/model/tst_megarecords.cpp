#include "model/JsonArrayStream.h"
#include "model/MegaFolderListing.h"
#include "model/MegaFolderRequest.h"
#include "model/MegaNodeDownload.h"

#include <QJsonDocument>
#include <QTest>

namespace {

const QString fileKey = QStringLiteral("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8");

QByteArray json(const char *text)
{
    return QByteArray(text).replace('\'', '"');
}

} // namespace

class TestMegaRecords : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void nodeDecoding_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<bool>("hasParent");
        QTest::newRow("parent") << json("{'id':'a','parent':'p','name':'n','isFolder':false,'size':5,'key':'k'}")
                                << true << true;
        QTest::newRow("no parent") << json("{'id':'a','name':'n','isFolder':true,'size':0,'key':''}") << true
                                   << false;
        QTest::newRow("null parent") << json("{'id':'a','parent':null,'name':'n','isFolder':true,'size':0,'key':''}")
                                     << true << false;
        QTest::newRow("unknown key") << json("{'id':'a','name':'n','isFolder':true,'size':0,'key':'','x':[1]}")
                                     << true << false;
        QTest::newRow("integral double") << json("{'id':'a','name':'n','isFolder':true,'size':12.0,'key':''}")
                                         << true << false;
        QTest::newRow("fractional size") << json("{'id':'a','name':'n','isFolder':true,'size':1.5,'key':''}")
                                         << false << false;
        QTest::newRow("size as string") << json("{'id':'a','name':'n','isFolder':true,'size':'12','key':''}")
                                        << false << false;
        QTest::newRow("size beyond 64 bits")
            << json("{'id':'a','name':'n','isFolder':true,'size':9223372036854775808,'key':''}") << false << false;
        QTest::newRow("bool as number") << json("{'id':'a','name':'n','isFolder':1,'size':0,'key':''}") << false
                                        << false;
        QTest::newRow("parent as number") << json("{'id':'a','parent':7,'name':'n','isFolder':true,'size':0,'key':''}")
                                          << false << false;
        QTest::newRow("missing key") << json("{'id':'a','name':'n','isFolder':true,'size':0}") << false << false;
        QTest::newRow("null name") << json("{'id':'a','name':null,'isFolder':true,'size':0,'key':''}") << false
                                   << false;
        // What the text reader leaves to the full parser, which must then decide alike.
        QTest::newRow("escapes") << json("{'id':'a','name':'\\'q\\' \\\\ \\u00e9\\ud83d\\ude00\\n','isFolder':true,'size':0,'key':''}")
                                 << true << false;
        QTest::newRow("UTF-8") << QByteArray("{\"id\":\"a\",\"name\":\"R\xc3\xa9sum\xc3\xa9\",\"isFolder\":true,\"size\":0,\"key\":\"\"}")
                               << true << false;
        QTest::newRow("invalid UTF-8") << QByteArray("{\"id\":\"a\",\"name\":\"\xc3\x28\",\"isFolder\":true,\"size\":0,\"key\":\"\"}")
                                       << false << false;
        QTest::newRow("raw control character") << QByteArray("{\"id\":\"a\",\"name\":\"a\x01\",\"isFolder\":true,\"size\":0,\"key\":\"\"}")
                                               << true << false;
        QTest::newRow("repeated key") << json("{'id':'a','name':'n','isFolder':true,'size':0,'key':'','id':'b'}") << true << false;
        QTest::newRow("largest size") << json("{'id':'a','name':'n','isFolder':false,'size':9223372036854775807,'key':''}") << true << false;
        QTest::newRow("negative zero") << json("{'id':'a','name':'n','isFolder':false,'size':-0,'key':''}") << true << false;
        QTest::newRow("leading zero") << json("{'id':'a','name':'n','isFolder':false,'size':012,'key':''}") << false << false;
        QTest::newRow("key of 47") << json("{'id':'a','name':'n','isFolder':false,'size':1,'key':'" + QByteArray(47, 'k') + "'}") << true << false;
        QTest::newRow("key of 48") << json("{'id':'a','name':'n','isFolder':false,'size':1,'key':'" + QByteArray(48, 'k') + "'}") << false << false;
        QTest::newRow("key not ASCII") << QByteArray("{\"id\":\"a\",\"name\":\"n\",\"isFolder\":false,\"size\":1,\"key\":\"k\xc3\xa9\"}") << false << false;
        QTest::newRow("escaped key") << json("{'id':'a','name':'n','isFolder':false,'size':1,'key':'\\u0041B'}") << true << false;
        QTest::newRow("spaces") << json(" { 'id' : 'a' , 'name':'n','isFolder' : false,'size': 3 ,'key':'', 'parent' : 'p' } ") << true << true;
        QTest::newRow("text after it") << json("{'id':'a','name':'n','isFolder':true,'size':0,'key':''} x") << false << false;
        QTest::newRow("unclosed name") << json("{'id':'a','name':'n") << false << false;
        // clang-format on
    }
    void nodeDecoding()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, readable);
        QFETCH(bool, hasParent);
        const auto node = MegaFolderNode::fromJson(QJsonDocument::fromJson(text).object());
        QCOMPARE(node.has_value() && QJsonDocument::fromJson(text).isObject(), readable);
        if (readable)
            QCOMPARE(node->parent.has_value(), hasParent);
        // The reader of a listing's node texts agrees with the JSON parser.
        QCOMPARE(MegaFolderNode::fromJsonText(text), readable ? node : std::nullopt);
    }

    void arraysAreStreamedFromWhereTheyStand_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QList<QByteArray>>("elements");
        QTest::addColumn<QByteArray>("rest"); // "-" when the text is refused
        QTest::newRow("answer") << json("[{'ok':[],'f':[{'h':'a'}, {'h':'b'} ],'noc':1}]") << QList<QByteArray>{json("{'h':'a'}"), json("{'h':'b'}")} << json("[{'ok':[],'f':[],'noc':1}]");
        QTest::newRow("error code") << json("[-9]") << QList<QByteArray>{} << json("[-9]");
        QTest::newRow("scalars and arrays") << json("[{'f':[1, 'two', [3,{'f':[4]}], null]}]") << QList<QByteArray>{"1", json("'two'"), json("[3,{'f':[4]}]"), "null"} << json("[{'f':[]}]");
        QTest::newRow("key deeper down") << json("[{'x':{'f':[1]}}]") << QList<QByteArray>{} << json("[{'x':{'f':[1]}}]");
        QTest::newRow("f as a value") << json("[{'a':'f','b':[1]}]") << QList<QByteArray>{} << json("[{'a':'f','b':[1]}]");
        QTest::newRow("key that starts alike") << json("[{'ff':[1],'f':[2]}]") << QList<QByteArray>{"2"} << json("[{'ff':[1],'f':[]}]");
        QTest::newRow("escaped key") << json("[{'\\u0066':[1]}]") << QList<QByteArray>{} << json("[{'\\u0066':[1]}]");
        QTest::newRow("element over its limit") << json("[{'f':['0123456789abcdefg']}]") << QList<QByteArray>{} << QByteArray("-");
        QTest::newRow("two values") << json("[1] [2]") << QList<QByteArray>{} << QByteArray("-");
        QTest::newRow("unbalanced") << json("[{'f':[1}]") << QList<QByteArray>{} << QByteArray("-");
        QTest::newRow("comma after a key") << json("[{'f',[1]}]") << QList<QByteArray>{} << QByteArray("-");
        // clang-format on
    }
    void arraysAreStreamedFromWhereTheyStand()
    {
        QFETCH(QByteArray, text);
        QFETCH(QList<QByteArray>, elements);
        QFETCH(QByteArray, rest);
        // Whole, and a byte at a time.
        for (const qsizetype piece : {text.size(), qsizetype(1)}) {
            QList<QByteArray> seen;
            JsonArrayStream stream(
                "f", 2, [&seen](QByteArrayView element) { seen.append(element.toByteArray()); }, 16, 64);
            for (qsizetype at = 0; at < text.size(); at += piece)
                stream.feed(QByteArrayView(text).sliced(at, std::min(piece, text.size() - at)));
            const auto kept = stream.finish();
            QCOMPARE(kept.value_or("-"), rest);
            if (kept)
                QCOMPARE(seen, elements);
        }
    }

    void nodeWithoutParentWritesNoParentKey()
    {
        const MegaFolderNode node{QStringLiteral("AbCdEfGh"), std::nullopt, QStringLiteral("x"), true, 0, {}};
        QVERIFY(!node.toJson().contains(QLatin1String("parent")));
        QCOMPARE(MegaFolderNode::fromJson(node.toJson()), node);
    }

    void largestSizeRoundTrips()
    {
        const MegaFolderNode node{QStringLiteral("AbCdEfGh"),         QStringLiteral("p"),
                                  QStringLiteral("big.mkv"),          false,
                                  std::numeric_limits<qint64>::max(), *MegaFileKey::fromText(fileKey.toUtf8())};
        const QByteArray text = QJsonDocument(node.toJson()).toJson(QJsonDocument::Compact);
        QVERIFY(text.contains("9223372036854775807"));
        QCOMPARE(MegaFolderNode::fromJson(QJsonDocument::fromJson(text).object()), node);
        QByteArray written;
        node.appendJsonText(written);
        QCOMPARE(MegaFolderNode::fromJsonText(written), node);
    }

    void isVideo_data()
    {
        // clang-format off
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("isFolder");
        QTest::addColumn<bool>("video");
        QTest::newRow("upper-case extension") << "Clip.MP4" << false << true;
        QTest::newRow("last extension counts") << "clip.mp4.part" << false << false;
        QTest::newRow("no dot") << "mp4" << false << false;
        QTest::newRow("folder") << "Movies.mp4" << true << false;
        QTest::newRow("m2ts") << "a.b.m2ts" << false << true;
        QTest::newRow("f4v") << "x.f4v" << false << true;
        QTest::newRow("trailing dot") << "clip." << false << false;
        QTest::newRow("audio") << "song.mp3" << false << false;
        // clang-format on
    }
    void isVideo()
    {
        QFETCH(QString, name);
        QFETCH(bool, isFolder);
        QFETCH(bool, video);
        const MegaFolderNode node{QStringLiteral("AbCdEfGh"), {}, name, isFolder, 1, {}};
        QCOMPARE(node.isVideo(), video);
    }

    void formattedSize_data()
    {
        // clang-format off
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(0) << "0 bytes";
        QTest::newRow("one") << qint64(1) << "1 byte";
        QTest::newRow("999") << qint64(999) << "999 bytes";
        QTest::newRow("1000") << qint64(1000) << "1.0 kB";
        QTest::newRow("1550") << qint64(1550) << "1.6 kB";
        QTest::newRow("carries to MB") << qint64(999999) << "1.0 MB";
        QTest::newRow("gigabytes") << qint64(4'700'000'000) << "4.7 GB";
        QTest::newRow("largest") << std::numeric_limits<qint64>::max() << "9.2 EB";
        // clang-format on
    }
    void formattedSize()
    {
        QFETCH(qint64, size);
        QFETCH(QString, text);
        const MegaFolderNode node{QStringLiteral("AbCdEfGh"), {}, QStringLiteral("f"), false, size, {}};
        QCOMPARE(node.formattedSize(), text);
    }

    void listingDecoding_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("readable");
        const char *node = "{'id':'r','name':'Root','isFolder':true,'size':0,'key':''}";
        const auto listing = [node](const char *extra) {
            return json("{'sourceURL':'u','shareHandle':'s','rootID':'r','initialFolderID':'r','nodes':[") + json(node) +
                   json("],'skippedNodes':0") + json(extra) + "}";
        };
        QTest::newRow("complete") << listing("") << true;
        QTest::newRow("initial file") << listing(",'initialFileID':'f'") << true;
        QTest::newRow("null initial file") << listing(",'initialFileID':null") << true;
        QTest::newRow("surrounded by white space") << QByteArray("\n  ") + listing("") + " \n" << true;
        QTest::newRow("bad node") << json("{'sourceURL':'u','shareHandle':'s','rootID':'r','initialFolderID':'r',"
                                          "'nodes':[{'id':'r'}],'skippedNodes':0}")
                                  << false;
        QTest::newRow("node not an object") << json("{'sourceURL':'u','shareHandle':'s','rootID':'r',"
                                                    "'initialFolderID':'r','nodes':[1],'skippedNodes':0}")
                                            << false;
        QTest::newRow("no initial folder") << json("{'sourceURL':'u','shareHandle':'s','rootID':'r','nodes':[],"
                                                   "'skippedNodes':0}")
                                           << false;
        QTest::newRow("no root") << json("{'sourceURL':'u','shareHandle':'s','initialFolderID':'r','nodes':[],"
                                         "'skippedNodes':0}")
                                 << false;
        QTest::newRow("no skipped count") << json("{'sourceURL':'u','shareHandle':'s','rootID':'r',"
                                                  "'initialFolderID':'r','nodes':[]}")
                                          << false;
        QTest::newRow("array document") << QByteArray("[]") << false;
        QTest::newRow("two documents") << listing("") + listing("") << false;
        QTest::newRow("truncated") << listing("").chopped(1) << false;
        QTest::newRow("error line") << QByteArray("ERROR: no such folder") << false;
        const auto fields = json("'sourceURL':'u','shareHandle':'s','rootID':'r','initialFolderID':'r','skippedNodes':0");
        QTest::newRow("nodes first") << "{\"nodes\":[" + json(node) + "," + json(node) + "]," + fields + "}" << true;
        QTest::newRow("no nodes") << "{" + fields + ",\"nodes\":[ ]}" << true;
        QTest::newRow("brackets and quotes in strings") << "{" + fields + ",\"nodes\":[{\"id\":\"]},{\\\"[\\\\\",\"name\":\"\\\"nodes\\\":[\",\"isFolder\":false,\"size\":1,\"key\":\"k\"}]}" << true;
        QTest::newRow("a node holding nodes") << "{" + fields + ",\"nodes\":[" + json(node).chopped(1) + ",\"nodes\":[1,[2]]}]}" << true;
        QTest::newRow("nodes not an array") << "{" + fields + ",\"nodes\":5}" << false;
        QTest::newRow("missing comma") << "{" + fields + ",\"nodes\":[" + json(node) + json(node) + "]}" << false;
        QTest::newRow("trailing comma") << "{" + fields + ",\"nodes\":[" + json(node) + ",]}" << false;
        QTest::newRow("leading comma") << "{" + fields + ",\"nodes\":[," + json(node) + "]}" << false;
        QTest::newRow("unclosed nodes") << "{" + fields + ",\"nodes\":[" + json(node) << false;
        QTest::newRow("text after the end") << listing("") + " x" << false;
        // clang-format on
    }
    void listingDecoding()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, readable);
        QCOMPARE(MegaFolderListing::fromJsonText(text).has_value(), readable);
    }

    void listingRoundTrip()
    {
        MegaFolderListing listing;
        listing.sourceURL = QStringLiteral("https://mega.nz/folder/AbCdEfGh#bqYT8Zdz0BGhr4DVR5LW4w");
        listing.shareHandle = QStringLiteral("AbCdEfGh");
        listing.rootID = QStringLiteral("RootRoot");
        listing.initialFolderID = QStringLiteral("RootRoot");
        listing.skippedNodes = 3;
        listing.nodes = {
            {QStringLiteral("RootRoot"), {}, QStringLiteral("Share"), true, 0, {}},
            {QStringLiteral("FileFile"), QStringLiteral("RootRoot"), QStringLiteral("R\u00e9sum\u00e9 \"1\".mp4"),
             false, 123456789, *MegaFileKey::fromText(fileKey.toUtf8())},
            {QStringLiteral("OddNames"), QStringLiteral("RootRoot"),
             QStringLiteral("back\\slash\nline\x01\x1f \U0001F600 ") + QChar(0xd800) + QStringLiteral("]},{\"") +
                 QChar(0xdc00),
             false, 9007199254740993, *MegaFileKey::fromText(fileKey.toUtf8())},
        };
        const QByteArray text = listing.toJsonText();
        QVERIFY(!text.endsWith('\n'));
        QVERIFY(!text.contains("initialFileID"));
        QCOMPARE(MegaFolderListing::fromJsonText(text), listing);
        // Text that arrives in pieces, split anywhere, reads the same.
        for (const qsizetype piece : {1, 2, 3, 7, 64}) {
            MegaFolderListingReader reader;
            for (qsizetype at = 0; at < text.size(); at += piece)
                QVERIFY(reader.feed(QByteArrayView(text).sliced(at, std::min(piece, text.size() - at))));
            QCOMPARE(reader.finish(), listing);
        }

        listing.initialFileID = QStringLiteral("FileFile");
        QCOMPARE(MegaFolderListing::fromJsonText(listing.toJsonText()), listing);
    }

    void nodeDownloadValidation_data()
    {
        // clang-format off
        QTest::addColumn<QString>("share");
        QTest::addColumn<QString>("node");
        QTest::addColumn<QString>("key");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("valid");
        QTest::newRow("valid") << "AbCdEfGh" << "0aB1cD2e" << fileKey << qint64(10) << true;
        QTest::newRow("empty file") << "AbCdEfGh" << "0aB1cD2e" << fileKey << qint64(0) << true;
        QTest::newRow("16-byte key") << "AbCdEfGh" << "0aB1cD2e" << "AAECAwQFBgcICQoLDA0ODw" << qint64(1) << false;
        QTest::newRow("plus in key") << "AbCdEfGh" << "0aB1cD2e" << QString(fileKey).replace(0, 1, QLatin1Char('+'))
                                     << qint64(1) << false;
        QTest::newRow("slash in key") << "AbCdEfGh" << "0aB1cD2e" << QString(fileKey).replace(5, 1, QLatin1Char('/'))
                                      << qint64(1) << false;
        QTest::newRow("share of 7") << "AbCdEfG" << "0aB1cD2e" << fileKey << qint64(1) << false;
        QTest::newRow("node of 9") << "AbCdEfGh" << "0aB1cD2e9" << fileKey << qint64(1) << false;
        QTest::newRow("negative size") << "AbCdEfGh" << "0aB1cD2e" << fileKey << qint64(-1) << false;
        // clang-format on
    }
    void nodeDownloadValidation()
    {
        QFETCH(QString, share);
        QFETCH(QString, node);
        QFETCH(QString, key);
        QFETCH(qint64, size);
        QFETCH(bool, valid);
        const MegaNodeDownload download{share, node, key, QStringLiteral("../any name"), size, {}};
        const auto error = download.validate();
        QCOMPARE(!error.has_value(), valid);
        if (error)
            QCOMPARE(error->message, QStringLiteral("Saved MEGA file information is invalid. Fetch the folder again."));
    }

    void nodeDownloadJson()
    {
        const MegaNodeDownload download{
            QStringLiteral("AbCdEfGh"), QStringLiteral("0aB1cD2e"), fileKey, QStringLiteral("clip.mp4"), 42, {}};
        QCOMPARE(download.identity(), QStringLiteral("AbCdEfGh:0aB1cD2e"));
        QCOMPARE(MegaNodeDownload::fromJsonText(download.toJsonText()), download);
        QVERIFY(!MegaNodeDownload::fromJsonText(json("{'shareHandle':'a','nodeHandle':'b','fileKey':'c','name':'d',"
                                                     "'size':'42'}")));
        QVERIFY(!MegaNodeDownload::fromJsonText(json("{'shareHandle':'a','nodeHandle':'b','fileKey':'c','size':4}")));
        QVERIFY(MegaNodeDownload::fromJsonText(json("{'size':4,'name':'d','fileKey':'c','nodeHandle':'b',"
                                                    "'shareHandle':'a','extra':true}")));
        // The folders it is in go along; anything but a list of names is refused.
        MegaNodeDownload inFolders = download;
        inFolders.folders = QStringList{QStringLiteral("Trip"), QStringLiteral("Day 1")};
        QCOMPARE(MegaNodeDownload::fromJsonText(inFolders.toJsonText()), inFolders);
        QVERIFY(!inFolders.validate());
        for (const char *folders : {"'Trip'", "[1]", "['a',null]"})
            QVERIFY(
                !MegaNodeDownload::fromJsonText(json(QByteArray("{'size':4,'name':'d','fileKey':'c','nodeHandle':'b',"
                                                                "'shareHandle':'a','folders':") +
                                                     folders + "}")));
        inFolders.folders = QStringList(MegaNodeDownload::maxFolderDepth + 1, QStringLiteral("deep"));
        QVERIFY(inFolders.validate());
        inFolders.folders = QStringList{QString()};
        QVERIFY(inFolders.validate());
    }

    void folderRequestsAreDistinct()
    {
        const MegaFolderRequest first(QStringLiteral("https://mega.nz/folder/x"));
        const MegaFolderRequest second(QStringLiteral("https://mega.nz/folder/x"));
        QCOMPARE(first.url, second.url);
        QVERIFY(!first.id.isNull());
        QVERIFY(first.id != second.id);
    }
};

QTEST_GUILESS_MAIN(TestMegaRecords)
#include "tst_megarecords.moc"
