#pragma once

#include "router_dialect.h"

// The framed ASCII dialect of the Image Video routers. Every frame, both ways:
//
//   SYN (22), length (2+ upper-case hex digits, characters in body), STX (2),
//   body, ETX (3), checksum (4+ upper-case hex digits: the sum of the bytes
//   from the first length digit through ETX), CR
//
// Bodies:  "6," dest "," src ("," src)...   take (the source usually six times)
//          "4," dest "," src                 status report
// Names are six characters, space padded: "O0" + 0-based destination,
// "I0" + 0-based source, in decimal (O00 is destination 1, I011 source 12).
class FramedDialect : public LineDialect
{
public:
    QByteArray statusReport(int destination, int source) const override;
    QString display(const QByteArray &bytes) const override;

    static QByteArray frame(const QByteArray &body);
    static QByteArray destinationName(int destination);
    static QByteArray sourceName(int source);

protected:
    Exchange answer(const QByteArray &line, CrosspointTable &table) const override;
};
