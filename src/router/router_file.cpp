#include "router_file.h"

#include "config/convert.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtEndian>

namespace marlin {

namespace {

class Writer {
public:
    void int16(qint16 v)
    {
        char b[2];
        qToLittleEndian(v, b);
        out.append(b, 2);
    }
    void boolean(bool v) { int16(v ? -1 : 0); }
    void string(const QString &s)
    {
        const QByteArray bytes = toAnsi(s).left(0xFFFF);
        int16(qint16(quint16(bytes.size())));
        out.append(bytes);
    }
    QByteArray out;
};

// Past the end of the bytes every number reads 0 and every string empty.
class Reader {
public:
    explicit Reader(const QByteArray &bytes) : in(bytes) {}
    qint16 int16()
    {
        if (pos + 2 > in.size()) {
            pos = in.size();
            return 0;
        }
        const qint16 v = qFromLittleEndian<qint16>(in.constData() + pos);
        pos += 2;
        return v;
    }
    bool boolean() { return int16() != 0; }
    QString string()
    {
        const qsizetype n = quint16(int16());
        if (pos + n > in.size()) {
            pos = in.size();
            return {};
        }
        const QString s = fromAnsi(in.mid(pos, n));
        pos += n;
        return s;
    }

private:
    const QByteArray &in;
    qsizetype pos = 0;
};

template <typename T, typename F>
void each(T &array, F f)
{
    for (auto &element : array)
        f(element);
}

// One list of the fields in file order, used for reading and for writing,
// so the two can never disagree.
template <typename Io, typename Table>
void transfer(Io &io, Table &t)
{
    io.string(t.Name);
    each(t.SourceVisible, [&](auto &v) { io.boolean(v); });
    each(t.SourcePhysical, [&](auto &v) { io.int16(v); });
    each(t.SourceLabel, [&](auto &v) { io.string(v); });
    each(t.SourceDescription, [&](auto &v) { io.string(v); });
    each(t.SourceIcon, [&](auto &v) { io.string(v); });
    each(t.SourceHyperLink, [&](auto &v) { io.string(v); });
    for (int level = 1; level <= kLevelCount; ++level) {
        for (auto &source : t.SourceLevel)
            io.boolean(source[level]);
    }
    each(t.DestVisible, [&](auto &v) { io.boolean(v); });
    each(t.DestPhysical, [&](auto &v) { io.int16(v); });
    each(t.DestLabel, [&](auto &v) { io.string(v); });
    each(t.DestDescription, [&](auto &v) { io.string(v); });
    each(t.DestIcon, [&](auto &v) { io.string(v); });
    each(t.DestHyperLink, [&](auto &v) { io.string(v); });
    each(t.DestDefaultSource, [&](auto &v) { io.int16(v); });
}

struct WriteIo {
    Writer w;
    void string(const QString &s) { w.string(s); }
    void boolean(bool b) { w.boolean(b); }
    void int16(qint16 v) { w.int16(v); }
};

struct ReadIo {
    Reader r;
    void string(QString &s) { s = r.string(); }
    void boolean(bool &b) { b = r.boolean(); }
    void int16(qint16 &v) { v = r.int16(); }
};

QString boolText(bool b) { return b ? QStringLiteral("True") : QStringLiteral("False"); }

} // namespace

QString RouterTablePath(const QString &appDir, int r)
{
    return appDir + QStringLiteral("/RTR%1.BIN").arg(r);
}

QByteArray SerializeRouterTable(const RouterTable &table)
{
    WriteIo io;
    transfer(io, table);
    return io.w.out;
}

RouterTable DeserializeRouterTable(const QByteArray &bytes)
{
    RouterTable table;
    ReadIo io{Reader(bytes)};
    transfer(io, table);
    return table;
}

bool RouterTableFileExists(const QString &appDir, int r)
{
    return QFileInfo::exists(RouterTablePath(appDir, r));
}

bool ReadRouterTable(const QString &appDir, int r, RouterTable &table, QString *error)
{
    QFile file(RouterTablePath(appDir, r));
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (error)
            *error = file.errorString();
        return false;
    }
    table = DeserializeRouterTable(bytes);
    return true;
}

bool SaveRouterTable(const QString &appDir, int r, const RouterTable &table, QString *error)
{
    QSaveFile file(RouterTablePath(appDir, r));
    const auto fail = [&] {
        if (error)
            *error = file.errorString();
        return false;
    };
    if (!file.open(QIODevice::WriteOnly))
        return fail();
    const QByteArray bytes = SerializeRouterTable(table);
    if (file.write(bytes) != bytes.size()) {
        fail();
        file.cancelWriting();
        return false;
    }
    return file.commit() || fail();
}

RouterTableLoad LoadRouterTables(const QString &appDir, RouterTableArray &tables, LoadMode mode)
{
    RouterTableLoad load;
    for (int r = 1; r <= kRouterCount; ++r) {
        if (!RouterTableFileExists(appDir, r)) {
            CreateDefaultRouterTable(tables[r], r);
            continue;
        }
        QString reason;
        if (ReadRouterTable(appDir, r, tables[r], &reason))
            continue;
        load.unreadable.set(std::size_t(r));
        load.failures.append(QStringLiteral("The router table file %1 could not be read (%2).")
                                 .arg(RouterTablePath(appDir, r), reason));
        if (mode == LoadMode::Startup)
            CreateDefaultRouterTable(tables[r], r);
    }
    return load;
}

QStringList SaveRouterTables(const QString &appDir, const RouterTableArray &tables, const RouterTableSet &unreadable,
                             RouterTableSet *written)
{
    QStringList failures;
    for (int r = 1; r <= kRouterCount; ++r) {
        const QString path = RouterTablePath(appDir, r);
        // The table in memory is not that file's: saving it would replace
        // the operator's table with whatever stood in for it.
        if (unreadable.test(std::size_t(r))) {
            failures.append(QStringLiteral("The router table file %1 was not saved: it could not be read when the "
                                           "tables were loaded.").arg(path));
            continue;
        }
        QString reason;
        if (!SaveRouterTable(appDir, r, tables[r], &reason))
            failures.append(QStringLiteral("The router table file %1 could not be written (%2).").arg(path, reason));
        else if (written)
            written->set(std::size_t(r));
    }
    return failures;
}

QByteArray RouterTableExportText(const RouterTable &t)
{
    QString text;
    for (int s = 0; s <= kPointCount; ++s) {
        if (!t.SourceVisible[s])
            continue;
        text += QStringLiteral("Source\tInput=") + Str(t.SourcePhysical[s])
              + QStringLiteral("\tDescription= ") + t.SourceDescription[s]
              + QStringLiteral("\tHyperLink= ") + t.SourceHyperLink[s]
              + QStringLiteral("\tIcon File= ") + t.SourceIcon[s]
              + QStringLiteral("\tLabel= ") + t.SourceLabel[s];
        for (int level = 1; level <= kLevelCount; ++level)
            text += QStringLiteral("\tLevel %1=").arg(level) + boolText(t.SourceLevel[s][level]);
        text += QStringLiteral("\r\n");
    }
    for (int d = 0; d <= kPointCount; ++d) {
        if (!t.DestVisible[d])
            continue;
        text += QStringLiteral("Destination\tOutput=") + Str(t.DestPhysical[d])
              + QStringLiteral("\tDescription= ") + t.DestDescription[d]
              + QStringLiteral("\tHyperLink= ") + t.DestHyperLink[d]
              + QStringLiteral("\tIcon File= ") + t.DestIcon[d]
              + QStringLiteral("\tLabel= ") + t.DestLabel[d] + QStringLiteral("\r\n");
    }
    return toAnsi(text);
}

bool ExportRouterTable(const QString &path, const RouterTable &table)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray bytes = RouterTableExportText(table);
    return file.write(bytes) == bytes.size();
}

} // namespace marlin
