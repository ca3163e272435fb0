#include "console_actions.h"

#include "config/convert.h"
#include "config/ini_file.h"
#include "core/server.h"

namespace marlin {

int FindLoginUser(const Server &server, const QString &name, const QString &password)
{
    const QString wanted = trimSpaces(name).toUpper();
    if (wanted.isEmpty())
        return 0;
    for (int i = 1; i <= kUserCount; ++i) {
        const User &user = server.users()[i];
        if (user.UserName.toUpper() != wanted)
            continue;
        return trimSpaces(password) == trimSpaces(user.UserPassword) ? i : 0;
    }
    return 0;
}

int UserPrivilege(const Server &server, int user) { return server.userPrivilege(user); }

QString UserName(const Server &server, int user)
{
    return user >= 1 && user <= kUserCount ? server.users()[user].UserName : QString();
}

bool LogIn(Server &server, const QString &name, const QString &password)
{
    const int user = FindLoginUser(server, name, password);
    if (user == 0)
        return false;
    server.logIn(user);
    return true;
}

void LogOut(Server &server) { server.logOut(); }

SettingsAccess SettingsAccessFor(int privilege)
{
    switch (privilege) {
    case Operator:
    case MasterOperator: return SettingsAccess::RouterUtility;
    case Administrator: return SettingsAccess::All;
    default: return SettingsAccess::Unchanged;
    }
}

bool MayApplySettings(const Server &server, int opener, SettingsKind kind)
{
    const int user = server.currentUser();
    if (user == 0 || (opener != 0 && opener != user))
        return false;
    const SettingsAccess access = SettingsAccessFor(UserPrivilege(server, user));
    return kind == SettingsKind::RouterTables ? access != SettingsAccess::Unchanged : access == SettingsAccess::All;
}

bool SettingsWindowStaysOpen(const Server &server, int opener, SettingsKind kind)
{
    return opener == 0 || MayApplySettings(server, opener, kind);
}

QString settingsRefusalText(SettingsKind kind)
{
    const QString who = kind == SettingsKind::RouterTables ? QStringLiteral("an Operator, Master Operator or Administrator")
                                                          : QStringLiteral("an Administrator");
    return QStringLiteral("Saving these settings needs %1 logged in at the console: the login that opened this window "
                          "has ended or does not have that privilege.  Nothing was saved.")
        .arg(who);
}

TakeRefusal CheckConsoleTake(const Server &server, const TakeRequest &take)
{
    TakeRequest request = take;
    request.user = server.currentUser();
    request.origin = TakeOrigin::Console;
    return server.checkTake(request);
}

TakeRefusal ExecuteConsoleTake(Server &server, const TakeRequest &take)
{
    TakeRequest request = take;
    request.user = server.currentUser();
    request.origin = TakeOrigin::Console;
    return server.take(request).refusal;
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
    case TakeRefusal::Protected: return QStringLiteral("This destination is protected.");
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
    case TakeRefusal::Protected: return QStringLiteral("Protected");
    case TakeRefusal::None: break;
    }
    return {};
}

QString protectRefusalText(const QString &owner)
{
    return QStringLiteral("This destination is protected by %1.").arg(owner);
}

QString protectOutcomeText(const Server::ProtectOutcome &outcome)
{
    using Result = Server::ProtectResult;
    switch (outcome.result) {
    case Result::Done: break;
    case Result::Standby: return standbyRefusalText();
    case Result::NoPrivilege: return takeRefusalText(TakeRefusal::NoPrivilege);
    case Result::NoDestination: return QStringLiteral("This destination is not in the router's table.");
    case Result::BeyondState: return outcome.error;
    case Result::ProtectedByOther: return protectRefusalText(outcome.owner);
    case Result::NotOwner:
        return protectRefusalText(outcome.owner)
               + QStringLiteral(" Only %1 or an Administrator may release it.").arg(outcome.owner);
    case Result::NotSaved: return QStringLiteral("The protect could not be saved: %1. Nothing was changed.").arg(outcome.error);
    }
    return {};
}

QByteArray ConsoleTakeString(const Server &server, const TakeRequest &take)
{
    TakeRequest request = take;
    request.origin = TakeOrigin::Console;
    return server.takeString(request);
}

bool ToggleHighPriority(Server &server, int router, int destination, QString *refusal)
{
    if (!isRouterNumber(router) || !isPointNumber(destination))
        return !server.isStandby();
    return SetHighPriority(server, router, destination,
                           !ShownHold(server.routerTable(router), server.routerState(router), destination), refusal);
}

bool SetHighPriority(Server &server, int router, int destination, bool hold, QString *refusal)
{
    const auto refuse = [refusal](const QString &text) {
        if (refusal)
            *refusal = text;
        return false;
    };
    if (server.isStandby())
        return refuse(standbyRefusalText());
    if (isRouterNumber(router)) {
        const int output = PhysicalDestination(server.routerTable(router), destination);
        if (!server.setHold(router, output, hold))
            return refuse(holdBeyondStateText(destination, output));
    }
    server.RefreshRouterView();
    return true;
}

QString holdBeyondStateText(int destination, int output)
{
    return QStringLiteral("Destination %1 is the router's output %2, beyond the %3 outputs whose state the server "
                          "keeps: it cannot be held. Nothing was changed.")
        .arg(destination)
        .arg(output)
        .arg(kPointCount);
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
            || !loginCanType(user.UserPassword) || !UserRecordFits(user))
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

QString UserRecordRefusal(const UserTable &users)
{
    QStringList lines;
    for (int i = 1; i <= kUserCount; ++i) {
        const User &user = users[i];
        if (UserRecordFits(user))
            continue;
        lines.append(QStringLiteral("User %1 (\"%2\"): name and password have %3 characters together; at most %4 "
                                    "fit.")
                         .arg(i)
                         .arg(user.UserName)
                         .arg(user.UserName.size() + user.UserPassword.size())
                         .arg(UserTextLimit(user)));
    }
    if (lines.isEmpty())
        return {};
    return QStringLiteral("USER.INI reads back at most %1 characters of a user's record, and these would be longer, "
                          "so the user could not log in after a restart:\n\n")
               .arg(kIniReadLimit)
           + lines.join(QLatin1Char('\n')) + QStringLiteral("\n\nNothing was saved.");
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

bool Server::apply(const UsersEdit &edit, QString *error)
{
    if (!SaveUsers(UserFile(), edit.users, error))
        return false;
    for (int i = 1; i <= kUserCount; ++i)
        Users[i] = edit.users[i];
    NotifyUsersChanged();
    emit filesReloaded(QStringLiteral("users"));
    return true;
}

bool Server::apply(const SettingsEdit &edit, QString *error)
{
    if (!SaveSettings(SettingsFile(), edit.settings, error))
        return false;
    settings = edit.settings;
    links.settingsLoaded();
    noteServedRouters();
    settingsIssues = CheckSettingsValues(settings) + CheckSettingsNames(IniDocument::load(SettingsFile()));
    emit filesReloaded(QStringLiteral("settings"));
    return true;
}

bool Server::apply(const DisplayEdit &edit, QString *error)
{
    Settings next = settings;
    next.Colors = edit.display.Colors;
    next.ColumnPosition = edit.display.ColumnPosition;
    if (!apply(SettingsEdit{next}, error))
        return false;
    RefreshRouterView();
    NotifySettingsChanged();
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

QString RouterTextRefusal(const RouterTableArray &edited, const RouterTableSet &edits)
{
    for (int r = 1; r <= kRouterCount; ++r) {
        if (!edits.test(std::size_t(r)))
            continue;
        const RouterTable &t = edited[std::size_t(r)];
        const QString router = QStringLiteral("Router %1").arg(r);
        QString refusal = ansiRefusal(router + QStringLiteral(": the name"), t.Name);
        for (int n = 1; n <= kPointCount && refusal.isEmpty(); ++n) {
            const auto s = std::size_t(n);
            const std::pair<QString, QString> fields[] = {
                {QStringLiteral("label of source %1").arg(n), t.SourceLabel[s]},
                {QStringLiteral("description of source %1").arg(n), t.SourceDescription[s]},
                {QStringLiteral("hyperlink of source %1").arg(n), t.SourceHyperLink[s]},
                {QStringLiteral("icon of source %1").arg(n), t.SourceIcon[s]},
                {QStringLiteral("label of destination %1").arg(n), t.DestLabel[s]},
                {QStringLiteral("description of destination %1").arg(n), t.DestDescription[s]},
                {QStringLiteral("hyperlink of destination %1").arg(n), t.DestHyperLink[s]},
                {QStringLiteral("icon of destination %1").arg(n), t.DestIcon[s]},
            };
            for (const auto &[field, text] : fields) {
                refusal = ansiRefusal(router + QStringLiteral(": the ") + field, text);
                if (!refusal.isEmpty())
                    break;
            }
        }
        if (!refusal.isEmpty())
            return refusal;
    }
    return {};
}

QStringList Server::apply(const TablesEdit &edit)
{
    QStringList failures = applyRouterTables(edit.tables, edit.edits);
    RefreshRouterView();
    if (failures.size() < kRouterCount)
        NotifyTablesChanged();
    return failures;
}

QStringList ProblemRouterEntries(const Server &server)
{
    QStringList entries;
    for (const int r : server.problemRouters()) {
        const int port = server.routerState(r).LinkPort;
        const QString description =
            isPortNumber(port) ? server.currentSettings().ComPorts[port].ComDescription : QString();
        entries.append(server.routerTable(r).Name + QStringLiteral(" (") + description + QStringLiteral(")"));
    }
    return entries;
}

} // namespace marlin
