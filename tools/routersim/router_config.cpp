#include "router_config.h"

#include "crosspoint_table.h"

#include <QStringList>

namespace {

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

std::optional<RouterLanguage> languageFromName(const QString &name)
{
    const QString lower = name.toLower();
    if (lower == QLatin1String("leitch"))
        return RouterLanguage::Leitch;
    if (lower == QLatin1String("iv"))
        return RouterLanguage::ImageVideo;
    if (lower == QLatin1String("framed"))
        return RouterLanguage::Framed;
    return std::nullopt;
}

} // namespace

QString languageName(RouterLanguage language)
{
    switch (language) {
    case RouterLanguage::Leitch: return QStringLiteral("leitch");
    case RouterLanguage::ImageVideo: return QStringLiteral("iv");
    case RouterLanguage::Framed: return QStringLiteral("framed");
    }
    return {};
}

QString transportName(TransportKind kind)
{
    switch (kind) {
    case TransportKind::Pty: return QStringLiteral("pty");
    case TransportKind::Tcp: return QStringLiteral("tcp");
    case TransportKind::Udp: return QStringLiteral("udp");
    }
    return {};
}

std::optional<RouterConfig> parseRouterArgument(const QString &text, const RouterConfig &base,
                                            QString *error)
{
    // The pty path may itself hold colons, so only the first two separate fields.
    const qsizetype first = text.indexOf(QLatin1Char(':'));
    const qsizetype second = first < 0 ? -1 : text.indexOf(QLatin1Char(':'), first + 1);
    if (second < 0) {
        setError(error, QStringLiteral("expected language:transport:where, got \"%1\"").arg(text));
        return std::nullopt;
    }
    const QString languageText = text.left(first);
    const QString kindText = text.mid(first + 1, second - first - 1).toLower();
    const QString where = text.mid(second + 1);

    RouterConfig config = base;
    const auto language = languageFromName(languageText);
    if (!language) {
        setError(error, QStringLiteral("unknown language \"%1\" (leitch, iv or framed)").arg(languageText));
        return std::nullopt;
    }
    config.language = *language;

    if (kindText == QLatin1String("pty")) {
        if (where.isEmpty()) {
            setError(error, QStringLiteral("pty needs a link path"));
            return std::nullopt;
        }
        config.transport = TransportKind::Pty;
        config.linkPath = where;
        return config;
    }
    if (kindText == QLatin1String("tcp") || kindText == QLatin1String("udp")) {
        bool ok = false;
        const uint port = where.toUInt(&ok);
        if (!ok || port > 65535) {
            setError(error, QStringLiteral("bad port \"%1\"").arg(where));
            return std::nullopt;
        }
        config.transport = kindText == QLatin1String("tcp") ? TransportKind::Tcp : TransportKind::Udp;
        config.port = static_cast<quint16>(port);
        return config;
    }
    setError(error, QStringLiteral("unknown transport \"%1\" (pty, tcp or udp)").arg(kindText));
    return std::nullopt;
}

std::optional<QMap<int, int>> parseInitialSources(const QString &text, QString *error)
{
    QMap<int, int> result;
    if (text.trimmed().compare(QLatin1String("identity"), Qt::CaseInsensitive) == 0) {
        for (int d = 1; d <= CrosspointTable::capacity; ++d)
            result.insert(d, d);
        return result;
    }
    const QStringList pairs = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (pairs.isEmpty()) {
        setError(error, QStringLiteral("no crosspoints in \"%1\"").arg(text));
        return std::nullopt;
    }
    for (const QString &pair : pairs) {
        const QStringList parts = pair.split(QLatin1Char('='));
        bool destOk = false;
        bool srcOk = false;
        const int dest = parts.size() == 2 ? parts[0].trimmed().toInt(&destOk) : 0;
        const int src = parts.size() == 2 ? parts[1].trimmed().toInt(&srcOk) : 0;
        if (!destOk || !srcOk || !CrosspointTable::inRange(dest) || !CrosspointTable::inRange(src)) {
            setError(error, QStringLiteral("bad crosspoint \"%1\" (dest=src, 1..256)").arg(pair));
            return std::nullopt;
        }
        result.insert(dest, src);
    }
    return result;
}
