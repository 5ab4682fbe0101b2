#include "core/FrameDecoder.h"

#include <algorithm>
#include <stdexcept>

#include "core/Orodja.h"

namespace {

QString hex2(std::uint8_t v) {
    return QStringLiteral("%1").arg(v, 2, 16, QLatin1Char('0')).toUpper();
}

bool allHexDigits(const QByteArray& text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    });
}

}  // namespace

TFrameDecode DecodeFrame(bool advanced, std::int32_t zeroCount, TEncoderPosition& pos,
                         std::int32_t& detailedStatus) {
    TFrameDecode r;
    const int expected = advanced ? kAdvancedDigits : kSimpleDigits;
    if (pos.RxData.size() != expected) return r;
    r.LengthOk = true;

    std::uint32_t e = 0;
    if (advanced) {
        const std::uint64_t v =
            static_cast<std::uint64_t>(HexToInt64(QString::fromLatin1(pos.RxData)));
        pos.Position_cnt = static_cast<std::int64_t>(v >> 22);
        e = static_cast<std::uint32_t>((v >> 20) & 3u);
        detailedStatus = static_cast<std::int32_t>((v >> 12) & 0xFFu);
        r.ReceivedCrc = static_cast<std::uint8_t>((v >> 4) & 0xFFu);
        pos.Timestamp = static_cast<std::uint32_t>(v & 0xFu);
        pos.ErrBit = (e & 2u) == 0;
        pos.WarnBit = (e & 1u) == 0;
        pos.ErrTimeout = pos.Timestamp != 0;
        pos.RxBinDebug = QString::fromLatin1(
            IntToBinStr(26, pos.Position_cnt) + ' ' + IntToBinStr(2, e) + ' ' +
            IntToBinStr(8, detailedStatus) + ' ' + IntToBinStr(8, r.ReceivedCrc) + ' ' +
            IntToBinStr(4, pos.Timestamp));
        r.ComputedCrc = HexCrc8(pos.RxData.left(9));
        r.CrcCaption = QStringLiteral("CRC: ") + hex2(r.ComputedCrc) + " / " + hex2(r.ReceivedCrc);
        pos.ErrCRC = r.ComputedCrc != r.ReceivedCrc;
        if (pos.ErrCRC) pos.ErrTimeout = true;
    } else {
        // Eight hex digits read as a 32-bit pattern; any other character gives 0.
        const std::uint32_t v = static_cast<std::uint32_t>(
            StrToIntDef(QStringLiteral("$") + QString::fromLatin1(pos.RxData), 0));
        pos.Position_cnt = static_cast<std::int64_t>(v >> 6);
        e = (v >> 4) & 3u;
        pos.Timestamp = v & 0xFu;
        pos.ErrBit = (e & 2u) == 0;
        pos.WarnBit = (e & 1u) == 0;
        pos.ErrTimeout = pos.Timestamp != 0;
        pos.ErrCRC = true;
        pos.RxBinDebug =
            QString::fromLatin1(IntToBinStr(26, pos.Position_cnt) + ' ' + IntToBinStr(2, e) + ' ' +
                                IntToBinStr(4, pos.Timestamp));
    }
    // A reply with a character that is not a hex digit is no frame. It reads
    // as 0, and with CRC 0 it would pass as a good reading at position 0: it
    // fails its check instead, as a line disturbance does.
    if (!allHexDigits(pos.RxData)) {
        pos.ErrCRC = true;
        pos.ErrTimeout = true;
    }
    std::int32_t d = 0;
    if (!CheckedSub32(static_cast<std::int32_t>(static_cast<std::uint32_t>(pos.Position_cnt)),
                      zeroCount, d))
        throw std::overflow_error("Integer overflow");
    pos.Position_unit = static_cast<double>(d) * pos.Resolution_unit;
    return r;
}
