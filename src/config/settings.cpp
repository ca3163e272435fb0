#include "settings.h"

#include "convert.h"
#include "ini_file.h"

namespace marlin {

namespace {

const QString kOverflow = QStringLiteral("Overflow");

QString comSection(int i) { return QStringLiteral("Com_Port_%1").arg(i); }
QString netSection(int i) { return QStringLiteral("Net_Port_%1").arg(i); }
QString cardKey(int k, const char *suffix) { return QStringLiteral("Network_Card_%1%2").arg(k).arg(QLatin1String(suffix)); }
QString colorKey(int c) { return QStringLiteral("Color_%1").arg(c); }
QString columnKey(int c) { return QStringLiteral("Column_%1_Position").arg(c); }

const QString kNetworkSettings = QStringLiteral("Network_Settings");
const QString kGeneralSettings = QStringLiteral("General_Settings");

const std::array<const char *, kColorCount + 1> kDefaultColors = {
    "", "12632256", "65280", "255", "9756653", "8388863", "33023", "16776960", "8421440"};

// Reads keys in file order and stops at the first number that does not fit
// its field; every field assigned before that keeps its new value.
class Reader {
public:
    explicit Reader(const IniDocument &doc) : doc(doc) {}

    QString text(const QString &section, const QString &key, const QString &def) const
    {
        return trimSpaces(doc.value(section, key, def));
    }
    bool int16(const QString &section, const QString &key, const QString &def, qint16 &field)
    {
        const auto v = toInt16(Val(doc.value(section, key, def)));
        if (!v)
            return false;
        field = *v;
        return true;
    }
    bool int32(const QString &section, const QString &key, const QString &def, qint32 &field)
    {
        const auto v = toInt32(Val(doc.value(section, key, def)));
        if (!v)
            return false;
        field = *v;
        return true;
    }
    // Comm port flags are set only by exactly 1.
    void flagExactlyOne(const QString &section, const QString &key, const QString &def, bool &field) const
    {
        field = Val(doc.value(section, key, def)) == 1.0;
    }
    double number(const QString &section, const QString &key, const QString &def) const
    {
        return Val(doc.value(section, key, def));
    }

private:
    const IniDocument &doc;
};

bool loadComPort(Reader &in, int i, ComPortSettings &p)
{
    const QString s = comSection(i);
    p.ComDescription = in.text(s, QStringLiteral("Port_Description"), QString());
    in.flagExactlyOne(s, QStringLiteral("Port_Enable"), QStringLiteral("0"), p.ComEnable);
    if (!in.int16(s, QStringLiteral("Baud_Rate"), QStringLiteral("6"), p.ComBaudRate)) return false;
    if (!in.int16(s, QStringLiteral("Data_Bits"), QStringLiteral("4"), p.ComDataBits)) return false;
    if (!in.int16(s, QStringLiteral("Stop_Bits"), QStringLiteral("1"), p.ComStopBits)) return false;
    if (!in.int16(s, QStringLiteral("Parity"), QStringLiteral("2"), p.ComParity)) return false;
    in.flagExactlyOne(s, QStringLiteral("DTR"), QStringLiteral("1"), p.ComDTR);
    in.flagExactlyOne(s, QStringLiteral("RTS"), QStringLiteral("0"), p.ComRTS);
    if (!in.int16(s, QStringLiteral("Device_Type"), QStringLiteral("1"), p.ComDeviceType)) return false;
    if (!in.int16(s, QStringLiteral("ID_Number"), QString::number(i), p.ComIDNumber)) return false;
    if (!in.int16(s, QStringLiteral("Level"), QStringLiteral("0"), p.ComLevel)) return false;
    const QString defaultProtocol = (i == 5 || i == 6) ? QStringLiteral("2") : QStringLiteral("1");
    return in.int16(s, QStringLiteral("Protocol"), defaultProtocol, p.ComProtocol);
}

bool loadNetPort(Reader &in, int i, NetPortSettings &p)
{
    const QString s = netSection(i);
    p.NetIPAddress = in.text(s, QStringLiteral("Network_IP_Address"), QString());
    if (!in.int32(s, QStringLiteral("Network_Port"), QString(), p.NetPort)) return false;
    if (!in.int16(s, QStringLiteral("Network_Port_Type"), QStringLiteral("0"), p.NetPortType)) return false;
    p.NetUser = in.text(s, QStringLiteral("User"), QString());
    p.NetPassword = in.text(s, QStringLiteral("Password"), QString());
    p.NetEnabled = in.number(s, QStringLiteral("Hardware_Enabled"), QString()) > 0;
    p.NetDescription = in.text(s, QStringLiteral("Port_Description"), QString());
    if (!in.int16(s, QStringLiteral("Device_Type"), QStringLiteral("1"), p.NetDeviceType)) return false;
    if (!in.int16(s, QStringLiteral("ID_Number"), QString::number(i), p.NetIDNumber)) return false;
    if (!in.int16(s, QStringLiteral("Level"), QStringLiteral("0"), p.NetLevel)) return false;
    if (!in.int16(s, QStringLiteral("Protocol"), QStringLiteral("1"), p.NetProtocol)) return false;
    return in.int16(s, QStringLiteral("Retry_MS"), QStringLiteral("250"), p.NetRetryMS);
}

QString flag(bool b) { return b ? QStringLiteral("1") : QStringLiteral("0"); }
QString num(qint64 n) { return QString::number(n); }
QString colorText(double c) { return QString::number(c, 'g', 17); }

} // namespace

QString LoadSettings(const QString &settingsFile, Settings &settings)
{
    const IniDocument doc = IniDocument::load(settingsFile);
    Reader in(doc);

    for (int k = 1; k <= kCardCount; ++k) {
        settings.Cards[k].CardIPAddress = in.text(kNetworkSettings, cardKey(k, "_IP_Address"),
                                                  k == 1 ? QStringLiteral("172.23.42.6") : QString());
    }
    for (int k = 1; k <= kCardCount; ++k)
        settings.Cards[k].CardTCPPort = in.text(kNetworkSettings, cardKey(k, "_TCP_Port"), QStringLiteral("790"));

    for (int i = 1; i <= kPortCount; ++i) {
        if (!loadComPort(in, i, settings.ComPorts[i]))
            return kOverflow;
    }
    for (int i = 1; i <= kPortCount; ++i) {
        if (!loadNetPort(in, i, settings.NetPorts[i]))
            return kOverflow;
    }
    for (int c = 1; c <= kColorCount; ++c)
        settings.Colors[c] = in.number(kGeneralSettings, colorKey(c), QLatin1String(kDefaultColors[c]));
    for (int c = 1; c <= kColumnCount; ++c) {
        if (!in.int16(kGeneralSettings, columnKey(c), QString::number(c), settings.ColumnPosition[c]))
            return kOverflow;
    }
    return {};
}

bool SaveSettings(const QString &settingsFile, const Settings &settings)
{
    IniDocument doc = IniDocument::load(settingsFile);

    for (int k = 1; k <= kCardCount; ++k) {
        doc.setValue(kNetworkSettings, cardKey(k, "_IP_Address"), settings.Cards[k].CardIPAddress);
        doc.setValue(kNetworkSettings, cardKey(k, "_TCP_Port"), settings.Cards[k].CardTCPPort);
    }
    for (int i = 1; i <= kPortCount; ++i) {
        const ComPortSettings &p = settings.ComPorts[i];
        const QString s = comSection(i);
        doc.setValue(s, QStringLiteral("Port_Description"), p.ComDescription);
        doc.setValue(s, QStringLiteral("Port_Enable"), flag(p.ComEnable));
        doc.setValue(s, QStringLiteral("Baud_Rate"), num(p.ComBaudRate));
        doc.setValue(s, QStringLiteral("Data_Bits"), num(p.ComDataBits));
        doc.setValue(s, QStringLiteral("Stop_Bits"), num(p.ComStopBits));
        doc.setValue(s, QStringLiteral("Parity"), num(p.ComParity));
        doc.setValue(s, QStringLiteral("DTR"), flag(p.ComDTR));
        doc.setValue(s, QStringLiteral("RTS"), flag(p.ComRTS));
        doc.setValue(s, QStringLiteral("Device_Type"), num(p.ComDeviceType));
        doc.setValue(s, QStringLiteral("ID_Number"), num(p.ComIDNumber));
        doc.setValue(s, QStringLiteral("Level"), num(p.ComLevel));
        doc.setValue(s, QStringLiteral("Protocol"), num(p.ComProtocol));
    }
    for (int i = 1; i <= kPortCount; ++i) {
        const NetPortSettings &p = settings.NetPorts[i];
        const QString s = netSection(i);
        doc.setValue(s, QStringLiteral("Network_IP_Address"), p.NetIPAddress);
        doc.setValue(s, QStringLiteral("Network_Port"), num(p.NetPort));
        doc.setValue(s, QStringLiteral("Network_Port_Type"), num(p.NetPortType));
        doc.setValue(s, QStringLiteral("User"), trimSpaces(p.NetUser));
        doc.setValue(s, QStringLiteral("Password"), trimSpaces(p.NetPassword));
        doc.setValue(s, QStringLiteral("Hardware_Enabled"), flag(p.NetEnabled));
        doc.setValue(s, QStringLiteral("Port_Description"), p.NetDescription);
        doc.setValue(s, QStringLiteral("Device_Type"), num(p.NetDeviceType));
        doc.setValue(s, QStringLiteral("ID_Number"), num(p.NetIDNumber));
        doc.setValue(s, QStringLiteral("Level"), num(p.NetLevel));
        doc.setValue(s, QStringLiteral("Protocol"), num(p.NetProtocol));
        doc.setValue(s, QStringLiteral("Retry_MS"), num(p.NetRetryMS));
    }
    for (int c = 1; c <= kColorCount; ++c)
        doc.setValue(kGeneralSettings, colorKey(c), colorText(settings.Colors[c]));
    for (int c = 1; c <= kColumnCount; ++c)
        doc.setValue(kGeneralSettings, columnKey(c), num(settings.ColumnPosition[c]));

    return doc.save(settingsFile);
}

} // namespace marlin
