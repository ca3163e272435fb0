#pragma once

// The panel's half of the request and reply exchange with Marlin Server,
// written from the wire description alone so that a fault on the server's
// side shows up here instead of being mirrored.
//
// Request:  sequence(4) class(1) command(1) router(1) payload(0..)
// Reply:    sequence(4) body
//   acknowledge   10 01 r
//   not handled   11 12
//   change flags  FF A1 r f1..f8
//   status        FF A6|A8 r block      block = 5 header bytes + one entry
//   priority      FF A7|A9 r block      per destination 1..256
// Nothing carries a length, so a reply's size follows from its first bytes.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <array>
#include <optional>

namespace marlin::panel {

constexpr quint8 kClassByte = 0xE1;
constexpr int kSequenceSize = 4;
constexpr int kRouterCount = 96;
constexpr int kDestinationCount = 256;
constexpr int kFlagCount = 8;
constexpr int kBlockHeaderSize = 5;
constexpr int kOneByteBlockSize = kBlockHeaderSize + kDestinationCount;       // 261
constexpr int kTwoByteBlockSize = kBlockHeaderSize + 2 * kDestinationCount;   // 517

enum Command : quint8 {
    CommandFullRefresh = 0x91,
    CommandPollFlags = 0xA1,
    CommandReloadTables = 0xA2,
    CommandReloadSettings = 0xA3,
    CommandReloadUsers = 0xA4,
    CommandTake = 0xA5,
    CommandStatusOneByte = 0xA6,
    CommandStatusTwoByte = 0xA8,
    CommandSetPriority = 0xAA,
};

// Reply codes after 0xFF.
enum ReplyCode : quint8 {
    CodeFlags = 0xA1,
    CodeStatusOneByte = 0xA6,
    CodePriorityOneByte = 0xA7,
    CodeStatusTwoByte = 0xA8,
    CodePriorityTwoByte = 0xA9,
};

// Positions in the change flags, counted from 0.
enum FlagIndex : int {
    FlagRouterPending = 0,
    FlagTablesChanged = 1,
    FlagSettingsChanged = 2,
    FlagUsersChanged = 3,
};

QByteArray sequenceBytes(quint32 sequence);
QByteArray buildRequest(quint32 sequence, quint8 command, quint8 router, const QByteArray &payload = {});

// Text for the server's logs and tables is single-byte Windows-1252; a
// character it cannot hold becomes '?'.
QByteArray toWindows1252(const QString &text);

struct TakeOrder {
    std::array<bool, 8> levels{true, true, true, true, true, true, true, true};
    int source = 0;
    int destination = 0;
    QString sourceLabel;
    QString destinationLabel;
    QString comment;
};

// "C ", eight level flags, source and destination as four digits, the two
// labels padded to eight, then the comment. Returns nothing and sets error
// when a number does not fit four digits or a label is longer than eight.
std::optional<QByteArray> buildTakeString(const TakeOrder &take, QString *error = nullptr);

// "01234567" or "all" into the eight level flags; digits may repeat or come
// in any order.
std::optional<std::array<bool, 8>> parseLevels(const QString &text, QString *error = nullptr);

// Destination byte and 1 (hold) or 0 (release). The byte limits the
// destinations a panel can hold to 0..255.
std::optional<QByteArray> buildPriorityPayload(int destination, bool hold, QString *error = nullptr);

// Hex digits with optional spaces, ':', ',', '-' and "0x" prefixes.
std::optional<QByteArray> parseHex(const QString &text, QString *error = nullptr);
QString toHex(const QByteArray &bytes);   // "E1 A1 01"
QString hexByte(quint8 b);                // "0xA1"


struct ReplyFrame {
    enum Status { Incomplete, Complete, Unrecognised };
    Status status = Incomplete;
    qsizetype length = 0;   // bytes of the complete reply at the front
};

// Decides from the leading bytes of buffer how long the reply at its front
// is. Unrecognised means its first body bytes match no reply kind, so its
// end cannot be known.
ReplyFrame frameReply(const QByteArray &buffer);

enum class ReplyKind { Acknowledge, NotHandled, Flags, Status, Priority };

struct StatusBlock {
    bool statusReceived = false;
    bool commOK = false;
    int linkPort = 0;
    int spare1 = 0;
    int spare2 = 0;
    // Element d - 1 for destination d: the source (status) or 1 when held
    // (priority).
    QList<int> entries;
};

struct Reply {
    QByteArray sequence;
    QByteArray body;
    ReplyKind kind = ReplyKind::NotHandled;
    quint8 code = 0;        // second body byte of flags, status and priority replies
    int router = 0;
    QByteArray flags;       // 8 bytes for a flags reply
    StatusBlock block;      // status and priority replies
    bool twoByte = false;   // status block in the two-byte form
};

// Decodes one complete reply (as cut by frameReply). Fails with a reason
// when a byte has a value no server would send.
std::optional<Reply> decodeReply(const QByteArray &frame, QString *error = nullptr);

// Checks that reply answers a request with this command and router byte:
// the kind must be one the command can produce and the echoed router must be
// the request's. Returns the problem, or an empty text.
QString replyMismatch(quint8 command, quint8 router, const Reply &reply);

} // namespace marlin::panel
