#pragma once

// The real server in the test's own process: logs dated on a fixed day, and
// a running installation in a temporary application folder.

#include "core/server.h"
#include "test_support.h"

#include <QTemporaryDir>
#include <memory>

namespace testsupport {

// The server with its logs written on logDay(), whatever the date.
class TestServer : public marlin::Server {
public:
    explicit TestServer(const QString &appDir) : marlin::Server(appDir) { logs.setClock(onLogDay); }
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
    quint16 port() const { return server->panelServer.listeningPort(1); }
    QString path() const { return dir.path(); }
    QString filePath(const QString &name) const { return dir.filePath(name); }
    marlin::Server &operator*() { return *server; }
    marlin::Server *operator->() { return server.get(); }

private:
    QTemporaryDir dir;
    std::unique_ptr<TestServer> server;
};

} // namespace testsupport
