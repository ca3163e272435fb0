#pragma once

#include "clients/client_server.h"
#include "clients/client_table.h"
#include "config/logs.h"
#include "config/settings.h"
#include "config/users.h"
#include "core/icons.h"
#include "links/router_links.h"
#include "router/router_file.h"
#include "router/router_table.h"
#include "router/switch_log.h"

#include <QDate>
#include <QObject>
#include <QTimer>
#include <memory>

namespace marlin {

// The whole server without its windows: every table the server keeps, the
// startup and shutdown sequences and the timers that drive them. The
// console listens to its signals and calls its operations; without a
// console the signals go nowhere and the server runs on.
class Server : public QObject {
    Q_OBJECT

public:
    struct Tables;

private:
    // Declared first: the table references below are bound to it.
    std::unique_ptr<Tables> tables;
    QString applicationDir;

public:
    explicit Server(const QString &appDir, QObject *parent = nullptr);
    ~Server() override;

    // Runs the startup steps in their fixed order. No step stops it; every
    // failure is logged after "Server Started", and the last one stays in
    // StartupError and is raised at the end for the faces to show.
    // A standby server (a hot spare) loads everything but opens no router
    // link and no panel listener, queues nothing and supervises nothing
    // until it is promoted.
    enum class Role { Active, Standby };
    void Start(Role role = Role::Active);
    bool isStandby() const { return standby; }
    // Standby to active: the links open and the routers are asked for their
    // whole status as at startup, and the panel listeners bind (a failed
    // bind is tried again every second for kBindRetries seconds before it is
    // reported). Logs "Promoted to active". Nothing when already active.
    void Promote();
    // Active to standby: the links and listeners close, the panel
    // connections drop, every queue empties. Logs "Demoted to standby".
    void Demote();
    static constexpr int kBindRetries = 30;
    // Writes "Server Closed Down". The console asks its two questions first;
    // a termination signal does not.
    void Shutdown();

    const QString &appDir() const { return applicationDir; }
    QString SettingsFile() const;
    QString UserFile() const;
    QDate startDate() const { return startedOn; }

    // Tables every part of the server reads and writes.
    Settings &settings;
    RouterTableArray &RouterTables;
    RouterStateArray &RouterStates;
    UserTable &Users;
    IconList &imglstRTR;
    Logs &logs;
    ClientTable &clientTable;
    RouterLinks links;

private:
    // Declared before the client server, which is given it.
    std::unique_ptr<ClientProtocolHost> protocolHost;

public:
    ClientServer panelServer;

    QString StartupError;
    int CurrentUser = 0;

    void WriteErrorLog(const QString &text) { logs.WriteErrorLog(text); }
    void WriteSwitchLog(bool isSwitchCommand, int router, int source, int destination, const QString &comment)
    {
        marlin::WriteSwitchLog(logs, RouterTables, isSwitchCommand, router, source, destination, comment);
    }

    // Read a file again, as a panel's reload request does: false when a step
    // failed. Each failure is written to the error log, and whatever could
    // not be read keeps its value in memory.
    bool reloadSettings();     // settings, then the router view
    bool reloadUsers();
    bool reloadRouterTables(); // icons, router tables, then the router view
    // Writes each router's edited table to its file and, once it is there,
    // makes it the table in memory: the tables in force are exactly those
    // written. A file unreadable at the last load is kept, and its table not
    // taken, unless replace names that router (the operator edited it). One
    // text for each table not taken.
    QStringList applyRouterTables(const RouterTableArray &edited, const RouterTableSet &replace);

    // Where a take came from, as the counters tell them apart.
    enum class TakeOrigin { Panel, Console, Web };
    static constexpr int kTakeOriginCount = 3;
    // Puts a take command on the router's queues. When the queue was full
    // and the command took the place of a waiting one, the error log says
    // so, the displacement is counted and true returns.
    bool queueTake(int router, const QByteArray &command);
    // Every take accepted is counted once, queued or not.
    void countTake(TakeOrigin origin) { ++takeCounts[int(origin)]; }
    quint64 takesCounted(TakeOrigin origin) const { return takeCounts[int(origin)]; }
    quint64 displacedTakes() const { return displacedCount; }
    // Sets a destination's hold and tells every face.
    void setHold(int router, int destination, bool hold);

    // Change flags for the panels.
    void NotifyRouterChanged(int router, bool priority) { marlin::NotifyRouterChanged(clientTable, router, priority); }
    void NotifyTablesChanged() { marlin::NotifyTablesChanged(clientTable); }
    void NotifySettingsChanged() { marlin::NotifySettingsChanged(clientTable); }
    void NotifyUsersChanged() { marlin::NotifyUsersChanged(clientTable); }

    // Asks the view to refill itself now; a burst of crosspoint changes is
    // paced by the console itself.
    void RefreshRouterView() { emit routerViewRefreshRequested(); }
    void RefreshProblemRouters() { emit problemRoutersRefreshRequested(); }
    // The routers whose communication is down, lowest first: the console's
    // "Problem Routers" list and any other face show the same ones.
    QList<int> problemRouters() const;

    // Marks the routers no enabled port serves (Spare1 of their state) after
    // the settings changed, and tells the panels of each that changed.
    void noteServedRouters();

    // Tells the faces that StartupError holds a failure to show (nothing
    // when it is blank).
    void raiseStartupError();

    // A failure met while starting: it becomes StartupError (the last one is
    // the one shown) and joins this startup's failures, which are all logged
    // in order right after "Server Started". A detail (where and why, in the
    // system's words) is logged on a line of its own after the text.
    void recordStartupFailure(const QString &text, const QString &detail = {});
    // The lines logged for this startup's failures, in order.
    const QStringList &startupFailures() const { return failureLines; }

signals:
    // A failure text was left for the operator: at the end of the start, or
    // after the ports were opened again.
    void startupErrorRaised(const QString &text);
    // The server became a standby (true) or active (false).
    void standbyChanged(bool standby);
    void routerViewRefreshRequested();
    void problemRoutersRefreshRequested();
    // The start met a network card that could not listen.
    void networkCardFailedAtStart();
    // The start has loaded the users; nobody is logged in yet.
    void startedWithNobodyLoggedIn();
    // The alert window of a port number opens with text, or closes.
    void alertRaised(int port, const QString &text);
    void alertCleared(int port);
    // For faces that show single changes: a crosspoint a router reported,
    // a hold set or cleared, a router's link lost or restored, and a file
    // read again or rewritten ("tables", "settings", "users").
    void crosspointChanged(int router, int destination, int source);
    void holdChanged(int router, int destination, bool hold);
    void linkChanged(int router, bool up);
    // The logs cannot be written (problem says why), or can again (empty).
    void logProblemChanged(const QString &problem);
    void filesReloaded(const QString &what);

private:
    QStringList loadSettings(LoadMode mode);
    QStringList loadUsers(LoadMode mode);
    QStringList loadRouterTables(LoadMode mode);
    bool logFailures(const QStringList &failures);
    // Writes the failures recorded since the last call, so none is logged twice.
    void logStartupFailures();
    // Tells the terminal which ports and listeners the startup opened.
    void tellOpenedComPorts();
    void tellNetworkPorts();
    void tellListeners();

    // Binds what is not listening yet; reports what still is not once the
    // retries run out.
    void retryListening();
    // Cards with an address that are not listening, and the detail line
    // logged for each (where and why).
    QList<int> cardsNotListening() const;
    QString cardListenFailureDetail(int card) const;

    std::array<quint64, kTakeOriginCount> takeCounts{};
    quint64 displacedCount = 0;
    QDate startedOn;
    bool standby = false;
    QTimer bindRetry;
    int bindRetriesLeft = 0;
    RouterTableSet unreadableTables;
    QStringList failureLines;
    qsizetype failuresLogged = 0;
};

} // namespace marlin
