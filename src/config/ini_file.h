#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

namespace marlin {

// Longest value a read returns. The files are read through a 255-character
// buffer, terminator included, and other tools that share them read them
// the same way, so a longer value would come back cut.
constexpr int kIniReadLimit = 254;

// An INI file held in memory with the rules the server's files rely on:
// section and key names match without regard to case, the first match wins,
// a missing section or key is created, an existing key is replaced in place,
// and every other line keeps its bytes. Text is Windows-1252 on disk.
class IniDocument {
public:
    static IniDocument fromBytes(const QByteArray &bytes);
    // A missing file gives an empty document. So does a file that exists but
    // cannot be read, and then readError() says why: such a document never
    // replaces the file, since its defaults would overwrite what the file holds.
    static IniDocument load(const QString &path);
    QString readError() const { return unreadable; }

    QString value(const QString &section, const QString &key, const QString &defaultValue) const;
    bool hasSection(const QString &section) const { return findSection(section) >= 0; }
    // The names of the sections and of the keys in each, as the file spells
    // them, in file order; the lines before the first section are left out.
    struct Outline {
        QString section;
        QStringList keys;
    };
    QList<Outline> outline() const;
    // The length in bytes of the value as the file holds it, before a read
    // cuts it to kIniReadLimit, without the blanks that end it; -1 when the
    // key is missing.
    qsizetype storedLength(const QString &section, const QString &key) const;
    // Carriage returns and line feeds in value become spaces.
    void setValue(const QString &section, const QString &key, const QString &value);

    QByteArray toBytes() const;
    // Writes a temporary file beside path and renames it over path, so a
    // failed write leaves the old file whole. False, with the reason in
    // error, when that failed or the document came from a file that could
    // not be read.
    bool save(const QString &path, QString *error = nullptr) const;

private:
    struct Section {
        QByteArray header;        // the "[name]" line with its line end; empty for the lines before any section
        QList<QByteArray> lines;  // each with its own line end
    };

    int findSection(const QString &section) const;
    static int findKey(const Section &section, const QByteArray &lowerKey);
    void indexSection(int index);

    QList<Section> sections;
    QString unreadable;
    QHash<QByteArray, int> firstSection; // lower-case name -> index in sections
};

// One key of an INI file; see IniDocument for the rules.
QString ReadIniValue(const QString &file, const QString &section, const QString &key,
                     const QString &defaultValue);
// Leaves a file that exists but cannot be read as it is.
void WriteIniValue(const QString &file, const QString &section, const QString &key,
                   const QString &value);

// Removes spaces (not other blanks) at both ends, as the settings readers do.
QString trimSpaces(const QString &text);

} // namespace marlin
