#include "config/log_file_index.h"
#include "test_support.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace marlin;
using testsupport::writeFile;

namespace {

bool appendFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Append) && f.write(bytes) == bytes.size();
}

QStringList allLines(LogFileIndex &index)
{
    QStringList out;
    for (qsizetype i = 0; i < index.lineCount(); ++i)
        out.append(index.line(i));
    return out;
}

void indexAll(LogFileIndex &index, qint64 slice)
{
    while (index.indexMore(slice)) {
    }
}

} // namespace

class TestLogFileIndex : public QObject {
    Q_OBJECT

private slots:
    void linesInAnySlices_data();
    void linesInAnySlices();
    void followsAppends();
    void noticesWhatIsNotAnAppend_data();
    void noticesWhatIsNotAnAppend();
    void find();
};

void TestLogFileIndex::linesInAnySlices_data()
{
    QTest::addColumn<qint64>("slice");
    QTest::newRow("1 byte") << qint64(1);
    QTest::newRow("7 bytes") << qint64(7);
    QTest::newRow("whole file") << qint64(1 << 20);
}

// CR LF lines in Windows-1252 (0x80 is the euro sign, 0xE9 e acute), an
// empty line, and a last line still without its line end.
void TestLogFileIndex::linesInAnySlices()
{
    QFETCH(qint64, slice);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.TXT"));
    QVERIFY(writeFile(path, "first\r\n\r\nPrix 5 \x80 caf\xE9\r\nlast, unfinished"));
    LogFileIndex index(path);
    QVERIFY(index.exists());
    indexAll(index, slice);
    QCOMPARE(allLines(index), (QStringList{QStringLiteral("first"), QString(),
                                           QStringLiteral("Prix 5 \u20AC caf\u00E9"),
                                           QStringLiteral("last, unfinished")}));
    QVERIFY(index.lastLineOpen());
    QCOMPARE(index.line(4), QString());
    QCOMPARE(index.line(-1), QString());
}

void TestLogFileIndex::followsAppends()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.TXT"));
    LogFileIndex index(path);
    QVERIFY(!index.exists());
    QCOMPARE(index.poll(), LogFileIndex::Change::None);
    QVERIFY(!index.indexMore(1024));
    QVERIFY(!QFile::exists(path)); // looking never creates the file

    QVERIFY(writeFile(path, "one\r\ntw"));
    QCOMPARE(index.poll(), LogFileIndex::Change::Replaced); // it appeared
    index.reset();
    indexAll(index, 1024);
    QCOMPARE(allLines(index), (QStringList{QStringLiteral("one"), QStringLiteral("tw")}));
    QCOMPARE(index.longestLine(), 0);
    QCOMPARE(index.poll(), LogFileIndex::Change::None);

    QVERIFY(appendFile(path, "o\r\nthree\r\n"));
    QCOMPARE(index.poll(), LogFileIndex::Change::Grown);
    indexAll(index, 1024);
    QCOMPARE(allLines(index), (QStringList{QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")}));
    QVERIFY(!index.lastLineOpen());
    QCOMPARE(index.longestLine(), 2);
}

void TestLogFileIndex::noticesWhatIsNotAnAppend_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("replaced by rename") << QStringLiteral("rename");
    QTest::newRow("shortened") << QStringLiteral("truncate");
    QTest::newRow("rewritten in place, longer") << QStringLiteral("rewrite");
    QTest::newRow("removed") << QStringLiteral("remove");
}

void TestLogFileIndex::noticesWhatIsNotAnAppend()
{
    QFETCH(QString, how);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.TXT"));
    QVERIFY(writeFile(path, "old line one\r\nold line two\r\n"));
    LogFileIndex index(path);
    indexAll(index, 1024);
    QCOMPARE(index.lineCount(), 2);

    QByteArray now = "new\r\n";
    if (how == QLatin1String("rename")) {
        // Longer, with a line end where the old file ended: only the file's
        // identity tells it from an append.
        now = "new line one\r\nnew line two\r\nthird\r\n";
        QVERIFY(writeFile(dir.filePath(QStringLiteral("next")), now));
        QVERIFY(::rename(QFile::encodeName(dir.filePath(QStringLiteral("next"))).constData(),
                         QFile::encodeName(path).constData()) == 0);
    } else if (how == QLatin1String("truncate")) {
        QVERIFY(writeFile(path, now));
    } else if (how == QLatin1String("rewrite")) {
        now = "a much longer first line than before\r\nand a second\r\n";
        QVERIFY(writeFile(path, now));
    } else {
        QVERIFY(QFile::remove(path));
        now.clear();
    }
    QCOMPARE(index.poll(), LogFileIndex::Change::Replaced);
    index.reset();
    indexAll(index, 1024);
    QCOMPARE(index.exists(), how != QLatin1String("remove"));
    QStringList expected = QString::fromLatin1(now).split(QStringLiteral("\r\n"));
    expected.removeLast();
    QCOMPARE(allLines(index), expected);
}

void TestLogFileIndex::find()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.TXT"));
    // Enough lines that a search crosses the reader's 1 MB blocks.
    QByteArray bytes;
    for (int i = 0; i < 40000; ++i)
        bytes += QByteArray("03-04-2026  10:00:00 Status update.\t Router = Studio ") + QByteArray::number(i) + "\r\n";
    bytes += "03-04-2026  10:00:01 Communication lost with R\xE9gie 2\r\n";
    QVERIFY(writeFile(path, bytes));
    LogFileIndex index(path);
    indexAll(index, 1 << 16);
    QCOMPARE(index.lineCount(), 40001);

    QCOMPARE(index.find(QStringLiteral("Studio 5"), 0), 5);
    QCOMPARE(index.find(QStringLiteral("Studio 5"), 6), 50);
    QCOMPARE(index.find(QStringLiteral("studio 39999"), 0), 39999);
    QCOMPARE(index.find(QStringLiteral("studio 39999"), 0, Qt::CaseSensitive), -1);
    QCOMPARE(index.find(QStringLiteral("r\u00C9gie"), 100), 40000);
    QCOMPARE(index.find(QStringLiteral("Studio 1\r\n03"), 0), -1);
    QCOMPARE(index.find(QStringLiteral("nowhere"), 0), -1);
    QCOMPARE(index.find(QString(), 0), -1);
}

QTEST_GUILESS_MAIN(TestLogFileIndex)
#include "tst_log_file_index.moc"
