#include "framed.h"

#include "router/take_string.h"

namespace marlin {

namespace {

constexpr char kSYN = 22;
constexpr char kSTX = 2;
constexpr char kETX = 3;
constexpr char kCR = '\r';

constexpr qsizetype kNameWidth = 6;
constexpr int kTakeSourceRepeats = 6;

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

QByteArray BuildFramedTake(QByteArrayView takeString)
{
    const TakeString take = ParseTakeString(takeString);
    if (!take.source || !take.destination || *take.source < 1 || *take.destination < 1)
        return {};
    const QByteArray source = portName("I0", *take.source - 1);
    QByteArray body = "6," + portName("O0", *take.destination - 1);
    for (int i = 0; i < kTakeSourceRepeats; ++i)
        body += ',' + source;
    return FrameFramedBody(body);
}

QByteArray FrameFramedBody(QByteArrayView body)
{
    QByteArray length = Hex(quint32(body.size()));
    if (length.size() == 1)
        length.prepend('0');
    QByteArray frame = kSYN + length + kSTX + body.toByteArray() + kETX;

    quint32 sum = 0;
    for (char byte : QByteArrayView(frame).sliced(1))
        sum += static_cast<unsigned char>(byte);
    return frame + Hex(sum).rightJustified(4, '0') + kCR;
}

namespace {

class Framed final : public DeviceLanguage {
public:
    // Its links are reported as those of the Image Video routers that speak it.
    QString routerName() const override { return QStringLiteral("Image Video Router"); }
    QByteArray frame(QByteArrayView body) const override { return FrameFramedBody(body); }
    QByteArray buildTake(QByteArrayView takeString) const override { return BuildFramedTake(takeString); }
    ReplyScan decode(QByteArray &rxBuffer, const RouterTable &table) const override
    {
        return DecodeFramedReply(rxBuffer, table);
    }
    int sendSpacingMs() const override { return kDefaultSpacingMs; }
};

} // namespace

const DeviceLanguage &FramedLanguage()
{
    static const Framed language;
    return language;
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
