#pragma once

// The two languages of Image Video routers.
//
// Image Video 9540: binary frames, each ended by byte 254; numbers are single
// bytes holding the 0-based destination or source.
//
//   take           193 destination source source source 159 254
//   status query   192 destination 254
//   status report  ... 201 destination source ... 254   (bytes before 201 are noise)
//
// The framed dialect: ASCII frames, both directions,
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

#include "links/reply_scan.h"
#include "router/router_table.h"

#include <QByteArray>
#include <QByteArrayView>

namespace marlin {

// Destinations and sources beyond this are never polled, and reports naming
// them are read as 0.
constexpr int kImageVideoPointCount = 150;

// Empty unless the take's source and destination are both 1..256.
QByteArray BuildImageVideoTake(QByteArrayView takeString);

// The next query of a full status poll: the next visible destination after
// PollIndex among 1..150. After the last one, the query for destination 1
// closes the walk, and the call after that ends the poll (PollActive false)
// and starts the index over.
QByteArray NextImageVideoPoll(RouterState &state, const RouterTable &table);

// Cuts every complete frame off the front of rxBuffer; an incomplete last
// frame stays for the next call. accepted: a frame holding 201 arrived.
ReplyScan DecodeImageVideoReply(QByteArray &rxBuffer);

// Empty when the take names source or destination 0 (or nothing readable).
QByteArray BuildFramedTake(QByteArrayView takeString);

// Cuts every complete line off the front of rxBuffer and turns the status
// reports among them into crosspoints through the table's labels; a name
// that matches no label gives 0. Destination and source 256 cannot be
// reported in this dialect, so reports resolving to 256 are dropped. Length
// and checksum are not verified: the names alone decide.
ReplyScan DecodeFramedReply(QByteArray &rxBuffer, const RouterTable &table);

} // namespace marlin
