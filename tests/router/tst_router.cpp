#include "router/router_file.h"
#include "router/router_table.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "test_support.h"

using namespace marlin;
using namespace testsupport;

namespace {


RouterTable defaultTable(int r)
{
    RouterTable t;
    CreateDefaultRouterTable(t, r);
    return t;
}

} // namespace

class TestRouter : public QObject {
    Q_OBJECT

private slots:
    void defaultTables();
    void fileLayout_data();
    void fileLayout();
    void textUsesTheAnsiCodePage();
    void damagedFiles_data();
    void damagedFiles();
    void findLabel();
    void loadingAndReloading();
    void savingReplacesAtomically();
    void unreadableTableIsNeverOverwritten();
    void exportText();
    void exportEdgeCases();
    void usableWithOneOfEach();
};

void TestRouter::defaultTables()
{
    QTemporaryDir app;
    RouterTableArray tables;
    LoadRouterTables(app.path(), tables);
    QVERIFY(tables[0].Name.isEmpty());
    for (int r = 1; r <= kRouterCount; ++r) {
        const RouterTable &t = tables[r];
        QCOMPARE(t.Name, QStringLiteral("Router_%1").arg(r));
        for (int n = 1; n <= kPointCount; ++n) {
            QCOMPARE(t.SourceVisible[n], n <= 32);
            QCOMPARE(t.DestVisible[n], n <= 32);
            QCOMPARE(t.DestDefaultSource[n], qint16(1));
            for (int level = 1; level <= kLevelCount; ++level)
                QVERIFY(t.SourceLevel[n][level]);
        }
        QVERIFY(!t.SourceVisible[0] && t.SourceLabel[0].isEmpty());
    }
    QCOMPARE(tables[7].SourceLabel[12], QStringLiteral("IN_12"));
    QCOMPARE(tables[7].DestDescription[3], QStringLiteral("Output_3"));
    QVERIFY(tables[1].isUsable());
    QVERIFY(!RouterTable().isUsable());
}

void TestRouter::fileLayout_data()
{
    QTest::addColumn<int>("router");
    QTest::addColumn<int>("size");
    QTest::newRow("router 1") << 1 << 18564;
    QTest::newRow("router 10") << 10 << 18565;
    QTest::newRow("router 96") << 96 << 18565;
}

void TestRouter::fileLayout()
{
    QFETCH(int, router);
    QFETCH(int, size);
    QTemporaryDir app;
    const RouterTable table = defaultTable(router);
    QVERIFY(SaveRouterTable(app.path(), router, table));
    const QByteArray bytes = readFile(RouterTablePath(app.path(), router));
    QCOMPARE(bytes.size(), size);
    const QByteArray name = "Router_" + QByteArray::number(router);
    QCOMPARE(bytes.left(2 + name.size()), QByteArray(1, char(name.size())) + '\0' + name);
    // Element 0 of SourceVisible (false), then source 1 (true).
    QCOMPARE(bytes.mid(2 + name.size(), 4), QByteArray("\x00\x00\xFF\xFF", 4));
    QVERIFY(RouterTableFileExists(app.path(), router));

    RouterTable back;
    QVERIFY(ReadRouterTable(app.path(), router, back));
    QVERIFY(back == table);
}

void TestRouter::textUsesTheAnsiCodePage()
{
    RouterTable t = defaultTable(1);
    t.Name = QStringLiteral("Régie €");
    const QByteArray bytes = SerializeRouterTable(t);
    QCOMPARE(bytes.left(9), QByteArray("\x07\x00R\xE9gie \x80", 9));
    QCOMPARE(DeserializeRouterTable(bytes).Name, t.Name);
}

void TestRouter::damagedFiles_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("anyVisible");

    const QByteArray full = SerializeRouterTable(defaultTable(4));
    QTest::newRow("empty file") << QByteArray() << QString() << false;
    QTest::newRow("only the name") << QByteArray("\x08\x00Router_4", 10) << "Router_4" << false;
    QTest::newRow("name cut short") << QByteArray("\x08\x00Rout", 6) << QString() << false;
    QTest::newRow("cut in the sources") << full.left(600) << "Router_4" << false;
    QTest::newRow("huge string counts") << QByteArray(5000, '\xFF') << QString() << false;
    QTest::newRow("cut before destinations") << full.left(full.size() / 2) << "Router_4" << false;
}

void TestRouter::damagedFiles()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, name);
    QFETCH(bool, anyVisible);
    QTemporaryDir app;
    QVERIFY(writeFile(RouterTablePath(app.path(), 4), bytes));

    RouterTableArray tables;
    tables[4].Name = QStringLiteral("previous");
    LoadRouterTables(app.path(), tables);
    const RouterTable &t = tables[4];
    QCOMPARE(t.Name, name);
    QCOMPARE(t.isUsable(), anyVisible);
    QCOMPARE(t.DestDefaultSource[1], qint16(0));
    QVERIFY(t.DestLabel[256].isEmpty());
}

void TestRouter::findLabel()
{
    RouterTable t = defaultTable(1);
    t.SourceLabel[9] = QStringLiteral("CAM");
    t.SourceLabel[4] = QStringLiteral("CAM");
    t.SourceVisible[4] = false;
    QCOMPARE(FindLabel(t, QStringLiteral("CAM"), false), 4);
    QCOMPARE(FindLabel(t, QStringLiteral("in_1"), false), 0);
    QCOMPARE(FindLabel(t, QStringLiteral("IN_1 "), false), 0);
    QCOMPARE(FindLabel(t, QStringLiteral("IN_1"), true), 0);
    QCOMPARE(FindLabel(t, QStringLiteral("OUT_256"), true), 256);
    QCOMPARE(FindLabel(t, QString(), false), 0);
}

void TestRouter::loadingAndReloading()
{
    QTemporaryDir app;
    RouterTable three = defaultTable(3);
    three.Name = QStringLiteral("Studio");
    RouterTable seven = defaultTable(7);
    seven.DestVisible[100] = true;
    QVERIFY(SaveRouterTable(app.path(), 3, three));
    QVERIFY(SaveRouterTable(app.path(), 7, seven));

    RouterTableArray tables;
    LoadRouterTables(app.path(), tables);
    QCOMPARE(tables[3].Name, QStringLiteral("Studio"));
    QVERIFY(tables[7].DestVisible[100]);
    QVERIFY(tables[5] == defaultTable(5));

    QVERIFY(QFile::remove(RouterTablePath(app.path(), 3)));
    LoadRouterTables(app.path(), tables);
    QVERIFY(tables[3] == defaultTable(3));
    QVERIFY(!RouterTableFileExists(app.path(), 3));
}

void TestRouter::savingReplacesAtomically()
{
    QTemporaryDir app;
    QVERIFY(writeFile(RouterTablePath(app.path(), 2), QByteArray(40000, 'x')));
    QVERIFY(SaveRouterTable(app.path(), 2, defaultTable(2)));
    QCOMPARE(readFile(RouterTablePath(app.path(), 2)).size(), 18564);
    QCOMPARE(QDir(app.path()).entryList(QDir::Files), QStringList{QStringLiteral("RTR2.BIN")});
    QVERIFY(!SaveRouterTable(app.filePath(QStringLiteral("missing-folder")), 2, defaultTable(2)));
}

// A folder in place of RTR4.BIN fails every read, even for root.
void TestRouter::unreadableTableIsNeverOverwritten()
{
    QTemporaryDir app;
    RouterTable six = defaultTable(6);
    six.Name = QStringLiteral("Six");
    QVERIFY(SaveRouterTable(app.path(), 6, six));
    QVERIFY(QDir().mkpath(RouterTablePath(app.path(), 4) + QStringLiteral("/inside")));

    RouterTableArray tables;
    RouterTableLoad load = LoadRouterTables(app.path(), tables, LoadMode::Startup);
    QCOMPARE(load.failures.size(), 1);
    QVERIFY2(load.failures[0].startsWith(QStringLiteral("The router table file %1 could not be read (")
                                             .arg(RouterTablePath(app.path(), 4))),
             qPrintable(load.failures[0]));
    QCOMPARE(load.unreadable, RouterTableSet().set(4));
    QVERIFY(tables[4] == defaultTable(4));
    QCOMPARE(tables[6].Name, QStringLiteral("Six"));

    tables[4].Name = QStringLiteral("Edited");
    load = LoadRouterTables(app.path(), tables, LoadMode::Reload);
    QCOMPARE(tables[4].Name, QStringLiteral("Edited"));

    // Saving all tables writes every other file and leaves that one alone.
    tables[6].Name = QStringLiteral("Renamed");
    const QStringList failures = SaveRouterTables(app.path(), tables, load.unreadable);
    QCOMPARE(failures.size(), 1);
    QVERIFY2(failures[0].contains(QStringLiteral("RTR4.BIN was not saved")), qPrintable(failures[0]));
    QVERIFY(QFileInfo(RouterTablePath(app.path(), 4)).isDir());
    RouterTable reread;
    QVERIFY(ReadRouterTable(app.path(), 6, reread));
    QCOMPARE(reread.Name, QStringLiteral("Renamed"));
    QVERIFY(RouterTableFileExists(app.path(), 96));
}

void TestRouter::exportText()
{
    QTemporaryDir app;
    const QString path = app.filePath(QStringLiteral("export.txt"));
    RouterTable t = defaultTable(1);
    t.SourceLevel[2][3] = false;
    QVERIFY(ExportRouterTable(path, t));
    const QList<QByteArray> lines = readFile(path).split('\n');
    QCOMPARE(lines.size(), 65); // 64 lines and the empty rest after the last line end
    QCOMPARE(lines[0], QByteArray("Source\tInput= 1\tDescription= Input_1\tHyperLink= \tIcon File= \tLabel= IN_1\t"
                                  "Level 1=True\tLevel 2=True\tLevel 3=True\tLevel 4=True\tLevel 5=True\t"
                                  "Level 6=True\tLevel 7=True\tLevel 8=True\r"));
    QVERIFY(lines[1].contains("\tLevel 3=False\t"));
    QCOMPARE(lines[32], QByteArray("Destination\tOutput= 1\tDescription= Output_1\tHyperLink= \tIcon File= \tLabel= OUT_1\r"));
    QVERIFY(lines[63].startsWith("Destination\tOutput= 32\t"));
}

void TestRouter::exportEdgeCases()
{
    QTemporaryDir app;
    const QString path = app.filePath(QStringLiteral("export.txt"));
    QVERIFY(writeFile(path, QByteArray(1000, 'z')));
    RouterTable hidden;
    QVERIFY(ExportRouterTable(path, hidden));
    QCOMPARE(QFileInfo(path).size(), 0);

    RouterTable t;
    t.SourceVisible[5] = true;
    t.SourcePhysical[5] = -3;
    t.SourceDescription[5] = QStringLiteral("tab\there");
    QVERIFY(RouterTableExportText(t).startsWith("Source\tInput=-3\tDescription= tab\there\tHyperLink= \t"));
}

void TestRouter::usableWithOneOfEach()
{
    // Only one source and one destination visible is still a usable table.
    RouterTable t;
    t.SourceVisible[256] = true;
    QVERIFY(!t.isUsable());
    t.DestVisible[1] = true;
    QVERIFY(t.isUsable());
}

QTEST_GUILESS_MAIN(TestRouter)
#include "tst_router.moc"
