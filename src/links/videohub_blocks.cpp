#include "links/videohub_blocks.h"

namespace marlin {

namespace {

QByteArray withoutCr(QByteArrayView line)
{
    if (line.endsWith('\r'))
        line.chop(1);
    return line.toByteArray();
}

} // namespace

void VideohubCutter::append(QByteArrayView bytes)
{
    buffer.append(bytes.data(), bytes.size());
}

std::optional<VideohubBlock> VideohubCutter::next()
{
    for (;;) {
        // Empty lines between blocks are not blocks.
        qsizetype start = 0;
        while (start < buffer.size()) {
            if (buffer[start] == '\n')
                ++start;
            else if (buffer[start] == '\r' && start + 1 < buffer.size() && buffer[start + 1] == '\n')
                start += 2;
            else
                break;
        }
        if (start > 0) {
            buffer.remove(0, start);
            scanned = 0;
        }
        if (buffer.isEmpty())
            return std::nullopt;

        // The block ends at the first empty line: LF, an optional CR, LF.
        qsizetype end = -1;
        for (qsizetype i = std::max<qsizetype>(scanned, 1); i < buffer.size(); ++i) {
            if (buffer[i] != '\n')
                continue;
            const qsizetype before = buffer[i - 1] == '\r' ? i - 2 : i - 1;
            if (before >= 0 && buffer[before] == '\n') {
                end = i + 1;
                break;
            }
        }
        if (end < 0) {
            scanned = std::max<qsizetype>(buffer.size() - 1, 0);
            if (buffer.size() > kBlockLimit) {
                overflow = true;
                buffer.clear();
                scanned = 0;
            }
            return std::nullopt;
        }

        const QByteArray text = buffer.left(end);
        buffer.remove(0, end);
        scanned = 0;
        QList<QByteArray> lines;
        for (const QByteArray &raw : text.split('\n'))
            lines.append(withoutCr(raw));
        while (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        if (lines.isEmpty())
            continue;
        VideohubBlock block;
        const QByteArray first = lines.takeFirst();
        if (first == "ACK" || first == "NAK") {
            block.header = first;
        } else if (first.endsWith(':') && first.size() > 1) {
            block.header = first.chopped(1);
        } else {
            block.header = first;
            block.malformed = true;
        }
        block.lines = lines;
        return block;
    }
}

std::optional<VideohubIndexedLine> parseVideohubIndexedLine(QByteArrayView line)
{
    const qsizetype space = line.indexOf(' ');
    if (space <= 0 || space > 9)
        return std::nullopt;
    int index = 0;
    for (qsizetype i = 0; i < space; ++i) {
        const char c = line[i];
        if (c < '0' || c > '9')
            return std::nullopt;
        index = index * 10 + (c - '0');
    }
    return VideohubIndexedLine{index, line.sliced(space + 1).toByteArray()};
}

QByteArray writeVideohubBlock(QByteArrayView header, const QList<QByteArray> &lines)
{
    QByteArray out = header.toByteArray() + ":\n";
    for (const QByteArray &line : lines)
        out += line + '\n';
    return out + '\n';
}

} // namespace marlin
