// The simulated box: its protocol model through Feed, and the pty it runs on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "K740Box.h"
#include "PtyBox.h"

using k740sim::EncoderKind;
using k740sim::K740Box;
using k740sim::PtyBox;

namespace {

const std::string kIdent = "K740-3T, V2.05 SPI interface\r\n";
const std::string kFrame = "03D090300920";  // count 1000000, flags inactive, status 0

// The supply switched on, as the tool does at set-up: an encoder without it
// answers all ones. The commands it took are forgotten.
void SwitchOn(K740Box& box) {
    box.Feed("V5n", 0);
    box.ClearCommands();
}

// ---------------------------------------------------------------------------
// Frames as the encoder sends them. Expected values were worked out by hand
// from the bit layout and an independent CRC-8 (poly 0x97, MSB first, init 0).

struct AdvancedRow {
    const char* name;
    std::uint32_t count;
    bool error, warning;
    std::uint8_t status, trailing;
    const char* frame;
};
void PrintTo(const AdvancedRow& row, std::ostream* os) {
    *os << row.name;
}

class AdvancedFrameTruth : public testing::TestWithParam<AdvancedRow> {};

TEST_P(AdvancedFrameTruth, MatchesHandWorkedFrame) {
    const auto& r = GetParam();
    EXPECT_EQ(K740Box::AdvancedFrame(r.count, r.error, r.warning, r.status, r.trailing), r.frame);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, AdvancedFrameTruth,
    testing::Values(
        AdvancedRow{"WorkedExample", 1000000, false, false, 0, 0, "03D090300920"},
        AdvancedRow{"ErrorActive", 1000000, true, false, 0, 0, "03D090100A30"},
        AdvancedRow{"WarningActive", 1000000, false, true, 0, 0, "03D090200410"},
        AdvancedRow{"BothActiveWithStatus", 1000000, true, true, 0xA5, 0, "03D0900A5430"},
        AdvancedRow{"CountZero", 0, false, false, 0, 0, "000000300E20"},
        AdvancedRow{"CountMaxStatusFF", 0x3FFFFFF, false, false, 0xFF, 0, "FFFFFFFFF880"},
        AdvancedRow{"TrailingOutsideCrc", 1000000, false, false, 0, 0x7, "03D090300927"},
        AdvancedRow{"CountAbove26BitsMasked", 0x4000000 | 1000000, false, false, 0, 0,
                    "03D090300920"}),
    [](const auto& info) { return std::string(info.param.name); });

struct SimpleRow {
    const char* name;
    std::uint32_t count;
    bool error, warning;
    std::uint8_t trailing;
    const char* frame;
};
void PrintTo(const SimpleRow& row, std::ostream* os) {
    *os << row.name;
}

class SimpleFrameTruth : public testing::TestWithParam<SimpleRow> {};

TEST_P(SimpleFrameTruth, MatchesHandWorkedFrame) {
    const auto& r = GetParam();
    EXPECT_EQ(K740Box::SimpleFrame(r.count, r.error, r.warning, r.trailing), r.frame);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, SimpleFrameTruth,
    testing::Values(SimpleRow{"WorkedExample", 1000000, false, false, 0, "03D09030"},
                    SimpleRow{"ErrorActive", 1000000, true, false, 0, "03D09010"},
                    SimpleRow{"WarningActive", 1000000, false, true, 0, "03D09020"},
                    SimpleRow{"CountMaxBothActive", 0x3FFFFFF, true, true, 0, "FFFFFFC0"},
                    SimpleRow{"CountOne", 1, false, false, 0, "00000070"},
                    SimpleRow{"Trailing", 1000000, false, false, 0xC, "03D0903C"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Commands through Feed.

struct Chunk {
    std::string bytes;
    std::uint64_t atMs;
};

struct CommandRow {
    const char* name;
    std::vector<Chunk> chunks;
    std::vector<std::string> replies;
    std::vector<std::string> commands;  // empty: not checked
};
void PrintTo(const CommandRow& row, std::ostream* os) {
    *os << row.name;
}

class BoxCommands : public testing::TestWithParam<CommandRow> {};

TEST_P(BoxCommands, RepliesAsTheBoxDoes) {
    const auto& r = GetParam();
    K740Box box;
    SwitchOn(box);
    box.SetSpeed(0);
    std::vector<std::string> got;
    for (const auto& c : r.chunks)
        for (auto& reply : box.Feed(c.bytes, c.atMs)) got.push_back(reply);
    EXPECT_EQ(got, r.replies);
    if (!r.commands.empty()) {
        EXPECT_EQ(box.Commands(), r.commands);
    }
}

using V = std::vector<std::string>;
INSTANTIATE_TEST_SUITE_P(
    Feed, BoxCommands,
    testing::Values(
        CommandRow{"Identification", {{"v", 0}}, {kIdent}, {"v"}},
        CommandRow{"FirmwareRevision", {{"o", 0}}, {"12\r\n"}, {}},
        CommandRow{"SerialNumber", {{"r", 0}}, {"SN-0042317\r\n"}, {}},
        CommandRow{"ProtocolSettings", {{"Cp", 0}}, {"SPI MODE 1, MSB FIRST\r\n"}, {}},
        CommandRow{"SpiSettingsG", {{"G0:1", 0}}, {"OK G0:1\r\n"}, {}},
        CommandRow{"SpiSettingsD", {{"D055", 0}}, {"OK D055\r\n"}, {}},
        CommandRow{"SpiSettingsWithControlBytesRefused", {{"G\r\n1", 0}}, {"ERROR\r\n"}, {}},
        CommandRow{
            "ClockSetThenQueried", {{"M5m", 0}}, {"OK\r\n", "M5 = 1.5 MHz\r\n"}, {"M5", "m"}},
        CommandRow{"ClockOutOfRangeRefused", {{"M9m", 0}}, {"ERROR\r\n", "M6 = 3 MHz\r\n"}, {}},
        CommandRow{"SupplyOnAt5V", {{"V5ne", 0}}, {"V5 OK\r\n", "ON\r\n", "5V ON\r\n"}, {}},
        CommandRow{"SupplyOff", {{"nfe", 0}}, {"ON\r\n", "OFF\r\n", "OFF\r\n"}, {}},
        CommandRow{"AdvancedRead", {{"?06:006", 0}}, {kFrame + "\r\n"}, {"?06:006"}},
        CommandRow{"AdvancedEncoderShortRead", {{"?04:004", 0}}, {"03D09030\r\n"}, {}},
        CommandRow{"ReadLengthsDisagree", {{"?06:004", 0}}, {"ERROR\r\n"}, {"?06:004"}},
        CommandRow{"ReadWithoutDigits", {{"?ab:cde", 0}}, {"ERROR\r\n"}, {}},
        CommandRow{"SeveralCommandsInOneFeed",
                   {{"vor", 0}},
                   {kIdent, "12\r\n", "SN-0042317\r\n"},
                   {"v", "o", "r"}},
        CommandRow{"SplitAcrossFeeds", {{"?06", 0}, {":006", 40}}, {kFrame + "\r\n"}, {"?06:006"}},
        CommandRow{"SplitAtEveryByte",
                   {{"G", 0}, {"0", 1}, {":", 2}, {"1", 3}},
                   {"OK G0:1\r\n"},
                   {"G0:1"}},
        CommandRow{
            "UnknownBytesDropped", {{std::string("x\r\nZ \xff\x00v", 8), 0}}, {kIdent}, {"v"}},
        CommandRow{"PartialKeptUpTo100ms", {{"?06", 0}, {":006", 100}}, {kFrame + "\r\n"}, {}},
        CommandRow{"PartialDroppedAfter100ms", {{"?06", 0}, {":006", 101}}, {}, {}},
        CommandRow{"FreshCommandAfterDroppedPartial", {{"M", 0}, {"v", 200}}, {kIdent}, {"v"}},
        CommandRow{"PartialSwallowsNextByteInTime", {{"M", 0}, {"v", 50}}, {"ERROR\r\n"}, {"Mv"}},
        CommandRow{"EmptyFeed", {{"", 0}}, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Faults and per-command overrides.

struct FaultRow {
    const char* name;
    std::function<void(K740Box&)> setup;
    std::string input;
    std::vector<std::string> replies;
};
void PrintTo(const FaultRow& row, std::ostream* os) {
    *os << row.name;
}

class BoxFaults : public testing::TestWithParam<FaultRow> {};

TEST_P(BoxFaults, ChangeTheReply) {
    const auto& r = GetParam();
    K740Box box;
    SwitchOn(box);
    box.SetSpeed(0);
    r.setup(box);
    EXPECT_EQ(box.Feed(r.input, 0), r.replies);
}

INSTANTIATE_TEST_SUITE_P(
    Feed, BoxFaults,
    testing::Values(
        FaultRow{
            "ErrorReply", [](K740Box& b) { b.SetErrorReply("Cp", "ERROR"); }, "Cp", {"ERROR\r\n"}},
        FaultRow{"ErrorReplyOnlyForItsCommand",
                 [](K740Box& b) { b.SetErrorReply("Cp", "error"); },
                 "vCp",
                 {kIdent, "error\r\n"}},
        FaultRow{"NoReply", [](K740Box& b) { b.SetNoReply("v"); }, "vo", {"12\r\n"}},
        FaultRow{
            "RawReplyHasNoCrLf", [](K740Box& b) { b.SetRawReply("v", "K740-3"); }, "v", {"K740-3"}},
        FaultRow{"NewestOverrideWins",
                 [](K740Box& b) {
                     b.SetNoReply("v");
                     b.SetRawReply("v", "X");
                 },
                 "v",
                 {"X"}},
        FaultRow{"ClearOverrides",
                 [](K740Box& b) {
                     b.SetErrorReply("v", "ERROR");
                     b.SetNoReply("o");
                     b.ClearOverrides();
                 },
                 "vo",
                 {kIdent, "12\r\n"}},
        FaultRow{"Silent", [](K740Box& b) { b.SetSilent(true); }, "v?06:006", {}},
        FaultRow{"SilentBeatsOverride",
                 [](K740Box& b) {
                     b.SetSilent(true);
                     b.SetRawReply("v", "X");
                 },
                 "v",
                 {}},
        FaultRow{"BadCrc", [](K740Box& b) { b.SetBadCrc(true); }, "?06:006", {"03D0903006D0\r\n"}},
        FaultRow{"BadCrcLeavesSimpleFrameAlone",
                 [](K740Box& b) {
                     b.SetEncoder(EncoderKind::Simple);
                     b.SetBadCrc(true);
                 },
                 "?04:004",
                 {"03D09030\r\n"}},
        FaultRow{"TrailingBits",
                 [](K740Box& b) { b.SetTrailingBits(5); },
                 "?06:006",
                 {"03D090300925\r\n"}},
        FaultRow{"TrailingBitsSimple",
                 [](K740Box& b) {
                     b.SetEncoder(EncoderKind::Simple);
                     b.SetTrailingBits(0xA);
                 },
                 "?04:004",
                 {"03D0903A\r\n"}},
        FaultRow{"OneDigitMore",
                 [](K740Box& b) { b.SetFrameLengthDelta(1); },
                 "?06:006",
                 {"03D0903009200\r\n"}},
        FaultRow{"OneDigitLess",
                 [](K740Box& b) { b.SetFrameLengthDelta(-1); },
                 "?06:006",
                 {"03D09030092\r\n"}},
        FaultRow{"FarFewerDigitsThanFrame",
                 [](K740Box& b) { b.SetFrameLengthDelta(-50); },
                 "?06:006",
                 {"\r\n"}},
        FaultRow{"LowerCaseWithBlanks",
                 [](K740Box& b) { b.SetLowerCaseWithBlanks(true); },
                 "?06:006",
                 {"03 d0 90 30 09 20\r\n"}},
        FaultRow{"FlagsAndStatus",
                 [](K740Box& b) {
                     b.SetErrorBit(true);
                     b.SetWarningBit(true);
                     b.SetDetailedStatus(0xA5);
                 },
                 "?06:006",
                 {"03D0900A5430\r\n"}},
        FaultRow{"SimpleEncoderOnSixByteRead",
                 [](K740Box& b) { b.SetEncoder(EncoderKind::Simple); },
                 "?06:006",
                 {"03D09030FFFF\r\n"}},
        FaultRow{"NoEncoderSixBytes",
                 [](K740Box& b) { b.SetEncoder(EncoderKind::None); },
                 "?06:006",
                 {"FFFFFFFFFFFF\r\n"}},
        FaultRow{"NoEncoderFourBytes",
                 [](K740Box& b) { b.SetEncoder(EncoderKind::None); },
                 "?04:004",
                 {"FFFFFFFF\r\n"}},
        FaultRow{"OwnIdentification",
                 [](K740Box& b) { b.SetIdentification("K740-3T, V3.10 test"); },
                 "v",
                 {"K740-3T, V3.10 test\r\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BoxIdentification, CarriesVersionAtCharacters10To14) {
    K740Box box;
    const auto replies = box.Feed("v", 0);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].substr(0, 7), "K740-3T");
    EXPECT_EQ(replies[0].substr(9, 5), "V2.05");
}

// Junk must really be junk: never the real reply, sometimes without a CR (so
// the tool times out) and sometimes with bytes outside ASCII.
TEST(BoxGarbage, ReplacesEveryReplyWithJunk) {
    K740Box box;
    box.SetGarbage(true);
    int withoutCr = 0, nonAscii = 0, withCrLf = 0;
    for (int i = 0; i < 200; ++i) {
        const auto replies = box.Feed("v", std::uint64_t(i));
        ASSERT_EQ(replies.size(), 1u);
        const std::string& r = replies[0];
        ASSERT_FALSE(r.empty());
        EXPECT_NE(r, kIdent);
        EXPECT_NE(r.rfind("K740-3T", 0), 0u);
        if (r.find('\r') == std::string::npos) ++withoutCr;
        if (r.size() >= 2 && r.compare(r.size() - 2, 2, "\r\n") == 0) ++withCrLf;
        for (unsigned char c : r)
            if (c >= 0x80) {
                ++nonAscii;
                break;
            }
    }
    EXPECT_GT(withoutCr, 0);
    EXPECT_GT(withCrLf, 0);
    EXPECT_GT(nonAscii, 0);
    box.SetGarbage(false);
    EXPECT_EQ(box.Feed("v", 1000), V{kIdent});
}

// ---------------------------------------------------------------------------
// The encoder moves by `speed` after every frame read, within 26 bits.

struct MotionRow {
    const char* name;
    EncoderKind kind;
    std::uint32_t start;
    std::int32_t speed;
    const char* command;
    std::string first, second;
    std::uint32_t after;  // Position() after both reads
};
void PrintTo(const MotionRow& row, std::ostream* os) {
    *os << row.name;
}

class BoxMotion : public testing::TestWithParam<MotionRow> {};

TEST_P(BoxMotion, AdvancesAfterEachRead) {
    const auto& r = GetParam();
    K740Box box;
    SwitchOn(box);
    box.SetEncoder(r.kind);
    box.SetPosition(r.start);
    box.SetSpeed(r.speed);
    EXPECT_EQ(box.Feed(r.command, 0), V{r.first + "\r\n"});
    EXPECT_EQ(box.Feed(r.command, 1), V{r.second + "\r\n"});
    EXPECT_EQ(box.Position(), r.after);
}

INSTANTIATE_TEST_SUITE_P(
    Feed, BoxMotion,
    testing::Values(MotionRow{"HeldStill", EncoderKind::Advanced, 1000000, 0, "?06:006", kFrame,
                              kFrame, 1000000},
                    MotionRow{"MovesBySpeed", EncoderKind::Advanced, 1000000, 37, "?06:006", kFrame,
                              K740Box::AdvancedFrame(1000037, false, false, 0, 0), 1000074},
                    MotionRow{"WrapsUpwards", EncoderKind::Advanced, 0x3FFFFFF, 1, "?06:006",
                              K740Box::AdvancedFrame(0x3FFFFFF, false, false, 0, 0),
                              K740Box::AdvancedFrame(0, false, false, 0, 0), 1},
                    MotionRow{"WrapsDownwards", EncoderKind::Simple, 0, -1, "?04:004",
                              K740Box::SimpleFrame(0, false, false, 0),
                              K740Box::SimpleFrame(0x3FFFFFF, false, false, 0), 0x3FFFFFE}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BoxMotionOther, OtherCommandsDoNotMoveTheEncoder) {
    K740Box box;
    box.SetPosition(500);
    box.SetSpeed(10);
    box.Feed("vormnfeCpG0:1D055M5V5", 0);
    EXPECT_EQ(box.Position(), 500u);
}

TEST(BoxCommandLog, RecordsSetUpOrderEvenWhenSilent) {
    K740Box box;
    box.SetSilent(true);
    box.Feed("vorCpG0:1D055M5mV5ne", 0);
    box.Feed("?06:", 0);
    box.Feed("006", 5);
    EXPECT_EQ(box.Commands(),
              (V{"v", "o", "r", "Cp", "G0:1", "D055", "M5", "m", "V5", "n", "e", "?06:006"}));
    box.ClearCommands();
    EXPECT_TRUE(box.Commands().empty());
}

TEST(BoxPower, PowerCycleForgetsSupplyClockAndPartialCommand) {
    K740Box box;
    box.SetSpeed(0);
    box.SetBadCrc(true);
    box.Feed("M3V5n", 0);
    ASSERT_TRUE(box.SupplyOn());
    ASSERT_EQ(box.SpiClock(), "3");
    box.Feed("?06", 1);
    box.PowerCycle();
    EXPECT_FALSE(box.SupplyOn());
    EXPECT_EQ(box.SpiClock(), "6");
    EXPECT_TRUE(box.Feed(":006", 2).empty());
    // The encoder has lost its supply with the box.
    EXPECT_EQ(box.Feed("?06:006", 3), V{"FFFFFFFFFFFF\r\n"});
    // Faults are the test's, not the box's: they survive.
    EXPECT_EQ(box.Feed("n?06:006", 4), (V{"ON\r\n", "03D0903006D0\r\n"}));
}

// An encoder without supply drives no line: every bit reads as one, and the
// tool loses it as at a real bench. Switched on again it answers again, from
// where it stood.
TEST(BoxPower, EncoderAnswersOnlyWhileSupplied) {
    const struct {
        const char* name;
        EncoderKind kind;
        const char* read;
        std::string frame;
        std::string unpowered;
    } rows[] = {
        {"advanced", EncoderKind::Advanced, "?06:006", kFrame, "FFFFFFFFFFFF"},
        {"simple", EncoderKind::Simple, "?04:004", K740Box::SimpleFrame(1000000, false, false, 0),
         "FFFFFFFF"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        K740Box box;
        box.SetEncoder(r.kind);
        box.SetSpeed(37);
        EXPECT_EQ(box.Feed(r.read, 0), V{r.unpowered + "\r\n"}) << "before the supply is on";
        EXPECT_EQ(box.Feed(std::string("V5n") + r.read, 1),
                  (V{"V5 OK\r\n", "ON\r\n", r.frame + "\r\n"}));
        EXPECT_EQ(box.Feed(std::string("fe") + r.read + r.read, 2),
                  (V{"OFF\r\n", "OFF\r\n", r.unpowered + "\r\n", r.unpowered + "\r\n"}));
        EXPECT_EQ(box.Position(), 1000037u) << "an unsupplied encoder counts nothing";
        EXPECT_EQ(
            box.Feed(std::string("V5n") + r.read, 3).back(),
            (r.kind == EncoderKind::Advanced ? K740Box::AdvancedFrame(1000037, false, false, 0, 0)
                                             : K740Box::SimpleFrame(1000037, false, false, 0)) +
                "\r\n");
    }
}

// Random bytes, random chunking, random times: nothing may crash, and without
// overrides or junk every reply is a complete line.
TEST(BoxRobustness, RandomInputNeverBreaksFraming) {
    K740Box box;
    std::uint32_t seed = 0xC0FFEE;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    const std::string alphabet = "vormnfeCpMVGD?:0123456789\r\n\x80\xff";
    std::uint64_t t = 0;
    std::size_t replies = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string chunk(next() % 9, '\0');
        for (char& c : chunk)
            c = (next() % 4 == 0) ? char(next() & 0xFF) : alphabet[next() % alphabet.size()];
        t += next() % 60;
        for (const auto& r : box.Feed(chunk, t)) {
            ++replies;
            ASSERT_GE(r.size(), 2u);
            ASSERT_EQ(r.substr(r.size() - 2), "\r\n");
            ASSERT_EQ(r.find('\r'), r.size() - 2);
        }
    }
    EXPECT_GT(replies, 1000u);
}

// ---------------------------------------------------------------------------
// PtyBox: a real pseudo-terminal, opened the way the tool opens its port.

std::uint64_t nowMs() {
    using namespace std::chrono;
    return std::uint64_t(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool waitUntil(const std::function<bool()>& cond, unsigned ms = 3000) {
    const std::uint64_t end = nowMs() + ms;
    while (!cond()) {
        if (nowMs() > end) return false;
        ::poll(nullptr, 0, 5);
    }
    return true;
}

int countOpenFds() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

class PtyBoxTest : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/k740sim-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (int fd : fds_) ::close(fd);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    int openClient(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return fd;
        termios tio;
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
        fds_.push_back(fd);
        return fd;
    }

    void closeClient(int fd) {
        std::erase(fds_, fd);
        ::close(fd);
    }

    static void send(int fd, const std::string& bytes) {
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }

    // Everything that arrives until `lines` CR LFs have come, or the deadline.
    static std::string readLines(int fd, int lines = 1, unsigned ms = 3000) {
        std::string got;
        const std::uint64_t end = nowMs() + ms;
        auto count = [&got] {
            int n = 0;
            for (std::size_t p = got.find("\r\n"); p != std::string::npos;
                 p = got.find("\r\n", p + 2))
                ++n;
            return n;
        };
        while (count() < lines) {
            const std::uint64_t now = nowMs();
            if (now > end) break;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, int(end - now)) <= 0) continue;
            if (!(p.revents & POLLIN)) break;
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) got.append(buf, std::size_t(n));
        }
        return got;
    }

    static std::string linkTarget(const std::string& link) {
        std::error_code ec;
        return std::filesystem::read_symlink(link, ec).string();
    }

    static bool exists(const std::string& path) {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0;
    }

    std::string dir_;
    std::vector<int> fds_;
};

TEST_F(PtyBoxTest, AnswersThroughTheLink) {
    PtyBox box(dir_, 7);
    EXPECT_EQ(box.LinkPath(), dir_ + "/COM7");
    EXPECT_EQ(linkTarget(box.LinkPath()), box.SlavePath());
    const int fd = openClient(box.LinkPath());
    ASSERT_GE(fd, 0) << std::strerror(errno);
    send(fd, "v");
    EXPECT_EQ(readLines(fd), kIdent);
}

TEST_F(PtyBoxTest, KeepsReadingWhileAReplyIsDelayed) {
    PtyBox box(dir_, 1);
    SwitchOn(box.Box());
    box.Box().SetReplyDelayMs(150);
    const int fd = openClient(box.LinkPath());
    ASSERT_GE(fd, 0);
    send(fd, "v");
    send(fd, "?0");
    send(fd, "6:006");
    EXPECT_EQ(readLines(fd, 2), kIdent + kFrame + "\r\n");
}

TEST_F(PtyBoxTest, FaultsSwitchWhileRunning) {
    PtyBox box(dir_, 2);
    SwitchOn(box.Box());
    box.Box().SetSpeed(0);
    const int fd = openClient(box.LinkPath());
    ASSERT_GE(fd, 0);
    send(fd, "?06:006");
    EXPECT_EQ(readLines(fd), kFrame + "\r\n");
    box.Box().SetBadCrc(true);
    send(fd, "?06:006");
    EXPECT_EQ(readLines(fd), "03D0903006D0\r\n");
    box.Box().SetRawReply("v", "K740-3");
    send(fd, "vo");
    EXPECT_EQ(readLines(fd), "K740-312\r\n");
}

TEST_F(PtyBoxTest, UnplugHangsUpTheClientAndReplugServesTheSameLink) {
    PtyBox box(dir_, 3);
    const std::string link = box.LinkPath();
    const int old = openClient(link);
    ASSERT_GE(old, 0);

    box.Unplug();
    EXPECT_FALSE(box.Plugged());
    EXPECT_FALSE(exists(link));
    pollfd p{old, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    errno = 0;
    EXPECT_EQ(::write(old, "v", 1), -1);
    EXPECT_EQ(errno, EIO);

    box.Replug();
    EXPECT_TRUE(box.Plugged());
    ASSERT_TRUE(exists(link));
    EXPECT_EQ(linkTarget(link), box.SlavePath());
    const int fresh = openClient(link);
    ASSERT_GE(fresh, 0);
    send(fresh, "v");
    EXPECT_EQ(readLines(fresh), kIdent);
}

// A real port forgets its exclusive flag when the tool closes it; a pty that
// the box holds open would keep it and lock out every non-root reopen.
TEST_F(PtyBoxTest, ClosingThePortClearsItsExclusiveFlag) {
    PtyBox box(dir_, 4);
    const int fd = openClient(box.LinkPath());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ioctl(fd, TIOCEXCL), 0);
    closeClient(fd);
    EXPECT_TRUE(waitUntil([&] {
        const int probe =
            ::open(box.LinkPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (probe < 0) return false;  // EBUSY as non-root while the flag stays
        int excl = 1;
        ::ioctl(probe, TIOCGEXCL, &excl);
        ::close(probe);
        return excl == 0;
    }));
    const int again = openClient(box.LinkPath());
    ASSERT_GE(again, 0) << std::strerror(errno);
    send(again, "o");
    EXPECT_EQ(readLines(again), "12\r\n");
}

// Replies the tool never read must not greet it when it opens the port again.
TEST_F(PtyBoxTest, UnreadReplyIsGoneAfterReopen) {
    PtyBox box(dir_, 5);
    const int fd = openClient(box.LinkPath());
    ASSERT_GE(fd, 0);
    send(fd, "v");
    ASSERT_TRUE(waitUntil([&] {
        int queued = 0;
        return ::ioctl(fd, FIONREAD, &queued) == 0 && queued == int(kIdent.size());
    }));
    const auto closes = box.ClosesSeen();
    closeClient(fd);
    ASSERT_TRUE(waitUntil([&] { return box.ClosesSeen() > closes; }));
    const int again = openClient(box.LinkPath());
    ASSERT_GE(again, 0);
    send(again, "o");
    EXPECT_EQ(readLines(again), "12\r\n");
}

// A reply still waiting out its delay when the tool closes the port is lost,
// as it would be on a port that nobody holds open.
TEST_F(PtyBoxTest, DelayedReplyToAClosedPortIsLost) {
    PtyBox box(dir_, 11);
    box.Box().SetReplyDelayMs(300);
    const int fd = openClient(box.LinkPath());
    ASSERT_GE(fd, 0);
    send(fd, "v");
    ASSERT_TRUE(waitUntil([&] { return box.Box().Commands().size() == 1; }));
    const auto closes = box.ClosesSeen();
    closeClient(fd);
    ASSERT_TRUE(waitUntil([&] { return box.ClosesSeen() > closes; }));
    const int again = openClient(box.LinkPath());
    ASSERT_GE(again, 0);
    send(again, "o");
    EXPECT_EQ(readLines(again), "12\r\n");
}

TEST_F(PtyBoxTest, ReplacesAStaleLinkOrFile) {
    for (bool regularFile : {false, true}) {
        SCOPED_TRACE(regularFile ? "regular file" : "dangling link");
        const std::string link = dir_ + "/COM6";
        ::unlink(link.c_str());
        if (regularFile) {
            const int f = ::open(link.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
            ASSERT_GE(f, 0);
            ::close(f);
        } else {
            ASSERT_EQ(::symlink("/dev/pts/does-not-exist", link.c_str()), 0);
        }
        PtyBox box(dir_, 6);
        EXPECT_EQ(linkTarget(link), box.SlavePath());
        const int fd = openClient(link);
        ASSERT_GE(fd, 0);
        send(fd, "r");
        EXPECT_EQ(readLines(fd), "SN-0042317\r\n");
    }
}

TEST_F(PtyBoxTest, DestructorRemovesOnlyItsOwnLink) {
    const std::string link = dir_ + "/COM8";
    {
        PtyBox box(dir_, 8);
        ASSERT_TRUE(exists(link));
    }
    EXPECT_FALSE(exists(link));

    // A second box that took over the name keeps it when the first one goes.
    auto first = std::make_unique<PtyBox>(dir_, 8);
    PtyBox second(dir_, 8);
    first.reset();
    ASSERT_TRUE(exists(link));
    EXPECT_EQ(linkTarget(link), second.SlavePath());
}

TEST_F(PtyBoxTest, MakesAMissingDirectory) {
    PtyBox box(dir_ + "/sub/dir", 9);
    EXPECT_TRUE(exists(dir_ + "/sub/dir/COM9"));
}

TEST_F(PtyBoxTest, TwoHundredBoxesLeakNoDescriptor) {
    const int before = countOpenFds();
    for (int i = 0; i < 200; ++i) {
        PtyBox box(dir_, 10);
        if (i % 20 == 0) {
            const int fd = openClient(box.LinkPath());
            ASSERT_GE(fd, 0);
            send(fd, "v");
            ASSERT_EQ(readLines(fd), kIdent);
            box.Unplug();
            box.Replug();
            closeClient(fd);
        }
    }
    EXPECT_EQ(countOpenFds(), before);
}

}  // namespace
