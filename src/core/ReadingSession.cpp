#include "core/ReadingSession.h"

#include "core/FrameDecoder.h"
#include "core/Serial_driver.h"

QString InterfaceFoundLine(int port) {
    return QStringLiteral("Interface found on COM") + QString::number(port);
}

TReadingSession::TReadingSession(TSessionFields& fields, TEncoderRecords records)
    : fields_(fields), records_(records) {}

void TReadingSession::AddObserver(TSessionObserver* observer) {
    observers_.push_back(observer);
}

template <typename... Params, typename... Args>
void TReadingSession::Tell(void (TSessionObserver::*report)(Params...), const Args&... args) {
    for (TSessionObserver* o : observers_) (o->*report)(args...);
}

TBoxReport TReadingSession::Report() {
    return {[this](const QString& text) { Tell(&TSessionObserver::SetupMessage, text); },
            [this](const QString& line) { Tell(&TSessionObserver::SetupLog, line); }};
}

TSessionStep TReadingSession::Step() {
    return Step(state_);
}

TSessionStep TReadingSession::Step(TSessionState state) {
    supplyStatusDue_ = false;
    switch (state) {
        case TSessionState::SearchInterface:
            state_ = SearchInterface();
            break;
        case TSessionState::SearchEncoder:
            state_ = SearchEncoder();
            break;
        case TSessionState::Reading:
            state_ = Read();
            break;
    }
    switch (state_) {
        case TSessionState::SearchInterface:
            return {state_, kInterfaceSearchMs};
        case TSessionState::SearchEncoder:
            return {state_, kEncoderSearchMs};
        case TSessionState::Reading:
            break;
    }
    return {state_, readingIntervalMs_, supplyStatusDue_};
}

// ------------------------------------------------------------ interface search

TSessionState TReadingSession::SearchInterface() {
    fields_.K740_H.Close();
    Tell(&TSessionObserver::SearchingInterface);
    if (!ScanPorts()) return TSessionState::SearchInterface;
    // Whatever the set-up reports, a box that answered leads to the encoder
    // search.
    SetUpInterface();
    return TSessionState::SearchEncoder;
}

std::optional<int> TReadingSession::ScanPorts() {
    const TProbeResult probe = ProbeForBox(
        fields_.COMPorts, fields_.K740_H, fields_.K740identifikacija,
        [this] { Tell(&TSessionObserver::PortOpened); }, onlyPort_);
    for (const QString& line : portAccess_.NewLines(probe.OpenFailures))
        Tell(&TSessionObserver::PortAccessProblem, line);
    if (!probe.Found) return std::nullopt;
    Tell(&TSessionObserver::InterfaceFound, probe.Port);
    return probe.Port;
}

void TReadingSession::SetUpInterface() {
    const TBoxReport report = Report();
    TInterfaceSetup setup(fields_.K740_H.Get());
    const TBoxIdentity identity = setup.ReadIdentity(fields_.K740identifikacija);
    fields_.K740identifikacija = identity.Identification;
    Tell(&TSessionObserver::InterfaceIdentified, identity);
    setup.CheckSettings(report);
    Tell(&TSessionObserver::SettingsChecked);
    // The port is asked afresh for each command: a message box of the checks
    // runs events, and whatever ran there may have closed it.
    SetSpiClock(fields_.K740_H.Get(), kSetupSpiClock, report);
    SwitchSupplyOn5V(fields_.K740_H.Get(), report);
    Tell(&TSessionObserver::SupplyStatusDue);
    Tell(&TSessionObserver::InterfaceReady);
}

// ------------------------------------------------------------ encoder search

TSessionState TReadingSession::SearchEncoder() {
    Tell(&TSessionObserver::SearchingEncoder);
    Tell(&TSessionObserver::SupplyStatusDue);
    // Each stay in the reading state starts from zero.
    fields_.Encoder_Status_delay = 0;
    fields_.CycleCounterStatus = 0;
    fields_.CycleCounterPower = 0;
    config_.reset();
    Tell(&TSessionObserver::ConfigurationCleared);
    PrepareEncoderSearch(records_.Position, records_.Signature, resolutionIndex_);

    const bool advancedDecoded = ReadEncoder(true, false);
    const TDetectionRead advanced = TDetectionRead::Of(records_.Position, !advancedDecoded);
    TDetection found = DetectEncoder(advanced);
    if (found == TDetection::ReadSimple) {
        const bool simpleDecoded = ReadEncoder(false, false);
        found = DetectEncoder(advanced, TDetectionRead::Of(records_.Position, !simpleDecoded));
    }
    switch (found) {
        case TDetection::Advanced:
        case TDetection::Simple:
            break;
        case TDetection::InterfaceLost:
        case TDetection::ReplyRefused:  // the refusal has closed the port
            return TSessionState::SearchInterface;
        case TDetection::KeepSearching:
        case TDetection::ReadSimple:
            return TSessionState::SearchEncoder;
    }
    config_ = DetectedConfig(found);
    records_.Signature.PartNumber =
        ComposePartNumber(EncoderConfigurationItems().at(static_cast<int>(*config_)),
                          EncoderResolutionItems().value(resolutionIndex_));
    Tell(&TSessionObserver::EncoderFound, found);
    return TSessionState::Reading;
}

// ------------------------------------------------------------ reading

TSessionState TReadingSession::Read() {
    // Before any detection (a recording started during a search) no
    // configuration is selected, which reads the simple frame.
    const bool advanced = config_ && IsAdvancedConfig(static_cast<int>(*config_));
    if (!ReadEncoder(advanced, true)) {
        Tell(&TSessionObserver::ReadingFailed, TReadingFault::WrongLength);
        return TSessionState::SearchInterface;
    }
    const TEncoderPosition& pos = records_.Position;
    switch (ClassifyReading(pos)) {
        case TReadingOutcome::InterfaceLost:
            Tell(&TSessionObserver::ReadingFailed, ReadingFaultOf(pos));
            Tell(&TSessionObserver::InterfaceLost);
            return TSessionState::SearchInterface;
        case TReadingOutcome::EncoderLost:
            Tell(&TSessionObserver::ReadingFailed, ReadingFaultOf(pos));
            Tell(&TSessionObserver::EncoderLost);
            return TSessionState::SearchEncoder;
        case TReadingOutcome::Good:
            break;
    }
    TGoodReading good{pos, advanced, QString::fromLatin1(pos.RxData)};
    if (advanced) {
        // The status panels work in windows of 11 advanced readings: a bit
        // seen once stays shown until its window ends.
        good.Status = static_cast<std::uint8_t>(records_.DetailedStatus & 0xFF);
        fields_.Encoder_Status_delay |= good.Status;
        good.LatchedStatus = fields_.Encoder_Status_delay;
        if (++fields_.CycleCounterStatus > 10) {
            fields_.CycleCounterStatus = 0;
            fields_.Encoder_Status_delay = 0;
        }
    }
    Tell(&TSessionObserver::GoodReading, good);
    if (++fields_.CycleCounterPower > 20) {
        fields_.CycleCounterPower = 0;
        supplyStatusDue_ = true;
    }
    return TSessionState::Reading;
}

bool TReadingSession::ReadEncoder(bool advanced, bool reading) {
    TEncoderPosition& pos = records_.Position;
    const TEncoderRead sent = SendEncoderRead(fields_.K740_H.Get(), advanced, pos);
    TFrameRead read{pos};
    read.Advanced = advanced;
    read.Reading = reading;
    read.Command = sent.Command;
    read.ErrComm = pos.ErrComm;
    read.Reply = sent.Reply;
    if (pos.ErrComm == TR_OK) {
        const TFrameDecode decoded =
            DecodeFrame(advanced, fields_.EncoderZeroPos_cnt, pos, records_.DetailedStatus);
        // A reply of the wrong length is no frame of this variant: the box
        // and the tool disagree, so the box is looked for afresh.
        read.Refused = !decoded.LengthOk;
        read.CrcCaption = decoded.CrcCaption;
        if (read.Refused) fields_.K740_H.Close();
    }
    Tell(&TSessionObserver::FrameRead, read);
    return !read.Refused;
}
