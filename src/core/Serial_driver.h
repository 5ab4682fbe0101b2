// One request/reply transaction on an open serial port.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "platform/SerialPort.h"

// Result codes of a transaction.
inline constexpr std::int32_t TR_OK = 0;        // reply complete
inline constexpr std::int32_t TR_TIMEOUT = -1;  // not complete within ReplyTimeoutMs
inline constexpr std::int32_t TR_NOPORT = -3;   // invalid handle, nothing sent
// Any other negative value: the negated system error of the failed write.

extern std::uint32_t ReplyTimeoutMs;  // 400
extern bool TrafficLogEnabled;        // false
extern QString TrafficLog;            // empty

// How the transaction waits for reply bytes. The program blocks on the port
// until a byte is queued; the busy poll exists only so the benchmark can show
// what that saves.
enum class ReplyWait { Blocking, BusyPoll };
extern ReplyWait ReplyWaitMode;

// Writes `command` (whole, or one byte per call with `byteDelayMs` between
// bytes) and collects the reply until it holds `expectedLength` bytes (> 0) or
// contains a CR (0), or ReplyTimeoutMs passes. Every queued byte is taken, so
// the reply may be longer than asked; bytes that come later stay queued for
// the next transaction. On TR_NOPORT and on a failed write `reply` keeps its
// old content.
std::int32_t SendReceive(platform::PortHandle port, const QByteArray& command,
                         std::uint8_t byteDelayMs, std::uint32_t expectedLength, QByteArray& reply);

std::int32_t SendCommand(platform::PortHandle port, const QByteArray& command,
                         std::uint32_t expectedLength, QByteArray& reply);
