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
