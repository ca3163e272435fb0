#include "settings.h"

#include "convert.h"
#include "ini_file.h"

#include <QFileInfo>
#include <QHostAddress>

#include <cmath>

namespace marlin {

quint32 WindowsRgb(double value)
{
    return std::isfinite(value) && value >= 0 && value <= 16777215.0 ? quint32(value) : 0;
}

namespace {

QString comSection(int i) { return QStringLiteral("Com_Port_%1").arg(i); }
QString netSection(int i) { return QStringLiteral("Net_Port_%1").arg(i); }
QString cardKey(int k, const char *suffix) { return QStringLiteral("Network_Card_%1%2").arg(k).arg(QLatin1String(suffix)); }
QString colorKey(int c) { return QStringLiteral("Color_%1").arg(c); }
QString columnKey(int c) { return QStringLiteral("Column_%1_Position").arg(c); }

const QString kNetworkSettings = QStringLiteral("Network_Settings");
const QString kGeneralSettings = QStringLiteral("General_Settings");
const QString kWebSettings = QStringLiteral("Web_Settings");

const std::array<const char *, kColorCount + 1> kDefaultColors = {
    "", "12632256", "65280", "255", "9756653", "8388863", "33023", "16776960", "8421440"};

// Reads keys in file order. A number that does not fit its field is a
// failure named after its key; the field then takes the key's default at
// startup and keeps its value on a reload, and the load goes on.
class Reader {
public:
    Reader(const IniDocument &doc, LoadMode mode) : doc(doc), mode(mode) {}

    QString text(const QString &section, const QString &key, const QString &def) const
    {
        return trimSpaces(doc.value(section, key, def));
    }
    template <typename Field>
    void integer(const QString &section, const QString &key, const QString &def, Field &field)
    {
        const auto fit = [](double v) {
            if constexpr (sizeof(Field) == sizeof(qint16))
                return toInt16(v);
            else
                return toInt32(v);
        };
        if (const auto v = fit(Val(doc.value(section, key, def)))) {
            field = *v;
            return;
        }
        failures.append(QStringLiteral("Overflow in [%1] %2").arg(section, key));
        if (mode == LoadMode::Startup)
            field = fit(Val(def)).value_or(0);
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

    QStringList failures;

private:
    const IniDocument &doc;
    LoadMode mode;
};

void loadComPort(Reader &in, int i, ComPortSettings &p)
{
    const QString s = comSection(i);
    p.ComDescription = in.text(s, QStringLiteral("Port_Description"), QString());
    in.flagExactlyOne(s, QStringLiteral("Port_Enable"), QStringLiteral("0"), p.ComEnable);
    in.integer(s, QStringLiteral("Baud_Rate"), QStringLiteral("6"), p.ComBaudRate);
    in.integer(s, QStringLiteral("Data_Bits"), QStringLiteral("4"), p.ComDataBits);
    in.integer(s, QStringLiteral("Stop_Bits"), QStringLiteral("1"), p.ComStopBits);
    in.integer(s, QStringLiteral("Parity"), QStringLiteral("2"), p.ComParity);
    in.flagExactlyOne(s, QStringLiteral("DTR"), QStringLiteral("1"), p.ComDTR);
    in.flagExactlyOne(s, QStringLiteral("RTS"), QStringLiteral("0"), p.ComRTS);
    in.integer(s, QStringLiteral("Device_Type"), QStringLiteral("1"), p.ComDeviceType);
    in.integer(s, QStringLiteral("ID_Number"), QString::number(i), p.ComIDNumber);
    in.integer(s, QStringLiteral("Level"), QStringLiteral("0"), p.ComLevel);
    const QString defaultProtocol = (i == 5 || i == 6) ? QStringLiteral("2") : QStringLiteral("1");
    in.integer(s, QStringLiteral("Protocol"), defaultProtocol, p.ComProtocol);
}

void loadNetPort(Reader &in, int i, NetPortSettings &p)
{
    const QString s = netSection(i);
    p.NetIPAddress = in.text(s, QStringLiteral("Network_IP_Address"), QString());
    in.integer(s, QStringLiteral("Network_Port"), QString(), p.NetPort);
    in.integer(s, QStringLiteral("Network_Port_Type"), QStringLiteral("0"), p.NetPortType);
    p.NetUser = in.text(s, QStringLiteral("User"), QString());
    p.NetPassword = in.text(s, QStringLiteral("Password"), QString());
    p.NetEnabled = in.number(s, QStringLiteral("Hardware_Enabled"), QString()) > 0;
    p.NetDescription = in.text(s, QStringLiteral("Port_Description"), QString());
    in.integer(s, QStringLiteral("Device_Type"), QStringLiteral("1"), p.NetDeviceType);
    in.integer(s, QStringLiteral("ID_Number"), QString::number(i), p.NetIDNumber);
    in.integer(s, QStringLiteral("Level"), QStringLiteral("0"), p.NetLevel);
    in.integer(s, QStringLiteral("Protocol"), QStringLiteral("1"), p.NetProtocol);
    in.integer(s, QStringLiteral("Retry_MS"), QStringLiteral("250"), p.NetRetryMS);
    in.integer(s, QStringLiteral("Network_Local_Port"), QStringLiteral("0"), p.NetLocalPort);
}

QString flag(bool b) { return b ? QStringLiteral("1") : QStringLiteral("0"); }
QString num(qint64 n) { return QString::number(n); }
QString colorText(double c) { return QString::number(c, 'g', 17); }

bool hasSettingsSection(const IniDocument &doc)
{
    if (doc.hasSection(kNetworkSettings) || doc.hasSection(kGeneralSettings) || doc.hasSection(kWebSettings))
        return true;
    for (int i = 1; i <= kPortCount; ++i) {
        if (doc.hasSection(comSection(i)) || doc.hasSection(netSection(i)))
            return true;
    }
    return false;
}

QStringList readModel(const IniDocument &doc, Settings &settings, LoadMode mode)
{
    Reader in(doc, mode);

    for (int k = 1; k <= kCardCount; ++k) {
        settings.Cards[k].CardIPAddress = in.text(kNetworkSettings, cardKey(k, "_IP_Address"),
                                                  k == 1 ? QStringLiteral("172.23.42.6") : QString());
    }
    for (int k = 1; k <= kCardCount; ++k)
        settings.Cards[k].CardTCPPort = in.text(kNetworkSettings, cardKey(k, "_TCP_Port"), QStringLiteral("790"));

    for (int i = 1; i <= kPortCount; ++i)
        loadComPort(in, i, settings.ComPorts[i]);
    for (int i = 1; i <= kPortCount; ++i)
        loadNetPort(in, i, settings.NetPorts[i]);
    for (int c = 1; c <= kColorCount; ++c)
        settings.Colors[c] = in.number(kGeneralSettings, colorKey(c), QLatin1String(kDefaultColors[c]));
    for (int c = 1; c <= kColumnCount; ++c)
        in.integer(kGeneralSettings, columnKey(c), QString::number(c), settings.ColumnPosition[c]);
    settings.Web.WebEnabled = in.number(kWebSettings, QStringLiteral("Web_Enabled"), QStringLiteral("0")) == 1.0;
    settings.Web.WebIPAddress = in.text(kWebSettings, QStringLiteral("Web_IP_Address"), QStringLiteral("127.0.0.1"));
    in.integer(kWebSettings, QStringLiteral("Web_TCP_Port"), QStringLiteral("8080"), settings.Web.WebTCPPort);
    settings.Web.WebAllowedHosts = in.text(kWebSettings, QStringLiteral("Web_Allowed_Hosts"), QString());
    in.integer(kWebSettings, QStringLiteral("Web_Connections_Per_Address"), QStringLiteral("32"),
               settings.Web.WebConnectionsPerAddress);
    settings.Panels.PanelAllowedNetworks =
        in.text(kNetworkSettings, QStringLiteral("Panel_Allowed_Networks"), QString());
    in.integer(kNetworkSettings, QStringLiteral("Panel_Connections_Per_Address"), QStringLiteral("64"),
               settings.Panels.PanelConnectionsPerAddress);
    return in.failures;
}

} // namespace

QString WebEndpointProblem(const WebSettings &web)
{
    if (QHostAddress(trimSpaces(web.WebIPAddress)).isNull())
        return QStringLiteral("not an IP address");
    if (web.WebTCPPort < 0 || web.WebTCPPort > 65535)
        return QStringLiteral("port outside 0..65535");
    return {};
}

AllowedNetworks ParseAllowedNetworks(const QString &text)
{
    AllowedNetworks allowed;
    allowed.any = trimSpaces(text).isEmpty();
    for (const QString &part : text.split(QLatin1Char(','))) {
        const QString entry = part.trimmed();
        if (entry.isEmpty())
            continue;
        std::pair<QHostAddress, int> network;
        if (entry.contains(QLatin1Char('/'))) {
            network = QHostAddress::parseSubnet(entry);
        } else {
            const QHostAddress host(entry);
            network = {host, host.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32};
        }
        if (network.first.isNull() || network.second < 0)
            allowed.problems.append(QStringLiteral("%1: not a network").arg(entry));
        else
            allowed.networks.append(network);
    }
    return allowed;
}

bool AllowedNetworks::allows(const QHostAddress &address) const
{
    if (any)
        return true;
    // An IPv4 peer may come as an IPv4-mapped IPv6 address.
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    const QHostAddress plain = ok ? QHostAddress(v4) : address;
    for (const auto &network : networks) {
        if (plain.isInSubnet(network))
            return true;
    }
    return false;
}

QStringList LoadSettings(const QString &settingsFile, Settings &settings, LoadMode mode)
{
    const bool exists = QFileInfo::exists(settingsFile);
    const IniDocument doc = IniDocument::load(settingsFile);
    QString failure;
    if (!doc.readError().isEmpty()) {
        failure = QStringLiteral("The settings file %1 could not be read (%2).").arg(settingsFile, doc.readError());
    } else if (exists ? !hasSettingsSection(doc) : mode == LoadMode::Reload) {
        // A garbage or emptied file would otherwise read as defaults: every
        // router port off, silently.
        failure = exists ? QStringLiteral("The settings file %1 holds none of the settings sections "
                                          "([Network_Settings], [General_Settings], [Web_Settings], "
                                          "[Com_Port_n], [Net_Port_n]).")
                                 .arg(settingsFile)
                         : QStringLiteral("The settings file %1 is missing.").arg(settingsFile);
        failure += mode == LoadMode::Reload ? QStringLiteral(" The settings in force are kept.")
                                            : QStringLiteral(" The built-in defaults are in use.");
    } else {
        return readModel(doc, settings, mode);
    }
    // On a reload the settings in force stay; at startup the defaults of
    // an empty file take their place.
    if (mode == LoadMode::Reload)
        return {failure};
    QStringList failures = readModel(IniDocument::fromBytes({}), settings, mode);
    failures.prepend(failure);
    return failures;
}

bool SaveSettings(const QString &settingsFile, const Settings &settings, QString *error)
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
        doc.setValue(s, QStringLiteral("Network_Local_Port"), num(p.NetLocalPort));
    }
    for (int c = 1; c <= kColorCount; ++c)
        doc.setValue(kGeneralSettings, colorKey(c), colorText(settings.Colors[c]));
    for (int c = 1; c <= kColumnCount; ++c)
        doc.setValue(kGeneralSettings, columnKey(c), num(settings.ColumnPosition[c]));
    doc.setValue(kWebSettings, QStringLiteral("Web_Enabled"), flag(settings.Web.WebEnabled));
    doc.setValue(kWebSettings, QStringLiteral("Web_IP_Address"), settings.Web.WebIPAddress);
    doc.setValue(kWebSettings, QStringLiteral("Web_TCP_Port"), num(settings.Web.WebTCPPort));
    doc.setValue(kWebSettings, QStringLiteral("Web_Allowed_Hosts"), settings.Web.WebAllowedHosts);
    doc.setValue(kWebSettings, QStringLiteral("Web_Connections_Per_Address"),
                 num(settings.Web.WebConnectionsPerAddress));
    doc.setValue(kNetworkSettings, QStringLiteral("Panel_Allowed_Networks"), settings.Panels.PanelAllowedNetworks);
    doc.setValue(kNetworkSettings, QStringLiteral("Panel_Connections_Per_Address"),
                 num(settings.Panels.PanelConnectionsPerAddress));

    return doc.save(settingsFile, error);
}

} // namespace marlin
