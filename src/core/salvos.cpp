#include "salvos.h"

#include "config/ini_file.h"
#include "router/router_table.h"

#include <QRegularExpression>
#include <QUrl>
#include <algorithm>
#include <optional>

namespace marlin {

namespace {

QString encodeText(const QString &text) { return QString::fromLatin1(QUrl::toPercentEncoding(text, " ")); }
QString decodeText(const QString &stored) { return QString::fromUtf8(QByteArray::fromPercentEncoding(stored.toLatin1())); }

QString sectionName(qsizetype n) { return QStringLiteral("Salvo_%1").arg(n); }

QString takeText(const SalvoTake &take)
{
    QString levels;
    for (int k = 0; k < kTakeLevelCount; ++k) {
        if (take.levels[std::size_t(k)])
            levels += QChar(u'0' + k);
    }
    return QStringLiteral("%1,%2,%3,%4").arg(take.router).arg(take.destination).arg(take.source).arg(levels);
}

std::optional<SalvoTake> parseTake(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,3}),(\\d{1,3}),(\\d{1,3}),([0-7]{1,8})$"));
    const QRegularExpressionMatch match = pattern.match(trimSpaces(text));
    if (!match.hasMatch())
        return std::nullopt;
    SalvoTake take{match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt(), {}};
    for (const QChar c : match.captured(4))
        take.levels[std::size_t(c.unicode() - u'0')] = true;
    if (!isRouterNumber(take.router) || !isPointNumber(take.destination) || !isPointNumber(take.source))
        return std::nullopt;
    return take;
}

IniDocument toDocument(const SalvoList &salvos)
{
    IniDocument doc;
    for (qsizetype n = 0; n < salvos.size(); ++n) {
        const Salvo &salvo = salvos[n];
        const QString section = sectionName(n + 1);
        doc.setValue(section, QStringLiteral("Name"), encodeText(salvo.name));
        doc.setValue(section, QStringLiteral("Comment"), encodeText(salvo.comment));
        doc.setValue(section, QStringLiteral("Takes"), QString::number(salvo.takes.size()));
        for (qsizetype k = 0; k < salvo.takes.size(); ++k)
            doc.setValue(section, QStringLiteral("Take_%1").arg(k + 1), takeText(salvo.takes[k]));
    }
    return doc;
}

} // namespace

bool SalvoTextsFit(const Salvo &salvo)
{
    const IniDocument doc = IniDocument::fromBytes(toDocument({salvo}).toBytes());
    return decodeText(doc.value(sectionName(1), QStringLiteral("Name"), QString())) == salvo.name
           && decodeText(doc.value(sectionName(1), QStringLiteral("Comment"), QString())) == salvo.comment;
}

bool LoadSalvos(const QString &file, SalvoList &salvos, QString *failure)
{
    salvos.clear();
    const IniDocument doc = IniDocument::load(file);
    QString problem;
    if (!doc.readError().isEmpty()) {
        problem = QStringLiteral("The salvo file %1 could not be read (%2). No salvo is loaded, and salvos are not "
                                 "saved until it can be read.")
                      .arg(file, doc.readError());
    } else {
        for (const IniDocument::Outline &outline : doc.outline()) {
            if (!outline.section.startsWith(QStringLiteral("Salvo_"), Qt::CaseInsensitive))
                continue;
            const QString &section = outline.section;
            Salvo salvo;
            salvo.name = trimSpaces(decodeText(doc.value(section, QStringLiteral("Name"), QString())));

            salvo.comment = decodeText(doc.value(section, QStringLiteral("Comment"), QString()));
            bool countOk = false;
            const int count = trimSpaces(doc.value(section, QStringLiteral("Takes"), QString())).toInt(&countOk);
            bool sound = countOk && count >= 1 && count <= kSalvoTakeLimit && !salvo.name.isEmpty()
                         && std::none_of(salvos.begin(), salvos.end(), [&](const Salvo &s) { return s.name == salvo.name; });
            for (int k = 1; sound && k <= count; ++k) {
                const std::optional<SalvoTake> take
                    = parseTake(doc.value(section, QStringLiteral("Take_%1").arg(k), QString()));
                if (!take)
                    sound = false;
                else
                    salvo.takes.append(*take);
            }
            if (!sound) {
                problem = QStringLiteral("The salvo file %1 holds an unsound salvo in [%2]; it is left out, and "
                                             "the next change to the salvos writes the file without it.")
                              .arg(file, section);
                continue;
            }
            salvos.append(salvo);
        }
    }
    if (failure)
        *failure = problem;
    return problem.isEmpty();
}

bool SaveSalvos(const QString &file, const SalvoList &salvos, QString *error)
{
    const IniDocument existing = IniDocument::load(file);
    if (!existing.readError().isEmpty()) {
        if (error)
            *error = QStringLiteral("%1 could not be read (%2)").arg(file, existing.readError());
        return false;
    }
    return toDocument(salvos).save(file, error);
}

} // namespace marlin
