#include "console_actions.h"

#include "config/ini_file.h"
#include "core/server.h"

namespace marlin {

int FindLoginUser(const Server &server, const QString &name, const QString &password)
{
    const QString wanted = trimSpaces(name).toUpper();
    if (wanted.isEmpty())
        return 0;
    for (int i = 1; i <= kUserCount; ++i) {
        const User &user = server.Users[i];
        if (user.UserName.toUpper() != wanted)
            continue;
        return trimSpaces(password) == trimSpaces(user.UserPassword) ? i : 0;
    }
    return 0;
}

int UserPrivilege(const Server &server, int user)
{
    return user >= 1 && user <= kUserCount ? server.Users[user].UserPrivilege : 0;
}

QString UserName(const Server &server, int user)
{
    return user >= 1 && user <= kUserCount ? server.Users[user].UserName : QString();
}

bool LogIn(Server &server, const QString &name, const QString &password)
{
    const int user = FindLoginUser(server, name, password);
    if (user == 0)
        return false;
    server.CurrentUser = user;
    return true;
}

void LogOut(Server &server) { server.CurrentUser = 0; }

SettingsAccess SettingsAccessFor(int privilege)
{
    switch (privilege) {
    case Operator:
    case MasterOperator: return SettingsAccess::RouterUtility;
    case Administrator: return SettingsAccess::All;
    default: return SettingsAccess::Unchanged;
    }
}

TakeRefusal CheckConsoleTake(const Server &server, const ConsoleTake &take)
{
    return CheckTake(server, take, server.CurrentUser);
}

TakeRefusal CheckTake(const Server &server, const ConsoleTake &take, int user)
{
    if (server.isStandby())
        return TakeRefusal::Standby;
    if (UserPrivilege(server, user) < MasterOperator)
        return TakeRefusal::NoPrivilege;
    if (!isPointNumber(take.source))
        return TakeRefusal::NoSource;
    if (!isPointNumber(take.destination))
        return TakeRefusal::NoDestination;
    if (trimSpaces(take.comment).isEmpty())
        return TakeRefusal::NoComment;
    if (!isRouterNumber(take.router) || FindRouterPort(server.settings, kDeviceRouter, take.router).number == 0)
        return TakeRefusal::NotServed;
    return TakeRefusal::None;
}

QString takeRefusalText(TakeRefusal refusal)
{
    switch (refusal) {
    case TakeRefusal::Standby: return standbyRefusalText();
    case TakeRefusal::NoPrivilege: return QStringLiteral("You do not have priveleges for this function.");
    case TakeRefusal::NoSource: return QStringLiteral("You must select a source.");
    case TakeRefusal::NoDestination: return QStringLiteral("You must select a destination.");
    case TakeRefusal::NoComment: return QStringLiteral("You must enter a comment to intiate the switch.");
    case TakeRefusal::NotServed:
        return QStringLiteral("No port serves this router, so the take would go nowhere. Enable a port for it in the "
                              "Communication or Network Device Settings.");
    case TakeRefusal::NotCarried:
        return QStringLiteral("The router's language cannot carry this take; the error log says why. Nothing was sent.");
    case TakeRefusal::None: break;
    }
    return {};
}

QString takeRefusalTitle(TakeRefusal refusal)
{
    switch (refusal) {
    case TakeRefusal::Standby: return QStringLiteral("Standby");
    case TakeRefusal::NoPrivilege: return QStringLiteral("User Priveleges");
    case TakeRefusal::NoSource: return QStringLiteral("No Source!!!");
    case TakeRefusal::NoDestination: return QStringLiteral("No Destination!!!");
    case TakeRefusal::NoComment: return QStringLiteral("Comment Required");
    case TakeRefusal::NotServed: return QStringLiteral("Router Not Served");
    case TakeRefusal::NotCarried: return QStringLiteral("Take Not Sent");
    case TakeRefusal::None: break;
    }
    return {};
}

QByteArray ConsoleTakeString(const Server &server, const ConsoleTake &take)
{
    const RouterTable &table = server.RouterTables[take.router];
    return MakeTakeString(take.levels, table.SourcePhysical[take.source], table.DestPhysical[take.destination],
                          table.SourceLabel[take.source], table.DestLabel[take.destination]);
}

TakeRefusal ExecuteConsoleTake(Server &server, const ConsoleTake &take)
{
    return ExecuteTake(server, take, server.CurrentUser, Server::TakeOrigin::Console, take.highPriority).refusal;
}

TakeOutcome ExecuteTake(Server &server, const ConsoleTake &take, int user, Server::TakeOrigin origin,
                        std::optional<bool> hold)
{
    if (const TakeRefusal refusal = CheckTake(server, take, user); refusal != TakeRefusal::None)
        return {refusal, false};
    const int r = take.router;
    const QByteArray takeString = ConsoleTakeString(server, take);
    // A port without a language sends the take string as it is.
    QByteArray command = server.links.buildTakeCommand(r, takeString);
    if (command.isEmpty() && server.links.FindRouterProtocol(kDeviceRouter, r) == ProtocolNone)
        command = takeString;
    if (command.isEmpty())
        return {TakeRefusal::NotCarried, false};
    const bool displaced = server.queueTake(r, command);
    server.countTake(origin);

    server.WriteSwitchLog(true, r, take.source, take.destination,
                          QStringLiteral("User = ") + UserName(server, user) + QStringLiteral("   Comment = ")
                              + trimSpaces(take.comment));
    if (hold)
        server.setHold(r, take.destination, *hold);
    else
        server.NotifyRouterChanged(r, true);
    server.RouterStates[r].PrioritySource[take.destination] = take.source;
    server.RefreshRouterView();
    return {TakeRefusal::None, displaced};
}

bool ToggleHighPriority(Server &server, int router, int destination)
{
    if (!isRouterNumber(router) || !isPointNumber(destination))
        return !server.isStandby();
    return SetHighPriority(server, router, destination, !server.RouterStates[router].HighPriority[destination]);
}

bool SetHighPriority(Server &server, int router, int destination, bool hold)
{
    if (server.isStandby())
        return false;
    server.setHold(router, destination, hold);
    server.RefreshRouterView();
    return true;
}

QString standbyRefusalText()
{
    return QStringLiteral("The server is on standby: it switches nothing and holds nothing until it is promoted to "
                          "active.");
}

namespace {
bool loginCanType(const QString &text) { return !text.contains(QLatin1Char('-')); }
} // namespace

bool HasAdministratorWhoCanLogIn(const UserTable &users)
{
    for (int i = 1; i <= kUserCount; ++i) {
        const User &user = users[i];
        const QString name = trimSpaces(user.UserName);
        if (user.UserPrivilege != Administrator || name.isEmpty() || !loginCanType(name)
            || !loginCanType(user.UserPassword))
            continue;
        // The login takes the first user of a name.
        bool shadowed = false;
        for (int j = 1; j < i && !shadowed; ++j)
            shadowed = trimSpaces(users[j].UserName).toUpper() == name.toUpper();
        if (!shadowed)
            return true;
    }
    return false;
}

QList<int> UsersTheLoginCannotType(const UserTable &users)
{
    QList<int> found;
    for (int i = 1; i <= kUserCount; ++i) {
        if (!loginCanType(users[i].UserName) || !loginCanType(users[i].UserPassword))
            found.append(i);
    }
    return found;
}

bool ApplyUsers(Server &server, const UserTable &edited, QString *error)
{
    if (!SaveUsers(server.UserFile(), edited, error))
        return false;
    for (int i = 1; i <= kUserCount; ++i)
        server.Users[i] = edited[i];
    server.NotifyUsersChanged();
    emit server.filesReloaded(QStringLiteral("users"));
    return true;
}

bool ApplySettings(Server &server, const Settings &edited, QString *error)
{
    if (!SaveSettings(server.SettingsFile(), edited, error))
        return false;
    server.settings = edited;
    server.noteServedRouters();
    emit server.filesReloaded(QStringLiteral("settings"));
    return true;
}

bool ApplyDisplaySettings(Server &server, const DisplaySettings &edited, QString *error)
{
    Settings next = server.settings;
    next.Colors = edited.Colors;
    next.ColumnPosition = edited.ColumnPosition;
    if (!ApplySettings(server, next, error))
        return false;
    server.RefreshRouterView();
    server.NotifySettingsChanged();
    return true;
}

int FilterKey(int keyCode)
{
    switch (keyCode) {
    case 8:  // backspace
    case 32: // blank
    case 33: // !
        return keyCode;
    case 91: // [
    case 92: // backslash
    case 93: // ]
    case 94: // ^
    case 96: // grave accent
        return 0;
    default:
        break;
    }
    if ((keyCode >= 35 && keyCode <= 43) || (keyCode >= 45 && keyCode <= 122))
        return keyCode;
    return 0;
}

QStringList ApplyRouterTables(Server &server, const RouterTableArray &edited, const RouterTableSet &edits)
{
    QStringList failures = server.applyRouterTables(edited, edits);
    server.RefreshRouterView();
    if (failures.size() < kRouterCount)
        server.NotifyTablesChanged();
    return failures;
}

QStringList ProblemRouterEntries(const Server &server)
{
    QStringList entries;
    for (const int r : server.problemRouters()) {
        const int port = server.RouterStates[r].LinkPort;
        const QString description = isPortNumber(port) ? server.settings.ComPorts[port].ComDescription : QString();
        entries.append(server.RouterTables[r].Name + QStringLiteral(" (") + description + QStringLiteral(")"));
    }
    return entries;
}

} // namespace marlin
