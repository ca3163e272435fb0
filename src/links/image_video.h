#pragma once

// Image Video 9540, the binary language of Image Video routers: frames each
// ended by byte 254, numbers as single bytes holding the 0-based destination
// or source.
//
//   take           193 destination source source source 159 254
//   status query   192 destination 254
//   status report  ... 201 destination source ... 254   (bytes before 201 are noise)

#include "links/device_language.h"
#include "links/reply_scan.h"
#include "router/router_table.h"

#include <QByteArray>
#include <QByteArrayView>

namespace marlin {

// Destinations and sources beyond this are never polled, and reports naming
// them are read as 0.
constexpr int kImageVideoPointCount = 150;

// Empty unless the take's source and destination can both be carried.
QByteArray BuildImageVideoTake(QByteArrayView takeString);

// Whether a 1-based source or destination fits a frame: 1..256, except 255,
// whose byte would be the 254 that ends every frame.
bool ImageVideoCanCarry(int number);

// The status query for destination 1..256.
QByteArray ImageVideoStatusQuery(int destination);

// The next query of a full status poll: the next visible destination after
// PollIndex among 1..150. After the last one, the query for destination 1
// closes the walk, and the call after that ends the poll (PollActive false)
// and starts the index over.
QByteArray NextImageVideoPoll(RouterState &state, const RouterTable &table);

// Cuts every complete frame off the front of rxBuffer; an incomplete last
// frame stays for the next call. accepted: a frame holding 201 arrived.
ReplyScan DecodeImageVideoReply(QByteArray &rxBuffer);

// The language as the links use it (Protocol 2): the full status walk when
// a link starts, moved on by the answer to each query; the walk again when
// silent; 250 ms between sends on a serial line.
const DeviceLanguage &ImageVideoLanguage();

} // namespace marlin
