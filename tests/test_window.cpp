// The window's state machine against a simulated box on a real pty: start-up,
// interface search, set-up, encoder detection and the reading loop.
#include <QGuiApplication>
#include <QLocale>
#include <QTabBar>

#include "core/Orodja.h"
#include "core/Serial_driver.h"
#include "window_fixture.h"

namespace {

using Commands = std::vector<std::string>;

const QString kCaptionStart =
    QStringLiteral("Quorvane® for K740-3T and TQ55 SPI encoders (ver: 1.0.0.10");

// ------------------------------------------------------------ start-up, search

TEST_F(WindowTest, CaptionBeforeAnyBoxHasEmptyFields) {
    EXPECT_EQ(form->windowTitle(), kCaptionStart + "; IF sn: , fw: ; Encoder pn: )");
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), form->windowTitle());
    EXPECT_EQ(Armed(), "I");
    EXPECT_EQ(form->tmrSearchInterface->Interval(), 1000);
    EXPECT_EQ(form->lblPosUnit->Caption(), "");
    EXPECT_EQ(form->Pages->currentIndex(), 0);
    EXPECT_FALSE(form->Pages->isTabVisible(2));
}

TEST_F(WindowTest, SearchBlinksOneChangePerTickWhileNoBoxAnswers) {
    Box().SetSilent(true);
    ReplyTimeoutMs = 30;
    const QStringList expected = {"Searching for interface...", "", "Searching for interface...",
                                  ""};
    for (const QString& text : expected) {
        form->tmrSearchInterfaceTimer();
        EXPECT_EQ(form->lblPosUnit->Caption(), text);
        EXPECT_EQ(form->lblPosUnit->FontColor(), clOrange);
        EXPECT_EQ(Armed(), "I");
    }
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_TRUE(Log().isEmpty());
}

TEST_F(WindowTest, PortHeldByAnotherProgramIsToldOnceAndTheSearchGoesOn) {
    k740sim::PtyBox other(dir->Path(), 3);
    const platform::PortHandle held = platform::OpenPort(3);  // the other program
    ASSERT_NE(held, platform::InvalidHandle);
    Box().SetSilent(true);
    ReplyTimeoutMs = 30;
    for (int tick = 0; tick < 3; ++tick) form->tmrSearchInterfaceTimer();
    platform::ClosePort(held);
    const QString expected = "Cannot open COM3 (" + QString::fromStdString(other.LinkPath()) +
                             "): it is in use by another program.";
    EXPECT_EQ(Log(), QStringList{expected});
    EXPECT_EQ(echoed, QStringList{expected}) << "standard error says it too";
    EXPECT_EQ(Armed(), "I");
    EXPECT_GE(Box().Commands().size(), 3u) << "the next port was still tried on every tick";
}

TEST_F(WindowTest, LogLinesGoToStandardErrorButTrafficDoesNot) {
    form->cbLogComm->setChecked(true);
    FindEncoder();
    form->tmrReadEncoderTimer();
    const QStringList log = Log();
    ASSERT_TRUE(log.contains("Encoder found."));
    QStringList diagnostic;
    for (const QString& line : log)
        if (!line.startsWith("CMD:\t")) diagnostic << line;
    EXPECT_LT(diagnostic.size(), log.size()) << "Log Comm wrote no traffic line";
    EXPECT_EQ(echoed, diagnostic);
}

// Traffic lines wait for the next frame, away from the reading that wrote
// them, and go into the log together; nothing overtakes them, and "Clear log"
// takes them along.
TEST_F(WindowTest, TrafficLinesFollowWithinAFrameInTheirOrder) {
    auto raw = [this] { return form->mmLog->toPlainText().split('\n', Qt::SkipEmptyParts); };
    using K = TMainForm::TLogKind;
    using S = TMainForm::TLogScroll;
    form->LogLine("T1", S::PageDown, K::Traffic);
    EXPECT_EQ(raw(), QStringList()) << "written within the reading";
    form->LogLine("D1");
    form->LogLine("T2", S::PageDown, K::Traffic);
    form->LogLine("T3", S::PageDown, K::Traffic);
    EXPECT_EQ(raw(), QStringList({"T1", "D1"}));
    EXPECT_TRUE(WaitFor([&] { return raw().size() == 4; }, 2000,
                        [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); }));
    EXPECT_EQ(raw(), QStringList({"T1", "D1", "T2", "T3"}));
    form->LogLine("T4", S::PageDown, K::Traffic);
    form->Button1->click();
    form->LogLine("D2");
    EXPECT_EQ(raw(), QStringList({"D2"}));
    EXPECT_EQ(echoed, QStringList({"D1", "D2"}));
}

TEST_F(WindowTest, DisconnectedTextIsClearedFirstThenBlinks) {
    pty->Unplug();
    form->lblPosUnit->SetCaption("Interface disconnected!");
    form->tmrSearchInterfaceTimer();
    EXPECT_EQ(form->lblPosUnit->Caption(), "");
    form->tmrSearchInterfaceTimer();
    EXPECT_EQ(form->lblPosUnit->Caption(), "Searching for interface...");
}

TEST_F(WindowTest, FoundBoxHandsOverToTheEncoderSearch) {
    FindBox();
    EXPECT_EQ(form->lblComPort->Caption(), "COM7");
    EXPECT_TRUE(Log().contains("Interface found on COM7"));
    EXPECT_EQ(form->lblPosUnit->Caption(), "Searching for encoder...");
    EXPECT_EQ(form->lblPosUnit->FontColor(), clDarkGreen);
    EXPECT_EQ(form->tmrSearchEncoder->Interval(), 850);
}

TEST_F(WindowTest, BoxAppearingLaterIsFoundOnTheNextTick) {
    pty->Unplug();
    form->tmrSearchInterfaceTimer();
    EXPECT_EQ(Armed(), "I");
    pty->Replug();
    FindBox();
}

TEST_F(WindowTest, SearchTickClosesAPortLeftOpen) {
    FindBox();
    const platform::PortHandle before = form->K740_H.Get();
    pty->Unplug();
    form->tmrSearchInterfaceTimer();
    EXPECT_EQ(form->K740_H, platform::InvalidHandle);
    EXPECT_NE(before, platform::InvalidHandle);
    EXPECT_EQ(Armed(), "I");
}

// ------------------------------------------------------------ set-up

TEST_F(WindowTest, FullSetUpSendsEveryCommandInOrder) {
    FindBox();
    EXPECT_EQ(Box().Commands(),
              (Commands{"v", "o", "r", "Cp", "G0:1", "D055", "M5", "m", "V5", "n", "e"}));
    EXPECT_TRUE(messages.isEmpty()) << messages.join(" | ").toStdString();
    EXPECT_EQ(form->lblInterfaceVer->Caption(), "K740-3T, V2.05 SPI interface.12");
    EXPECT_EQ(form->K740verzija, "V2.05.12");
    EXPECT_EQ(form->K740Serijska, "SN0042317");
    EXPECT_EQ(form->lblInterfaceSerial->Caption(), "Serial: SN0042317");
    EXPECT_EQ(form->windowTitle(),
              kCaptionStart + "; IF sn: SN0042317, fw: V2.05.12; Encoder pn: )");
    EXPECT_EQ(form->cmbFreqSPI->currentIndex(), 4);
    EXPECT_EQ(Box().SpiClock(), "5");
    EXPECT_TRUE(Box().SupplyOn());
    EXPECT_FALSE(form->lblEncPwrStatus->Caption().isEmpty());
    const QStringList log = Log();
    ASSERT_GE(log.size(), 5);
    EXPECT_EQ(log[0], "Interface found on COM7");
    EXPECT_TRUE(log[1].startsWith("Protocol settings: "));
    EXPECT_TRUE(log[2].startsWith("SPI settings: "));
    EXPECT_TRUE(log[3].startsWith("SPI settings: "));
    EXPECT_TRUE(log[4].startsWith("SPI frequency: "));
}

TEST_F(WindowTest, SetUpFailures) {
    struct Case {
        const char* name;
        std::function<void(k740sim::K740Box&)> fault;
        QStringList messages;
    };
    const Case cases[] = {
        {"cp_lower_case_error",
         [](auto& b) { b.SetErrorReply("Cp", "error: busy"); },
         {"Interface error: Cp -> error: busy"}},
        {"cp_times_out_after_error",
         [](auto& b) { b.SetRawReply("Cp", "ERROR"); },
         {"Interface error: Cp -> ERROR", "Interface error: Cp -> ERROR"}},
        {"g01_error",
         [](auto& b) { b.SetErrorReply("G0:1", "ERROR 3"); },
         {"Interface error: G0:1 -> ERROR 3"}},
        {"supply_wrong_reply",
         [](auto& b) { b.SetErrorReply("V5", "ERR"); },
         {"Error setting power supply! (V5) -> (ERR)"}},
        {"supply_on_wrong_reply",
         [](auto& b) { b.SetErrorReply("n", "OFF"); },
         {"Error setting power supply! (n) -> (OFF)"}},
        {"clock_query_blank",
         [](auto& b) { b.SetRawReply("m", " \t\r\n"); },
         {"SPI Frequency setting 5 failed!"}},
        // Bytes came, so no message although the transaction failed.
        {"clock_set_partial_reply", [](auto& b) { b.SetRawReply("M5", "O"); }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Box().ClearOverrides();
        Box().ClearCommands();
        messages.clear();
        form->mmLog->clear();
        c.fault(Box());
        form->tmrSearchInterfaceTimer();
        EXPECT_EQ(messages, c.messages);
        EXPECT_EQ(Armed(), "E") << "the set-up always hands over";
    }
}

TEST_F(WindowTest, CpErrorStillLogsThePrintableReply) {
    Box().SetErrorReply("Cp", "error\x01 x");
    FindBox();
    EXPECT_TRUE(Log().contains("Protocol settings: error x"));
}

TEST_F(WindowTest, NoAnswerToFirmwareGivesRevisionZero) {
    Box().SetNoReply("o");
    FindBox();
    EXPECT_EQ(form->K740RevizijaFW, 0);
    EXPECT_EQ(form->lblInterfaceVer->Caption(), "K740-3T, V2.05 SPI interface.0");
}

TEST_F(WindowTest, FirmwareRevisionParsing) {
    struct Case {
        const char* reply;
        int revision;
    };
    for (const Case& c : {Case{"12", 12}, Case{"0x1A", 26}, Case{"X1a", 26}, Case{"rev 7", 0},
                          Case{"-3", 3}, Case{"99999999999", 0}}) {
        Box().SetErrorReply("o", c.reply);
        form->tmrSearchInterfaceTimer();
        EXPECT_EQ(form->K740RevizijaFW, c.revision) << c.reply;
    }
}

TEST_F(WindowTest, BareIdentificationGivesDotAndRevision) {
    Box().SetIdentification("K740-3T");
    FindBox();
    EXPECT_EQ(form->K740verzija, ".12");
}

TEST_F(WindowTest, MarkupFromTheBoxIsShownAsText) {
    Box().SetSerial("<b>x</b>");
    Box().SetIdentification("K740-3T<b>bold</b><img src=/tmp/x.png>");
    FindBox();
    EXPECT_EQ(form->lblInterfaceVer->textFormat(), Qt::PlainText);
    EXPECT_EQ(form->lblInterfaceVer->text(), "K740-3T<b>bold</b><img src=/tmp/x.png>.12");
}

TEST_F(WindowTest, SettingsWithNoPortOpen) {
    form->cmbFreqSPI->setCurrentIndex(2);
    form->cmbFreqSPIChange();
    form->rbPwrOffClick();
    EXPECT_EQ(messages, (QStringList{"SPI Frequency setting 3 failed!",
                                     "Error setting power supply! (f) -> ()"}));
}

TEST_F(WindowTest, UserChangesClockAndSupply) {
    FindBox();
    Box().ClearCommands();
    form->cmbFreqSPI->setCurrentIndex(7);
    form->cmbFreqSPIChange();
    form->rbPwrOff->setChecked(true);  // the user's click
    form->rbPwr5v->setChecked(true);
    EXPECT_EQ(Box().Commands(), (Commands{"M8", "m", "f", "V5", "n"}));
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_TRUE(Log().last().startsWith("SPI frequency: "));
}

// The simulated box behaves as a bench does when the user switches the
// encoder's supply off: the encoder is lost, searched for, and found again
// once the supply is back.
TEST_F(WindowTest, SupplyOffLosesTheEncoderAndFiveVoltsFindsItAgain) {
    FindEncoder();
    form->tmrReadEncoderTimer();
    ASSERT_EQ(Armed(), "R");
    form->rbPwrOff->setChecked(true);  // the user's click
    form->tmrReadEncoderTimer();
    EXPECT_EQ(Armed(), "E");
    EXPECT_EQ(Log().last(), "Encoder disconnected!");
    EXPECT_EQ(form->lblEncPosRawHex->Caption(), "FFFFFFFFFFFF");
    form->tmrSearchEncoderTimer();
    EXPECT_EQ(Armed(), "E") << "an encoder without supply was found";
    form->rbPwr5v->setChecked(true);
    form->tmrSearchEncoderTimer();
    EXPECT_EQ(Armed(), "R");
    EXPECT_EQ(Log().last(), "SPB or SPD communication variant.");
}

TEST_F(WindowTest, SupplyStatusIsQueriedOnlyOnSystemConfig) {
    FindBox();
    Box().ClearCommands();
    form->Pages->setCurrentIndex(1);
    form->RefreshPowerStatus();
    EXPECT_TRUE(Box().Commands().empty());
    form->Pages->setCurrentIndex(0);
    form->RefreshPowerStatus();
    EXPECT_EQ(Box().Commands(), (Commands{"e"}));
}

// ------------------------------------------------------------ encoder detection

TEST_F(WindowTest, AdvancedEncoderFoundOnFirstTick) {
    FindEncoder();
    EXPECT_EQ(form->rgEncoderConfiguration->ItemIndex(), 3);
    EXPECT_EQ(EncoderSignature.PartNumber, "TQ55SPDxxB");
    EXPECT_TRUE(form->windowTitle().endsWith("; Encoder pn: TQ55SPDxxB)"));
    EXPECT_TRUE(form->Pages->isTabVisible(2));
    EXPECT_EQ(form->lblPosUnit->Caption(), "Encoder found.");
    EXPECT_EQ(form->lblPosUnit->FontColor(), clNavy);
    const QStringList log = Log();
    EXPECT_EQ(log.mid(log.size() - 2),
              (QStringList{"Encoder found.", "SPB or SPD communication variant."}));
    EXPECT_EQ(form->lblCRC->Caption().left(5), "CRC: ");
    EXPECT_EQ(EncoderPosition.Resolution_unit, 0.000244140625);
}

TEST_F(WindowTest, AdvancedWithErrorBitsIsStillAccepted) {
    Box().SetErrorBit(true);
    Box().SetWarningBit(true);
    FindEncoder();
    EXPECT_EQ(form->rgEncoderConfiguration->ItemIndex(), 3);
}

TEST_F(WindowTest, SimpleEncoderFoundAfterTheAdvancedCrcFails) {
    Box().SetEncoder(k740sim::EncoderKind::Simple);
    Box().SetPosition(1000000);
    FindBox();
    form->Pages->setTabVisible(2, true);
    Box().ClearCommands();
    form->tmrSearchEncoderTimer();
    EXPECT_EQ(Armed(), "R");
    EXPECT_EQ(Box().Commands(), (Commands{"e", "?06:006", "?04:004"}));
    EXPECT_EQ(form->rgEncoderConfiguration->ItemIndex(), 2);
    EXPECT_EQ(EncoderSignature.PartNumber, "TQ55SPCxxB");
    EXPECT_FALSE(form->Pages->isTabVisible(2));
    EXPECT_EQ(Log().last(), "SPA or SPC communication variant.");
    EXPECT_EQ(form->lblCRC->Caption(), "");
}

TEST_F(WindowTest, SimpleEncoderAtCountZeroIsNeverAccepted) {
    Box().SetEncoder(k740sim::EncoderKind::Simple);
    Box().SetPosition(0);
    FindBox();
    int clicks = 0;
    QObject::connect(form->rgEncoderConfiguration, &TRadioGroup::Click, [&] { ++clicks; });
    for (int i = 0; i < 3; ++i) {
        form->tmrSearchEncoderTimer();
        EXPECT_EQ(Armed(), "E");
        EXPECT_EQ(form->rgEncoderConfiguration->ItemIndex(), -1);
    }
    EXPECT_EQ(clicks, 0) << "clearing the selection fired the click";
    Box().SetPosition(1);
    form->tmrSearchEncoderTimer();
    EXPECT_EQ(Armed(), "R");
}

TEST_F(WindowTest, NoEncoderKeepsSearchingAndBlinks) {
    Box().SetEncoder(k740sim::EncoderKind::None);
    FindBox();
    const int logLines = Log().size();
    QStringList seen;
    for (int i = 0; i < 3; ++i) {
        form->tmrSearchEncoderTimer();
        EXPECT_EQ(Armed(), "E");
        seen << form->lblPosUnit->Caption();
    }
    EXPECT_EQ(seen, (QStringList{"", "Searching for encoder...", ""}));
    EXPECT_EQ(Log().size(), logLines);
}

TEST_F(WindowTest, UnpluggedDuringTheSearchGoesBackToTheInterfaceSearch) {
    Box().SetEncoder(k740sim::EncoderKind::None);
    FindBox();
    pty->Unplug();
    form->tmrSearchEncoderTimer();
    EXPECT_EQ(Armed(), "I");
    form->tmrSearchInterfaceTimer();
    EXPECT_EQ(form->K740_H, platform::InvalidHandle);
}

TEST_F(WindowTest, WrongLengthReplyEndsTheSearchTickWithOnlyTheInterfaceSearchArmed) {
    for (int delta : {-1, +1}) {
        SCOPED_TRACE(delta);
        Box().SetFrameLengthDelta(0);
        FindBox();
        // The previous decode left flags that would pass for an advanced find.
        EncoderPosition.ErrCRC = false;
        Box().SetFrameLengthDelta(delta);
        form->tmrSearchEncoderTimer();
        EXPECT_EQ(Armed(), "I");
        EXPECT_EQ(form->rgEncoderConfiguration->ItemIndex(), -1);
        EXPECT_EQ(form->K740_H, platform::InvalidHandle);
        EXPECT_EQ(Log().last(), "Incorrect data returned from K740.");
    }
}

TEST_F(WindowTest, ReadingShowsRawFrameAndLogsTraffic) {
    Box().SetPosition(1000000);
    FindBox();
    form->cbLogComm->setChecked(true);
    const TColor lamp = form->pnlCommActive->Color();
    form->tmrSearchEncoderTimer();
    EXPECT_EQ(form->lblEncPosRawHex->Caption(), "03D090300920");
    EXPECT_EQ(form->lblEncPosRawBin->Caption(),
              "00000011110100001001000000 11 00000000 10010010 0000");
    EXPECT_EQ(form->lblEncPosRawDecoded->Caption(), "1000000");
    EXPECT_EQ(form->lblCRC->Caption(), "CRC: 92 / 92");
    EXPECT_NE(form->pnlCommActive->Color(), lamp);
    EXPECT_TRUE(Log().contains("CMD:\t?06:006\tRX:\t03D090300920"));
}

TEST_F(WindowTest, BlanksAndLowerCaseInTheReplyAreCleaned) {
    Box().SetPosition(1000000);
    Box().SetLowerCaseWithBlanks(true);
    FindEncoder();
    EXPECT_EQ(form->lblEncPosRawHex->Caption(), "03D090300920");
}

TEST_F(WindowTest, ActivityLampTogglesAlsoOnFailedReads) {
    EXPECT_EQ(form->pnlCommActive->Color(), 0x004400u);
    QList<TColor> colours;
    for (int i = 0; i < 3; ++i) {
        form->tmrReadEncoderTimer();  // no port: each read fails
        colours << form->pnlCommActive->Color();
    }
    EXPECT_EQ(colours, (QList<TColor>{clLightGreen, clDarkGreen, clLightGreen}));
    EXPECT_EQ(EncoderPosition.ErrComm, TR_NOPORT);
}

}  // namespace
