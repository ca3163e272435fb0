#pragma once

#include "config/settings.h"
#include "config/users.h"
#include "core/server.h"
#include "router/router_file.h"
#include "router/take_string.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

namespace marlin {

// What the operator does at the server's own console: log in, switch a
// router, hold a destination. The windows only ask and show; the rules live
// here, so a panel, the web face or a test reaches the same ones.

// The user 1..12 that name and password log in, 0 for none: names match
// without regard to case (the first such user decides), passwords exactly;
// spaces around either are ignored. An empty name never logs in.
int FindLoginUser(const Server &server, const QString &name, const QString &password);
// The privilege of user 1..12, 0 for anyone else.
int UserPrivilege(const Server &server, int user);
// The name of user 1..12, empty for anyone else.
QString UserName(const Server &server, int user);
// Logs the user in (CurrentUser), or returns false and changes nothing.
bool LogIn(Server &server, const QString &name, const QString &password);
void LogOut(Server &server);

// Which settings windows a privilege opens: the router configuration utility
// for every operator, the other five for administrators. A privilege outside
// 1..3 changes nothing.
enum class SettingsAccess { Unchanged, RouterUtility, All };
SettingsAccess SettingsAccessFor(int privilege);

// The settings windows by the privilege they need: the router tables any
// operator's, everything else an Administrator's.
enum class SettingsKind { RouterTables, Administration };
// Whether the console may apply a settings window opened while user opener
// was logged in (0 when nobody was: the network card window the start opens
// by itself). The user logged in now must be that user (anyone, for a
// window nobody opened) and must hold the privilege now; a login that has
// ended, or changed to another user, or a privilege taken away since, may
// not.
bool MayApplySettings(const Server &server, int opener, SettingsKind kind);
// Whether such a window stays open: a window opened by a login closes when
// that login may no longer apply it; one nobody opened waits for a login.
bool SettingsWindowStaysOpen(const Server &server, int opener, SettingsKind kind);
QString settingsRefusalText(SettingsKind kind);

// The console's take: TakeRequest from the take dialog, for the user logged
// in. The rules and the carrying out are the engine's (Server::take).
TakeRefusal CheckConsoleTake(const Server &server, const TakeRequest &take);
TakeRefusal ExecuteConsoleTake(Server &server, const TakeRequest &take);
// The dialog's messages for a refusal: its text and its title.
QString takeRefusalText(TakeRefusal refusal);
QString takeRefusalTitle(TakeRefusal refusal);
// The refusal of a take onto a destination another user protects.
QString protectRefusalText(const QString &owner);
// What the console says when a protect or its release is refused.
QString protectOutcomeText(const Server::ProtectOutcome &outcome);
// The take string of a console's or web's take: the table's physical
// numbers and labels.
QByteArray ConsoleTakeString(const Server &server, const TakeRequest &take);

// Sets or clears the hold of a table destination (the console's and the
// web's numbers, mapped to the router's own), tells the panels and
// refreshes the view. Nothing for numbers outside the tables. False, with
// nothing changed and the reason in refusal, while the server is on standby
// (standbyRefusalText) or when the destination is a router output beyond
// the 256 whose state the server keeps (holdBeyondStateText).
bool ToggleHighPriority(Server &server, int router, int destination, QString *refusal = nullptr);
// Sets or clears it outright, with the same rules.
bool SetHighPriority(Server &server, int router, int destination, bool hold, QString *refusal = nullptr);
QString holdBeyondStateText(int destination, int output);
// What the console says when a standby server refuses a take or a hold.
QString standbyRefusalText();

// User accounts as the User Settings window edits them.
// Whether some Administrator could log in at the console with this table:
// a name, and a name and password the login can type (no "-"), a record
// that reads back whole from USER.INI, and no user before it with the same
// name.
bool HasAdministratorWhoCanLogIn(const UserTable &users);
// The refusal of a table with users whose record would not read back whole
// from USER.INI, naming each and how long its name and password may be
// together; empty when every record fits.
QString UserRecordRefusal(const UserTable &users);
// Users 1..12 whose name or password holds a "-", which the login swallows.
QList<int> UsersTheLoginCannotType(const UserTable &users);


// Router tables as the Router Configuration Utility edits them.
// Whether a key typed into a router, source or destination name, label or
// description is taken: the key code itself, or 0 when it is swallowed.
// Blanks, backspace, digits, letters and most punctuation pass; control
// characters, the double quote, the comma, the square brackets, the
// backslash, "^", the grave accent and everything above "z" do not.
int FilterKey(int keyCode);
// The first text of an edited router that the router files cannot hold,
// as a refusal naming router, point and field; empty when all can be stored.
QString RouterTextRefusal(const RouterTableArray &edited, const RouterTableSet &edits);

// The "Problem Routers" list: for each router whose communication is down,
// in ascending order, its name and the description of the comm port linking
// it in parentheses.
QStringList ProblemRouterEntries(const Server &server);

} // namespace marlin
