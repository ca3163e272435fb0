#include "server_protocol_host.h"

#include "core/server.h"

namespace marlin {

ClientTable &ServerProtocolHost::clientTable() { return server.clientTable; }

RouterStateArray &ServerProtocolHost::routerStates() { return server.RouterStates; }

bool ServerProtocolHost::take(const PanelTake &take)
{
    TakeRequest request;
    request.router = take.router;
    request.source = take.source;
    request.destination = take.destination;
    request.levels = take.levels;
    request.comment = take.comment;
    request.origin = TakeOrigin::Panel;
    request.takeString = take.takeString;
    request.panelAddress = take.address;
    return server.take(request).refusal != TakeRefusal::Standby;
}

void ServerProtocolHost::holdChanged(int router, int destination, bool hold)
{
    emit server.holdChanged(router, destination, hold);
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
