// Text and number helpers, the port-number padding and the CRC-8. None of
// them fails: bad input gives a defined result (empty text or 0).
//
// Text is QString (UTF-16 code units); byte strings are QByteArray (ASCII).
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

// Hexadecimal text to a 64-bit pattern: at most 16 digits, either case, no
// blanks, no prefix; anything else gives 0.
std::int64_t HexToInt64(const QString& text);

// The low `width` bits of `value`, most significant first, as '0'/'1'.
QByteArray IntToBinStr(int width, std::int64_t value);

// Removes every code unit up to U+0020 at both ends.
QString Trim(const QString& text);
// Maps a..z to A..Z and nothing else.
QString UpperCase(const QString& text);
QByteArray UpperCase(const QByteArray& text);

QString RemoveSpaces(const QString& text);   // trim, then drop inner blanks
QString PrintableOnly(const QString& text);  // trim, then keep U+0020..U+007E
QString AlphaNumOnly(const QString& text);   // trim, then keep 0-9 A-Z a-z
QString BitChar(bool flag);                  // "1" or "0"

// Decimal text, left-padded with "0" to `width` when width is 1 to 4.
QByteArray ZeroPad(int value, int width);

// Decimal text, zero-padded to `width` when width is 1 to 6; never truncated.
// A negative value keeps its sign in front of the zeros.
QByteArray ZeroPadCount(int value, int width);

// Integer parsing with a default: leading blanks, an optional sign and
// decimal digits, or hex digits after "$", "x" or "0x" (either case). Eight
// hex digits never fail (80000000..FFFFFFFF come back negative with the same
// bits). Empty text, a trailing character or a decimal value outside 32 bits
// gives `def`.
int StrToIntDef(const QString& text, int def);

// An optional sign and decimal digits within 32 bits, nothing else.
int ParseDecimalInt(const QString& text, bool* ok);

// a - b into `out` when it fits 32 bits; false (and `out` untouched) when it
// would overflow, which the caller reports instead of wrapping.
bool CheckedSub32(std::int32_t a, std::int32_t b, std::int32_t& out);

// CRC-8, polynomial 0x97, most significant bit first, register starting at 0,
// no final XOR.
std::uint8_t Crc8(const QByteArray& bytes);
// The CRC-8 of the bytes that the hex digits spell, after a "0" is put in
// front of every non-empty text; an odd tail digit d reads as the byte d0.
std::uint8_t HexCrc8(const QByteArray& hexDigits);

// The name with the text after the last dot of its file-name part replaced
// by `ext` (which includes its dot), or `ext` appended when that part has no
// dot: "chart" and "chart.jpg" give "chart.png", "my.chart" gives "my.png".
QString ChangeFileExt(const QString& fileName, const QString& ext);
