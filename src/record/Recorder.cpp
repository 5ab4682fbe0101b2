#include "record/Recorder.h"

#include <QDir>
#include <QFileInfo>

#include "platform/Clock.h"

namespace {

const QString kReaderGone = QStringLiteral("the reader of standard output has gone; stopping");

}  // namespace

TRecorder::TRecorder(TRecorderOptions options)
    : options_(std::move(options)),
      session_(fields_, TEncoderRecords{position_, signature_, detailedStatus_}) {
    Clock = [] { return platform::TickMs(); };
    Now = [] { return QDateTime::currentDateTime(); };
    Locale = [] { return QLocale(); };
    session_.SetReadingIntervalMs(options_.IntervalMs);
    session_.SetOnlyPort(options_.Port);
    session_.AddObserver(this);
}

TRecorderState TRecorder::State() const {
    if (finished_) return TRecorderState::Finished;
    switch (session_.State()) {
        case TSessionState::SearchInterface:
            return TRecorderState::SearchInterface;
        case TSessionState::SearchEncoder:
            return TRecorderState::SearchEncoder;
        case TSessionState::Reading:
            break;
    }
    return TRecorderState::Reading;
}

std::uint64_t TRecorder::ElapsedMs() const {
    return recordStart_ ? Clock() - *recordStart_ : 0;
}

void TRecorder::Say(const QString& line) const {
    if (Log) Log(line);
}

bool TRecorder::TimeUp() const {
    return recordStart_ && RecordingTimeUp(ElapsedMs(), options_.Seconds);
}

bool TRecorder::WaitedInVain() const {
    return !Recording() &&
           Clock() - *begun_ >= static_cast<std::uint64_t>(options_.WaitSeconds) * 1000u;
}

int TRecorder::Step() {
    if (finished_) return 0;
    if (!begun_) begun_ = Clock();
    const TSessionState stepping = session_.State();
    // A recording that lost its box still ends on time.
    if (stepping != TSessionState::Reading && TimeUp()) return Finish(TRecorderExit::Done);
    const TSessionStep next = session_.Step();
    if (end_) return Finish(end_->Exit, end_->Why);
    // Still searching where it searched: has the wait run out?
    if (next.Next == stepping && stepping != TSessionState::Reading && WaitedInVain()) {
        if (stepping == TSessionState::SearchInterface)
            return Finish(TRecorderExit::NoBox,
                          QStringLiteral("no K740-3T box answered%1 within %2 s")
                              .arg(options_.Port ? QStringLiteral(" on COM%1").arg(*options_.Port)
                                                 : QString())
                              .arg(options_.WaitSeconds));
        return Finish(TRecorderExit::NoBox,
                      QStringLiteral("no encoder answered on the box on COM%1 within %2 s")
                          .arg(portNumber_)
                          .arg(options_.WaitSeconds));
    }
    return next.DelayMs;
}

void TRecorder::Stop() {
    if (!finished_) Finish(TRecorderExit::Done);
}

void TRecorder::EndAfterThisStep(TRecorderExit exit, const QString& why) {
    if (!end_) end_ = TEnd{exit, why};
}

int TRecorder::Finish(TRecorderExit exit, const QString& why) {
    fields_.K740_H.Close();
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
    finished_ = true;
    end_.reset();
    return 0;
}

bool TRecorder::StartFile() {
    TRecordingResult result;
    if (options_.OutFile == kStandardOutputOption) {
        file_ = TRecordingFile::StartStandardOutput(result);
    } else {
        filePath_ = options_.OutFile.isEmpty()
                        ? RecordingPath(options_.OutFolder, signature_.PartNumber,
                                        signature_.SerialNumber, Now())
                        : options_.OutFile;
        file_ = TRecordingFile::Start(filePath_, result);
    }
    if (!file_) {
        if (result.Failure == TRecordingFailure::ReaderGone)
            EndAfterThisStep(TRecorderExit::Done, kReaderGone);
        else
            EndAfterThisStep(TRecorderExit::FileFailed,
                             QStringLiteral("cannot create %1: %2")
                                 .arg(QDir::toNativeSeparators(result.Path), result.Reason));
        return false;
    }
    recordStart_ = Clock();
    Say(QStringLiteral("Recording to ") +
        (filePath_.isEmpty() ? QString::fromLatin1(kStandardOutputName)
                             : QDir::toNativeSeparators(QFileInfo(filePath_).absoluteFilePath())));
    return true;
}

// ------------------------------------------------------------ the session's reports

void TRecorder::PortAccessProblem(const QString& line) {
    Say(line);
}

void TRecorder::InterfaceFound(int port) {
    portNumber_ = port;
    Say(InterfaceFoundLine(port));
}

void TRecorder::InterfaceIdentified(const TBoxIdentity& identity) {
    identity_ = identity;
}

// Without a window, a failed check is one more line for the user.
void TRecorder::SetupMessage(const QString& text) {
    Say(text);
}

void TRecorder::SetupLog(const QString& line) {
    Say(line);
}

void TRecorder::InterfaceReady() {
    Say(QStringLiteral("Interface: ") + QString::fromLatin1(identity_.Identification) + "." +
        QString::number(identity_.RevisionFW) +
        ", Serial: " + QString::fromLatin1(identity_.Serial) +
        ", supply: " + QuerySupplyStatus(fields_.K740_H.Get()));
}

void TRecorder::EncoderFound(TDetection found) {
    Say(QString::fromLatin1(kEncoderFoundLine));
    Say(VariantLogLine(found));
    if (!Recording()) StartFile();
}

void TRecorder::FrameRead(const TFrameRead& read) {
    if (read.Refused) Say(QString::fromLatin1(kReplyRefusedLine));
}

void TRecorder::GoodReading(const TGoodReading& reading) {
    // The file is open: the encoder search that led here started it, or
    // ended the run when it could not. No software zero here: positions
    // are absolute, as in the tool before anyone zeroes it.
    const std::uint64_t elapsed = ElapsedMs();
    const TRecordingResult written =
        file_->Write(RecordingLine(elapsed, reading.Reply, reading.Position, Locale()));
    if (written.Failure == TRecordingFailure::ReaderGone) {
        EndAfterThisStep(TRecorderExit::Done, kReaderGone);
        return;
    }
    if (!written.Ok()) {
        EndAfterThisStep(TRecorderExit::FileFailed,
                         QStringLiteral("cannot write %1: %2")
                             .arg(QDir::toNativeSeparators(written.Path), written.Reason));
        return;
    }
    summary_.Reading(reading.Position);
    if (RecordingTimeUp(elapsed, options_.Seconds)) EndAfterThisStep(TRecorderExit::Done);
}

void TRecorder::ReadingFailed(TReadingFault fault) {
    summary_.Fault(fault);
}

void TRecorder::InterfaceLost() {
    Say(QString::fromLatin1(kInterfaceLostLine));
}

void TRecorder::EncoderLost() {
    Say(QString::fromLatin1(kEncoderLostLine));
}
