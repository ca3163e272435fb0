#include "image_video.h"

#include "router/take_string.h"

namespace marlin {

namespace {

constexpr char kEndOfFrame = char(254);
constexpr char kStatusReport = char(201);
constexpr char kTake = char(193);
constexpr char kTakeEnd = char(159);
constexpr char kStatusQuery = char(192);

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

} // namespace

QByteArray ImageVideoStatusQuery(int destination) { return statusQuery(destination - 1); }

QByteArray BuildImageVideoTake(QByteArrayView takeString)
{
    const TakeString take = ParseTakeString(takeString);
    if (!take.source || !take.destination || !ImageVideoCanCarry(*take.source)
        || !ImageVideoCanCarry(*take.destination))
        return {};
    const char source = char(*take.source - 1);
    const char frame[] = {kTake, char(*take.destination - 1), source, source, source, kTakeEnd, kEndOfFrame};
    return QByteArray(frame, sizeof frame);
}

bool ImageVideoCanCarry(int number)
{
    return isPointNumber(number) && number - 1 != static_cast<unsigned char>(kEndOfFrame);
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

} // namespace marlin
