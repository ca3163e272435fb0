#pragma once

#include "clients/client_protocol.h"
#include "config/logs.h"

#include <optional>

namespace marlin {

class Server;

// What panel request handling needs from the server, over its own tables,
// links and logs.
class ServerProtocolHost : public ClientProtocolHost {
public:
    explicit ServerProtocolHost(Server &server) : server(server) {}

    ClientTable &clientTable() override;
    RouterStateArray &routerStates() override;
    bool take(const PanelTake &take) override;
    void writeErrorLog(const QString &text) override;
    bool reloadRouterTables() override;
    bool reloadSettings() override;
    bool reloadUsers() override;
    void refreshRouterView() override;
    void holdChanged(int router, int destination, bool hold) override;
    void holdLogLines() override;
    void writeHeldLogLines() override;

protected:
    Server &server;

private:
    std::optional<Logs::Batch> held;
};

} // namespace marlin
