#include "server.h"

#include "config/ini_file.h"
#include "core/server_protocol_host.h"
#include "router/router_file.h"

namespace marlin {

// The tables live on the heap: the 96 router tables alone are megabytes.
struct Server::Tables {
    Settings settings;
    RouterTableArray routerTables;
    RouterStateArray routerStates;
    UserTable users;
    IconList icons;
    std::unique_ptr<Logs> logs;
    ClientTable clients;
};

namespace {

std::unique_ptr<Server::Tables> makeTables(const QString &appDir)
{
    auto t = std::make_unique<Server::Tables>();
    t->logs = std::make_unique<Logs>(appDir, t->routerTables);
    return t;
}
} // namespace

Server::Server(const QString &appDir, QObject *parent)
    : QObject(parent),
      tables(makeTables(appDir)),
      applicationDir(appDir),
      settings(tables->settings),
      RouterTables(tables->routerTables),
      RouterStates(tables->routerStates),
      Users(tables->users),
      imglstRTR(tables->icons),
      logs(*tables->logs),
      clientTable(tables->clients),
      links(appDir, settings, RouterTables, RouterStates, logs),
      protocolHost(std::make_unique<ServerProtocolHost>(*this)),
      clients(*protocolHost)
{
    connect(&links, &RouterLinks::routerChanged, this, &Server::NotifyRouterChanged);
    connect(&links, &RouterLinks::crosspointStored, this, &Server::restartViewRefreshTimer);
    connect(&links, &RouterLinks::routerViewRefreshRequested, this, &Server::RefreshRouterView);
    connect(&links, &RouterLinks::problemRoutersRefreshRequested, this, &Server::RefreshProblemRouters);
    connect(&links, &RouterLinks::alertRaised, this, &Server::alertRaised);
    connect(&links, &RouterLinks::alertCleared, this, &Server::alertCleared);

    timeError.setObjectName(QStringLiteral("timeError"));
    timeError.setInterval(1000);
    timeError.setSingleShot(true);
    connect(&timeError, &QTimer::timeout, this, [this] { emit startupErrorDue(StartupError); });

    timeRTRUpdate.setObjectName(QStringLiteral("timeRTRUpdate"));
    timeRTRUpdate.setInterval(333);
    timeRTRUpdate.setSingleShot(true);
    connect(&timeRTRUpdate, &QTimer::timeout, this, &Server::RefreshRouterView);
}

Server::~Server() = default;

QString Server::SettingsFile() const { return applicationDir + QStringLiteral("/WREN.INI"); }
QString Server::UserFile() const { return applicationDir + QStringLiteral("/USER.INI"); }

void Server::reloadSettings()
{
    const QString failure = LoadSettings(SettingsFile(), settings);
    if (!failure.isEmpty())
        StartupError = failure;
}

void Server::reloadUsers() { LoadUsers(UserFile(), Users); }

void Server::reloadRouterTables()
{
    LoadIcons(applicationDir, imglstRTR);
    LoadRouterTables(applicationDir, RouterTables);
}

QList<int> Server::problemRouters() const
{
    QList<int> routers;
    for (int r = 1; r <= kRouterCount; ++r) {
        if (!RouterStates[r].CommOK)
            routers.append(r);
    }
    return routers;
}

void Server::restartViewRefreshTimer()
{
    timeRTRUpdate.stop();
    timeRTRUpdate.start();
}

void Server::raiseStartupError()
{
    if (!trimSpaces(StartupError).isEmpty())
        timeError.start();
}

void Server::Start()
{
    // Settings; a number too large for its field ends the load and is the
    // first candidate for the startup error.
    reloadSettings();
    links.applyNetRetryIntervals();

    const QString portFailure = links.OpenCommPorts();
    if (!portFailure.isEmpty())
        StartupError = portFailure;

    const QString bindFailure = clients.listen(settings);
    if (!bindFailure.isEmpty()) {
        StartupError = bindFailure;
        emit networkCardSettingsRequested();
    }

    startedOn = QDate::currentDate();
    WriteErrorLog(QStringLiteral("Server Started"));

    LoadIcons(applicationDir, imglstRTR);
    LoadRouterTables(applicationDir, RouterTables);
    reloadUsers();

    emit loginRequested();

    links.markComLinksUp();
    for (int r = 1; r <= kRouterCount; ++r)
        RouterStates[r].CommOK = true;
    links.RequestAllStatus();

    if (!trimSpaces(StartupError).isEmpty()) {
        timeError.start();
        WriteErrorLog(StartupError);
    }
    links.start();
    clients.start();
}

void Server::Shutdown()
{
    WriteErrorLog(QStringLiteral("Server Closed Down"));
}

} // namespace marlin
