#include "K740Box.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace k740sim {
namespace {

constexpr std::uint32_t kCountMask = (1u << 26) - 1;
constexpr std::uint64_t kPartialTimeoutMs = 100;
// The box clocks at most this many bytes per read; anything longer is refused.
constexpr unsigned kMaxReadBytes = 64;
// A sim left running for days must not grow without bound.
constexpr std::size_t kMaxRecordedCommands = 200000;

// CRC-8, polynomial 0x97, MSB first, register starts at 0, no final XOR.
// Kept here so that the box does not depend on the code it is meant to check.
std::uint8_t crc8(const std::uint8_t* data, std::size_t size) {
    std::uint8_t reg = 0;
    for (std::size_t i = 0; i < size; ++i) {
        reg ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x80) ? static_cast<std::uint8_t>((reg << 1) ^ 0x97)
                               : static_cast<std::uint8_t>(reg << 1);
    }
    return reg;
}

// Bits 47..12 of the advanced frame: count, error, warning, status.
std::uint64_t advancedHead(std::uint32_t count, bool errorActive, bool warningActive,
                           std::uint8_t status) {
    return (std::uint64_t(count & kCountMask) << 10) | (std::uint64_t(errorActive ? 0 : 1) << 9) |
           (std::uint64_t(warningActive ? 0 : 1) << 8) | status;
}

// The CRC covers the 36 head bits with four zero bits in front, as 5 bytes.
std::uint8_t headCrc(std::uint64_t head) {
    std::uint8_t bytes[5];
    for (int i = 0; i < 5; ++i) bytes[i] = static_cast<std::uint8_t>(head >> (8 * (4 - i)));
    return crc8(bytes, sizeof bytes);
}

std::uint64_t advancedBits(std::uint32_t count, bool errorActive, bool warningActive,
                           std::uint8_t status, std::uint8_t trailing, bool badCrc) {
    const std::uint64_t head = advancedHead(count, errorActive, warningActive, status);
    std::uint8_t crc = headCrc(head);
    if (badCrc) crc ^= 0xFF;
    return (head << 12) | (std::uint64_t(crc) << 4) | (trailing & 0xF);
}

std::uint32_t simpleBits(std::uint32_t count, bool errorActive, bool warningActive,
                         std::uint8_t trailing) {
    return ((count & kCountMask) << 6) | (std::uint32_t(errorActive ? 0 : 1) << 5) |
           (std::uint32_t(warningActive ? 0 : 1) << 4) | (trailing & 0xFu);
}

std::string hexDigits(std::uint64_t value, int digits) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i) {
        out[static_cast<std::size_t>(i)] = kHex[value & 0xF];
        value >>= 4;
    }
    return out;
}

// How many bytes the command that starts with `first` has; 0 for a byte that
// starts none, which the box drops.
std::size_t commandLength(char first) {
    switch (first) {
        case 'v':
        case 'o':
        case 'r':
        case 'm':
        case 'n':
        case 'f':
        case 'e':
            return 1;
        case 'C':
        case 'M':
        case 'V':
            return 2;
        case 'G':
        case 'D':
            return 4;
        case '?':
            return 7;
        default:
            return 0;
    }
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// "?nn:nnn" with both numbers equal and in range -> byte count.
std::optional<unsigned> readLength(const std::string& cmd) {
    if (cmd.size() != 7 || cmd[0] != '?' || cmd[3] != ':') return std::nullopt;
    for (std::size_t i : {1u, 2u, 4u, 5u, 6u})
        if (!isDigit(cmd[i])) return std::nullopt;
    const unsigned a = unsigned(cmd[1] - '0') * 10 + unsigned(cmd[2] - '0');
    const unsigned b =
        unsigned(cmd[4] - '0') * 100 + unsigned(cmd[5] - '0') * 10 + unsigned(cmd[6] - '0');
    if (a != b || a == 0 || a > kMaxReadBytes) return std::nullopt;
    return a;
}

const char* clockName(char digit) {
    switch (digit) {
        case '1':
            return "94 kHz";
        case '2':
            return "188 kHz";
        case '3':
            return "375 kHz";
        case '4':
            return "750 kHz";
        case '5':
            return "1.5 MHz";
        case '6':
            return "3 MHz";
        case '7':
            return "6 MHz";
        case '8':
            return "12 MHz";
        default:
            return nullptr;
    }
}

const std::string kCrLf = "\r\n";
const std::string kError = "ERROR\r\n";

}  // namespace

K740Box::K740Box() = default;

std::vector<std::string> K740Box::Feed(std::string_view bytes, std::uint64_t nowMs) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    if (!pending_.empty() && nowMs > pendingSince_ && nowMs - pendingSince_ > kPartialTimeoutMs)
        pending_.clear();
    for (char c : bytes) {
        if (pending_.empty()) {
            if (commandLength(c) == 0) continue;
            pendingSince_ = nowMs;
        }
        pending_ += c;
        if (pending_.size() < commandLength(pending_[0])) continue;

        std::string command;
        command.swap(pending_);
        if (commands_.size() >= kMaxRecordedCommands)
            commands_.erase(commands_.begin(), commands_.begin() + kMaxRecordedCommands / 2);
        commands_.push_back(command);

        if (silent_ || noReply_.count(command)) continue;
        if (auto it = replyOverride_.find(command); it != replyOverride_.end()) {
            out.push_back(it->second);
            continue;
        }
        std::string reply = replyFor(command);
        out.push_back(garbage_ ? junk() : std::move(reply));
    }
    return out;
}

std::string K740Box::replyFor(const std::string& cmd) {
    switch (cmd[0]) {
        case 'v':
            return ident_ + kCrLf;
        case 'o':
            return firmware_ + kCrLf;
        case 'r':
            return serial_ + kCrLf;
        case 'C':
            return cmd == "Cp" ? "SPI MODE 1, MSB FIRST\r\n" : kError;
        case 'G':
        case 'D':
            // Echoed settings; control bytes in them would break the framing.
            for (char c : cmd)
                if (c < 0x21 || c > 0x7E) return kError;
            return "OK " + cmd + kCrLf;
        case 'M':
            if (!clockName(cmd[1])) return kError;
            clock_ = std::string(1, cmd[1]);
            return "OK\r\n";
        case 'm':
            return "M" + clock_ + " = " + clockName(clock_[0]) + kCrLf;
        case 'V':
            if (cmd != "V5") return kError;
            supply5V_ = true;
            return "V5 OK\r\n";
        case 'n':
            supplyOn_ = true;
            return "ON\r\n";
        case 'f':
            supplyOn_ = false;
            return "OFF\r\n";
        case 'e':
            return std::string(supplyOn_ ? (supply5V_ ? "5V ON" : "ON") : "OFF") + kCrLf;
        case '?': {
            const auto n = readLength(cmd);
            if (!n) return kError;
            std::string frame = frameText(*n);
            if (frames_.size() >= kMaxRecordedCommands)
                frames_.erase(frames_.begin(), frames_.begin() + kMaxRecordedCommands / 2);
            frames_.push_back(frame);
            return frame + kCrLf;
        }
        default:
            return kError;
    }
}

// The encoder's bit stream as the box clocks it: the frame first, then the
// idle line (all ones) for every byte beyond it; cut short when fewer bytes
// are asked for. An encoder without supply drives nothing, and the line's
// pull-up reads as all ones, as with no encoder at all.
std::string K740Box::frameText(unsigned nBytes) {
    std::string digits;
    const EncoderKind kind = supplyOn_ ? kind_ : EncoderKind::None;
    switch (kind) {
        case EncoderKind::Advanced:
            digits = hexDigits(
                advancedBits(position_, errorActive_, warningActive_, status_, trailing_, badCrc_),
                12);
            break;
        case EncoderKind::Simple:
            digits = hexDigits(simpleBits(position_, errorActive_, warningActive_, trailing_), 8);
            break;
        case EncoderKind::None:
            break;
    }
    if (kind != EncoderKind::None)
        position_ =
            static_cast<std::uint32_t>(position_ + static_cast<std::uint32_t>(speed_)) & kCountMask;

    const std::size_t want = std::size_t(nBytes) * 2;
    if (digits.size() > want) digits.resize(want);
    digits.append(want - digits.size(), 'F');

    if (lengthDelta_ > 0)
        digits.append(static_cast<std::size_t>(lengthDelta_), '0');
    else if (lengthDelta_ < 0)
        digits.resize(digits.size() - std::min(digits.size(), std::size_t(-lengthDelta_)));

    if (!lowerBlanks_) return digits;
    std::string spaced;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && i % 2 == 0) spaced += ' ';
        const char c = digits[i];
        spaced += (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return spaced;
}

// Junk as a disturbed line would bring it: any byte value, sometimes ended by
// CR LF and sometimes not, so that the tool meets both time-outs and rubbish.
std::string K740Box::junk() {
    auto next = [this] {
        junkSeed_ ^= junkSeed_ << 13;
        junkSeed_ ^= junkSeed_ >> 17;
        junkSeed_ ^= junkSeed_ << 5;
        return junkSeed_;
    };
    const std::size_t len = 1 + next() % 12;
    std::string out;
    for (std::size_t i = 0; i < len; ++i) {
        char c = static_cast<char>(next() & 0xFF);
        if (c == '\r') c = static_cast<char>(0x8D);  // a CR only where meant
        out += c;
    }
    if (next() & 1) out += kCrLf;
    return out;
}

void K740Box::PowerCycle() {
    std::lock_guard lock(mutex_);
    pending_.clear();
    supplyOn_ = false;
    supply5V_ = false;
    clock_.assign(1, '6');  // not = "6": GCC 12 warns falsely (-Wrestrict)
}

void K740Box::SetEncoder(EncoderKind kind) {
    std::lock_guard lock(mutex_);
    kind_ = kind;
}

void K740Box::SetPosition(std::uint32_t count) {
    std::lock_guard lock(mutex_);
    position_ = count & kCountMask;
}

std::uint32_t K740Box::Position() const {
    std::lock_guard lock(mutex_);
    return position_;
}

void K740Box::SetSpeed(std::int32_t countsPerRead) {
    std::lock_guard lock(mutex_);
    speed_ = countsPerRead;
}

void K740Box::SetErrorBit(bool active) {
    std::lock_guard lock(mutex_);
    errorActive_ = active;
}

void K740Box::SetWarningBit(bool active) {
    std::lock_guard lock(mutex_);
    warningActive_ = active;
}

void K740Box::SetDetailedStatus(std::uint8_t status) {
    std::lock_guard lock(mutex_);
    status_ = status;
}

void K740Box::SetIdentification(std::string text) {
    std::lock_guard lock(mutex_);
    ident_ = std::move(text);
}

void K740Box::SetFirmware(std::string text) {
    std::lock_guard lock(mutex_);
    firmware_ = std::move(text);
}

void K740Box::SetSerial(std::string text) {
    std::lock_guard lock(mutex_);
    serial_ = std::move(text);
}

void K740Box::SetSilent(bool silent) {
    std::lock_guard lock(mutex_);
    silent_ = silent;
}

void K740Box::SetReplyDelayMs(unsigned ms) {
    std::lock_guard lock(mutex_);
    delayMs_ = ms;
}

void K740Box::SetBadCrc(bool bad) {
    std::lock_guard lock(mutex_);
    badCrc_ = bad;
}

void K740Box::SetTrailingBits(std::uint8_t bits) {
    std::lock_guard lock(mutex_);
    trailing_ = bits & 0xF;
}

void K740Box::SetFrameLengthDelta(int digits) {
    std::lock_guard lock(mutex_);
    // Bounded so that a typo on the console cannot ask for gigabytes.
    lengthDelta_ = std::clamp(digits, -1000, 1000);
}

void K740Box::SetLowerCaseWithBlanks(bool on) {
    std::lock_guard lock(mutex_);
    lowerBlanks_ = on;
}

void K740Box::SetGarbage(bool on) {
    std::lock_guard lock(mutex_);
    garbage_ = on;
}

// A command has one override at a time: the newest setting wins.
void K740Box::SetErrorReply(const std::string& command, const std::string& text) {
    std::lock_guard lock(mutex_);
    noReply_.erase(command);
    replyOverride_[command] = text + kCrLf;
}

void K740Box::SetNoReply(const std::string& command) {
    std::lock_guard lock(mutex_);
    replyOverride_.erase(command);
    noReply_[command] = true;
}

void K740Box::SetRawReply(const std::string& command, const std::string& bytes) {
    std::lock_guard lock(mutex_);
    noReply_.erase(command);
    replyOverride_[command] = bytes;
}

void K740Box::ClearOverrides() {
    std::lock_guard lock(mutex_);
    replyOverride_.clear();
    noReply_.clear();
}

std::vector<std::string> K740Box::Commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

std::vector<std::string> K740Box::Frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

void K740Box::ClearCommands() {
    std::lock_guard lock(mutex_);
    commands_.clear();
}

unsigned K740Box::ReplyDelayMs() const {
    std::lock_guard lock(mutex_);
    return delayMs_;
}

std::string K740Box::SpiClock() const {
    std::lock_guard lock(mutex_);
    return clock_;
}

bool K740Box::SupplyOn() const {
    std::lock_guard lock(mutex_);
    return supplyOn_;
}

std::string K740Box::AdvancedFrame(std::uint32_t count, bool errorActive, bool warningActive,
                                   std::uint8_t status, std::uint8_t trailing) {
    return hexDigits(advancedBits(count, errorActive, warningActive, status, trailing, false), 12);
}

std::string K740Box::SimpleFrame(std::uint32_t count, bool errorActive, bool warningActive,
                                 std::uint8_t trailing) {
    return hexDigits(simpleBits(count, errorActive, warningActive, trailing), 8);
}

}  // namespace k740sim
