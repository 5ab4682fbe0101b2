#include "app/TQ55_SPI_Main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QScrollBar>
#include <exception>

#include "app/OrodjaChart.h"
#include "app/PaintPacer.h"
#include "app/PositionChart.h"
#include "core/Enkoderji_splosno.h"
#include "core/Formatting.h"
#include "core/FrameDecoder.h"
#include "core/Orodja.h"
#include "core/Serial_driver.h"
#include "platform/Clock.h"
#include "platform/DeviceMap.h"

namespace {

QString latin1(const QByteArray& b) {
    return QString::fromLatin1(b);
}

const char* const kVersionText = "" QT_STRINGIFY(K740_VERSION_MAJOR) "." QT_STRINGIFY(
    K740_VERSION_MINOR) "." QT_STRINGIFY(K740_VERSION_PATCH) "." QT_STRINGIFY(K740_VERSION_TWEAK);

bool g_waitCursor = false;

}  // namespace

QByteArray ZeroPadCount(int value, int width) {
    QByteArray digits = QByteArray::number(
        static_cast<qint64>(value) < 0 ? -static_cast<qint64>(value) : static_cast<qint64>(value));
    const bool negative = value < 0;
    if (width >= 1 && width <= 6)
        while (digits.size() + (negative ? 1 : 0) < width) digits.prepend('0');
    return negative ? '-' + digits : digits;
}

// ------------------------------------------------------------ user messages

std::function<void(QWidget*, const QString&)> TUserMessages::ShowMessage = [](QWidget* parent,
                                                                              const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);  // replies of the box end up in these texts
    box.exec();
};

std::function<void(QWidget*, const QString&)> TUserMessages::ShowError = [](QWidget* parent,
                                                                            const QString& text) {
    QMessageBox box(QMessageBox::Critical, QGuiApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
};

bool TSaveDialog::Execute(QWidget* parent) {
    if (Executor) return Executor(*this);
    QFileDialog dlg(parent, Title);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    // "PNG|*.png" in the dialog's own notation.
    const QStringList parts = Filter.split(u'|');
    if (parts.size() == 2) dlg.setNameFilter(parts.at(0) + " (" + parts.at(1) + ")");
    dlg.setOption(QFileDialog::DontConfirmOverwrite, !OverwritePrompt);
    dlg.setDefaultSuffix(DefaultExt);
    if (!InitialDir.isEmpty()) dlg.setDirectory(InitialDir);
    dlg.setSizeGripEnabled(EnableSizing);
    if (!FileName.isEmpty()) dlg.selectFile(FileName);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return false;
    const QString chosen = dlg.selectedFiles().first();
    if (PathMustExist && !QFileInfo(chosen).absoluteDir().exists()) return false;
    FileName = chosen;
    return true;
}

// ------------------------------------------------------------ creation

TMainForm::TMainForm(QWidget* parent) : QWidget(parent) {
    Clock = [] { return platform::TickMs(); };
    RecordingDir = QCoreApplication::applicationDirPath();
    UserLocale = [] { return QLocale(); };
    CreateControls();
    new TPaintPacer(this);  // owned by the window
    ConnectEvents();
    FormCreate();
}

TMainForm::~TMainForm() {
    FormDestroy();
}

QLocale TMainForm::Locale() const {
    return UserLocale ? UserLocale() : QLocale();
}

void TMainForm::Guard(const std::function<void()>& handler, const std::function<void()>& recover) {
    try {
        handler();
        return;
    } catch (const std::exception& e) {
        // Shown before the state machine is put back on its feet, so an error
        // that repeats on every tick cannot stack up boxes.
        TUserMessages::ShowError(this, QString::fromLocal8Bit(e.what()));
    } catch (...) {
        TUserMessages::ShowError(this, QStringLiteral("Unknown error"));
    }
    if (recover) recover();
}

void TMainForm::ConnectEvents() {
    auto noOtherState = [this] {
        return !tmrSearchInterface->Enabled() && !tmrSearchEncoder->Enabled() &&
               !tmrReadEncoder->Enabled();
    };
    connect(tmrSearchInterface, &TTimer::Timer, this, [this, noOtherState] {
        Guard([this] { tmrSearchInterfaceTimer(); },
              [this, noOtherState] {
                  if (noOtherState()) tmrSearchInterface->SetEnabled(true);
              });
    });
    connect(tmrSearchEncoder, &TTimer::Timer, this, [this, noOtherState] {
        Guard([this] { tmrSearchEncoderTimer(); },
              [this, noOtherState] {
                  if (noOtherState()) tmrSearchEncoder->SetEnabled(true);
              });
    });
    connect(tmrReadEncoder, &TTimer::Timer, this, [this, noOtherState] {
        Guard([this] { tmrReadEncoderTimer(); },
              [this, noOtherState] {
                  if (noOtherState()) tmrReadEncoder->SetEnabled(true);
              });
    });
    auto on = [this](auto* sender, auto signal, void (TMainForm::*handler)()) {
        connect(sender, signal, this,
                [this, handler] { Guard([this, handler] { (this->*handler)(); }); });
    };
    // A user's choice only: selecting an entry from the program raises nothing.
    on(cmbFreqSPI, &QComboBox::activated, &TMainForm::cmbFreqSPIChange);
    on(seEncoderReadInterval, &TSpinEdit::Change, &TMainForm::seEncoderReadIntervalChange);
    connect(rbPwr5v, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked) Guard([this] { rbPwr5vClick(); });
    });
    connect(rbPwrOff, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked) Guard([this] { rbPwrOffClick(); });
    });
    on(Button1, &QPushButton::clicked, &TMainForm::Button1Click);
    on(rgEncoderConfiguration, &TRadioGroup::Click, &TMainForm::rgEncoderConfigurationClick);
    on(btnZero, &QPushButton::clicked, &TMainForm::btnZeroClick);
    // Check boxes fire on every change of state, also when the program sets it.
    on(cbPosPlot, &QCheckBox::toggled, &TMainForm::cbPosPlotClick);
    on(btnChartPosSave, &QPushButton::clicked, &TMainForm::btnChartPosSaveClick);
    on(btnChartPosClear, &QPushButton::clicked, &TMainForm::btnChartPosClearClick);
    on(cbShranjujMeritvePos, &QCheckBox::toggled, &TMainForm::cbShranjujMeritvePosClick);
}

void TMainForm::FormCreate() {
    if (!g_waitCursor && qApp) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        g_waitCursor = true;
    }
    UpdateCaption();
    K740_H = platform::InvalidHandle;
    K740Serijska.clear();
    EncoderSignature.Multiturn = false;
    EncoderSignature.SerialNumber.clear();
    EncoderSignature.PartNumber.clear();
    COMPorts.Clear();
    lblPosUnit->SetCaption(QString());
    EncoderZeroPos_cnt = 0;
    Pages->setCurrentIndex(0);
    Pages->setTabVisible(2, false);
    btnChartPosClearClick();
    tmrSearchInterface->SetEnabled(true);
}

void TMainForm::closeEvent(QCloseEvent* e) {
    Guard([this] { FormClose(); });
    e->accept();
}

void TMainForm::FormClose() {
    // Only a file that is open needs closing; no file is no error.
    if (cbShranjujMeritvePos->isChecked() && ShraniFajl) {
        ShraniFajl->close();
        ShraniFajl.reset();
    }
}

void TMainForm::FormDestroy() {
    COMPorts.Clear();
    if (K740_H != platform::InvalidHandle) {
        platform::ClosePort(K740_H);
        K740_H = platform::InvalidHandle;
    }
    if (ShraniFajl) ShraniFajl->close();
}

void TMainForm::UpdateCaption() {
    const QString caption = QStringLiteral("Quorvane® for K740-3T and TQ55 SPI encoders (ver: ") +
                            QString::fromLatin1(kVersionText) + "; IF sn: " + latin1(K740Serijska) +
                            ", fw: " + latin1(K740verzija) +
                            "; Encoder pn: " + latin1(EncoderSignature.PartNumber) + ")";
    // The title first: a window title that ends in the application's name is
    // shown as it is, anything else gets the name appended by the platform.
    QGuiApplication::setApplicationDisplayName(caption);
    setWindowTitle(caption);
}

// ------------------------------------------------------------ log

void TMainForm::ScrollLogPageDown() {
    QScrollBar* bar = mmLog->verticalScrollBar();
    bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
}

void TMainForm::LogLine(const QString& line, bool scroll) {
    mmLog->appendPlainText(line);
    if (scroll) ScrollLogPageDown();
}

void TMainForm::Button1Click() {
    mmLog->clear();
}

// ------------------------------------------------------------ interface search

void TMainForm::tmrSearchInterfaceTimer() {
    tmrSearchInterface->SetEnabled(false);
    tmrSearchEncoder->SetEnabled(false);
    pnlPosition->SetColor(clBtnFace);
    lblComPort->SetCaption(QString());
    lblInterfaceVer->SetCaption(QString());
    lblInterfaceSerial->SetCaption(QString());
    bool found = false;
    if (K740_H != platform::InvalidHandle) {
        platform::ClosePort(K740_H);
        K740_H = platform::InvalidHandle;
    }
    lblPosUnit->SetFontColor(clOrange);
    lblPosUnit->SetCaption(
        lblPosUnit->Caption().isEmpty() ? QStringLiteral("Searching for interface...") : QString());
    lblPosUnit->RepaintNow();
    int port = 0;
    found = ScanPorts(port);
    if (g_waitCursor) {
        QApplication::restoreOverrideCursor();
        g_waitCursor = false;
    }
    if (found) {
        lblComPort->SetCaption(QStringLiteral("COM") + QString::number(port));
        InterfaceSetup();
        lblPosUnit->SetCaption(QStringLiteral("Searching for encoder..."));
        lblPosUnit->SetFontColor(clDarkGreen);
        lblPosUnit->RepaintNow();
        tmrSearchEncoder->SetEnabled(true);
    } else {
        tmrSearchInterface->SetEnabled(true);
    }
}

bool TMainForm::ScanPorts(int& portNumber) {
    ListComPorts(platform::ReadSerialDeviceMap(), COMPorts);
    for (const int n : PortNumbers(COMPorts)) {
        K740_H = platform::OpenPort(n);
        if (K740_H == platform::InvalidHandle) continue;  // held by another program, or gone
        QCoreApplication::processEvents();
        platform::LineSettings saved;
        if (platform::GetLineSettings(K740_H, saved)) {
            platform::LineSettings work = saved;
            work.BaudRate = 115200;
            work.ByteSize = 8;
            work.Parity = platform::Parity::None;
            work.StopBits = platform::StopBits::One;
            if (platform::SetLineSettings(K740_H, work)) {
                const std::int32_t r = SendCommand(K740_H, "v", 7, K740identifikacija);
                if (r == TR_OK && K740identifikacija.startsWith("K740-3T")) {
                    LogLine(QStringLiteral("Interface found on COM") + QString::number(n));
                    portNumber = n;
                    return true;
                }
                platform::SetLineSettings(K740_H, saved);
            }
        }
        platform::ClosePort(K740_H);
        K740_H = platform::InvalidHandle;
    }
    return false;
}

// ------------------------------------------------------------ set-up and settings

void TMainForm::InterfaceSetup() {
    auto message = [this](const QString& text) { TUserMessages::ShowMessage(this, text); };
    QByteArray reply;  // one buffer for "o", "Cp", "G0:1" and "D055", as each left it

    K740RevizijaFW = 0;
    SendCommand(K740_H, "o", 0, reply);
    K740RevizijaFW = StrToIntDef(AlphaNumOnly(latin1(reply)), 0);

    K740identifikacija = PrintableOnly(latin1(K740identifikacija)).toLatin1();
    const QByteArray rev = QByteArray::number(K740RevizijaFW);
    lblInterfaceVer->SetCaption(latin1(K740identifikacija + "." + rev));
    K740verzija = K740identifikacija.mid(9, 5) + "." + rev;

    K740Serijska.clear();
    SendCommand(K740_H, "r", 0, K740Serijska);
    K740Serijska = AlphaNumOnly(latin1(K740Serijska)).toLatin1();
    lblInterfaceSerial->SetCaption(QStringLiteral("Serial: ") + latin1(K740Serijska));
    UpdateCaption();

    struct Step {
        const char* command;
        const char* logPrefix;
    };
    for (const Step& s : {Step{"Cp", "Protocol settings: "}, Step{"G0:1", "SPI settings: "},
                          Step{"D055", "SPI settings: "}}) {
        const std::int32_t r = SendCommand(K740_H, s.command, 0, reply);
        const QString text =
            QStringLiteral("Interface error: ") + s.command + " -> " + PrintableOnly(latin1(reply));
        if (r != TR_OK) message(text);
        if (UpperCase(reply).contains("ERROR")) message(text);
        LogLine(QString::fromLatin1(s.logPrefix) + PrintableOnly(latin1(reply)), false);
    }
    ScrollLogPageDown();

    cmbFreqSPI->setCurrentIndex(4);  // raises no change event, hence the call
    cmbFreqSPIChange();
    rbPwr5vClick();
    RefreshPowerStatus();
}

void TMainForm::cmbFreqSPIChange() {
    QByteArray reply;
    const int n = cmbFreqSPI->currentIndex() + 1;
    if (SendCommand(K740_H, "M" + QByteArray::number(n), 0, reply) == TR_OK) {
        if (SendCommand(K740_H, "m", 0, reply) == TR_OK) {
            reply = Trim(latin1(reply)).toLatin1();
            LogLine(QStringLiteral("SPI frequency: ") + latin1(reply), false);
        }
    }
    // Only an empty buffer counts as failure, whatever the result codes said.
    if (reply.isEmpty())
        TUserMessages::ShowMessage(this, QStringLiteral("SPI Frequency setting %1 failed!").arg(n));
}

void TMainForm::rbPwr5vClick() {
    QByteArray reply;
    auto check = [this, &reply](const char* command, const char* expected) {
        SendCommand(K740_H, command, 0, reply);
        if (!reply.startsWith(expected))
            TUserMessages::ShowMessage(this, QStringLiteral("Error setting power supply! (") +
                                                 command + ") -> (" + PrintableOnly(latin1(reply)) +
                                                 ")");
    };
    check("V5", "V5");
    check("n", "ON");
    platform::SleepMs(200);
}

void TMainForm::rbPwrOffClick() {
    QByteArray reply;
    SendCommand(K740_H, "f", 0, reply);
    if (!reply.startsWith("OFF"))
        TUserMessages::ShowMessage(this, QStringLiteral("Error setting power supply! (f) -> (") +
                                             PrintableOnly(latin1(reply)) + ")");
    platform::SleepMs(200);
}

void TMainForm::RefreshPowerStatus() {
    if (Pages->currentWidget() != tabSysCfg) return;
    QByteArray reply;
    SendCommand(K740_H, "e", 0, reply);
    lblEncPwrStatus->SetCaption(Trim(latin1(reply)));
}

// ------------------------------------------------------------ encoder reading

void TMainForm::ReadEncoder(bool advanced) {
    ReplyRefused = false;
    pnlCommActive->SetColor(pnlCommActive->Color() == clLightGreen ? clDarkGreen : clLightGreen);
    const int n = advanced ? 6 : 4;
    const QByteArray command = "?" + ZeroPadCount(n, 2) + ":" + ZeroPadCount(n, 3);
    QByteArray reply;
    EncoderPosition.ErrComm = SendCommand(K740_H, command, 0, reply);
    if (EncoderPosition.ErrComm != TR_OK) return;
    const QString cleaned = UpperCase(RemoveSpaces(latin1(reply)));
    lblEncPosRawHex->SetCaption(cleaned);
    EncoderPosition.RxData = cleaned.toLatin1();
    ReplyRefused = !DecodeEncoderData(advanced);
    lblEncPosRawBin->SetCaption(EncoderPosition.RxBinDebug);
    lblEncPosRawDecoded->SetCaption(QString::number(EncoderPosition.Position_cnt));
    if (cbLogComm->isChecked())
        LogLine(QStringLiteral("CMD:\t") + latin1(command) + "\tRX:\t" + cleaned);
}

bool TMainForm::DecodeEncoderData(bool advanced) {
    const TFrameDecode r =
        DecodeFrame(advanced, EncoderZeroPos_cnt, EncoderPosition, DetailedStatus);
    if (!r.LengthOk) {
        LogLine(QStringLiteral("Incorrect data returned from K740."));
        platform::ClosePort(K740_H);
        K740_H = platform::InvalidHandle;
        tmrSearchInterface->SetEnabled(true);
        return false;
    }
    lblCRC->SetCaption(r.CrcCaption);
    return true;
}

// ------------------------------------------------------------ encoder search

void TMainForm::tmrSearchEncoderTimer() {
    tmrSearchInterface->SetEnabled(false);
    tmrSearchEncoder->SetEnabled(false);
    lblPosUnit->SetFontColor(clDarkGreen);
    pnlPosition->SetColor(clBtnFace);
    lblPosUnit->SetCaption(
        lblPosUnit->Caption().isEmpty() ? QStringLiteral("Searching for encoder...") : QString());
    lblPosUnit->RepaintNow();
    RefreshPowerStatus();
    Encoder_Status_delay = 0;
    CycleCounterStatus = 0;
    CycleCounterPower = 0;
    rgEncoderConfiguration->SetItemIndex(-1);
    EncoderPosition.STmaxCount = 0x7FFFFFF;
    EncoderPosition.MTmaxCount = 0;
    EncoderSignature.Multiturn = false;
    EncoderPosition.Resolution_unit =
        rgEncoderResolution->ItemIndex() == 0 ? 0.000244140625 : 0.00025;

    auto found = [this](int item, const char* variantLine, bool statusTab) {
        rgEncoderConfiguration->SetItemIndex(item);
        LogLine(QStringLiteral("Encoder found."), false);
        LogLine(QString::fromLatin1(variantLine));
        lblPosUnit->SetFontColor(clNavy);
        lblPosUnit->SetCaption(QStringLiteral("Encoder found."));
        UpdateCaption();
        Pages->setTabVisible(2, statusTab);
        tmrReadEncoder->SetEnabled(true);
    };

    ReadEncoder(true);
    // A refused reply has closed the port and armed the interface search;
    // nothing may be concluded from the previous reading's flags.
    if (ReplyRefused) return;
    if (EncoderPosition.ErrComm != TR_OK) {
        tmrSearchInterface->SetEnabled(true);
        return;
    }
    if (!EncoderPosition.ErrCRC) {
        found(3, "SPB or SPD communication variant.", true);
        return;
    }
    ReadEncoder(false);
    if (ReplyRefused) return;
    if (EncoderPosition.ErrComm != TR_OK) {
        tmrSearchInterface->SetEnabled(true);
        return;
    }
    if (EncoderPosition.Position_cnt <= 0 || EncoderPosition.ErrTimeout) {
        tmrSearchEncoder->SetEnabled(true);
        return;
    }
    found(2, "SPA or SPC communication variant.", false);
}

void TMainForm::rgEncoderConfigurationClick() {
    QByteArray pn = "TQ55";
    const int c = rgEncoderConfiguration->ItemIndex();
    const int r = rgEncoderResolution->ItemIndex();
    if (c >= 0) pn += rgEncoderConfiguration->Items().at(c).left(3).toLatin1();
    if (r >= 0) pn += rgEncoderResolution->Items().at(r).left(3).toLatin1();
    EncoderSignature.PartNumber = pn;
}

// ------------------------------------------------------------ reading loop

void TMainForm::tmrReadEncoderTimer() {
    tmrReadEncoder->SetEnabled(false);
    const int item = rgEncoderConfiguration->ItemIndex();
    const bool advanced = item == 1 || item == 3;
    ReadEncoder(advanced);
    // A reply refused for its length has closed the port and armed the
    // interface search: it must not pass for a good reading.
    if (ReplyRefused) return;
    lblDataPacketOK->SetCaption(advanced ? QStringLiteral("CRC check")
                                         : QStringLiteral("Reserved bits"));

    if (EncoderPosition.ErrComm != TR_OK) {
        lblPosUnit->SetCaption(QStringLiteral("Interface disconnected!"));
        LogLine(QStringLiteral("Interface disconnected!"));
        Pages->setCurrentIndex(0);
        Pages->setTabVisible(2, false);
        tmrSearchInterface->SetEnabled(true);
        return;
    }
    if (EncoderPosition.ErrCRC && EncoderPosition.ErrTimeout) {
        pnlDataPacketOK->SetColor(clRed);
        lblPosUnit->SetCaption(QStringLiteral("Encoder disconnected!"));
        lblPosUnit->RepaintNow();
        LogLine(QStringLiteral("Encoder disconnected!"));
        tmrSearchEncoder->SetEnabled(true);
        return;
    }

    pnlDataPacketOK->SetColor(clDarkGreen);
    lblPosUnit->SetCaption(FormatPositionMm(EncoderPosition.Position_unit, Locale()) + " mm");
    const TColor positionColor =
        EncoderPosition.ErrBit ? clLightRed : (EncoderPosition.WarnBit ? clOrange : clBtnFace);
    pnlPosition->SetColor(positionColor);
    if (cbPosPlot->isChecked()) ChartStep(positionColor);
    if (advanced) {
        lblEncDetStatBin->SetCaption(QString::fromLatin1(IntToBinStr(8, DetailedStatus)));
        Encoder_Status_delay =
            static_cast<std::uint8_t>(Encoder_Status_delay | (DetailedStatus & 0xFF));
        TPanel* const panels[8] = {pnlSb0, pnlSb1, pnlSb2, pnlSb3, pnlSb4, pnlSb5, pnlSb6, pnlSb7};
        for (int bit = 7; bit >= 0; --bit) {
            const bool set = (Encoder_Status_delay >> bit) & 1u;
            panels[bit]->SetColor(set ? (bit == 4 ? clOrange : clRed) : clGray);
        }
        if (++CycleCounterStatus > 10) {
            CycleCounterStatus = 0;
            Encoder_Status_delay = 0;
        }
    }
    if (cbShranjujMeritvePos->isChecked()) RecordingStep();
    tmrReadEncoder->SetEnabled(true);
    if (++CycleCounterPower > 20) {
        CycleCounterPower = 0;
        RefreshPowerStatus();
    }
}

void TMainForm::btnZeroClick() {
    if (EncoderPosition.ErrComm == TR_OK && !EncoderPosition.ErrBit)
        EncoderZeroPos_cnt =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(EncoderPosition.Position_cnt));
    lblZeroPos->SetCaption(QString::number(EncoderZeroPos_cnt));
}

void TMainForm::seEncoderReadIntervalChange() {
    const int v = seEncoderReadInterval->Value();
    // A negative value typed in is no interval: keep the one running.
    if (v < 0) return;
    tmrReadEncoder->SetInterval(v);
}

// ------------------------------------------------------------ chart

void TMainForm::ChartStep(TColor positionColor) {
    const TColor pointColor = positionColor == clBtnFace ? clNavy : positionColor;
    chartPosition->AddPoint(static_cast<double>(ChartTime), EncoderPosition.Position_unit,
                            pointColor);
    ++ChartTime;
    if (chartPosition->Count() > 250) chartPosition->DeleteFirst();
}

void TMainForm::btnChartPosClearClick() {
    chartPosition->Clear();
    ChartTime = 0;
}

void TMainForm::cbPosPlotClick() {
    if (cbPosPlot->isChecked()) btnChartPosClearClick();
}

void TMainForm::btnChartPosSaveClick() {
    if (!SaveDialogSlika.FileName.isEmpty())
        SaveDialogSlika.FileName = QFileInfo(SaveDialogSlika.FileName).fileName();
    if (!SaveDialogSlika.Execute(this)) return;
    const QString name = ChangeFileExt(SaveDialogSlika.FileName, QStringLiteral(".png"));
    SaveChartAsPng(chartPosition, name);
    if (!QFileInfo::exists(name))
        TUserMessages::ShowMessage(this, QStringLiteral("Error while saving chart image!"));
}

// ------------------------------------------------------------ recording

void TMainForm::cbShranjujMeritvePosClick() {
    if (!cbShranjujMeritvePos->isChecked()) {
        // Unticking with no file open (after a failed start or a failed
        // write) is no error: there is nothing to close.
        if (!ShraniFajl) return;
        ShraniFajl->close();
        const bool failed = ShraniFajl->error() != QFileDevice::NoError;
        const QString why = ShraniFajl->errorString();
        const QString path = ShraniFajl->fileName();
        ShraniFajl.reset();
        lblShraniElapsedTimeMs->SetCaption(lblShraniElapsedTimeMs->Caption() + "  FINISHED.");
        if (failed)
            TUserMessages::ShowError(this,
                                     QStringLiteral("Error while closing recording file %1: %2")
                                         .arg(QDir::toNativeSeparators(path), why));
        return;
    }

    const bool wasReading = tmrReadEncoder->Enabled();
    tmrReadEncoder->SetEnabled(false);
    const QString stamp = QLocale::c().toString(QDateTime::currentDateTime(), "yyyyMMddHHmmss");
    const QString path =
        QDir(RecordingDir)
            .filePath(QStringLiteral("POSITION_") + latin1(EncoderSignature.PartNumber) + "_" +
                      latin1(EncoderSignature.SerialNumber) + "_" + stamp + ".csv");
    mmShranjujIme->setPlainText(QDir::toNativeSeparators(path));

    // Unbuffered: every line reaches the operating system as it is written,
    // so a crash or a kill loses at most the reading in flight.
    auto file = std::make_unique<QFile>(path);
    const QByteArray header = "Time(ms);RX;Position_cnt;Error;Warning;Position_mm;\r\n";
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered) ||
        file->write(header) != header.size()) {
        const QString why = file->errorString();
        file->close();
        UntickRecordingBox();
        tmrReadEncoder->SetEnabled(wasReading);
        TUserMessages::ShowError(this, QStringLiteral("Cannot create recording file %1: %2")
                                           .arg(QDir::toNativeSeparators(path), why));
        return;
    }
    ShraniFajl = std::move(file);
    ShraniStartTick = Clock();
    tmrReadEncoder->SetEnabled(true);
}

void TMainForm::RecordingStep() {
    if (!ShraniFajl) return;
    const QLocale locale = Locale();
    const std::uint64_t elapsed = Clock() - ShraniStartTick;
    lblShraniElapsedTimeMs->SetCaption(FormatElapsedSeconds(elapsed, locale) + " seconds");
    // A reply whose digits are no hex at all still passes its check (it reads
    // as 0 with CRC 0); its bytes must not add fields or lines to the file.
    QString rx = lblEncPosRawHex->Caption();
    for (QChar& c : rx)
        if (c == u';' || c.unicode() < 0x20 || c.unicode() > 0x7E) c = u'?';
    const QString line = QString::number(elapsed) + ";0x" + rx + ";" +
                         QString::number(EncoderPosition.Position_cnt) + ";" +
                         BitChar(EncoderPosition.ErrBit) + ";" + BitChar(EncoderPosition.WarnBit) +
                         ";" + FormatPositionMm(EncoderPosition.Position_unit, locale) + ";\r\n";
    const QByteArray bytes = line.toLocal8Bit();
    if (ShraniFajl->write(bytes) != bytes.size()) {
        StopRecording(ShraniFajl->errorString());
        return;
    }
    const int limit = seCasShranjevanja->Value();
    if (limit > 0 && elapsed > static_cast<std::uint64_t>(limit) * 1000u)
        cbShranjujMeritvePos->setChecked(false);  // stops the recording at once
}

void TMainForm::UntickRecordingBox() {
    // Back to unticked without running the box's handler: there is no file
    // left for it to close.
    const QSignalBlocker block(cbShranjujMeritvePos);
    cbShranjujMeritvePos->setChecked(false);
}

void TMainForm::StopRecording(const QString& error) {
    // A failed write ends the recording: what was written stays in the
    // closed file, and the reading loop goes on.
    const QString path = ShraniFajl->fileName();
    ShraniFajl->close();
    ShraniFajl.reset();
    UntickRecordingBox();
    TUserMessages::ShowError(this, QStringLiteral("Error while writing recording file %1: %2")
                                       .arg(QDir::toNativeSeparators(path), error));
}
