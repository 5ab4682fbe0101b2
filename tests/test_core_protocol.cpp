// The box protocol and the detection rule in core, without any widget: the
// protocol against the simulated box on a real pty, the rules as tables.
#include <gtest/gtest.h>

#include <cerrno>

#include "PtyBox.h"
#include "core/BoxProtocol.h"
#include "core/EncoderDetection.h"
#include "core/FrameDecoder.h"
#include "core/Serial_driver.h"
#include "module_globals.h"
#include "pty_fixture.h"

namespace {

using Commands = std::vector<std::string>;

class Protocol : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::make_unique<SerialCommDir>();
        pty = std::make_unique<k740sim::PtyBox>(dir->Path(), 7);
        Box().SetSpeed(0);
    }

    k740sim::K740Box& Box() { return pty->Box(); }
    void Probe() {
        TSortedStringList comPorts;
        ASSERT_TRUE(ProbeForBox(comPorts, port, identification).Found);
    }
    TBoxReport Report() {
        return {[this](const QString& t) { messages << t; },
                [this](const QString& t) { log << t; }};
    }

    ModuleGlobalsGuard globals;
    std::unique_ptr<SerialCommDir> dir;
    std::unique_ptr<k740sim::PtyBox> pty;
    platform::OwnedPort port;
    QByteArray identification;
    QStringList messages, log;
};

// ------------------------------------------------------------ probe

TEST_F(Protocol, ProbeReportsEachPortThatWouldNotOpenWithTheSystemsReason) {
    RawPty three(dir->Path(), 3), five(dir->Path(), 5);
    const platform::PortHandle held3 = platform::OpenPort(3);
    const platform::PortHandle held5 = platform::OpenPort(5);
    ASSERT_NE(held3, platform::InvalidHandle);
    ASSERT_NE(held5, platform::InvalidHandle);
    TSortedStringList comPorts;
    int opened = 0;
    const TProbeResult r = ProbeForBox(comPorts, port, identification, [&] {
        // The port is already in the caller's hands when events may run.
        EXPECT_TRUE(port.IsOpen());
        ++opened;
    });
    platform::ClosePort(held3);
    platform::ClosePort(held5);
    ASSERT_TRUE(r.Found);
    EXPECT_EQ(r.Port, 7);
    EXPECT_EQ(opened, 1);
    ASSERT_EQ(r.OpenFailures.size(), 2u);
    EXPECT_EQ(r.OpenFailures[0].Port, 3);
    EXPECT_EQ(r.OpenFailures[0].SystemError, EBUSY);
    EXPECT_EQ(r.OpenFailures[1].Port, 5);
    EXPECT_EQ(r.OpenFailures[1].SystemError, EBUSY);
}

TEST(PortOpenFailure, TextNamesPortDeviceAndWhatToDo) {
    using platform::OpenError;
    struct Case {
        const char* name;
        OpenError why;
        QString group;
        QString expected;  // empty: nothing the user can act on
    } const cases[] = {
        {"no_permission_names_the_group", OpenError::AccessDenied, "dialout",
         "Cannot open COM1 (/dev/ttyACM0): permission denied. Add your user to the group dialout "
         "and log in again."},
        {"group_of_another_distribution", OpenError::AccessDenied, "uucp",
         "Cannot open COM1 (/dev/ttyACM0): permission denied. Add your user to the group uucp and "
         "log in again."},
        {"group_unknown", OpenError::AccessDenied, "",
         "Cannot open COM1 (/dev/ttyACM0): permission denied. Ask the administrator for read and "
         "write access to it."},
        {"roots_own_group_is_not_for_joining", OpenError::AccessDenied, "root",
         "Cannot open COM1 (/dev/ttyACM0): permission denied. Ask the administrator for read and "
         "write access to it."},
        {"held_by_another_program", OpenError::InUse, "dialout",
         "Cannot open COM1 (/dev/ttyACM0): it is in use by another program."},
        {"gone_is_not_worth_a_line", OpenError::NotFound, "dialout", ""},
        {"other_reasons_are_not_guessed_at", OpenError::Other, "dialout", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PortOpenFailureText(1, "/dev/ttyACM0", c.why, c.group), c.expected) << c.name;
}

TEST(PortOpenFailure, EachPortAndReasonIsToldOnce) {
    TPortAccessReporter reporter;
    const std::vector<TPortOpenFailure> scan = {{3, EBUSY}, {4, EACCES}, {5, ENOENT}};
    const QStringList first = reporter.NewLines(scan);
    ASSERT_EQ(first.size(), 2) << first.join('|').toStdString();
    EXPECT_TRUE(first[0].startsWith("Cannot open COM3 (")) << first[0].toStdString();
    EXPECT_TRUE(first[0].endsWith("it is in use by another program."));
    EXPECT_TRUE(first[1].startsWith("Cannot open COM4 (")) << first[1].toStdString();
    EXPECT_TRUE(first[1].contains("permission denied"));
    EXPECT_TRUE(reporter.NewLines(scan).isEmpty()) << "the next scans repeat nothing";
    const QStringList changed = reporter.NewLines({{3, EACCES}});
    ASSERT_EQ(changed.size(), 1) << "a new reason for the same port is news";
    EXPECT_TRUE(changed[0].contains("permission denied"));
}

TEST_F(Protocol, ProbeLimitedToOnePortLeavesTheOthersAlone) {
    k740sim::PtyBox other(dir->Path(), 3);
    TSortedStringList comPorts;
    const TProbeResult r = ProbeForBox(comPorts, port, identification, {}, 7);
    ASSERT_TRUE(r.Found);
    EXPECT_EQ(r.Port, 7);
    EXPECT_TRUE(other.Box().Commands().empty());
    EXPECT_EQ(comPorts.Items(), (QStringList{"003", "007"})) << "every candidate is still listed";
    EXPECT_FALSE(ProbeForBox(comPorts, port, identification, {}, 5).Found);
    EXPECT_FALSE(port.IsOpen()) << "the port held before the probe stayed open";
}

// ------------------------------------------------------------ set-up

TEST_F(Protocol, IdentityFromOddReplies) {
    struct Case {
        const char* name;
        std::function<void(k740sim::K740Box&)> setUp;
        std::int32_t revision;
        QByteArray version, serial;
    };
    const Case cases[] = {
        {"no_answer_to_firmware", [](auto& b) { b.SetNoReply("o"); }, 0, "V2.05.0", "SN0042317"},
        {"hex_revision", [](auto& b) { b.SetErrorReply("o", "0x1A"); }, 26, "V2.05.26",
         "SN0042317"},
        {"words_are_no_revision", [](auto& b) { b.SetErrorReply("o", "rev 7"); }, 0, "V2.05.0",
         "SN0042317"},
        {"bare_identification", [](auto& b) { b.SetIdentification("K740-3T"); }, 12, ".12",
         "SN0042317"},
        {"no_answer_to_serial", [](auto& b) { b.SetNoReply("r"); }, 12, "V2.05.12", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Box().ClearOverrides();
        Box().SetIdentification("K740-3T, V2.05 SPI interface");
        c.setUp(Box());
        Probe();
        const TBoxIdentity id = TInterfaceSetup(port.Get()).ReadIdentity(identification);
        EXPECT_EQ(id.RevisionFW, c.revision);
        EXPECT_EQ(id.Version, c.version);
        EXPECT_EQ(id.Serial, c.serial);
    }
}

TEST_F(Protocol, SettingsThatFailWithoutAByteShowTheReplyTheBufferStillHolds) {
    Probe();
    TInterfaceSetup setup(port.Get());
    setup.ReadIdentity(identification);  // "o" leaves "12" in the buffer
    pty->Unplug();                       // every write now fails
    setup.CheckSettings(Report());
    EXPECT_EQ(messages, (QStringList{"Interface error: Cp -> 12", "Interface error: G0:1 -> 12",
                                     "Interface error: D055 -> 12"}));
    EXPECT_EQ(log.first(), "Protocol settings: 12");
}

TEST_F(Protocol, ClockAndSupplyWithNoPort) {
    SetSpiClock(platform::InvalidHandle, 3, Report());
    SwitchSupplyOff(platform::InvalidHandle, Report());
    EXPECT_EQ(messages, (QStringList{"SPI Frequency setting 3 failed!",
                                     "Error setting power supply! (f) -> ()"}));
    EXPECT_TRUE(log.isEmpty());
    EXPECT_EQ(QuerySupplyStatus(platform::InvalidHandle), "");
}

// ------------------------------------------------------------ encoder read

TEST_F(Protocol, EncoderReadForEachFrame) {
    struct Case {
        const char* name;
        k740sim::EncoderKind kind;
        bool advanced;
        bool lowerWithBlanks;
        QByteArray command;
    };
    const Case cases[] = {
        {"advanced", k740sim::EncoderKind::Advanced, true, false, "?06:006"},
        {"simple", k740sim::EncoderKind::Simple, false, false, "?04:004"},
        {"advanced_lower_case_with_blanks", k740sim::EncoderKind::Advanced, true, true, "?06:006"},
    };
    Probe();
    SwitchSupplyOn5V(port.Get(), Report());  // an encoder without supply answers all ones
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Box().SetEncoder(c.kind);
        Box().SetLowerCaseWithBlanks(c.lowerWithBlanks);
        Box().SetPosition(1000000);
        Box().ClearCommands();
        TEncoderPosition pos;
        const TEncoderRead read = SendEncoderRead(port.Get(), c.advanced, pos);
        EXPECT_EQ(read.Command, c.command);
        EXPECT_EQ(Box().Commands(), (Commands{c.command.toStdString()}));
        EXPECT_EQ(pos.ErrComm, TR_OK);
        const QByteArray served =
            QByteArray::fromStdString(Box().Frames().back()).replace(' ', "").toUpper();
        EXPECT_EQ(read.Reply, QString::fromLatin1(served));
        EXPECT_EQ(pos.RxData, served);
        std::int32_t status = 0;
        pos.Resolution_unit = ResolutionUnit(0);
        ASSERT_TRUE(DecodeFrame(c.advanced, 0, pos, status).LengthOk);
        EXPECT_EQ(pos.Position_cnt, 1000000);
        EXPECT_EQ(pos.Position_unit, 244.140625);
    }
}

TEST_F(Protocol, FailedEncoderReadChangesOnlyTheResult) {
    TEncoderPosition pos;
    pos.RxData = "03D090300920";
    const TEncoderRead read = SendEncoderRead(platform::InvalidHandle, true, pos);
    EXPECT_EQ(pos.ErrComm, TR_NOPORT);
    EXPECT_EQ(pos.RxData, "03D090300920");
    EXPECT_TRUE(read.Reply.isEmpty());
}

// ------------------------------------------------------------ the rules

TEST(Detection, OutcomeTable) {
    const TDetectionRead goodAdvanced{false, TR_OK, false, false, 1000000};
    const TDetectionRead crcFailed{false, TR_OK, true, true, 1000000};
    struct Case {
        const char* name;
        TDetectionRead advanced;
        std::optional<TDetectionRead> simple;
        TDetection expected;
    };
    const Case cases[] = {
        {"advanced_crc_matches", goodAdvanced, {}, TDetection::Advanced},
        {"advanced_taken_on_its_crc_alone",
         {false, TR_OK, false, true, 0},
         {},
         TDetection::Advanced},
        {"advanced_transaction_failed",
         {false, TR_TIMEOUT, false, false, 0},
         {},
         TDetection::InterfaceLost},
        {"advanced_no_port", {false, TR_NOPORT, true, true, 0}, {}, TDetection::InterfaceLost},
        // The previous reading's flags would pass: a refusal must not.
        {"advanced_refused", {true, TR_OK, false, false, 5}, {}, TDetection::ReplyRefused},
        {"advanced_crc_fails_asks_for_simple", crcFailed, {}, TDetection::ReadSimple},
        {"simple_good", crcFailed, TDetectionRead{false, TR_OK, true, false, 1},
         TDetection::Simple},
        {"simple_at_count_zero", crcFailed, TDetectionRead{false, TR_OK, true, false, 0},
         TDetection::KeepSearching},
        {"simple_negative_count", crcFailed, TDetectionRead{false, TR_OK, true, false, -1},
         TDetection::KeepSearching},
        {"simple_count_above_32_bits", crcFailed,
         TDetectionRead{false, TR_OK, true, false, std::int64_t(1) << 32}, TDetection::Simple},
        {"simple_trailing_bits", crcFailed, TDetectionRead{false, TR_OK, true, true, 1000},
         TDetection::KeepSearching},
        {"simple_transaction_failed", crcFailed, TDetectionRead{false, -5, true, false, 1000},
         TDetection::InterfaceLost},
        {"simple_refused", crcFailed, TDetectionRead{true, TR_OK, true, false, 1000},
         TDetection::ReplyRefused},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DetectEncoder(c.advanced, c.simple), c.expected) << c.name;
}

TEST(Detection, FoundVariantNamesItsItemPartNumberAndLogLine) {
    const QStringList& config = EncoderConfigurationItems();
    const QString binary = EncoderResolutionItems().at(0);
    EXPECT_EQ(DetectedConfig(TDetection::Advanced), TEncoderConfig::SPD);
    EXPECT_EQ(DetectedConfig(TDetection::Simple), TEncoderConfig::SPC);
    EXPECT_EQ(ComposePartNumber(config.at(int(TEncoderConfig::SPD)), binary), "TQ55SPDxxB");
    EXPECT_EQ(ComposePartNumber(config.at(int(TEncoderConfig::SPC)), binary), "TQ55SPCxxB");
    EXPECT_EQ(VariantLogLine(TDetection::Advanced), "SPB or SPD communication variant.");
    EXPECT_EQ(VariantLogLine(TDetection::Simple), "SPA or SPC communication variant.");
    // Which items read the advanced frame, and the resolutions.
    for (const auto& [item, advanced] :
         {std::pair{-1, false}, {0, false}, {1, true}, {2, false}, {3, true}})
        EXPECT_EQ(IsAdvancedConfig(item), advanced) << item;
    EXPECT_EQ(ResolutionUnit(0), 0.000244140625);
    EXPECT_EQ(ResolutionUnit(1), 0.00025);
}

TEST(Reading, OutcomeTable) {
    struct Case {
        const char* name;
        std::int32_t errComm;
        bool errCrc, errTimeout;
        TReadingOutcome expected;
    };
    const Case cases[] = {
        {"good_advanced", TR_OK, false, false, TReadingOutcome::Good},
        {"trailing_bits_with_good_crc_is_good", TR_OK, false, true, TReadingOutcome::Good},
        {"simple_frame_always_has_crc_flag", TR_OK, true, false, TReadingOutcome::Good},
        {"both_flags_lose_the_encoder", TR_OK, true, true, TReadingOutcome::EncoderLost},
        {"time_out_loses_the_interface", TR_TIMEOUT, false, false, TReadingOutcome::InterfaceLost},
        {"failed_transaction_wins_over_flags", TR_NOPORT, true, true,
         TReadingOutcome::InterfaceLost},
    };
    for (const auto& c : cases) {
        TEncoderPosition pos;
        pos.ErrComm = c.errComm;
        pos.ErrCRC = c.errCrc;
        pos.ErrTimeout = c.errTimeout;
        EXPECT_EQ(ClassifyReading(pos), c.expected) << c.name;
    }
}

TEST(Reading, FaultOfAFailedReading) {
    struct Case {
        const char* name;
        std::int32_t errComm;
        QByteArray rx;
        TReadingFault expected;
    };
    const Case cases[] = {
        {"no_reply_in_time", TR_TIMEOUT, "03D090300920", TReadingFault::TimeOut},
        {"no_port", TR_NOPORT, "", TReadingFault::LostInterface},
        {"write_refused", -5, "", TReadingFault::LostInterface},
        {"advanced_crc_mismatch", TR_OK, "03D0903006D0", TReadingFault::FrameCheck},
        {"idle_line_advanced", TR_OK, "FFFFFFFFFFFF", TReadingFault::LostEncoder},
        {"idle_line_simple", TR_OK, "FFFFFFFF", TReadingFault::LostEncoder},
        {"all_ones_but_the_last_digit", TR_OK, "FFFFFFFFFFF0", TReadingFault::FrameCheck},
        {"no_hex_digits", TR_OK, ";Z;\tZ;Z;Z000", TReadingFault::FrameCheck},
    };
    for (const auto& c : cases) {
        TEncoderPosition pos;
        pos.ErrComm = c.errComm;
        pos.RxData = c.rx;
        pos.ErrCRC = pos.ErrTimeout = true;
        EXPECT_EQ(ReadingFaultOf(pos), c.expected) << c.name;
    }
}

}  // namespace
