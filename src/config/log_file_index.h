#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <vector>

namespace marlin {

// Where each line of a log file ends, built a slice at a time so that a
// reader on the server's one thread never holds up the panels, even for a
// file of a hundred megabytes, and extended as the server appends. Only the
// offsets stay in memory; the text of a line is read back from the file when
// someone looks at it. The file is opened and closed within each call, so
// the server's own appends (and an editor) are never in its way.
//
// Lines end with LF (the logs write CR LF; the CR is dropped when a line is
// read). A last line without its line end counts as a line, and grows when
// the rest of it arrives.
class LogFileIndex {
public:
    // What changed on disk since the last look.
    enum class Change {
        None,
        Grown,    // more bytes after the indexed ones: indexMore reads them
        Replaced, // appeared, vanished, replaced, shrunk or rewritten: reset()
    };

    explicit LogFileIndex(QString path);

    const QString &path() const { return filePath; }
    // Whether the file was there at the last look (poll or indexMore).
    bool exists() const { return present; }

    // Looks at the file without reading more than one byte of it.
    Change poll();
    // Forgets every line and starts again from the beginning of the file.
    void reset();
    // Indexes at most maxBytes more of the file. True when it stopped at
    // maxBytes, so there may be more; false when it reached the end.
    bool indexMore(qint64 maxBytes);

    qsizetype lineCount() const;
    // True when the last line has no line end yet (it may still grow).
    bool lastLineOpen() const { return indexedEnd > lastLineEnd(); }
    qint64 indexedSize() const { return indexedEnd; }
    // The line with the most bytes so far, or -1: the widest a view needs.
    qsizetype longestLine() const;

    // Line i (from 0) without its line end, from Windows-1252; at most
    // kMaxLineBytes of it. Empty outside 0..lineCount()-1 or when the file
    // cannot be read.
    QString line(qsizetype i);
    static constexpr qint64 kMaxLineBytes = 64 * 1024;

    // One step of a search: the first line from `from` on that contains
    // text, looking at about maxBytes of the file (whole lines, at least
    // one). A text with a line break is never found.
    struct FindStep {
        qsizetype found = -1; // the line, or -1
        qsizetype next = -1;  // where to go on when not found; -1 at the end
    };
    FindStep findStep(const QString &text, qsizetype from, qint64 maxBytes,
                      Qt::CaseSensitivity cs = Qt::CaseInsensitive);
    // The whole search in one call: the first line from `from` on that
    // contains text, or -1.
    qsizetype find(const QString &text, qsizetype from, Qt::CaseSensitivity cs = Qt::CaseInsensitive);

private:
    qint64 lineStart(qsizetype i) const { return i == 0 ? 0 : ends[size_t(i - 1)]; }
    qint64 lineEnd(qsizetype i) const;
    qint64 lastLineEnd() const { return ends.empty() ? 0 : ends.back(); }
    // Bytes [from, from + count) of the file, through a small window kept
    // from the last read: the view asks for neighbouring lines one by one.
    QByteArray bytesAt(qint64 from, qint64 count);

    QString filePath;
    bool present = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 indexedEnd = 0;
    char lastByte = 0;           // the byte before indexedEnd, to notice a rewrite
    std::vector<qint64> ends;    // just past the LF of each complete line
    qsizetype longest = -1;      // the longest complete line
    QByteArray window;
    qint64 windowStart = 0;
};

} // namespace marlin
