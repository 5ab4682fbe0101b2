#include "core/BoxProtocol.h"

#include "core/Orodja.h"
#include "core/Serial_driver.h"
#include "platform/Clock.h"

namespace {

QString latin1(const QByteArray& b) {
    return QString::fromLatin1(b);
}

void message(const TBoxReport& report, const QString& text) {
    if (report.Message) report.Message(text);
}

void log(const TBoxReport& report, const QString& text) {
    if (report.Log) report.Log(text);
}

// The supply commands are checked by the start of their reply only.
void supplyCommand(platform::PortHandle port, const char* command, const char* expected,
                   QByteArray& reply, const TBoxReport& report) {
    SendCommand(port, command, 0, reply);
    if (!reply.startsWith(expected))
        message(report, QStringLiteral("Error setting power supply! (") + command + ") -> (" +
                            PrintableOnly(latin1(reply)) + ")");
}

constexpr unsigned kSupplySettleMs = 200;

}  // namespace

QString PortOpenFailureText(int port, const QString& device, platform::OpenError why,
                            const QString& group) {
    const QString head = QStringLiteral("Cannot open COM%1 (%2): ").arg(port).arg(device);
    switch (why) {
        case platform::OpenError::AccessDenied:
            // A device of root's own group is not meant to be joined.
            if (group.isEmpty() || group == QLatin1String("root"))
                return head + QStringLiteral(
                                  "permission denied. Ask the administrator for read "
                                  "and write access to it.");
            return head + QStringLiteral(
                              "permission denied. Add your user to the group %1 and "
                              "log in again.")
                              .arg(group);
        case platform::OpenError::InUse:
            return head + QStringLiteral("it is in use by another program.");
        case platform::OpenError::NotFound:
        case platform::OpenError::Other:
            break;
    }
    return {};
}

QStringList TPortAccessReporter::NewLines(const std::vector<TPortOpenFailure>& failures) {
    QStringList lines;
    for (const TPortOpenFailure& f : failures) {
        const platform::OpenError why = platform::ClassifyOpenError(f.SystemError);
        const QString text =
            PortOpenFailureText(f.Port, QString::fromStdString(platform::DevicePathForPort(f.Port)),
                                why, QString::fromStdString(platform::DeviceGroupForPort(f.Port)));
        if (!text.isEmpty() && told_.insert({f.Port, why}).second) lines << text;
    }
    return lines;
}

TProbeResult ProbeForBox(TSortedStringList& comPorts, platform::OwnedPort& port,
                         QByteArray& identification, const std::function<void()>& portOpened,
                         std::optional<int> onlyPort) {
    TProbeResult result;
    port.Close();
    ListComPorts(platform::ReadSerialDeviceMap(), comPorts);
    for (const int n : PortNumbers(comPorts)) {
        if (onlyPort && n != *onlyPort) continue;
        port.Reset(platform::OpenPort(n));
        if (!port.IsOpen()) {
            result.OpenFailures.push_back({n, platform::LastError()});
            continue;
        }
        if (portOpened) portOpened();
        platform::LineSettings saved;
        if (platform::GetLineSettings(port.Get(), saved)) {
            platform::LineSettings work = saved;
            work.BaudRate = 115200;
            work.ByteSize = 8;
            work.Parity = platform::Parity::None;
            work.StopBits = platform::StopBits::One;
            if (platform::SetLineSettings(port.Get(), work)) {
                const std::int32_t r = SendCommand(port.Get(), "v", 7, identification);
                if (r == TR_OK && identification.startsWith("K740-3T")) {
                    result.Found = true;
                    result.Port = n;
                    return result;
                }
                platform::SetLineSettings(port.Get(), saved);
            }
        }
        port.Close();
    }
    return result;
}

TBoxIdentity TInterfaceSetup::ReadIdentity(const QByteArray& identificationReply) {
    TBoxIdentity id;
    SendCommand(port_, "o", 0, reply_);
    id.RevisionFW = StrToIntDef(AlphaNumOnly(latin1(reply_)), 0);
    id.Identification = PrintableOnly(latin1(identificationReply)).toLatin1();
    id.Version = id.Identification.mid(9, 5) + "." + QByteArray::number(id.RevisionFW);
    QByteArray serial;
    SendCommand(port_, "r", 0, serial);
    id.Serial = AlphaNumOnly(latin1(serial)).toLatin1();
    return id;
}

void TInterfaceSetup::CheckSettings(const TBoxReport& report) {
    struct Step {
        const char* command;
        const char* logPrefix;
    };
    for (const Step& s : {Step{"Cp", "Protocol settings: "}, Step{"G0:1", "SPI settings: "},
                          Step{"D055", "SPI settings: "}}) {
        const std::int32_t r = SendCommand(port_, s.command, 0, reply_);
        const QString text = QStringLiteral("Interface error: ") + s.command + " -> " +
                             PrintableOnly(latin1(reply_));
        if (r != TR_OK) message(report, text);
        if (UpperCase(reply_).contains("ERROR")) message(report, text);
        log(report, QString::fromLatin1(s.logPrefix) + PrintableOnly(latin1(reply_)));
    }
}

void SetSpiClock(platform::PortHandle port, int n, const TBoxReport& report) {
    QByteArray reply;
    if (SendCommand(port, "M" + QByteArray::number(n), 0, reply) == TR_OK) {
        if (SendCommand(port, "m", 0, reply) == TR_OK) {
            reply = Trim(latin1(reply)).toLatin1();
            log(report, QStringLiteral("SPI frequency: ") + latin1(reply));
        }
    }
    if (reply.isEmpty()) message(report, QStringLiteral("SPI Frequency setting %1 failed!").arg(n));
}

void SwitchSupplyOn5V(platform::PortHandle port, const TBoxReport& report) {
    QByteArray reply;
    supplyCommand(port, "V5", "V5", reply, report);
    supplyCommand(port, "n", "ON", reply, report);
    platform::SleepMs(kSupplySettleMs);
}

void SwitchSupplyOff(platform::PortHandle port, const TBoxReport& report) {
    QByteArray reply;
    supplyCommand(port, "f", "OFF", reply, report);
    platform::SleepMs(kSupplySettleMs);
}

QString QuerySupplyStatus(platform::PortHandle port) {
    QByteArray reply;
    SendCommand(port, "e", 0, reply);
    return Trim(latin1(reply));
}

QByteArray EncoderReadCommand(bool advanced) {
    const int n = advanced ? 6 : 4;  // frame length in bytes
    return "?" + ZeroPadCount(n, 2) + ":" + ZeroPadCount(n, 3);
}

TEncoderRead SendEncoderRead(platform::PortHandle port, bool advanced, TEncoderPosition& pos) {
    TEncoderRead read;
    read.Command = EncoderReadCommand(advanced);
    QByteArray reply;
    pos.ErrComm = SendCommand(port, read.Command, 0, reply);
    if (pos.ErrComm != TR_OK) return read;
    read.Reply = UpperCase(RemoveSpaces(latin1(reply)));
    pos.RxData = read.Reply.toLatin1();
    return read;
}
