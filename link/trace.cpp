#include "link/trace.h"

#include <QDebug>

namespace {

TraceSink &sink()
{
    static TraceSink current;
    return current;
}

} // namespace

void trace(const QString &text)
{
    trace(TraceLevel::Info, QString(), text);
}

void trace(TraceLevel level, const QString &node, const QString &text)
{
    if (const TraceSink &s = sink())
        s(TraceLine{level, node, text});
    else
        qDebug().noquote() << text;
}

TraceSink setTraceSink(TraceSink next)
{
    TraceSink previous = std::move(sink());
    sink() = std::move(next);
    return previous;
}

namespace {

QString escaped(const QByteArray &text, bool backslash)
{
    QString out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || (b >= 0x7f && b < 0xa0))
            out += QString::asprintf("\\x%02x", b);
        else if (b == '\\' && backslash)
            out += QStringLiteral("\\\\");
        else
            out += QChar(b); // Latin-1
    }
    return out;
}

} // namespace

QString printable(const QByteArray &text)
{
    return escaped(text, true);
}

QString shownText(const QByteArray &text)
{
    return escaped(text, false);
}
