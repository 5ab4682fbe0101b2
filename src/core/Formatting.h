// Numbers as the user reads them: the locale's separators, fixed digits.
#pragma once

#include <QLocale>
#include <QString>
#include <cstdint>

// `value` rounded to `precision` significant digits, then written with
// `decimals` decimals and the locale's decimal separator; with `grouping` the
// locale's thousands separator too. A value with more than `precision` digits
// before the point is written in exponent notation instead.
QString FormatFloat(double value, int precision, int decimals, bool grouping,
                    const QLocale& locale);

// The position text without its unit: 12 significant digits, 4 decimals.
QString FormatPositionMm(double mm, const QLocale& locale);

// Elapsed recording time: seconds with thousands separator and 2 decimals.
QString FormatElapsedSeconds(std::uint64_t ms, const QLocale& locale);

// A count with its noun in the singular or the plural form: "1 fault",
// "0 faults", "2 faults".
QString CountOf(std::uint64_t count, const QString& singular, const QString& plural);
