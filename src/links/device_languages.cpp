// The table of the languages the server speaks: one row per language.
#include "links/device_language.h"

#include "links/framed.h"
#include "links/image_video.h"
#include "links/leitch.h"

#include <algorithm>

namespace marlin {

namespace {

// Every language here runs on comm and network ports alike.
const LanguageRow kLanguages[] = {
    {ProtocolLeitch, "Leitch", &LeitchLanguage(), true, true},
    {ProtocolImageVideo, "Image Video 9540", &ImageVideoLanguage(), true, true},
    {ProtocolFramed, "framed dialect", &FramedLanguage(), true, true},
};

const LanguageRow *rowFor(int protocol)
{
    const auto *row = std::find_if(std::begin(kLanguages), std::end(kLanguages),
                                   [protocol](const LanguageRow &r) { return r.protocol == protocol; });
    return row == std::end(kLanguages) ? nullptr : row;
}

} // namespace

QStringList DeviceLanguage::takeRefusals(QByteArrayView) const { return {}; }
QList<QByteArray> DeviceLanguage::firstRequests(RouterState &, const RouterTable &, int) const { return {}; }
bool DeviceLanguage::pollsWhenSilent() const { return false; }
QByteArray DeviceLanguage::nextPoll(RouterState &, const RouterTable &, int) const { return {}; }
int DeviceLanguage::walkLength() const { return 0; }
QByteArray DeviceLanguage::statusQuery(int) const { return {}; }

std::span<const LanguageRow> LanguageTable() { return kLanguages; }

QString LanguageName(int protocol)
{
    const LanguageRow *row = rowFor(protocol);
    return row ? QString::fromLatin1(row->name) : QString();
}

QString LanguageList()
{
    QStringList names;
    for (const LanguageRow &row : kLanguages)
        names.append(QStringLiteral("%1 %2").arg(row.protocol).arg(QLatin1String(row.name)));
    return names.join(QStringLiteral(", "));
}

const DeviceLanguage *LanguageFor(int protocol)
{
    const LanguageRow *row = rowFor(protocol);
    return row ? row->language : nullptr;
}

const DeviceLanguage *LanguageFor(int protocol, bool isNetwork)
{
    const LanguageRow *row = rowFor(protocol);
    if (!row || !(isNetwork ? row->onNetwork : row->onComm))
        return nullptr;
    return row->language;
}

bool isRouterProtocol(int protocol) { return rowFor(protocol) != nullptr; }

} // namespace marlin
