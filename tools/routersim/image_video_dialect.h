#pragma once

#include "router_dialect.h"

// An Image Video 9540 router: binary frames, every number one 0-based byte,
// byte 254 closing each frame.
//
//   193, dest, src, src, src, 159, 254   take; answered with a status report
//   192, dest, 254                       query; answered with a status report
//   201, dest, src, 254                  status report
//
// Destination or source 253 (byte 254) can stand inside a frame, so frames
// are recognised by their shape, and only what fits no shape is skipped up
// to its 254.
class ImageVideoDialect : public RouterDialect
{
public:
    QList<Exchange> consume(QByteArray &buffer, CrosspointTable &table) const override;
    QByteArray statusReport(int destination, int source) const override;
    bool isTerminator(char byte) const override { return static_cast<unsigned char>(byte) == 254; }
    // Bytes in decimal, comma separated, as the frames are written down.
    QString display(const QByteArray &bytes) const override;
};
