#include "app/TQ55_SPI_Main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QScrollBar>
#include <QStandardPaths>
#include <cstdio>
#include <exception>
#include <utility>

#include "app/OrodjaChart.h"
#include "app/PaintPacer.h"
#include "app/PositionChart.h"
#include "app/UserMessages.h"
#include "core/Enkoderji_splosno.h"
#include "core/Formatting.h"
#include "core/Orodja.h"
#include "core/Serial_driver.h"
#include "platform/Clock.h"

namespace {

QString latin1(const QByteArray& b) {
    return QString::fromLatin1(b);
}

const char* const kVersionText = "" QT_STRINGIFY(K740_VERSION_MAJOR) "." QT_STRINGIFY(
    K740_VERSION_MINOR) "." QT_STRINGIFY(K740_VERSION_PATCH) "." QT_STRINGIFY(K740_VERSION_TWEAK);

bool g_waitCursor = false;

// How long traffic lines wait to go into the log together: a screen's frame.
constexpr int kLogFrameMs = 16;

}  // namespace

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
    DocumentsDir = [] {
        return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    };
    UserLocale = [] { return QLocale(); };
    // Flushed line by line: Windows' C runtime buffers standard error when it
    // is a file (a "2> log.txt" of the command prompt), which would hold the
    // log back until the program ends.
    LogEcho = [](const QString& line) {
        std::fputs((line.toUtf8() + '\n').constData(), stderr);
        std::fflush(stderr);
    };
    CreateControls();
    new TPaintPacer(this);  // owned by the window
    Session = std::make_unique<TReadingSession>(
        *this, TEncoderRecords{EncoderPosition, EncoderSignature, DetailedStatus});
    Session->SetResolutionIndex(rgEncoderResolution->ItemIndex());
    Session->AddObserver(this);
    trafficDue_.setSingleShot(true);
    trafficDue_.setInterval(kLogFrameMs);
    connect(&trafficDue_, &QTimer::timeout, this, [this] { Guard([this] { FlushLog(); }); });
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

void TMainForm::RunTimerHandler(TTimer* timer, void (TMainForm::*handler)()) {
    Guard([this, handler] { (this->*handler)(); },
          [this, timer] {
              if (!tmrSearchInterface->Enabled() && !tmrSearchEncoder->Enabled() &&
                  !tmrReadEncoder->Enabled())
                  timer->SetEnabled(true);
          });
}

void TMainForm::ConnectEvents() {
    const std::pair<TTimer*, void (TMainForm::*)()> timers[] = {
        {tmrSearchInterface, &TMainForm::tmrSearchInterfaceTimer},
        {tmrSearchEncoder, &TMainForm::tmrSearchEncoderTimer},
        {tmrReadEncoder, &TMainForm::tmrReadEncoderTimer},
    };
    for (const auto& [timer, handler] : timers)
        connect(timer, &TTimer::Timer, this,
                [this, timer = timer, handler = handler] { RunTimerHandler(timer, handler); });
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
    K740_H.Close();
    K740Serijska.clear();
    EncoderSignature.Multiturn = false;
    EncoderSignature.SerialNumber.clear();
    EncoderSignature.PartNumber.clear();
    COMPorts.Clear();
    lblPosUnit->SetCaption(QString());
    EncoderZeroPos_cnt = 0;
    Pages->setCurrentWidget(tabSysCfg);
    Pages->setTabVisible(Pages->indexOf(tabEncStatus), false);
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
        ShraniFajl->Close();
        ShraniFajl.reset();
    }
}

void TMainForm::FormDestroy() {
    COMPorts.Clear();
    K740_H.Close();
    ShraniFajl.reset();
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
    FlushLog();
    mmLog->verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
}

void TMainForm::LogLine(const QString& line, TLogScroll scroll, TLogKind kind) {
    if (kind == TLogKind::Traffic) {
        // Traffic comes once per reading, up to a thousand a second, and one
        // line costs the log more than the rest of a reading: it waits for the
        // next frame, away from the reading loop, and goes in with the others
        // that came meanwhile. It stays in the window, where the user switched
        // it on.
        pendingTraffic_.push_back({line, scroll});
        if (!trafficDue_.isActive()) trafficDue_.start();
        return;
    }
    FlushLog();
    mmLog->appendPlainText(line);
    if (scroll == TLogScroll::PageDown)
        mmLog->verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
    if (LogEcho) {
        QString one = line;
        one.replace(u'\r', u' ').replace(u'\n', u' ');
        LogEcho(one);
    }
}

TBoxReport TMainForm::Report() {
    return {[this](const QString& text) { TUserMessages::ShowMessage(this, text); },
            [this](const QString& line) { LogLine(line, TLogScroll::Stay); }};
}

void TMainForm::BlinkStatus(const QString& text) {
    lblPosUnit->SetCaption(lblPosUnit->Caption().isEmpty() ? text : QString());
    lblPosUnit->RepaintNow();
}

void TMainForm::ArmTimerFor(TSessionState state) {
    switch (state) {
        case TSessionState::SearchInterface:
            tmrSearchInterface->SetEnabled(true);
            break;
        case TSessionState::SearchEncoder:
            tmrSearchEncoder->SetEnabled(true);
            break;
        case TSessionState::Reading:
            tmrReadEncoder->SetEnabled(true);
            break;
    }
}

void TMainForm::EndWaitCursor() {
    if (!g_waitCursor) return;
    QApplication::restoreOverrideCursor();
    g_waitCursor = false;
}

void TMainForm::FlushLog() {
    trafficDue_.stop();
    if (pendingTraffic_.empty()) return;
    // One append for them all is several times cheaper than one a line. The
    // page-downs follow, one for each line that asks for one: at most a page
    // a line, and never past the end, they leave the reader where one after
    // each line would have.
    QStringList lines;
    int pageDowns = 0;
    for (const TPendingLine& p : pendingTraffic_) {
        lines << p.Line;
        if (p.Scroll == TLogScroll::PageDown) ++pageDowns;
    }
    pendingTraffic_.clear();
    mmLog->appendPlainText(lines.join(u'\n'));
    QScrollBar* bar = mmLog->verticalScrollBar();
    for (int i = 0; i < pageDowns; ++i) bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
}

void TMainForm::Button1Click() {
    // Lines still on their way belong to the log being cleared.
    pendingTraffic_.clear();
    trafficDue_.stop();
    mmLog->clear();
}

// ------------------------------------------------------------ the three timers

void TMainForm::tmrSearchInterfaceTimer() {
    tmrSearchInterface->SetEnabled(false);
    tmrSearchEncoder->SetEnabled(false);
    const TSessionStep next = Session->Step(TSessionState::SearchInterface);
    EndWaitCursor();  // whether or not a box was found
    ArmTimerFor(next.Next);
}

void TMainForm::tmrSearchEncoderTimer() {
    tmrSearchInterface->SetEnabled(false);
    tmrSearchEncoder->SetEnabled(false);
    ArmTimerFor(Session->Step(TSessionState::SearchEncoder).Next);
}

void TMainForm::tmrReadEncoderTimer() {
    tmrReadEncoder->SetEnabled(false);
    const TSessionStep next = Session->Step(TSessionState::Reading);
    ArmTimerFor(next.Next);
    if (next.SupplyStatusDue) RefreshPowerStatus();
}

// ------------------------------------------------------------ interface search

void TMainForm::SearchingInterface() {
    pnlPosition->SetColor(clBtnFace);
    lblComPort->SetCaption(QString());
    lblInterfaceVer->SetCaption(QString());
    lblInterfaceSerial->SetCaption(QString());
    lblPosUnit->SetFontColor(clOrange);
    BlinkStatus(QStringLiteral("Searching for interface..."));
}

void TMainForm::PortOpened() {
    QCoreApplication::processEvents();
}

void TMainForm::PortAccessProblem(const QString& line) {
    LogLine(line);
}

void TMainForm::InterfaceFound(int port) {
    LogLine(InterfaceFoundLine(port));
    EndWaitCursor();
    lblComPort->SetCaption(QStringLiteral("COM") + QString::number(port));
}

// ------------------------------------------------------------ set-up and settings

void TMainForm::InterfaceIdentified(const TBoxIdentity& identity) {
    K740RevizijaFW = identity.RevisionFW;
    lblInterfaceVer->SetCaption(
        latin1(K740identifikacija + "." + QByteArray::number(K740RevizijaFW)));
    K740verzija = identity.Version;
    K740Serijska = identity.Serial;
    lblInterfaceSerial->SetCaption(QStringLiteral("Serial: ") + latin1(K740Serijska));
    UpdateCaption();
}

void TMainForm::SetupMessage(const QString& text) {
    TUserMessages::ShowMessage(this, text);
}

void TMainForm::SetupLog(const QString& line) {
    LogLine(line, TLogScroll::Stay);
}

void TMainForm::SettingsChecked() {
    ScrollLogPageDown();
    cmbFreqSPI->setCurrentIndex(kSetupSpiClock - 1);  // the clock the set-up sets next
}

void TMainForm::SupplyStatusDue() {
    RefreshPowerStatus();
}

void TMainForm::InterfaceReady() {
    lblPosUnit->SetCaption(QStringLiteral("Searching for encoder..."));
    lblPosUnit->SetFontColor(clDarkGreen);
    lblPosUnit->RepaintNow();
}

void TMainForm::cmbFreqSPIChange() {
    SetSpiClock(K740_H.Get(), cmbFreqSPI->currentIndex() + 1, Report());
}

void TMainForm::rbPwr5vClick() {
    SwitchSupplyOn5V(K740_H.Get(), Report());
}

void TMainForm::rbPwrOffClick() {
    SwitchSupplyOff(K740_H.Get(), Report());
}

void TMainForm::RefreshPowerStatus() {
    if (Pages->currentWidget() != tabSysCfg) return;
    lblEncPwrStatus->SetCaption(QuerySupplyStatus(K740_H.Get()));
}

// ------------------------------------------------------------ encoder search

void TMainForm::SearchingEncoder() {
    lblPosUnit->SetFontColor(clDarkGreen);
    pnlPosition->SetColor(clBtnFace);
    BlinkStatus(QStringLiteral("Searching for encoder..."));
}

void TMainForm::ConfigurationCleared() {
    rgEncoderConfiguration->SetItemIndex(-1);
}

void TMainForm::EncoderFound(TDetection found) {
    rgEncoderConfiguration->SetItemIndex(static_cast<int>(DetectedConfig(found)));
    LogLine(QString::fromLatin1(kEncoderFoundLine), TLogScroll::Stay);
    LogLine(VariantLogLine(found));
    lblPosUnit->SetFontColor(clNavy);
    lblPosUnit->SetCaption(QString::fromLatin1(kEncoderFoundLine));
    UpdateCaption();
    Pages->setTabVisible(Pages->indexOf(tabEncStatus), found == TDetection::Advanced);
}

void TMainForm::rgEncoderConfigurationClick() {
    const int c = rgEncoderConfiguration->ItemIndex();
    const int r = rgEncoderResolution->ItemIndex();
    EncoderSignature.PartNumber =
        ComposePartNumber(c >= 0 ? rgEncoderConfiguration->Items().at(c) : QString(),
                          r >= 0 ? rgEncoderResolution->Items().at(r) : QString());
}

// ------------------------------------------------------------ encoder reading

void TMainForm::FrameRead(const TFrameRead& read) {
    // The activity lamp changes with every read, whatever came of it.
    pnlCommActive->SetColor(pnlCommActive->Color() == clLightGreen ? clDarkGreen : clLightGreen);
    if (read.ErrComm == TR_OK) {
        lblEncPosRawHex->SetCaption(read.Reply);
        if (read.Refused)
            LogLine(QString::fromLatin1(kReplyRefusedLine));
        else
            lblCRC->SetCaption(read.CrcCaption);
        lblEncPosRawBin->SetCaption(read.Position.RxBinDebug);
        lblEncPosRawDecoded->SetCaption(QString::number(read.Position.Position_cnt));
        if (cbLogComm->isChecked())
            LogLine(QStringLiteral("CMD:\t") + latin1(read.Command) + "\tRX:\t" + read.Reply,
                    TLogScroll::PageDown, TLogKind::Traffic);
    }
    if (read.Reading && !read.Refused)
        lblDataPacketOK->SetCaption(read.Advanced ? QStringLiteral("CRC check")
                                                  : QStringLiteral("Reserved bits"));
}

// ------------------------------------------------------------ reading loop

void TMainForm::InterfaceLost() {
    lblPosUnit->SetCaption(QString::fromLatin1(kInterfaceLostLine));
    LogLine(QString::fromLatin1(kInterfaceLostLine));
    Pages->setCurrentWidget(tabSysCfg);
    Pages->setTabVisible(Pages->indexOf(tabEncStatus), false);
}

void TMainForm::EncoderLost() {
    pnlDataPacketOK->SetColor(clRed);
    lblPosUnit->SetCaption(QString::fromLatin1(kEncoderLostLine));
    lblPosUnit->RepaintNow();
    LogLine(QString::fromLatin1(kEncoderLostLine));
}

void TMainForm::GoodReading(const TGoodReading& reading) {
    pnlDataPacketOK->SetColor(clDarkGreen);
    lblPosUnit->SetCaption(FormatPositionMm(reading.Position.Position_unit, Locale()) + " mm");
    const TColor positionColor = reading.Position.ErrBit    ? clLightRed
                                 : reading.Position.WarnBit ? clOrange
                                                            : clBtnFace;
    pnlPosition->SetColor(positionColor);
    if (cbPosPlot->isChecked()) ChartStep(positionColor);
    if (reading.Advanced) ShowStatusBits(reading);
    if (cbShranjujMeritvePos->isChecked()) RecordingStep(reading.Reply);
}

void TMainForm::ShowStatusBits(const TGoodReading& reading) {
    lblEncDetStatBin->SetCaption(QString::fromLatin1(IntToBinStr(8, reading.Status)));
    TPanel* const panels[8] = {pnlSb0, pnlSb1, pnlSb2, pnlSb3, pnlSb4, pnlSb5, pnlSb6, pnlSb7};
    for (int bit = 7; bit >= 0; --bit) {
        const bool set = (reading.LatchedStatus >> bit) & 1u;
        panels[bit]->SetColor(set ? (bit == 4 ? clOrange : clRed) : clGray);
    }
}

void TMainForm::btnZeroClick() {
    EncoderZeroPos_cnt = ZeroAfterZeroing(EncoderPosition, EncoderZeroPos_cnt);
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
                            QString(), pointColor);
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
    if (cbShranjujMeritvePos->isChecked())
        StartRecording();
    else
        StopRecording();
}

void TMainForm::StartRecording() {
    const bool wasReading = tmrReadEncoder->Enabled();
    tmrReadEncoder->SetEnabled(false);
    const TRecordingFolder folder =
        ChooseRecordingFolder(RecordingDir, DocumentsDir ? DocumentsDir() : QString());
    const QString path = RecordingPath(folder.Path, EncoderSignature.PartNumber,
                                       EncoderSignature.SerialNumber, QDateTime::currentDateTime());
    mmShranjujIme->setPlainText(QDir::toNativeSeparators(path));
    TRecordingResult result = folder.Result;
    if (result.Ok()) ShraniFajl = TRecordingFile::Start(path, result);
    if (!ShraniFajl) {
        UntickRecordingBox();
        tmrReadEncoder->SetEnabled(wasReading);
        ReportRecordingFailure(result);
        return;
    }
    // The log names the folder in every case: the user must find the file.
    LogLine(folder.Fallback && !folder.Installed
                ? QStringLiteral("The program's folder %1 cannot be written; recording to %2")
                      .arg(QDir::toNativeSeparators(RecordingDir), QDir::toNativeSeparators(path))
                : QStringLiteral("Recording to %1").arg(QDir::toNativeSeparators(path)));
    ShraniStartTick = Clock();
    tmrReadEncoder->SetEnabled(true);
}

void TMainForm::StopRecording() {
    // Unticking with no file open (after a failed start or a failed write) is
    // no error: there is nothing to close.
    if (!ShraniFajl) return;
    const TRecordingResult closed = ShraniFajl->Close();
    ShraniFajl.reset();
    lblShraniElapsedTimeMs->SetCaption(lblShraniElapsedTimeMs->Caption() + "  FINISHED.");
    if (!closed.Ok()) ReportRecordingFailure(closed);
}

void TMainForm::RecordingStep(const QString& rx) {
    if (!ShraniFajl) return;
    const QLocale locale = Locale();
    const std::uint64_t elapsed = Clock() - ShraniStartTick;
    lblShraniElapsedTimeMs->SetCaption(FormatElapsedSeconds(elapsed, locale) + " seconds");
    const TRecordingResult written =
        ShraniFajl->Write(RecordingLine(elapsed, rx, EncoderPosition, locale));
    if (!written.Ok()) {
        EndRecordingAfterFailedWrite(written);
        return;
    }
    if (RecordingTimeUp(elapsed, seCasShranjevanja->Value()))
        cbShranjujMeritvePos->setChecked(false);  // stops the recording at once
}

void TMainForm::EndRecordingAfterFailedWrite(const TRecordingResult& failure) {
    // What was written stays in the closed file, and the reading loop goes on.
    ShraniFajl->Close();
    ShraniFajl.reset();
    UntickRecordingBox();
    ReportRecordingFailure(failure);
}

void TMainForm::ReportRecordingFailure(const TRecordingResult& failure) {
    QString text;
    switch (failure.Failure) {
        case TRecordingFailure::FolderFailed:
            text = QStringLiteral("Cannot create recording folder %1: %2");
            break;
        case TRecordingFailure::StartFailed:
            text = QStringLiteral("Cannot create recording file %1: %2");
            break;
        case TRecordingFailure::WriteFailed:
            text = QStringLiteral("Error while writing recording file %1: %2");
            break;
        case TRecordingFailure::CloseFailed:
            text = QStringLiteral("Error while closing recording file %1: %2");
            break;
        case TRecordingFailure::None:
        case TRecordingFailure::ReaderGone:  // standard output: never the window's
            return;
    }
    TUserMessages::ShowError(this,
                             text.arg(QDir::toNativeSeparators(failure.Path), failure.Reason));
}

void TMainForm::UntickRecordingBox() {
    // Back to unticked without running the box's handler: there is no file
    // left for it to close.
    const QSignalBlocker block(cbShranjujMeritvePos);
    cbShranjujMeritvePos->setChecked(false);
}
