#pragma once

// For benchmarks of the console's windows: the offscreen platform unless
// another is asked for, and without its notes on every window and popup,
// which would bury the figures. Call before the application is made.

#include <QString>
#include <QtGlobal>
#include <cstdio>

inline void useQuietOffscreenPlatform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg && !text.startsWith(QStringLiteral("This plugin does not support")))
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
}

#include <QDir>
#include <QFile>

// Settings that listen on no network card, written before the start.
inline void noCards(const QString &appDir)
{
    QFile file(QDir(appDir).filePath(QStringLiteral("WREN.INI")));
    if (file.open(QIODevice::WriteOnly))
        file.write("[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n");
}
