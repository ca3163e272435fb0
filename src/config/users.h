#pragma once

#include "config/load_mode.h"

#include <QList>
#include <QString>
#include <QtGlobal>
#include <array>

namespace marlin {

constexpr int kUserCount = 12;

enum Privilege : qint16 {
    NoPrivilege = 0,
    Operator = 1,
    MasterOperator = 2,
    Administrator = 3,
};

struct User {
    QString UserName;      // empty = free slot
    QString UserPassword;  // plain text in memory only
    qint16 UserPrivilege = 0;
    bool operator==(const User &) const = default;
};

// Users 1..12; element 0 never holds a user.
using UserTable = std::array<User, kUserCount + 1>;

// The record stored in USER.INI: numbers joined by "-" for the name's
// UTF-16LE byte count, its bytes, the privilege and the password's bytes,
// each shifted by its own offset.
QString EncodeUserRecord(const QString &name, const QString &password, qint16 privilege);

// Decodes a record. A record that is not numbers or is cut short gives what
// could be decoded before the fault (at worst an empty user); ok tells
// whether the whole record was sound.
User DecodeUserRecord(const QString &encoded, bool *ok = nullptr);

// Account 1 of an installation without a USER.INI: "admin" with password
// "marlin", an Administrator, so a fresh installation can configure itself.
// Kept in its encoded form only.
extern const char kDefaultUserRecord[];

// Whether the login could take this user: a name, and a privilege of
// Operator, Master Operator or Administrator.
bool canLogIn(const User &user);

// Loads users 1..12 from the user file. Only when the file does not exist
// at all is user 1 the built-in account; a missing key is otherwise an
// empty user. False, with failure saying why, when a record was unsound
// (the table is filled all the same), or the file exists but is damaged: it
// cannot be read, or it holds no user who can log in (emptied, binary, its
// users gone). A damaged file leaves nobody who can log in at startup, and
// a reload keeps the users in memory.
bool LoadUsers(const QString &userFile, UserTable &users, LoadMode mode = LoadMode::Startup,
               QString *failure = nullptr);
// Rewrites every user key and "Unicode" = "1" in one atomic save. False, with
// the reason in error, when that failed or the file could not be read.
bool SaveUsers(const QString &userFile, const UserTable &users, QString *error = nullptr);

// Whether a user's record reads back whole from USER.INI: a read returns at
// most kIniReadLimit characters of a value, so a longer record would come
// back cut (a wrong password, or no user at all).
bool UserRecordFits(const User &user);
// How many characters name and password may have together and still fit,
// for characters like this user's: every character costs what the costliest
// of them (at least a plain letter) costs in the record.
int UserTextLimit(const User &user);
// Users 1..12 whose record in the user file is longer than a read returns,
// so that what is read of it is cut.
QList<int> UserRecordsCutInFile(const QString &userFile);

QString privilegeName(int privilege);

} // namespace marlin
