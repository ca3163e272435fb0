#include "leitch.h"

#include "router/take_string.h"

#include <QVarLengthArray>

namespace marlin {

namespace {

constexpr char kCR = '\r';

// Status lines naming a number above this are dropped here; those below it
// but beyond the 256 of a router table are reported, and the state update
// leaves them alone like any other number outside the tables.
constexpr double kLargestReported = 640.0;

// Val("&H" & text): hexadecimal digits, blanks skipped, nothing read as 0.
double hexValue(QByteArrayView text)
{
    QVarLengthArray<char, 32> prefixed;
    prefixed.append("&H", 2);
    prefixed.append(text.data(), text.size());
    return Val(QByteArrayView(prefixed.data(), prefixed.size()));
}

// One line, CR included. The router echoes its prompt (">") before its
// answers and may start a line with the LF of the previous one.
void decodeLine(QByteArrayView line, ReplyScan &scan)
{
    if (line.startsWith('\n'))
        line = line.sliced(1);
    while (line.startsWith('>'))
        line = line.sliced(1);
    if (!line.startsWith("S:"))
        return;
    scan.accepted = true;

    // "S:" and the level digit, then destination "," source. The level digit
    // is not read: the router state keeps one source per destination.
    const QByteArrayView numbers = line.sliced(std::min<qsizetype>(3, line.size()));
    const qsizetype comma = numbers.indexOf(',');
    QByteArrayView destinationText = numbers;
    QByteArrayView sourceText;
    if (comma >= 0) {
        destinationText = numbers.first(comma);
        sourceText = numbers.sliced(comma + 1);
        const qsizetype next = sourceText.indexOf(',');
        if (next >= 0)
            sourceText = sourceText.first(next);
    }
    const double destination = hexValue(destinationText) + 1.0;
    const double source = hexValue(sourceText) + 1.0;
    if (destination > kLargestReported || source > kLargestReported)
        return;
    scan.reports.append(Crosspoint{int(destination), int(source)});
}

} // namespace

QByteArray LeitchStatusRequest()
{
    return QByteArrayLiteral("@ ?\r");
}

QByteArray LeitchLevelStatusRequest(int level)
{
    return "@ S?" + QByteArray::number(level) + kCR;
}

QByteArray BuildLeitchTake(QByteArrayView takeString)
{
    const TakeString take = ParseTakeString(takeString);
    if (!take.source || !take.destination || *take.source < 1 || *take.destination < 1)
        return {};
    QByteArray command = "@ X:";
    for (int level = 0; level < kTakeLevelCount; ++level) {
        if (take.levels[level])
            command += char('0' + level);
    }
    command += '/' + Hex(quint32(*take.destination - 1)) + ',' + Hex(quint32(*take.source - 1)) + kCR;
    return command;
}

QByteArray NextLeitchPoll(RouterState &state, const RouterTable &table, int level)
{
    // The walk ends on a status request, which also refreshes whatever the
    // queries missed; the call after it starts over at destination 1.
    if (state.PollIndex >= kPointCount) {
        state.PollIndex = 0;
        return LeitchStatusRequest();
    }
    // Nothing below destination 1 is visible, so a stray index below it
    // simply starts the walk.
    state.PollIndex = std::max(state.PollIndex, 0);
    for (;;) {
        if (state.PollIndex >= kPointCount)
            return LeitchStatusRequest();
        ++state.PollIndex;
        if (table.DestVisible[state.PollIndex])
            return "@ X?" + QByteArray::number(level) + Hex(quint32(state.PollIndex - 1)) + kCR;
    }
}

ReplyScan DecodeLeitchReply(QByteArray &rxBuffer)
{
    ReplyScan scan;
    CutTerminated(rxBuffer, kCR, [&scan](QByteArrayView line) { decodeLine(line, scan); });
    return scan;
}

namespace {

class Leitch final : public DeviceLanguage {
public:
    QString routerName() const override { return QStringLiteral("Leitch Router"); }
    QByteArray frame(QByteArrayView body) const override { return body.toByteArray() + kCR; }
    QByteArray buildTake(QByteArrayView takeString) const override { return BuildLeitchTake(takeString); }
    QList<QByteArray> firstRequests(RouterState &, const RouterTable &, int level) const override
    {
        return {LeitchStatusRequest(), LeitchLevelStatusRequest(level)};
    }
    bool pollsWhenSilent() const override { return true; }
    QByteArray nextPoll(RouterState &state, const RouterTable &table, int level) const override
    {
        return NextLeitchPoll(state, table, level);
    }
    ReplyScan decode(QByteArray &rxBuffer, const RouterTable &) const override { return DecodeLeitchReply(rxBuffer); }
    int sendSpacingMs() const override { return 250; }
};

} // namespace

const DeviceLanguage &LeitchLanguage()
{
    static const Leitch language;
    return language;
}

} // namespace marlin
