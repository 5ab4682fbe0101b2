// Text and number helpers: each table row is a case that once could go wrong.
#include <gtest/gtest.h>

#include <QLocale>
#include <cstdint>
#include <limits>

#include "core/Formatting.h"
#include "core/Orodja.h"

namespace {

struct HexCase {
    const char* name;
    QString text;
    std::int64_t expected;
};

TEST(HexToInt64, Table) {
    const HexCase cases[] = {
        {"empty_is_zero", "", 0},
        {"lower_case_digits", "ff", 255},
        {"sixteen_digits_accepted", "00000000000000FF", 255},
        {"fifteen_zeros_and_F", "000000000000000F", 15},
        {"seventeen_digits_refused", "0000000000000000F", 0},
        {"sixteen_F_is_minus_one", "FFFFFFFFFFFFFFFF", -1},
        {"sign_bit_gives_most_negative", "8000000000000000",
         std::numeric_limits<std::int64_t>::min()},
        {"leading_blank_refused", " 1A", 0},
        {"trailing_blank_refused", "1A ", 0},
        {"prefix_0x_refused", "0x1A", 0},
        {"bad_digit_gives_zero_not_prefix", "12G4", 0},
        {"non_ascii_digit_refused", QString::fromUtf8("1\u0661"), 0},
        {"worked_frame", "03D090300920", 0x03D090300920},
    };
    for (const auto& c : cases) EXPECT_EQ(HexToInt64(c.text), c.expected) << c.name;
}

TEST(IntToBinStr, Table) {
    struct Case {
        const char* name;
        int width;
        std::int64_t value;
        QByteArray expected;
    };
    const Case cases[] = {
        {"pads_to_width", 8, 5, "00000101"},
        {"drops_bits_above_width", 4, 0x1F, "1111"},
        {"zero_value", 3, 0, "000"},
        {"width_zero_is_empty", 0, 5, ""},
        {"negative_width_is_empty", -3, 5, ""},
        {"width_64_all_ones", 64, -1, QByteArray(64, '1')},
        {"width_70_leading_zeros", 70, 1, QByteArray(69, '0') + "1"},
        {"negative_is_a_bit_pattern", 8, -2, "11111110"},
    };
    for (const auto& c : cases) EXPECT_EQ(IntToBinStr(c.width, c.value), c.expected) << c.name;
}

struct TextCase {
    const char* name;
    QString (*fn)(const QString&);
    QString input;
    QString expected;
};

TEST(TextFilters, Table) {
    const TextCase cases[] = {
        {"remove_spaces_inner_and_ends", RemoveSpaces, "  AB 12   34 ", "AB1234"},
        {"remove_spaces_keeps_inner_tab", RemoveSpaces, "A\tB", "A\tB"},
        {"remove_spaces_blank_only", RemoveSpaces, "    ", ""},
        {"remove_spaces_trims_controls", RemoveSpaces, "\t\r\n12 34\r\n", "1234"},
        {"remove_spaces_keeps_nbsp", RemoveSpaces, QString::fromUtf8("\u00A012\u00A0"),
         QString::fromUtf8("\u00A012\u00A0")},
        {"printable_keeps_inner_blank", PrintableOnly, "A B", "A B"},
        {"printable_drops_inner_control", PrintableOnly,
         "A\x01"
         "B",
         "AB"},
        {"printable_drops_micro_sign", PrintableOnly, QString::fromUtf8("\u00B5m"), "m"},
        {"printable_drops_nbsp_after_trim", PrintableOnly, QString::fromUtf8("\u00A0x"), "x"},
        {"printable_trims_crlf", PrintableOnly, "K740-3T\r\n", "K740-3T"},
        {"alnum_drops_punctuation", AlphaNumOnly, " AB-12 c ", "AB12c"},
        {"alnum_drops_accents", AlphaNumOnly, QString::fromUtf8("\u010Cx\u00E9"), "x"},
        {"alnum_empty", AlphaNumOnly, "", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.fn(c.input), c.expected) << c.name;
}

TEST(TextFilters, TrimAndUpperCaseTouchOnlyAscii) {
    EXPECT_EQ(Trim(QString::fromUtf8("\x00\x1f a \x20", 6)), "a");
    EXPECT_EQ(UpperCase(QString::fromUtf8("ab\u00e9z")), QString::fromUtf8("AB\u00e9Z"));
    EXPECT_EQ(BitChar(true), "1");
    EXPECT_EQ(BitChar(false), "0");
}

TEST(ZeroPadCount, Table) {
    struct Case {
        const char* name;
        int value, width;
        QByteArray expected;
    };
    const Case cases[] = {
        {"two_digits", 6, 2, "06"},
        {"three_digits", 6, 3, "006"},
        {"never_truncates", 1234, 2, "1234"},
        {"width_six_pads", 7, 6, "000007"},
        {"width_seven_no_padding", 7, 7, "7"},
        {"zero_value", 0, 3, "000"},
        {"width_zero", 5, 0, "5"},
        {"negative_width", 5, -1, "5"},
        {"negative_value_sign_first", -5, 3, "-05"},
        {"most_negative", std::numeric_limits<int>::min(), 2, "-2147483648"},
    };
    for (const auto& c : cases) EXPECT_EQ(ZeroPadCount(c.value, c.width), c.expected) << c.name;
}

TEST(ZeroPad, Table) {
    EXPECT_EQ(ZeroPad(7, 3), "007");
    EXPECT_EQ(ZeroPad(123, 3), "123");
    EXPECT_EQ(ZeroPad(1234, 3), "1234");
    EXPECT_EQ(ZeroPad(5, 5), "5");     // width above 4 adds nothing
    EXPECT_EQ(ZeroPad(-5, 3), "0-5");  // zeros go in front of the sign
}

TEST(StrToIntDef, Table) {
    struct Case {
        const char* name;
        QString text;
        int expected;
    };
    const Case cases[] = {
        {"decimal", "12", 12},
        {"leading_blanks", "  12", 12},
        {"sign", "-7", -7},
        {"leading_zero_not_octal", "010", 10},
        {"dollar_hex", "$1A", 26},
        {"x_hex", "x1a", 26},
        {"zero_x_hex_upper", "0X1A", 26},
        {"eight_hex_digits_negative", "$FFFFFFFF", -1},
        {"hex_80000000", "$80000000", std::numeric_limits<int>::min()},
        {"nine_hex_digits_default", "$100000000", 99},
        {"empty_default", "", 99},
        {"trailing_char_default", "12a", 99},
        {"trailing_blank_default", "12 ", 99},
        {"decimal_overflow_default", "2147483648", 99},
        {"decimal_min", "-2147483648", std::numeric_limits<int>::min()},
        {"lone_prefix_default", "0x", 99},
    };
    for (const auto& c : cases) EXPECT_EQ(StrToIntDef(c.text, 99), c.expected) << c.name;
}

TEST(CheckedSub32, OverflowIsReportedNotWrapped) {
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    struct Case {
        const char* name;
        std::int32_t a, b;
        bool fits;
        std::int32_t expected;
    } const cases[] = {
        {"count_minus_zero", 1000000, 250, true, 999750},
        {"below_the_zero_is_negative", 5, 7, true, -2},
        {"exactly_the_minimum", kMin + 1, 1, true, kMin},
        {"exactly_the_maximum", kMax - 1, -1, true, kMax},
        {"one_below_the_minimum", kMin, 1, false, 0},
        {"one_above_the_maximum", kMax, -1, false, 0},
        {"extremes_apart", kMax, kMin, false, 0},
    };
    for (const auto& c : cases) {
        std::int32_t out = 0;
        EXPECT_EQ(CheckedSub32(c.a, c.b, out), c.fits) << c.name;
        EXPECT_EQ(out, c.expected) << c.name << " (untouched when it does not fit)";
    }
}

TEST(Crc8, KnownValues) {
    EXPECT_EQ(Crc8("123456789"), 0x94);
    EXPECT_EQ(Crc8(""), 0);
    EXPECT_EQ(HexCrc8("123456789"), 0x89);  // bytes 01 23 45 67 89
    EXPECT_EQ(HexCrc8("12"), 0x30);         // bytes 01 20: the odd tail reads as 0x20
    EXPECT_EQ(HexCrc8(""), 0);
    EXPECT_EQ(HexCrc8("03D090300"), 0x92);  // the worked frame
    // A pair that is no hex number counts as the byte 0.
    EXPECT_EQ(HexCrc8("0G"), Crc8(QByteArray("\x00\x00", 2)));
}

TEST(ChangeFileExt, Table) {
    EXPECT_EQ(ChangeFileExt("chart", ".png"), "chart.png");
    EXPECT_EQ(ChangeFileExt("chart.jpg", ".png"), "chart.png");
    EXPECT_EQ(ChangeFileExt("my.chart", ".png"), "my.png");
    EXPECT_EQ(ChangeFileExt("/tmp/a.b/chart", ".png"), "/tmp/a.b/chart.png");  // dot in a folder
    EXPECT_EQ(ChangeFileExt("/tmp/x.tar.gz", ".png"), "/tmp/x.tar.png");
}

struct PositionCase {
    const char* name;
    double mm;
    const char* point;  // decimal point locale
    const char* comma;  // decimal comma locale
};

TEST(PositionText, TwoLocales) {
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const QLocale german(QLocale::German, QLocale::Germany);
    const PositionCase cases[] = {
        {"worked_example_rounds_down", 244.140625, "244.1406", "244,1406"},
        {"negative_small", -0.000244140625 * 100, "-0.0244", "-0,0244"},
        {"zero", 0.0, "0.0000", "0,0000"},
        {"no_thousands_separator", 1234567.5, "1234567.5000", "1234567,5000"},
        {"twelve_significant_digits_only", 16383.999755859375, "16383.9998", "16383,9998"},
        {"half_rounds_up", 1.00005, "1.0001", "1,0001"},
        {"twelve_digit_rounding_first", 0.123449999999999, "0.1235", "0,1235"},
        {"carry_into_integer", 9.99996, "10.0000", "10,0000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatPositionMm(c.mm, english), QString::fromLatin1(c.point)) << c.name;
        EXPECT_EQ(FormatPositionMm(c.mm, german), QString::fromLatin1(c.comma)) << c.name;
    }
    // More than 12 digits before the point cannot be fixed-point.
    EXPECT_TRUE(FormatPositionMm(1.5e13, english).contains("E+"));
}

TEST(ElapsedText, GroupsThousands) {
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const QLocale german(QLocale::German, QLocale::Germany);
    EXPECT_EQ(FormatElapsedSeconds(12345, english), "12.35");
    EXPECT_EQ(FormatElapsedSeconds(1234567, english), "1,234.57");
    EXPECT_EQ(FormatElapsedSeconds(1234567, german), "1.234,57");
    EXPECT_EQ(FormatElapsedSeconds(0, english), "0.00");
    EXPECT_EQ(FormatElapsedSeconds(20001, english), "20.00");
}

TEST(CountText, SingularForOneOnly) {
    const struct {
        std::uint64_t count;
        const char* text;
    } cases[] = {{0, "0 faults"}, {1, "1 fault"}, {2, "2 faults"}, {11, "11 faults"}};
    for (const auto& c : cases)
        EXPECT_EQ(CountOf(c.count, QStringLiteral("fault"), QStringLiteral("faults")),
                  QLatin1String(c.text));
}

}  // namespace
