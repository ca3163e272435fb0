#include "panel_client.h"

#include <QEventLoop>
#include <QRandomGenerator>

namespace marlin::panel {

namespace {

// A reply we cannot frame may still be arriving; its bytes are collected
// until the line has been quiet this long, so a raw dump shows all of it.
constexpr int kSettleMs = 100;

} // namespace

PanelClient::PanelClient(QObject *parent)
    : QObject(parent)
    // The server only needs each request to differ from the one before; a
    // random start also tells two runs apart in a capture.
    , nextSequence(QRandomGenerator::global()->generate())
{
    replyTimer.setSingleShot(true);
    settleTimer.setSingleShot(true);
    connect(&replyTimer, &QTimer::timeout, this, &PanelClient::onReplyTimeout);
    connect(&settleTimer, &QTimer::timeout, this, &PanelClient::onSettled);
    connect(&socket, &QTcpSocket::readyRead, this, &PanelClient::onReadyRead);
    connect(&socket, &QTcpSocket::disconnected, this, &PanelClient::onConnectionEnded);
    connect(&socket, &QTcpSocket::errorOccurred, this, &PanelClient::onConnectionEnded);
}

PanelClient::~PanelClient()
{
    // The socket outlives the members it reports to; closing it must not
    // call back into a half-destroyed panel.
    disconnect(&socket, nullptr, this, nullptr);
    socket.abort();
}

bool PanelClient::connectToServer(const QString &host, quint16 port, int timeoutMs)
{
    if (pending)
        finish(Exchange::Cancelled, QStringLiteral("connection replaced"));
    socket.abort();
    buffer.clear();

    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&socket, &QTcpSocket::connected, &loop, &QEventLoop::quit);
    connect(&socket, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    socket.connectToHost(host, port);
    timer.start(timeoutMs);
    if (socket.state() != QAbstractSocket::ConnectedState && socket.state() != QAbstractSocket::UnconnectedState)
        loop.exec();
    disconnect(&socket, nullptr, &loop, nullptr);

    if (socket.state() == QAbstractSocket::ConnectedState) {
        // Each request must leave in one piece: the server reads whatever
        // one read returns as one request.
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        lastError.clear();
        return true;
    }
    if (timer.isActive())
        lastError = QStringLiteral("cannot connect to %1 port %2: %3").arg(host).arg(port).arg(socket.errorString());
    else
        lastError = QStringLiteral("cannot connect to %1 port %2: no answer within %3 ms").arg(host).arg(port).arg(timeoutMs);
    socket.abort();
    return false;
}

void PanelClient::disconnectFromServer()
{
    if (pending)
        finish(Exchange::Cancelled, QStringLiteral("disconnected"));
    socket.disconnectFromHost();
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.abort();
}

bool PanelClient::isConnected() const
{
    return socket.state() == QAbstractSocket::ConnectedState;
}

bool PanelClient::send(quint8 command, quint8 router, const QByteArray &payload)
{
    Pending request;
    request.command = command;
    request.router = router;
    request.result.request = buildRequest(nextSequence, command, router, payload);
    return start(std::move(request));
}

bool PanelClient::sendRaw(const QByteArray &afterSequence)
{
    Pending request;
    request.raw = true;
    request.result.request = sequenceBytes(nextSequence) + afterSequence;
    return start(std::move(request));
}

bool PanelClient::start(Pending request)
{
    if (pending) {
        lastError = QStringLiteral("a request is still waiting for its reply");
        return false;
    }
    if (!isConnected()) {
        lastError = socket.error() == QAbstractSocket::UnknownSocketError
            ? QStringLiteral("not connected")
            : QStringLiteral("not connected: ") + socket.errorString();
        return false;
    }
    ++nextSequence;
    pending = std::move(request);
    // Whatever is left over answered earlier requests.
    buffer.clear();
    writePending();
    return true;
}

void PanelClient::writePending()
{
    ++pending->result.attempts;
    socket.write(pending->result.request);
    replyTimer.start(replyTimeoutMs);
    emit requestSent(pending->result.request, pending->result.attempts);
}

void PanelClient::cancel()
{
    if (pending)
        finish(Exchange::Cancelled, QStringLiteral("cancelled"));
}

void PanelClient::onReadyRead()
{
    const QByteArray arrived = socket.readAll();
    emit bytesArrived(arrived);
    buffer.append(arrived);
    if (!pending) {
        buffer.clear();
        return;
    }
    if (settleTimer.isActive()) {
        settleTimer.start(kSettleMs);
        return;
    }
    const QByteArray sequence = pending->result.request.left(kSequenceSize);
    while (pending) {
        const ReplyFrame frame = frameReply(buffer);
        if (frame.status == ReplyFrame::Incomplete)
            return;
        if (frame.status == ReplyFrame::Unrecognised) {
            if (buffer.startsWith(sequence)) {
                replyTimer.stop();
                settleTimer.start(kSettleMs);
            } else {
                // Old bytes we cannot cut apart; the retransmission brings
                // our own reply again if it was among them.
                ++pending->result.staleReplies;
                buffer.clear();
            }
            return;
        }
        const QByteArray bytes = buffer.left(frame.length);
        buffer.remove(0, frame.length);
        if (!bytes.startsWith(sequence)) {
            ++pending->result.staleReplies;
            continue;
        }
        pending->result.received = bytes;
        QString error;
        const auto reply = decodeReply(bytes, &error);
        if (!reply) {
            finish(Exchange::BadReply, error);
            return;
        }
        pending->result.reply = *reply;
        const QString mismatch = pending->raw ? QString() : replyMismatch(pending->command, pending->router, *reply);
        finish(mismatch.isEmpty() ? Exchange::Replied : Exchange::BadReply, mismatch);
        return;
    }
}

void PanelClient::onSettled()
{
    if (!pending)
        return;
    pending->result.received = buffer;
    buffer.clear();
    finish(Exchange::BadReply, QStringLiteral("reply of no known kind"));
}

void PanelClient::onReplyTimeout()
{
    if (!pending)
        return;
    if (pending->result.attempts < 2) {
        writePending();
        return;
    }
    QString error = pending->raw
        ? QStringLiteral("no reply")
        : QStringLiteral("no reply to command %1").arg(hexByte(pending->command));
    error += QStringLiteral(" within %1 ms, sent twice").arg(replyTimeoutMs);
    if (pending->result.staleReplies > 0)
        error += QStringLiteral(" (%1 replies with another sequence skipped)").arg(pending->result.staleReplies);
    finish(Exchange::NoReply, error);
}

void PanelClient::onConnectionEnded()
{
    if (!pending)
        return;
    const QString reason = socket.error() == QAbstractSocket::UnknownSocketError
        ? QStringLiteral("connection closed") : socket.errorString();
    finish(Exchange::ConnectionLost, reason);
}

void PanelClient::finish(Exchange::Outcome outcome, const QString &error)
{
    replyTimer.stop();
    settleTimer.stop();
    Exchange result = std::move(pending->result);
    pending.reset();
    result.outcome = outcome;
    result.error = error;
    lastError = error;
    emit finished(result);
}

Exchange PanelClient::exchange(quint8 command, quint8 router, const QByteArray &payload)
{
    return waitFor([&] { return send(command, router, payload); });
}

Exchange PanelClient::exchangeRaw(const QByteArray &afterSequence)
{
    return waitFor([&] { return sendRaw(afterSequence); });
}

Exchange PanelClient::waitFor(const std::function<bool()> &startRequest)
{
    std::optional<Exchange> done;
    QEventLoop loop;
    // Connected before the request starts, so an end reported at once is
    // not missed.
    const auto connection = connect(this, &PanelClient::finished, &loop, [&](const Exchange &result) {
        done = result;
        loop.quit();
    });
    if (!startRequest()) {
        disconnect(connection);
        Exchange refused;
        refused.outcome = Exchange::NotSent;
        refused.error = lastError;
        return refused;
    }
    if (!done)
        loop.exec();
    disconnect(connection);
    return *done;
}

Drain PanelClient::drainStatus(bool twoByte, quint8 router)
{
    const quint8 command = twoByte ? CommandStatusTwoByte : CommandStatusOneByte;
    Drain drain;
    for (int i = 0; i <= kMaxDrainReplies; ++i) {
        drain.last = exchange(command, router);
        if (!drain.last.ok())
            return drain;
        switch (drain.last.reply.kind) {
        case ReplyKind::Acknowledge:
            drain.complete = true;
            return drain;
        case ReplyKind::NotHandled:
            ++drain.notHandled;
            break;
        default:
            drain.replies.append(drain.last.reply);
            break;
        }
    }
    drain.last.error = QStringLiteral("stopped after %1 replies: the server keeps reporting changes").arg(kMaxDrainReplies + 1);
    return drain;
}

} // namespace marlin::panel
