// The frame decoder as a pure function, against frames built independently
// by the simulated encoder.
#include <gtest/gtest.h>

#include "K740Box.h"
#include "core/FrameDecoder.h"
#include "core/Orodja.h"

namespace {

constexpr double kBinary = 0.000244140625;

struct Expect {
    std::int64_t count;
    bool errBit, warnBit, errCrc, errTimeout;
    std::int32_t status;  // -1: must stay as it was
    QString crcCaption;
};

struct FrameCase {
    const char* name;
    bool advanced;
    std::string frame;
    Expect e;
};

TEST(DecodeFrame, Table) {
    using k740sim::K740Box;
    const std::string good = K740Box::AdvancedFrame(1000000, false, false, 0, 0);
    std::string badCrc = good;
    badCrc[9] = badCrc[9] == '0' ? '1' : '0';
    const FrameCase cases[] = {
        {"worked_example",
         true,
         "03D090300920",
         {1000000, false, false, false, false, 0, "CRC: 92 / 92"}},
        {"error_active",
         true,
         K740Box::AdvancedFrame(1000000, true, false, 0, 0),
         {1000000, true, false, false, false, 0, {}}},
        {"warning_active",
         true,
         K740Box::AdvancedFrame(1000000, false, true, 0, 0),
         {1000000, false, true, false, false, 0, {}}},
        {"both_active",
         true,
         K740Box::AdvancedFrame(5, true, true, 0, 0),
         {5, true, true, false, false, 0, {}}},
        {"status_0x5A",
         true,
         K740Box::AdvancedFrame(77, false, false, 0x5A, 0),
         {77, false, false, false, false, 0x5A, {}}},
        {"crc_mismatch_sets_both", true, badCrc, {1000000, false, false, true, true, 0, {}}},
        {"trailing_bits_with_good_crc",
         true,
         K740Box::AdvancedFrame(1000000, false, false, 0, 5),
         {1000000, false, false, false, true, 0, {}}},
        // A reply that is no frame decodes as 0, and fails its check even
        // where both CRCs come out as 0.
        {"non_hex_fails_its_check",
         true,
         "ZZZZZZZZZ000",
         {0, true, true, true, true, 0, "CRC: 00 / 00"}},
        {"max_count",
         true,
         K740Box::AdvancedFrame(67108863, false, false, 0xFF, 0),
         {67108863, false, false, false, false, 0xFF, {}}},
        {"simple_worked_example", false, "03D09030", {1000000, false, false, true, false, -1, ""}},
        {"simple_all_ones", false, "FFFFFFFF", {67108863, false, false, true, true, -1, ""}},
        {"simple_error_and_warning",
         false,
         K740Box::SimpleFrame(12, true, true, 0),
         {12, true, true, true, false, -1, ""}},
        {"simple_non_hex", false, "0000000G", {0, true, true, true, true, -1, ""}},
        {"simple_sign_is_not_a_digit", false, "-1234567", {0, true, true, true, true, -1, ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TEncoderPosition pos;
        pos.Resolution_unit = kBinary;
        pos.RxData = QByteArray::fromStdString(c.frame);
        std::int32_t status = 0x33;  // left over from an earlier advanced frame
        const TFrameDecode r = DecodeFrame(c.advanced, 0, pos, status);
        ASSERT_TRUE(r.LengthOk);
        EXPECT_EQ(pos.Position_cnt, c.e.count);
        EXPECT_EQ(pos.ErrBit, c.e.errBit);
        EXPECT_EQ(pos.WarnBit, c.e.warnBit);
        EXPECT_EQ(pos.ErrCRC, c.e.errCrc);
        EXPECT_EQ(pos.ErrTimeout, c.e.errTimeout);
        EXPECT_EQ(status, c.e.status < 0 ? 0x33 : c.e.status);
        if (!c.e.crcCaption.isNull()) {
            EXPECT_EQ(r.CrcCaption, c.e.crcCaption);
        }
        EXPECT_DOUBLE_EQ(pos.Position_unit, static_cast<double>(c.e.count) * kBinary);
    }
}

TEST(DecodeFrame, EveryStatusBitLandsInItsPlace) {
    for (int bit = 0; bit < 8; ++bit) {
        TEncoderPosition pos;
        pos.RxData = QByteArray::fromStdString(k740sim::K740Box::AdvancedFrame(
            1234, false, false, static_cast<std::uint8_t>(1u << bit), 0));
        std::int32_t status = 0;
        DecodeFrame(true, 0, pos, status);
        EXPECT_EQ(status, 1 << bit) << bit;
        EXPECT_FALSE(pos.ErrCRC) << bit;
    }
}

TEST(DecodeFrame, WorkedExampleFieldsAndMillimetres) {
    TEncoderPosition pos;
    pos.Resolution_unit = kBinary;
    pos.RxData = "03D090300920";
    std::int32_t status = 0;
    DecodeFrame(true, 0, pos, status);
    EXPECT_EQ(pos.RxBinDebug, "00000011110100001001000000 11 00000000 10010010 0000");
    EXPECT_EQ(pos.Position_unit, 244.140625);
    pos.RxData = "03D09030";
    DecodeFrame(false, 0, pos, status);
    EXPECT_EQ(pos.RxBinDebug, "00000011110100001001000000 11 0000");
    EXPECT_EQ(pos.Position_unit, 244.140625);
}

TEST(DecodeFrame, ZeroIsSubtractedButCountStaysRaw) {
    TEncoderPosition pos;
    pos.Resolution_unit = kBinary;
    pos.RxData = "03D090300920";
    std::int32_t status = 0;
    DecodeFrame(true, 1000100, pos, status);
    EXPECT_EQ(pos.Position_cnt, 1000000);
    EXPECT_DOUBLE_EQ(pos.Position_unit, -100 * kBinary);
}

TEST(DecodeFrame, WrongLengthChangesNothing) {
    for (const char* rx : {"03D09030092", "03D0903009200", "", "03D0903"}) {
        for (bool advanced : {true, false}) {
            TEncoderPosition pos;
            pos.Position_cnt = 42;
            pos.ErrBit = true;
            pos.RxBinDebug = "before";
            pos.RxData = rx;
            std::int32_t status = 7;
            const TFrameDecode r = DecodeFrame(advanced, 0, pos, status);
            if (QByteArray(rx).size() == (advanced ? 12 : 8)) {
                continue;
            }
            EXPECT_FALSE(r.LengthOk) << rx;
            EXPECT_EQ(pos.Position_cnt, 42);
            EXPECT_TRUE(pos.ErrBit);
            EXPECT_EQ(pos.RxBinDebug, "before");
            EXPECT_EQ(status, 7);
        }
    }
}

TEST(DecodeFrame, RepliesAreCleanedBeforeTheLengthTest) {
    // What the reading does to a reply before decoding it.
    const QString cleaned = UpperCase(RemoveSpaces("12 34 56 78 9a bc\r\n"));
    EXPECT_EQ(cleaned, "123456789ABC");
    TEncoderPosition pos;
    pos.RxData = cleaned.toLatin1();
    std::int32_t status = 0;
    EXPECT_TRUE(DecodeFrame(true, 0, pos, status).LengthOk);
    EXPECT_EQ(pos.Position_cnt, 0x123456789ABCll >> 22);
}

}  // namespace
