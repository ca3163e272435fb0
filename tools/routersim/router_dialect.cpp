#include "router_dialect.h"

#include "framed_dialect.h"
#include "image_video_dialect.h"
#include "leitch_dialect.h"

QList<QByteArray> RouterDialect::fullReport(const CrosspointTable &table) const
{
    QList<QByteArray> lines;
    for (int d = 1; d <= table.reportedSize(); ++d)
        lines.append(statusReport(d, table.source(d)));
    return lines;
}

QList<Exchange> LineDialect::consume(QByteArray &buffer, CrosspointTable &table) const
{
    QList<Exchange> exchanges;
    qsizetype end;
    while ((end = buffer.indexOf('\r')) >= 0) {
        const QByteArray line = buffer.left(end + 1);
        buffer.remove(0, end + 1);
        exchanges.append(answer(line, table));
    }
    return exchanges;
}

Exchange ignoredCommand(const QByteArray &line, const QString &note)
{
    Exchange exchange;
    exchange.command = line;
    exchange.note = note;
    return exchange;
}

std::unique_ptr<RouterDialect> makeDialect(RouterLanguage language, bool prompt)
{
    switch (language) {
    case RouterLanguage::Leitch: return std::make_unique<LeitchDialect>(prompt);
    case RouterLanguage::ImageVideo: return std::make_unique<ImageVideoDialect>();
    case RouterLanguage::Framed: return std::make_unique<FramedDialect>();
    }
    return nullptr;
}

QString escapeBytes(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\\')
            text += QLatin1String("\\\\");
        else if (b == '\r')
            text += QLatin1String("\\r");
        else if (b == '\n')
            text += QLatin1String("\\n");
        else if (b >= 0x20 && b < 0x7f)
            text += QLatin1Char(c);
        else
            text += QLatin1String("\\x") + QString::number(b, 16).toUpper().rightJustified(2, QLatin1Char('0'));
    }
    return text;
}
