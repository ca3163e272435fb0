#pragma once

// The seam between the links and the languages routers speak. The links
// move bytes, keep the queues and supervise the links; what a command looks
// like, what a router is asked and what its bytes mean is the language's.
// A language is pure code over bytes and a router's table and state: it
// opens no port and keeps no timer, so it is table-tested and fuzzed alone.
//
// A new language is one file pair in src/links (its codec and a
// DeviceLanguage over it) and one row in device_languages.cpp; see
// docs/DEVELOPING.md, "Adding a device language".

#include "links/reply_scan.h"
#include "router/router_table.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>
#include <span>

namespace marlin {

// The Protocol number of a port's settings.
enum Protocol : int {
    ProtocolNone = 0,
    ProtocolLeitch = 1,
    ProtocolImageVideo = 2,
    ProtocolFramed = 3,
};

class DeviceLanguage {
public:
    virtual ~DeviceLanguage() = default;

    // How the link messages name a router of this language
    // ("Communication lost with <routerName> on ...").
    virtual QString routerName() const = 0;

    // ---- Commands --------------------------------------------------------
    // Wraps one message body in the language's framing (terminator,
    // length, checksum, escaping); every command below is framed this way.
    virtual QByteArray frame(QByteArrayView body) const = 0;
    // The take of a take string; empty when the language cannot carry it
    // (an empty command is never queued).
    virtual QByteArray buildTake(QByteArrayView takeString) const = 0;
    // Why a take string cannot be carried, one sentence each, for the error
    // log; empty when it can or when there is nothing worth saying.
    virtual QStringList takeRefusals(QByteArrayView takeString) const;

    // ---- What the router is asked ---------------------------------------
    // When its link starts, comes back, or its connection opens. A language
    // whose router reports everything by itself on connect asks nothing.
    virtual QList<QByteArray> firstRequests(RouterState &state, const RouterTable &table, int level) const;
    // Whether a router silent for a while is polled to keep it talking,
    // and the next poll (one a link check).
    virtual bool pollsWhenSilent() const;
    virtual QByteArray nextPoll(RouterState &state, const RouterTable &table, int level) const;
    // A full status walk asked one destination at a time and moved on by
    // the answer to each query (state.PollActive while it runs): the query
    // for a destination, and the index past which the walk closes on
    // destination 1. walkLength 0: the language has no such walk.
    virtual int walkLength() const;
    virtual QByteArray statusQuery(int destination) const;

    // ---- What the router says -------------------------------------------
    // Cuts every complete line or frame off the front of rxBuffer (an
    // incomplete one stays for the next call) into crosspoint reports.
    // accepted is the link evidence: the router answered in its language,
    // which keeps the link alive even when nothing usable was reported.
    virtual ReplyScan decode(QByteArray &rxBuffer, const RouterTable &table) const = 0;

    // ---- Timing -----------------------------------------------------------
    // The least time between two sends on a serial line.
    virtual int sendSpacingMs() const = 0;
};

// One row of the language table: a Protocol number, its language, and the
// kinds of port it may run on.
struct LanguageRow {
    int protocol = ProtocolNone;
    // How the settings files, --check-config and the windows name it.
    const char *name = "";
    const DeviceLanguage *language = nullptr;
    bool onComm = false;
    bool onNetwork = false;
};

// Every language the server speaks.
std::span<const LanguageRow> LanguageTable();
// The name of the language of a protocol number ("Leitch"), empty for a
// number no language has; and every language as "1 Leitch, 2 ...".
QString LanguageName(int protocol);
QString LanguageList();
// The language of a Protocol number, nullptr when the server speaks none
// by that number.
const DeviceLanguage *LanguageFor(int protocol);
// The language of a Protocol number on a kind of port, nullptr when there
// is none or it may not run there.
const DeviceLanguage *LanguageFor(int protocol, bool isNetwork);
// Whether the server speaks a language by that number.
bool isRouterProtocol(int protocol);

// Serial spacing for a port that speaks no language (or serves no router).
constexpr int kDefaultSpacingMs = 15;

} // namespace marlin
