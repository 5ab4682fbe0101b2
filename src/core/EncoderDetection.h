// Which frame the encoder speaks, and what one reading means for the state
// machine: pure rules over the decoded reads, shared by the window and the
// recorder.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "core/Enkoderji_splosno.h"

// The items of the encoder configuration group, in their order.
enum class TEncoderConfig { SPA, SPB, SPC, SPD };

// The texts of those items, and of the resolution items; the part number is
// composed from their first three characters.
const QStringList& EncoderConfigurationItems();
const QStringList& EncoderResolutionItems();

// The configuration item index of the group (or -1, none) reads the
// advanced frame for SPB and SPD, the simple frame for anything else.
bool IsAdvancedConfig(int itemIndex);

// Millimetres per count for the resolution item index: 2^-12 for the first,
// 0.00025 for any other.
double ResolutionUnit(int resolutionIndex);

// "TQ55" and the first three characters of each selected item.
QByteArray ComposePartNumber(const QString& configurationItem, const QString& resolutionItem);

// What every encoder-search tick sets before its reads.
void PrepareEncoderSearch(TEncoderPosition& pos, TEncoderSignature& signature, int resolutionIndex);

// What the detection needs from one read.
struct TDetectionRead {
    bool Refused = false;  // the reply was refused for its length
    std::int32_t ErrComm = 0;
    bool ErrCRC = false;
    bool ErrTimeout = false;
    std::int64_t Position_cnt = 0;

    static TDetectionRead Of(const TEncoderPosition& pos, bool refused);
};

enum class TDetection {
    ReadSimple,     // the advanced frame failed its CRC: try a simple read
    Advanced,       // an advanced frame with a matching CRC
    Simple,         // a simple frame with a count above 0 and clear trailing bits
    KeepSearching,  // neither: search again
    InterfaceLost,  // a read failed as a transaction
    ReplyRefused,   // a reply of the wrong length: the port is closed already
};

// The rule over the advanced read alone, or with the simple read that
// followed when the first answer was ReadSimple. The advanced frame is taken
// on its CRC alone; the simple frame needs a count above 0 and clear
// trailing bits.
TDetection DetectEncoder(const TDetectionRead& advanced,
                         const std::optional<TDetectionRead>& simple = std::nullopt);

// For Advanced and Simple: the configuration item the detection selects and
// the log line that names the variant.
TEncoderConfig DetectedConfig(TDetection found);
QString VariantLogLine(TDetection found);

// One reading of the reading loop, by its result and frame check.
enum class TReadingOutcome {
    Good,           // shown, plotted and recorded
    InterfaceLost,  // the transaction failed: back to the interface search
    EncoderLost,    // the frame failed its check: back to the encoder search
};
TReadingOutcome ClassifyReading(const TEncoderPosition& pos);

// Why a reading of the reading loop failed, for the account of a run. Each
// failed reading has exactly one.
enum class TReadingFault {
    TimeOut,        // no complete reply within the reply time-out
    LostInterface,  // the port failed or has gone (no port, a write refused)
    WrongLength,    // a reply of the wrong length, refused before decoding
    FrameCheck,     // the frame failed its check (CRC or trailing bits)
    LostEncoder,    // the box clocked the idle line: no encoder sent a frame
};

// The fault of a reading that ClassifyReading did not call Good (a refused
// reply is told by its refusal, not by the reading). An encoder that is not
// there leaves the data line idle, high: every digit is F, and that frame
// never passes its check.
TReadingFault ReadingFaultOf(const TEncoderPosition& pos);

// The software zero after the user zeroes on the last reading: the low 32
// bits of its count, taken as signed, when its transaction succeeded and its
// error bit is clear (the frame check is not asked); otherwise `zero` as it
// was.
std::int32_t ZeroAfterZeroing(const TEncoderPosition& last, std::int32_t zero);
