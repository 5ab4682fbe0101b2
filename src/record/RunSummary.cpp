#include "record/RunSummary.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

struct FaultName {
    TReadingFault fault;
    const char* text;  // for the user
    const char* key;   // in the JSON object
};
constexpr FaultName kFaultNames[] = {
    {TReadingFault::TimeOut, "time-out", "time_out"},
    {TReadingFault::FrameCheck, "frame check", "frame_check"},
    {TReadingFault::WrongLength, "wrong length", "wrong_length"},
    {TReadingFault::LostInterface, "lost interface", "lost_interface"},
    {TReadingFault::LostEncoder, "lost encoder", "lost_encoder"},
};

double Seconds(std::uint64_t ms) {
    return static_cast<double>(ms) / 1000.0;
}

double PerSecond(std::uint64_t n, std::uint64_t ms) {
    return ms > 0 ? static_cast<double>(n) / Seconds(ms) : 0.0;
}

}  // namespace

void TRunSummary::Reading(const TEncoderPosition& pos) {
    ++readings_;
    errorBit_ += pos.ErrBit;
    warningBit_ += pos.WarnBit;
    const double mm = pos.Position_unit;
    if (readings_ == 1) {
        minMm_ = maxMm_ = mm;
    } else {
        minMm_ = std::min(minMm_, mm);
        maxMm_ = std::max(maxMm_, mm);
    }
    const double delta = mm - meanMm_;
    meanMm_ += delta / static_cast<double>(readings_);
    m2Mm_ += delta * (mm - meanMm_);
    if (previous_) {
        const std::int64_t step = std::llabs(pos.Position_cnt - previous_->Position_cnt);
        if (!largestStepCounts_ || step > *largestStepCounts_) {
            largestStepCounts_ = step;
            largestStepMm_ = std::fabs(mm - previous_->Position_unit);
        }
    }
    previous_ = pos;
}

void TRunSummary::Fault(TReadingFault fault) {
    ++faults_[static_cast<int>(fault)];
}

std::uint64_t TRunSummary::Faults() const {
    std::uint64_t n = 0;
    for (const std::uint64_t f : faults_) n += f;
    return n;
}

double TRunSummary::StdDevMm() const {
    return readings_ > 0 ? std::sqrt(m2Mm_ / static_cast<double>(readings_)) : 0.0;
}

QStringList TRunSummary::Lines(std::uint64_t elapsedMs) const {
    QStringList lines;
    lines << QStringLiteral("readings: %1 in %2 s, %3/s")
                 .arg(readings_)
                 .arg(Seconds(elapsedMs), 0, 'f', 1)
                 .arg(PerSecond(readings_, elapsedMs), 0, 'f', 1);
    QStringList faults;
    for (const FaultName& f : kFaultNames)
        faults << QStringLiteral("%1 %2")
                      .arg(QString::fromLatin1(f.text))
                      .arg(faults_[static_cast<int>(f.fault)]);
    lines << QStringLiteral("faults: ") + faults.join(QStringLiteral(", "));
    lines << QStringLiteral("readings with the error bit: %1, with the warning bit: %2")
                 .arg(errorBit_)
                 .arg(warningBit_);
    if (readings_ == 0) {
        lines << QStringLiteral("position mm: no readings");
    } else {
        lines << QStringLiteral("position mm: min %1, max %2, mean %3, std dev %4")
                     .arg(minMm_, 0, 'f', 4)
                     .arg(maxMm_, 0, 'f', 4)
                     .arg(meanMm_, 0, 'f', 4)
                     .arg(StdDevMm(), 0, 'f', 6);
    }
    if (largestStepCounts_) {
        lines << QStringLiteral("largest step: %1 counts, %2 mm")
                     .arg(*largestStepCounts_)
                     .arg(largestStepMm_, 0, 'f', 4);
    } else {
        lines << QStringLiteral("largest step: fewer than two readings");
    }
    return lines;
}

QByteArray TRunSummary::Json(std::uint64_t elapsedMs) const {
    QJsonObject faults;
    for (const FaultName& f : kFaultNames)
        faults.insert(QLatin1String(f.key),
                      static_cast<qint64>(faults_[static_cast<int>(f.fault)]));
    QJsonObject o;
    o.insert(QLatin1String("readings"), static_cast<qint64>(readings_));
    o.insert(QLatin1String("seconds"), Seconds(elapsedMs));
    o.insert(QLatin1String("readings_per_second"), PerSecond(readings_, elapsedMs));
    o.insert(QLatin1String("faults"), faults);
    o.insert(QLatin1String("error_bit_readings"), static_cast<qint64>(errorBit_));
    o.insert(QLatin1String("warning_bit_readings"), static_cast<qint64>(warningBit_));
    if (readings_ > 0) {
        o.insert(QLatin1String("position_mm"), QJsonObject{{QLatin1String("min"), minMm_},
                                                           {QLatin1String("max"), maxMm_},
                                                           {QLatin1String("mean"), meanMm_},
                                                           {QLatin1String("std_dev"), StdDevMm()}});
    } else {
        o.insert(QLatin1String("position_mm"), QJsonValue::Null);
    }
    if (largestStepCounts_) {
        o.insert(QLatin1String("largest_step"),
                 QJsonObject{{QLatin1String("counts"), static_cast<qint64>(*largestStepCounts_)},
                             {QLatin1String("mm"), largestStepMm_}});
    } else {
        o.insert(QLatin1String("largest_step"), QJsonValue::Null);
    }
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}
