#include "record/Recorder.h"

#include <QDir>
#include <QFileInfo>

#include "core/EncoderDetection.h"
#include "core/FrameDecoder.h"
#include "core/Serial_driver.h"
#include "platform/Clock.h"

namespace {

// The tool's timer intervals for the two searches.
constexpr int kInterfaceSearchMs = 1000;
constexpr int kEncoderSearchMs = 850;

}  // namespace

TRecorder::TRecorder(TRecorderOptions options) : options_(std::move(options)) {
    Clock = [] { return platform::TickMs(); };
    Now = [] { return QDateTime::currentDateTime(); };
    Locale = [] { return QLocale(); };
}

TRecorder::~TRecorder() {
    ClosePort();
}

std::uint64_t TRecorder::ElapsedMs() const {
    return recordStart_ ? Clock() - *recordStart_ : 0;
}

void TRecorder::Say(const QString& line) const {
    if (Log) Log(line);
}

TBoxReport TRecorder::Report() const {
    // Without a window, a failed check is one more line for the user.
    return {[this](const QString& text) { Say(text); }, [this](const QString& line) { Say(line); }};
}

void TRecorder::ClosePort() {
    if (port_ == platform::InvalidHandle) return;
    platform::ClosePort(port_);
    port_ = platform::InvalidHandle;
}

bool TRecorder::TimeUp() const {
    return recordStart_ && RecordingTimeUp(ElapsedMs(), options_.Seconds);
}

int TRecorder::Step() {
    if (!begun_) begun_ = Clock();
    switch (state_) {
        case TRecorderState::SearchInterface:
            return SearchInterface();
        case TRecorderState::SearchEncoder:
            return SearchEncoder();
        case TRecorderState::Reading:
            return ReadEncoder();
        case TRecorderState::Finished:
            break;
    }
    return 0;
}

void TRecorder::Stop() {
    if (state_ != TRecorderState::Finished) Finish(TRecorderExit::Done);
}

int TRecorder::Finish(TRecorderExit exit, const QString& why) {
    ClosePort();
    exit_ = exit;
    if (file_) {
        const TRecordingResult closed = file_->Close();
        file_.reset();
        if (!closed.Ok() && exit_ == TRecorderExit::Done) {
            exit_ = TRecorderExit::FileFailed;
            Say(QStringLiteral("cannot close %1: %2")
                    .arg(QDir::toNativeSeparators(closed.Path), closed.Reason));
        }
    }
    if (!why.isEmpty()) Say(why);
    state_ = TRecorderState::Finished;
    return 0;
}

int TRecorder::SearchInterface() {
    // A recording that lost its box still ends on time.
    if (TimeUp()) return Finish(TRecorderExit::Done);
    ClosePort();
    const TProbeResult probe = ProbeForBox(comPorts_, port_, identification_, {}, options_.Port);
    for (const QString& line : portAccess_.NewLines(probe.OpenFailures)) Say(line);
    if (!probe.Found) {
        if (!Recording() &&
            Clock() - *begun_ >= static_cast<std::uint64_t>(options_.WaitSeconds) * 1000u)
            return Finish(TRecorderExit::NoBox,
                          QStringLiteral("no K740-3T box answered%1 within %2 s")
                              .arg(options_.Port ? QStringLiteral(" on COM%1").arg(*options_.Port)
                                                 : QString())
                              .arg(options_.WaitSeconds));
        return kInterfaceSearchMs;
    }
    portNumber_ = probe.Port;
    Say(QStringLiteral("Interface found on COM") + QString::number(probe.Port));
    const TInterfaceSetUp setUp = SetUpInterface(port_, identification_, Report());
    Say(QStringLiteral("Interface: ") + QString::fromLatin1(setUp.Identity.Identification) + "." +
        QString::number(setUp.Identity.RevisionFW) + ", Serial: " +
        QString::fromLatin1(setUp.Identity.Serial) + ", supply: " + setUp.SupplyStatus);
    state_ = TRecorderState::SearchEncoder;
    return kEncoderSearchMs;
}

bool TRecorder::ReadFrame(bool advanced, TEncoderRead& read) {
    read = SendEncoderRead(port_, advanced, position_);
    if (position_.ErrComm != TR_OK) return true;
    // No software zero here: positions are absolute, as in the tool before
    // anyone zeroes it.
    if (DecodeFrame(advanced, 0, position_, detailedStatus_).LengthOk) return true;
    ReplyRefused();
    return false;
}

void TRecorder::ReplyRefused() {
    Say(QStringLiteral("Incorrect data returned from K740."));
    ++faults_;
    ClosePort();
    state_ = TRecorderState::SearchInterface;
}

int TRecorder::SearchEncoder() {
    if (TimeUp()) return Finish(TRecorderExit::Done);
    PrepareEncoderSearch(position_, signature_, 0);
    TEncoderRead read;
    const bool advancedOk = ReadFrame(true, read);
    const TDetectionRead advanced = TDetectionRead::Of(position_, !advancedOk);
    TDetection outcome = DetectEncoder(advanced);
    if (outcome == TDetection::ReadSimple) {
        const bool simpleOk = ReadFrame(false, read);
        outcome = DetectEncoder(advanced, TDetectionRead::Of(position_, !simpleOk));
    }
    switch (outcome) {
        case TDetection::ReplyRefused:  // back to the interface search already
            return kInterfaceSearchMs;
        case TDetection::InterfaceLost:
            state_ = TRecorderState::SearchInterface;
            return kInterfaceSearchMs;
        case TDetection::KeepSearching:
        case TDetection::ReadSimple:
            if (!Recording() &&
                Clock() - *begun_ >= static_cast<std::uint64_t>(options_.WaitSeconds) * 1000u)
                return Finish(TRecorderExit::NoBox,
                              QStringLiteral("no encoder answered on the box on COM%1 within %2 s")
                                  .arg(portNumber_)
                                  .arg(options_.WaitSeconds));
            return kEncoderSearchMs;
        case TDetection::Advanced:
        case TDetection::Simple:
            break;
    }
    advanced_ = outcome == TDetection::Advanced;
    signature_.PartNumber =
        ComposePartNumber(EncoderConfigurationItems().at(static_cast<int>(DetectedConfig(outcome))),
                          EncoderResolutionItems().at(0));
    Say(QStringLiteral("Encoder found."));
    Say(VariantLogLine(outcome));
    if (!Recording() && !StartFile()) return 0;
    state_ = TRecorderState::Reading;
    return options_.IntervalMs;
}

bool TRecorder::StartFile() {
    filePath_ = options_.OutFile.isEmpty()
                    ? RecordingPath(options_.OutFolder, signature_.PartNumber,
                                    signature_.SerialNumber, Now())
                    : options_.OutFile;
    TRecordingResult result;
    file_ = TRecordingFile::Start(filePath_, result);
    if (!file_) {
        Finish(TRecorderExit::FileFailed,
               QStringLiteral("cannot create %1: %2")
                   .arg(QDir::toNativeSeparators(result.Path), result.Reason));
        return false;
    }
    recordStart_ = Clock();
    Say(QStringLiteral("Recording to ") +
        QDir::toNativeSeparators(QFileInfo(filePath_).absoluteFilePath()));
    return true;
}

int TRecorder::ReadEncoder() {
    TEncoderRead read;
    if (!ReadFrame(advanced_, read)) return kInterfaceSearchMs;
    switch (ClassifyReading(position_)) {
        case TReadingOutcome::InterfaceLost:
            Say(QStringLiteral("Interface disconnected!"));
            ++faults_;
            state_ = TRecorderState::SearchInterface;
            return kInterfaceSearchMs;
        case TReadingOutcome::EncoderLost:
            Say(QStringLiteral("Encoder disconnected!"));
            ++faults_;
            state_ = TRecorderState::SearchEncoder;
            return kEncoderSearchMs;
        case TReadingOutcome::Good:
            break;
    }
    const std::uint64_t elapsed = ElapsedMs();
    const TRecordingResult written =
        file_->Write(RecordingLine(elapsed, read.Reply, position_, Locale()));
    if (!written.Ok())
        return Finish(TRecorderExit::FileFailed,
                      QStringLiteral("cannot write %1: %2")
                          .arg(QDir::toNativeSeparators(written.Path), written.Reason));
    ++readings_;
    if (RecordingTimeUp(elapsed, options_.Seconds)) return Finish(TRecorderExit::Done);
    return options_.IntervalMs;
}
