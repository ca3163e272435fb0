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

namespace {

class ImageVideo final : public DeviceLanguage {
public:
    QString routerName() const override { return QStringLiteral("Image Video Router"); }
    QByteArray frame(QByteArrayView body) const override { return body.toByteArray() + kEndOfFrame; }
    QByteArray buildTake(QByteArrayView takeString) const override { return BuildImageVideoTake(takeString); }
    QStringList takeRefusals(QByteArrayView takeString) const override
    {
        // 255 is the one number inside the tables a frame cannot carry: its
        // byte is the terminator, and the router would act on half a take.
        const TakeString take = ParseTakeString(takeString);
        QStringList refusals;
        for (const auto &[what, number] : {std::pair{"source", take.source}, std::pair{"destination", take.destination}}) {
            if (number == 255)
                refusals.append(QLatin1String(what) + QStringLiteral(" 255 cannot be carried in a frame."));
        }
        return refusals;
    }
    QList<QByteArray> firstRequests(RouterState &state, const RouterTable &table, int) const override
    {
        state.PollIndex = 0;
        state.PollActive = true;
        return {NextImageVideoPoll(state, table)};
    }
    bool pollsWhenSilent() const override { return true; }
    QByteArray nextPoll(RouterState &state, const RouterTable &table, int) const override
    {
        return NextImageVideoPoll(state, table);
    }
    int walkLength() const override { return kImageVideoPointCount; }
    QByteArray statusQuery(int destination) const override { return ImageVideoStatusQuery(destination); }
    ReplyScan decode(QByteArray &rxBuffer, const RouterTable &) const override
    {
        return DecodeImageVideoReply(rxBuffer);
    }
    int sendSpacingMs() const override { return 250; }
};

} // namespace

const DeviceLanguage &ImageVideoLanguage()
{
    static const ImageVideo language;
    return language;
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
