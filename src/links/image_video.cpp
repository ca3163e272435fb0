#include "image_video.h"

namespace marlin {

namespace {

constexpr char kEndOfFrame = char(254);
constexpr char kStatusReport = char(201);
constexpr char kTake = char(193);
constexpr char kTakeEnd = char(159);
constexpr char kStatusQuery = char(192);

constexpr char kSYN = 22;
constexpr char kSTX = 2;
constexpr char kETX = 3;
constexpr char kCR = '\r';

constexpr qsizetype kNameWidth = 6;
constexpr int kTakeSourceRepeats = 6;

QByteArray statusQuery(int destination)
{
    const char frame[] = {kStatusQuery, char(destination), kEndOfFrame};
    return QByteArray(frame, sizeof frame);
}

int reportedNumber(char byte)
{
    const int number = static_cast<unsigned char>(byte) + 1;
    return number > kImageVideoPointCount ? 0 : number;
}

QByteArray portName(const char *prefix, int number)
{
    QByteArray name = prefix + QByteArray::number(number);
    if (name.size() < kNameWidth)
        name.append(kNameWidth - name.size(), ' ');
    return name;
}

// Only blanks: a name field cut short keeps its CR and matches nothing.
QByteArrayView trimBlanks(QByteArrayView text)
{
    while (text.startsWith(' '))
        text = text.sliced(1);
    while (text.endsWith(' '))
        text.chop(1);
    return text;
}

int findName(const RouterTable &table, QByteArrayView name, bool isDestination)
{
    return FindLabel(table, fromAnsi(trimBlanks(name).toByteArray()), isDestination);
}

} // namespace

QByteArray BuildImageVideoTake(QByteArrayView takeString)
{
    const auto numbers = ReadTakeNumbers(takeString);
    const auto fits = [](int n) { return n >= 0 && n < kPointCount; };
    if (!numbers || !fits(numbers->source) || !fits(numbers->destination))
        return {};
    const char source = char(numbers->source);
    const char frame[] = {kTake, char(numbers->destination), source, source, source, kTakeEnd, kEndOfFrame};
    return QByteArray(frame, sizeof frame);
}

QByteArray NextImageVideoPoll(RouterState &state, const RouterTable &table)
{
    if (state.PollIndex >= kImageVideoPointCount) {
        state.PollIndex = 0;
        state.PollActive = false;
        return statusQuery(0);
    }
    // Nothing below destination 1 is visible, so a stray index below it
    // simply starts the walk.
    state.PollIndex = std::max(state.PollIndex, 0);
    for (;;) {
        if (state.PollIndex >= kImageVideoPointCount)
            return statusQuery(0);
        ++state.PollIndex;
        if (table.DestVisible[state.PollIndex])
            return statusQuery(state.PollIndex - 1);
    }
}

ReplyScan DecodeImageVideoReply(QByteArray &rxBuffer)
{
    ReplyScan scan;
    CutTerminated(rxBuffer, kEndOfFrame, [&scan](QByteArrayView frame) {
        const qsizetype at = frame.indexOf(kStatusReport);
        if (at < 0)
            return;
        scan.accepted = true;
        // The terminator counts as one of the three bytes a report needs, so
        // a report cut short still names its destination (and source 0).
        const QByteArrayView report = frame.sliced(at);
        if (report.size() < 3)
            return;
        scan.reports.append(Crosspoint{reportedNumber(report[1]), reportedNumber(report[2])});
    });
    return scan;
}

QByteArray BuildFramedTake(QByteArrayView takeString)
{
    const auto numbers = ReadTakeNumbers(takeString);
    if (!numbers || numbers->source < 0 || numbers->destination < 0)
        return {};
    const QByteArray source = portName("I0", numbers->source);
    QByteArray body = "6," + portName("O0", numbers->destination);
    for (int i = 0; i < kTakeSourceRepeats; ++i)
        body += ',' + source;

    QByteArray length = Hex(quint32(body.size()));
    if (length.size() == 1)
        length.prepend('0');
    QByteArray frame = kSYN + length + kSTX + body + kETX;

    quint32 sum = 0;
    for (char byte : QByteArrayView(frame).sliced(1))
        sum += static_cast<unsigned char>(byte);
    return frame + Hex(sum).rightJustified(4, '0') + kCR;
}

ReplyScan DecodeFramedReply(QByteArray &rxBuffer, const RouterTable &table)
{
    ReplyScan scan;
    CutTerminated(rxBuffer, kCR, [&](QByteArrayView line) {
        const qsizetype syn = line.indexOf(kSYN);
        if (syn < 0)
            return;
        line = line.sliced(syn);
        // SYN, two length digits, STX, then the body's kind; read at that
        // place even when the length has more digits.
        if (line.size() < 5 || line[4] != '4')
            return;
        scan.accepted = true;
        const int destination = findName(table, TextField(line, 7, kNameWidth), true);
        const int source = findName(table, TextField(line, 14, kNameWidth), false);
        if (destination >= kPointCount || source >= kPointCount)
            return;
        scan.reports.append(Crosspoint{destination, source});
    });
    return scan;
}

} // namespace marlin
