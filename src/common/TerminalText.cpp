#include "common/TerminalText.h"

namespace nerova {

QString printable(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control) { // C0, DEL and C1
            result += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        } else {
            result += c;
        }
    }
    return result;
}

QString quoted(const QString& text) { return u'"' + printable(text) + u'"'; }

} // namespace nerova
