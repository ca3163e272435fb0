#include "comm_settings.h"

#include <QStringList>
#include <array>

namespace marlin {

namespace {
template <std::size_t N>
QString pick(const std::array<const char *, N> &list, int index)
{
    return index >= 1 && index <= int(N) ? QString::fromLatin1(list[index - 1]) : QString();
}
} // namespace

QString BuildCommSettings(int baudIndex, int dataBitsIndex, int parityIndex, int stopBitsIndex)
{
    static constexpr std::array<const char *, 13> bauds = {
        "110", "300", "600", "1200", "2400", "9600", "14400", "19200", "28800", "38400", "56000", "128000", "256000"};
    static constexpr std::array<const char *, 3> parities = {"e", "n", "o"};
    static constexpr std::array<const char *, 4> dataBits = {"5", "6", "7", "8"};
    static constexpr std::array<const char *, 3> stopBits = {"1", "1.5", "2"};
    return pick(bauds, baudIndex) + QLatin1Char(',') + pick(parities, parityIndex) + QLatin1Char(',')
           + pick(dataBits, dataBitsIndex) + QLatin1Char(',') + pick(stopBits, stopBitsIndex);
}

std::optional<SerialLineSettings> parseCommSettings(const QString &text)
{
    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4)
        return std::nullopt;
    SerialLineSettings s;

    bool ok = false;
    s.baudRate = fields[0].trimmed().toInt(&ok);
    if (!ok || s.baudRate <= 0)
        return std::nullopt;

    const QString parity = fields[1].trimmed().toLower();
    if (parity == QLatin1String("n"))
        s.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("e"))
        s.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("o"))
        s.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("m"))
        s.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("s"))
        s.parity = QSerialPort::SpaceParity;
    else
        return std::nullopt;

    const int data = fields[2].trimmed().toInt(&ok);
    if (!ok || data < 5 || data > 8)
        return std::nullopt;
    s.dataBits = static_cast<QSerialPort::DataBits>(data);

    const QString stop = fields[3].trimmed();
    if (stop == QLatin1String("1"))
        s.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("2"))
        s.stopBits = QSerialPort::TwoStop;
    else
        return std::nullopt;
    return s;
}

} // namespace marlin
