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
class LeitchDialect : public LineDialect
{
public:
    explicit LeitchDialect(bool prompt) : prompt(prompt) {}

    // Unasked reports name level 0: one table serves every level.
    QByteArray statusReport(int destination, int source) const override;
    QString display(const QByteArray &bytes) const override;

    QByteArray statusLine(char level, int destination, int source) const;

protected:
    Exchange answer(const QByteArray &line, CrosspointTable &table) const override;

private:

    bool prompt;
};
