// Times the log viewer over a 100 MB switch log: the line index alone, then
// the viewer's model under a list view on the event loop (offscreen), with a
// panel asking the server in the same process all the while. Reports the
// indexing time, the longest pause between two turns of the event loop and
// the slowest panel reply during it; and the time of a find through the
// whole file.
#include "config/log_file_index.h"
#include "core/server.h"
#include "ui/log_file_model.h"
#include "ui/log_viewer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QListView>
#include <QScrollBar>
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
        // A search for a text that is nowhere reads the whole file, in the
        // model's slices.
        QElapsedTimer search;
        search.start();
        qint64 slowestStep = 0;
        LogFileIndex::FindStep step{-1, 0};
        while (step.next >= 0) {
            QElapsedTimer one;
            one.start();
            step = index.findStep(QStringLiteral("nowhere in this log"), step.next, LogFileModel::kFindSliceBytes);
            slowestStep = std::max(slowestStep, one.nsecsElapsed());
        }
        std::printf("LogFileIndex::findStep, %lld KB slices: %7.1f ms total, slowest slice %6.2f ms (%s)\n",
                    static_cast<long long>(LogFileModel::kFindSliceBytes / 1024), ms(search.nsecsElapsed()),
                    ms(slowestStep), step.found < 0 ? "not found" : "found");
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
    panel.connectToHost(QHostAddress::LocalHost, server.listeningPort(1));
    if (!panel.waitForConnected(5000)) {
        std::printf("panel could not connect\n");
        return 1;
    }
    const QByteArray noOp("\x00\x00\x00\x01\xE1\x84\x05", 7);

    for (int run = 0; run < 3; ++run) {
        std::vector<qint64> replies;
        QElapsedTimer sent;
        QByteArray pending;
        QObject guard;
        QObject::connect(&panel, &QTcpSocket::readyRead, &guard, [&] {
            pending += panel.readAll();
            while (pending.size() >= 7) {
                pending.remove(0, 7);
                replies.push_back(sent.nsecsElapsed());
                sent.start();
                panel.write(noOp);
            }
        });

        qint64 longestPause = 0;
        QElapsedTimer sinceTurn;
        QTimer turn;
        turn.setInterval(0);
        QObject::connect(&turn, &QTimer::timeout, [&] {
            longestPause = std::max(longestPause, sinceTurn.nsecsElapsed());
            sinceTurn.restart();
        });

        QElapsedTimer total;
        total.start();
        LogFileWindow window(path, QDate(2026, 3, 4));
        window.resize(900, 600);
        window.show();
        LogFileModel &model = *window.model();
        sent.start();
        panel.write(noOp);
        sinceTurn.start();
        turn.start();

        // Indexed, and laid out: the window follows the end, so the last
        // row is on screen once the list has laid out every row.
        qint64 indexed = 0;
        QEventLoop loop;
        QTimer check;
        check.setInterval(1);
        QObject::connect(&check, &QTimer::timeout, [&] {
            if (model.indexing() || model.rowCount() == 0)
                return;
            if (indexed == 0)
                indexed = total.nsecsElapsed();
            const QRect last = window.lstLines->visualRect(model.index(model.rowCount() - 1));
            if (last.isValid() && last.bottom() <= window.lstLines->viewport()->height())
                loop.quit();
        });
        check.start();
        loop.exec();
        check.stop();
        const qint64 laidOut = total.nsecsElapsed();
        const qint64 indexPause = longestPause;

        // A find for a text that is nowhere, through the whole file.
        longestPause = 0;
        sinceTurn.restart();
        QElapsedTimer searching;
        searching.start();
        QEventLoop findLoop;
        QObject::connect(&model, &LogFileModel::findFinished, &findLoop, &QEventLoop::quit);
        model.find(QStringLiteral("nowhere in this log"), 0);
        findLoop.exec();
        const qint64 findTime = searching.nsecsElapsed();
        turn.stop();
        QObject::disconnect(&panel, nullptr, &guard, nullptr);
        panel.waitForReadyRead(1000);
        panel.readAll();

        std::sort(replies.begin(), replies.end());
        std::printf("LogFileWindow (offscreen): %d rows indexed in %.1f ms, laid out and shown at the end in %.1f ms;"
                    " longest event-loop pause %.2f ms; %zu panel replies meanwhile, median %.2f ms, slowest %.2f ms\n",
                    model.rowCount(), ms(indexed), ms(laidOut), ms(indexPause), replies.size(),
                    replies.empty() ? 0.0 : ms(replies[replies.size() / 2]),
                    replies.empty() ? 0.0 : ms(replies.back()));
        std::printf("LogFileModel::find, text not there: %.1f ms in slices, longest event-loop pause %.2f ms\n",
                    ms(findTime), ms(longestPause));
    }
    return 0;
}
