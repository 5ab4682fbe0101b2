// The account of a recording run, as an engineer on the bench asks for it:
// is the encoder noisy (the spread of its positions), does it glitch (the
// largest step between two readings), does the link drop frames (the faults
// by kind). Fed by the recorder with every reading it wrote and every reading
// that failed.
#pragma once

#include <QByteArray>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "core/EncoderDetection.h"
#include "core/Enkoderji_splosno.h"

class TRunSummary {
public:
    // A good reading, written to the recording.
    void Reading(const TEncoderPosition& pos);
    void Fault(TReadingFault fault);

    std::uint64_t Readings() const { return readings_; }
    std::uint64_t Faults() const;

    // The account as lines for the user, and as one JSON object, for a run
    // that recorded for `elapsedMs`.
    QStringList Lines(std::uint64_t elapsedMs) const;
    QByteArray Json(std::uint64_t elapsedMs) const;

private:
    double StdDevMm() const;

    std::uint64_t readings_ = 0;
    std::uint64_t faults_[5] = {};  // by TReadingFault
    std::uint64_t errorBit_ = 0, warningBit_ = 0;
    // Positions in mm: the running mean and sum of squared deviations
    // (Welford), so a shift of readings neither loses precision nor grows.
    double minMm_ = 0, maxMm_ = 0, meanMm_ = 0, m2Mm_ = 0;
    std::optional<TEncoderPosition> previous_;
    std::optional<std::int64_t> largestStepCounts_;
    double largestStepMm_ = 0;
};
