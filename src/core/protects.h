#pragma once

#include <QMap>
#include <QString>
#include <utility>

namespace marlin {

// The protects of every router's destinations: who owns each one, by user
// name. Keyed by the router's own (physical) destination numbers, as
// RouterState is, so a panel's take (router numbers) and a console's or
// web's (table numbers, mapped) meet the same protect, and a table that is
// renumbered later keeps the router output protected.
using ProtectKey = std::pair<int, int>; // router 1..96, router output 1..256
using ProtectTable = QMap<ProtectKey, QString>;

// The display colour of a protected destination, labelled "Protected" in
// the General Settings.
constexpr int kProtectedColor = 5;

// PROTECTS.INI in the application folder: section [Protects], one key
// "Router_<r>_Output_<d>" per protect whose value is the owner's user name
// (UTF-8, every byte but plain ASCII letters, digits, blanks and "-._~" as
// %XX).
// A missing file is no protects. False, with failure saying why, when the
// file exists but cannot be read; protects then stays empty. Keys that name
// no router or output, and blank owners, are skipped and said in failure.
bool LoadProtects(const QString &file, ProtectTable &protects, QString *failure = nullptr);
// Rewrites the whole file in one atomic save (a temporary file renamed over
// it). False, with the reason in error, when that failed or the file exists
// but cannot be read now.
bool SaveProtects(const QString &file, const ProtectTable &protects, QString *error = nullptr);

// Whether two user names name the same user, as the login matches them:
// without regard to case or the spaces around them.
bool sameUserName(const QString &a, const QString &b);

} // namespace marlin
