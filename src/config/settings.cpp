#include "settings.h"

#include "convert.h"
#include "ini_file.h"

#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QHostAddress>

#include <algorithm>
#include <cmath>

namespace marlin {

quint32 WindowsRgb(double value)
{
    return std::isfinite(value) && value >= 0 && value <= 16777215.0 ? quint32(value) : 0;
}

SettingsColor settingsColor(double value)
{
    const quint32 rgb = WindowsRgb(value);
    return {int(rgb & 0xFF), int((rgb >> 8) & 0xFF), int((rgb >> 16) & 0xFF)};
}

double settingsColorValue(const SettingsColor &color)
{
    const auto part = [](int v) { return quint32(std::clamp(v, 0, 255)); };
    return double(part(color.red) | (part(color.green) << 8) | (part(color.blue) << 16));
}

QString SettingsColor::hexName() const
{
    return QStringLiteral("#%1%2%3")
        .arg(red, 2, 16, QLatin1Char('0'))
        .arg(green, 2, 16, QLatin1Char('0'))
        .arg(blue, 2, 16, QLatin1Char('0'));
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

// Reads the keys of the list below. A number that does not fit its field is
// a failure named after its key; the field then takes the key's default at
// startup and keeps its value on a reload, and the load goes on.
class Reader {
public:
    Reader(const IniDocument &doc, LoadMode mode) : doc(doc), mode(mode) {}

    // Text is read without the spaces around it.
    void text(const QString &section, const QString &key, const QString &def, QString &field) const
    {
        field = trimSpaces(doc.value(section, key, def));
    }
    void trimmedText(const QString &section, const QString &key, const QString &def, QString &field) const
    {
        text(section, key, def, field);
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
    // Set only by exactly 1.
    void flagExactlyOne(const QString &section, const QString &key, const QString &def, bool &field) const
    {
        field = Val(doc.value(section, key, def)) == 1.0;
    }
    // Set by any number above 0.
    void flagPositive(const QString &section, const QString &key, const QString &def, bool &field) const
    {
        field = Val(doc.value(section, key, def)) > 0;
    }
    void color(const QString &section, const QString &key, const QString &def, double &field) const
    {
        field = Val(doc.value(section, key, def));
    }

    QStringList failures;

private:
    const IniDocument &doc;
    LoadMode mode;
};

// Writes the keys of the list below into a document; the defaults play no
// part.
class Writer {
public:
    explicit Writer(IniDocument &doc) : doc(doc) {}

    void text(const QString &section, const QString &key, const QString &, const QString &field)
    {
        doc.setValue(section, key, field);
    }
    void trimmedText(const QString &section, const QString &key, const QString &, const QString &field)
    {
        doc.setValue(section, key, trimSpaces(field));
    }
    template <typename Field>
    void integer(const QString &section, const QString &key, const QString &, const Field &field)
    {
        doc.setValue(section, key, QString::number(field));
    }
    void flagExactlyOne(const QString &section, const QString &key, const QString &, const bool &field)
    {
        doc.setValue(section, key, field ? QStringLiteral("1") : QStringLiteral("0"));
    }
    void flagPositive(const QString &section, const QString &key, const QString &def, const bool &field)
    {
        flagExactlyOne(section, key, def, field);
    }
    void color(const QString &section, const QString &key, const QString &, const double &field)
    {
        doc.setValue(section, key, QString::number(field, 'g', 17));
    }

private:
    IniDocument &doc;
};

// Every key of WREN.INI with its section, its kind and its default, in the
// order they are read and written: the load walks it with a Reader, the
// save with a Writer, so a key cannot be read without being written or the
// other way round. Model is Settings for the load and const Settings for
// the save.
template <typename Io, typename Model>
void transferSettings(Io &io, Model &settings)
{
    for (int k = 1; k <= kCardCount; ++k) {
        auto &card = settings.Cards[k];
        io.text(kNetworkSettings, cardKey(k, "_IP_Address"), k == 1 ? QStringLiteral("172.23.42.6") : QString(),
                card.CardIPAddress);
        io.text(kNetworkSettings, cardKey(k, "_TCP_Port"), QStringLiteral("790"), card.CardTCPPort);
    }
    for (int i = 1; i <= kPortCount; ++i) {
        auto &p = settings.ComPorts[i];
        const QString s = comSection(i);
        io.text(s, QStringLiteral("Port_Description"), QString(), p.ComDescription);
        io.flagExactlyOne(s, QStringLiteral("Port_Enable"), QStringLiteral("0"), p.ComEnable);
        io.integer(s, QStringLiteral("Baud_Rate"), QStringLiteral("6"), p.ComBaudRate);
        io.integer(s, QStringLiteral("Data_Bits"), QStringLiteral("4"), p.ComDataBits);
        io.integer(s, QStringLiteral("Stop_Bits"), QStringLiteral("1"), p.ComStopBits);
        io.integer(s, QStringLiteral("Parity"), QStringLiteral("2"), p.ComParity);
        io.flagExactlyOne(s, QStringLiteral("DTR"), QStringLiteral("1"), p.ComDTR);
        io.flagExactlyOne(s, QStringLiteral("RTS"), QStringLiteral("0"), p.ComRTS);
        io.integer(s, QStringLiteral("Device_Type"), QStringLiteral("1"), p.ComDeviceType);
        io.integer(s, QStringLiteral("ID_Number"), QString::number(i), p.ComIDNumber);
        io.integer(s, QStringLiteral("Level"), QStringLiteral("0"), p.ComLevel);
        // Ports 5 and 6 speak the Image Video language unless told otherwise.
        io.integer(s, QStringLiteral("Protocol"), (i == 5 || i == 6) ? QStringLiteral("2") : QStringLiteral("1"),
                   p.ComProtocol);
    }
    for (int i = 1; i <= kPortCount; ++i) {
        auto &p = settings.NetPorts[i];
        const QString s = netSection(i);
        io.text(s, QStringLiteral("Network_IP_Address"), QString(), p.NetIPAddress);
        io.integer(s, QStringLiteral("Network_Port"), QString(), p.NetPort);
        io.integer(s, QStringLiteral("Network_Port_Type"), QStringLiteral("0"), p.NetPortType);
        io.trimmedText(s, QStringLiteral("User"), QString(), p.NetUser);
        io.trimmedText(s, QStringLiteral("Password"), QString(), p.NetPassword);
        io.flagPositive(s, QStringLiteral("Hardware_Enabled"), QString(), p.NetEnabled);
        io.text(s, QStringLiteral("Port_Description"), QString(), p.NetDescription);
        io.integer(s, QStringLiteral("Device_Type"), QStringLiteral("1"), p.NetDeviceType);
        io.integer(s, QStringLiteral("ID_Number"), QString::number(i), p.NetIDNumber);
        io.integer(s, QStringLiteral("Level"), QStringLiteral("0"), p.NetLevel);
        io.integer(s, QStringLiteral("Protocol"), QStringLiteral("1"), p.NetProtocol);
        io.integer(s, QStringLiteral("Retry_MS"), QStringLiteral("250"), p.NetRetryMS);
        io.integer(s, QStringLiteral("Network_Local_Port"), QStringLiteral("0"), p.NetLocalPort);
    }
    for (int c = 1; c <= kColorCount; ++c)
        io.color(kGeneralSettings, colorKey(c), QLatin1String(kDefaultColors[c]), settings.Colors[c]);
    for (int c = 1; c <= kColumnCount; ++c)
        io.integer(kGeneralSettings, columnKey(c), QString::number(c), settings.ColumnPosition[c]);
    auto &web = settings.Web;
    io.flagExactlyOne(kWebSettings, QStringLiteral("Web_Enabled"), QStringLiteral("0"), web.WebEnabled);
    io.text(kWebSettings, QStringLiteral("Web_IP_Address"), QStringLiteral("127.0.0.1"), web.WebIPAddress);
    io.integer(kWebSettings, QStringLiteral("Web_TCP_Port"), QStringLiteral("8080"), web.WebTCPPort);
    io.text(kWebSettings, QStringLiteral("Web_Allowed_Hosts"), QString(), web.WebAllowedHosts);
    io.integer(kWebSettings, QStringLiteral("Web_Connections_Per_Address"), QStringLiteral("32"),
               web.WebConnectionsPerAddress);
    auto &panels = settings.Panels;
    io.text(kNetworkSettings, QStringLiteral("Panel_Allowed_Networks"), QString(), panels.PanelAllowedNetworks);
    io.integer(kNetworkSettings, QStringLiteral("Panel_Connections_Per_Address"), QStringLiteral("64"),
               panels.PanelConnectionsPerAddress);
}

// Collects the names of the list's keys, lower case, by section.
class KeyNames {
public:
    template <typename Field>
    void text(const QString &section, const QString &key, const QString &, const Field &) { add(section, key); }
    template <typename Field>
    void trimmedText(const QString &section, const QString &key, const QString &, const Field &) { add(section, key); }
    template <typename Field>
    void integer(const QString &section, const QString &key, const QString &, const Field &) { add(section, key); }
    template <typename Field>
    void flagExactlyOne(const QString &section, const QString &key, const QString &, const Field &) { add(section, key); }
    template <typename Field>
    void flagPositive(const QString &section, const QString &key, const QString &, const Field &) { add(section, key); }
    template <typename Field>
    void color(const QString &section, const QString &key, const QString &, const Field &) { add(section, key); }

    QHash<QString, QSet<QString>> names;

private:
    void add(const QString &section, const QString &key) { names[section.toLower()].insert(key.toLower()); }
};

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
    transferSettings(in, settings);
    return in.failures;
}

} // namespace

const QHash<QString, QSet<QString>> &SettingsKeyNames()
{
    static const QHash<QString, QSet<QString>> names = [] {
        KeyNames collector;
        const Settings model;
        transferSettings(collector, model);
        return collector.names;
    }();
    return names;
}

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
    Writer out(doc);
    transferSettings(out, settings);

    return doc.save(settingsFile, error);
}

} // namespace marlin
