#pragma once

#include "router_table.h"

#include <QByteArray>
#include <QString>

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
// Replaces table with what the file holds. False, with table untouched,
// when the file cannot be opened.
bool ReadRouterTable(const QString &appDir, int r, RouterTable &table);
// Replaces the file atomically: a failed save leaves the old file whole.
bool SaveRouterTable(const QString &appDir, int r, const RouterTable &table);

// Routers 1..96: from their files where they exist, defaults otherwise.
// Element 0 is not touched; a file that exists but cannot be read keeps
// what the table had.
void LoadRouterTables(const QString &appDir, RouterTableArray &tables);

// The operator's tab-separated text of one router's visible sources and
// destinations. False when the file could not be written.
bool ExportRouterTable(const QString &path, const RouterTable &table);
QByteArray RouterTableExportText(const RouterTable &table);

} // namespace marlin
