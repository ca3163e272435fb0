#pragma once

#include "router_dialect.h"

// A Leitch router: CR-terminated ASCII commands, 0-based upper-case hex numbers.
//
//   "@ X:" levels "/" dest "," src    take on every listed level; one "S:" line per level
//   "@ X?" level dest                 report one destination
//   "@ S?" level                      report every destination of the report range
//   "@ ?"                             a bare prompt line, no status
//   reply: "S:" level dest "," src CR, optionally led by LF and '>' as the
//   routers' own prompts do.
class LeitchDialect : public RouterDialect
{
public:
    explicit LeitchDialect(bool prompt) : prompt(prompt) {}

    QList<Exchange> consume(QByteArray &buffer, CrosspointTable &table) const override;
    // Unasked reports name level 0: one table serves every level.
    QByteArray statusReport(int destination, int source) const override;
    bool isTerminator(char byte) const override { return byte == '\r'; }
    QString display(const QByteArray &bytes) const override;

    QByteArray statusLine(char level, int destination, int source) const;

private:
    Exchange answer(const QByteArray &line, CrosspointTable &table) const;

    bool prompt;
};
