#include "server.h"

#include "config/ini_file.h"
#include "core/console_actions.h"
#include "core/face.h"
#include "core/settings_check.h"
#include "core/server_protocol_host.h"
#include "router/router_file.h"

#include <QDir>
#include <QRegularExpression>
#include <algorithm>

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

namespace {
// The owner of the protect on the destination a take names, when the one
// taking is not that owner; empty otherwise.
QString foreignProtect(const Server &server, const TakeRequest &t)
{
    if (!isRouterNumber(t.router))
        return {};
    const int output = t.origin == TakeOrigin::Panel ? t.destination
                                                     : PhysicalDestination(server.routerTable(t.router), t.destination);
    const QString owner = server.protectOwner(t.router, output);
    if (owner.isEmpty() || (t.user && sameUserName(owner, server.users()[std::size_t(*t.user)].UserName)))
        return {};
    return owner;
}
} // namespace

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
    if (!foreignProtect(*this, t).isEmpty())
        return TakeRefusal::Protected;
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
    const auto refused = [&](TakeRefusal why) {
        ++refusedCounts[std::size_t(why)];
        TakeResult result;
        result.refusal = why;
        return result;
    };
    if (refusal == TakeRefusal::NotServed) {
        WriteErrorLog(takeNotSentText(t.router, isRouterNumber(t.router) ? RouterTables[t.router].Name : QString()));
        return byPanel ? acknowledged() : refused(refusal);
    }
    if (refusal == TakeRefusal::Protected) {
        // The panel protocol has no refusal: the panel is acknowledged, and
        // the switch log says what happened and to whom.
        TakeResult result = refused(refusal);
        result.protectedBy = foreignProtect(*this, t);
        if (byPanel)
            logPanelTakeRefused(t, result.protectedBy);
        return result;
    }
    if (refusal != TakeRefusal::None)
        return refused(refusal);

    const int r = t.router;
    const RouterTable &table = RouterTables[r];
    const QByteArray text = takeString(t);
    // A port without a language sends the take string as it is.
    QByteArray command = links.buildTakeCommand(r, text);
    if (command.isEmpty() && links.FindRouterProtocol(kDeviceRouter, r) == ProtocolNone)
        command = text;
    if (command.isEmpty())
        return byPanel ? acknowledged() : refused(TakeRefusal::NotCarried);

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

// ---- Protects ----------------------------------------------------------------

QString Server::ProtectFile() const { return applicationDir + QStringLiteral("/PROTECTS.INI"); }
QString Server::SalvoFile() const { return applicationDir + QStringLiteral("/SALVOS.INI"); }

void Server::loadProtectsAndSalvos()
{
    QString failure;
    if (!LoadProtects(ProtectFile(), protectTable, &failure))
        recordStartupFailure(failure);
    protectsUnreadable = IniDocument::load(ProtectFile()).readError();
    if (!LoadSalvos(SalvoFile(), salvoList, &failure))
        recordStartupFailure(failure);
    salvosUnreadable = IniDocument::load(SalvoFile()).readError();
}

void Server::logPanelTakeRefused(const TakeRequest &t, const QString &owner)
{
    QString entry = QStringLiteral("Switch command refused.");
    if (isRouterNumber(t.router)) {
        const RouterTable &table = RouterTables[t.router];
        const int source = TableSource(table, t.source);
        const int destination = TableDestination(table, t.destination);
        entry += QStringLiteral("\t Router = ") + logSafe(table.Name);
        if (source > 0)
            entry += QStringLiteral("\t Source = ") + logSafe(table.SourceDescription[source]);
        if (destination > 0)
            entry += QStringLiteral("\t Destination = ") + logSafe(table.DestDescription[destination]);
    }
    entry += QStringLiteral("\tProtected by ") + logSafe(owner) + QStringLiteral("; panel ")
             + logSafe(t.panelAddress) + QStringLiteral("   Comment = ")
             + logSafe(trimSpaces(t.comment).left(Logs::kCommentLimit));
    logs.writeSwitchEntry(entry);
}

Server::ProtectOutcome Server::checkProtectTarget(int router, int destination, int user, int *output) const
{
    if (standby)
        return {ProtectResult::Standby, {}, standbyRefusalText()};
    if (userPrivilege(user) < MasterOperator)
        return {ProtectResult::NoPrivilege, {}, {}};
    if (!isRouterNumber(router) || !isPointNumber(destination) || !RouterTables[router].DestVisible[destination])
        return {ProtectResult::NoDestination, {}, {}};
    *output = PhysicalDestination(RouterTables[router], destination);
    if (!isPointNumber(*output)) {
        return {ProtectResult::BeyondState, {},
                QStringLiteral("Destination %1 is the router's output %2, beyond the %3 outputs whose state the "
                               "server keeps: it cannot be protected. Nothing was changed.")
                    .arg(destination)
                    .arg(*output)
                    .arg(kPointCount)};
    }
    return {};
}

bool Server::storeProtects(const ProtectTable &next, QString *error)
{
    if (!protectsUnreadable.isEmpty()) {
        *error = QStringLiteral("%1 could not be read at the start (%2), so it is left as it is")
                     .arg(ProtectFile(), protectsUnreadable);
        return false;
    }
    if (!SaveProtects(ProtectFile(), next, error))
        return false;
    protectTable = next;
    return true;
}

namespace {
QString protectLogEntry(const QString &what, const RouterTable &table, int destination, const QString &user)
{
    return what + QStringLiteral("\t Router = ") + logSafe(table.Name) + QStringLiteral("\t Destination = ")
           + logSafe(table.DestDescription[destination]) + QStringLiteral("\tUser = ") + logSafe(user);
}
} // namespace

Server::ProtectOutcome Server::protect(int router, int destination, int user)
{
    int output = 0;
    if (ProtectOutcome refused = checkProtectTarget(router, destination, user, &output);
        refused.result != ProtectResult::Done)
        return refused;
    const QString name = trimSpaces(Users[user].UserName);
    const QString owner = protectTable.value({router, output});
    if (!owner.isEmpty())
        return {sameUserName(owner, name) ? ProtectResult::Done : ProtectResult::ProtectedByOther, owner, {}};
    ProtectTable next = protectTable;
    next.insert({router, output}, name);
    QString error;
    if (!storeProtects(next, &error))
        return {ProtectResult::NotSaved, {}, error};
    logs.writeSwitchEntry(protectLogEntry(QStringLiteral("Protect set."), RouterTables[router], destination, name));
    emit protectChanged(router, output, name);
    RefreshRouterView();
    return {ProtectResult::Done, name, {}};
}

Server::ProtectOutcome Server::releaseProtect(int router, int destination, int user)
{
    int output = 0;
    if (ProtectOutcome refused = checkProtectTarget(router, destination, user, &output);
        refused.result != ProtectResult::Done)
        return refused;
    const QString name = trimSpaces(Users[user].UserName);
    const QString owner = protectTable.value({router, output});
    if (owner.isEmpty())
        return {};
    const bool own = sameUserName(owner, name);
    if (!own && userPrivilege(user) < Administrator)
        return {ProtectResult::NotOwner, owner, {}};
    ProtectTable next = protectTable;
    next.remove({router, output});
    QString error;
    if (!storeProtects(next, &error))
        return {ProtectResult::NotSaved, owner, error};
    QString entry = protectLogEntry(QStringLiteral("Protect released."), RouterTables[router], destination, name);
    if (!own)
        entry += QStringLiteral("   Owner = ") + logSafe(owner);
    logs.writeSwitchEntry(entry);
    emit protectChanged(router, output, QString());
    RefreshRouterView();
    return {ProtectResult::Done, owner, {}};
}

QString Server::protectedBy(int router, int destination) const
{
    if (!isRouterNumber(router) || !isPointNumber(destination))
        return {};
    return protectOwner(router, PhysicalDestination(RouterTables[router], destination));
}

// ---- Salvos ------------------------------------------------------------------

namespace {
bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
}
} // namespace

QString Server::salvoProblem(const Salvo &salvo) const
{
    if (salvo.name.isEmpty() || salvo.name.size() > kSalvoNameLimit || hasControlCharacter(salvo.name)
        || trimSpaces(salvo.name) != salvo.name)
        return QStringLiteral("name: 1..%1 characters, no control character, no space at either end")
            .arg(kSalvoNameLimit);
    if (salvo.comment.size() > kSalvoCommentLimit || hasControlCharacter(salvo.comment))
        return QStringLiteral("comment: at most %1 characters, no control character").arg(kSalvoCommentLimit);
    if (salvo.takes.isEmpty() || salvo.takes.size() > kSalvoTakeLimit)
        return QStringLiteral("takes: a list of 1..%1 takes").arg(kSalvoTakeLimit);
    for (qsizetype k = 0; k < salvo.takes.size(); ++k) {
        const SalvoTake &take = salvo.takes[k];
        const QString where = QStringLiteral("takes[%1].").arg(k);
        if (!servesRouter(take.router))
            return where + QStringLiteral("router: a router some port serves (1..%1)").arg(kRouterCount);
        const RouterTable &table = RouterTables[take.router];
        if (!isPointNumber(take.source) || !table.SourceVisible[take.source])
            return where + QStringLiteral("source: a visible source of router %1 (1..%2)").arg(take.router).arg(kPointCount);
        if (!isPointNumber(take.destination) || !table.DestVisible[take.destination])
            return where
                   + QStringLiteral("destination: a visible destination of router %1 (1..%2)").arg(take.router).arg(kPointCount);
        if (std::none_of(take.levels.begin(), take.levels.end(), [](bool on) { return on; }))
            return where + QStringLiteral("levels: a list of levels 0..%1").arg(kTakeLevelCount - 1);
    }
    if (!SalvoTextsFit(salvo))
        return QStringLiteral("name: a text the salvo file holds as it is (name and comment too long)");
    return {};
}

Server::SalvoEditOutcome Server::saveSalvo(const Salvo &salvo, int user)
{
    if (userPrivilege(user) < MasterOperator)
        return {SalvoEditResult::NoPrivilege, {}};
    if (const QString problem = salvoProblem(salvo); !problem.isEmpty())
        return {SalvoEditResult::Invalid, problem};
    SalvoList next = salvoList;
    const auto it = std::find_if(next.begin(), next.end(), [&](const Salvo &s) { return s.name == salvo.name; });
    if (it != next.end())
        *it = salvo;
    else
        next.append(salvo);
    return commitSalvos(next);
}

Server::SalvoEditOutcome Server::commitSalvos(const SalvoList &next)
{
    if (!salvosUnreadable.isEmpty())
        return {SalvoEditResult::NotSaved, QStringLiteral("%1 could not be read at the start (%2), so it is left as it is")
                                               .arg(SalvoFile(), salvosUnreadable)};
    QString error;
    if (!SaveSalvos(SalvoFile(), next, &error))
        return {SalvoEditResult::NotSaved, error};
    salvoList = next;
    emit salvosChanged();
    return {};
}

Server::SalvoEditOutcome Server::deleteSalvo(const QString &name, int user)
{
    if (userPrivilege(user) < MasterOperator)
        return {SalvoEditResult::NoPrivilege, {}};
    SalvoList next = salvoList;
    if (next.removeIf([&](const Salvo &s) { return s.name == name; }) == 0)
        return {SalvoEditResult::NotFound, {}};
    return commitSalvos(next);
}

Server::SalvoFireOutcome Server::fireSalvo(const QString &name, int user, const QString &comment, TakeOrigin origin)
{
    const auto it = std::find_if(salvoList.cbegin(), salvoList.cend(), [&](const Salvo &s) { return s.name == name; });
    if (it == salvoList.cend())
        return {SalvoFireResult::NotFound, {}, 0};
    if (standby)
        return {SalvoFireResult::Standby, {}, 0};
    if (userPrivilege(user) < MasterOperator)
        return {SalvoFireResult::NoPrivilege, {}, 0};
    const Salvo salvo = *it;
    const QString used = trimSpaces(comment).isEmpty() ? salvo.comment : comment;
    const QString userName = trimSpaces(Users[user].UserName);
    SalvoFireOutcome outcome;
    Logs::Batch batch(logs);
    for (const SalvoTake &take : salvo.takes) {
        TakeRequest request;
        request.router = take.router;
        request.source = take.source;
        request.destination = take.destination;
        request.levels = take.levels;
        request.comment = used;
        request.user = user;
        request.origin = origin;
        SalvoTakeResult result{take, {}, servesRouter(take.router) && !RouterStates[take.router].CommOK};
        result.result = this->take(request);
        if (result.result.sent)
            ++outcome.sent;
        outcome.takes.append(result);
    }
    logs.writeSwitchEntry(QStringLiteral("Salvo %1 fired by %2: %3 of %4 takes sent")
                              .arg(logSafe(salvo.name), logSafe(userName))
                              .arg(outcome.sent)
                              .arg(salvo.takes.size()));
    emit salvoFired(salvo.name, userName, outcome.sent, int(salvo.takes.size()));
    return outcome;
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
    loadProtectsAndSalvos();

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
