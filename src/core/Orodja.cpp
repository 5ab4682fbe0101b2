#include "core/Orodja.h"

#include <algorithm>
#include <array>
#include <limits>

namespace {

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return -1;
}

constexpr std::array<std::uint8_t, 256> makeCrcTable() {
    std::array<std::uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        std::uint8_t r = static_cast<std::uint8_t>(i);
        for (int b = 0; b < 8; ++b)
            r = static_cast<std::uint8_t>((r & 0x80) ? ((r << 1) ^ 0x97) : (r << 1));
        t[static_cast<std::size_t>(i)] = r;
    }
    return t;
}
constexpr auto kCrcTable = makeCrcTable();

// The decimal digits from `i` to the end, with the sign already read, into a
// 32-bit value. False for an empty tail, any other character or a value
// outside 32 bits.
bool decimalDigits(const QString& text, qsizetype i, bool negative, int& value) {
    const qsizetype n = text.size();
    if (i >= n) return false;
    std::int64_t acc = 0;
    for (; i < n; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9') return false;
        acc = acc * 10 + (c - u'0');
        if (acc > std::int64_t(std::numeric_limits<int>::max()) + 1) return false;
    }
    if (negative) acc = -acc;
    if (acc > std::numeric_limits<int>::max() || acc < std::numeric_limits<int>::min())
        return false;
    value = static_cast<int>(acc);
    return true;
}

}  // namespace

std::int64_t HexToInt64(const QString& text) {
    if (text.size() > 16) return 0;
    std::uint64_t acc = 0;
    for (QChar ch : text) {
        const int d = hexDigit(ch.unicode());
        if (d < 0) return 0;
        acc = (acc << 4) | static_cast<std::uint64_t>(d);
    }
    return static_cast<std::int64_t>(acc);
}

QByteArray IntToBinStr(int width, std::int64_t value) {
    if (width <= 0) return {};
    QByteArray out(width, '0');
    std::uint64_t v = static_cast<std::uint64_t>(value);
    for (int pos = width - 1; pos >= 0 && v != 0; --pos) {
        if (v & 1u) out[pos] = '1';
        v >>= 1;
    }
    return out;
}

QString Trim(const QString& text) {
    qsizetype b = 0, e = text.size();
    while (b < e && text.at(b).unicode() <= 0x20) ++b;
    while (e > b && text.at(e - 1).unicode() <= 0x20) --e;
    return text.mid(b, e - b);
}

QString UpperCase(const QString& text) {
    QString out = text;
    for (QChar& c : out)
        if (c.unicode() >= u'a' && c.unicode() <= u'z') c = QChar(c.unicode() - 32);
    return out;
}

QByteArray UpperCase(const QByteArray& text) {
    QByteArray out = text;
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return out;
}

QString RemoveSpaces(const QString& text) {
    QString t = Trim(text);
    t.remove(QChar(u' '));
    return t;
}

QString PrintableOnly(const QString& text) {
    QString out;
    for (QChar c : Trim(text))
        if (c.unicode() >= 0x20 && c.unicode() <= 0x7E) out += c;
    return out;
}

QString AlphaNumOnly(const QString& text) {
    QString out;
    for (QChar c : Trim(text)) {
        const char16_t u = c.unicode();
        if ((u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z'))
            out += c;
    }
    return out;
}

QString BitChar(bool flag) {
    return flag ? QStringLiteral("1") : QStringLiteral("0");
}

QByteArray ZeroPad(int value, int width) {
    QByteArray s = QByteArray::number(value);
    if (width >= 1 && width <= 4)
        while (s.size() < width) s.prepend('0');
    return s;
}

QByteArray ZeroPadCount(int value, int width) {
    QByteArray digits = QByteArray::number(
        static_cast<qint64>(value) < 0 ? -static_cast<qint64>(value) : static_cast<qint64>(value));
    const bool negative = value < 0;
    if (width >= 1 && width <= 6)
        while (digits.size() + (negative ? 1 : 0) < width) digits.prepend('0');
    return negative ? '-' + digits : digits;
}

int StrToIntDef(const QString& text, int def) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text.at(i) == u' ') ++i;
    bool neg = false;
    if (i < n && (text.at(i) == u'-' || text.at(i) == u'+')) neg = text.at(i++) == u'-';
    bool hex = false;
    if (i < n && text.at(i) == u'$') {
        hex = true;
        ++i;
    } else if (i < n && (text.at(i) == u'x' || text.at(i) == u'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text.at(i) == u'0' &&
               (text.at(i + 1) == u'x' || text.at(i + 1) == u'X')) {
        hex = true;
        i += 2;
    }
    if (i >= n) return def;
    if (hex) {
        std::uint64_t acc = 0;
        for (; i < n; ++i) {
            const int d = hexDigit(text.at(i).unicode());
            if (d < 0) return def;
            acc = (acc << 4) | static_cast<std::uint64_t>(d);
            if (acc > 0xFFFFFFFFu) return def;
        }
        std::uint32_t bits = static_cast<std::uint32_t>(acc);
        if (neg) bits = 0u - bits;
        return static_cast<int>(bits);
    }
    int value = 0;
    return decimalDigits(text, i, neg, value) ? value : def;
}

int ParseDecimalInt(const QString& text, bool* ok) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    bool neg = false;
    if (i < n && (text.at(i) == u'-' || text.at(i) == u'+')) neg = text.at(i++) == u'-';
    int value = 0;
    *ok = i < n && decimalDigits(text, i, neg, value);
    return *ok ? value : 0;
}

std::uint8_t Crc8(const QByteArray& bytes) {
    std::uint8_t r = 0;
    for (char b : bytes) r = kCrcTable[static_cast<std::uint8_t>(r ^ static_cast<std::uint8_t>(b))];
    return r;
}

std::uint8_t HexCrc8(const QByteArray& hexDigits) {
    QByteArray t = hexDigits;
    if (!t.isEmpty()) t.prepend('0');
    QByteArray bytes;
    for (qsizetype i = 0; i < t.size(); i += 2) {
        const int hi = hexDigit(static_cast<unsigned char>(t.at(i)));
        const int lo = i + 1 < t.size() ? hexDigit(static_cast<unsigned char>(t.at(i + 1))) : 0;
        // A pair that is not a hex number counts as the byte 0.
        bytes.append(static_cast<char>(hi < 0 || lo < 0 ? 0 : (hi << 4) | lo));
    }
    return Crc8(bytes);
}

QString ChangeFileExt(const QString& fileName, const QString& ext) {
    const qsizetype slash = std::max(fileName.lastIndexOf(u'/'), fileName.lastIndexOf(u'\\'));
    const qsizetype dot = fileName.lastIndexOf(u'.');
    if (dot > slash) return fileName.left(dot) + ext;
    return fileName + ext;
}

bool CheckedSub32(std::int32_t a, std::int32_t b, std::int32_t& out) {
    // The difference of two 32-bit values always fits 64 bits.
    const std::int64_t d = static_cast<std::int64_t>(a) - static_cast<std::int64_t>(b);
    if (d < std::numeric_limits<std::int32_t>::min() ||
        d > std::numeric_limits<std::int32_t>::max())
        return false;
    out = static_cast<std::int32_t>(d);
    return true;
}
