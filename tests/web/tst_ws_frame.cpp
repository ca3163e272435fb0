#include "web/ws_frame.h"

#include <QTest>

using namespace marlin;

namespace {

// A client frame: FIN as given, the opcode, the length in the form asked
// (7, 16 or 64 bits), masked with key unless mask is false.
QByteArray clientFrame(quint8 opcode, const QByteArray &payload, bool fin = true, int lengthBits = 0,
                       bool mask = true, quint8 extraBits = 0)
{
    QByteArray frame;
    frame.append(char((fin ? 0x80 : 0) | extraBits | opcode));
    const quint64 size = quint64(payload.size());
    const int bits = lengthBits ? lengthBits : size < 126 ? 7 : size <= 0xFFFF ? 16 : 64;
    const char maskBit = mask ? char(0x80) : char(0);
    if (bits == 7) {
        frame.append(char(maskBit | char(size)));
    } else if (bits == 16) {
        frame.append(char(maskBit | 126)).append(char(size >> 8)).append(char(size & 0xFF));
    } else {
        frame.append(char(maskBit | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.append(char((size >> shift) & 0xFF));
    }
    const QByteArray key("\x12\x34\x56\x78", 4);
    if (mask)
        frame.append(key);
    for (qsizetype i = 0; i < payload.size(); ++i)
        frame.append(mask ? char(payload[i] ^ key[i % 4]) : payload[i]);
    return frame;
}

WsFrames take(const QByteArray &bytes)
{
    return takeFrames(reinterpret_cast<const unsigned char *>(bytes.constData()), std::size_t(bytes.size()));
}

} // namespace

class TestWsFrame : public QObject {
    Q_OBJECT

private slots:
    void serverFrames_data();
    void serverFrames();
    void clientFrames_data();
    void clientFrames();
};

void TestWsFrame::serverFrames_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("head"); // the bytes before the payload
    QTest::newRow("empty") << 0 << QByteArray("\x81\x00", 2);
    QTest::newRow("125: 7-bit length") << 125 << QByteArray("\x81\x7D");
    QTest::newRow("126: 16-bit length") << 126 << QByteArray("\x81\x7E\x00\x7E", 4);
    QTest::newRow("65535: 16-bit length") << 65535 << QByteArray("\x81\x7E\xFF\xFF");
    QTest::newRow("65536: 64-bit length") << 65536 << QByteArray("\x81\x7F\x00\x00\x00\x00\x00\x01\x00\x00", 10);
}

void TestWsFrame::serverFrames()
{
    QFETCH(int, size);
    QFETCH(QByteArray, head);
    const std::string payload(std::size_t(size), 'p');
    const std::string frame = makeFrame(WsText, payload.data(), payload.size());
    QCOMPARE(QByteArray::fromStdString(frame.substr(0, std::size_t(head.size()))), head);
    QCOMPARE(frame.size(), std::size_t(head.size()) + payload.size());
    QVERIFY(frame.compare(std::size_t(head.size()), std::string::npos, payload) == 0);
    // A close carries its status first, big-endian, and never more than 125 bytes.
    const std::string close = makeCloseFrame(1008, std::string(300, 'r'));
    QCOMPARE(QByteArray::fromStdString(close.substr(0, 4)), QByteArray("\x88\x7D\x03\xF0"));
    QCOMPARE(close.size(), std::size_t(2 + 125));
}

void TestWsFrame::clientFrames_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<int>>("opcodes");   // of the whole frames taken
    QTest::addColumn<QByteArray>("lastPayload");
    QTest::addColumn<int>("consumed");         // -1: all of bytes
    QTest::addColumn<bool>("fault");

    const QByteArray hello = clientFrame(WsText, "hello");
    const QByteArray ping = clientFrame(WsPing, "are you there");
    const QByteArray close = clientFrame(WsClose, QByteArray("\x03\xE8" "bye", 5));
    const QByteArray mid(300, 'm');
    QTest::newRow("masked text") << hello << QList<int>{WsText} << QByteArray("hello") << -1 << false;
    QTest::newRow("unmasked: refused") << clientFrame(WsText, "hello", true, 0, false) << QList<int>{} << QByteArray() << 0 << true;
    QTest::newRow("reserved bit: refused") << clientFrame(WsText, "x", true, 0, true, 0x40) << QList<int>{} << QByteArray() << 0 << true;
    QTest::newRow("16-bit length") << clientFrame(WsBinary, mid) << QList<int>{WsBinary} << mid << -1 << false;
    QTest::newRow("64-bit length, small") << clientFrame(WsText, "tiny", true, 64) << QList<int>{WsText} << QByteArray("tiny") << -1 << false;
    QTest::newRow("64-bit length past the limit") << clientFrame(WsBinary, QByteArray(int(kWsLargestClientFrame) + 1, 'x'))
                                                  << QList<int>{} << QByteArray() << 0 << true;
    QTest::newRow("64-bit length 2^63, header only") << QByteArray("\x82\xFF\x80\x00\x00\x00\x00\x00\x00\x00", 10)
                                                     << QList<int>{} << QByteArray() << 0 << true;
    QTest::newRow("fragments and a ping between") << clientFrame(WsText, "frag", false) + ping + clientFrame(WsContinuation, "ment")
                                                  << QList<int>{WsText, WsPing, WsContinuation} << QByteArray("ment") << -1 << false;
    QTest::newRow("fragmented ping: refused") << clientFrame(WsPing, "p", false) << QList<int>{} << QByteArray() << 0 << true;
    QTest::newRow("control frame of 126 bytes: refused") << clientFrame(WsPing, QByteArray(126, 'p')) << QList<int>{}
                                                         << QByteArray() << 0 << true;
    QTest::newRow("close ends the list") << ping + close + hello << QList<int>{WsPing, WsClose}
                                         << QByteArray("\x03\xE8" "bye", 5) << int(ping.size() + close.size()) << false;
    QTest::newRow("half a frame waits") << hello + ping.left(ping.size() - 1) << QList<int>{WsText} << QByteArray("hello")
                                        << int(hello.size()) << false;
    QTest::newRow("half a 64-bit length waits") << QByteArray("\x81\xFF\x00\x00", 4) << QList<int>{} << QByteArray() << 0 << false;
    QTest::newRow("good frame, then a bad one") << hello + clientFrame(WsText, "x", true, 0, false) << QList<int>{WsText}
                                                << QByteArray("hello") << int(hello.size()) << true;
}

void TestWsFrame::clientFrames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<int>, opcodes);
    QFETCH(QByteArray, lastPayload);
    QFETCH(int, consumed);
    QFETCH(bool, fault);
    const WsFrames taken = take(bytes);
    QList<int> got;
    for (const WsFrame &frame : taken.frames)
        got.append(frame.opcode);
    QCOMPARE(got, opcodes);
    if (!taken.frames.empty())
        QCOMPARE(QByteArray::fromStdString(taken.frames.back().payload), lastPayload);
    QCOMPARE(taken.consumed, std::size_t(consumed < 0 ? bytes.size() : consumed));
    QCOMPARE(taken.fault, fault);
}

QTEST_GUILESS_MAIN(TestWsFrame)
#include "tst_ws_frame.moc"
