#include "panel_report.h"

namespace marlin::panel {

namespace {

constexpr int kPairsPerLine = 12;

QString yesNo(bool b) { return b ? QStringLiteral("yes") : QStringLiteral("no"); }

QString flagName(int index)
{
    switch (index) {
    case FlagRouterPending:
        return QStringLiteral("router pending");
    case FlagTablesChanged:
        return QStringLiteral("tables changed");
    case FlagSettingsChanged:
        return QStringLiteral("settings changed");
    case FlagUsersChanged:
        return QStringLiteral("users changed");
    default:
        return QStringLiteral("spare %1").arg(index + 1);
    }
}

QString heldList(const QList<int> &entries)
{
    QStringList held;
    for (int d = 0; d < entries.size(); ++d) {
        if (entries[d] != 0)
            held << QString::number(d + 1);
    }
    return held.isEmpty() ? QStringLiteral("none") : held.join(QLatin1Char(' '));
}

int knownSources(const QList<int> &entries)
{
    int n = 0;
    for (int s : entries)
        n += s != 0 ? 1 : 0;
    return n;
}

// The server sets the first spare byte for a router no enabled port serves:
// its communication is neither up nor down, nobody watches it.
QString commText(const StatusBlock &b) { return b.spare1 == 1 ? QStringLiteral("none (no port serves it)") : yesNo(b.commOK); }

QString sourceText(int source) { return source == 0 ? QStringLiteral("none") : QString::number(source); }

} // namespace

QStringList describeFlags(const QByteArray &flags)
{
    QStringList lines;
    for (int i = 0; i < flags.size(); ++i)
        lines << QStringLiteral("%1 %2").arg(flagName(i).leftJustified(17), flags.at(i) ? QStringLiteral("set") : QStringLiteral("clear"));
    return lines;
}

QStringList describeStatus(const Reply &reply)
{
    const StatusBlock &b = reply.block;
    QString header = QStringLiteral("router %1: ").arg(reply.router);
    if (reply.kind == ReplyKind::Priority) {
        header += QStringLiteral("priority, comm OK %1, %2, held: %3")
                      .arg(commText(b), describeLinkPort(b.linkPort), heldList(b.entries));
        return {header};
    }
    header += QStringLiteral("status received %1, comm OK %2, %3")
                  .arg(yesNo(b.statusReceived), commText(b), describeLinkPort(b.linkPort));
    if (b.spare1 > 1 || b.spare2 != 0)
        header += QStringLiteral(", spare bytes %1 %2").arg(b.spare1).arg(b.spare2);
    QStringList lines{header};
    QStringList pairs;
    for (int d = 0; d < b.entries.size(); ++d) {
        if (b.entries[d] != 0)
            pairs << QStringLiteral("%1=%2").arg(d + 1).arg(b.entries[d]);
    }
    if (pairs.isEmpty()) {
        lines << QStringLiteral("  no destination has a known source");
        return lines;
    }
    for (int i = 0; i < pairs.size(); i += kPairsPerLine)
        lines << QStringLiteral("  ") + pairs.mid(i, kPairsPerLine).join(QLatin1Char(' '));
    return lines;
}

QString describeLinkPort(int linkPort)
{
    // The server records a link port only for comm ports; a router reached
    // over the network, or by no port at all, keeps 0.
    if (linkPort == 0)
        return QStringLiteral("link port 0 (no comm port: served by a network port, or by nothing)");
    return QStringLiteral("link port %1 (comm port %1)").arg(linkPort);
}

QStringList describeDrain(const QList<Reply> &replies, bool all)
{
    // A new connection has every router pending, so a plain drain reports
    // all 96, most of them defaults nobody configured.
    QList<int> heard;
    QList<int> reported;
    for (const Reply &reply : replies) {
        if (!reported.contains(reply.router))
            reported << reply.router;
        const StatusBlock &b = reply.block;
        const bool held = reply.kind == ReplyKind::Priority && heldList(b.entries) != QLatin1String("none");
        const bool real = (reply.kind == ReplyKind::Status && b.statusReceived) || b.linkPort != 0 || held;
        if (real && !heard.contains(reply.router))
            heard << reply.router;
    }
    QStringList lines;
    for (const Reply &reply : replies) {
        if (all || heard.contains(reply.router))
            lines << describeStatus(reply);
    }
    // A new connection is sent every router whose communication is up, so
    // one never sent is down.
    if (all) {
        for (int r = 1; r <= 96; ++r) {
            if (!reported.contains(r))
                lines << QStringLiteral("router %1: comm OK no (not sent: a new panel is sent only the routers whose "
                                        "communication is up)")
                             .arg(r);
        }
    }
    const qsizetype left = reported.size() - heard.size();
    if (!all && left > 0)
        lines << QStringLiteral("%1 more router(s) with nothing heard: no status report, no comm port, nothing held "
                                "(--all lists them)")
                     .arg(left);
    return lines;
}

QString describeKind(const Reply &reply)
{
    const QString code = hexByte(reply.code);
    switch (reply.kind) {
    case ReplyKind::Acknowledge:
        return QStringLiteral("acknowledge, router %1").arg(reply.router);
    case ReplyKind::NotHandled:
        return QStringLiteral("not handled");
    case ReplyKind::Flags: {
        QStringList flags;
        for (char f : reply.flags)
            flags << QString::number(f);
        return QStringLiteral("change flags, router %1: %2").arg(reply.router).arg(flags.join(QLatin1Char(' ')));
    }
    case ReplyKind::Status:
        return QStringLiteral("status %1 of router %2").arg(code).arg(reply.router);
    case ReplyKind::Priority:
        return QStringLiteral("priority %1 of router %2").arg(code).arg(reply.router);
    }
    return {};
}

QStringList WatchState::apply(const Reply &reply)
{
    if (reply.kind != ReplyKind::Status && reply.kind != ReplyKind::Priority)
        return {};
    if (reply.router < 1 || reply.router > kRouterCount)
        return {};
    Seen &seen = routers[static_cast<size_t>(reply.router)];
    const int r = reply.router;
    const StatusBlock &b = reply.block;
    QStringList lines;

    // Both kinds of report carry the link state; a loss or a restoration
    // sends both, and the second one finds nothing new.
    if (seen.commKnown && seen.commOK != b.commOK)
        lines << QStringLiteral("router %1: comm %2").arg(r).arg(b.commOK ? QStringLiteral("up") : QStringLiteral("down"));
    seen.commKnown = true;
    seen.commOK = b.commOK;

    if (reply.kind == ReplyKind::Status) {
        if (!seen.status) {
            if (baselineDone)
                lines << QStringLiteral("router %1: first status, comm %2, %3 destinations with a source")
                             .arg(r).arg(b.commOK ? QStringLiteral("up") : QStringLiteral("down")).arg(knownSources(b.entries));
        } else {
            for (int d = 0; d < b.entries.size() && d < seen.sources.size(); ++d) {
                if (b.entries[d] != seen.sources[d])
                    lines << QStringLiteral("router %1 destination %2: %3 -> %4")
                                 .arg(r).arg(d + 1).arg(sourceText(seen.sources[d]), sourceText(b.entries[d]));
            }
        }
        seen.status = true;
        seen.sources = b.entries;
        return lines;
    }

    if (!seen.priority) {
        if (baselineDone)
            lines << QStringLiteral("router %1: first priority report, held: %2").arg(r).arg(heldList(b.entries));
    } else {
        for (int d = 0; d < b.entries.size() && d < seen.holds.size(); ++d) {
            if ((b.entries[d] != 0) != (seen.holds[d] != 0))
                lines << QStringLiteral("router %1 destination %2: hold %3")
                             .arg(r).arg(d + 1).arg(b.entries[d] != 0 ? QStringLiteral("set") : QStringLiteral("cleared"));
        }
    }
    seen.priority = true;
    seen.holds = b.entries;
    return lines;
}

QStringList WatchState::describeChangedFlags(const QByteArray &flags)
{
    QStringList lines;
    for (int i : {FlagTablesChanged, FlagSettingsChanged, FlagUsersChanged}) {
        if (i < flags.size() && flags.at(i) != 0)
            lines << flagName(i);
    }
    return lines;
}

int WatchState::routersSeen() const
{
    int n = 0;
    for (const Seen &seen : routers)
        n += (seen.status || seen.priority) ? 1 : 0;
    return n;
}

} // namespace marlin::panel
