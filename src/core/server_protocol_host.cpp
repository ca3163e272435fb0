#include "server_protocol_host.h"

#include "core/server.h"

namespace marlin {

ClientTable &ServerProtocolHost::clientTable() { return server.clientTable; }

RouterStateArray &ServerProtocolHost::routerStates() { return server.RouterStates; }

QByteArray ServerProtocolHost::buildTakeCommand(int router, const QByteArray &takeString)
{
    return server.links.buildTakeCommand(router, takeString);
}

void ServerProtocolHost::queueCommand(int router, const QByteArray &command) { server.queueTake(router, command); }

void ServerProtocolHost::takeAccepted() { server.countTake(Server::TakeOrigin::Panel); }

void ServerProtocolHost::holdChanged(int router, int destination, bool hold)
{
    emit server.holdChanged(router, destination, hold);
}

void ServerProtocolHost::writeSwitchLog(bool isSwitchCommand, int router, int source, int destination,
                                        const QString &comment)
{
    server.WriteSwitchLog(isSwitchCommand, router, source, destination, comment);
}

bool ServerProtocolHost::isStandby() { return server.isStandby(); }

bool ServerProtocolHost::servesRouter(int router)
{
    return FindRouterPort(server.settings, kDeviceRouter, router).number != 0;
}

QString ServerProtocolHost::routerName(int router)
{
    return isRouterNumber(router) ? server.RouterTables[router].Name : QString();
}

void ServerProtocolHost::writeErrorLog(const QString &text) { server.WriteErrorLog(text); }

bool ServerProtocolHost::reloadRouterTables() { return server.reloadRouterTables(); }

bool ServerProtocolHost::reloadSettings() { return server.reloadSettings(); }

bool ServerProtocolHost::reloadUsers() { return server.reloadUsers(); }

void ServerProtocolHost::refreshRouterView() { server.RefreshRouterView(); }

void ServerProtocolHost::holdLogLines()
{
    if (!held)
        held.emplace(server.logs);
}

void ServerProtocolHost::writeHeldLogLines() { held.reset(); }

} // namespace marlin
