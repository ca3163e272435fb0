#include "ini_file.h"

#include "convert.h"

#include <QFile>
#include <QSaveFile>

namespace marlin {

namespace {

QByteArray stripLineEnd(const QByteArray &line)
{
    qsizetype n = line.size();
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
        --n;
    return line.left(n);
}

QByteArray trimBlanks(QByteArray text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t'))
        ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t'))
        --end;
    return text.mid(begin, end - begin);
}

// The section name of a header line, or nothing when the line is not one.
std::optional<QByteArray> headerName(const QByteArray &line)
{
    const QByteArray text = trimBlanks(stripLineEnd(line));
    if (!text.startsWith('['))
        return std::nullopt;
    const qsizetype close = text.indexOf(']');
    return trimBlanks(close < 0 ? text.mid(1) : text.mid(1, close - 1));
}

QByteArray lowerKeyOf(const QByteArray &line)
{
    const qsizetype eq = line.indexOf('=');
    if (eq < 0)
        return {};
    return trimBlanks(line.left(eq)).toLower();
}

QByteArray encodeName(const QString &name) { return trimBlanks(toAnsi(name)).toLower(); }

} // namespace

IniDocument IniDocument::fromBytes(const QByteArray &bytes)
{
    IniDocument doc;
    doc.sections.append(Section{});
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', pos);
        end = end < 0 ? bytes.size() : end + 1;
        const QByteArray line = bytes.mid(pos, end - pos);
        pos = end;
        if (headerName(line)) {
            doc.sections.append(Section{line, {}});
            doc.indexSection(int(doc.sections.size() - 1));
        } else {
            doc.sections.last().lines.append(line);
        }
    }
    return doc;
}

IniDocument IniDocument::load(const QString &path)
{
    QFile file(path);
    if (!file.exists())
        return fromBytes({});
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        IniDocument doc = fromBytes({});
        doc.unreadable = file.errorString();
        return doc;
    }
    return fromBytes(bytes);
}

void IniDocument::indexSection(int index)
{
    const QByteArray name = headerName(sections[index].header).value_or(QByteArray()).toLower();
    if (!firstSection.contains(name))
        firstSection.insert(name, index);
}

int IniDocument::findSection(const QString &section) const
{
    return firstSection.value(encodeName(section), -1);
}

int IniDocument::findKey(const Section &section, const QByteArray &lowerKey)
{
    for (int i = 0; i < section.lines.size(); ++i) {
        if (!lowerKey.isEmpty() && lowerKeyOf(stripLineEnd(section.lines[i])) == lowerKey)
            return i;
    }
    return -1;
}

QList<IniDocument::Outline> IniDocument::outline() const
{
    QList<Outline> result;
    for (const Section &section : sections) {
        const std::optional<QByteArray> name = headerName(section.header);
        if (!name)
            continue;
        Outline entry{fromAnsi(*name), {}};
        for (const QByteArray &line : section.lines) {
            const QByteArray text = stripLineEnd(line);
            const qsizetype eq = text.indexOf('=');
            const QByteArray key = eq < 0 ? QByteArray() : trimBlanks(text.left(eq));
            if (!key.isEmpty() && !key.startsWith(';'))
                entry.keys.append(fromAnsi(key));
        }
        result.append(entry);
    }
    return result;
}

QString IniDocument::value(const QString &section, const QString &key, const QString &defaultValue) const
{
    const int s = findSection(section);
    if (s < 0)
        return defaultValue.left(kIniReadLimit);
    const int k = findKey(sections[s], encodeName(key));
    if (k < 0)
        return defaultValue.left(kIniReadLimit);
    const QByteArray line = stripLineEnd(sections[s].lines[k]);
    return fromAnsi(line.mid(line.indexOf('=') + 1).left(kIniReadLimit));
}

qsizetype IniDocument::storedLength(const QString &section, const QString &key) const
{
    const int s = findSection(section);
    const int k = s < 0 ? -1 : findKey(sections[s], encodeName(key));
    if (k < 0)
        return -1;
    QByteArray line = stripLineEnd(sections[s].lines[k]);
    while (line.endsWith(' ') || line.endsWith('\t'))
        line.chop(1);
    return line.size() - line.indexOf('=') - 1;
}

void IniDocument::setValue(const QString &section, const QString &key, const QString &value)
{
    QString flat = value;
    flat.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QByteArray line = toAnsi(key) + '=' + toAnsi(flat) + "\r\n";

    // The line before a new line or section must end first.
    const auto terminateLast = [this] {
        for (qsizetype s = sections.size() - 1; s >= 0; --s) {
            QByteArray &last = sections[s].lines.isEmpty() ? sections[s].header : sections[s].lines.last();
            if (last.isEmpty())
                continue;
            if (!last.endsWith('\n'))
                last.append("\r\n");
            return;
        }
    };

    int s = findSection(section);
    if (s < 0) {
        terminateLast();
        sections.append(Section{'[' + toAnsi(section) + "]\r\n", {line}});
        indexSection(int(sections.size() - 1));
        return;
    }
    Section &sec = sections[s];
    const int k = findKey(sec, encodeName(key));
    if (k >= 0) {
        sec.lines[k] = line;
        return;
    }
    // A new key goes after the last non-blank line of its section, so the
    // blank lines that separate sections stay where they are.
    qsizetype at = sec.lines.size();
    while (at > 0 && trimBlanks(stripLineEnd(sec.lines[at - 1])).isEmpty())
        --at;
    if (at > 0 && !sec.lines[at - 1].endsWith('\n'))
        sec.lines[at - 1].append("\r\n");
    else if (at == 0 && !sec.header.endsWith('\n'))
        sec.header.append("\r\n");
    sec.lines.insert(at, line);
}

QByteArray IniDocument::toBytes() const
{
    QByteArray out;
    for (const Section &s : sections) {
        out += s.header;
        for (const QByteArray &line : s.lines)
            out += line;
    }
    return out;
}

bool IniDocument::save(const QString &path, QString *error) const
{
    const auto fail = [error](const QString &reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (!unreadable.isEmpty())
        return fail(QStringLiteral("it could not be read (%1), so it is left as it is").arg(unreadable));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    const QByteArray bytes = toBytes();
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return fail(reason);
    }
    if (!file.commit())
        return fail(file.errorString());
    return true;
}

QString ReadIniValue(const QString &file, const QString &section, const QString &key,
                     const QString &defaultValue)
{
    return IniDocument::load(file).value(section, key, defaultValue);
}

void WriteIniValue(const QString &file, const QString &section, const QString &key,
                   const QString &value)
{
    IniDocument doc = IniDocument::load(file);
    doc.setValue(section, key, value);
    doc.save(file);
}

QString trimSpaces(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == QLatin1Char(' '))
        ++begin;
    while (end > begin && text[end - 1] == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace marlin
