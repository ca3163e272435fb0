#pragma once

// The Leitch command language: line-oriented ASCII, every command and every
// reply line ended by CR. Numbers on the wire are 0-based upper-case
// hexadecimal without leading zeros (destination 17 is "10"); levels are the
// digits "0".."7".
//
//   status request        "@ ?" CR
//   level status request  "@ S?" level CR
//   destination query     "@ X?" level destination CR
//   take                  "@ X:" levels "/" destination "," source CR
//   status line (reply)   [LF] {">"} "S:" level destination "," source CR
//
// Every other reply line (errors start "F:") is read past.

#include "links/device_language.h"
#include "links/reply_scan.h"
#include "router/router_table.h"

#include <QByteArray>
#include <QByteArrayView>

namespace marlin {

QByteArray LeitchStatusRequest();
QByteArray LeitchLevelStatusRequest(int level);

// The levels whose flag is set, in ascending order, then the destination and
// the source of the take string. Empty when the take names source or
// destination 0 (or nothing readable), which no hexadecimal number can carry;
// an empty command is never queued.
QByteArray BuildLeitchTake(QByteArrayView takeString);

// The next step of the slow walk over the visible destinations that keeps a
// silent router talking: one destination query per call, and a status
// request when the walk has passed destination 256. PollIndex is the last
// destination asked for.
QByteArray NextLeitchPoll(RouterState &state, const RouterTable &table, int level);

// Cuts every complete line off the front of rxBuffer and reports the status
// lines among them; an incomplete last line stays for the next call.
// Destinations and sources above 640 are dropped; anything else is reported
// as read, including numbers outside the tables.
ReplyScan DecodeLeitchReply(QByteArray &rxBuffer);

// The language as the links use it (Protocol 1): the status request and
// the main level's status when a link starts, the slow walk when silent,
// 250 ms between sends on a serial line.
const DeviceLanguage &LeitchLanguage();

} // namespace marlin
