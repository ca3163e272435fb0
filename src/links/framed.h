#pragma once

// The framed dialect of Image Video routers: ASCII frames, both directions,
//
//   SYN length STX body ETX checksum CR
//
// length: the body's length in upper-case hexadecimal, at least two digits;
// checksum: the sum of the bytes from the first length digit through ETX, in
// upper-case hexadecimal, at least four digits. Bodies:
//
//   "6," destination-name "," source-name (six times)   take
//   "4," destination-name "," source-name ...           status report
//   "2..."                                              sent by the router, not used
//
// Names are six characters padded with spaces. Takes name the ports by
// number ("I0" 0-based source, "O0" 0-based destination: I00 is source 1,
// O011 destination 12); reports use the router's own names, which the router
// table carries as its labels.

#include "links/device_language.h"
#include "links/reply_scan.h"
#include "router/router_table.h"

#include <QByteArray>
#include <QByteArrayView>

namespace marlin {

// Empty when the take names source or destination 0 (or nothing readable).
QByteArray BuildFramedTake(QByteArrayView takeString);

// Cuts every complete line off the front of rxBuffer and turns the status
// reports among them into crosspoints through the table's labels; a name
// that matches no label gives 0. Destination and source 256 cannot be
// reported in this dialect, so reports resolving to 256 are dropped. Length
// and checksum are not verified: the names alone decide.
ReplyScan DecodeFramedReply(QByteArray &rxBuffer, const RouterTable &table);

// SYN length STX body ETX checksum CR around a body.
QByteArray FrameFramedBody(QByteArrayView body);

// The language as the links use it (Protocol 3): nothing asked, no polls,
// 15 ms between sends on a serial line.
const DeviceLanguage &FramedLanguage();

} // namespace marlin
