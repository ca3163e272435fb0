#pragma once

#include "clients/client_server.h"
#include "clients/client_table.h"
#include "config/logs.h"
#include "config/settings.h"
#include "config/users.h"
#include "core/edits.h"
#include "core/icons.h"
#include "core/protects.h"
#include "core/salvos.h"
#include "core/settings_check.h"
#include "links/router_links.h"
#include "router/router_file.h"
#include "router/router_table.h"
#include "router/take_string.h"
#include "router/switch_log.h"

#include <QDate>
#include <QList>
#include <QObject>
#include <QTimer>
#include <array>
#include <memory>
#include <optional>

namespace marlin {

class Face;

// Where a take came from: a panel on its connection, the console's take
// dialog, the web face.
enum class TakeOrigin { Panel, Console, Web };

// A take as any face asks for it. A panel's numbers are the router's own
// (those of its take string); the console's and the web's are the table's
// (1..256), which the engine maps to the router's own before anything is
// sent or recorded.
struct TakeRequest {
    enum class Hold { Keep, Set, Clear };
    int router = 0;
    int source = 0;
    int destination = 0;
    std::array<bool, kTakeLevelCount> levels{};   // levels 0..7
    QString comment;
    Hold hold = Hold::Keep;
    // The user 1..12 making it; none for a panel, whose takes carry no user.
    std::optional<int> user;
    TakeOrigin origin = TakeOrigin::Console;
    // A panel's take string as it came, sent in the router's language as
    // it reads it; the engine builds the console's and the web's.
    QByteArray takeString;
    // A panel's address, for the switch log line of a refused take.
    QString panelAddress;
};

// Why a take is refused, checked in this order. NotServed: no enabled port
// serves the router, so the take would go nowhere. NotCarried is met only
// when the take is carried out: the router's language cannot carry it (the
// error log says why). Protected: the destination is protected by a user
// other than the one taking (a panel's take carries no user, so it never
// owns a protect).
enum class TakeRefusal { None, Standby, NoPrivilege, NoSource, NoDestination, NoComment, Protected, NotServed, NotCarried };
constexpr int kTakeRefusalCount = int(TakeRefusal::NotCarried) + 1;

struct TakeResult {
    TakeRefusal refusal = TakeRefusal::None;
    QString protectedBy;     // the owner, when refused as Protected
    bool sent = false;       // the command went on the router's queues
    bool displaced = false;  // it took the place of a command waiting in a full queue
};

// One take of a fired salvo and what became of it.
struct SalvoTakeResult {
    SalvoTake take;
    TakeResult result;
    // Its router's link was down: the take is queued like any take and goes
    // out when the link is back.
    bool linkDown = false;
};

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

    // ---- Read-only views: what the faces show and the tests check ----------
    const Settings &currentSettings() const { return settings; }
    // A router's table and state; a number outside 1..96 gives the empty
    // entry 0, never memory outside the tables.
    const RouterTable &routerTable(int router) const { return RouterTables[isRouterNumber(router) ? router : 0]; }
    const RouterState &routerState(int router) const { return RouterStates[isRouterNumber(router) ? router : 0]; }
    const RouterTableArray &routerTables() const { return RouterTables; }
    const UserTable &users() const { return Users; }
    // The user 1..12 logged in at the console, 0 for none.
    int currentUser() const { return CurrentUser; }
    const IconList &icons() const { return imglstRTR; }
    // The panel connections' records, 1..64.
    const ClientTable &panelRecords() const { return clientTable; }
    // The port that serves a router, the one its takes and polls go to
    // (number 0 when no enabled port does).
    RouterPort servingPort(int router) const;
    bool servesRouter(int router) const { return servingPort(router).number != 0; }
    // What the metrics count, by router and for the whole server.
    struct RouterCounters {
        bool linkUp = false;
        quint64 replies = 0;
        quint64 commandsSent = 0;
        int queueDepth = 0;
    };
    RouterCounters routerCounters(int router) const;
    struct Counters {
        quint64 refusedDatagrams = 0;
        quint64 logWriteFailures = 0;
        int panelsConnected = 0;
        quint64 panelRequests = 0;
        int panelSockets = 0;   // sockets accepted and not yet closed
    };
    Counters counters() const;
    // The logs' files, for the windows that show them.
    const Logs &logFiles() const { return logs; }
    // Why the logs cannot be written now, empty when they can.
    QString logProblem() const { return logs.writeProblem(); }
    // A line for the terminal the server was started from.
    void tellTerminal(const QString &text) { logs.tellTerminal(text); }

protected:
    // The engine's own state. The faces read it through the views above and
    // change it through the operations below; only the engine's own code
    // (and a test rig deriving from Server to stand in for a router) writes
    // it.
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
    friend class ServerProtocolHost;

protected:
    ClientServer panelServer;

    QString StartupError;
    int CurrentUser = 0;

public:
    // ---- Faces ---------------------------------------------------------------
    // A face registers itself when it is made over the server (and leaves
    // when it goes). The server opens every face when it starts active (at
    // the end of the start) and at a promotion, and closes them at a
    // demotion. A face made after the start is opened by whoever made it.
    void addFace(Face *face);
    void removeFace(Face *face);

    // What is wrong in the settings in force, as --check-config and the
    // settings windows say it (refusals and warnings); empty when nothing is.
    // Each load writes them to the error log once.
    const QList<SettingsProblem> &settingsProblems() const { return settingsIssues; }

    // ---- Login --------------------------------------------------------------
    // Makes user 1..12 the one logged in at the console (0 or anything else:
    // nobody).
    void logIn(int user) { CurrentUser = user >= 1 && user <= kUserCount ? user : 0; }
    void logOut() { CurrentUser = 0; }

    // ---- The panel listeners and the comm ports, as the faces show them -----
    bool isListening(int card) const { return panelServer.isListening(card); }
    // The port network card 1..3 listens on, 0 when it does not.
    quint16 listeningPort(int card) const { return panelServer.listeningPort(card); }
    bool isPanelConnected(int panel) const { return panelServer.isConnected(panel); }
    int panelsConnected() const { return panelServer.connectedCount(); }
    // The device comm port n opens, and whether it is open now.
    QString comDevicePath(int port) const { return links.comDevicePath(port); }
    bool isComOpen(int port) const { return links.isComOpen(port); }
    // The failure the start (or the last re-open of the comm ports) left for
    // the operator, empty when none.
    const QString &startupError() const { return StartupError; }
    // Whether the logs also go to the terminal the server was started from.
    void echoToTerminal(bool on) { logs.setTerminalEcho(on); }

    // ---- Applying what a settings window (or any face) edited ---------------
    // Each writes its file first and only once it is written makes the edit
    // the one in force: a refusal or a file that cannot be written changes
    // nothing. The texts are those the windows show.
    // USER.INI: the user table, then the panels are told.
    bool apply(const UsersEdit &edit, QString *error = nullptr);
    // WREN.INI as a whole (the network card window).
    bool apply(const SettingsEdit &edit, QString *error = nullptr);
    // The display colours and the view's columns: the view refreshes and the
    // panels are told.
    bool apply(const DisplayEdit &edit, QString *error = nullptr);
    // The router tables: one text for each table not written; the rest are
    // in force.
    QStringList apply(const TablesEdit &edit);
    // The comm ports: the checks, the test-open, the file, then every comm
    // port re-opened and every comm link marked up.
    PortSettingsOutcome apply(const ComPortsEdit &edit);
    // The network ports: the field checks, the file, then every router's
    // communication marked up; the links take up their new fields at their
    // next pass.
    PortSettingsOutcome apply(const NetPortsEdit &edit);

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
    // Reads the router icons of ICONS/ again, as the router utility does
    // when it opens.
    void reloadIcons() { LoadIcons(applicationDir, imglstRTR); }
    bool reloadRouterTables(); // icons, router tables, then the router view
    // Writes each router's edited table to its file and, once it is there,
    // makes it the table in memory: the tables in force are exactly those
    // written. A file unreadable at the last load is kept, and its table not
    // taken, unless replace names that router (the operator edited it). One
    // text for each table not taken.
    QStringList applyRouterTables(const RouterTableArray &edited, const RouterTableSet &replace);

    // The one way a take is made, whoever asks. The rules, in order: a
    // standby server takes nothing; a take needs a user of Master Operator
    // or Administrator, or comes from a panel (panels carry no user and may
    // switch); a user's take names a source and a destination of the table
    // and carries a comment; some enabled port serves the router (else the
    // error log says "Take not sent: ..."). A panel's take is never refused
    // for having nowhere to go or a language that cannot carry it: it is
    // acknowledged, counted and goes nowhere, and its numbers beyond the
    // table are passed on. A take carried out puts the command in the
    // router's language on both queues, writes the switch log line, records
    // the priority source of the destination (the router's own numbers),
    // sets or clears the hold as asked (panels and holdChanged hear of a
    // hold only when it changes), counts the take and refreshes the view.
    // A refused take changes nothing and logs nothing but that line.
    TakeResult take(const TakeRequest &request);
    // The rules alone, without carrying anything out (the take dialog asks
    // before its confirmation).
    TakeRefusal checkTake(const TakeRequest &request) const;
    // The take string of a console's or web's take: the table's physical
    // numbers and labels.
    QByteArray takeString(const TakeRequest &request) const;
    // The privilege of user 1..12, 0 for anyone else.
    int userPrivilege(int user) const;
    // Takes refused, by reason (a panel's take that goes nowhere is
    // acknowledged and counted as taken, not here; one refused as
    // Protected is here, though the panel is acknowledged).
    quint64 takesRefused(TakeRefusal reason) const { return refusedCounts[std::size_t(reason)]; }

    // ---- Protects: a destination that only its owner may switch ------------
    // Keyed by the router's own outputs (see protects.h); the operations take
    // the table's destination numbers, as the console and the web speak them.
    enum class ProtectResult { Done, Standby, NoPrivilege, NoDestination, BeyondState, ProtectedByOther, NotOwner, NotSaved };
    struct ProtectOutcome {
        ProtectResult result = ProtectResult::Done;
        QString owner;   // the protect's owner (ProtectedByOther, NotOwner, and Done)
        QString error;   // why it was not saved (NotSaved), or BeyondState's text
    };
    // Protects a table destination for user 1..12 (Master Operator or
    // Administrator). Protecting one's own again does nothing; another
    // user's protect stays (ProtectedByOther). Written to PROTECTS.INI
    // before it counts; logged in the switch log and told by protectChanged.
    ProtectOutcome protect(int router, int destination, int user);
    // Releases it: the owner, or an Administrator for anyone's (the switch
    // log names both). Releasing a destination nobody protects is Done.
    ProtectOutcome releaseProtect(int router, int destination, int user);
    // The owner of a table destination's protect, empty when none.
    QString protectedBy(int router, int destination) const;
    // The same for a router output (the router's own numbering).
    QString protectOwner(int router, int output) const { return protectTable.value({router, output}); }
    const ProtectTable &protects() const { return protectTable; }
    QString ProtectFile() const;

    // ---- Salvos: named lists of takes fired as one -------------------------
    const SalvoList &salvos() const { return salvoList; }
    QString SalvoFile() const;
    // Why a salvo cannot be kept ("field: reason"), empty when it can: a
    // name of 1..kSalvoNameLimit characters without control characters, a
    // comment of at most kSalvoCommentLimit, at least one take and at most
    // kSalvoTakeLimit, each on a router some port serves, with a visible
    // source and destination of its table and at least one level, and
    // every text one the file holds as it is.
    QString salvoProblem(const Salvo &salvo) const;
    enum class SalvoEditResult { Done, NoPrivilege, Invalid, NotFound, NotSaved };
    struct SalvoEditOutcome {
        SalvoEditResult result = SalvoEditResult::Done;
        QString error;
    };
    // Adds or replaces (by name, exactly) a salvo, for user 1..12 of Master
    // Operator or Administrator; written to SALVOS.INI before it counts.
    SalvoEditOutcome saveSalvo(const Salvo &salvo, int user);
    SalvoEditOutcome deleteSalvo(const QString &name, int user);
    // Fires a salvo: every take through take(), in order, as user with one
    // comment (the salvo's when comment is blank). A refused take does not
    // stop the others. The switch log gets one line per take sent and
    // "Salvo <name> fired by <user>: <n> of <m> takes sent".
    enum class SalvoFireResult { Done, NoPrivilege, Standby, NotFound };
    struct SalvoFireOutcome {
        SalvoFireResult result = SalvoFireResult::Done;
        QList<SalvoTakeResult> takes;
        int sent = 0;
    };
    SalvoFireOutcome fireSalvo(const QString &name, int user, const QString &comment, TakeOrigin origin);

    // Where a take came from, as the counters tell them apart.
    using TakeOrigin = marlin::TakeOrigin;
    static constexpr int kTakeOriginCount = 3;
    // Puts a take command on the router's queues. When the queue was full
    // and the command took the place of a waiting one, the error log says
    // so, the displacement is counted and true returns.
    bool queueTake(int router, const QByteArray &command);
    // Every take accepted is counted once, queued or not.
    void countTake(TakeOrigin origin) { ++takeCounts[int(origin)]; }
    quint64 takesCounted(TakeOrigin origin) const { return takeCounts[int(origin)]; }
    quint64 displacedTakes() const { return displacedCount; }
    // Sets a destination's hold (the router's own numbering) and, when it
    // changed, tells the panels and holdChanged. False for numbers outside
    // the state.
    bool setHold(int router, int destination, bool hold);

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
    // A protect set (owner) or released (empty owner), router numbering.
    void protectChanged(int router, int output, const QString &owner);
    // The salvos were added to, edited or deleted.
    void salvosChanged();
    void salvoFired(const QString &name, const QString &user, int sent, int total);

private:
    // The comm links start again from "up" with a clean count of silent
    // checks: a link reported lost before is reported lost again only after
    // ten more of them, not at the first check after an apply. The routers
    // they serve are marked up with them: a router left down beside a link
    // marked up would stay in "Problem Routers" after it answers again, since
    // its link would never change to report it restored.
    void markComLinksUpAfresh();
    // The ports run on the new settings: every comm port re-opened, its
    // failures logged and the last one shown once, as at startup.
    void reopenComPorts();
    QStringList loadSettings(LoadMode mode);
    QStringList loadUsers(LoadMode mode);
    QStringList loadRouterTables(LoadMode mode);
    bool logFailures(const QStringList &failures);
    // Writes what the validator found in the settings last loaded, one line
    // each ("WREN.INI: [section] key: what is wrong").
    void logSettingsProblems();
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

    // Protects and salvos: loaded at the start; a file unreadable then is
    // never written over (its text says why).
    void loadProtectsAndSalvos();
    // The switch log line of a panel's take refused for a protect.
    void logPanelTakeRefused(const TakeRequest &t, const QString &owner);
    ProtectOutcome checkProtectTarget(int router, int destination, int user, int *output) const;
    bool storeProtects(const ProtectTable &next, QString *error);
    // Writes the salvo list to SALVOS.INI and, once it is there, makes it the
    // list in force (never over a file the start could not read).
    SalvoEditOutcome commitSalvos(const SalvoList &next);
    ProtectTable protectTable;
    QString protectsUnreadable;
    SalvoList salvoList;
    QString salvosUnreadable;
    std::array<quint64, kTakeRefusalCount> refusedCounts{};

    std::array<quint64, kTakeOriginCount> takeCounts{};
    quint64 displacedCount = 0;
    QDate startedOn;
    bool standby = false;
    QTimer bindRetry;
    int bindRetriesLeft = 0;
    RouterTableSet unreadableTables;
    QStringList failureLines;
    qsizetype failuresLogged = 0;
    QList<Face *> faces;
    QList<SettingsProblem> settingsIssues;
};

} // namespace marlin
