// Decoding of one encoder frame, free of widgets and devices.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "core/Enkoderji_splosno.h"

struct TFrameDecode {
    bool LengthOk = false;  // false: nothing below was written
    std::uint8_t ReceivedCrc = 0;
    std::uint8_t ComputedCrc = 0;
    QString CrcCaption;  // "CRC: 92 / 92", empty for the simple frame
};

// Digits of each frame variant.
inline constexpr int kAdvancedDigits = 12;
inline constexpr int kSimpleDigits = 8;

// Decodes `pos.RxData` into `pos` (and `detailedStatus` for the advanced
// frame). A reply of the wrong length changes nothing and reports
// LengthOk false. A reply with a character that is not a hex digit decodes
// as 0 and fails its check (ErrCRC and ErrTimeout set). Throws
// std::overflow_error if the count minus the zero does not fit 32 bits (it
// cannot with 26-bit counts).
TFrameDecode DecodeFrame(bool advanced, std::int32_t zeroCount, TEncoderPosition& pos,
                         std::int32_t& detailedStatus);
