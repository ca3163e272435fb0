#pragma once

#include "crosspoint_table.h"
#include "router_config.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

// One complete command cut from a receive buffer and what the router answers.
struct Exchange
{
    QByteArray command;          // as received, terminator included
    QList<QByteArray> replies;   // each a complete line or frame, in sending order
    bool understood = false;     // false: not a command of this language, ignored
    QString note;                // why an ignored command was ignored
};

// The router's side of one device language: pure code over bytes and the
// crosspoint table, so it can be tested without any socket.
class RouterDialect
{
public:
    virtual ~RouterDialect() = default;

    // Cuts every complete command off the front of buffer, applies takes to
    // the table and returns the answers. An incomplete command stays in buffer.
    virtual QList<Exchange> consume(QByteArray &buffer, CrosspointTable &table) const = 0;

    // The report a router sends unasked when a crosspoint changes at its panel.
    virtual QByteArray statusReport(int destination, int source) const = 0;

    // True for the bytes that end a command or reply; noise must avoid them,
    // or a random line could be read as a status report.
    virtual bool isTerminator(char byte) const = 0;

    // The bytes as one readable line for the event log.
    virtual QString display(const QByteArray &bytes) const = 0;

    // Every destination of the table's report range, in order.
    QList<QByteArray> fullReport(const CrosspointTable &table) const;
};

// A language of CR-ended lines: each complete line is answered on its own.
class LineDialect : public RouterDialect
{
public:
    QList<Exchange> consume(QByteArray &buffer, CrosspointTable &table) const override;
    bool isTerminator(char byte) const override { return byte == '\r'; }

protected:
    virtual Exchange answer(const QByteArray &line, CrosspointTable &table) const = 0;
};

// A command the router does not act on, and why (for the event log).
Exchange ignoredCommand(const QByteArray &line, const QString &note);

std::unique_ptr<RouterDialect> makeDialect(RouterLanguage language, bool prompt);

// Printable ASCII kept, backslash doubled, CR and LF as \r and \n, the rest as \xHH.
QString escapeBytes(const QByteArray &bytes);
