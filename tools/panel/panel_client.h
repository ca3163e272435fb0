#pragma once

#include "panel_protocol.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <optional>

namespace marlin::panel {

struct Exchange {
    enum Outcome {
        Replied,          // reply holds a well-formed answer to the request
        NoReply,          // nothing came back to the request or to its one retransmission
        ConnectionLost,   // the connection closed or failed while waiting
        BadReply,         // bytes came back with our sequence but make no valid reply
        Cancelled,
        NotSent,          // not connected, or another request still waits
    };
    Outcome outcome = NotSent;
    QByteArray request;   // the bytes sent, sequence included
    int attempts = 0;     // 1, or 2 after a retransmission
    Reply reply;          // when Replied
    QByteArray received;  // raw bytes of the answer, also for BadReply
    int staleReplies = 0; // replies with an earlier sequence that were skipped
    QString error;

    bool ok() const { return outcome == Replied; }
};

struct Drain {
    QList<Reply> replies;     // status and priority replies, in order
    int notHandled = 0;       // routers the server could not report in the form asked
    bool complete = false;    // the acknowledge that ends the drain arrived
    Exchange last;            // the exchange that ended the drain
};

// One panel connection. Requests go out one at a time, each with a sequence
// different from the one before; a request unanswered within the reply
// timeout is sent again once with the same sequence, so the server answers
// it without running it twice, and replies carrying an older sequence (the
// late answer to a retransmitted request) are skipped.
//
// The waiting calls run the thread's event loop while they wait, so a
// server in the same thread keeps serving.
class PanelClient : public QObject {
    Q_OBJECT

public:
    static constexpr int kDefaultReplyTimeoutMs = 2000;
    static constexpr int kDefaultConnectTimeoutMs = 5000;
    // More status replies than two per router mean the server keeps
    // finding new changes; a drain stops there rather than run forever.
    static constexpr int kMaxDrainReplies = 4 * kRouterCount;

    explicit PanelClient(QObject *parent = nullptr);
    ~PanelClient() override;

    bool connectToServer(const QString &host, quint16 port, int timeoutMs = kDefaultConnectTimeoutMs);
    void disconnectFromServer();
    bool isConnected() const;
    QString errorString() const { return lastError; }

    void setReplyTimeout(int ms) { replyTimeoutMs = ms; }
    int replyTimeout() const { return replyTimeoutMs; }
    // The sequence the next request carries; later ones count up from it.
    void setNextSequence(quint32 sequence) { nextSequence = sequence; }
    quint32 peekNextSequence() const { return nextSequence; }

    // Starts a request; finished() reports its end. False when not connected
    // or while another request waits.
    bool send(quint8 command, quint8 router, const QByteArray &payload = {});
    // Any bytes after the sequence; the reply is framed but not checked
    // against a command.
    bool sendRaw(const QByteArray &afterSequence);
    bool busy() const { return pending.has_value(); }
    // Ends the waiting request as Cancelled.
    void cancel();

    // send() or sendRaw() and wait for the end.
    Exchange exchange(quint8 command, quint8 router, const QByteArray &payload = {});
    Exchange exchangeRaw(const QByteArray &afterSequence);

    // Status requests until the server acknowledges that nothing is left.
    Drain drainStatus(bool twoByte, quint8 router = 1);

signals:
    void finished(const marlin::panel::Exchange &result);
    // Each write of a request, the retransmission included.
    void requestSent(const QByteArray &bytes, int attempt);
    // Each piece of a reply as one read returned it.
    void bytesArrived(const QByteArray &bytes);

private:
    struct Pending {
        Exchange result;
        bool raw = false;
        quint8 command = 0;
        quint8 router = 0;
    };

    bool start(Pending request);
    Exchange waitFor(const std::function<bool()> &startRequest);
    void onReadyRead();
    void onReplyTimeout();
    void onSettled();
    void onConnectionEnded();
    void finish(Exchange::Outcome outcome, const QString &error = {});
    void writePending();

    QTcpSocket socket;
    QTimer replyTimer;
    QTimer settleTimer;
    QByteArray buffer;
    std::optional<Pending> pending;
    quint32 nextSequence;
    int replyTimeoutMs = kDefaultReplyTimeoutMs;
    QString lastError;
};

} // namespace marlin::panel
