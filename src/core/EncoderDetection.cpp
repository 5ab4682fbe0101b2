#include "core/EncoderDetection.h"

#include <algorithm>

#include "core/Serial_driver.h"

const QStringList& EncoderConfigurationItems() {
    static const QStringList items = {
        QStringLiteral("SPA - Simple mode 3.3 V LVTTL"),
        QStringLiteral("SPB - Advanced mode 3.3 V LVTTL"),
        QStringLiteral("SPC - Simple mode 5 V TTL"),
        QStringLiteral("SPD - Advanced mode 5 V TTL"),
    };
    return items;
}

const QStringList& EncoderResolutionItems() {
    static const QStringList items = {QStringLiteral("xxB - Binary"), QStringLiteral("2D0 - 1 um")};
    return items;
}

bool IsAdvancedConfig(int itemIndex) {
    return itemIndex == static_cast<int>(TEncoderConfig::SPB) ||
           itemIndex == static_cast<int>(TEncoderConfig::SPD);
}

double ResolutionUnit(int resolutionIndex) {
    return resolutionIndex == 0 ? 0.000244140625 : 0.00025;
}

QByteArray ComposePartNumber(const QString& configurationItem, const QString& resolutionItem) {
    return "TQ55" + configurationItem.left(3).toLatin1() + resolutionItem.left(3).toLatin1();
}

void PrepareEncoderSearch(TEncoderPosition& pos, TEncoderSignature& signature,
                          int resolutionIndex) {
    pos.STmaxCount = 0x7FFFFFF;
    pos.MTmaxCount = 0;
    signature.Multiturn = false;
    pos.Resolution_unit = ResolutionUnit(resolutionIndex);
}

TDetectionRead TDetectionRead::Of(const TEncoderPosition& pos, bool refused) {
    return {refused, pos.ErrComm, pos.ErrCRC, pos.ErrTimeout, pos.Position_cnt};
}

TDetection DetectEncoder(const TDetectionRead& advanced,
                         const std::optional<TDetectionRead>& simple) {
    // A refused reply leaves the previous reading's flags: nothing may be
    // concluded from them.
    if (advanced.Refused) return TDetection::ReplyRefused;
    if (advanced.ErrComm != TR_OK) return TDetection::InterfaceLost;
    if (!advanced.ErrCRC) return TDetection::Advanced;
    if (!simple) return TDetection::ReadSimple;
    if (simple->Refused) return TDetection::ReplyRefused;
    if (simple->ErrComm != TR_OK) return TDetection::InterfaceLost;
    if (simple->Position_cnt <= 0 || simple->ErrTimeout) return TDetection::KeepSearching;
    return TDetection::Simple;
}

TEncoderConfig DetectedConfig(TDetection found) {
    return found == TDetection::Advanced ? TEncoderConfig::SPD : TEncoderConfig::SPC;
}

QString VariantLogLine(TDetection found) {
    return found == TDetection::Advanced ? QStringLiteral("SPB or SPD communication variant.")
                                         : QStringLiteral("SPA or SPC communication variant.");
}

TReadingOutcome ClassifyReading(const TEncoderPosition& pos) {
    if (pos.ErrComm != TR_OK) return TReadingOutcome::InterfaceLost;
    // Only both flags together: an advanced frame with a matching CRC but
    // trailing bits set is still a good reading.
    if (pos.ErrCRC && pos.ErrTimeout) return TReadingOutcome::EncoderLost;
    return TReadingOutcome::Good;
}

TReadingFault ReadingFaultOf(const TEncoderPosition& pos) {
    if (pos.ErrComm == TR_TIMEOUT) return TReadingFault::TimeOut;
    if (pos.ErrComm != TR_OK) return TReadingFault::LostInterface;
    const bool idleLine = !pos.RxData.isEmpty() && std::all_of(pos.RxData.begin(), pos.RxData.end(),
                                                               [](char c) { return c == 'F'; });
    return idleLine ? TReadingFault::LostEncoder : TReadingFault::FrameCheck;
}

std::int32_t ZeroAfterZeroing(const TEncoderPosition& last, std::int32_t zero) {
    if (last.ErrComm != TR_OK || last.ErrBit) return zero;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(last.Position_cnt));
}
