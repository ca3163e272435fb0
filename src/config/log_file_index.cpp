#include "log_file_index.h"

#include "convert.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

namespace marlin {

namespace {
constexpr qint64 kWindowBytes = 64 * 1024;
constexpr qint64 kFindBlockBytes = 1024 * 1024;

struct FileId {
    bool present = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
};

FileId identify(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    return {true, quint64(info.st_dev), quint64(info.st_ino), qint64(info.st_size)};
}
} // namespace

LogFileIndex::LogFileIndex(QString path) : filePath(std::move(path))
{
    const FileId id = identify(filePath);
    present = id.present;
    device = id.device;
    inode = id.inode;
}

qsizetype LogFileIndex::lineCount() const
{
    return qsizetype(ends.size()) + (lastLineOpen() ? 1 : 0);
}

qint64 LogFileIndex::lineEnd(qsizetype i) const
{
    return size_t(i) < ends.size() ? ends[size_t(i)] : indexedEnd;
}

LogFileIndex::Change LogFileIndex::poll()
{
    const FileId id = identify(filePath);
    if (id.present != present || (id.present && (id.device != device || id.inode != inode)))
        return Change::Replaced;
    if (!id.present || id.size == indexedEnd)
        return Change::None;
    if (id.size < indexedEnd)
        return Change::Replaced;
    // Appends leave the indexed bytes alone; a file written anew in place
    // (an editor's save) shows in the last byte we indexed.
    if (indexedEnd > 0) {
        QFile file(filePath);
        char now = 0;
        if (!file.open(QIODevice::ReadOnly) || !file.seek(indexedEnd - 1) || file.read(&now, 1) != 1)
            return Change::None;
        if (now != lastByte)
            return Change::Replaced;
    }
    return Change::Grown;
}

void LogFileIndex::reset()
{
    const FileId id = identify(filePath);
    present = id.present;
    device = id.device;
    inode = id.inode;
    indexedEnd = 0;
    lastByte = 0;
    ends.clear();
    longest = -1;
    ends.shrink_to_fit();
    window.clear();
    windowStart = 0;
}

bool LogFileIndex::indexMore(qint64 maxBytes)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        present = false;
        return false;
    }
    present = true;
    if (!file.seek(indexedEnd))
        return false;
    const QByteArray slice = file.read(std::max<qint64>(maxBytes, 1));
    if (slice.isEmpty())
        return false;
    const char *data = slice.constData();
    const char *const stop = data + slice.size();
    for (const char *p = data; p < stop;) {
        const void *lf = std::memchr(p, '\n', size_t(stop - p));
        if (!lf)
            break;
        p = static_cast<const char *>(lf) + 1;
        const qint64 end = indexedEnd + (p - data);
        if (longest < 0 || end - lastLineEnd() > lineEnd(longest) - lineStart(longest))
            longest = qsizetype(ends.size());
        ends.push_back(end);
    }
    indexedEnd += slice.size();
    lastByte = slice.back();
    return slice.size() >= maxBytes;
}

QByteArray LogFileIndex::bytesAt(qint64 from, qint64 count)
{
    const qint64 windowEnd = windowStart + window.size();
    if (from < windowStart || from + count > windowEnd) {
        QFile file(filePath);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        // Half a window before the line as well: a view scrolled upwards
        // asks for the lines above, one after the other.
        const qint64 start = std::max<qint64>(0, std::min(from - kWindowBytes / 2, from));
        const qint64 length = std::max(kWindowBytes, from + count - start);
        if (!file.seek(start))
            return {};
        window = file.read(length);
        windowStart = start;
    }
    return window.mid(from - windowStart, count);
}

qsizetype LogFileIndex::longestLine() const
{
    // A last line still being written counts too.
    if (lastLineOpen() && (longest < 0 || indexedEnd - lastLineEnd() > lineEnd(longest) - lineStart(longest)))
        return qsizetype(ends.size());
    return longest;
}

QString LogFileIndex::line(qsizetype i)
{
    if (i < 0 || i >= lineCount())
        return {};
    const qint64 start = lineStart(i);
    const qint64 length = std::min(lineEnd(i) - start, kMaxLineBytes);
    QByteArray bytes = bytesAt(start, length);
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    if (bytes.endsWith('\r'))
        bytes.chop(1);
    return fromAnsi(bytes);
}

LogFileIndex::FindStep LogFileIndex::findStep(const QString &text, qsizetype from, qint64 maxBytes,
                                              Qt::CaseSensitivity cs)
{
    if (text.isEmpty() || text.contains(QLatin1Char('\n')) || from < 0 || from >= lineCount())
        return {};
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // A block of whole lines: one byte of the file is one character of the
    // text, so a position in the block is a byte offset.
    const qint64 start = lineStart(from);
    const auto past = std::upper_bound(ends.begin(), ends.end(), start + maxBytes);
    const qsizetype last = std::max(from, qsizetype(past - ends.begin()) - 1); // last line ending inside
    const qint64 end = lineEnd(last);
    if (!file.seek(start))
        return {};
    const QString block = fromAnsi(file.read(end - start));
    const qsizetype at = block.indexOf(text, 0, cs);
    if (at >= 0)
        return {qsizetype(std::upper_bound(ends.begin(), ends.end(), start + at) - ends.begin()), -1};
    if (block.size() < end - start || last + 1 >= lineCount())
        return {};
    return {-1, last + 1};
}

qsizetype LogFileIndex::find(const QString &text, qsizetype from, Qt::CaseSensitivity cs)
{
    for (FindStep step{-1, from}; step.next >= 0;) {
        step = findStep(text, step.next, kFindBlockBytes, cs);
        if (step.found >= 0)
            return step.found;
    }
    return -1;
}

} // namespace marlin
