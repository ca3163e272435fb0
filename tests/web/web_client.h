#pragma once

// The far end of the web face as the tests play it: plain HTTP/1.1 and a
// WebSocket reader, on real sockets, every wait keeping the event loop
// running so the server in the same process answers.

#include <QCryptographicHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>

namespace websupport {

struct HttpAnswer {
    int status = 0;
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QString error() const { return json().value(QStringLiteral("error")).toString(); }
};

// Reads one response from pending bytes: nullopt until it is complete.
inline std::optional<HttpAnswer> takeAnswer(QByteArray &pending)
{
    const qsizetype end = pending.indexOf("\r\n\r\n");
    if (end < 0)
        return std::nullopt;
    HttpAnswer answer;
    const QList<QByteArray> lines = pending.left(end).split('\n');
    const QList<QByteArray> statusLine = lines.first().trimmed().split(' ');
    answer.status = statusLine.size() > 1 ? statusLine[1].toInt() : 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            answer.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
    }
    const qsizetype length = answer.headers.value("content-length", "0").toLongLong();
    if (pending.size() < end + 4 + length)
        return std::nullopt;
    answer.body = pending.mid(end + 4, length);
    pending.remove(0, end + 4 + length);
    return answer;
}

// One keep-alive connection; from is the local address to connect from
// (any 127.x.y.z address reaches the loopback listener).
class WebClient {
public:
    explicit WebClient(quint16 port, const QHostAddress &from = QHostAddress::LocalHost) : port(port), from(from) {}

    HttpAnswer request(const QByteArray &method, const QByteArray &target, const QByteArray &body = {},
                       const QByteArray &token = {}, const QByteArray &extraHeaders = {})
    {
        QByteArray bytes = method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        if (!token.isEmpty())
            bytes += "Authorization: Bearer " + token + "\r\n";
        if (!body.isEmpty() || method == "POST" || method == "PUT")
            bytes += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
        bytes += extraHeaders + "\r\n" + body;
        return send(bytes);
    }

    // Sends raw bytes and waits for one whole response (status 0 when none came).
    HttpAnswer send(const QByteArray &bytes, int timeoutMs = 10000)
    {
        connectIfNeeded();
        socket.write(bytes);
        std::optional<HttpAnswer> answer;
        [[maybe_unused]] const bool done = QTest::qWaitFor([&] {
            pending += socket.readAll();
            answer = takeAnswer(pending);
            return answer.has_value() || socket.state() == QAbstractSocket::UnconnectedState;
        }, timeoutMs);
        if (!answer) {
            pending += socket.readAll();
            answer = takeAnswer(pending);
        }
        return answer.value_or(HttpAnswer{});
    }

    QByteArray login(const QString &user, const QString &password)
    {
        const QJsonObject body{{QStringLiteral("user"), user}, {QStringLiteral("password"), password}};
        return request("POST", "/api/v1/login", QJsonDocument(body).toJson(QJsonDocument::Compact))
            .json()
            .value(QStringLiteral("token"))
            .toString()
            .toLatin1();
    }

    QTcpSocket socket;
    QByteArray pending;

private:
    void connectIfNeeded()
    {
        if (socket.state() == QAbstractSocket::ConnectedState)
            return;
        socket.abort();
        pending.clear();
        if (from != QHostAddress::LocalHost)
            socket.bind(from);
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(5000))
            QTest::qFail(qPrintable(QStringLiteral("WebClient could not connect to port %1: %2")
                                        .arg(port)
                                        .arg(socket.errorString())),
                         __FILE__, __LINE__);
    }

    quint16 port;
    QHostAddress from;
};

// A WebSocket client that reads the server's text messages.
class EventClient {
public:
    // Sends the upgrade and returns the handshake's answer (101 when accepted).
    HttpAnswer open(quint16 port, const QByteArray &target, int receiveBuffer = 0,
                    const QHostAddress &from = {}, const QByteArray &extraHeaders = {})
    {
        if (!from.isNull())
            socket.bind(from);
        // A reader that falls behind: the socket takes in only so much
        // until the test reads it.
        if (receiveBuffer > 0) {
            socket.setReadBufferSize(receiveBuffer);
            socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, receiveBuffer);
        }
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(5000))
            QTest::qFail(qPrintable(QStringLiteral("EventClient could not connect to port %1: %2")
                                        .arg(port)
                                        .arg(socket.errorString())),
                         __FILE__, __LINE__);
        socket.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" + extraHeaders + "\r\n");
        std::optional<HttpAnswer> answer;
        [[maybe_unused]] const bool done = QTest::qWaitFor([&] {
            pending += socket.readAll();
            answer = takeAnswer(pending);
            return answer.has_value() || socket.state() == QAbstractSocket::UnconnectedState;
        }, 10000);
        return answer.value_or(HttpAnswer{});
    }

    // Text messages received so far (reads what has come).
    const QList<QByteArray> &messages()
    {
        pending += socket.readAll();
        for (;;) {
            if (pending.size() < 2)
                break;
            const int opcode = quint8(pending[0]) & 0x0F;
            quint64 length = quint8(pending[1]) & 0x7F;
            qsizetype header = 2;
            if (length == 126) {
                if (pending.size() < 4)
                    break;
                length = (quint64(quint8(pending[2])) << 8) | quint8(pending[3]);
                header = 4;
            } else if (length == 127) {
                if (pending.size() < 10)
                    break;
                length = 0;
                for (int i = 2; i < 10; ++i)
                    length = (length << 8) | quint8(pending[i]);
                header = 10;
            }
            if (quint64(pending.size()) < header + length)
                break;
            if (opcode == 1)
                received.append(pending.mid(header, qsizetype(length)));
            if (opcode == 8 && length >= 2)
                closeStatus = quint8(pending[header]) << 8 | quint8(pending[header + 1]);
            pending.remove(0, header + qsizetype(length));
        }
        return received;
    }

    // The first message of a type that holds every pair given, as JSON.
    QJsonObject find(const QJsonObject &wanted)
    {
        for (const QByteArray &text : messages()) {
            const QJsonObject message = QJsonDocument::fromJson(text).object();
            bool all = true;
            for (auto it = wanted.begin(); it != wanted.end() && all; ++it)
                all = message.value(it.key()) == it.value();
            if (all)
                return message;
        }
        return {};
    }

    QTcpSocket socket;
    // The status of the server's close frame, 0 until one came.
    int closeStatus = 0;

private:
    QByteArray pending;
    QList<QByteArray> received;
};

// Destination d of router r as GET /api/v1/routers/{r} gives it (empty
// when the answer has none).
inline QJsonObject destinationOf(WebClient &client, const QByteArray &token, int r, int d)
{
    const QJsonArray list = client.request("GET", "/api/v1/routers/" + QByteArray::number(r), {}, token)
                                .json()
                                .value(QStringLiteral("destinations"))
                                .toArray();
    for (const QJsonValue &entry : list) {
        if (entry.toObject().value(QStringLiteral("number")).toInt() == d)
            return entry.toObject();
    }
    return {};
}

} // namespace websupport
