// One reading session: the tool's three states (interface search, encoder
// search, reading) over one box, free of widgets. Every front end drives the
// same session and observes what it reports: the window shows it, the
// headless recorder writes it to a file, a run summary counts it. One Step()
// is one tick of a state; the caller waits the delay it returns (the window's
// timers do the waiting there) and steps the state it names.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/BoxProtocol.h"
#include "core/EncoderDetection.h"
#include "core/Enkoderji_splosno.h"
#include "core/PortList.h"
#include "platform/SerialPort.h"

enum class TSessionState { SearchInterface, SearchEncoder, Reading };

// How long each state waits before its next tick.
inline constexpr int kInterfaceSearchMs = 1000;
inline constexpr int kEncoderSearchMs = 850;
inline constexpr int kDefaultReadingIntervalMs = 70;  // the user may change it

struct TSessionStep {
    TSessionState Next;
    int DelayMs;
    // A good reading that is due to refresh the supply status (every 21st).
    // The caller asks once it has armed its next tick: the exchange then
    // runs in the pause instead of stretching it.
    bool SupplyStatusDue = false;
};

// The texts of what the session reports, which every front end logs alike.
QString InterfaceFoundLine(int port);  // "Interface found on COM7"
inline constexpr char kEncoderFoundLine[] = "Encoder found.";
inline constexpr char kInterfaceLostLine[] = "Interface disconnected!";
inline constexpr char kEncoderLostLine[] = "Encoder disconnected!";
inline constexpr char kReplyRefusedLine[] = "Incorrect data returned from K740.";

// The state the window holds under these names as its own fields. The window
// derives from this; the recorder keeps one of its own.
struct TSessionFields {
    platform::OwnedPort K740_H;  // the box's port
    // Advanced readings since the latched status was last cleared.
    std::uint16_t CycleCounterStatus = 0;
    // Good readings since the supply status was last refreshed.
    std::uint16_t CycleCounterPower = 0;
    // The detailed status bits of this window of readings, ORed.
    std::uint8_t Encoder_Status_delay = 0;
    // Software zero in counts, subtracted before scaling to mm.
    std::int32_t EncoderZeroPos_cnt = 0;
    TSortedStringList COMPorts;  // the candidates of the last scan
    // The box's reply to "v" while probing; its printable part once set up.
    QByteArray K740identifikacija;
};

// The encoder records a session decodes into: the module globals in the
// window, records of its own in the recorder.
struct TEncoderRecords {
    TEncoderPosition& Position;
    TEncoderSignature& Signature;
    std::int32_t& DetailedStatus;
};

// One read of the encoder, by the detection or by the reading loop.
struct TFrameRead {
    explicit TFrameRead(const TEncoderPosition& position) : Position(position) {}
    const TEncoderPosition& Position;  // as the read left it (decoded unless refused)
    bool Advanced = false;
    bool Reading = false;  // a read of the reading loop, not of the detection
    QByteArray Command;
    std::int32_t ErrComm = 0;  // the transaction's result; nothing below is set unless 0
    QString Reply;             // the reply with blanks removed, upper-cased
    // Refused for its length: nothing was decoded and the port is closed.
    bool Refused = false;
    QString CrcCaption;  // "CRC: 92 / 92"; empty for the simple frame
};

// A reading of the reading loop that passed its check.
struct TGoodReading {
    const TEncoderPosition& Position;
    bool Advanced = false;
    QString Reply;            // the raw frame, as read
    std::uint8_t Status = 0;  // the detailed status of this reading (advanced)
    // The status bits of the window of 11 advanced readings this one belongs
    // to, ORed up to and including this one: what the status panels show.
    std::uint8_t LatchedStatus = 0;
};

// What a session reports, in the order it happens. Every report has an empty
// default, so an observer takes only what it needs.
class TSessionObserver {
public:
    virtual ~TSessionObserver() = default;

    // ---- interface search
    // Before the scan, which blocks: the window paints its status first.
    virtual void SearchingInterface() {}
    // The scan has just opened a port (the window handles pending events).
    virtual void PortOpened() {}
    // Why a candidate port cannot be used; each port and reason once a run.
    virtual void PortAccessProblem(const QString& /*line*/) {}
    virtual void InterfaceFound(int /*port*/) {}
    virtual void InterfaceIdentified(const TBoxIdentity& /*identity*/) {}
    // A set-up check that failed, for the user to see.
    virtual void SetupMessage(const QString& /*text*/) {}
    // A line of the set-up for the diagnostic log.
    virtual void SetupLog(const QString& /*line*/) {}
    // The settings are checked; the SPI clock of the set-up comes next.
    virtual void SettingsChecked() {}
    // A moment to refresh the supply status: the end of the set-up and every
    // encoder search (a reading says so in its step instead). Asking costs an
    // exchange, so the observer asks (QuerySupplyStatus) only when it shows
    // it.
    virtual void SupplyStatusDue() {}
    // The set-up is done; the encoder search comes next.
    virtual void InterfaceReady() {}

    // ---- encoder search
    virtual void SearchingEncoder() {}
    // No configuration is selected while the search runs.
    virtual void ConfigurationCleared() {}
    // `found` is Advanced or Simple; the signature has its part number.
    virtual void EncoderFound(TDetection /*found*/) {}

    // ---- both
    virtual void FrameRead(const TFrameRead& /*read*/) {}

    // ---- reading
    virtual void GoodReading(const TGoodReading& /*reading*/) {}
    // A reading that failed, by its cause; a lost interface or encoder follows
    // unless the reply was refused for its length.
    virtual void ReadingFailed(TReadingFault /*fault*/) {}
    virtual void InterfaceLost() {}
    virtual void EncoderLost() {}
};

class TReadingSession {
public:
    TReadingSession(TSessionFields& fields, TEncoderRecords records);
    TReadingSession(const TReadingSession&) = delete;
    TReadingSession& operator=(const TReadingSession&) = delete;

    // Observers are told in the order they were added; they must outlive the
    // session's steps.
    void AddObserver(TSessionObserver* observer);

    // One tick of the state the last step named (the interface search at
    // first).
    TSessionStep Step();
    // One tick of `state`. The window steps the state of the timer that
    // fired: starting a recording arms the reading timer from any state.
    TSessionStep Step(TSessionState state);
    TSessionState State() const { return state_; }

    // The interface search's scan alone: the box's port, or none.
    std::optional<int> ScanPorts();

    void SetReadingIntervalMs(int ms) { readingIntervalMs_ = ms; }
    // Only this port is tried; every candidate when empty.
    void SetOnlyPort(std::optional<int> port) { onlyPort_ = port; }
    // The resolution item (0: binary) for the scale and the part number.
    void SetResolutionIndex(int index) { resolutionIndex_ = index; }

private:
    TSessionState SearchInterface();
    TSessionState SearchEncoder();
    TSessionState Read();
    void SetUpInterface();
    // One read, told as FrameRead; false when the reply was refused.
    bool ReadEncoder(bool advanced, bool reading);
    TBoxReport Report();
    template <typename... Params, typename... Args>
    void Tell(void (TSessionObserver::*report)(Params...), const Args&... args);

    TSessionFields& fields_;
    TEncoderRecords records_;
    std::vector<TSessionObserver*> observers_;
    TSessionState state_ = TSessionState::SearchInterface;
    // The configuration the detection selected; none while it searches.
    std::optional<TEncoderConfig> config_;
    TPortAccessReporter portAccess_;
    int readingIntervalMs_ = kDefaultReadingIntervalMs;
    std::optional<int> onlyPort_;
    int resolutionIndex_ = 0;
    bool supplyStatusDue_ = false;  // for the step being taken
};
