// The main window: every control and the three timers of the reading
// session (interface search, encoder search, reading). It shows what the
// session reports and arms the timer of the state the session names; the
// session, the box protocol, the detection rule and the recording file are
// core's.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "app/Controls.h"
#include "core/ReadingSession.h"
#include "core/Recording.h"

class TPositionChart;

// The save-file dialog's settings and the name it remembers between uses.
// Execute runs the real dialog unless a test has replaced it.
struct TSaveDialog {
    QString FileName;
    QString Filter = QStringLiteral("PNG|*.png");
    bool OverwritePrompt = true;
    bool PathMustExist = true;
    bool HideReadOnly = true;
    bool EnableSizing = true;
    QString DefaultExt;
    QString InitialDir;
    QString Title;
    // Shows the dialog with FileName pre-filled; on OK stores the choice in
    // FileName and returns true.
    std::function<bool(TSaveDialog&)> Executor;
    bool Execute(QWidget* parent);
};

// The session's fields (K740_H, the counters, the zero, COMPorts,
// K740identifikacija) are the window's own, under their names.
class TMainForm : public QWidget, public TSessionFields, private TSessionObserver {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // The designed client area, 1068 x 652 pixels under any text scale. It
    // holds every control; the scroll area around it fills the window and
    // scrolls only when the screen is too small for the whole window.
    static constexpr QSize kClientSize{1068, 652};
    QScrollArea* ClientScroll = nullptr;
    QWidget* ClientArea = nullptr;

    // ---- controls, under their design names --------------------------------
    TLabel* Label10 = nullptr;
    TLabel* Label11 = nullptr;
    TPanel* pnl1Top = nullptr;
    TPanel* pnl2Mid = nullptr;
    TPanel* pnlPosition = nullptr;
    QTabWidget* Pages = nullptr;
    QLabel* Image1 = nullptr;
    TLabel* lbl1 = nullptr;
    TLabel* lblPosUnit = nullptr;
    TPanel* pnlCommActive = nullptr;
    QWidget* tabSysCfg = nullptr;
    QWidget* tabEncPos = nullptr;
    QWidget* tabEncStatus = nullptr;
    // System Config
    QPushButton* Button1 = nullptr;
    QCheckBox* cbLogComm = nullptr;
    TLabel* lbl2 = nullptr;
    QPlainTextEdit* mmLog = nullptr;
    QGroupBox* grpInterfaceInfo = nullptr;
    QGroupBox* grpEncClk = nullptr;
    QGroupBox* grpEncPower = nullptr;
    TRadioGroup* rgEncoderConfiguration = nullptr;
    TRadioGroup* rgEncoderResolution = nullptr;
    TLabel* lblComPort = nullptr;
    TLabel* lblInterfaceVer = nullptr;
    TLabel* lblInterfaceSerial = nullptr;
    TLabel* Label6 = nullptr;
    QComboBox* cmbFreqSPI = nullptr;
    TLabel* Label5 = nullptr;
    TSpinEdit* seEncoderReadInterval = nullptr;
    QRadioButton* rbPwr5v = nullptr;
    QRadioButton* rbPwr33v = nullptr;
    QRadioButton* rbPwrOff = nullptr;
    TLabel* lblEncPwrStatus = nullptr;
    // Position
    TLabel* lbl3 = nullptr;
    TLabel* lblEncPosRawHex = nullptr;
    TLabel* Label1 = nullptr;
    TLabel* lblEncPosRawBin = nullptr;
    TLabel* Label2 = nullptr;
    TLabel* lblEncPosRawDecoded = nullptr;
    QPushButton* btnZero = nullptr;
    TLabel* lblZeroPos = nullptr;
    TLabel* lblDataPacketOK = nullptr;
    TPanel* pnlDataPacketOK = nullptr;
    TLabel* lblCRC = nullptr;
    TLabel* Label7 = nullptr;
    TSpinEdit* seCasShranjevanja = nullptr;
    QCheckBox* cbShranjujMeritvePos = nullptr;
    QPlainTextEdit* mmShranjujIme = nullptr;
    TLabel* lblShraniElapsedTimeMs = nullptr;
    QCheckBox* cbPosPlot = nullptr;
    QPushButton* btnChartPosSave = nullptr;
    QPushButton* btnChartPosClear = nullptr;
    TPositionChart* chartPosition = nullptr;
    // Status
    TLabel* Label3 = nullptr;
    TLabel* lblEncDetStatBin = nullptr;
    QGroupBox* GroupBox5 = nullptr;
    TPanel* pnlSb0 = nullptr;
    TPanel* pnlSb1 = nullptr;
    TPanel* pnlSb2 = nullptr;
    TPanel* pnlSb3 = nullptr;
    TPanel* pnlSb4 = nullptr;
    TPanel* pnlSb5 = nullptr;
    TPanel* pnlSb6 = nullptr;
    TPanel* pnlSb7 = nullptr;
    // Non-visual
    TTimer* tmrSearchInterface = nullptr;
    TTimer* tmrSearchEncoder = nullptr;
    TTimer* tmrReadEncoder = nullptr;
    TSaveDialog SaveDialogSlika;

    // ---- handlers, one per control event ------------------------------------
    void FormCreate();
    void FormClose();
    void FormDestroy();
    void tmrSearchInterfaceTimer();
    void tmrSearchEncoderTimer();
    void tmrReadEncoderTimer();
    void cmbFreqSPIChange();
    void seEncoderReadIntervalChange();
    void rbPwr5vClick();
    void rbPwrOffClick();
    void Button1Click();
    void rgEncoderConfigurationClick();
    void btnZeroClick();
    void cbPosPlotClick();
    void btnChartPosSaveClick();
    void btnChartPosClearClick();
    void cbShranjujMeritvePosClick();

    // ---- state (private in spirit; open so tests can see it) ----------------
    // The session's fields are inherited from TSessionFields.
    std::uint32_t ChartTime = 0;
    std::unique_ptr<TRecordingFile> ShraniFajl;  // open while recording
    std::uint64_t ShraniStartTick = 0;
    std::int32_t K740RevizijaFW = 0;
    QByteArray K740verzija;
    QByteArray K740Serijska;
    // The three states over the window's port, fields and the module
    // globals; each timer's handler steps it.
    std::unique_ptr<TReadingSession> Session;

    // ---- what tests and the benchmark may replace -------------------------
    std::function<std::uint64_t()> Clock;  // ms, monotonic; the platform clock
    QString RecordingDir;                  // the executable's folder
    // Where recordings go when RecordingDir cannot be written: the user's
    // documents folder.
    std::function<QString()> DocumentsDir;
    std::function<QLocale()> UserLocale;  // the user's regional settings
    // Where the diagnostic lines go besides the log: standard error, so a
    // terminal or the session's journal shows what the window says.
    std::function<void(const QString&)> LogEcho;

    // The shared logic, called by several handlers.
    void UpdateCaption();
    // The supply status, asked of the box only while System Config shows it.
    void RefreshPowerStatus();
    // Plot and record one good reading.
    void ChartStep(TColor positionColor);
    void RecordingStep(const QString& rx);

    // The diagnostic log keeps its newest lines up to this many and drops the
    // oldest: with the traffic log on it gets a line per reading, hundreds a
    // second, for a whole shift. 10000 lines take about 10 MB and hold the
    // last 12 minutes of traffic at the default interval.
    static constexpr int LogLineLimit = 10000;
    // Every line of the diagnostic log comes through LogLine. Traffic lines
    // are the per-reading command and reply lines of "Log Comm"; they reach
    // mmLog within a frame, together (FlushLog), any other line at once and
    // after them.
    enum class TLogKind { Diagnostic, Traffic };
    enum class TLogScroll { PageDown, Stay };
    void LogLine(const QString& line, TLogScroll scroll = TLogScroll::PageDown,
                 TLogKind kind = TLogKind::Diagnostic);
    void ScrollLogPageDown();
    // Puts the traffic lines that wait into mmLog now.
    void FlushLog();

    // Runs a timer's handler as the timer delivers it: a run-time error that
    // escapes is reported once, and when the handler left no state armed its
    // own timer is armed again so the state machine goes on.
    void RunTimerHandler(TTimer* timer, void (TMainForm::*handler)());

    // The window at its designed size where the screen's available area
    // holds it, else as large as that area, scrolling its client area.
    void FitToScreen();

protected:
    void closeEvent(QCloseEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void moveEvent(QMoveEvent* e) override;

private:
    void CreateControls();  // the layout, in TQ55_SPI_Main_layout.cpp
    void FollowScreen();    // refits when the screen or its free area changes
    QMetaObject::Connection screenArea_;
    void ConnectEvents();
    // Runs a handler; a run-time error that escapes it is reported once in
    // the error box and `recover` puts the state machine back on its feet.
    void Guard(const std::function<void()>& handler, const std::function<void()>& recover = {});
    // How the protocol's messages and log lines reach this window.
    TBoxReport Report();
    // The status text's blink: `text` when the label is empty, else empty.
    void BlinkStatus(const QString& text);
    // Enables the timer of the state the session named.
    void ArmTimerFor(TSessionState state);
    // The hourglass of the start goes once the first scan has ended.
    void EndWaitCursor();
    void ShowStatusBits(const TGoodReading& reading);
    void StartRecording();
    void StopRecording();
    void EndRecordingAfterFailedWrite(const TRecordingResult& failure);
    void ReportRecordingFailure(const TRecordingResult& failure);
    void UntickRecordingBox();
    QLocale Locale() const;

    // What the session reports, shown as it happens.
    void SearchingInterface() override;
    void PortOpened() override;
    void PortAccessProblem(const QString& line) override;
    void InterfaceFound(int port) override;
    void InterfaceIdentified(const TBoxIdentity& identity) override;
    void SetupMessage(const QString& text) override;
    void SetupLog(const QString& line) override;
    void SettingsChecked() override;
    void SupplyStatusDue() override;
    void InterfaceReady() override;
    void SearchingEncoder() override;
    void ConfigurationCleared() override;
    void EncoderFound(TDetection found) override;
    void FrameRead(const TFrameRead& read) override;
    void GoodReading(const TGoodReading& reading) override;
    void InterfaceLost() override;
    void EncoderLost() override;
    // Traffic lines not yet in mmLog, each with its scroll, and the frame
    // that takes them there.
    struct TPendingLine {
        QString Line;
        TLogScroll Scroll;
    };
    std::vector<TPendingLine> pendingTraffic_;
    QTimer trafficDue_;
};
