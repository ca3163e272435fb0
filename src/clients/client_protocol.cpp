#include "client_protocol.h"

#include "config/convert.h"
#include "router/take_string.h"

#include <algorithm>
#include <array>

namespace marlin {

namespace {

char byteAt(const QByteArray &bytes, qsizetype index)
{
    return index < bytes.size() ? bytes[index] : char(0);
}

int unsignedByteAt(const QByteArray &bytes, qsizetype index)
{
    return static_cast<unsigned char>(byteAt(bytes, index));
}

bool appendByte(QByteArray &out, int value)
{
    if (value < 0 || value > 255)
        return false;
    out.append(static_cast<char>(value));
    return true;
}

// Both forms share the header and the priority entries; only the width of a
// source entry differs. Appends to out; false (out then holds part of a
// block) when a value does not fit its entry.
bool appendStatusBlock(QByteArray &out, const RouterState &state, bool priority, bool twoByte)
{
    out.reserve(out.size() + 5 + kPointCount * (twoByte && !priority ? 2 : 1));
    bool fits = appendByte(out, state.StatusReceived ? 1 : 0)
                && appendByte(out, state.CommOK ? 1 : 0) && appendByte(out, state.LinkPort)
                && appendByte(out, state.Spare1) && appendByte(out, state.Spare2);
    for (int d = 1; fits && d <= kPointCount; ++d) {
        if (priority) {
            fits = appendByte(out, state.HighPriority[d] ? 1 : 0);
        } else if (twoByte) {
            const int n = state.CurrentSource[d];
            fits = n >= 0 && n <= 0xFFFF;
            out.append(static_cast<char>(n / 256));
            out.append(static_cast<char>(n % 256));
        } else {
            fits = appendByte(out, state.CurrentSource[d]);
        }
    }
    return fits;
}

QByteArray buildStatusBlock(const RouterState &state, bool priority, bool twoByte, bool *ok)
{
    QByteArray block;
    const bool fits = appendStatusBlock(block, state, priority, twoByte);
    if (ok)
        *ok = fits;
    return fits ? block : QByteArray();
}

// Routers 0..96 and points 0..256 lie inside the tables; element 0 exists
// but never holds data, so a request naming it is answered without a fault.
bool routerInBounds(int r) { return r >= 0 && r <= kRouterCount; }

// Everything a command handler may touch. A handler returns its reply body,
// or nothing when its reply step failed and the not-handled reply stands.
struct CommandContext {
    ClientProtocolHost &host;
    ClientTable &clients;
    RouterStateArray &states;
    int client;
    const ClientRequest &request;
    std::optional<ClientFailure> failure;

    ClientRecord &record() { return clients[client]; }
    void fail(const ClientFailure &f) { failure = f; }
    QByteArray acknowledge() const { return acknowledgeReply(request.router); }
};

using CommandHandler = std::optional<QByteArray> (*)(CommandContext &);

std::optional<QByteArray> noOperation(CommandContext &ctx) { return ctx.acknowledge(); }

std::optional<QByteArray> fullRefresh(CommandContext &ctx)
{
    MarkAllRoutersChanged(ctx.clients, ctx.states, ctx.client);
    return ctx.acknowledge();
}

// Positions 2..4 are reported once; position 1 stays until a status request
// finds nothing left to fetch.
std::optional<QByteArray> pollChangeFlags(CommandContext &ctx)
{
    const QByteArray reply = changeFlagsReply(ctx.request.router, ctx.record());
    setPendingFlag(ctx.record(), FlagTablesChanged, false);
    setPendingFlag(ctx.record(), FlagSettingsChanged, false);
    setPendingFlag(ctx.record(), FlagUsersChanged, false);
    return reply;
}

std::optional<QByteArray> reloadRouterTables(CommandContext &ctx)
{
    if (!ctx.host.reloadRouterTables())
        ctx.fail(ClientFailures::ReloadIncomplete);
    NotifyTablesChanged(ctx.clients);
    return ctx.acknowledge();
}

std::optional<QByteArray> reloadSettings(CommandContext &ctx)
{
    if (!ctx.host.reloadSettings())
        ctx.fail(ClientFailures::ReloadIncomplete);
    NotifySettingsChanged(ctx.clients);
    return ctx.acknowledge();
}

std::optional<QByteArray> reloadUsers(CommandContext &ctx)
{
    if (!ctx.host.reloadUsers())
        ctx.fail(ClientFailures::ReloadIncomplete);
    NotifyUsersChanged(ctx.clients);
    return ctx.acknowledge();
}

// The take is acknowledged at once; the new crosspoint reaches every panel
// through the status flags when the router reports it. The server carries
// it out; a take to a router no port serves is acknowledged too, as panels
// expect, but the logs say it went nowhere.
std::optional<QByteArray> take(CommandContext &ctx)
{
    const int r = ctx.request.router;
    // The number fields as the device languages read them, so the logged
    // and recorded numbers agree with what the router is told.
    const TakeString take = ParseTakeString(ctx.request.payload);
    const int s = take.source.value_or(0);
    const int d = take.destination.value_or(0);
    // Checked when the take is carried out, not when the connection was
    // accepted: a demotion closes the panels, but a read may still hold
    // requests.
    if (!ctx.host.take(PanelTake{r, ctx.request.payload, s, d, take.levels, take.comment, ctx.record().RemoteIP}))
        return std::nullopt;
    if (!take.source || !take.destination)
        ctx.fail(ClientFailures::NumberDoesNotFit);
    if (!routerInBounds(r))
        ctx.fail(ClientFailures::RouterOutOfRange);
    // Destinations past the table are still sent and logged: the router may
    // be larger than the table, so only the recording is skipped.
    if (d < 0)
        ctx.fail(ClientFailures::DestinationOutOfRange);
    return ctx.acknowledge();
}

// Status before priority, lowest router first; the flag is consumed even
// when the block cannot be encoded, so a router that cannot be sent in the
// one-byte form does not block the rest of the drain.
std::optional<QByteArray> nextStatus(CommandContext &ctx, bool twoByte)
{
    const int statusCode = twoByte ? 0xA8 : 0xA6;
    for (const bool priority : {false, true}) {
        const int r = NextChangedRouter(ctx.clients, ctx.client, priority);
        if (r == 0)
            continue;
        // Header and block built in place: the request path copies no block.
        QByteArray reply;
        reply.reserve(3 + 5 + kPointCount * (twoByte && !priority ? 2 : 1));
        reply.append('\xFF');
        reply.append(static_cast<char>(statusCode + (priority ? 1 : 0)));
        reply.append(static_cast<char>(r));
        if (!appendStatusBlock(reply, ctx.states[r], priority, twoByte)) {
            ctx.fail(ClientFailures::ValueDoesNotFit);
            return std::nullopt;
        }
        return reply;
    }
    setPendingFlag(ctx.record(), FlagRouterPending, false);
    return ctx.acknowledge();
}

std::optional<QByteArray> nextStatusOneByte(CommandContext &ctx) { return nextStatus(ctx, false); }
std::optional<QByteArray> nextStatusTwoByte(CommandContext &ctx) { return nextStatus(ctx, true); }

// Payload: destination byte, then 1 to set the hold and anything else to
// clear it.
std::optional<QByteArray> setHighPriority(CommandContext &ctx)
{
    const QByteArray &payload = ctx.request.payload;
    const int r = ctx.request.router;
    const int d = unsignedByteAt(payload, 0);
    const bool hold = unsignedByteAt(payload, 1) == 1;

    // A payload byte cannot name a destination past the table; router 0 and
    // destination 0 are inside it but never hold data.
    if (isRouterNumber(r) && isPointNumber(d)) {
        ctx.states[r].HighPriority[d] = hold;
        ctx.host.holdChanged(r, d, hold);
    }

    if (!NotifyRouterChanged(ctx.clients, r, true))
        ctx.fail(ClientFailures::RouterOutOfRange);
    ctx.host.refreshRouterView();
    return ctx.acknowledge();
}

struct CommandEntry {
    int code;
    int payloadSize;      // bytes the command reads after the header
    bool payloadRunsToEnd;
    CommandHandler handler;
    // Payload bytes without which the command is not run: a take's levels,
    // source and destination, a hold's destination and flag.
    int runnablePayload = 0;
};

// Codes not listed (0xA7 and 0xA9 among them: they are reply codes) get the
// not-handled reply. No-op payloads are ignored, so they are not sized.
constexpr std::array<CommandEntry, 18> kCommands{{
    {0x84, 0, true, noOperation},
    {0x85, 0, true, noOperation},
    {0x86, 0, true, noOperation},
    {0x87, 0, true, noOperation},
    {0x88, 0, true, noOperation},
    {0x89, 0, true, noOperation},
    {0x90, 0, true, noOperation},
    {0xB1, 0, true, noOperation},
    {0xB2, 0, true, noOperation},
    {0x91, 0, false, fullRefresh},
    {0xA1, 0, false, pollChangeFlags},
    {0xA2, 0, false, reloadRouterTables},
    {0xA3, 0, false, reloadSettings},
    {0xA4, 0, false, reloadUsers},
    {0xA5, kTakeStringSize, true, take, kTakeNumbersSize},
    {0xA6, 0, false, nextStatusOneByte},
    {0xA8, 0, false, nextStatusTwoByte},
    {0xAA, 2, false, setHighPriority, 2},
}};

const CommandEntry *findCommand(int code)
{
    const auto it = std::find_if(kCommands.begin(), kCommands.end(),
                                 [code](const CommandEntry &e) { return e.code == code; });
    return it == kCommands.end() ? nullptr : &*it;
}

} // namespace

ClientRequest splitClientRequest(const QByteArray &request)
{
    ClientRequest split;
    split.sequence = request.left(4);
    split.requestClass = unsignedByteAt(request, 4);
    split.command = unsignedByteAt(request, 5);
    split.router = unsignedByteAt(request, 6);
    split.payload = request.mid(kRequestHeaderSize);
    split.complete = request.size() >= kRequestHeaderSize;
    return split;
}

RequestExtent requestExtent(int requestClass, int command)
{
    if (requestClass < kMinimumRunClass)
        return {};
    const CommandEntry *entry = findCommand(command);
    if (!entry)
        return {};
    return {kRequestHeaderSize + entry->payloadSize, entry->payloadRunsToEnd,
            kRequestHeaderSize + entry->runnablePayload};
}

bool isKnownCommand(int command) { return findCommand(command) != nullptr; }

QString dataArrivalErrorText(const ClientFailure &failure)
{
    return QStringLiteral("Data Arrival Error.") + QLatin1String(failure.description)
           + QLatin1Char(' ') + QString::number(failure.number);
}

QString takeNotSentText(int router, const QString &name)
{
    QString text = QStringLiteral("Take not sent: no port serves Router_") + QString::number(router);
    if (isRouterNumber(router))
        text += QStringLiteral(" (") + name + QLatin1Char(')');
    return text + QLatin1Char('.');
}

QByteArray BuildStatusOneByte(const RouterState &state, bool priority, bool *ok)
{
    return buildStatusBlock(state, priority, false, ok);
}

QByteArray BuildStatusTwoByte(const RouterState &state, bool priority, bool *ok)
{
    return buildStatusBlock(state, priority, true, ok);
}

QByteArray acknowledgeReply(int router)
{
    QByteArray body("\x10\x01", 2);
    body.append(static_cast<char>(router));
    return body;
}

QByteArray notHandledReply() { return QByteArray("\x11\x12", 2); }

QByteArray changeFlagsReply(int router, const ClientRecord &record)
{
    QByteArray body("\xFF\xA1", 2);
    body.append(static_cast<char>(router));
    body.append(record.PendingFlags.data(), kPendingFlagCount);
    return body;
}

std::optional<QByteArray> HandleClientRequest(ClientProtocolHost &host, int socketIndex,
                                              const QString &peerIp, int peerPort,
                                              const QByteArray &bytes, double now)
{
    const ClientRequest request = splitClientRequest(bytes);
    ClientTable &clients = host.clientTable();
    const int client = FindOrCreateClient(clients, host.routerStates(), socketIndex, peerIp,
                                          peerPort, now);
    if (client == 0)
        return std::nullopt;

    CommandContext ctx{host, clients, host.routerStates(), client, request, std::nullopt};
    if (!request.complete)
        ctx.fail(ClientFailures::RequestTooShort);

    // A panel that missed our reply sends the same request again; running it
    // twice would switch twice, or skip a router in its drain.
    ClientRecord &record = ctx.record();
    if (request.sequence != record.LastSequence) {
        record.LastSequence = request.sequence;
        record.ReplySequence = request.sequence;
        record.LastReply = notHandledReply();
        // A truncated request is never run: its missing bytes would only
        // invent a command or a router.
        if (request.complete && request.requestClass >= kMinimumRunClass) {
            if (const CommandEntry *entry = findCommand(request.command)) {
                // Nor is a take or a hold whose numbers were cut off: half
                // a number is another number.
                if (request.payload.size() < entry->runnablePayload)
                    ctx.fail(ClientFailures::RequestTooShort);
                else if (auto reply = entry->handler(ctx))
                    record.LastReply = *reply;
            }
        }
    }

    QByteArray out;
    out.reserve(record.ReplySequence.size() + record.LastReply.size());
    out.append(record.ReplySequence).append(record.LastReply);
    if (ctx.failure)
        host.writeErrorLog(dataArrivalErrorText(*ctx.failure));
    return out;
}

} // namespace marlin
