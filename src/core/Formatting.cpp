#include "core/Formatting.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

QString FormatFloat(double value, int precision, int decimals, bool grouping,
                    const QLocale& locale) {
    if (std::isnan(value)) return QStringLiteral("NAN");
    if (std::isinf(value)) return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    if (precision < 1) precision = 1;
    if (precision > 17) precision = 17;
    if (decimals < 0) decimals = 0;

    // Step 1: the nearest decimal with `precision` significant digits.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", precision - 1, value);
    const bool negative = buf[0] == '-';
    std::string digits;
    const char* p = buf + (negative ? 1 : 0);
    for (; *p && *p != 'e'; ++p)
        if (*p >= '0' && *p <= '9') digits += *p;
    const int exp10 = *p == 'e' ? std::atoi(p + 1) : 0;
    const QString point = locale.decimalPoint();

    if (value != 0.0 && exp10 + 1 > precision) {
        // Too many digits before the point for fixed notation.
        while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
        QString out = negative ? QStringLiteral("-") : QString();
        out += QChar(digits[0]);
        if (digits.size() > 1) out += point + QString::fromLatin1(digits.substr(1));
        out += QStringLiteral("E+%1").arg(exp10, 2, 10, QLatin1Char('0'));
        return out;
    }

    // Step 2: those digits, rounded half up to `decimals` fraction digits.
    // Place them in a fixed frame: intDigits before the point.
    const int intDigits = value == 0.0 ? 1 : exp10 + 1;
    std::string frame;  // all digits, with intLen before the point
    int intLen;
    if (intDigits > 0) {
        frame = digits;
        intLen = intDigits;
        while (static_cast<int>(frame.size()) < intLen) frame += '0';
    } else {
        frame = std::string(static_cast<std::size_t>(1 - intDigits), '0') +
                digits;  // "0" + leading zeros
        intLen = 1;
    }
    while (static_cast<int>(frame.size()) < intLen + decimals + 1) frame += '0';
    const bool roundUp = frame[static_cast<std::size_t>(intLen + decimals)] >= '5';
    frame.resize(static_cast<std::size_t>(intLen + decimals));
    if (roundUp) {
        int i = static_cast<int>(frame.size()) - 1;
        for (; i >= 0; --i) {
            if (frame[static_cast<std::size_t>(i)] == '9') {
                frame[static_cast<std::size_t>(i)] = '0';
            } else {
                ++frame[static_cast<std::size_t>(i)];
                break;
            }
        }
        if (i < 0) {
            frame.insert(frame.begin(), '1');
            ++intLen;
        }
    }
    std::string intPart = frame.substr(0, static_cast<std::size_t>(intLen));
    while (intPart.size() > 1 && intPart[0] == '0') intPart.erase(0, 1);
    const std::string frac = frame.substr(static_cast<std::size_t>(intLen));

    QString out;
    const bool allZero = frame.find_first_not_of('0') == std::string::npos;
    if (negative && !allZero) out += QLatin1Char('-');
    if (grouping) {
        const QString sep = locale.groupSeparator();
        const int n = static_cast<int>(intPart.size());
        for (int i = 0; i < n; ++i) {
            if (i > 0 && (n - i) % 3 == 0) out += sep;
            out += QChar(intPart[static_cast<std::size_t>(i)]);
        }
    } else {
        out += QString::fromLatin1(intPart);
    }
    if (decimals > 0) out += point + QString::fromLatin1(frac);
    return out;
}

QString FormatPositionMm(double mm, const QLocale& locale) {
    return FormatFloat(mm, 12, 4, false, locale);
}

QString FormatElapsedSeconds(std::uint64_t ms, const QLocale& locale) {
    return FormatFloat(static_cast<double>(ms) / 1000.0, 8, 2, true, locale);
}

QString CountOf(std::uint64_t count, const QString& singular, const QString& plural) {
    return QString::number(count) + u' ' + (count == 1 ? singular : plural);
}
