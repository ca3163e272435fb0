#include "server.h"

#include "config/ini_file.h"
#include "core/server_protocol_host.h"
#include "router/router_file.h"

#include <QDir>

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

void Server::recordStartupFailure(const QString &text, const QString &detail)
{
    StartupError = text;
    failureLines.append(text);
    if (!detail.isEmpty())
        failureLines.append(detail);
}

void Server::logStartupFailures()
{
    for (; failuresLogged < failureLines.size(); ++failuresLogged)
        WriteErrorLog(failureLines[failuresLogged]);
}

void Server::tellOpenedComPorts()
{
    for (int n = 1; n <= kPortCount; ++n) {
        if (!settings.ComPorts[n].ComEnable)
            continue;
        const QString device = links.comDevicePath(n);
        const QString link = QDir(applicationDir).filePath(QStringLiteral("COM%1").arg(n));
        const QString where = links.opensThroughLink(n) ? link + QStringLiteral(" -> ") + device : device;
        if (links.isComOpen(n))
            logs.tellTerminal(QStringLiteral("comm port %1: open on %2").arg(n).arg(where));
        else
            logs.tellTerminal(QStringLiteral("comm port %1: cannot open %2: %3").arg(n).arg(where, links.comOpenProblem(n)));
    }
}

void Server::tellNetworkPorts()
{
    for (int n = 1; n <= kPortCount; ++n) {
        const NetPortSettings &port = settings.NetPorts[n];
        if (!port.NetEnabled)
            continue;
        // Network ports connect at the link pass; here they are only named.
        logs.tellTerminal(QStringLiteral("network port %1: %2 %3:%4")
                              .arg(n)
                              .arg(port.NetPortType == 0 ? QStringLiteral("TCP") : QStringLiteral("UDP"),
                                   trimSpaces(port.NetIPAddress))
                              .arg(port.NetPort));
    }
}

void Server::tellListeners()
{
    for (int k = 1; k <= kCardCount; ++k) {
        const QString address = trimSpaces(settings.Cards[k].CardIPAddress);
        if (address.isEmpty())
            continue;
        if (clients.isListening(k))
            logs.tellTerminal(QStringLiteral("network card %1: listening on %2:%3").arg(k).arg(address).arg(clients.listeningPort(k)));
        else
            logs.tellTerminal(QStringLiteral("network card %1: not listening on %2:%3: %4")
                                  .arg(k)
                                  .arg(address, trimSpaces(settings.Cards[k].CardTCPPort), clients.listenProblem(k)));
    }
}

void Server::Start()
{
    // Settings; a number too large for its field ends the load and is the
    // first candidate for the startup error.
    const QString settingsFailure = LoadSettings(SettingsFile(), settings);
    if (!settingsFailure.isEmpty())
        recordStartupFailure(settingsFailure);
    links.applyNetRetryIntervals();

    for (const QString &failure : links.OpenCommPorts())
        recordStartupFailure(failure);
    tellOpenedComPorts();
    tellNetworkPorts();

    clients.listen(settings);
    bool cardFailed = false;
    for (int k = 1; k <= kCardCount; ++k) {
        const QString address = trimSpaces(settings.Cards[k].CardIPAddress);
        if (address.isEmpty() || clients.isListening(k))
            continue;
        recordStartupFailure(cardBindFailureText(k),
                             QStringLiteral("Network card #%1 could not listen on %2 port %3: %4.")
                                 .arg(k)
                                 .arg(address, trimSpaces(settings.Cards[k].CardTCPPort), clients.listenProblem(k)));
        cardFailed = true;
    }
    tellListeners();
    if (cardFailed)
        emit networkCardSettingsRequested();

    startedOn = QDate::currentDate();
    WriteErrorLog(QStringLiteral("Server Started"));
    logStartupFailures();

    LoadIcons(applicationDir, imglstRTR);
    LoadRouterTables(applicationDir, RouterTables);
    reloadUsers();

    emit loginRequested();

    links.markComLinksUp();
    for (int r = 1; r <= kRouterCount; ++r)
        RouterStates[r].CommOK = true;
    links.RequestAllStatus();

    // Anything the later steps met is logged too, each line once.
    logStartupFailures();
    if (!trimSpaces(StartupError).isEmpty())
        timeError.start();
    links.start();
    clients.start();
}

void Server::Shutdown()
{
    WriteErrorLog(QStringLiteral("Server Closed Down"));
}

} // namespace marlin
