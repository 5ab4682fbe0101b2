// The K740-3T box's protocol above the single transaction: the identification
// probe, the set-up and its checks, the clock and supply commands and the
// encoder read. Free of widgets: the reading session talks to the box through
// these, and so do the window's own settings controls; the caller decides how
// a message or a log line reaches its user.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "core/Enkoderji_splosno.h"
#include "core/PortList.h"
#include "platform/SerialPort.h"

// What a protocol step has to tell its caller, at the moment it happens, so
// messages and log lines keep their order among the exchanges.
struct TBoxReport {
    // A failed check, for the user to see (the window shows a message box).
    std::function<void(const QString&)> Message;
    // A line for the diagnostic log.
    std::function<void(const QString&)> Log;
};

// ------------------------------------------------------------ probe

// A candidate port that exists but could not be opened, and the system's
// reason (held by another program, no permission, gone).
struct TPortOpenFailure {
    int Port = 0;
    int SystemError = 0;
};

struct TProbeResult {
    bool Found = false;
    int Port = 0;  // the box's port when found
    // Every candidate that failed to open, in the order tried.
    std::vector<TPortOpenFailure> OpenFailures;
};

// The line that tells the user why a candidate port cannot be used, or an
// empty text for a reason the user cannot act on (the port has gone). `group`
// is the group that owns the device, empty when unknown.
QString PortOpenFailureText(int port, const QString& device, platform::OpenError why,
                            const QString& group);

// Turns a probe's open failures into lines for the user, each port and
// reason at most once in the reporter's life: the scan runs every second, and
// the same advice every second would bury everything else.
class TPortAccessReporter {
public:
    QStringList NewLines(const std::vector<TPortOpenFailure>& failures);

private:
    std::set<std::pair<int, platform::OpenError>> told_;
};

// Lists the candidate ports into `comPorts` and tries each in order: open,
// 115200 8N1, "v". The first whose reply begins with "K740-3T" stays open in
// `port`, with the raw reply in `identification`; the rest are put back as
// they were and closed. A port `port` held is closed first; it holds each
// port from the moment it is opened, `portOpened` runs right then (the window
// lets pending events be handled there), and it holds none when no box
// answered. With `onlyPort` set, the other candidates are listed but not
// tried.
TProbeResult ProbeForBox(TSortedStringList& comPorts, platform::OwnedPort& port,
                         QByteArray& identification, const std::function<void()>& portOpened = {},
                         std::optional<int> onlyPort = std::nullopt);

// ------------------------------------------------------------ set-up

// What the set-up learns about the box.
struct TBoxIdentity {
    QByteArray Identification;  // the reply to "v", printable characters only
    std::int32_t RevisionFW = 0;
    QByteArray Version;  // characters 10 to 14 of the identification, ".", the revision
    QByteArray Serial;   // letters and digits of the reply to "r"
};

// The set-up's first exchanges. One reply buffer serves "o", "Cp", "G0:1" and
// "D055" in turn: a transaction that fails without a byte leaves the previous
// reply in it, and the messages and log lines show it as it was left.
class TInterfaceSetup {
public:
    explicit TInterfaceSetup(platform::PortHandle port) : port_(port) {}
    // "o" and "r"; neither result is examined, only the reply texts.
    TBoxIdentity ReadIdentity(const QByteArray& identificationReply);
    // "Cp", "G0:1", "D055": a message for a failed transaction and another
    // for a reply that contains "ERROR" in any case, then the settings line.
    void CheckSettings(const TBoxReport& report);

private:
    platform::PortHandle port_;
    QByteArray reply_;
};

// The SPI clock the set-up selects: "5 = 1.5 MHz".
inline constexpr int kSetupSpiClock = 5;

// "M<n>", then "m"; logs the clock the box reports. Only a buffer left empty
// counts as failure, whatever the result codes said.
void SetSpiClock(platform::PortHandle port, int n, const TBoxReport& report);
// "V5" and "n", each checked by the start of its reply, then 200 ms for the
// supply to settle.
void SwitchSupplyOn5V(platform::PortHandle port, const TBoxReport& report);
// "f", checked likewise, then 200 ms.
void SwitchSupplyOff(platform::PortHandle port, const TBoxReport& report);
// "e": the supply status, trimmed; the result is not examined.
QString QuerySupplyStatus(platform::PortHandle port);

// ------------------------------------------------------------ encoder read

// "?06:006" for the advanced frame, "?04:004" for the simple one.
QByteArray EncoderReadCommand(bool advanced);

struct TEncoderRead {
    QByteArray Command;
    QString Reply;  // blanks removed, upper-cased; empty unless the reply was complete
};

// Sends the read command. The result goes to pos.ErrComm; a complete reply,
// cleaned, to pos.RxData. Nothing else in `pos` changes: decoding is
// DecodeFrame's.
TEncoderRead SendEncoderRead(platform::PortHandle port, bool advanced, TEncoderPosition& pos);
