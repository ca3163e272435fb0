#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

namespace marlin {

class Server;

// A face: a protocol through which people, panels or other systems reach the
// server (the web panel and its API, and any face to come). A face turns its
// protocol's requests into the front door's operations (Server::take,
// setHold, apply, the views) and follows the server's change signals; it
// keeps no rule of its own.
//
// A face is made over a server and registers itself with it. The server
// opens it when it starts active and at a promotion, and closes it at a
// demotion: a standby serves no face. At a promotion the old active may
// still hold the address a moment, so a listener that cannot bind is tried
// again every second for Server::kBindRetries seconds and reported only
// then; at the start it is reported at once.
class Face : public QObject {
    Q_OBJECT

public:
    explicit Face(Server &server, QObject *parent = nullptr);
    ~Face() override;

    // Binds the listener (once the server is active): true when it listens
    // afterwards. A face that is not configured to listen returns false and
    // reports nothing.
    bool open() { return listen(true); }
    // At a promotion: tries again every second until it listens or the
    // retries run out, reporting only the last failure.
    void openAfterPromotion();
    // Closes the listener and every connection.
    void close();

protected:
    // The face's own listening: binds as its settings say. report says
    // whether a failure is logged now. True when it listens afterwards (or
    // listened already).
    virtual bool listen(bool report) = 0;
    // Closes the listener and every connection; nothing when closed.
    virtual void closeAll() = 0;
    // Whether the settings ask this face to listen at all.
    virtual bool wanted() const = 0;

    Server &server;

private:
    QTimer bindRetry;
    int bindRetriesLeft = 0;
};

} // namespace marlin
