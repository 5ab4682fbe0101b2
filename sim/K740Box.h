// The simulated K740-3T interface box with a TQ55 encoder behind it: the
// protocol model, free of any I/O. PtyBox runs one on a real pseudo-terminal.
// Every setter is thread-safe: tests and the command console change faults
// while the box answers on its own thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace k740sim {

enum class EncoderKind { Advanced, Simple, None };

class K740Box {
public:
    K740Box();

    // Feeds bytes received from the tool. Commands carry no terminator; the box
    // knows each command's length from its first byte. Returns the replies that
    // became due, each one to be written in a single write. Bytes that start no
    // known command are dropped; a partial command waits for its rest until
    // `nowMs` is more than 100 ms past its first byte, then it is dropped.
    std::vector<std::string> Feed(std::string_view bytes, std::uint64_t nowMs);

    // --- the box and its encoder -------------------------------------------
    // The encoder answers only while the box supplies it ("n"); switched off
    // ("f"), and from power-up until switched on, every read gives all ones.
    void SetEncoder(EncoderKind kind);
    void SetPosition(std::uint32_t count);  // 26-bit count
    std::uint32_t Position() const;
    void SetSpeed(std::int32_t countsPerRead);  // added after every frame read
    void SetErrorBit(bool active);
    void SetWarningBit(bool active);
    void SetDetailedStatus(std::uint8_t status);
    void SetIdentification(std::string text);  // reply to "v" before CR LF
    void SetFirmware(std::string text);        // reply to "o"
    void SetSerial(std::string text);          // reply to "r"
    // What a real box forgets when it loses USB power: supply off, default SPI
    // clock, no half-received command. Faults and the encoder stay as set.
    void PowerCycle();

    // --- faults ------------------------------------------------------------
    void SetSilent(bool silent);              // answer nothing at all
    void SetReplyDelayMs(unsigned ms);        // wait before every reply
    void SetBadCrc(bool bad);                 // advanced frames carry a wrong CRC
    void SetTrailingBits(std::uint8_t bits);  // low 4 bits of every frame
    void SetFrameLengthDelta(int digits);     // frames with digits more (or fewer)
    void SetLowerCaseWithBlanks(bool on);     // "03 d0 90 30 09 20"
    void SetGarbage(bool on);                 // every reply replaced by junk bytes
    // Answer `command` with `text` + CR LF instead of its normal reply ("ERROR",
    // "error", "Error: busy" ...).
    void SetErrorReply(const std::string& command, const std::string& text);
    // Never answer `command`.
    void SetNoReply(const std::string& command);
    // Answer `command` with exactly these bytes (no CR LF added).
    void SetRawReply(const std::string& command, const std::string& bytes);
    void ClearOverrides();

    // --- observation -------------------------------------------------------
    std::vector<std::string> Commands() const;  // every complete command, in order
    void ClearCommands();
    std::vector<std::string> Frames() const;  // every frame answered, in order
    unsigned ReplyDelayMs() const;
    std::string SpiClock() const;  // last "M<n>" digit, "5" after "M5"
    bool SupplyOn() const;

    // The frames the encoder sends, for tests that want to know the truth.
    static std::string AdvancedFrame(std::uint32_t count, bool errorActive, bool warningActive,
                                     std::uint8_t status, std::uint8_t trailing);
    static std::string SimpleFrame(std::uint32_t count, bool errorActive, bool warningActive,
                                   std::uint8_t trailing);

private:
    mutable std::mutex mutex_;
    // implementation state: see K740Box.cpp
    struct State;
    std::string pending_;
    std::uint64_t pendingSince_ = 0;
    std::vector<std::string> commands_;
    std::vector<std::string> frames_;
    std::map<std::string, std::string> replyOverride_;  // full bytes
    std::map<std::string, bool> noReply_;
    EncoderKind kind_ = EncoderKind::Advanced;
    std::uint32_t position_ = 1000000;
    std::int32_t speed_ = 37;
    bool errorActive_ = false, warningActive_ = false;
    std::uint8_t status_ = 0, trailing_ = 0;
    bool silent_ = false, badCrc_ = false, lowerBlanks_ = false, garbage_ = false;
    int lengthDelta_ = 0;
    unsigned delayMs_ = 0;
    std::string ident_ = "K740-3T, V2.05 SPI interface";
    std::string firmware_ = "12";
    std::string serial_ = "SN-0042317";
    std::string clock_ = "6";
    bool supplyOn_ = false;
    bool supply5V_ = false;
    std::uint32_t junkSeed_ = 12345;

    // Helpers below run with mutex_ held.
    std::string replyFor(const std::string& command);
    std::string frameText(unsigned nBytes);
    std::string junk();
};

}  // namespace k740sim
