// The router simulator, driven from the server's end: real TCP and UDP
// sockets on 127.0.0.1 and real pseudo-terminals opened through their links.

#include "control_commands.h"
#include "crosspoint_table.h"
#include "router_config.h"
#include "router_dialect.h"
#include "simulated_router.h"
#include "test_support.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <cerrno>
#include <fcntl.h>
#include <initializer_list>
#include <memory>
#include <termios.h>
#include <unistd.h>

using testsupport::bytes;

namespace {

// SYN, length, STX, body, ETX, checksum, CR; lengths and checksums worked out by hand.
QByteArray framed(const char *length, const QByteArray &body, const char *checksum)
{
    return QByteArray("\x16") + length + '\x02' + body + '\x03' + checksum + '\r';
}

const QByteArray takeSource1Destination2 = framed(
    "32", "6,O01   ,I00   ,I00   ,I00   ,I00   ,I00   ,I00   ", "091A");
const QByteArray reportSource1Destination2 = framed("0F", "4,O01   ,I00   ", "0320");
const QByteArray takeSource12Destination256 = framed(
    "32", "6,O0255 ,I011  ,I011  ,I011  ,I011  ,I011  ,I011  ", "09B1");
const QByteArray reportSource12Destination256 = framed("0F", "4,O0255 ,I011  ", "035D");
const QByteArray takeSource3Destination5 = framed(
    "32", "6,O04   ,I02   ,I02   ,I02   ,I02   ,I02   ,I02   ", "0929");
const QByteArray reportSource3Destination5 = framed("0F", "4,O04   ,I02   ", "0325");

// The server's end of one link.
class Peer : public QObject
{
public:
    virtual void send(const QByteArray &data) = 0;
    QByteArray received;
    bool hungUp = false;
};

class TcpPeer : public Peer
{
public:
    explicit TcpPeer(quint16 port)
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this] { received += socket.readAll(); });
        connect(&socket, &QTcpSocket::disconnected, this, [this] { hungUp = true; });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    void send(const QByteArray &data) override
    {
        // Written out once connected, like the server's own sends.
        socket.write(data);
    }
    QTcpSocket socket;
};

class UdpPeer : public Peer
{
public:
    explicit UdpPeer(quint16 port) : port(port)
    {
        socket.bind(QHostAddress::LocalHost, 0);
        connect(&socket, &QUdpSocket::readyRead, this, [this] {
            while (socket.hasPendingDatagrams())
                received += socket.receiveDatagram().data();
        });
    }
    void send(const QByteArray &data) override
    {
        socket.writeDatagram(data, QHostAddress::LocalHost, port);
    }
    QUdpSocket socket;
    quint16 port;
};

class PtyPeer : public Peer
{
public:
    explicit PtyPeer(const QString &path)
    {
        fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return;
        termios attributes{};
        tcgetattr(fd, &attributes);
        cfmakeraw(&attributes);
        tcsetattr(fd, TCSANOW, &attributes);
        notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] { readAll(); });
    }
    ~PtyPeer() override
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool isOpen() const { return fd >= 0; }
    void send(const QByteArray &data) override
    {
        qsizetype done = 0;
        while (fd >= 0 && done < data.size()) {
            const ssize_t n = ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
            if (n <= 0)
                return;
            done += n;
        }
    }

private:
    void readAll()
    {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0) {
                received.append(chunk, n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return;
            // End of file or EIO: the other side of the pty is gone.
            hungUp = true;
            notifier->setEnabled(false);
            return;
        }
    }

    int fd = -1;
    QSocketNotifier *notifier = nullptr;
};

bool sawEvent(const QSignalSpy &events, const QString &text)
{
    for (const QList<QVariant> &arguments : events) {
        if (arguments.at(0).toString().contains(text))
            return true;
    }
    return false;
}

} // namespace

Q_DECLARE_METATYPE(RouterLanguage)
Q_DECLARE_METATYPE(TransportKind)

class TestRouterSim : public QObject
{
    Q_OBJECT

private slots:
    void dialectCommands_data();
    void dialectCommands();
    void takeAndQuery_data();
    void takeAndQuery();
    void splitCommand_data();
    void splitCommand();
    void silent_data();
    void silent();
    void dropTcp();
    void dropPty();
    void dropUdp();
    void panelChangesReachEveryParty();
    void framedRouterReportsUnasked();
    void garbage_data();
    void garbage();
    void junkNeverStopsTheRouter_data();
    void junkNeverStopsTheRouter();
    void ptyLink();
    void routerArguments_data();
    void routerArguments();
    void initialSources();
    void controlCommands_data();
    void controlCommands();
    void controlCommandEffects();
    void executable();

private:
    std::unique_ptr<SimulatedRouter> startRouter(RouterLanguage language, TransportKind transport,
                                                 bool prompt = false, int size = 32);
    std::unique_ptr<Peer> connectPeer(const SimulatedRouter &router);

    QTemporaryDir folder;
};

std::unique_ptr<SimulatedRouter> TestRouterSim::startRouter(RouterLanguage language,
                                                            TransportKind transport, bool prompt,
                                                            int size)
{
    RouterConfig config;
    config.language = language;
    config.transport = transport;
    config.linkPath = folder.filePath(QStringLiteral("COM1"));
    config.prompt = prompt;
    config.size = size;
    auto router = std::make_unique<SimulatedRouter>(config);
    QString error;
    if (!router->start(&error))
        qWarning("router did not start: %s", qPrintable(error));
    return router;
}

std::unique_ptr<Peer> TestRouterSim::connectPeer(const SimulatedRouter &router)
{
    switch (router.config().transport) {
    case TransportKind::Tcp: return std::make_unique<TcpPeer>(router.localPort());
    case TransportKind::Udp: return std::make_unique<UdpPeer>(router.localPort());
    case TransportKind::Pty: return std::make_unique<PtyPeer>(router.config().linkPath);
    }
    return nullptr;
}

void TestRouterSim::dialectCommands_data()
{
    QTest::addColumn<RouterLanguage>("language");
    QTest::addColumn<bool>("prompt");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<QByteArray>("left");
    QTest::addColumn<int>("destination");
    QTest::addColumn<int>("source");

    const auto leitch = RouterLanguage::Leitch;
    const auto iv = RouterLanguage::ImageVideo;
    const auto fr = RouterLanguage::Framed;

    // The table reports 3 destinations and starts with source 1 everywhere.
    QTest::newRow("leitch take, one level") << leitch << false << QByteArray("@ X:0/4,2\r")
        << QByteArray("S:04,2\r") << QByteArray() << 5 << 3;
    QTest::newRow("leitch take, two levels") << leitch << false << QByteArray("@ X:01/9,1\r")
        << QByteArray("S:09,1\rS:19,1\r") << QByteArray() << 10 << 2;
    QTest::newRow("leitch take, highest numbers") << leitch << false << QByteArray("@ X:7/FF,FE\r")
        << QByteArray("S:7FF,FE\r") << QByteArray() << 256 << 255;
    QTest::newRow("leitch take, lower-case hex") << leitch << false << QByteArray("@ X:3/1a,b\r")
        << QByteArray("S:31A,B\r") << QByteArray() << 27 << 12;
    QTest::newRow("leitch take, no level") << leitch << false << QByteArray("@ X:/9,1\r")
        << QByteArray() << QByteArray() << 10 << 1;
    QTest::newRow("leitch take, destination too big") << leitch << false << QByteArray("@ X:0/100,1\r")
        << QByteArray() << QByteArray() << 1 << 1;
    QTest::newRow("leitch query") << leitch << false << QByteArray("@ X?34\r")
        << QByteArray("S:34,0\r") << QByteArray() << 5 << 1;
    QTest::newRow("leitch level status") << leitch << false << QByteArray("@ S?1\r")
        << QByteArray("S:10,0\rS:11,0\rS:12,0\r") << QByteArray() << 1 << 1;
    QTest::newRow("leitch status request") << leitch << false << QByteArray("@ ?\r")
        << QByteArray(">\r") << QByteArray() << 1 << 1;
    QTest::newRow("leitch prompt, take") << leitch << true << QByteArray("@ X:0/4,2\r")
        << QByteArray("\n>S:04,2\r") << QByteArray() << 5 << 3;
    QTest::newRow("leitch prompt, status request") << leitch << true << QByteArray("@ ?\r")
        << QByteArray("\n>\r") << QByteArray() << 1 << 1;
    QTest::newRow("leitch joined and partial") << leitch << false
        << QByteArray("@ X:0/1,1\r@ X?01\r@ X?0")
        << QByteArray("S:01,1\rS:01,1\r") << QByteArray("@ X?0") << 2 << 2;
    QTest::newRow("leitch junk lines, CR LF") << leitch << false
        << QByteArray("F:00\r@ X:0/1G,1\r\xff\x01\r\n@ X?00\r")
        << QByteArray("S:00,0\r") << QByteArray() << 1 << 1;

    QTest::newRow("iv take") << iv << false << bytes({193, 9, 4, 4, 4, 159, 254})
        << bytes({201, 9, 4, 254}) << QByteArray() << 10 << 5;
    QTest::newRow("iv query") << iv << false << bytes({192, 9, 254})
        << bytes({201, 9, 0, 254}) << QByteArray() << 10 << 1;
    QTest::newRow("iv take, 254 inside") << iv << false << bytes({193, 254, 253, 253, 253, 159, 254})
        << bytes({201, 254, 253, 254}) << QByteArray() << 255 << 254;
    QTest::newRow("iv query, 254 inside") << iv << false << bytes({192, 254, 254})
        << bytes({201, 254, 0, 254}) << QByteArray() << 1 << 1;
    QTest::newRow("iv unknown frame skipped") << iv << false << bytes({17, 254, 192, 0, 254})
        << bytes({201, 0, 0, 254}) << QByteArray() << 1 << 1;
    QTest::newRow("iv sources differ") << iv << false << bytes({193, 1, 2, 3, 2, 159, 254, 192, 1, 254})
        << bytes({201, 1, 0, 254}) << QByteArray() << 2 << 1;
    QTest::newRow("iv partial take") << iv << false << bytes({192, 2, 254, 193, 1, 2, 2})
        << bytes({201, 2, 0, 254}) << bytes({193, 1, 2, 2}) << 2 << 1;

    QTest::newRow("framed take") << fr << false << takeSource1Destination2
        << reportSource1Destination2 << QByteArray() << 2 << 1;
    QTest::newRow("framed take, widest names") << fr << false << takeSource12Destination256
        << reportSource12Destination256 << QByteArray() << 256 << 12;
    QTest::newRow("framed noise before SYN") << fr << false << QByteArray("\x05zz") + takeSource3Destination5
        << reportSource3Destination5 << QByteArray() << 5 << 3;
    QByteArray badChecksum = takeSource3Destination5;
    badChecksum.replace("0929", "0928");
    QTest::newRow("framed wrong checksum") << fr << false << badChecksum
        << QByteArray() << QByteArray() << 5 << 1;
    QByteArray badLength = takeSource3Destination5;
    badLength.replace("\x16" "32", "\x16" "31");
    QTest::newRow("framed wrong length") << fr << false << badLength
        << QByteArray() << QByteArray() << 5 << 1;
    QTest::newRow("framed other body") << fr << false << framed("01", "2", "0098")
        << QByteArray() << QByteArray() << 1 << 1;
    QTest::newRow("framed partial") << fr << false << takeSource3Destination5.left(20)
        << QByteArray() << takeSource3Destination5.left(20) << 5 << 1;
}

void TestRouterSim::dialectCommands()
{
    QFETCH(RouterLanguage, language);
    QFETCH(bool, prompt);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, replies);
    QFETCH(QByteArray, left);
    QFETCH(int, destination);
    QFETCH(int, source);

    const auto dialect = makeDialect(language, prompt);
    CrosspointTable table(3);
    QByteArray buffer = input;
    QByteArray answered;
    for (const Exchange &exchange : dialect->consume(buffer, table)) {
        for (const QByteArray &reply : exchange.replies)
            answered += reply;
    }
    QCOMPARE(answered, replies);
    QCOMPARE(buffer, left);
    QCOMPARE(table.source(destination), source);
}

void TestRouterSim::takeAndQuery_data()
{
    QTest::addColumn<RouterLanguage>("language");
    QTest::addColumn<TransportKind>("transport");
    QTest::addColumn<bool>("prompt");
    QTest::addColumn<QByteArray>("take");
    QTest::addColumn<QByteArray>("takeReply");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("queryReply");
    QTest::addColumn<int>("destination");
    QTest::addColumn<int>("source");

    const TransportKind transports[] = {TransportKind::Tcp, TransportKind::Udp, TransportKind::Pty};
    for (const TransportKind transport : transports) {
        const QByteArray kind = transportName(transport).toLatin1();
        QTest::newRow("leitch " + kind) << RouterLanguage::Leitch << transport << false
            << QByteArray("@ X:0/4,2\r") << QByteArray("S:04,2\r")
            << QByteArray("@ X?34\r") << QByteArray("S:34,2\r") << 5 << 3;
        QTest::newRow("iv " + kind) << RouterLanguage::ImageVideo << transport << false
            << bytes({193, 9, 4, 4, 4, 159, 254}) << bytes({201, 9, 4, 254})
            << bytes({192, 9, 254}) << bytes({201, 9, 4, 254}) << 10 << 5;
        // The framed dialect has no query: a second take stands in for it.
        QTest::newRow("framed " + kind) << RouterLanguage::Framed << transport << false
            << takeSource3Destination5 << reportSource3Destination5
            << takeSource1Destination2 << reportSource1Destination2 << 5 << 3;
    }
    QTest::newRow("leitch tcp, prompts") << RouterLanguage::Leitch << TransportKind::Tcp << true
        << QByteArray("@ X:01/4,2\r") << QByteArray("\n>S:04,2\r\n>S:14,2\r")
        << QByteArray("@ X?34\r") << QByteArray("\n>S:34,2\r") << 5 << 3;
}

void TestRouterSim::takeAndQuery()
{
    QFETCH(RouterLanguage, language);
    QFETCH(TransportKind, transport);
    QFETCH(bool, prompt);
    QFETCH(QByteArray, take);
    QFETCH(QByteArray, takeReply);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, queryReply);
    QFETCH(int, destination);
    QFETCH(int, source);

    const auto router = startRouter(language, transport, prompt);
    QVERIFY(router->isRunning());
    const auto peer = connectPeer(*router);

    peer->send(take);
    QTRY_COMPARE(peer->received, takeReply);
    QCOMPARE(router->source(destination), source);

    peer->received.clear();
    peer->send(query);
    QTRY_COMPARE(peer->received, queryReply);
}

void TestRouterSim::splitCommand_data()
{
    QTest::addColumn<RouterLanguage>("language");
    QTest::addColumn<TransportKind>("transport");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("cut");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("leitch tcp") << RouterLanguage::Leitch << TransportKind::Tcp
        << QByteArray("@ X:0/4,2\r") << 6 << QByteArray("S:04,2\r");
    QTest::newRow("iv udp") << RouterLanguage::ImageVideo << TransportKind::Udp
        << bytes({193, 9, 4, 4, 4, 159, 254}) << 3 << bytes({201, 9, 4, 254});
    QTest::newRow("iv udp, 254 in the first part") << RouterLanguage::ImageVideo << TransportKind::Udp
        << bytes({193, 254, 4, 4, 4, 159, 254}) << 2 << bytes({201, 254, 4, 254});
    QTest::newRow("framed pty") << RouterLanguage::Framed << TransportKind::Pty
        << takeSource3Destination5 << 30 << reportSource3Destination5;
}

void TestRouterSim::splitCommand()
{
    QFETCH(RouterLanguage, language);
    QFETCH(TransportKind, transport);
    QFETCH(QByteArray, command);
    QFETCH(int, cut);
    QFETCH(QByteArray, reply);

    const auto router = startRouter(language, transport);
    const auto peer = connectPeer(*router);
    peer->send(command.left(cut));
    QTRY_COMPARE(router->pendingBytes(), cut);
    QVERIFY(peer->received.isEmpty());
    peer->send(command.mid(cut));
    QTRY_COMPARE(peer->received, reply);
    QCOMPARE(router->pendingBytes(), 0);
}

void TestRouterSim::silent_data()
{
    QTest::addColumn<TransportKind>("transport");
    QTest::newRow("tcp") << TransportKind::Tcp;
    QTest::newRow("udp") << TransportKind::Udp;
    QTest::newRow("pty") << TransportKind::Pty;
}

void TestRouterSim::silent()
{
    QFETCH(TransportKind, transport);

    const auto router = startRouter(RouterLanguage::Leitch, transport);
    QSignalSpy events(router.get(), &SimulatedRouter::event);
    const auto peer = connectPeer(*router);
    router->setSilent(true);
    peer->send("@ X:0/4,2\r@ S?0\r");
    QTRY_VERIFY(sawEvent(events, QStringLiteral("rx @ S?0  (silent)")));
    router->setCrosspoint(7, 9);
    router->reportAll();

    // Whatever the silent router had said would arrive before this answer.
    router->setSilent(false);
    peer->send("@ X?04\r@ X?06\r");
    QTRY_COMPARE(peer->received, QByteArray("S:04,2\rS:06,8\r"));
    QCOMPARE(router->source(5), 3);
}

void TestRouterSim::dropTcp()
{
    const auto router = startRouter(RouterLanguage::ImageVideo, TransportKind::Tcp);
    TcpPeer first(router->localPort());
    TcpPeer second(router->localPort());
    QTRY_COMPARE(router->connectionCount(), 2);

    router->drop();
    QTRY_VERIFY(first.hungUp);
    QTRY_VERIFY(second.hungUp);
    QCOMPARE(router->connectionCount(), 0);

    // Still listening: the server's next connect is served.
    TcpPeer again(router->localPort());
    again.send(bytes({193, 0, 7, 7, 7, 159, 254}));
    QTRY_COMPARE(again.received, bytes({201, 0, 7, 254}));
}

void TestRouterSim::dropPty()
{
    const auto router = startRouter(RouterLanguage::Leitch, TransportKind::Pty);
    const QString link = router->config().linkPath;
    const QString before = router->devicePath();
    QCOMPARE(QFile::symLinkTarget(link), before);

    PtyPeer peer(link);
    QVERIFY(peer.isOpen());
    peer.send("@ X:0/0,1\r");
    QTRY_COMPARE(peer.received, QByteArray("S:00,1\r"));

    router->drop();
    QTRY_VERIFY(peer.hungUp);
    QTRY_VERIFY(!router->devicePath().isEmpty());
    QVERIFY(router->devicePath() != before);
    QCOMPARE(QFile::symLinkTarget(link), router->devicePath());

    PtyPeer reopened(link);
    QVERIFY(reopened.isOpen());
    reopened.send("@ X?00\r");
    QTRY_COMPARE(reopened.received, QByteArray("S:00,1\r"));
}

void TestRouterSim::dropUdp()
{
    const auto router = startRouter(RouterLanguage::Leitch, TransportKind::Udp);
    UdpPeer peer(router->localPort());
    peer.send("@ X?00\r");
    QTRY_COMPARE(peer.received, QByteArray("S:00,0\r"));
    router->setCrosspoint(2, 2);
    QTRY_COMPARE(peer.received, QByteArray("S:00,0\rS:01,1\r"));

    // Forgotten: the next change at the panel goes nowhere...
    router->drop();
    QCOMPARE(router->connectionCount(), 0);
    router->setCrosspoint(3, 3);
    peer.received.clear();
    peer.send("@ X?02\r");
    QTRY_COMPARE(peer.received, QByteArray("S:02,2\r"));
    // ...until the sender speaks again.
    router->setCrosspoint(4, 4);
    QTRY_COMPARE(peer.received, QByteArray("S:02,2\rS:03,3\r"));
}

void TestRouterSim::panelChangesReachEveryParty()
{
    const auto router = startRouter(RouterLanguage::ImageVideo, TransportKind::Tcp, false, 3);
    TcpPeer first(router->localPort());
    TcpPeer second(router->localPort());
    QTRY_COMPARE(router->connectionCount(), 2);

    QVERIFY(router->setCrosspoint(2, 9));
    QVERIFY(!router->setCrosspoint(257, 1));
    QVERIFY(!router->setCrosspoint(1, 0));
    QTRY_COMPARE(first.received, bytes({201, 1, 8, 254}));
    QTRY_COMPARE(second.received, bytes({201, 1, 8, 254}));

    first.received.clear();
    router->reportAll();
    QTRY_COMPARE(first.received, bytes({201, 0, 0, 254, 201, 1, 8, 254, 201, 2, 0, 254}));

    // An answer goes only to the party that asked.
    first.received.clear();
    second.received.clear();
    second.send(bytes({192, 1, 254}));
    QTRY_COMPARE(second.received, bytes({201, 1, 8, 254}));
    QVERIFY(first.received.isEmpty());
}

void TestRouterSim::framedRouterReportsUnasked()
{
    RouterConfig config;
    config.language = RouterLanguage::Framed;
    config.transport = TransportKind::Udp;
    config.size = 3;
    config.reportIntervalMs = 100;
    SimulatedRouter router(config);
    QVERIFY(router.start());
    UdpPeer peer(router.localPort());
    peer.send(takeSource1Destination2);
    QTRY_COMPARE(peer.received, reportSource1Destination2);

    // Nobody asks again, yet the whole report keeps coming, the take included.
    peer.received.clear();
    QTRY_VERIFY(peer.received.count(reportSource1Destination2) >= 2);
    QVERIFY(peer.received.startsWith(QByteArray("\x16")));
}

void TestRouterSim::garbage_data()
{
    QTest::addColumn<RouterLanguage>("language");
    QTest::addColumn<TransportKind>("transport");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<char>("terminator");

    QTest::newRow("leitch tcp") << RouterLanguage::Leitch << TransportKind::Tcp
        << QByteArray("@ X?00\r") << QByteArray("S:00,0\r") << '\r';
    QTest::newRow("iv udp") << RouterLanguage::ImageVideo << TransportKind::Udp
        << bytes({192, 0, 254}) << bytes({201, 0, 0, 254}) << static_cast<char>(254);
    QTest::newRow("framed pty") << RouterLanguage::Framed << TransportKind::Pty
        << takeSource1Destination2 << reportSource1Destination2 << '\r';
}

void TestRouterSim::garbage()
{
    QFETCH(RouterLanguage, language);
    QFETCH(TransportKind, transport);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);
    QFETCH(char, terminator);

    const auto router = startRouter(language, transport);
    const auto peer = connectPeer(*router);
    router->setGarbage(true);
    peer->send(query);
    // The answer and the noise after it: never a complete line or frame.
    QTRY_VERIFY(peer->received.size() > 100);
    QVERIFY(!peer->received.contains(terminator));

    router->setGarbage(false);
    peer->send(query);
    QTRY_VERIFY(peer->received.endsWith(reply));
}

void TestRouterSim::junkNeverStopsTheRouter_data()
{
    QTest::addColumn<RouterLanguage>("language");
    QTest::addColumn<QByteArray>("resync");
    QTest::addColumn<QByteArray>("take");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("leitch") << RouterLanguage::Leitch << QByteArray("\r")
        << QByteArray("@ X:0/4,2\r") << QByteArray("S:04,2\r");
    QTest::newRow("iv") << RouterLanguage::ImageVideo << bytes({254})
        << bytes({193, 9, 4, 4, 4, 159, 254}) << bytes({201, 9, 4, 254});
    QTest::newRow("framed") << RouterLanguage::Framed << QByteArray("\r")
        << takeSource3Destination5 << reportSource3Destination5;
}

void TestRouterSim::junkNeverStopsTheRouter()
{
    QFETCH(RouterLanguage, language);
    QFETCH(QByteArray, resync);
    QFETCH(QByteArray, take);
    QFETCH(QByteArray, reply);

    const auto router = startRouter(language, TransportKind::Tcp);
    QSignalSpy events(router.get(), &SimulatedRouter::event);
    TcpPeer peer(router->localPort());
    const auto dialect = makeDialect(language, false);

    // Random bytes with terminators among them, then a long run without any.
    QRandomGenerator random(4711);
    QByteArray junk(40000, Qt::Uninitialized);
    for (char &c : junk)
        c = static_cast<char>(random.bounded(256));
    QByteArray endless(3 * SimulatedRouter::maxPendingBytes, Qt::Uninitialized);
    for (char &c : endless) {
        do
            c = static_cast<char>(random.bounded(256));
        while (dialect->isTerminator(c));
    }
    peer.send(junk + endless);
    QTRY_VERIFY(sawEvent(events, QStringLiteral("rx overflow")));
    QVERIFY(router->pendingBytes() <= SimulatedRouter::maxPendingBytes);

    peer.received.clear();
    peer.send(resync + take);
    QTRY_VERIFY(peer.received.endsWith(reply));
}

void TestRouterSim::ptyLink()
{
    QTemporaryDir dir;
    RouterConfig config;
    config.transport = TransportKind::Pty;
    config.linkPath = dir.filePath(QStringLiteral("COM3"));

    // A stale link from an earlier run is replaced.
    QVERIFY(QFile::link(QStringLiteral("/nonexistent/pts"), config.linkPath));
    {
        SimulatedRouter router(config);
        QVERIFY(router.start());
        QVERIFY(router.devicePath().startsWith(QLatin1String("/dev/")));
        QCOMPARE(QFile::symLinkTarget(config.linkPath), router.devicePath());
        router.stop();
        QVERIFY(!QFileInfo(config.linkPath).isSymLink());
        QVERIFY(router.start());
        QVERIFY(QFileInfo(config.linkPath).isSymLink());
    }
    QVERIFY(!QFileInfo(config.linkPath).isSymLink());

    // A real file in the way is left alone.
    QFile file(config.linkPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("keep");
    file.close();
    SimulatedRouter blocked(config);
    QString error;
    QVERIFY(!blocked.start(&error));
    QVERIFY(error.contains(QLatin1String("not a symbolic link")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("keep"));
}

void TestRouterSim::routerArguments_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<RouterLanguage>("language");
    QTest::addColumn<TransportKind>("transport");
    QTest::addColumn<QString>("linkPath");
    QTest::addColumn<int>("port");

    QTest::newRow("leitch pty") << "leitch:pty:/srv/a:b/COM1" << true
        << RouterLanguage::Leitch << TransportKind::Pty << "/srv/a:b/COM1" << 0;
    QTest::newRow("iv tcp") << "iv:tcp:5001" << true
        << RouterLanguage::ImageVideo << TransportKind::Tcp << QString() << 5001;
    QTest::newRow("framed udp") << "framed:udp:5002" << true
        << RouterLanguage::Framed << TransportKind::Udp << QString() << 5002;
    QTest::newRow("capitals") << "LEITCH:TCP:7" << true
        << RouterLanguage::Leitch << TransportKind::Tcp << QString() << 7;
    const char *bad[] = {"leitch", "leitch:tcp", "sony:tcp:1", "iv:tcp:70000", "iv:tcp:x",
                         "iv:serial:1", "iv:pty:", "iv:udp:"};
    for (const char *argument : bad)
        QTest::newRow(argument) << QString::fromLatin1(argument) << false
            << RouterLanguage::Leitch << TransportKind::Tcp << QString() << 0;
}

void TestRouterSim::routerArguments()
{
    QFETCH(QString, argument);
    QFETCH(bool, valid);
    QFETCH(RouterLanguage, language);
    QFETCH(TransportKind, transport);
    QFETCH(QString, linkPath);
    QFETCH(int, port);

    RouterConfig base;
    base.size = 12;
    QString error;
    const auto config = parseRouterArgument(argument, base, &error);
    QCOMPARE(config.has_value(), valid);
    if (!valid) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QCOMPARE(config->language, language);
    QCOMPARE(config->transport, transport);
    QCOMPARE(config->linkPath, linkPath);
    QCOMPARE(int(config->port), port);
    QCOMPARE(config->size, 12);
}

void TestRouterSim::initialSources()
{
    const auto identity = parseInitialSources(QStringLiteral("identity"));
    QVERIFY(identity);
    QCOMPARE(identity->size(), 256);
    QCOMPARE(identity->value(200), 200);

    const auto some = parseInitialSources(QStringLiteral("5=3, 6=4"));
    QVERIFY(some);
    QCOMPARE(*some, (QMap<int, int>{{5, 3}, {6, 4}}));
    QVERIFY(!parseInitialSources(QStringLiteral("5=300")));
    QVERIFY(!parseInitialSources(QStringLiteral("5")));
    QVERIFY(!parseInitialSources(QString()));

    RouterConfig config;
    config.initialSources = *some;
    SimulatedRouter router(config);
    QCOMPARE(router.source(5), 3);
    QCOMPARE(router.source(6), 4);
    QCOMPARE(router.source(7), 1);
}

void TestRouterSim::controlCommands_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<bool>("quit");
    QTest::addColumn<QString>("message");

    QTest::newRow("empty") << "  " << true << false << QString();
    QTest::newRow("silent") << "silent 1 on" << true << false << QString();
    QTest::newRow("garbage") << "garbage 2 OFF" << true << false << QString();
    QTest::newRow("set") << "set 2 5 3" << true << false << QString();
    QTest::newRow("drop") << "drop 1" << true << false << QString();
    QTest::newRow("report") << "report 2" << true << false << QString();
    QTest::newRow("quit") << "quit" << true << true << QString();
    QTest::newRow("status") << "status 2" << true << false << "router 2 iv on udp";
    QTest::newRow("help") << "help" << true << false << "set <router> <dest> <src>";
    QTest::newRow("crosspoints") << "crosspoints 1" << true << false << "router 1 crosspoints 1=1,2=1,3=1,";
    QTest::newRow("crosspoints of no router") << "crosspoints 3" << false << false << "error: usage: crosspoints";
    QTest::newRow("no such router") << "silent 3 on" << false << false << "error: no router 3";
    QTest::newRow("router zero") << "drop 0" << false << false << "error: no router 0";
    QTest::newRow("neither on nor off") << "silent 1 maybe" << false << false << "error: usage";
    QTest::newRow("too few words") << "set 1 5" << false << false << "error: usage";
    QTest::newRow("source out of range") << "set 1 5 257" << false << false << "error:";
    QTest::newRow("unknown") << "frobnicate 1" << false << false << "error: unknown command";
}

void TestRouterSim::controlCommands()
{
    QFETCH(QString, line);
    QFETCH(bool, ok);
    QFETCH(bool, quit);
    QFETCH(QString, message);

    RouterConfig first;
    RouterConfig second;
    second.index = 2;
    second.language = RouterLanguage::ImageVideo;
    second.transport = TransportKind::Udp;
    SimulatedRouter one(first);
    SimulatedRouter two(second);

    const ControlOutcome outcome = runControlCommand(line, {&one, &two});
    QCOMPARE(outcome.ok, ok);
    QCOMPARE(outcome.quit, quit);
    if (message.isEmpty())
        QVERIFY(outcome.message.isEmpty());
    else
        QVERIFY2(outcome.message.startsWith(message) || outcome.message.contains(message),
                 qPrintable(outcome.message));
}

void TestRouterSim::controlCommandEffects()
{
    RouterConfig first;
    RouterConfig second;
    second.index = 2;
    SimulatedRouter one(first);
    SimulatedRouter two(second);
    const QList<SimulatedRouter *> routers{&one, &two};

    QVERIFY(runControlCommand(QStringLiteral("silent 1 on"), routers).ok);
    QVERIFY(runControlCommand(QStringLiteral("garbage 2 on"), routers).ok);
    QVERIFY(runControlCommand(QStringLiteral("set 2 5 3"), routers).ok);
    QVERIFY(one.isSilent());
    QVERIFY(!two.isSilent());
    QVERIFY(two.isGarbage());
    QVERIFY(!one.isGarbage());
    QCOMPARE(two.source(5), 3);
    QCOMPARE(one.source(5), 1);
    const QString listed = runControlCommand(QStringLiteral("crosspoints 2"), routers).message;
    QVERIFY2(listed.contains(QLatin1String(",4=1,5=3,6=1,")) && listed.endsWith(QLatin1String(",32=1")), qPrintable(listed));
    QVERIFY(runControlCommand(QStringLiteral("silent 1 off"), routers).ok);
    QVERIFY(!one.isSilent());
}

void TestRouterSim::executable()
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("COM2"));

    QProcess help;
    help.start(QStringLiteral(MARLIN_ROUTERSIM_EXE), {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished(30000));
    QCOMPARE(help.exitCode(), 0);
    QVERIFY(help.readAllStandardOutput().contains("--router"));

    QProcess wrong;
    wrong.start(QStringLiteral(MARLIN_ROUTERSIM_EXE), {QStringLiteral("--router"), QStringLiteral("sony:tcp:1")});
    QVERIFY(wrong.waitForFinished(30000));
    QCOMPARE(wrong.exitCode(), 2);

    QProcess sim;
    QByteArray output;
    connect(&sim, &QProcess::readyReadStandardOutput, this, [&] { output += sim.readAllStandardOutput(); });
    sim.start(QStringLiteral(MARLIN_ROUTERSIM_EXE),
              {QStringLiteral("--router"), QStringLiteral("leitch:tcp:0"),
               QStringLiteral("--router"), QStringLiteral("iv:pty:") + link,
               QStringLiteral("--size"), QStringLiteral("2"), QStringLiteral("--initial"), QStringLiteral("2=7")});
    QVERIFY(sim.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(output.contains("router 2 iv on pty"), 20000);
    QVERIFY(QFileInfo(link).isSymLink());
    const QByteArray announce = "router 1 leitch on tcp 127.0.0.1:";
    const qsizetype at = output.indexOf(announce);
    QVERIFY(at >= 0);
    const qsizetype from = at + announce.size();
    const quint16 port = output.mid(from, output.indexOf('\n', at) - from).toUShort();
    QVERIFY(port > 0);

    TcpPeer peer(port);
    peer.send("@ X:0/4,2\r@ S?1\r");
    QTRY_COMPARE(peer.received, QByteArray("S:04,2\rS:10,0\rS:11,6\r"));
    QTRY_VERIFY(output.contains("router 1 rx @ X:0/4,2\n"));
    QVERIFY(output.contains("router 1 tx S:04,2\n"));

    peer.received.clear();
    sim.write("set 1 6 2\nbogus\n");
    QTRY_COMPARE(peer.received, QByteArray("S:05,1\r"));
    QTRY_VERIFY(output.contains("error: unknown command"));

    sim.terminate();
    QVERIFY(sim.waitForFinished(30000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

QTEST_GUILESS_MAIN(TestRouterSim)
#include "tst_routersim.moc"
