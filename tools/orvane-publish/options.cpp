#include "options.h"

#include <limits>

namespace publish {

bool parseByteCount(const QString& text, quint64& value) {
    QString digits = text.trimmed();
    quint64 factor = 1;
    if (!digits.isEmpty()) {
        const QChar unit = digits.back().toUpper();
        const int shift = unit == QLatin1Char('K')   ? 10
                          : unit == QLatin1Char('M') ? 20
                          : unit == QLatin1Char('G') ? 30
                                                     : 0;
        if (shift != 0) {
            factor = 1ull << shift;
            digits.chop(1);
        }
    }
    bool ok = false;
    const quint64 number = digits.toULongLong(&ok, 10);
    if (!ok || number > std::numeric_limits<quint64>::max() / factor) {
        return false;
    }
    value = number * factor;
    return true;
}

bool parseSwitch(const QString& text, bool& value) {
    const QString lower = text.trimmed().toLower();
    if (lower == QLatin1String("yes") || lower == QLatin1String("true") || lower == QLatin1String("1")) {
        value = true;
        return true;
    }
    if (lower == QLatin1String("no") || lower == QLatin1String("false") || lower == QLatin1String("0")) {
        value = false;
        return true;
    }
    return false;
}

} // namespace publish
