// Times the log viewer over a 100 MB switch log: the line index alone, then
// the viewer's model under a list view on the event loop (offscreen), with a
// panel asking the server in the same process all the while. Reports the
// indexing time, the longest pause between two turns of the event loop and
// the slowest panel reply during it.
#include "config/log_file_index.h"
#include "core/server.h"
#include "ui/log_file_model.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QListView>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace marlin;

namespace {

constexpr qint64 kFileBytes = 100 * 1024 * 1024;

qint64 writeLog(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    QByteArray chunk;
    qint64 lines = 0;
    for (int i = 0; chunk.size() < 4 * 1024 * 1024; ++i, ++lines)
        chunk += "03-04-2026  10:" + QByteArray::number(10 + i % 50) + ":00 Status update.\t Router = Studio "
                 + QByteArray::number(i % 96) + "\t Source = Camera " + QByteArray::number(i % 256)
                 + "\t Destination = Monitor " + QByteArray::number(i % 256) + "\r\n";
    const qint64 perChunk = lines;
    lines = 0;
    while (file.size() < kFileBytes) {
        file.write(chunk);
        lines += perChunk;
    }
    return lines;
}

double ms(qint64 ns) { return double(ns) / 1e6; }

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Switch Log For 20260304.TXT"));
    const qint64 lineCount = writeLog(path);
    std::printf("log file: %.1f MB, %lld lines (in the page cache, as a log being written is)\n",
                double(QFile(path).size()) / (1024 * 1024), static_cast<long long>(lineCount));

    // The index alone, slice by slice as the model drives it.
    for (int run = 0; run < 3; ++run) {
        LogFileIndex index(path);
        QElapsedTimer total;
        total.start();
        qint64 slowest = 0;
        for (bool more = true; more;) {
            QElapsedTimer one;
            one.start();
            more = index.indexMore(LogFileModel::kSliceBytes);
            slowest = std::max(slowest, one.nsecsElapsed());
        }
        std::printf("LogFileIndex, %lld KB slices:        %8.1f ms total, slowest slice %6.2f ms, %lld lines\n",
                    static_cast<long long>(LogFileModel::kSliceBytes / 1024), ms(total.nsecsElapsed()),
                    ms(slowest), static_cast<long long>(index.lineCount()));
    }

    // The viewer's model under a list view, with a server serving a panel.
    QTemporaryDir appDir;
    {
        QFile ini(appDir.filePath(QStringLiteral("WREN.INI")));
        if (ini.open(QIODevice::WriteOnly))
            ini.write("[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\nNetwork_Card_1_TCP_Port=0\r\n");
    }
    Server server(appDir.path());
    server.Start();
    QTcpSocket panel;
    panel.connectToHost(QHostAddress::LocalHost, server.clients.listeningPort(1));
    if (!panel.waitForConnected(5000)) {
        std::printf("panel could not connect\n");
        return 1;
    }
    const QByteArray noOp("\x00\x00\x00\x01\xE1\x84\x05", 7);

    for (int run = 0; run < 3; ++run) {
        QListView view;
        view.setUniformItemSizes(true);
        view.resize(900, 600);
        view.show();

        std::vector<qint64> replies;
        QElapsedTimer sent;
        QByteArray pending;
        QObject::connect(&panel, &QTcpSocket::readyRead, &view, [&] {
            pending += panel.readAll();
            while (pending.size() >= 7) {
                pending.remove(0, 7);
                replies.push_back(sent.nsecsElapsed());
                sent.start();
                panel.write(noOp);
            }
        });

        QElapsedTimer total;
        total.start();
        LogFileModel model(path);
        view.setModel(&model);
        sent.start();
        panel.write(noOp);

        qint64 longestPause = 0;
        QElapsedTimer sinceTurn;
        sinceTurn.start();
        QTimer turn;
        turn.setInterval(0);
        QObject::connect(&turn, &QTimer::timeout, [&] {
            longestPause = std::max(longestPause, sinceTurn.nsecsElapsed());
            sinceTurn.restart();
        });
        turn.start();
        QEventLoop loop;
        QObject::connect(&model, &LogFileModel::stateChanged, &loop, [&] {
            if (!model.indexing())
                loop.quit();
        });
        loop.exec();
        const qint64 elapsed = total.nsecsElapsed();
        turn.stop();
        QObject::disconnect(&panel, nullptr, &view, nullptr);
        panel.waitForReadyRead(1000);
        panel.readAll();

        std::sort(replies.begin(), replies.end());
        std::printf("LogFileModel + QListView (offscreen): %8.1f ms to index %d rows, longest event-loop pause %6.2f ms;"
                    " %zu panel replies meanwhile, median %.2f ms, slowest %.2f ms\n",
                    ms(elapsed), model.rowCount(), ms(longestPause), replies.size(),
                    replies.empty() ? 0.0 : ms(replies[replies.size() / 2]),
                    replies.empty() ? 0.0 : ms(replies.back()));
    }
    return 0;
}
