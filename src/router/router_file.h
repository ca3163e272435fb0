#pragma once

#include "router_table.h"

#include "config/load_mode.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <bitset>

namespace marlin {

// RTR<r>.BIN beside the program: one RouterTable, field after field, with
// 16-bit little-endian numbers (true = FF FF), strings as a 16-bit byte count
// and Windows-1252 text, arrays as elements 0..256 with nothing between.
QString RouterTablePath(const QString &appDir, int r);

QByteArray SerializeRouterTable(const RouterTable &table);
// Reads as much of a table as the bytes hold; fields past the end (or a
// string cut short) stay empty or 0.
RouterTable DeserializeRouterTable(const QByteArray &bytes);

bool RouterTableFileExists(const QString &appDir, int r);
// Replaces table with what the file holds. False, with table untouched and
// the reason in error, when the file cannot be read.
bool ReadRouterTable(const QString &appDir, int r, RouterTable &table, QString *error = nullptr);
// Replaces the file atomically: a failed save leaves the old file whole.
bool SaveRouterTable(const QString &appDir, int r, const RouterTable &table, QString *error = nullptr);

// Routers 1..96 as a set (bit r).
using RouterTableSet = std::bitset<kRouterCount + 1>;

struct RouterTableLoad {
    RouterTableSet unreadable;   // files that exist but could not be read
    QStringList failures;        // one text for each of them
};

// Routers 1..96: from their files where they exist, defaults otherwise. A
// file that exists but cannot be read is a failure; its table is the
// default at startup and stays as it was on a reload. Element 0 is not
// touched.
RouterTableLoad LoadRouterTables(const QString &appDir, RouterTableArray &tables,
                                 LoadMode mode = LoadMode::Startup);

// Saves the tables of routers 1..96, each atomically, except those whose
// files could not be read at the last load: they are reported, never
// overwritten. Returns one text for each table not saved; written, when
// given, gets the routers whose files were written.
QStringList SaveRouterTables(const QString &appDir, const RouterTableArray &tables, const RouterTableSet &unreadable,
                             RouterTableSet *written = nullptr);

// The operator's tab-separated text of one router's visible sources and
// destinations. False when the file could not be written.
bool ExportRouterTable(const QString &path, const RouterTable &table);
QByteArray RouterTableExportText(const RouterTable &table);

} // namespace marlin
