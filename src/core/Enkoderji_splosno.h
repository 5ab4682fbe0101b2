// The records that describe the connected encoder, and the globals that hold
// them for the whole run. Several fields are declared but not used here.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

struct TEncoderSignature {
    QByteArray SerialNumber;
    QByteArray PartNumber;
    QByteArray SerialDecoded;
    QByteArray ExtendedSerial;
    QString FWverStr;
    std::uint32_t FWverMajor = 0;
    std::uint32_t FWverMinor = 0;
    std::uint32_t FWverComm = 0;
    std::uint32_t FWverSVN = 0;
    std::uint32_t FWverHash = 0;
    std::int32_t RingMagnetSize = 0;
    bool Multiturn = false;
};

struct TEncoderPosition {
    QByteArray RxData;   // the last cleaned reply to a read command
    QString RxBinDebug;  // frame fields as 0/1 groups
    std::int32_t MT_value = 0;
    std::uint32_t ST_value = 0;
    std::int64_t MTST_value = 0;
    std::int32_t ErrComm = 0;     // result of the last read transaction
    bool ErrTimeout = false;      // frame failed its check (trailing bits or CRC)
    bool ErrCRC = false;          // CRC mismatch; always set for the simple frame
    bool ErrBit = false;          // encoder error bit active
    bool WarnBit = false;         // encoder warning bit active
    std::uint32_t Timestamp = 0;  // the frame's four trailing bits, not a time
    std::uint32_t STmaxCount = 0;
    std::uint32_t MTmaxCount = 0;
    std::int64_t Position_cnt = 0;
    double Resolution_unit = 0.0;  // mm per count
    double Position_unit = 0.0;    // mm, relative to the software zero
    double Position_unit_Old = 0.0;
};

extern TEncoderSignature EncoderSignature;
extern TEncoderPosition EncoderPosition;
extern std::int32_t DetailedStatus;  // 8-bit detailed status of the last advanced frame
