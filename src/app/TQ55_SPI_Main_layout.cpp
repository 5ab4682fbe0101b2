// The main window's fixed layout: every control at its designed place, with
// its designed texts, fonts, colours and initial values. Event wiring lives
// with the handlers in TQ55_SPI_Main.cpp.
#include <QGuiApplication>
#include <QIcon>
#include <QPalette>
#include <QPixmap>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QTabBar>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>

#include "app/PositionChart.h"
#include "app/ScreenFit.h"
#include "app/TQ55_SPI_Main.h"

// Outside any namespace: the resource initialiser is a global function, and
// the resources sit in a static library the linker would otherwise drop.
static void InitLayoutResources() {
    Q_INIT_RESOURCE(resources);
}

namespace {

// The web address behind the logo; the logo opens nothing, it only tells.
const char* const kMakerAddress = "https://www.quorvane.example";

// Every style bit is set explicitly, so a control never inherits bold or
// italic from the parent it happens to sit on (the tab captions are bold).
QFont Face(const char* family, int pixelHeight, bool bold = false, bool italic = false) {
    QFont f(QString::fromLatin1(family));
    f.setPixelSize(pixelHeight);
    f.setBold(bold);
    f.setItalic(italic);
    return f;
}

template <class W>
W* Place(W* w, const char* name, int left, int top, int width, int height) {
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(left, top, width, height);
    return w;
}

// A label that sizes itself to its text.
TLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, int left, int top,
                  int width, int height, const QFont* font = nullptr) {
    auto* l = Place(new TLabel(parent, caption), name, left, top, width, height);
    if (font) l->setFont(*font);
    // Its width is that of its text in the face actually used, as it will be
    // after every later change of its caption.
    l->resize(l->sizeHint().width(), height);
    return l;
}

// A label of fixed size: the text is aligned within the designed box.
TLabel* MakeFixedLabel(QWidget* parent, const char* name, const QString& caption, int left, int top,
                       int width, int height, Qt::Alignment align, const QFont* font = nullptr) {
    auto* l =
        Place(new TLabel(parent, caption, /*autoSize*/ false), name, left, top, width, height);
    if (font) l->setFont(*font);
    l->setAlignment(align);
    return l;
}

TPanel* MakePanel(QWidget* parent, const char* name, int left, int top, int width, int height,
                  TColor color, TPanel::Bevel bevel, const QString& caption = {}) {
    return Place(new TPanel(parent, color, bevel, caption), name, left, top, width, height);
}

QWidget* MakePage(QTabWidget* pages, const char* name, const QString& caption, const QFont& font) {
    auto* page = new QWidget;
    page->setObjectName(QString::fromLatin1(name));
    page->setFont(font);
    pages->addTab(page, caption);
    return page;
}

// Keyboard order: each widget follows the one before it.
void ChainTabOrder(std::initializer_list<QWidget*> order) {
    QWidget* previous = nullptr;
    for (QWidget* w : order) {
        if (previous) QWidget::setTabOrder(previous, w);
        previous = w;
    }
}

}  // namespace

void TMainForm::CreateControls() {
    InitLayoutResources();

    // ---- the window ----------------------------------------------------------
    setObjectName(QStringLiteral("MainForm"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(kClientSize);
    setWindowTitle(QStringLiteral("Quorvane® for K740-3T and TQ55 SPI encoders"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/icon32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/icon16.png"), QSize(16, 16));
    setWindowIcon(icon);
    setFont(Face("MS Sans Serif", 10));
    {
        QPalette p = palette();
        p.setColor(QPalette::Window, Qt::white);
        setPalette(p);
        setAutoFillBackground(true);
    }
    // The designed client area, in a scroll area that shows all of it and
    // scrolls only on a screen too small for the window (FitToScreen).
    ClientScroll = new QScrollArea(this);
    ClientScroll->setObjectName(QStringLiteral("ClientScroll"));
    ClientScroll->setFrameShape(QFrame::NoFrame);
    ClientScroll->setWidgetResizable(false);
    ClientArea = new QWidget;
    ClientArea->setObjectName(QStringLiteral("ClientArea"));
    ClientArea->setFixedSize(kClientSize);
    ClientArea->setAutoFillBackground(true);
    ClientScroll->setWidget(ClientArea);
    auto* fill = new QVBoxLayout(this);
    fill->setContentsMargins(0, 0, 0, 0);
    fill->addWidget(ClientScroll);
    QWidget* const client = ClientArea;

    const QFont arial13 = Face("Arial", 13);
    const QFont tahoma13 = Face("Tahoma", 13);
    const QFont consolas13 = Face("Consolas", 13);

    // ---- window children, back to front -----------------------------------------
    // These two lie under the header and the position panel and never show;
    // they are created first so everything else covers them.
    Label10 = MakeLabel(client, "Label10", QStringLiteral("Encoder temperature"), 264, 48, 99, 13);
    Label11 = MakeLabel(client, "Label11", QStringLiteral("..."), 264, 75, 21, 15, &consolas13);
    Label10->lower();
    Label11->lower();

    pnl1Top = MakePanel(client, "pnl1Top", 0, 0, 1068, 63, clWhite, TPanel::Bevel::None);
    pnl2Mid = MakePanel(client, "pnl2Mid", 0, 63, 1068, 8, 0x4080FF, TPanel::Bevel::None);
    pnlPosition =
        MakePanel(client, "pnlPosition", 8, 76, 1052, 49, clBtnFace, TPanel::Bevel::Lowered);

    Pages = Place(new QTabWidget(client), "Pages", 8, 131, 1052, 513);
    Pages->setTabPosition(QTabWidget::North);
    Pages->tabBar()->setFont(Face("Arial Narrow", 16, true));

    // ---- header panel -------------------------------------------------------------
    Image1 = Place(new QLabel(pnl1Top), "Image1", 927, 14, 126, 31);
    Image1->setTextFormat(Qt::PlainText);
    Image1->setPixmap(QPixmap(QStringLiteral(":/logo.png")));
    Image1->setScaledContents(true);
    Image1->setCursor(Qt::PointingHandCursor);
    Image1->setToolTip(QStringLiteral("Double click to visit ") +
                       QString::fromLatin1(kMakerAddress));

    const QFont titleFont = Face("Arial", 21, true, true);
    lbl1 =
        MakeLabel(pnl1Top, "lbl1", QStringLiteral("Quorvane Encoder diagnostics tool - TQ55 SPI "),
                  50, 20, 481, 24, &titleFont);
    lbl1->SetFontColor(clNavy);

    // ---- position panel -----------------------------------------------------------
    const QFont posFont = Face("Tahoma", 29, true);
    lblPosUnit = MakeFixedLabel(pnlPosition, "lblPosUnit", QStringLiteral("Position in units"), 20,
                                6, 941, 38, Qt::AlignHCenter | Qt::AlignTop, &posFont);
    lblPosUnit->SetFontColor(clNavy);
    pnlCommActive =
        MakePanel(pnlPosition, "pnlCommActive", 1033, 18, 12, 12, 0x004400, TPanel::Bevel::Lowered);

    // ---- pages ----------------------------------------------------------------------
    tabSysCfg = MakePage(Pages, "tabSysCfg", QStringLiteral("  System Config  "), arial13);
    tabEncPos = MakePage(Pages, "tabEncPos", QStringLiteral("  Position  "), arial13);
    tabEncStatus = MakePage(Pages, "tabEncStatus", QStringLiteral("  Status  "), arial13);

    // ---- page "System Config" -----------------------------------------------------
    Button1 =
        Place(new QPushButton(QStringLiteral("Clear log"), tabSysCfg), "Button1", 952, 10, 89, 22);
    cbLogComm =
        Place(new QCheckBox(QStringLiteral("Log Comm"), tabSysCfg), "cbLogComm", 832, 15, 97, 17);
    lbl2 = MakeLabel(tabSysCfg, "lbl2", QStringLiteral("Diagnostic log"), 600, 16, 82, 16);
    mmLog = Place(new QPlainTextEdit(tabSysCfg), "mmLog", 600, 38, 441, 443);
    mmLog->setFont(Face("Arial Narrow", 11));
    mmLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mmLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    mmLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // Also ends the undo history, which would keep every line ever logged.
    mmLog->setMaximumBlockCount(LogLineLimit);
    // The log takes typing, but Tab moves on, as it does from any memo of the
    // page: a keyboard user must be able to leave it.
    mmLog->setTabChangesFocus(true);

    grpInterfaceInfo = Place(new QGroupBox(QStringLiteral(" Interface info "), tabSysCfg),
                             "grpInterfaceInfo", 16, 23, 217, 106);
    grpEncClk = Place(new QGroupBox(QStringLiteral(" Encoder frequency"), tabSysCfg), "grpEncClk",
                      16, 148, 217, 149);
    grpEncPower = Place(new QGroupBox(QStringLiteral(" Encoder power supply"), tabSysCfg),
                        "grpEncPower", 16, 328, 217, 129);

    rgEncoderConfiguration =
        Place(new TRadioGroup(tabSysCfg, QStringLiteral(" Encoder configuration "),
                              EncoderConfigurationItems()),
              "rgEncoderConfiguration", 288, 148, 273, 149);
    rgEncoderConfiguration->setEnabled(false);  // only the detection selects it
    rgEncoderResolution = Place(new TRadioGroup(tabSysCfg, QStringLiteral(" Encoder resolution "),
                                                EncoderResolutionItems()),
                                "rgEncoderResolution", 288, 328, 273, 89);
    rgEncoderResolution->SetItemIndex(0);  // before the events are wired: raises nothing
    rgEncoderResolution->setEnabled(false);

    lblComPort = MakeLabel(grpInterfaceInfo, "lblComPort", QStringLiteral("Com Port"), 19, 25, 53,
                           16, &tahoma13);
    lblInterfaceVer = MakeLabel(grpInterfaceInfo, "lblInterfaceVer", QStringLiteral("Version"), 19,
                                49, 43, 16, &tahoma13);
    lblInterfaceSerial = MakeLabel(grpInterfaceInfo, "lblInterfaceSerial",
                                   QStringLiteral("Serial number"), 19, 74, 81, 16, &tahoma13);

    Label6 = MakeLabel(grpEncClk, "Label6", QStringLiteral("SPI CLK frequency"), 19, 24, 110, 16);
    cmbFreqSPI = Place(new QComboBox(grpEncClk), "cmbFreqSPI", 19, 45, 182, 24);
    cmbFreqSPI->setEditable(false);
    cmbFreqSPI->addItems({QStringLiteral("1 = 94 kHz"), QStringLiteral("2 = 188 kHz"),
                          QStringLiteral("3 = 375 kHz"), QStringLiteral("4 = 750 kHz"),
                          QStringLiteral("5 = 1.5 MHz"), QStringLiteral("6 =  3 MHz"),
                          QStringLiteral("7 =  6 MHz"), QStringLiteral("8 = 12 MHz")});
    cmbFreqSPI->setMaxVisibleItems(8);
    cmbFreqSPI->setCurrentIndex(5);
    Label5 = MakeLabel(grpEncClk, "Label5", QStringLiteral("Delay between readings (ms)"), 19, 84,
                       168, 16);
    seEncoderReadInterval = Place(new TSpinEdit(grpEncClk, 70, 1, 10000, 10),
                                  "seEncoderReadInterval", 19, 106, 182, 26);

    rbPwr5v =
        Place(new QRadioButton(QStringLiteral("5 V"), grpEncPower), "rbPwr5v", 19, 32, 41, 17);
    rbPwr5v->setChecked(true);
    rbPwr33v =
        Place(new QRadioButton(QStringLiteral("3.3 V"), grpEncPower), "rbPwr33v", 73, 32, 55, 17);
    rbPwr33v->setEnabled(false);  // the box cannot supply 3.3 V
    rbPwrOff =
        Place(new QRadioButton(QStringLiteral("OFF"), grpEncPower), "rbPwrOff", 144, 32, 52, 17);
    lblEncPwrStatus = MakeLabel(grpEncPower, "lblEncPwrStatus",
                                QStringLiteral("Encoder supply status"), 19, 72, 130, 16);

    // Group boxes take no focus in Qt: their focusable contents stand in.
    ChainTabOrder({mmLog, cmbFreqSPI, seEncoderReadInterval, rbPwr33v, rbPwrOff, rbPwr5v, Button1,
                   rgEncoderConfiguration->Button(0), rgEncoderConfiguration->Button(1),
                   rgEncoderConfiguration->Button(2), rgEncoderConfiguration->Button(3),
                   rgEncoderResolution->Button(0), rgEncoderResolution->Button(1), cbLogComm});

    // ---- page "Position" ----------------------------------------------------------
    lbl3 = MakeLabel(tabEncPos, "lbl3", QStringLiteral("Encoder raw data (hex)"), 16, 32, 134, 16);
    lblEncPosRawHex =
        MakeLabel(tabEncPos, "lblEncPosRawHex", QStringLiteral("..."), 16, 59, 21, 15, &consolas13);
    Label1 =
        MakeLabel(tabEncPos, "Label1", QStringLiteral("Encoder raw data (bin)"), 16, 86, 130, 16);
    lblEncPosRawBin = MakeLabel(tabEncPos, "lblEncPosRawBin", QStringLiteral("..."), 16, 112, 21,
                                15, &consolas13);
    Label2 = MakeLabel(tabEncPos, "Label2", QStringLiteral("Encoder decoded postion data"), 16, 139,
                       176, 16);
    lblEncPosRawDecoded = MakeLabel(tabEncPos, "lblEncPosRawDecoded", QStringLiteral("..."), 16,
                                    166, 21, 15, &consolas13);
    btnZero =
        Place(new QPushButton(QStringLiteral("Zero"), tabEncPos), "btnZero", 376, 183, 75, 35);
    btnZero->setToolTip(
        QStringLiteral("Set current position as zero. This is not stored in the encoder."));
    lblZeroPos = MakeFixedLabel(tabEncPos, "lblZeroPos", QStringLiteral("0"), 368, 224, 97, 16,
                                Qt::AlignHCenter | Qt::AlignTop);
    lblDataPacketOK =
        MakeLabel(tabEncPos, "lblDataPacketOK", QStringLiteral("Data validation"), 16, 243, 84, 16);
    pnlDataPacketOK = MakePanel(tabEncPos, "pnlDataPacketOK", 16, 265, 73, 25, clBtnFace,
                                TPanel::Bevel::RaisedInnerLoweredOuter, QStringLiteral("VALID"));
    lblCRC =
        MakeLabel(tabEncPos, "lblCRC", QStringLiteral("CRC: ..."), 16, 296, 56, 15, &consolas13);
    Label7 =
        MakeLabel(tabEncPos, "Label7", QStringLiteral("Recording duration (sec) \n(0 = no limit)"),
                  262, 341, 145, 32);
    seCasShranjevanja =
        Place(new TSpinEdit(tabEncPos, 20, 0, 10000, 1), "seCasShranjevanja", 413, 347, 76, 26);
    cbShranjujMeritvePos =
        Place(new QCheckBox(QStringLiteral("Record position to file"), tabEncPos),
              "cbShranjujMeritvePos", 16, 356, 207, 17);
    mmShranjujIme = Place(new QPlainTextEdit(tabEncPos), "mmShranjujIme", 16, 379, 473, 70);
    mmShranjujIme->setReadOnly(true);
    mmShranjujIme->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    mmShranjujIme->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    mmShranjujIme->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    lblShraniElapsedTimeMs =
        MakeFixedLabel(tabEncPos, "lblShraniElapsedTimeMs", QStringLiteral("Elapsed Time"), 16, 455,
                       321, 15, Qt::AlignLeft | Qt::AlignTop);
    cbPosPlot = Place(new QCheckBox(QStringLiteral("Plot position over time"), tabEncPos),
                      "cbPosPlot", 544, 73, 169, 17);
    btnChartPosSave = Place(new QPushButton(QStringLiteral("Save chart"), tabEncPos),
                            "btnChartPosSave", 885, 69, 75, 25);
    btnChartPosClear = Place(new QPushButton(QStringLiteral("Clear chart"), tabEncPos),
                             "btnChartPosClear", 966, 69, 75, 25);
    chartPosition = Place(new TPositionChart(tabEncPos), "chartPosition", 528, 96, 513, 379);

    // The panel takes no focus, so the order starts at the chart.
    ChainTabOrder({chartPosition, cbPosPlot, btnChartPosClear, btnChartPosSave,
                   cbShranjujMeritvePos, mmShranjujIme, seCasShranjevanja, btnZero});

    // ---- page "Status" ------------------------------------------------------------
    Label3 = MakeLabel(tabEncStatus, "Label3", QStringLiteral("Encoder detailed status (bin)"), 208,
                       96, 166, 16);
    lblEncDetStatBin = MakeLabel(tabEncStatus, "lblEncDetStatBin", QStringLiteral("..."), 208, 123,
                                 21, 15, &consolas13);
    GroupBox5 = Place(new QGroupBox(QStringLiteral(" Encoder Status "), tabEncStatus), "GroupBox5",
                      488, 96, 273, 281);
    // The digit in a panel's name is the status bit it shows; bit 7 on top.
    const QFont statusFont = Face("Tahoma", 11);
    struct StatusPanel {
        TPanel** member;
        const char* name;
        int top;
        const char* caption;
    };
    const StatusPanel statusPanels[] = {
        {&pnlSb7, "pnlSb7", 26, "reserved"},
        {&pnlSb6, "pnlSb6", 56, "Air gap too big. Install closer."},
        {&pnlSb5, "pnlSb5", 86, "No signal. Check alignment."},
        {&pnlSb4, "pnlSb4", 116, "Temperature warning."},
        {&pnlSb3, "pnlSb3", 146, "reserved"},
        {&pnlSb2, "pnlSb2", 176, "reserved"},
        {&pnlSb1, "pnlSb1", 206, "reserved"},
        {&pnlSb0, "pnlSb0", 236, "Velocity too high. Move slower."},
    };
    for (const StatusPanel& s : statusPanels) {
        *s.member = MakePanel(GroupBox5, s.name, 20, s.top, 206, 24, clSilver,
                              TPanel::Bevel::Lowered, QString::fromLatin1(s.caption));
        (*s.member)->setFont(statusFont);
    }

    // The design opens on the Position page; start-up then picks its own.
    Pages->setCurrentIndex(1);

    // ---- non-visual -----------------------------------------------------------------
    tmrSearchInterface = new TTimer(this, 1000);
    tmrSearchInterface->setObjectName(QStringLiteral("tmrSearchInterface"));
    tmrSearchEncoder = new TTimer(this, 850);
    tmrSearchEncoder->setObjectName(QStringLiteral("tmrSearchEncoder"));
    // The reading interval is short enough that a coarse timer's slack shows.
    tmrReadEncoder = new TTimer(this, 70, /*precise*/ true);
    tmrReadEncoder->setObjectName(QStringLiteral("tmrReadEncoder"));
}

// ---- the window on its screen -------------------------------------------------

void TMainForm::FitToScreen() {
    const QScreen* const s = screen();
    if (!s) return;
    // The frame is known once the window manager has framed the window; until
    // then it counts as none, and the next move brings it in.
    const QSize frame = frameGeometry().size() - geometry().size();
    const QSize room = s->availableGeometry().size() - frame;
    const QSize fitted =
        FitWindowToScreen(kClientSize, room, style()->pixelMetric(QStyle::PM_ScrollBarExtent));
    // Fixed: the user still cannot resize the window.
    if (fitted != size()) setFixedSize(fitted);
}

void TMainForm::FollowScreen() {
    disconnect(screenArea_);
    if (QScreen* const s = screen())
        screenArea_ = connect(s, &QScreen::availableGeometryChanged, this, &TMainForm::FitToScreen);
    FitToScreen();
}

void TMainForm::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    if (QWindow* const w = windowHandle())
        connect(w, &QWindow::screenChanged, this, &TMainForm::FollowScreen, Qt::UniqueConnection);
    FollowScreen();
    // Placed by the system, but never sticking out of the available area, so
    // the scroll bars can be reached.
    if (const QScreen* const s = screen()) {
        const QRect area = s->availableGeometry();
        const QRect outer = frameGeometry();
        const QPoint at(std::clamp(outer.left(), area.left(),
                                   std::max(area.left(), area.right() + 1 - outer.width())),
                        std::clamp(outer.top(), area.top(),
                                   std::max(area.top(), area.bottom() + 1 - outer.height())));
        if (at != outer.topLeft()) move(at);
    }
}

void TMainForm::moveEvent(QMoveEvent* e) {
    QWidget::moveEvent(e);
    FitToScreen();  // the window manager's frame may have become known
}
