// The window on a screen too small for it: a 1366 x 768 laptop screen with a
// whole-window scale of 1.25 leaves 1093 x 614 pixels of the window's own.
// The window must stay on the screen and every control must still be
// reachable by scrolling. A program of its own: the screen is chosen when
// the application object is made.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <cstdlib>

#include "app/Fonts.h"
#include "app/PositionChart.h"
#include "app/TQ55_SPI_Main.h"

namespace {

class SmallScreen : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ports_.isValid());
        qputenv("K740_SERIALCOMM_DIR", ports_.path().toLocal8Bit());  // no box: no search result
        form = std::make_unique<TMainForm>();
        form->show();
        QCoreApplication::processEvents();
    }
    QTemporaryDir ports_;
    std::unique_ptr<TMainForm> form;
};

TEST_F(SmallScreen, WindowStaysOnTheScreenAndScrollsVertically) {
    const QRect area = form->screen()->availableGeometry();
    ASSERT_LT(area.height(), TMainForm::kClientSize.height()) << "the screen is not small";
    EXPECT_TRUE(area.contains(form->frameGeometry()))
        << form->width() << "x" << form->height() << " on " << area.width() << "x" << area.height();
    EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "the user still cannot resize it";
    EXPECT_EQ(form->ClientArea->size(), TMainForm::kClientSize) << "the design size stays";
    EXPECT_TRUE(form->ClientScroll->verticalScrollBar()->isVisible());
    EXPECT_FALSE(form->ClientScroll->horizontalScrollBar()->isVisible())
        << "the window's width has room for the vertical bar";
}

TEST_F(SmallScreen, EveryControlCanBeScrolledIntoView) {
    const struct {
        const char* name;
        QWidget* page;
        QWidget* control;
    } rows[] = {
        {"logo", nullptr, form->Image1},
        {"clear_log", form->tabSysCfg, form->Button1},
        {"supply_off", form->tabSysCfg, form->rbPwrOff},
        {"record_box", form->tabEncPos, form->cbShranjujMeritvePos},
        {"elapsed_time", form->tabEncPos, form->lblShraniElapsedTimeMs},
        {"chart_with_its_axis", form->tabEncPos, form->chartPosition},
        {"status_bit_0", form->tabEncStatus, form->pnlSb0},
    };
    QWidget* const viewport = form->ClientScroll->viewport();
    QScrollBar* const bar = form->ClientScroll->verticalScrollBar();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        if (r.page) form->Pages->setCurrentWidget(r.page);
        QCoreApplication::processEvents();
        // Scrolled as far as needed to bring its bottom edge into view.
        const QRect inClient(r.control->mapTo(form->ClientArea, QPoint(0, 0)), r.control->size());
        bar->setValue(inClient.bottom() + 1 - viewport->height());
        const QRect shown(r.control->mapTo(viewport, QPoint(0, 0)), r.control->size());
        EXPECT_TRUE(viewport->rect().contains(shown))
            << "at " << shown.x() << "," << shown.y() << " " << shown.width() << "x"
            << shown.height() << " in " << viewport->width() << "x" << viewport->height()
            << " scrolled " << bar->value() << " of " << bar->maximum();
    }
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen:configfile=" K740_OFFSCREEN_LAPTOP, 1);
    setenv("QT_SCALE_FACTOR", "1.25", 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    InstallFontSubstitutes();
    return RUN_ALL_TESTS();
}
