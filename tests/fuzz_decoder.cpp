// libFuzzer target: the frame decoder and the CRC over any reply bytes.
#include <cstddef>
#include <cstdint>

#include "core/FrameDecoder.h"
#include "core/Orodja.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray raw(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString cleaned = UpperCase(RemoveSpaces(QString::fromLatin1(raw)));
    for (bool advanced : {true, false}) {
        TEncoderPosition pos;
        pos.Resolution_unit = 0.000244140625;
        pos.RxData = cleaned.toLatin1();
        std::int32_t status = 0;
        // The zero comes from the low 32 bits of a 26-bit count.
        const std::int32_t zero = size > 0 ? static_cast<std::int32_t>(data[0]) << 18 : 0;
        DecodeFrame(advanced, zero, pos, status);
    }
    HexCrc8(raw);
    HexToInt64(QString::fromLatin1(raw));
    IntToBinStr(size > 0 ? data[0] - 64 : 0,
                static_cast<std::int64_t>(size) * 0x9E3779B97F4A7C15ll);
    PrintableOnly(QString::fromLatin1(raw));
    AlphaNumOnly(QString::fromLatin1(raw));
    StrToIntDef(QString::fromLatin1(raw), 0);
    return 0;
}
