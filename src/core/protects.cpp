#include "protects.h"

#include "config/ini_file.h"
#include "router/router_table.h"

#include <QRegularExpression>
#include <QUrl>

namespace marlin {

namespace {
const QString kSection = QStringLiteral("Protects");

QString protectKey(const ProtectKey &key)
{
    return QStringLiteral("Router_%1_Output_%2").arg(key.first).arg(key.second);
}
// Owners are kept as UTF-8 with every byte outside plain ASCII letters,
// digits, blanks and "-._~" written as %XX: the file is Windows-1252 text,
// and a user name may hold any character.
QString encodeOwner(const QString &owner)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(owner, " "));
}

QString decodeOwner(const QString &stored)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(stored.toLatin1()));
}
} // namespace

bool sameUserName(const QString &a, const QString &b)
{
    const QString left = trimSpaces(a);
    return !left.isEmpty() && left.compare(trimSpaces(b), Qt::CaseInsensitive) == 0;
}

bool LoadProtects(const QString &file, ProtectTable &protects, QString *failure)
{
    protects.clear();
    const IniDocument doc = IniDocument::load(file);
    QString problem;
    if (!doc.readError().isEmpty()) {
        problem = QStringLiteral("The protect file %1 could not be read (%2). No destination is protected, and "
                                 "protects are not saved until it can be read.")
                      .arg(file, doc.readError());
    } else {
        static const QRegularExpression keyPattern(QStringLiteral("^Router_(\\d{1,3})_Output_(\\d{1,3})$"),
                                                   QRegularExpression::CaseInsensitiveOption);
        for (const IniDocument::Outline &section : doc.outline()) {
            if (section.section.compare(kSection, Qt::CaseInsensitive) != 0)
                continue;
            for (const QString &key : section.keys) {
                const QRegularExpressionMatch match = keyPattern.match(trimSpaces(key));
                const int r = match.hasMatch() ? match.captured(1).toInt() : 0;
                const int d = match.hasMatch() ? match.captured(2).toInt() : 0;
                const QString owner = trimSpaces(decodeOwner(doc.value(kSection, key, QString())));
                if (!isRouterNumber(r) || !isPointNumber(d) || owner.isEmpty()) {
                    problem = QStringLiteral("The protect file %1 holds an entry that names no router output or "
                                             "no owner; it is left out.")
                                  .arg(file);
                    continue;
                }
                protects.insert({r, d}, owner);
            }
        }
    }
    if (failure)
        *failure = problem;
    return problem.isEmpty();
}

bool SaveProtects(const QString &file, const ProtectTable &protects, QString *error)
{
    // A file that is there but cannot be read is never replaced: what it
    // holds would be lost.
    const IniDocument existing = IniDocument::load(file);
    if (!existing.readError().isEmpty()) {
        if (error)
            *error = QStringLiteral("%1 could not be read (%2)").arg(file, existing.readError());
        return false;
    }
    IniDocument doc;
    for (auto it = protects.cbegin(); it != protects.cend(); ++it)
        doc.setValue(kSection, protectKey(it.key()), encodeOwner(it.value()));
    return doc.save(file, error);
}

} // namespace marlin
