// The main window's layout as the user sees it right after start-up: every
// control found by its name at its designed place, with its designed text,
// font and state. A control that is moved, renamed, re-parented or restyled
// fails here.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QScrollBar>
#include <QSet>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <ostream>
#include <vector>

#include "app/Fonts.h"
#include "app/PositionChart.h"
#include "app/ScreenFit.h"
#include "app/TQ55_SPI_Main.h"

// Readable failure messages for the Qt values compared below.
static void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
static void PrintTo(const QSize& s, std::ostream* os) {
    *os << s.width() << 'x' << s.height();
}
static void PrintTo(const QColor& c, std::ostream* os) {
    *os << c.name().toStdString();
}

namespace {

enum Style { R, B, BI };
constexpr bool Auto = true;    // label sizes itself: its width is not designed
constexpr bool Fixed = false;  // width as designed
constexpr bool On = true;
constexpr bool Off = false;

struct ControlRow {
    const char* name;
    const char* parent;
    int x, y, w, h;
    bool autoSize;
    const char* text;  // caption, title or shown text; nullptr: has none
    const char* family;
    int pixelSize;
    Style style;
    bool enabled;
};

// The state right after creation, with the start-up changes applied (the
// position text is emptied then).
const ControlRow kControls[] = {
    // The window's own children.
    {"Label10", "MainForm", 264, 48, 99, 13, Auto, "Encoder temperature", "MS Sans Serif", 10, R,
     On},
    {"Label11", "MainForm", 264, 75, 21, 15, Auto, "...", "Consolas", 13, R, On},
    {"pnl1Top", "MainForm", 0, 0, 1068, 63, Fixed, "", "MS Sans Serif", 10, R, On},
    {"pnl2Mid", "MainForm", 0, 63, 1068, 8, Fixed, "", "MS Sans Serif", 10, R, On},
    {"pnlPosition", "MainForm", 8, 76, 1052, 49, Fixed, "", "MS Sans Serif", 10, R, On},
    {"Pages", "MainForm", 8, 131, 1052, 513, Fixed, nullptr, "MS Sans Serif", 10, R, On},
    {"Image1", "pnl1Top", 927, 14, 126, 31, Fixed, "", "MS Sans Serif", 10, R, On},
    {"lbl1", "pnl1Top", 50, 20, 481, 24, Auto, "Quorvane Encoder diagnostics tool - TQ55 SPI ",
     "Arial", 21, BI, On},
    {"lblPosUnit", "pnlPosition", 20, 6, 941, 38, Fixed, "", "Tahoma", 29, B, On},
    {"pnlCommActive", "pnlPosition", 1033, 18, 12, 12, Fixed, "", "MS Sans Serif", 10, R, On},
    // Page "System Config".
    {"Button1", "tabSysCfg", 952, 10, 89, 22, Fixed, "Clear log", "Arial", 13, R, On},
    {"cbLogComm", "tabSysCfg", 832, 15, 97, 17, Fixed, "Log Comm", "Arial", 13, R, On},
    {"lbl2", "tabSysCfg", 600, 16, 82, 16, Auto, "Diagnostic log", "Arial", 13, R, On},
    {"mmLog", "tabSysCfg", 600, 38, 441, 443, Fixed, "", "Arial Narrow", 11, R, On},
    {"grpInterfaceInfo", "tabSysCfg", 16, 23, 217, 106, Fixed, " Interface info ", "Arial", 13, R,
     On},
    {"grpEncClk", "tabSysCfg", 16, 148, 217, 149, Fixed, " Encoder frequency", "Arial", 13, R, On},
    {"grpEncPower", "tabSysCfg", 16, 328, 217, 129, Fixed, " Encoder power supply", "Arial", 13, R,
     On},
    {"rgEncoderConfiguration", "tabSysCfg", 288, 148, 273, 149, Fixed, " Encoder configuration ",
     "Arial", 13, R, Off},
    {"rgEncoderResolution", "tabSysCfg", 288, 328, 273, 89, Fixed, " Encoder resolution ", "Arial",
     13, R, Off},
    {"lblComPort", "grpInterfaceInfo", 19, 25, 53, 16, Auto, "Com Port", "Tahoma", 13, R, On},
    {"lblInterfaceVer", "grpInterfaceInfo", 19, 49, 43, 16, Auto, "Version", "Tahoma", 13, R, On},
    {"lblInterfaceSerial", "grpInterfaceInfo", 19, 74, 81, 16, Auto, "Serial number", "Tahoma", 13,
     R, On},
    {"Label6", "grpEncClk", 19, 24, 110, 16, Auto, "SPI CLK frequency", "Arial", 13, R, On},
    {"cmbFreqSPI", "grpEncClk", 19, 45, 182, 24, Fixed, "6 =  3 MHz", "Arial", 13, R, On},
    {"Label5", "grpEncClk", 19, 84, 168, 16, Auto, "Delay between readings (ms)", "Arial", 13, R,
     On},
    {"seEncoderReadInterval", "grpEncClk", 19, 106, 182, 26, Fixed, "70", "Arial", 13, R, On},
    {"rbPwr5v", "grpEncPower", 19, 32, 41, 17, Fixed, "5 V", "Arial", 13, R, On},
    {"rbPwr33v", "grpEncPower", 73, 32, 55, 17, Fixed, "3.3 V", "Arial", 13, R, Off},
    {"rbPwrOff", "grpEncPower", 144, 32, 52, 17, Fixed, "OFF", "Arial", 13, R, On},
    {"lblEncPwrStatus", "grpEncPower", 19, 72, 130, 16, Auto, "Encoder supply status", "Arial", 13,
     R, On},
    // Page "Position".
    {"lbl3", "tabEncPos", 16, 32, 134, 16, Auto, "Encoder raw data (hex)", "Arial", 13, R, On},
    {"lblEncPosRawHex", "tabEncPos", 16, 59, 21, 15, Auto, "...", "Consolas", 13, R, On},
    {"Label1", "tabEncPos", 16, 86, 130, 16, Auto, "Encoder raw data (bin)", "Arial", 13, R, On},
    {"lblEncPosRawBin", "tabEncPos", 16, 112, 21, 15, Auto, "...", "Consolas", 13, R, On},
    {"Label2", "tabEncPos", 16, 139, 176, 16, Auto, "Encoder decoded postion data", "Arial", 13, R,
     On},
    {"lblEncPosRawDecoded", "tabEncPos", 16, 166, 21, 15, Auto, "...", "Consolas", 13, R, On},
    {"btnZero", "tabEncPos", 376, 183, 75, 35, Fixed, "Zero", "Arial", 13, R, On},
    {"lblZeroPos", "tabEncPos", 368, 224, 97, 16, Fixed, "0", "Arial", 13, R, On},
    {"lblDataPacketOK", "tabEncPos", 16, 243, 84, 16, Auto, "Data validation", "Arial", 13, R, On},
    {"pnlDataPacketOK", "tabEncPos", 16, 265, 73, 25, Fixed, "VALID", "Arial", 13, R, On},
    {"lblCRC", "tabEncPos", 16, 296, 56, 15, Auto, "CRC: ...", "Consolas", 13, R, On},
    {"Label7", "tabEncPos", 262, 341, 145, 32, Auto, "Recording duration (sec) \n(0 = no limit)",
     "Arial", 13, R, On},
    {"seCasShranjevanja", "tabEncPos", 413, 347, 76, 26, Fixed, "20", "Arial", 13, R, On},
    {"cbShranjujMeritvePos", "tabEncPos", 16, 356, 207, 17, Fixed, "Record position to file",
     "Arial", 13, R, On},
    {"mmShranjujIme", "tabEncPos", 16, 379, 473, 70, Fixed, "", "Arial", 13, R, On},
    {"lblShraniElapsedTimeMs", "tabEncPos", 16, 455, 321, 15, Fixed, "Elapsed Time", "Arial", 13, R,
     On},
    {"cbPosPlot", "tabEncPos", 544, 73, 169, 17, Fixed, "Plot position over time", "Arial", 13, R,
     On},
    {"btnChartPosSave", "tabEncPos", 885, 69, 75, 25, Fixed, "Save chart", "Arial", 13, R, On},
    {"btnChartPosClear", "tabEncPos", 966, 69, 75, 25, Fixed, "Clear chart", "Arial", 13, R, On},
    {"chartPosition", "tabEncPos", 528, 96, 513, 379, Fixed, nullptr, "Arial", 13, R, On},
    // Page "Status".
    {"Label3", "tabEncStatus", 208, 96, 166, 16, Auto, "Encoder detailed status (bin)", "Arial", 13,
     R, On},
    {"lblEncDetStatBin", "tabEncStatus", 208, 123, 21, 15, Auto, "...", "Consolas", 13, R, On},
    {"GroupBox5", "tabEncStatus", 488, 96, 273, 281, Fixed, " Encoder Status ", "Arial", 13, R, On},
    {"pnlSb7", "GroupBox5", 20, 26, 206, 24, Fixed, "reserved", "Tahoma", 11, R, On},
    {"pnlSb6", "GroupBox5", 20, 56, 206, 24, Fixed, "Air gap too big. Install closer.", "Tahoma",
     11, R, On},
    {"pnlSb5", "GroupBox5", 20, 86, 206, 24, Fixed, "No signal. Check alignment.", "Tahoma", 11, R,
     On},
    {"pnlSb4", "GroupBox5", 20, 116, 206, 24, Fixed, "Temperature warning.", "Tahoma", 11, R, On},
    {"pnlSb3", "GroupBox5", 20, 146, 206, 24, Fixed, "reserved", "Tahoma", 11, R, On},
    {"pnlSb2", "GroupBox5", 20, 176, 206, 24, Fixed, "reserved", "Tahoma", 11, R, On},
    {"pnlSb1", "GroupBox5", 20, 206, 206, 24, Fixed, "reserved", "Tahoma", 11, R, On},
    {"pnlSb0", "GroupBox5", 20, 236, 206, 24, Fixed, "Velocity too high. Move slower.", "Tahoma",
     11, R, On},
};

// What the control shows as its caption, whatever its kind.
QString ShownText(const QWidget* w) {
    if (auto* p = qobject_cast<const TPanel*>(w)) return p->Caption();
    if (auto* s = qobject_cast<const TSpinEdit*>(w)) return s->Text();
    if (auto* l = qobject_cast<const QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
    if (auto* g = qobject_cast<const QGroupBox*>(w)) return g->title();
    if (auto* m = qobject_cast<const QPlainTextEdit*>(w)) return m->toPlainText();
    if (auto* c = qobject_cast<const QComboBox*>(w)) return c->currentText();
    return QStringLiteral("<no text>");
}

// The face that really draws `family`: itself when installed, else the
// substitute registered at start-up.
bool DrawnBy(const QFont& font, const QString& family) {
    const QString drawn = QFontInfo(font).family();
    if (QFontDatabase::hasFamily(family)) return drawn.compare(family, Qt::CaseInsensitive) == 0;
    return drawn == FontSubstituteFor(family);
}

class Layout : public ::testing::Test {
protected:
    void SetUp() override {
        // An empty device map, so the search started at creation finds nothing.
        ASSERT_TRUE(portDir_.isValid());
        qputenv("K740_SERIALCOMM_DIR", portDir_.path().toLocal8Bit());
        form_ = std::make_unique<TMainForm>();
        form_->show();
        QCoreApplication::processEvents();  // deliver the pending show and resize events
    }
    void TearDown() override { form_.reset(); }

    QWidget* Find(const char* name) const {
        const auto all = form_->findChildren<QWidget*>(QString::fromLatin1(name));
        return all.size() == 1 ? all.first() : nullptr;
    }
    // "MainForm" is the window's client area.
    QWidget* ParentByName(const char* name) const {
        return QLatin1String(name) == QLatin1String("MainForm") ? form_->ClientArea : Find(name);
    }

    QTemporaryDir portDir_;
    std::unique_ptr<TMainForm> form_;
};

TEST_F(Layout, EveryControlAsDesigned) {
    for (const ControlRow& r : kControls) {
        SCOPED_TRACE(r.name);
        QWidget* w = Find(r.name);
        ASSERT_NE(w, nullptr) << "no single control of this name";
        ASSERT_NE(ParentByName(r.parent), nullptr) << r.parent;
        EXPECT_EQ(w->parentWidget(), ParentByName(r.parent)) << "parent should be " << r.parent;

        EXPECT_EQ(w->x(), r.x);
        EXPECT_EQ(w->y(), r.y);
        EXPECT_EQ(w->height(), r.h);
        if (!r.autoSize) {
            EXPECT_EQ(w->width(), r.w);
        }
        // Nothing hangs out of its parent, where it would be cut off. Pages
        // share one area, but only the page in front has been given its size.
        QWidget* container = w->parentWidget();
        if (container->parentWidget() == form_->Pages->currentWidget()->parentWidget())
            container = form_->Pages->currentWidget();
        EXPECT_TRUE(container->rect().contains(w->geometry()))
            << "geometry " << w->x() << "," << w->y() << " " << w->width() << "x" << w->height()
            << " in " << container->width() << "x" << container->height();

        if (r.text) {
            EXPECT_EQ(ShownText(w), QString::fromUtf8(r.text)) << qPrintable(ShownText(w));
        }

        const QFont f = w->font();
        EXPECT_EQ(f.family(), QLatin1String(r.family));
        EXPECT_EQ(f.pixelSize(), r.pixelSize);
        EXPECT_EQ(f.bold(), r.style != R);
        EXPECT_EQ(f.italic(), r.style == BI);
        EXPECT_TRUE(DrawnBy(f, QLatin1String(r.family))) << qPrintable(QFontInfo(f).family());

        EXPECT_EQ(w->isEnabled(), r.enabled);
        EXPECT_FALSE(w->isHidden());
    }
}

TEST_F(Layout, MembersAreTheNamedControls) {
    // The handlers reach controls through the members, tests through names.
    const std::vector<std::pair<QObject*, const char*>> members = {
        {form_->Label10, "Label10"},
        {form_->Label11, "Label11"},
        {form_->pnl1Top, "pnl1Top"},
        {form_->pnl2Mid, "pnl2Mid"},
        {form_->pnlPosition, "pnlPosition"},
        {form_->Pages, "Pages"},
        {form_->Image1, "Image1"},
        {form_->lbl1, "lbl1"},
        {form_->lblPosUnit, "lblPosUnit"},
        {form_->pnlCommActive, "pnlCommActive"},
        {form_->tabSysCfg, "tabSysCfg"},
        {form_->tabEncPos, "tabEncPos"},
        {form_->tabEncStatus, "tabEncStatus"},
        {form_->Button1, "Button1"},
        {form_->cbLogComm, "cbLogComm"},
        {form_->lbl2, "lbl2"},
        {form_->mmLog, "mmLog"},
        {form_->grpInterfaceInfo, "grpInterfaceInfo"},
        {form_->grpEncClk, "grpEncClk"},
        {form_->grpEncPower, "grpEncPower"},
        {form_->rgEncoderConfiguration, "rgEncoderConfiguration"},
        {form_->rgEncoderResolution, "rgEncoderResolution"},
        {form_->lblComPort, "lblComPort"},
        {form_->lblInterfaceVer, "lblInterfaceVer"},
        {form_->lblInterfaceSerial, "lblInterfaceSerial"},
        {form_->Label6, "Label6"},
        {form_->cmbFreqSPI, "cmbFreqSPI"},
        {form_->Label5, "Label5"},
        {form_->seEncoderReadInterval, "seEncoderReadInterval"},
        {form_->rbPwr5v, "rbPwr5v"},
        {form_->rbPwr33v, "rbPwr33v"},
        {form_->rbPwrOff, "rbPwrOff"},
        {form_->lblEncPwrStatus, "lblEncPwrStatus"},
        {form_->lbl3, "lbl3"},
        {form_->lblEncPosRawHex, "lblEncPosRawHex"},
        {form_->Label1, "Label1"},
        {form_->lblEncPosRawBin, "lblEncPosRawBin"},
        {form_->Label2, "Label2"},
        {form_->lblEncPosRawDecoded, "lblEncPosRawDecoded"},
        {form_->btnZero, "btnZero"},
        {form_->lblZeroPos, "lblZeroPos"},
        {form_->lblDataPacketOK, "lblDataPacketOK"},
        {form_->pnlDataPacketOK, "pnlDataPacketOK"},
        {form_->lblCRC, "lblCRC"},
        {form_->Label7, "Label7"},
        {form_->seCasShranjevanja, "seCasShranjevanja"},
        {form_->cbShranjujMeritvePos, "cbShranjujMeritvePos"},
        {form_->mmShranjujIme, "mmShranjujIme"},
        {form_->lblShraniElapsedTimeMs, "lblShraniElapsedTimeMs"},
        {form_->cbPosPlot, "cbPosPlot"},
        {form_->btnChartPosSave, "btnChartPosSave"},
        {form_->btnChartPosClear, "btnChartPosClear"},
        {form_->chartPosition, "chartPosition"},
        {form_->Label3, "Label3"},
        {form_->lblEncDetStatBin, "lblEncDetStatBin"},
        {form_->GroupBox5, "GroupBox5"},
        {form_->pnlSb0, "pnlSb0"},
        {form_->pnlSb1, "pnlSb1"},
        {form_->pnlSb2, "pnlSb2"},
        {form_->pnlSb3, "pnlSb3"},
        {form_->pnlSb4, "pnlSb4"},
        {form_->pnlSb5, "pnlSb5"},
        {form_->pnlSb6, "pnlSb6"},
        {form_->pnlSb7, "pnlSb7"},
        {form_->tmrSearchInterface, "tmrSearchInterface"},
        {form_->tmrSearchEncoder, "tmrSearchEncoder"},
        {form_->tmrReadEncoder, "tmrReadEncoder"},
    };
    for (const auto& [object, name] : members) {
        SCOPED_TRACE(name);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(object->objectName(), QLatin1String(name));
    }
}

TEST_F(Layout, WindowIsFixedWithCloseButtonOnly) {
    EXPECT_EQ(form_->size(), QSize(1068, 652));
    EXPECT_EQ(form_->minimumSize(), QSize(1068, 652));
    EXPECT_EQ(form_->maximumSize(), QSize(1068, 652));
    // The client area fills the window exactly: nothing to scroll.
    EXPECT_EQ(form_->ClientArea->size(), QSize(1068, 652));
    EXPECT_EQ(form_->ClientArea->mapTo(form_.get(), QPoint(0, 0)), QPoint(0, 0));
    EXPECT_FALSE(form_->ClientScroll->verticalScrollBar()->isVisible());
    EXPECT_FALSE(form_->ClientScroll->horizontalScrollBar()->isVisible());

    const Qt::WindowFlags flags = form_->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint))
        << "without it the platform adds its own buttons";
    EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));

    EXPECT_TRUE(form_->windowTitle().startsWith(
        QStringLiteral("Quorvane® for K740-3T and TQ55 SPI encoders")))
        << qPrintable(form_->windowTitle());
    const QList<QSize> iconSizes = form_->windowIcon().availableSizes();
    EXPECT_TRUE(iconSizes.contains(QSize(32, 32)));
    EXPECT_TRUE(iconSizes.contains(QSize(16, 16)));

    EXPECT_TRUE(form_->autoFillBackground());
    EXPECT_EQ(form_->palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_EQ(form_->grab().toImage().pixel(4, 648), QColor(Qt::white).rgb())
        << "below the page control";
}

TEST_F(Layout, TabsAfterStartUp) {
    QTabWidget* pages = form_->Pages;
    ASSERT_EQ(pages->count(), 3);
    const char* captions[] = {"  System Config  ", "  Position  ", "  Status  "};
    const char* names[] = {"tabSysCfg", "tabEncPos", "tabEncStatus"};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(pages->tabText(i), QLatin1String(captions[i]));
        EXPECT_EQ(pages->widget(i)->objectName(), QLatin1String(names[i]));
        const QFont f = pages->widget(i)->font();
        EXPECT_EQ(f.family(), QLatin1String("Arial"));
        EXPECT_EQ(f.pixelSize(), 13);
        EXPECT_FALSE(f.bold());
    }
    // Start-up shows the System Config page and hides the Status tab.
    EXPECT_TRUE(pages->isTabVisible(0));
    EXPECT_TRUE(pages->isTabVisible(1));
    EXPECT_FALSE(pages->isTabVisible(2));
    EXPECT_EQ(pages->currentIndex(), 0);
    EXPECT_TRUE(form_->Button1->isVisible());
    EXPECT_FALSE(form_->btnZero->isVisible());

    const QFont tabFont = pages->tabBar()->font();
    EXPECT_EQ(tabFont.family(), QLatin1String("Arial Narrow"));
    EXPECT_EQ(tabFont.pixelSize(), 16);
    EXPECT_TRUE(tabFont.bold());
    EXPECT_FALSE(tabFont.italic());
    EXPECT_TRUE(DrawnBy(tabFont, QStringLiteral("Arial Narrow")));
}

TEST_F(Layout, ListsAndRadioGroups) {
    const QStringList freq = {"1 = 94 kHz",  "2 = 188 kHz", "3 = 375 kHz", "4 = 750 kHz",
                              "5 = 1.5 MHz", "6 =  3 MHz",  "7 =  6 MHz",  "8 = 12 MHz"};
    QComboBox* cmb = form_->cmbFreqSPI;
    ASSERT_EQ(cmb->count(), freq.size());
    for (int i = 0; i < cmb->count(); ++i) EXPECT_EQ(cmb->itemText(i), freq.at(i)) << i;
    EXPECT_EQ(cmb->currentIndex(), 5);
    EXPECT_FALSE(cmb->isEditable()) << "no typed values";
    EXPECT_EQ(cmb->maxVisibleItems(), 8);

    struct GroupRow {
        const char* name;
        TRadioGroup* group;
        QStringList items;
        int selected;
    };
    const GroupRow groups[] = {
        {"configuration",
         form_->rgEncoderConfiguration,
         {"SPA - Simple mode 3.3 V LVTTL", "SPB - Advanced mode 3.3 V LVTTL",
          "SPC - Simple mode 5 V TTL", "SPD - Advanced mode 5 V TTL"},
         -1},
        {"resolution", form_->rgEncoderResolution, {"xxB - Binary", "2D0 - 1 um"}, 0},
    };
    for (const GroupRow& g : groups) {
        SCOPED_TRACE(g.name);
        EXPECT_EQ(g.group->Items(), g.items);
        EXPECT_EQ(g.group->ItemIndex(), g.selected);
        int previousTop = -1;
        for (int i = 0; i < g.items.size(); ++i) {
            QRadioButton* b = g.group->Button(i);
            EXPECT_EQ(b->text(), g.items.at(i));
            EXPECT_EQ(b->isChecked(), i == g.selected);
            // One column, top to bottom, inside the group.
            EXPECT_GT(b->y(), previousTop);
            EXPECT_TRUE(g.group->rect().contains(b->geometry())) << i;
            previousTop = b->y();
        }
    }

    EXPECT_TRUE(form_->rbPwr5v->isChecked());
    EXPECT_FALSE(form_->rbPwr33v->isChecked());
    EXPECT_FALSE(form_->rbPwrOff->isChecked());
    EXPECT_FALSE(form_->cbLogComm->isChecked());
    EXPECT_FALSE(form_->cbPosPlot->isChecked());
    EXPECT_FALSE(form_->cbShranjujMeritvePos->isChecked());
}

TEST_F(Layout, SpinEditsMemosAndTimers) {
    struct SpinRow {
        const char* name;
        TSpinEdit* spin;
        int value, min, max, step;
    };
    const SpinRow spins[] = {
        {"read_interval", form_->seEncoderReadInterval, 70, 1, 10000, 10},
        {"recording_time", form_->seCasShranjevanja, 20, 0, 10000, 1},
    };
    for (const SpinRow& s : spins) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(s.spin->Value(), s.value);
        EXPECT_EQ(s.spin->MinValue(), s.min);
        EXPECT_EQ(s.spin->MaxValue(), s.max);
        EXPECT_EQ(s.spin->Increment(), s.step);
    }

    QPlainTextEdit* log = form_->mmLog;
    EXPECT_FALSE(log->isReadOnly()) << "the user may type notes into the log";
    EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(log->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QPlainTextEdit* name = form_->mmShranjujIme;
    EXPECT_TRUE(name->isReadOnly());
    EXPECT_EQ(name->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(name->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(name->lineWrapMode(), QPlainTextEdit::WidgetWidth);

    struct TimerRow {
        const char* name;
        int interval;
        bool enabled;
    };
    // Start-up arms the interface search; the other two wait their turn.
    const TimerRow timers[] = {
        {"tmrSearchInterface", 1000, true},
        {"tmrSearchEncoder", 850, false},
        {"tmrReadEncoder", 70, false},
    };
    for (const TimerRow& t : timers) {
        SCOPED_TRACE(t.name);
        auto* timer = form_->findChild<TTimer*>(QLatin1String(t.name));
        ASSERT_NE(timer, nullptr);
        EXPECT_EQ(timer->Interval(), t.interval);
        EXPECT_EQ(timer->Enabled(), t.enabled);
    }
}

TEST_F(Layout, PanelColoursAndBevels) {
    enum class Bevel { None, Lowered, RaisedInLoweredOut };
    struct PanelRow {
        const char* name;
        TColor color;
        Bevel bevel;
    };
    const PanelRow panels[] = {
        {"pnl1Top", clWhite, Bevel::None},
        {"pnl2Mid", 0x4080FF, Bevel::None},
        {"pnlPosition", clBtnFace, Bevel::Lowered},
        {"pnlCommActive", 0x004400, Bevel::Lowered},
        {"pnlDataPacketOK", clBtnFace, Bevel::RaisedInLoweredOut},
        {"pnlSb0", clSilver, Bevel::Lowered},
        {"pnlSb4", clSilver, Bevel::Lowered},
        {"pnlSb7", clSilver, Bevel::Lowered},
    };
    for (const PanelRow& r : panels) {
        SCOPED_TRACE(r.name);
        auto* p = qobject_cast<TPanel*>(Find(r.name));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->Color(), r.color);
        const QImage img = p->grab().toImage();
        const QRgb dark = p->palette().color(QPalette::Dark).rgb();
        const QRgb light = p->palette().color(QPalette::Light).rgb();
        const QRgb corner = img.pixel(0, 0);
        switch (r.bevel) {
            case Bevel::None:
                EXPECT_EQ(corner, ToQColor(r.color).rgb());
                break;
            case Bevel::Lowered:
                EXPECT_EQ(corner, dark);
                EXPECT_EQ(img.pixel(img.width() - 1, img.height() - 1), light);
                EXPECT_EQ(img.pixel(1, 1), ToQColor(r.color).rgb());
                break;
            case Bevel::RaisedInLoweredOut:
                EXPECT_EQ(corner, dark);
                EXPECT_EQ(img.pixel(1, 1), light);
                break;
        }
    }
    EXPECT_EQ(form_->lbl1->FontColor(), clNavy);
    EXPECT_EQ(form_->lblPosUnit->FontColor(), clNavy);
}

TEST_F(Layout, CentredAndFixedLabels) {
    for (TLabel* l : {form_->lblPosUnit, form_->lblZeroPos}) {
        SCOPED_TRACE(qPrintable(l->objectName()));
        EXPECT_TRUE(l->alignment().testFlag(Qt::AlignHCenter));
    }
    // A fixed label keeps its width whatever it shows.
    form_->lblZeroPos->SetCaption(QStringLiteral("-123456789.123456"));
    EXPECT_EQ(form_->lblZeroPos->width(), 97);
    form_->lblShraniElapsedTimeMs->SetCaption(QStringLiteral("1"));
    EXPECT_EQ(form_->lblShraniElapsedTimeMs->width(), 321);
    // A self-sizing one follows its text.
    const int before = form_->lblEncPosRawHex->width();
    form_->lblEncPosRawHex->SetCaption(QStringLiteral("03D090300920"));
    EXPECT_GT(form_->lblEncPosRawHex->width(), before);
}

TEST_F(Layout, LabelsUnderPanelsNeverShow) {
    struct CoverRow {
        const char* label;
        QWidget* cover;
    };
    const CoverRow rows[] = {{"Label10", form_->pnl1Top}, {"Label11", form_->pnlPosition}};
    for (const CoverRow& r : rows) {
        SCOPED_TRACE(r.label);
        QWidget* label = Find(r.label);
        ASSERT_NE(label, nullptr);
        const QPoint centre = label->geometry().center();
        QWidget* top = form_->ClientArea->childAt(centre);
        ASSERT_NE(top, nullptr);
        EXPECT_TRUE(top == r.cover || r.cover->isAncestorOf(top)) << qPrintable(top->objectName());
    }
}

TEST_F(Layout, LogoAndTooltips) {
    QLabel* logo = form_->Image1;
    ASSERT_FALSE(logo->pixmap().isNull());
    EXPECT_EQ(logo->pixmap().size(), QSize(126, 31));
    EXPECT_TRUE(logo->hasScaledContents());
    EXPECT_EQ(logo->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_TRUE(logo->toolTip().startsWith(QStringLiteral("Double click to visit https://")))
        << qPrintable(logo->toolTip());
    EXPECT_TRUE(logo->text().isEmpty());
    EXPECT_EQ(form_->btnZero->toolTip(),
              QStringLiteral("Set current position as zero. This is not stored in the encoder."));
}

TEST_F(Layout, KeyboardOrder) {
    struct OrderRow {
        const char* page;
        std::vector<QWidget*> order;
    };
    TRadioGroup* cfg = form_->rgEncoderConfiguration;
    TRadioGroup* res = form_->rgEncoderResolution;
    const OrderRow rows[] = {
        {"system_config",
         {form_->mmLog, form_->cmbFreqSPI, form_->seEncoderReadInterval, form_->rbPwr33v,
          form_->rbPwrOff, form_->rbPwr5v, form_->Button1, cfg->Button(0), cfg->Button(1),
          cfg->Button(2), cfg->Button(3), res->Button(0), res->Button(1), form_->cbLogComm}},
        {"position",
         {form_->chartPosition, form_->cbPosPlot, form_->btnChartPosClear, form_->btnChartPosSave,
          form_->cbShranjujMeritvePos, form_->mmShranjujIme, form_->seCasShranjevanja,
          form_->btnZero}},
    };
    for (const OrderRow& r : rows) {
        SCOPED_TRACE(r.page);
        // The focus chain from the first control, reduced to the listed ones
        // (a spin edit's inner line edit counts as the spin edit); what Tab
        // skips does not count.
        auto listed = [&r](QWidget* w) -> QWidget* {
            if (!(w->focusPolicy() & Qt::TabFocus)) return nullptr;
            for (QWidget* o : r.order)
                if (w == o || o->isAncestorOf(w)) return o;
            return nullptr;
        };
        std::vector<QWidget*> seen;
        QWidget* w = r.order.front();
        for (int guard = 0; guard < 1000 && seen.size() < r.order.size(); ++guard) {
            if (QWidget* o = listed(w); o && (seen.empty() || seen.back() != o)) seen.push_back(o);
            w = w->nextInFocusChain();
            if (w == r.order.front()) break;
        }
        ASSERT_EQ(seen.size(), r.order.size());
        for (std::size_t i = 0; i < seen.size(); ++i)
            EXPECT_EQ(seen[i]->objectName(), r.order[i]->objectName()) << "position " << i;
        for (QWidget* o : r.order)
            EXPECT_NE(o->focusPolicy() & Qt::TabFocus, 0) << qPrintable(o->objectName());
    }
}

// Tab leaves a memo for the next control, also the log, which takes typed
// text: a keyboard user must never be caught in it.
TEST_F(Layout, TabLeavesTheMemos) {
    struct MemoRow {
        const char* name;
        QWidget* page;
        QPlainTextEdit* memo;
        QWidget* next;
    };
    const MemoRow rows[] = {
        {"log", form_->tabSysCfg, form_->mmLog, form_->cmbFreqSPI},
        {"recording_name", form_->tabEncPos, form_->mmShranjujIme, form_->seCasShranjevanja},
    };
    form_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
    for (const MemoRow& r : rows) {
        SCOPED_TRACE(r.name);
        form_->Pages->setCurrentWidget(r.page);
        r.memo->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(r.memo->hasFocus());
        const QString before = r.memo->toPlainText();
        QTest::keyClick(r.memo, Qt::Key_Tab);
        EXPECT_EQ(r.memo->toPlainText(), before) << "Tab went into the text";
        EXPECT_TRUE(r.next->hasFocus() || r.next->isAncestorOf(QApplication::focusWidget()))
            << "focus on " << qPrintable(QApplication::focusWidget()->objectName());
    }
    // Typing into the log still works.
    form_->Pages->setCurrentWidget(form_->tabSysCfg);
    form_->mmLog->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(form_->mmLog, QStringLiteral("bench 3"));
    EXPECT_TRUE(form_->mmLog->toPlainText().endsWith(QStringLiteral("bench 3")))
        << qPrintable(form_->mmLog->toPlainText());
}

TEST_F(Layout, LabelsShowPlainText) {
    // Replies of the box end up in labels; markup in them must stay text.
    const QString markup = QStringLiteral("<b>x</b><img src=/tmp/none.png>");
    form_->lblComPort->SetCaption(markup);
    EXPECT_EQ(form_->lblComPort->text(), markup);
    EXPECT_EQ(form_->lblComPort->textFormat(), Qt::PlainText);
    EXPECT_EQ(form_->Image1->textFormat(), Qt::PlainText);
    for (TLabel* l : form_->findChildren<TLabel*>())
        EXPECT_EQ(l->textFormat(), Qt::PlainText) << qPrintable(l->objectName());
}

struct FaceRow {
    const char* face;
    const char* substitute;
    bool fixedPitch;
};

TEST(FontSubstitutes, MissingFacesDrawnByMetricTwins) {
    const FaceRow rows[] = {
        {"Arial", "Liberation Sans", false},
        {"Arial Narrow", "Liberation Sans Narrow", false},
        {"MS Sans Serif", "Liberation Sans", false},
        {"Tahoma", "Liberation Sans", false},
        {"Small Fonts", "Liberation Sans", false},
        {"Consolas", "Liberation Mono", true},  // the raw frames line up in columns
    };
    for (const FaceRow& r : rows) {
        SCOPED_TRACE(r.face);
        const QString face = QString::fromLatin1(r.face);
        EXPECT_EQ(FontSubstituteFor(face), QLatin1String(r.substitute));
        QFont f(face);
        f.setPixelSize(13);
        const QFontInfo info(f);
        if (QFontDatabase::hasFamily(face)) {
            EXPECT_EQ(info.family(), face) << "an installed face is left alone";
        } else {
            EXPECT_EQ(info.family(), QLatin1String(r.substitute));
        }
        if (r.fixedPitch) {
            EXPECT_TRUE(info.fixedPitch());
        }
    }
    EXPECT_TRUE(FontSubstituteFor(QStringLiteral("Courier New")).isEmpty());
}

}  // namespace
