// Panel requests against a live server: one Server, started once in a
// scratch folder with its default tables and three network ports that give
// routers 1, 2 and 3 the Leitch, Image Video and framed languages (the link
// timers never run here, so nothing is ever sent). Every input starts from
// the state right after startup, so a crash replays from its input alone.
//
// Input:
//   byte 0    bits 0-5  panels already live before the fuzzed ones (0..63,
//                       so the fuzzed connections can find the table full)
//             bit 6     unusual router state: router 7 carries a source too
//                       large for the one-byte form, router 9's link is down,
//                       router 4 holds destinations at high priority
//             bit 7     stream mode: chunks go through the connection's
//                       request framer as the socket code feeds it, and what
//                       is left at the end goes through the quiet timeout
//   then chunks: one selector byte (bits 0-1: which of four connections;
//   bit 2: in stream mode, the line goes quiet after this chunk), one length
//   byte, then that many bytes (fewer at the end of the input). Outside
//   stream mode each chunk is one request.
//
// Checked after every request: a reply starts with the request's sequence
// bytes and has one of the four bodies, well formed; a repeated sequence
// runs nothing and gets the previous reply byte for byte; only a connection
// without a record, with all 64 records taken, goes unanswered; no two live
// records share a connection, record 0 stays empty, and every change flag is
// 0 or 1 with positions 5..8 at 0. A take queues only non-empty commands for
// routers 1..96. In stream mode the framer hands over every byte once, in
// order.
//
// The server's own request host is private to it, so the host here is built
// the same way over the server's public tables, links and logs; only its
// reloads of router tables and settings read the files once per run (see
// FuzzHost).

#include "clients/client_protocol.h"
#include "clients/request_framer.h"
#include "config/settings.h"
#include "config/users.h"
#include "core/server.h"
#include "core/server_protocol_host.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

using namespace marlin;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// The server's own host, but for the reloads: the files never change during
// a run, so a reload after the first one reads the same bytes again. It is
// done once for real, then only answered the same way, since re-reading 96
// tables would take a tenth of a second per input under the sanitizers and
// starve everything else.
class FuzzHost : public ServerProtocolHost {
public:
    using ServerProtocolHost::ServerProtocolHost;

    bool take(const PanelTake &take) override
    {
        const bool taken = ServerProtocolHost::take(take);
        // A panel's take is refused only by a standby server, which this is not.
        check(taken);
        return taken;
    }
    bool reloadRouterTables() override
    {
        if (!tablesReloaded) {
            server.reloadRouterTables();
            tablesReloaded = true;
        }
        server.RefreshRouterView();
        return true;
    }
    bool reloadSettings() override
    {
        if (!settingsReloaded) {
            settingsComplete = ServerProtocolHost::reloadSettings();
            settingsReloaded = true;
        }
        server.RefreshRouterView();
        return settingsComplete;
    }

private:
    bool tablesReloaded = false;
    bool settingsReloaded = false;
    bool settingsComplete = false;
};

// No card listens (the fuzzer must not open ports); the network ports point at
// a closed loopback port and are never connected since no event loop runs.
const char kSettings[] =
    "[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n"
    "[Net_Port_1]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port=9\r\nID_Number=1\r\nProtocol=1\r\n"
    "[Net_Port_2]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port=9\r\nID_Number=2\r\nProtocol=2\r\n"
    "[Net_Port_3]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port=9\r\nID_Number=3\r\nProtocol=3\r\n";

std::string scratchPath;
void removeScratch()
{
    std::error_code ec;
    std::filesystem::remove_all(scratchPath, ec);
}

// Everything lives for the whole run and is never destroyed: tearing a Server
// down after Qt's own globals at exit would only add noise. The folder goes
// at exit all the same.
struct Fixture {
    QCoreApplication *app = nullptr;
    QTemporaryDir *dir = nullptr;
    Server *server = nullptr;
    FuzzHost *host = nullptr;
    RouterStateArray started{};
    RouterStateArray unusual{};
};

Fixture &fixture()
{
    static Fixture *f = [] {
        static int argc = 1;
        static char name[] = "fuzz_client_request";
        static char *argv[] = {name, nullptr};
        auto *fx = new Fixture;
        fx->app = new QCoreApplication(argc, argv);
        auto *dir = fx->dir = new QTemporaryDir(QStringLiteral("/tmp/fuzz-client-XXXXXX"));
        check(dir->isValid());
        dir->setAutoRemove(false);
        scratchPath = dir->path().toStdString();
        std::atexit(removeScratch);
        QFile ini(dir->path() + QStringLiteral("/WREN.INI"));
        check(ini.open(QIODevice::WriteOnly) && ini.write(kSettings) == qint64(sizeof kSettings - 1));
        ini.close();

        fx->server = new Server(dir->path());
        fx->server->Start();
        fx->host = new FuzzHost(*fx->server);
        check(fx->server->links.FindRouterProtocol(1, 3) == 3);

        fx->started = fx->server->RouterStates;
        fx->unusual = fx->started;
        fx->unusual[7].CurrentSource[1] = 300;
        fx->unusual[7].CurrentSource[256] = 65535;
        fx->unusual[7].StatusReceived = true;
        fx->unusual[9].CommOK = false;
        for (int d = 1; d <= kPointCount; d += 3)
            fx->unusual[4].HighPriority[d] = true;
        fx->unusual[4].LinkPort = 96;
        return fx;
    }();
    return *f;
}

struct Connection {
    int socketIndex;
    const char *ip;
    int port;
};
// Two panels on one host, the first one again from another socket, and a
// second host.
constexpr std::array<Connection, 4> kConnections{{
    {5, "127.0.0.1", 50000},
    {6, "127.0.0.1", 50001},
    {7, "127.0.0.1", 50000},
    {8, "127.0.0.2", 50000},
}};

int findRecord(const ClientTable &clients, const Connection &c)
{
    for (int i = 1; i <= kClientCount; ++i) {
        const ClientRecord &r = clients[i];
        if (r.InUse && r.SocketIndex == c.socketIndex && r.RemoteIP == QLatin1String(c.ip) && r.RemotePort == c.port)
            return i;
    }
    return 0;
}

int liveRecords(const ClientTable &clients)
{
    int n = 0;
    for (int i = 1; i <= kClientCount; ++i)
        n += clients[i].InUse ? 1 : 0;
    return n;
}

void checkTable(const ClientTable &clients)
{
    check(clients[0] == ClientRecord{});
    for (int i = 1; i <= kClientCount; ++i) {
        const ClientRecord &a = clients[i];
        for (int p = 0; p < kPendingFlagCount; ++p)
            check(a.PendingFlags[std::size_t(p)] == 0 || (p < 4 && a.PendingFlags[std::size_t(p)] == 1));
        if (!a.InUse)
            continue;
        check(a.LastSequence == a.ReplySequence && a.LastSequence.size() <= 4);
        check(!a.StatusChanged[0] && !a.PriorityChanged[0]);
        for (int j = i + 1; j <= kClientCount; ++j) {
            const ClientRecord &b = clients[j];
            check(!(b.InUse && b.SocketIndex == a.SocketIndex && b.RemoteIP == a.RemoteIP
                    && b.RemotePort == a.RemotePort));
        }
    }
}

bool isFlag(char b) { return b == 0 || b == 1; }

// The reply body against the request that was run.
void checkBody(const QByteArray &body, const ClientRequest &request, const ClientRecord &after)
{
    const auto u = [&body](qsizetype i) { return static_cast<unsigned char>(body[i]); };
    const bool runs = request.complete && request.requestClass >= kMinimumRunClass;
    check(body.size() >= 2);
    if (u(0) == 0x11) {
        check(body.size() == 2 && u(1) == 0x12);
        return;
    }
    check(runs);
    if (u(0) == 0x10) {
        check(body.size() == 3 && u(1) == 0x01 && u(2) == request.router);
        return;
    }
    check(u(0) == 0xFF && body.size() >= 3);
    const int code = u(1);
    if (code == 0xA1) {
        check(request.command == 0xA1 && body.size() == 3 + kPendingFlagCount && u(2) == request.router);
        for (int p = 0; p < kPendingFlagCount; ++p)
            check(isFlag(body[3 + p]) && (p < 4 || body[3 + p] == 0));
        // Positions 2..4 were reported and are gone.
        check(after.PendingFlags[1] == 0 && after.PendingFlags[2] == 0 && after.PendingFlags[3] == 0);
        return;
    }
    const bool twoByte = request.command == 0xA8;
    check(request.command == 0xA6 || twoByte);
    const bool priority = code == request.command + 1;
    check(code == request.command || priority);
    const int r = u(2);
    check(isRouterNumber(r));
    check(!(priority ? after.PriorityChanged : after.StatusChanged)[std::size_t(r)]);
    const QByteArray block = body.mid(3);
    check(block.size() == 5 + kPointCount * (twoByte && !priority ? 2 : 1));
    check(isFlag(block[0]) && isFlag(block[1]) && u(5) <= kRouterCount);
    if (priority) {
        for (qsizetype i = 5; i < block.size(); ++i)
            check(isFlag(block[i]));
    }
}

// One request on connection c, with everything around it checked.
void handle(Fixture &fx, const Connection &c, const QByteArray &request)
{
    ClientTable &clients = fx.server->clientTable;
    const int before = findRecord(clients, c);
    const bool full = liveRecords(clients) == kClientCount;
    const ClientRecord previous = before ? clients[before] : ClientRecord{};
    const ClientRequest split = splitClientRequest(request);
    const bool repeat = before && split.sequence == previous.LastSequence;

    const auto reply = HandleClientRequest(*fx.host, c.socketIndex, QString::fromLatin1(c.ip), c.port,
                                           request, 1234.5);
    checkTable(clients);
    const int after = findRecord(clients, c);
    if (!reply) {
        check(!before && full && !after);
        return;
    }
    check(after && (!before || before == after));
    check(reply->startsWith(split.sequence));
    const ClientRecord &record = clients[after];
    if (repeat) {
        check(*reply == previous.ReplySequence + previous.LastReply);
        ClientRecord unchanged = record;
        unchanged.LastReceived = previous.LastReceived;
        check(unchanged == previous);
        return;
    }
    check(record.LastSequence == split.sequence && record.ReplySequence == split.sequence);
    checkBody(reply->mid(split.sequence.size()), split, record);
}

} // namespace

// Startup belongs to no input: what it allocates is not an input's leak.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    Fixture &fx = fixture();
    const uint8_t control = data[0];
    const bool streamMode = control & 0x80;
    fx.server->RouterStates = control & 0x40 ? fx.unusual : fx.started;
    ClientTable &clients = fx.server->clientTable;
    clients = ClientTable{};
    for (int i = 0; i < (control & 0x3F); ++i) {
        check(FindOrCreateClient(clients, fx.server->RouterStates, 100 + i, QStringLiteral("127.0.0.3"), 40000 + i,
                                 1234.5)
              == i + 1);
    }

    std::array<RequestFramer, kConnections.size()> framers;
    std::array<QByteArray, kConnections.size()> fed;
    std::array<QByteArray, kConnections.size()> handedOver;
    using Silence = RequestFramer::Silence;
    const auto drain = [&](std::size_t k, Silence silence) {
        while (const auto request = framers[k].takeRequest(silence)) {
            check(!request->isEmpty());
            handedOver[k] += *request;
            handle(fx, kConnections[k], *request);
        }
        // Every byte fed is handed over, still buffered, or dropped as padding.
        check(handedOver[k].size() + framers[k].bufferedSize() + framers[k].paddingDropped() == fed[k].size());
    };

    size_t at = 1;
    while (at + 2 <= size) {
        const uint8_t selector = data[at];
        const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
        const QByteArray chunk(reinterpret_cast<const char *>(data + at + 2), qsizetype(length));
        at += 2 + length;
        const std::size_t k = selector & 3;
        if (!streamMode) {
            // A socket never hands over an empty read.
            if (!chunk.isEmpty())
                handle(fx, kConnections[k], chunk);
            continue;
        }
        framers[k].append(chunk);
        fed[k] += chunk;
        drain(k, Silence::None);
        if (selector & 4)
            drain(k, selector & 8 ? Silence::Long : Silence::Quiet);
    }
    if (streamMode) {
        for (std::size_t k = 0; k < framers.size(); ++k) {
            drain(k, Silence::Long);
            check(framers[k].bufferedSize() == 0);
            check(framers[k].paddingDropped() > 0 || handedOver[k] == fed[k]);
        }
    }
    return 0;
}
