#pragma once

#include "router_config.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>

class QTcpServer;
class QTcpSocket;
class QUdpSocket;

// Moves a simulated router's bytes. Each party that talks to the router (a
// TCP connection, a UDP sender, the pty) is a channel with its own number, so
// every party has its own receive buffer and gets its own answers.
class SimTransport : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~SimTransport() override = default;

    virtual bool open(QString *error) = 0;
    virtual void close() = 0;
    virtual void send(int channel, const QByteArray &bytes) = 0;
    virtual void sendAll(const QByteArray &bytes) = 0;
    // Cuts every party off, as a pulled cable or a router reboot would.
    virtual void drop() = 0;

    virtual int channelCount() const = 0;
    virtual quint16 localPort() const { return 0; }
    virtual QString devicePath() const { return {}; }
    // Where the router can be reached, for people.
    virtual QString where() const = 0;

signals:
    void received(int channel, const QByteArray &bytes);
    void channelClosed(int channel);
    void notice(const QString &text);
};

std::unique_ptr<SimTransport> makeTransport(const RouterConfig &config);

// Listens on address:port and serves every accepted connection.
class TcpTransport : public SimTransport
{
    Q_OBJECT
public:
    TcpTransport(const QHostAddress &address, quint16 port);
    ~TcpTransport() override;

    bool open(QString *error) override;
    void close() override;
    void send(int channel, const QByteArray &bytes) override;
    void sendAll(const QByteArray &bytes) override;
    void drop() override;
    int channelCount() const override { return static_cast<int>(sockets.size()); }
    quint16 localPort() const override;
    QString where() const override;

private:
    void accept();
    void forget(int channel);

    QHostAddress address;
    quint16 port;
    QTcpServer *server = nullptr;
    QHash<int, QTcpSocket *> sockets;
    int nextChannel = 1;
};

// Bound to address:port; every sender is a party, answered at its own address.
class UdpTransport : public SimTransport
{
    Q_OBJECT
public:
    UdpTransport(const QHostAddress &address, quint16 port);
    ~UdpTransport() override;

    bool open(QString *error) override;
    void close() override;
    void send(int channel, const QByteArray &bytes) override;
    void sendAll(const QByteArray &bytes) override;
    // Forgets every sender: unasked reports go nowhere until one speaks again.
    void drop() override;
    int channelCount() const override { return static_cast<int>(peers.size()); }
    quint16 localPort() const override;
    QString where() const override;

private:
    struct Peer
    {
        QHostAddress address;
        quint16 port = 0;
    };

    void readDatagrams();

    QHostAddress address;
    quint16 port;
    QUdpSocket *socket = nullptr;
    QHash<int, Peer> peers;
    QHash<QString, int> channelOfPeer;
    int nextChannel = 1;
};
