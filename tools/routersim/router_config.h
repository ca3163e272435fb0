#pragma once

#include <QHostAddress>
#include <QMap>
#include <QString>

#include <optional>

// The three device languages a simulated router can speak.
enum class RouterLanguage { Leitch, ImageVideo, Framed };

// How the server reaches a simulated router.
enum class TransportKind { Pty, Tcp, Udp };

// Everything needed to bring one simulated router up.
struct RouterConfig
{
    int index = 1;                       // the router's number in the event lines, from 1
    RouterLanguage language = RouterLanguage::Leitch;
    TransportKind transport = TransportKind::Tcp;
    QString linkPath;                    // pty: the symbolic link the server opens
    quint16 port = 0;                    // tcp/udp: 0 picks a free port
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    int size = 32;                       // destinations a full report covers, 1..256
    bool prompt = false;                 // leitch: prefix every reply with LF and '>'
    QMap<int, int> initialSources;       // destination -> source, 1-based; others start on 1
    // framed: a full status report to every party this often, unasked, as
    // such routers do (the server never polls them); 0 never.
    int reportIntervalMs = 0;
};

QString languageName(RouterLanguage language);
QString transportName(TransportKind kind);

// "leitch:pty:/path/COM1", "iv:tcp:5001", "framed:udp:5002".
// Fills language, transport and linkPath or port; leaves the rest as given in base.
std::optional<RouterConfig> parseRouterArgument(const QString &text, const RouterConfig &base,
                                            QString *error = nullptr);

// "identity" (source d on destination d) or "d=s,d=s,..." (1-based).
std::optional<QMap<int, int>> parseInitialSources(const QString &text, QString *error = nullptr);
