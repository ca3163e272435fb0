#pragma once

// The real server in the test's own process: logs dated on a fixed day, and
// a running installation in a temporary application folder.

#include "core/server.h"
#include "test_support.h"

#include <QTemporaryDir>
#include <memory>

namespace testsupport {

// The server with its logs written on logDay(), whatever the date.
//
// Tests check the server through its views, operations and signals. For the
// setup of a situation that would otherwise need something outside the
// server (a router that has reported, a link lost for its ten silent
// checks, files that held a table when they were loaded, a panel's record),
// the rig stands in for that outside thing here, in one place: when the
// server's insides change, only this class changes with them.
class TestServer : public marlin::Server {
public:
    explicit TestServer(const QString &appDir) : marlin::Server(appDir) { logs.setClock(onLogDay); }

    // What a router's replies and its link would have set in its state.
    marlin::RouterState &asReported(int router) { return RouterStates[router]; }
    marlin::RouterStateArray &statesAsReported() { return RouterStates; }
    // What the files would have held when they were loaded.
    marlin::RouterTable &asLoaded(int router) { return RouterTables[router]; }
    marlin::UserTable &usersAsLoaded() { return Users; }
    marlin::Settings &settingsAsLoaded() { return settings; }
    // The panel connections' records, as the panel protocol keeps them.
    marlin::ClientTable &panelTable() { return clientTable; }
    // The panel listener and the router links, for tests of their own
    // pacing (flow control, sweeps, link passes stepped one at a time).
    marlin::ClientServer &panelListener() { return panelServer; }
    marlin::RouterLinks &routerLinks() { return links; }
    void setLogClock(marlin::Logs::Clock clock) { logs.setClock(std::move(clock)); }
    // The failure the start left, as if the operator had seen it already.
    void forgetStartupError() { StartupError.clear(); }
};

// A started server in a temporary application folder of its own, its
// panels served on the loopback address unless the settings say otherwise.
class RunningServer {
public:
    explicit RunningServer(const QByteArray &ini = loopbackCardSettings())
    {
        [[maybe_unused]] const bool written = writeFile(dir.filePath(QStringLiteral("WREN.INI")), ini);
        server = std::make_unique<TestServer>(dir.path());
        server->Start();
    }
    quint16 port() const { return server->listeningPort(1); }
    QString path() const { return dir.path(); }
    QString filePath(const QString &name) const { return dir.filePath(name); }
    TestServer &operator*() { return *server; }
    TestServer *operator->() { return server.get(); }

private:
    QTemporaryDir dir;
    std::unique_ptr<TestServer> server;
};

} // namespace testsupport
