#include "model/MegaFolderTree.h"
#include "model/NaturalSort.h"

#include <QTest>

namespace {

MegaFolderNode folder(const char *id, const char *parent, const char *name)
{
    return {QString::fromUtf8(id),
            parent ? std::optional(QString::fromUtf8(parent)) : std::nullopt,
            QString::fromUtf8(name),
            true,
            0,
            {}};
}

MegaFolderNode file(const char *id, const char *parent, const char *name)
{
    return {QString::fromUtf8(id),
            parent ? std::optional(QString::fromUtf8(parent)) : std::nullopt,
            QString::fromUtf8(name),
            false,
            100,
            *MegaFileKey::fromText("k")};
}

MegaFolderTree treeOf(QList<MegaFolderNode> nodes, const char *root = "root")
{
    MegaFolderListing listing;
    listing.rootID = QString::fromUtf8(root);
    listing.initialFolderID = listing.rootID;
    listing.nodes = std::move(nodes);
    return MegaFolderTree(listing);
}

template <typename Nodes>
QStringList names(const Nodes &nodes)
{
    QStringList result;
    for (const MegaFolderNode &node : nodes)
        result.append(node.name);
    return result;
}

template <typename Nodes>
QStringList ids(const Nodes &nodes)
{
    QStringList result;
    for (const MegaFolderNode &node : nodes)
        result.append(node.id);
    return result;
}

// root
// ├── Season 2 / Episode 10.mkv, Episode 9.mkv, notes.txt
// │   └── Extras / making of.mp4, R\u00e9sum\u00e9.pdf
// ├── season 10 / finale.mp4
// └── clip 2.MP4, Clip 10.mov, readme.txt, file2.txt, File2.txt
MegaFolderTree sampleTree()
{
    return treeOf({
        folder("root", nullptr, "Share"),
        folder("s10", "root", "season 10"),
        folder("s2", "root", "Season 2"),
        file("e10", "s2", "Episode 10.mkv"),
        file("e9", "s2", "Episode 9.mkv"),
        file("notes", "s2", "notes.txt"),
        folder("extras", "s2", "Extras"),
        file("making", "extras", "making of.mp4"),
        file("resume", "extras", "R\u00e9sum\u00e9.pdf"),
        file("finale", "s10", "finale.mp4"),
        file("c10", "root", "Clip 10.mov"),
        file("c2", "root", "clip 2.MP4"),
        file("readme", "root", "readme.txt"),
        file("f2a", "root", "file2.txt"),
        file("f2b", "root", "File2.txt"),
    });
}

} // namespace

class TestMegaFolderTree : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void emptyListing()
    {
        const MegaFolderTree tree = treeOf({});
        QVERIFY(tree.folders(QStringLiteral("root")).isEmpty());
        QVERIFY(tree.files(QStringLiteral("root"), true, false, {}).isEmpty());
        QVERIFY(tree.breadcrumbs(QStringLiteral("root")).isEmpty());
        QVERIFY(tree.children(QString()).isEmpty());
        QCOMPARE(tree.relativePath(file("x", "root", "x"), QStringLiteral("root")), QString());
    }

    void foldersAreSortedNaturally()
    {
        const MegaFolderTree tree = sampleTree();
        QCOMPARE(names(tree.folders(QStringLiteral("root"))), QStringList({"Season 2", "season 10"}));
        QVERIFY(tree.folders(QStringLiteral("c2")).isEmpty());
        QVERIFY(tree.folders(QStringLiteral("missing")).isEmpty());
    }

    void files_data()
    {
        // clang-format off
        QTest::addColumn<QString>("from");
        QTest::addColumn<bool>("recursive");
        QTest::addColumn<bool>("videosOnly");
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("direct files, equal names keep order")
            << "root" << false << false << ""
            << QStringList{"c2", "c10", "f2a", "f2b", "readme"};
        QTest::newRow("videos only") << "root" << false << true << "" << QStringList{"c2", "c10"};
        QTest::newRow("recursive") << "s2" << true << false << ""
                                   << QStringList{"e9", "e10", "making", "notes", "resume"};
        QTest::newRow("recursive videos") << "root" << true << true << ""
                                          << QStringList{"c2", "c10", "e9", "e10", "finale", "making"};
        QTest::newRow("search ignores case") << "root" << false << false << "CLIP" << QStringList{"c2", "c10"};
        QTest::newRow("search through subfolder name") << "root" << true << false << "extras"
                                                       << QStringList{"making", "resume"};
        QTest::newRow("subfolder name without recursion") << "root" << false << false << "extras" << QStringList{};
        QTest::newRow("search through outer folder") << "root" << true << true << "season 2"
                                                     << QStringList{"e9", "e10", "making"};
        QTest::newRow("path below the start only") << "s2" << true << false << "season" << QStringList{};
        QTest::newRow("accents count") << "root" << true << false << "resume" << QStringList{};
        QTest::newRow("accented search ignores case") << "root" << true << false << "R\u00c9SUM\u00c9"
                                                      << QStringList{"resume"};
        QTest::newRow("decomposed search") << "root" << true << false << "re\u0301sume\u0301"
                                           << QStringList{"resume"};
        QTest::newRow("space is not trimmed") << "s2" << false << false << " " << QStringList{"e9", "e10"};
        QTest::newRow("unknown folder") << "missing" << true << false << "" << QStringList{};
        QTest::newRow("from a file id") << "c2" << true << false << "" << QStringList{};
        // clang-format on
    }
    void files()
    {
        QFETCH(QString, from);
        QFETCH(bool, recursive);
        QFETCH(bool, videosOnly);
        QFETCH(QString, search);
        QFETCH(QStringList, expected);
        QCOMPARE(ids(sampleTree().files(from, recursive, videosOnly, search)), expected);
    }

    void cyclesBelowTheStartEndTheWalk()
    {
        const MegaFolderTree tree = treeOf({
            folder("root", nullptr, "Root"),
            folder("a", "b", "A"),
            folder("b", "a", "B"),
            folder("link", "root", "Link"),
            folder("a", "link", "A again"),
            file("fa", "a", "in a.mp4"),
            file("fb", "b", "in b.mp4"),
        });
        QCOMPARE(ids(tree.files(QStringLiteral("root"), true, false, {})), QStringList({"fa", "fb"}));
        QCOMPARE(ids(tree.files(QStringLiteral("a"), true, false, QStringLiteral("zzz"))), QStringList());
        QCOMPARE(tree.relativePath(*tree.node(QStringLiteral("fa")), QStringLiteral("root")), QStringLiteral("B / A"));
    }

    void relativePaths_data()
    {
        // clang-format off
        QTest::addColumn<QString>("node");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("path");
        QTest::newRow("direct child") << "c2" << "root" << "";
        QTest::newRow("two levels") << "making" << "root" << "Season 2 / Extras";
        QTest::newRow("one level") << "making" << "s2" << "Extras";
        QTest::newRow("never reaches start") << "making" << "s10" << "Share / Season 2 / Extras";
        QTest::newRow("root itself") << "root" << "root" << "";
        // clang-format on
    }
    void relativePaths()
    {
        QFETCH(QString, node);
        QFETCH(QString, from);
        QFETCH(QString, path);
        const MegaFolderTree tree = sampleTree();
        QCOMPARE(tree.relativePath(*tree.node(node), from), path);
    }

    void breadcrumbs_data()
    {
        // clang-format off
        QTest::addColumn<QList<MegaFolderNode>>("nodes");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QStringList>("expected");
        const QList<MegaFolderNode> chain{folder("root", "above", "Root"), folder("above", nullptr, "Above"),
                                          folder("a", "root", "A"), folder("b", "a", "B")};
        QTest::newRow("root only") << chain << "root" << QStringList{"root"};
        QTest::newRow("stops at root") << chain << "b" << QStringList{"root", "a", "b"};
        QTest::newRow("unknown id") << chain << "zzz" << QStringList{};
        const QList<MegaFolderNode> detached{folder("root", nullptr, "Root"), folder("top", nullptr, "Top"),
                                             folder("c", "top", "C")};
        QTest::newRow("chain ends before root") << detached << "c" << QStringList{"top", "c"};
        const QList<MegaFolderNode> cycle{folder("root", nullptr, "Root"), folder("x", "y", "X"),
                                          folder("y", "x", "Y")};
        QTest::newRow("cycle") << cycle << "x" << QStringList{"y", "x"};
        const QList<MegaFolderNode> missing{folder("root", nullptr, "Root"), folder("x", "gone", "X")};
        QTest::newRow("missing parent") << missing << "x" << QStringList{"x"};
        // clang-format on
    }
    void breadcrumbs()
    {
        QFETCH(QList<MegaFolderNode>, nodes);
        QFETCH(QString, to);
        QFETCH(QStringList, expected);
        QCOMPARE(ids(treeOf(nodes).breadcrumbs(to)), expected);
    }

    void everyIDIsFoundAmongMany()
    {
        QList<MegaFolderNode> nodes{folder("root", nullptr, "Root")};
        for (int i = 0; i < 5000; ++i) {
            const QByteArray id = QByteArray::number(i, 36);
            nodes.append(file(id.constData(), "root", QByteArray("first " + id).constData()));
            if (i % 7 == 0)
                nodes.append(file(id.constData(), "root", "later copy"));
        }
        const MegaFolderTree tree = treeOf(nodes);
        for (int i = 0; i < 5000; ++i) {
            const QString id = QString::number(i, 36);
            const MegaFolderNode *found = tree.node(id);
            QVERIFY2(found && found->name == "first " + id, qPrintable(id));
        }
        for (const char *unknown : {"", "zzzzzz", "root ", "ROOT"})
            QVERIFY(!tree.node(QString::fromUtf8(unknown)));
        QCOMPARE(tree.filesAmong({"0", "7", "root", "gone"}).size(), 2);
    }

    void duplicateIDs()
    {
        const MegaFolderTree tree = treeOf({
            folder("root", nullptr, "Root"),
            file("dup", "root", "first.mp4"),
            file("dup", "root", "second.mp4"),
        });
        QCOMPARE(tree.node(QStringLiteral("dup"))->name, QStringLiteral("first.mp4"));
        QCOMPARE(names(tree.files(QStringLiteral("root"), false, false, {})), QStringList({"first.mp4", "second.mp4"}));
        QCOMPARE(tree.children(QStringLiteral("root")).size(), 2);
        QCOMPARE(tree.children(QString()).size(), 1);
    }

    void naturalSortInTheCLocaleToo()
    {
        // Start-up may leave the process in the C locale; numbers must still sort by value.
        const QLocale saved;
        QLocale::setDefault(QLocale::c());
        QStringList sample{QStringLiteral("Track 10"), QStringLiteral("track 9"), QStringLiteral("Track 100"),
                           QStringLiteral("track 9")};
        sortNaturally(sample);
        QLocale::setDefault(saved);
        QCOMPARE(sample, QStringList({"track 9", "track 9", "Track 10", "Track 100"}));
    }
};

QTEST_GUILESS_MAIN(TestMegaFolderTree)
#include "tst_megafoldertree.moc"
