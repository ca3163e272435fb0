#include "links/device_language.h"
#include "links/framed.h"
#include "links/image_video.h"
#include "links/leitch.h"
#include "links/videohub_blocks.h"
#include "router/router_table.h"
#include "test_support.h"

#include <QRandomGenerator>
#include <QtTest>

#include <functional>
#include <initializer_list>

using namespace marlin;
using testsupport::bytes;

namespace {

// A take string as panels send it: "C ", level flags, source and destination
// fields as given (so garbage can be put in them), labels and a comment.
QByteArray take(const QByteArray &levels, const QByteArray &source, const QByteArray &destination,
                 const QByteArray &rest = "IN_2    OUT_10  comment 42")
{
    return "C " + levels + source + destination + rest;
}

// Reports as "d:s d:s", so a failing comparison shows both lists.
QByteArray describe(const QList<Crosspoint> &reports)
{
    QByteArrayList parts;
    for (const Crosspoint &c : reports)
        parts << QByteArray::number(c.destination) + ':' + QByteArray::number(c.source);
    return parts.join(' ');
}

QByteArray framedLine(const QByteArray &body, const QByteArray &checksum = "ABCD")
{
    return '\x16' + QByteArray("0F") + '\x02' + body + '\x03' + checksum + '\r';
}

RouterTable tableWithVisible(const QList<int> &visible)
{
    RouterTable table;
    CreateDefaultRouterTable(table, 1);
    table.DestVisible.fill(false);
    for (int d : visible)
        table.DestVisible[d] = true;
    return table;
}

// The router table that the framed dialect's cases read their names from:
// the defaults of router 1 plus the router's own names on a few ports.
RouterTable framedTable()
{
    RouterTable table;
    CreateDefaultRouterTable(table, 1);
    table.DestLabel[2] = "O01";
    table.SourceLabel[1] = "I00";
    table.DestLabel[3] = QString(QChar(0x20AC)) + "3"; // byte 0x80 in the line
    table.SourceLabel[4] = QString(QChar(0xC9)) + "4"; // byte 0xC9 in the line
    table.DestLabel[256] = "O0255";
    table.SourceLabel[256] = "I0255";
    return table;
}

// Numbered as the Protocol setting numbers them.
enum class Language { Leitch = ProtocolLeitch, ImageVideo = ProtocolImageVideo, Framed = ProtocolFramed };

// Through the seam, as the links decode.
ReplyScan decode(Language language, QByteArray &buffer)
{
    static const RouterTable table = framedTable();
    return LanguageFor(int(language))->decode(buffer, table);
}

char terminatorOf(Language language)
{
    return language == Language::ImageVideo ? char(254) : '\r';
}

} // namespace

Q_DECLARE_METATYPE(Language)

class TestProtocols : public QObject {
    Q_OBJECT

private slots:
    void videohubBlocks_data();
    void videohubBlocks();
    void videohubIndexedLines_data();
    void videohubIndexedLines();
    void videohubBlockLimit();
    void leitchRequests();
    void leitchTake_data();
    void leitchTake();
    void leitchPoll_data();
    void leitchPoll();
    void leitchDecode_data();
    void leitchDecode();

    void imageVideoTake_data();
    void imageVideoTake();
    void imageVideoPoll_data();
    void imageVideoPoll();
    void imageVideoDecode_data();
    void imageVideoDecode();

    void languageTable_data();
    void languageTable();

    void framedTake_data();
    void framedTake();
    void framedDecode_data();
    void framedDecode();

    void splitAndJoinedInput_data();
    void splitAndJoinedInput();
    void garbageLeavesOnlyATail_data();
    void garbageLeavesOnlyATail();
};

void TestProtocols::leitchRequests()
{
    QCOMPARE(LeitchStatusRequest(), QByteArray("@ ?\r"));
    QCOMPARE(LeitchLevelStatusRequest(0), QByteArray("@ S?0\r"));
    QCOMPARE(LeitchLevelStatusRequest(7), QByteArray("@ S?7\r"));
}

void TestProtocols::leitchTake_data()
{
    QTest::addColumn<QByteArray>("takeString");
    QTest::addColumn<QByteArray>("command");

    QTest::newRow("levels 0 and 1, source 2 to destination 10")
        << take("11000000", "0002", "0010") << QByteArray("@ X:01/9,1\r");
    QTest::newRow("all levels, source and destination 256")
        << take("11111111", "0256", "0256") << QByteArray("@ X:01234567/FF,FF\r");
    QTest::newRow("no level selected") << take("00000000", "0001", "0001") << QByteArray("@ X:/0,0\r");
    QTest::newRow("only a 1 selects a level")
        << take("2 x1-1.0", "0005", "0007") << QByteArray("@ X:35/6,4\r");
    QTest::newRow("labels and comment are not read")
        << take("10000000", "0005", "0007", "12345678876543219999") << QByteArray("@ X:0/6,4\r");
    QTest::newRow("numbers beyond the table are sent")
        << take("00000001", "0300", "0017") << QByteArray("@ X:7/10,12B\r");
    QTest::newRow("blanks inside a number are skipped")
        << take("10000000", " 1 2", "0003") << QByteArray("@ X:0/2,B\r");
    QTest::newRow("hexadecimal field") << take("10000000", "&H10", "0001") << QByteArray("@ X:0/0,F\r");
    QTest::newRow("destination ends the take string")
        << QByteArray("C 010000000004002") << QByteArray("@ X:1/1,3\r");
    QTest::newRow("source 0") << take("11000000", "0000", "0010") << QByteArray();
    QTest::newRow("destination 0") << take("11000000", "0010", "0000") << QByteArray();
    QTest::newRow("letters for numbers") << take("11000000", "ABCD", "EFGH") << QByteArray();
    QTest::newRow("too large for a number") << take("11000000", "9E99", "0001") << QByteArray();
    QTest::newRow("negative") << take("11000000", "-005", "0001") << QByteArray();
    QTest::newRow("cut before the destination") << QByteArray("C 110000000002") << QByteArray();
    QTest::newRow("only the prefix") << QByteArray("C ") << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestProtocols::leitchTake()
{
    QFETCH(QByteArray, takeString);
    QFETCH(QByteArray, command);
    QCOMPARE(BuildLeitchTake(takeString), command);
}

void TestProtocols::leitchPoll_data()
{
    QTest::addColumn<QList<int>>("visible");
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("startIndex");
    QTest::addColumn<QByteArrayList>("commands");
    QTest::addColumn<int>("endIndex");

    QTest::newRow("last destination visible, then the walk restarts")
        << QList<int>{1, 256} << 2 << 255
        << QByteArrayList{"@ X?2FF\r", "@ ?\r", "@ X?20\r"} << 1;
    QTest::newRow("last destination hidden: status request twice")
        << QList<int>{1, 2} << 1 << 0
        << QByteArrayList{"@ X?10\r", "@ X?11\r", "@ ?\r", "@ ?\r", "@ X?10\r"} << 1;
    QTest::newRow("hidden destinations are skipped, no separator after the level")
        << QList<int>{3, 17, 200} << 0 << 0
        << QByteArrayList{"@ X?02\r", "@ X?010\r", "@ X?0C7\r", "@ ?\r"} << 256;
    QTest::newRow("nothing visible")
        << QList<int>{} << 0 << 0 << QByteArrayList{"@ ?\r", "@ ?\r", "@ ?\r"} << 256;
    QTest::newRow("index left below the walk")
        << QList<int>{1} << 4 << -5 << QByteArrayList{"@ X?40\r"} << 1;
    QTest::newRow("index left beyond the walk")
        << QList<int>{1} << 4 << 300 << QByteArrayList{"@ ?\r", "@ X?40\r"} << 1;
}

void TestProtocols::leitchPoll()
{
    QFETCH(QList<int>, visible);
    QFETCH(int, level);
    QFETCH(int, startIndex);
    QFETCH(QByteArrayList, commands);
    QFETCH(int, endIndex);

    const RouterTable table = tableWithVisible(visible);
    RouterState state;
    state.PollIndex = startIndex;
    QByteArrayList sent;
    for (qsizetype i = 0; i < commands.size(); ++i)
        sent << NextLeitchPoll(state, table, level);
    QCOMPARE(sent, commands);
    QCOMPARE(state.PollIndex, endIndex);
}

void TestProtocols::leitchDecode_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("reports");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("rest");

    QTest::newRow("prompt before a status line") << QByteArray(">S:0A,3\r") << QByteArray("11:4") << true << QByteArray();
    QTest::newRow("LF and prompts, then an error line")
        << QByteArray("\n>>S:00,0\rF:12\r") << QByteArray("1:1") << true << QByteArray();
    QTest::newRow("error line alone") << QByteArray("F:12\r") << QByteArray() << false << QByteArray();
    QTest::newRow("two lines and a tail")
        << QByteArray("S:00A,1\rS:1FF,FF\rS:0") << QByteArray("11:2 256:256") << true << QByteArray("S:0");
    QTest::newRow("a repeated line is reported each time")
        << QByteArray("S:04,2\rS:04,2\r") << QByteArray("5:3 5:3") << true << QByteArray();
    QTest::newRow("level digit is not read") << QByteArray("S:70A,3\r") << QByteArray("11:4") << true << QByteArray();
    QTest::newRow("lower-case digits, further fields")
        << QByteArray("S:0a,b,7\r") << QByteArray("11:12") << true << QByteArray();
    QTest::newRow("up to 640 is reported")
        << QByteArray("S:0100,27F\r") << QByteArray("257:640") << true << QByteArray();
    QTest::newRow("destination 641 is dropped") << QByteArray("S:0280,0\r") << QByteArray() << true << QByteArray();
    QTest::newRow("source 641 is dropped") << QByteArray("S:00,280\r") << QByteArray() << true << QByteArray();
    QTest::newRow("more digits than any field") << QByteArray("S:0123456789,0\r") << QByteArray() << true << QByteArray();
    QTest::newRow("four digits read as a signed number")
        << QByteArray("S:0FFFF,0\r") << QByteArray("0:1") << true << QByteArray();
    QTest::newRow("no comma") << QByteArray("S:05\r") << QByteArray("6:1") << true << QByteArray();
    QTest::newRow("no digits") << QByteArray("S:0ZZ,\r") << QByteArray("1:1") << true << QByteArray();
    QTest::newRow("nothing after S:") << QByteArray("S:\r") << QByteArray("1:1") << true << QByteArray();
    QTest::newRow("second LF hides the status") << QByteArray("\n\nS:00,0\r") << QByteArray() << false << QByteArray();
    QTest::newRow("LF after the prompt hides the status")
        << QByteArray(">\nS:00,0\r") << QByteArray() << false << QByteArray();
    QTest::newRow("lower-case s") << QByteArray("s:00,0\r") << QByteArray() << false << QByteArray();
    QTest::newRow("no CR yet") << QByteArray("S:00,0") << QByteArray() << false << QByteArray("S:00,0");
    QTest::newRow("LF does not end a line") << QByteArray("S:00,0\n") << QByteArray() << false << QByteArray("S:00,0\n");
    QTest::newRow("binary garbage line")
        << bytes({0, 255, 201, 'S', ':', 13, 'S', ':', '0', '1', ',', '2', 13, 254})
        << QByteArray("2:3") << true << bytes({254});
    QTest::newRow("empty") << QByteArray() << QByteArray() << false << QByteArray();
}

void TestProtocols::leitchDecode()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, reports);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, rest);

    QByteArray buffer = input;
    const ReplyScan scan = DecodeLeitchReply(buffer);
    QCOMPARE(describe(scan.reports), reports);
    QCOMPARE(scan.accepted, accepted);
    QCOMPARE(buffer, rest);
}

void TestProtocols::imageVideoTake_data()
{
    QTest::addColumn<QByteArray>("takeString");
    QTest::addColumn<QByteArray>("command");

    QTest::newRow("source 3 to destination 1")
        << take("11111111", "0003", "0001") << bytes({193, 0, 2, 2, 2, 159, 254});
    QTest::newRow("source and destination 256")
        << take("00000000", "0256", "0256") << bytes({193, 255, 255, 255, 255, 159, 254});
    QTest::newRow("beyond 150 is still taken")
        << take("10000000", "0200", "0151") << bytes({193, 150, 199, 199, 199, 159, 254});
    // Byte 254 ends a frame, so 255 cannot be carried; 254 can.
    QTest::newRow("source 254") << take("11111111", "0254", "0001") << bytes({193, 0, 253, 253, 253, 159, 254});
    QTest::newRow("destination 254") << take("11111111", "0001", "0254") << bytes({193, 253, 0, 0, 0, 159, 254});
    QTest::newRow("source 255") << take("11111111", "0255", "0001") << QByteArray();
    QTest::newRow("destination 255") << take("11111111", "0001", "0255") << QByteArray();
    QTest::newRow("source 257") << take("11111111", "0257", "0001") << QByteArray();
    QTest::newRow("destination 257") << take("11111111", "0001", "0257") << QByteArray();
    QTest::newRow("source 0") << take("11111111", "0000", "0001") << QByteArray();
    QTest::newRow("destination blank") << take("11111111", "0001", "    ") << QByteArray();
    QTest::newRow("too large for a number") << take("11111111", "1E10", "0001") << QByteArray();
    QTest::newRow("cut inside the destination") << QByteArray("C 1111111100030") << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestProtocols::imageVideoTake()
{
    QFETCH(QByteArray, takeString);
    QFETCH(QByteArray, command);
    QCOMPARE(BuildImageVideoTake(takeString), command);
}

void TestProtocols::imageVideoPoll_data()
{
    QTest::addColumn<QList<int>>("visible");
    QTest::addColumn<int>("startIndex");
    QTest::addColumn<QByteArrayList>("commands");
    QTest::addColumn<QList<bool>>("activeAfter");

    const QByteArray first = bytes({192, 0, 254});
    QTest::newRow("destinations 1..3 visible")
        << QList<int>{1, 2, 3} << 0
        << QByteArrayList{first, bytes({192, 1, 254}), bytes({192, 2, 254}), first, first, first}
        << QList<bool>{true, true, true, true, false, false};
    QTest::newRow("nothing beyond 150 is polled")
        << QList<int>{150, 151, 256} << 0
        << QByteArrayList{bytes({192, 149, 254}), first, bytes({192, 149, 254})}
        << QList<bool>{true, false, false};
    QTest::newRow("index at the end: the poll ends at once")
        << QList<int>{1} << 150 << QByteArrayList{first, first} << QList<bool>{false, false};
    QTest::newRow("index left beyond the walk")
        << QList<int>{2} << 1000 << QByteArrayList{first, bytes({192, 1, 254})} << QList<bool>{false, false};
    QTest::newRow("index left below the walk")
        << QList<int>{2} << -7 << QByteArrayList{bytes({192, 1, 254})} << QList<bool>{true};
}

void TestProtocols::imageVideoPoll()
{
    QFETCH(QList<int>, visible);
    QFETCH(int, startIndex);
    QFETCH(QByteArrayList, commands);
    QFETCH(QList<bool>, activeAfter);

    const RouterTable table = tableWithVisible(visible);
    RouterState state;
    state.PollIndex = startIndex;
    state.PollActive = true;
    QByteArrayList sent;
    QList<bool> active;
    for (qsizetype i = 0; i < commands.size(); ++i) {
        sent << NextImageVideoPoll(state, table);
        active << state.PollActive;
    }
    QCOMPARE(sent, commands);
    QCOMPARE(active, activeAfter);
}

void TestProtocols::imageVideoDecode_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("reports");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("rest");

    QTest::newRow("noise before the report") << bytes({5, 201, 9, 4, 254}) << QByteArray("10:5") << true << QByteArray();
    QTest::newRow("destination above 150 reads as 0")
        << bytes({201, 200, 3, 254}) << QByteArray("0:4") << true << QByteArray();
    QTest::newRow("source above 150 reads as 0")
        << bytes({201, 149, 150, 254}) << QByteArray("150:0") << true << QByteArray();
    QTest::newRow("lowest numbers") << bytes({201, 0, 0, 254}) << QByteArray("1:1") << true << QByteArray();
    QTest::newRow("frame without 201") << bytes({17, 254}) << QByteArray() << false << QByteArray();
    QTest::newRow("201 and the end only") << bytes({201, 254}) << QByteArray() << true << QByteArray();
    QTest::newRow("the end byte read as the source")
        << bytes({201, 9, 254}) << QByteArray("10:0") << true << QByteArray();
    QTest::newRow("bytes after the report") << bytes({201, 1, 2, 99, 98, 254}) << QByteArray("2:3") << true << QByteArray();
    QTest::newRow("the first 201 counts") << bytes({201, 201, 7, 8, 254}) << QByteArray("0:8") << true << QByteArray();
    QTest::newRow("two frames and a tail")
        << bytes({201, 1, 2, 254, 17, 254, 201, 3, 4, 254, 201, 5})
        << QByteArray("2:3 4:5") << true << bytes({201, 5});
    QTest::newRow("report without its end") << bytes({201, 1, 2}) << QByteArray() << false << bytes({201, 1, 2});
    QTest::newRow("end bytes only") << bytes({254, 254, 254}) << QByteArray() << false << QByteArray();
    QTest::newRow("Leitch text") << QByteArray("S:00,0\r") << QByteArray() << false << QByteArray("S:00,0\r");
    QTest::newRow("empty") << QByteArray() << QByteArray() << false << QByteArray();
}

void TestProtocols::imageVideoDecode()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, reports);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, rest);

    QByteArray buffer = input;
    const ReplyScan scan = DecodeImageVideoReply(buffer);
    QCOMPARE(describe(scan.reports), reports);
    QCOMPARE(scan.accepted, accepted);
    QCOMPARE(buffer, rest);
}

void TestProtocols::framedTake_data()
{
    QTest::addColumn<QByteArray>("takeString");
    QTest::addColumn<QByteArray>("command");

    QTest::newRow("source 1 to destination 2")
        << take("11111111", "0001", "0002")
        << QByteArray("\x16" "32\x02" "6,O01   ,I00   ,I00   ,I00   ,I00   ,I00   ,I00   \x03" "091A\r");
    QTest::newRow("source 12 to destination 256")
        << take("00000000", "0012", "0256")
        << QByteArray("\x16" "32\x02" "6,O0255 ,I011  ,I011  ,I011  ,I011  ,I011  ,I011  \x03" "09B1\r");
    QTest::newRow("widest names")
        << take("00000000", "9999", "0300")
        << QByteArray("\x16" "32\x02" "6,O0299 ,I09998,I09998,I09998,I09998,I09998,I09998\x03" "0B3F\r");
    QTest::newRow("source 0") << take("11111111", "0000", "0002") << QByteArray();
    QTest::newRow("destination blank") << take("11111111", "0001", "    ") << QByteArray();
    QTest::newRow("too large for a number") << take("11111111", "0001", "9E99") << QByteArray();
    QTest::newRow("only the prefix") << QByteArray("C ") << QByteArray();
}

void TestProtocols::framedTake()
{
    QFETCH(QByteArray, takeString);
    QFETCH(QByteArray, command);
    QCOMPARE(BuildFramedTake(takeString), command);
}

void TestProtocols::framedDecode_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("reports");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("rest");

    QTest::newRow("router's own names") << framedLine("4,O01   ,I00   ") << QByteArray("2:1") << true << QByteArray();
    QTest::newRow("checksum not verified")
        << framedLine("4,O01   ,I00   ", "ZZ") << QByteArray("2:1") << true << QByteArray();
    QTest::newRow("default labels") << framedLine("4,OUT_5 ,IN_7  ") << QByteArray("5:7") << true << QByteArray();
    QTest::newRow("bytes before SYN are dropped")
        << "\x02junk\x03" + framedLine("4,OUT_5 ,IN_7  ") << QByteArray("5:7") << true << QByteArray();
    QTest::newRow("names in the single-byte code page")
        << framedLine("4,\x80" "3    ,\xC9" "4    ") << QByteArray("3:4") << true << QByteArray();
    QTest::newRow("unknown destination name") << framedLine("4,NOPE  ,I00   ") << QByteArray("0:1") << true << QByteArray();
    QTest::newRow("names are case-sensitive") << framedLine("4,out_5 ,in_7  ") << QByteArray("0:0") << true << QByteArray();
    QTest::newRow("destination 256 is dropped") << framedLine("4,O0255 ,I00   ") << QByteArray() << true << QByteArray();
    QTest::newRow("source 256 is dropped") << framedLine("4,O01   ,I0255 ") << QByteArray() << true << QByteArray();
    QTest::newRow("other bodies are ignored") << framedLine("2,O01   ,I00   ") << QByteArray() << false << QByteArray();
    QTest::newRow("take echoed back is ignored")
        << BuildFramedTake(take("11111111", "0001", "0002")) << QByteArray() << false << QByteArray();
    QTest::newRow("three length digits move the body")
        << QByteArray("\x16" "00F\x02" "4,O01   ,I00   \x03" "ABCD\r") << QByteArray() << false << QByteArray();
    QTest::newRow("line cut inside the names")
        << QByteArray("\x16" "0F\x02" "4,O01\r") << QByteArray("0:0") << true << QByteArray();
    QTest::newRow("line cut after the kind") << QByteArray("\x16" "0F\x02" "4\r") << QByteArray("0:0") << true << QByteArray();
    QTest::newRow("line without SYN") << QByteArray("0F\x02" "4,O01   ,I00   \x03\r") << QByteArray() << false << QByteArray();
    QTest::newRow("SYN and CR only") << QByteArray("\x16\r") << QByteArray() << false << QByteArray();
    QTest::newRow("two lines and a tail")
        << framedLine("4,O01   ,I00   ") + framedLine("4,OUT_9 ,IN_9  ") + "\x16" "0F\x02" "4,O0"
        << QByteArray("2:1 9:9") << true << QByteArray("\x16" "0F\x02" "4,O0");
    QTest::newRow("no CR yet") << framedLine("4,O01   ,I00   ").chopped(1) << QByteArray() << false
                               << framedLine("4,O01   ,I00   ").chopped(1);
    QTest::newRow("empty") << QByteArray() << QByteArray() << false << QByteArray();
}

void TestProtocols::framedDecode()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, reports);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, rest);

    const RouterTable table = framedTable();
    QByteArray buffer = input;
    const ReplyScan scan = DecodeFramedReply(buffer, table);
    QCOMPARE(describe(scan.reports), reports);
    QCOMPARE(scan.accepted, accepted);
    QCOMPARE(buffer, rest);
}

void TestProtocols::languageTable_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QString>("routerName");
    QTest::addColumn<int>("spacingMs");
    QTest::addColumn<bool>("polls");
    QTest::addColumn<bool>("walks");
    QTest::addColumn<QList<QByteArray>>("firstRequests"); // at level 3
    QTest::addColumn<QByteArray>("reportBody");           // destination 11 shows source 4
    QTest::addColumn<QByteArray>("take");                 // source 2 onto destination 10, level 0

    QTest::newRow("Leitch") << 1 << "Leitch Router" << 250 << true << false
                            << QList<QByteArray>{"@ ?\r", "@ S?3\r"} << QByteArray("S:0A,3")
                            << QByteArray("@ X:0/9,1\r");
    QTest::newRow("Image Video") << 2 << "Image Video Router" << 250 << true << true
                                 << QList<QByteArray>{bytes({192, 0, 254})} << bytes({201, 10, 3})
                                 << bytes({193, 9, 1, 1, 1, 159, 254});
    QTest::newRow("framed") << 3 << "Image Video Router" << 15 << false << false << QList<QByteArray>{}
                            << QByteArray("4,OUT11 ,IN4   ") << BuildFramedTake(take("10000000", "0002", "0010"));
}

// The table of languages and what each tells the links: its commands come
// out framed as its own decoder cuts them, and its report, framed by it, is
// the link evidence and the crosspoint.
void TestProtocols::languageTable()
{
    QFETCH(int, protocol);
    QFETCH(QString, routerName);
    QFETCH(int, spacingMs);
    QFETCH(bool, polls);
    QFETCH(bool, walks);
    QFETCH(QList<QByteArray>, firstRequests);
    QFETCH(QByteArray, reportBody);
    QFETCH(QByteArray, take);

    const DeviceLanguage *language = LanguageFor(protocol);
    QVERIFY(language);
    QCOMPARE(LanguageFor(protocol, false), language);
    QCOMPARE(LanguageFor(protocol, true), language);
    QVERIFY(isRouterProtocol(protocol));
    for (const int none : {0, -1, 7, 99})
        QVERIFY(!LanguageFor(none) && !isRouterProtocol(none));
    QCOMPARE(language->routerName(), routerName);
    QCOMPARE(language->sendSpacingMs(), spacingMs);
    QCOMPARE(language->pollsWhenSilent(), polls);
    QCOMPARE(language->walkLength() > 0, walks);

    RouterTable table;
    CreateDefaultRouterTable(table, 1);
    table.DestLabel[11] = "OUT11";
    table.SourceLabel[4] = "IN4";
    RouterState state;
    QCOMPARE(language->firstRequests(state, table, 3), firstRequests);
    QCOMPARE(state.PollActive, walks);
    QCOMPARE(language->buildTake(::take("10000000", "0002", "0010")), take);

    // Its own framing is what its decoder cuts: two reports in one read.
    QByteArray buffer = language->frame(reportBody) + language->frame(reportBody);
    const ReplyScan scan = language->decode(buffer, table);
    QVERIFY(scan.accepted);
    QCOMPARE(describe(scan.reports), QByteArray("11:4 11:4"));
    QCOMPARE(buffer, QByteArray());
}

void TestProtocols::splitAndJoinedInput_data()
{
    QTest::addColumn<Language>("language");
    QTest::addColumn<QByteArray>("stream");

    QTest::newRow("Leitch") << Language::Leitch
                            << QByteArray("\n>S:00A,1\rF:3\r>>S:1FF,FF\r\nS:010,2\rgarbage\rS:0");
    QTest::newRow("Image Video")
        << Language::ImageVideo << bytes({5, 201, 9, 4, 254, 17, 254, 201, 0, 0, 254, 201, 254, 201, 149, 2});
    QTest::newRow("framed") << Language::Framed
                            << "junk\r" + framedLine("4,O01   ,I00   ") + framedLine("2,x") +
                                   framedLine("4,OUT_5 ,IN_7  ") + "\x16" "0F";
}

// A router's reply reaches us in whatever pieces the line or the network
// delivers; the crosspoints found must not depend on where the cuts fall.
void TestProtocols::splitAndJoinedInput()
{
    QFETCH(Language, language);
    QFETCH(QByteArray, stream);

    QByteArray whole = stream;
    const ReplyScan joined = decode(language, whole);
    QVERIFY(joined.accepted);
    QVERIFY(!joined.reports.isEmpty());

    const auto feed = [&](const QList<QByteArray> &pieces, QByteArray &buffer) {
        QList<Crosspoint> reports;
        for (const QByteArray &piece : pieces) {
            buffer += piece;
            reports += decode(language, buffer).reports;
        }
        return reports;
    };

    // Every cut into two pieces.
    for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
        QByteArray buffer;
        const auto reports = feed({stream.first(cut), stream.sliced(cut)}, buffer);
        QCOMPARE(describe(reports), describe(joined.reports));
        QCOMPARE(buffer, whole);
    }

    // One byte at a time.
    QList<QByteArray> single;
    for (char c : stream)
        single << QByteArray(1, c);
    QByteArray buffer;
    QCOMPARE(describe(feed(single, buffer)), describe(joined.reports));
    QCOMPARE(buffer, whole);
}

void TestProtocols::garbageLeavesOnlyATail_data()
{
    QTest::addColumn<Language>("language");
    QTest::newRow("Leitch") << Language::Leitch;
    QTest::newRow("Image Video") << Language::ImageVideo;
    QTest::newRow("framed") << Language::Framed;
}

// Line noise, a wrong baud rate or a router speaking another language all end
// up in the buffer: whatever arrives, the decoder keeps only the bytes after
// the last terminator.
void TestProtocols::garbageLeavesOnlyATail()
{
    QFETCH(Language, language);
    const char terminator = terminatorOf(language);

    QByteArray everyByte;
    for (int b = 0; b <= 255; ++b)
        everyByte.append(char(b));
    QRandomGenerator random(20240501);
    QList<QByteArray> streams{everyByte, QByteArray(4096, terminator), QByteArray(4096, '\x16')};
    for (int i = 0; i < 50; ++i) {
        QByteArray noise(random.bounded(1, 600), Qt::Uninitialized);
        for (char &c : noise)
            c = char(random.bounded(256));
        streams << noise;
    }

    for (const QByteArray &stream : std::as_const(streams)) {
        QByteArray buffer = stream;
        decode(language, buffer);
        const qsizetype last = stream.lastIndexOf(terminator);
        QCOMPARE(buffer, stream.sliced(last + 1));
    }
}

// Videohub blocks cut from a stream: whole, and fed one byte at a time (the
// stream may split anywhere). Each block is "HEADER|line|line", a block of
// no known shape "!first line".
void TestProtocols::videohubBlocks_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("blocks");
    QTest::addColumn<qsizetype>("left");   // bytes still waiting for the rest of a block
    QTest::newRow("ping") << QByteArray("PING:\n\n") << QStringList{"PING"} << qsizetype(0);
    QTest::newRow("ack and nak") << QByteArray("ACK\n\nNAK\n\n") << QStringList{"ACK", "NAK"} << qsizetype(0);
    QTest::newRow("one route") << QByteArray("VIDEO OUTPUT ROUTING:\n7 2\n\n")
                               << QStringList{"VIDEO OUTPUT ROUTING|7 2"} << qsizetype(0);
    QTest::newRow("two blocks in one write")
        << QByteArray("VIDEO OUTPUT ROUTING:\n0 3\n1 3\n\nOUTPUT LABELS:\n6 new output label seven\n\n")
        << QStringList{"VIDEO OUTPUT ROUTING|0 3|1 3", "OUTPUT LABELS|6 new output label seven"} << qsizetype(0);
    QTest::newRow("CR LF line ends") << QByteArray("VIDEO OUTPUT ROUTING:\r\n7 2\r\n\r\n")
                                     << QStringList{"VIDEO OUTPUT ROUTING|7 2"} << qsizetype(0);
    QTest::newRow("empty lines between blocks") << QByteArray("\n\nPING:\n\n\n\r\n\nACK\n\n")
                                                << QStringList{"PING", "ACK"} << qsizetype(0);
    QTest::newRow("a block not ended yet") << QByteArray("PING:\n\nVIDEO OUTPUT ROUTING:\n4 5\n")
                                           << QStringList{"PING"} << qsizetype(26);
    QTest::newRow("no colon") << QByteArray("HELLO\n1 2\n\n") << QStringList{"!HELLO|1 2"} << qsizetype(0);
    QTest::newRow("a label in UTF-8 with spaces")
        << QByteArray("INPUT LABELS:\n0 R\xC3\xA9gie  2\n\n") << QStringList{QStringLiteral("INPUT LABELS|0 Régie  2")}
        << qsizetype(0);
}

void TestProtocols::videohubBlocks()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, blocks);
    QFETCH(qsizetype, left);
    const auto shown = [](const VideohubBlock &block) {
        QStringList parts{(block.malformed ? QStringLiteral("!") : QString()) + QString::fromUtf8(block.header)};
        for (const QByteArray &line : block.lines)
            parts.append(QString::fromUtf8(line));
        return parts.join(QLatin1Char('|'));
    };
    for (const bool byteByByte : {false, true}) {
        VideohubCutter cutter;
        QStringList got;
        if (byteByByte) {
            for (const char c : stream) {
                cutter.append(QByteArrayView(&c, 1));
                while (const auto block = cutter.next())
                    got.append(shown(*block));
            }
        } else {
            cutter.append(stream);
            while (const auto block = cutter.next())
                got.append(shown(*block));
        }
        QCOMPARE(got, blocks);
        QCOMPARE(cutter.pendingBytes(), left);
        QVERIFY(!cutter.overflowed());
    }

    // What the writer makes, the cutter reads back.
    VideohubCutter again;
    again.append(writeVideohubBlock("VIDEO OUTPUT ROUTING", {"0 3", "1 3"}));
    const auto block = again.next();
    QVERIFY(block.has_value());
    QCOMPARE(shown(*block), QStringLiteral("VIDEO OUTPUT ROUTING|0 3|1 3"));
    QCOMPARE(writeVideohubBlock("PING", {}), QByteArray("PING:\n\n"));
}

void TestProtocols::videohubIndexedLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("index");          // -1: not an indexed line
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("route") << QByteArray("7 2") << 7 << QByteArray("2");
    QTest::newRow("label with spaces") << QByteArray("6 new output label seven") << 6
                                       << QByteArray("new output label seven");
    QTest::newRow("empty label") << QByteArray("12 ") << 12 << QByteArray();
    QTest::newRow("lock") << QByteArray("0 U") << 0 << QByteArray("U");
    QTest::newRow("negative") << QByteArray("-1 2") << -1 << QByteArray();
    QTest::newRow("not a number") << QByteArray("x 2") << -1 << QByteArray();
    QTest::newRow("no value") << QByteArray("7") << -1 << QByteArray();
    QTest::newRow("leading space") << QByteArray(" 7 2") << -1 << QByteArray();
    QTest::newRow("number past int") << QByteArray("99999999999 1") << -1 << QByteArray();
}

void TestProtocols::videohubIndexedLines()
{
    QFETCH(QByteArray, line);
    QFETCH(int, index);
    QFETCH(QByteArray, value);
    const auto parsed = parseVideohubIndexedLine(line);
    QCOMPARE(parsed.has_value(), index >= 0);
    if (parsed) {
        QCOMPARE(parsed->index, index);
        QCOMPARE(parsed->value, value);
    }
}

// A block that never ends is dropped at the limit and said, and the
// cutter goes on with what follows.
void TestProtocols::videohubBlockLimit()
{
    VideohubCutter cutter;
    const QByteArray line(1000, 'a');
    for (int i = 0; i <= VideohubCutter::kBlockLimit / 1001; ++i) {
        cutter.append(line + '\n');
        QVERIFY(!cutter.next().has_value());
    }
    QVERIFY(cutter.overflowed());
    QCOMPARE(cutter.pendingBytes(), 0);
    cutter.append(QByteArray("PING:\n\n"));
    const auto block = cutter.next();
    QVERIFY(block.has_value());
    QCOMPARE(block->header, QByteArray("PING"));
}

QTEST_GUILESS_MAIN(TestProtocols)
#include "tst_protocols.moc"
