// Arbitrary bytes as an INI file: read without a fault, written back as they
// came; a value without CR or LF, of at most 254 characters, written under a
// key that appears once, reads back the same; and writing it leaves every
// other line's bytes as they were.

#include "config/convert.h"
#include "config/ini_file.h"
#include "decoder_harness.h"

#include <cstdio>
#include <cstdlib>

using namespace marlin;

// Names the failed condition, for a finding that is read from the log.
#define CHECK(condition)                                                                                    \
    do {                                                                                                    \
        if (!(condition)) {                                                                                 \
            std::fprintf(stderr, "check failed: %s (line %d)\n", #condition, __LINE__);                     \
            std::abort();                                                                                   \
        }                                                                                                   \
    } while (false)

namespace {
QList<QByteArray> lines(const QByteArray &bytes)
{
    QList<QByteArray> out;
    qsizetype at = 0;
    while (at < bytes.size()) {
        const qsizetype end = bytes.indexOf('\n', at);
        const qsizetype next = end < 0 ? bytes.size() : end + 1;
        out.append(bytes.sliced(at, next - at));
        at = next;
    }
    return out;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte splits the input: the file, then the value's bytes.
    const QByteArray all(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    const qsizetype split = std::min<qsizetype>(all.size(), qsizetype(data[0]) * 4);
    const QByteArray file = all.sliced(split);
    const QByteArray valueBytes = all.first(split);

    IniDocument doc = IniDocument::fromBytes(file);
    const QByteArray before = doc.toBytes();
    CHECK(before == file);
    // Reading any key of any section never faults.
    (void)doc.value(QStringLiteral("Com_Port_1"), QStringLiteral("Baud_Rate"), QStringLiteral("6"));
    (void)doc.value(QString::fromLatin1(valueBytes.left(20)), QString::fromLatin1(valueBytes.left(10)), QString());

    // A key that appears once: in a section the file does not have.
    if (file.toLower().contains("fuzz_section"))
        return 0;
    QByteArray printable;
    for (const char c : valueBytes) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 0x20 && u <= 0x7E) || u >= 0xA0)
            printable.append(c);
    }
    const QString value = fromAnsi(printable.left(kIniReadLimit));
    const QString section = QStringLiteral("Fuzz_Section");
    const QString key = QStringLiteral("Fuzz_Key");
    doc.setValue(section, key, value);
    const QByteArray after = doc.toBytes();
    CHECK(IniDocument::fromBytes(after).value(section, key, QStringLiteral("<none>")) == value);

    // Take out the new section and its line: the rest is the file as it
    // was, its last line ended if it was not.
    // (The same bytes may stand as a line elsewhere in the file: the new
    // ones are the last.)
    QList<QByteArray> rest = lines(after);
    for (const QByteArray &added : {"Fuzz_Key=" + toAnsi(value) + "\r\n", QByteArray("[Fuzz_Section]\r\n")}) {
        const qsizetype at = rest.lastIndexOf(added);
        CHECK(at >= 0);
        rest.removeAt(at);
    }
    const QByteArray kept = rest.join();
    CHECK(kept == before || (!before.endsWith('\n') && kept == before + "\r\n"));
    return 0;
}
