#include "core/Serial_driver.h"

#include <vector>

#include "platform/Clock.h"

std::uint32_t ReplyTimeoutMs = 400;
bool TrafficLogEnabled = false;
QString TrafficLog;
ReplyWait ReplyWaitMode = ReplyWait::Blocking;

namespace {

bool writeCommand(platform::PortHandle port, const QByteArray& command, std::uint8_t byteDelayMs) {
    if (byteDelayMs == 0) return platform::WriteBytes(port, command.constData(), command.size());
    // An empty command makes no write call; with nothing to fail it counts as
    // written and the reply is waited for as usual.
    for (qsizetype i = 0; i < command.size(); ++i) {
        if (i > 0) platform::SleepMs(byteDelayMs);
        if (!platform::WriteBytes(port, command.constData() + i, 1)) return false;
    }
    return true;
}

bool complete(const QByteArray& reply, std::uint32_t expectedLength) {
    if (expectedLength > 0) return static_cast<std::uint64_t>(reply.size()) >= expectedLength;
    return reply.contains('\r');
}

}  // namespace

std::int32_t SendReceive(platform::PortHandle port, const QByteArray& command,
                         std::uint8_t byteDelayMs, std::uint32_t expectedLength,
                         QByteArray& reply) {
    if (port == platform::InvalidHandle) return TR_NOPORT;
    if (!writeCommand(port, command, byteDelayMs)) {
        const int err = platform::LastError();
        return err > 0 ? -err : -1000;  // never confused with 0, -1 or -3 by a zero code
    }
    if (TrafficLogEnabled)
        TrafficLog += QStringLiteral("TX:") + QString::fromLatin1(command) + "\r\n";

    reply.clear();
    const std::uint64_t start = platform::TickMs();
    bool done = false;
    bool hungUp = false;
    std::vector<char> buf;
    for (;;) {
        const long queued = platform::QueuedBytes(port);
        if (queued > 0) {
            buf.resize(static_cast<std::size_t>(queued));
            const long got = platform::ReadBytes(port, buf.data(), buf.size());
            if (got > 0) reply.append(buf.data(), got);
        }
        // Completion before time: bytes read in the last poll still count.
        if (complete(reply, expectedLength)) {
            done = true;
            break;
        }
        const std::uint64_t elapsed = platform::TickMs() - start;
        if (elapsed > ReplyTimeoutMs || hungUp) break;
        if (ReplyWaitMode == ReplyWait::BusyPoll) continue;
        // Sleep in the kernel until a byte arrives, the other end goes, or the
        // time is up: no processor time is spent waiting.
        const int left = static_cast<int>(ReplyTimeoutMs - elapsed) + 1;
        const platform::WaitResult w = platform::WaitReadable(port, left);
        // A port whose other end has gone reports that at once and for ever;
        // take what is queued in one more round, then give up.
        if (w == platform::WaitResult::Hangup || w == platform::WaitResult::Error) hungUp = true;
    }
    const std::int32_t result = done ? TR_OK : TR_TIMEOUT;
    if (TrafficLogEnabled)
        TrafficLog += QStringLiteral("RX:") + QString::fromLatin1(reply) + "\r\n";
    return result;
}

std::int32_t SendCommand(platform::PortHandle port, const QByteArray& command,
                         std::uint32_t expectedLength, QByteArray& reply) {
    return SendReceive(port, command, 0, expectedLength, reply);
}
