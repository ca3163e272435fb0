#pragma once

// The Videohub protocol's text blocks, both ways: a header line ending in a
// colon, lines, and an empty line that ends the block; "ACK" and "NAK" are
// blocks of their own without a colon. Lines end in LF; a CR right before
// the LF is dropped. The router side and the server side cut their byte
// streams with the same cutter.

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace marlin {

struct VideohubBlock {
    // "VIDEO OUTPUT ROUTING" without its colon; "ACK" or "NAK" for those.
    QByteArray header;
    QList<QByteArray> lines;
    bool isAck() const { return header == "ACK"; }
    bool isNak() const { return header == "NAK"; }
    // A first line that is neither "NAME:" nor ACK or NAK: the block is not
    // one the protocol knows how to write.
    bool malformed = false;
};

// Cuts blocks out of a byte stream that arrives in reads of any size.
class VideohubCutter {
public:
    // A block that has not ended within this many bytes is not one: the
    // connection that sends it is dropped (overflowed() tells).
    static constexpr qsizetype kBlockLimit = 64 * 1024;

    void append(QByteArrayView bytes);
    // The next whole block, in order; nothing while the empty line that ends
    // one has not come. Empty lines between blocks are skipped.
    std::optional<VideohubBlock> next();
    // The bytes waiting for the rest of a block went past kBlockLimit; they
    // are dropped.
    bool overflowed() const { return overflow; }
    qsizetype pendingBytes() const { return buffer.size(); }

private:
    QByteArray buffer;
    qsizetype scanned = 0;
    bool overflow = false;
};

// An indexed line, "<number> <value>": the number is the digits before the
// first space, the value everything after it as it stands. Nothing for a
// line of another shape (no digits, a sign, no space, a number past int).
struct VideohubIndexedLine {
    int index = 0;
    QByteArray value;
};
std::optional<VideohubIndexedLine> parseVideohubIndexedLine(QByteArrayView line);

// A block as it goes on the wire: header, colon, lines, empty line.
QByteArray writeVideohubBlock(QByteArrayView header, const QList<QByteArray> &lines);

} // namespace marlin
