#include "server.h"

#include "config/ini_file.h"
#include "core/face.h"
#include "core/settings_check.h"
#include "core/server_protocol_host.h"
#include "router/router_file.h"

#include <QDir>
#include <QRegularExpression>

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
    t->logs = std::make_unique<Logs>(appDir);
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
      panelServer(*protocolHost)
{
    connect(&links, &RouterLinks::routerChanged, this, &Server::NotifyRouterChanged);
    connect(&links, &RouterLinks::routerViewRefreshRequested, this, &Server::RefreshRouterView);
    connect(&links, &RouterLinks::problemRoutersRefreshRequested, this, &Server::RefreshProblemRouters);
    connect(&links, &RouterLinks::alertRaised, this, &Server::alertRaised);
    connect(&links, &RouterLinks::alertCleared, this, &Server::alertCleared);
    connect(&links, &RouterLinks::crosspointChanged, this, &Server::crosspointChanged);
    connect(&links, &RouterLinks::holdDropped, this,
            [this](int router, int destination) { emit holdChanged(router, destination, false); });
    connect(&links, &RouterLinks::linkChanged, this, &Server::linkChanged);

    logs.setProblemHandler([this](const QString &problem) { emit logProblemChanged(problem); });

    bindRetry.setObjectName(QStringLiteral("bindRetry"));
    bindRetry.setInterval(1000);
    connect(&bindRetry, &QTimer::timeout, this, &Server::retryListening);
}

Server::~Server() = default;

QString Server::SettingsFile() const { return applicationDir + QStringLiteral("/WREN.INI"); }
QString Server::UserFile() const { return applicationDir + QStringLiteral("/USER.INI"); }

QStringList Server::loadSettings(LoadMode mode)
{
    const QStringList failures = LoadSettings(SettingsFile(), settings, mode);
    links.settingsLoaded();
    noteServedRouters();
    settingsIssues = CheckSettingsValues(settings) + CheckSettingsNames(IniDocument::load(SettingsFile()));
    return failures;
}

QStringList Server::loadUsers(LoadMode mode)
{
    QString failure;
    if (LoadUsers(UserFile(), Users, mode, &failure))
        return {};
    return {failure};
}

QStringList Server::loadRouterTables(LoadMode mode)
{
    LoadIcons(applicationDir, imglstRTR);
    const RouterTableLoad load = LoadRouterTables(applicationDir, RouterTables, mode);
    // A table kept from before a failed reload is still the file's own.
    if (mode == LoadMode::Startup)
        unreadableTables = load.unreadable;
    else
        unreadableTables &= load.unreadable;
    return load.failures;
}

void Server::logSettingsProblems()
{
    static const QRegularExpression cardKey(QStringLiteral("^Network_Card_\\d+_(IP_Address|TCP_Port)$"));
    for (const SettingsProblem &problem : settingsIssues) {
        // A card that cannot listen is reported where it is tried: by the
        // start, or by the promotion of a standby.
        if (problem.section == QLatin1String("Network_Settings") && cardKey.match(problem.key).hasMatch())
            continue;
        WriteErrorLog(QStringLiteral("WREN.INI: ") + problem.message());
    }
}

bool Server::logFailures(const QStringList &failures)
{
    for (const QString &failure : failures)
        WriteErrorLog(failure);
    return failures.isEmpty();
}

bool Server::reloadSettings()
{
    const bool complete = logFailures(loadSettings(LoadMode::Reload));
    logSettingsProblems();
    RefreshRouterView();
    emit filesReloaded(QStringLiteral("settings"));
    return complete;
}

bool Server::reloadUsers()
{
    const bool complete = logFailures(loadUsers(LoadMode::Reload));
    emit filesReloaded(QStringLiteral("users"));
    return complete;
}

bool Server::reloadRouterTables()
{
    const bool complete = logFailures(loadRouterTables(LoadMode::Reload));
    RefreshRouterView();
    emit filesReloaded(QStringLiteral("tables"));
    return complete;
}

bool Server::queueTake(int router, const QByteArray &command)
{
    if (!links.QueueTake(router, command))
        return false;
    ++displacedCount;
    WriteErrorLog(QStringLiteral("Command queue of router %1 (%2) full: a take took the place of the last waiting "
                                 "command.")
                      .arg(router)
                      .arg(RouterTables[router].Name));
    return true;
}

bool Server::setHold(int router, int destination, bool hold)
{
    if (!isRouterNumber(router) || !isPointNumber(destination))
        return false;
    bool &held = RouterStates[router].HighPriority[destination];
    if (held == hold)
        return true;
    held = hold;
    NotifyRouterChanged(router, true);
    emit holdChanged(router, destination, hold);
    return true;
}

int Server::userPrivilege(int user) const { return user >= 1 && user <= kUserCount ? Users[user].UserPrivilege : 0; }

TakeRefusal Server::checkTake(const TakeRequest &t) const
{
    if (standby)
        return TakeRefusal::Standby;
    const bool byPanel = t.origin == TakeOrigin::Panel;
    if (t.user ? userPrivilege(*t.user) < MasterOperator : !byPanel)
        return TakeRefusal::NoPrivilege;
    // A panel's numbers are passed on as they are: the router may be larger
    // than its table.
    if (!byPanel) {
        if (!isPointNumber(t.source))
            return TakeRefusal::NoSource;
        if (!isPointNumber(t.destination))
            return TakeRefusal::NoDestination;
        if (trimSpaces(t.comment).isEmpty())
            return TakeRefusal::NoComment;
    }
    if (!isRouterNumber(t.router) || FindRouterPort(settings, kDeviceRouter, t.router).number == 0)
        return TakeRefusal::NotServed;
    return TakeRefusal::None;
}

QByteArray Server::takeString(const TakeRequest &t) const
{
    if (t.origin == TakeOrigin::Panel)
        return t.takeString;
    if (!isRouterNumber(t.router) || !isPointNumber(t.source) || !isPointNumber(t.destination))
        return {};
    const RouterTable &table = RouterTables[t.router];
    return MakeTakeString(t.levels, PhysicalSource(table, t.source), PhysicalDestination(table, t.destination),
                          table.SourceLabel[t.source], table.DestLabel[t.destination]);
}

TakeResult Server::take(const TakeRequest &t)
{
    const bool byPanel = t.origin == TakeOrigin::Panel;
    const TakeRefusal refusal = checkTake(t);
    // A panel's take is acknowledged whether or not it can go anywhere.
    const auto acknowledged = [&] {
        countTake(t.origin);
        return TakeResult{};
    };
    if (refusal == TakeRefusal::NotServed) {
        WriteErrorLog(takeNotSentText(t.router, isRouterNumber(t.router) ? RouterTables[t.router].Name : QString()));
        return byPanel ? acknowledged() : TakeResult{refusal};
    }
    if (refusal != TakeRefusal::None)
        return {refusal};

    const int r = t.router;
    const RouterTable &table = RouterTables[r];
    const QByteArray text = takeString(t);
    // A port without a language sends the take string as it is.
    QByteArray command = links.buildTakeCommand(r, text);
    if (command.isEmpty() && links.FindRouterProtocol(kDeviceRouter, r) == ProtocolNone)
        command = text;
    if (command.isEmpty())
        return byPanel ? acknowledged() : TakeResult{TakeRefusal::NotCarried};

    TakeResult result;
    result.sent = true;
    result.displaced = queueTake(r, command);
    countTake(t.origin);

    const int source = byPanel ? t.source : PhysicalSource(table, t.source);
    const int destination = byPanel ? t.destination : PhysicalDestination(table, t.destination);
    if (byPanel) {
        marlin::WriteSwitchLogByRouterNumbers(logs, RouterTables, true, r, source, destination, t.comment);
    } else {
        WriteSwitchLog(true, r, t.source, t.destination,
                       QStringLiteral("User = ") + Users[*t.user].UserName + QStringLiteral("   Comment = ")
                           + trimSpaces(t.comment));
    }
    if (isPointNumber(destination)) {
        RouterStates[r].PrioritySource[destination] = source;
        if (t.hold != TakeRequest::Hold::Keep)
            setHold(r, destination, t.hold == TakeRequest::Hold::Set);
    }
    RefreshRouterView();
    return result;
}

QStringList Server::applyRouterTables(const RouterTableArray &edited, const RouterTableSet &replace)
{
    RouterTableSet written;
    const QStringList failures = SaveRouterTables(applicationDir, edited, unreadableTables & ~replace, &written);
    for (int r = 1; r <= kRouterCount; ++r) {
        if (!written.test(std::size_t(r)))
            continue;
        RouterTables[r] = edited[r];
        unreadableTables.reset(std::size_t(r));
    }
    if (written.any())
        emit filesReloaded(QStringLiteral("tables"));
    return failures;
}

RouterPort Server::servingPort(int router) const
{
    return links.servingPort(router);
}

Server::RouterCounters Server::routerCounters(int router) const
{
    if (!isRouterNumber(router))
        return {};
    return {RouterStates[router].CommOK, links.repliesReceived(router), links.commandsSent(router),
            links.queueDepth(router)};
}

Server::Counters Server::counters() const
{
    return {links.refusedDatagrams(), logs.writeFailures(), panelServer.connectedCount(), panelServer.requestsHandled(),
            panelServer.acceptedSocketCount()};
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

void Server::noteServedRouters()
{
    for (int r = 1; r <= kRouterCount; ++r) {
        const int unserved = FindRouterPort(settings, kDeviceRouter, r).number == 0 ? 1 : 0;
        if (RouterStates[r].Spare1 == unserved)
            continue;
        RouterStates[r].Spare1 = unserved;
        NotifyRouterChanged(r, false);
    }
}

void Server::raiseStartupError()
{
    if (!trimSpaces(StartupError).isEmpty())
        emit startupErrorRaised(StartupError);
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
        if (panelServer.isListening(k))
            logs.tellTerminal(QStringLiteral("network card %1: listening on %2:%3").arg(k).arg(address).arg(panelServer.listeningPort(k)));
        else
            logs.tellTerminal(QStringLiteral("network card %1: not listening on %2:%3: %4")
                                  .arg(k)
                                  .arg(address, trimSpaces(settings.Cards[k].CardTCPPort), panelServer.listenProblem(k)));
    }
}

void Server::Start(Role role)
{
    standby = role == Role::Standby;
    for (const QString &failure : loadSettings(LoadMode::Startup))
        recordStartupFailure(failure);
    links.applyNetRetryIntervals();

    bool cardFailed = false;
    if (standby) {
        links.suspend();
        emit standbyChanged(true);
        logs.tellTerminal(QStringLiteral("standby: router links and panel listeners stay closed until promoted (SIGUSR1)"));
    } else {
        for (const QString &failure : links.OpenCommPorts())
            recordStartupFailure(failure);
        tellOpenedComPorts();
        tellNetworkPorts();

        panelServer.listen(settings);
        for (int k : cardsNotListening()) {
            recordStartupFailure(cardBindFailureText(k), cardListenFailureDetail(k));
            cardFailed = true;
        }
        tellListeners();
    }
    if (cardFailed)
        emit networkCardFailedAtStart();

    startedOn = QDate::currentDate();
    WriteErrorLog(QStringLiteral("Server Started"));
    logStartupFailures();
    logSettingsProblems();

    for (const QString &failure : loadRouterTables(LoadMode::Startup) + loadUsers(LoadMode::Startup))
        recordStartupFailure(failure);

    emit startedWithNobodyLoggedIn();

    for (int r = 1; r <= kRouterCount; ++r)
        RouterStates[r].CommOK = true;
    if (!standby) {
        links.markComLinksUp();
        links.RequestAllStatus();
    }

    // Anything the later steps met is logged too, each line once.
    logStartupFailures();
    raiseStartupError();
    if (!standby)
        links.start();
    panelServer.start();
    if (!standby) {
        for (Face *face : faces)
            face->open();
    }
}

void Server::addFace(Face *face) { faces.append(face); }

void Server::removeFace(Face *face) { faces.removeAll(face); }

void Server::Promote()
{
    if (!standby)
        return;
    standby = false;
    links.resume();
    for (const QString &failure : links.OpenCommPorts())
        WriteErrorLog(failure);
    tellOpenedComPorts();
    tellNetworkPorts();
    // The floating address may arrive a moment after the signal.
    panelServer.listen(settings);
    bindRetriesLeft = kBindRetries;
    retryListening();

    links.markComLinksUp();
    for (int r = 1; r <= kRouterCount; ++r)
        RouterStates[r].CommOK = true;
    links.RequestAllStatus();
    links.start();
    WriteErrorLog(QStringLiteral("Promoted to active"));
    for (Face *face : faces)
        face->openAfterPromotion();
    emit standbyChanged(false);
    RefreshRouterView();
    RefreshProblemRouters();
}

void Server::retryListening()
{
    // Called once by the promotion, then by each tick of the retry timer.
    if (bindRetry.isActive()) {
        --bindRetriesLeft;
        panelServer.listen(settings, true);
    }
    const QList<int> missing = cardsNotListening();
    if (!missing.isEmpty() && bindRetriesLeft > 0) {
        if (!bindRetry.isActive())
            bindRetry.start();
        return;
    }
    bindRetry.stop();
    for (int k : missing) {
        WriteErrorLog(cardBindFailureText(k));
        WriteErrorLog(cardListenFailureDetail(k));
    }
    tellListeners();
}

QList<int> Server::cardsNotListening() const
{
    QList<int> cards;
    for (int k = 1; k <= kCardCount; ++k) {
        if (!trimSpaces(settings.Cards[k].CardIPAddress).isEmpty() && !panelServer.isListening(k))
            cards.append(k);
    }
    return cards;
}

QString Server::cardListenFailureDetail(int k) const
{
    return QStringLiteral("Network card #%1 could not listen on %2 port %3: %4.")
        .arg(k)
        .arg(trimSpaces(settings.Cards[k].CardIPAddress), trimSpaces(settings.Cards[k].CardTCPPort),
             panelServer.listenProblem(k));
}

void Server::Demote()
{
    if (standby)
        return;
    standby = true;
    bindRetry.stop();
    links.suspend();
    panelServer.closeAll();
    for (Face *face : faces)
        face->close();
    // No alert stays open for a link nobody supervises.
    for (int n = 1; n <= kPortCount; ++n)
        emit alertCleared(n);
    WriteErrorLog(QStringLiteral("Demoted to standby"));
    emit standbyChanged(true);
    RefreshRouterView();
}

void Server::Shutdown()
{
    WriteErrorLog(QStringLiteral("Server Closed Down"));
}

} // namespace marlin
