// The position chart: what the reading loop puts into it, what it draws, and
// the PNG snapshot written from it.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "app/OrodjaChart.h"
#include "app/PositionChart.h"
#include "core/Orodja.h"
#include "window_fixture.h"

namespace {

constexpr TColor kColours[] = {clNavy, clLightRed, clOrange};

QRgb Rgb(TColor c) {
    return ToQColor(c).rgb() & 0xFFFFFFu;
}

// ------------------------------------------------------------ the chart step, through the reading
// loop

class ChartWindowTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        // The handlers are called by hand; no timer may run one in between.
        form->tmrSearchInterface->SetEnabled(false);
    }

    // One reading tick; remembers the position of each plotted point.
    void Read() {
        const std::uint32_t before = form->ChartTime;
        form->tmrReadEncoderTimer();
        ASSERT_EQ(Armed(), "R") << "the reading failed";
        if (form->ChartTime != before) plotted[form->ChartTime - 1] = EncoderPosition.Position_unit;
    }

    TPositionChart& Chart() { return *form->chartPosition; }

    std::map<std::uint32_t, double> plotted;  // X -> the position read for it
};

struct StepRow {
    const char* name;
    const char* script;  // see RunScript
    int count;           // points left
    double firstX, lastX;
};
void PrintTo(const StepRow& r, std::ostream* os) {
    *os << r.name;
}

class ChartStepTable : public ChartWindowTest, public testing::WithParamInterface<StepRow> {
protected:
    // "on"/"off" tick or untick plotting, "clear" clicks Clear chart, "rN" is
    // N good readings, "bad" one reading that fails its frame check followed
    // by the encoder search finding the encoder again.
    void RunScript(const std::string& script) {
        std::istringstream words(script);
        for (std::string w; words >> w;) {
            if (w == "on" || w == "off") {
                form->cbPosPlot->setChecked(w == "on");
            } else if (w == "clear") {
                form->btnChartPosClear->click();
            } else if (w == "bad") {
                Box().SetBadCrc(true);
                form->tmrReadEncoderTimer();
                ASSERT_EQ(Armed(), "E");
                Box().SetBadCrc(false);
                form->tmrSearchEncoderTimer();
                ASSERT_EQ(Armed(), "R");
            } else if (w[0] == 'r') {
                for (int n = std::stoi(w.substr(1)); n > 0; --n) ASSERT_NO_FATAL_FAILURE(Read());
            } else {
                FAIL() << "unknown step " << w;
            }
        }
    }
};

TEST_P(ChartStepTable, KeepsTheNewestGoodReadings) {
    const StepRow& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(FindEncoder());
    Box().SetSpeed(37);  // every reading a new position
    ASSERT_NO_FATAL_FAILURE(RunScript(row.script));

    ASSERT_EQ(Chart().Count(), row.count);
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_TRUE(errors.isEmpty());
    if (row.count == 0) return;
    EXPECT_EQ(Chart().XAt(0), row.firstX);
    EXPECT_EQ(Chart().XAt(row.count - 1), row.lastX);
    for (int i = 0; i < row.count; ++i) {
        // Consecutive numbers of good readings, each at the position read.
        ASSERT_EQ(Chart().XAt(i), row.firstX + i) << "point " << i;
        const auto x = static_cast<std::uint32_t>(Chart().XAt(i));
        ASSERT_TRUE(plotted.count(x)) << "point " << i;
        EXPECT_EQ(Chart().YAt(i), plotted[x]) << "point " << i;
    }
    if (form->cbPosPlot->isChecked()) {
        EXPECT_EQ(form->ChartTime, row.lastX + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ChartStepTable,
    testing::Values(StepRow{"NothingWhileNotTicked", "r5", 0, 0, 0},
                    StepRow{"ThreeHundredReadingsKeepTheNewest250", "on r300", 250, 50, 299},
                    StepRow{"ExactlyTheCap", "on r250", 250, 0, 249},
                    StepRow{"OnePastTheCap", "on r251", 250, 1, 250},
                    StepRow{"ClearWhilePlottingRestartsAtZero", "on r20 clear r3", 3, 0, 2},
                    StepRow{"UntickFreezes", "on r7 off r5", 7, 0, 6},
                    StepRow{"RetickEmptiesAndRestartsAtZero", "on r7 off r5 on r2", 2, 0, 1},
                    StepRow{"RetickWithoutReadingLeavesItEmpty", "on r7 off on", 0, 0, 0},
                    StepRow{"FailedReadingsAreNotCounted", "on r3 bad r2", 5, 0, 4}),
    [](const testing::TestParamInfo<StepRow>& i) { return std::string(i.param.name); });

struct ColourRow {
    const char* name;
    bool error, warning;
    TColor expected;
};
void PrintTo(const ColourRow& r, std::ostream* os) {
    *os << r.name;
}

class ChartColourTable : public ChartWindowTest, public testing::WithParamInterface<ColourRow> {};

TEST_P(ChartColourTable, PointTakesThePositionColour) {
    const ColourRow& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(FindEncoder());
    form->cbPosPlot->setChecked(true);
    Box().SetErrorBit(row.error);
    Box().SetWarningBit(row.warning);
    ASSERT_NO_FATAL_FAILURE(Read());
    ASSERT_EQ(Chart().Count(), 1);
    EXPECT_EQ(Chart().ColorAt(0), row.expected);
    EXPECT_TRUE(Chart().LabelAt(0).isEmpty());
    EXPECT_NE(Chart().ColorAt(0), clBtnFace);
}

INSTANTIATE_TEST_SUITE_P(Rows, ChartColourTable,
                         testing::Values(ColourRow{"ErrorIsLightRed", true, false, clLightRed},
                                         ColourRow{"WarningIsOrange", false, true, clOrange},
                                         ColourRow{"BothIsLightRed", true, true, clLightRed},
                                         ColourRow{"NeitherIsNavy", false, false, clNavy}),
                         [](const testing::TestParamInfo<ColourRow>& i) {
                             return std::string(i.param.name);
                         });

// Readings as the box sends them, drawn: the segment that leads to a reading
// with the error bit is light red, to one with the warning bit orange, to a
// plain one navy, on the chart as the window shows it.
TEST_F(ChartWindowTest, SegmentsOnScreenTakeTheColourOfTheirReading) {
    ASSERT_NO_FATAL_FAILURE(FindEncoder());
    Box().SetSpeed(5000);  // long segments, well apart
    form->cbPosPlot->setChecked(true);
    struct Step {
        bool error, warning;
        TColor colour;
    };
    const Step steps[] = {{false, false, clNavy},
                          {true, false, clLightRed},
                          {false, true, clOrange},
                          {false, false, clNavy},
                          {true, true, clLightRed}};
    for (const Step& st : steps) {
        Box().SetErrorBit(st.error);
        Box().SetWarningBit(st.warning);
        ASSERT_NO_FATAL_FAILURE(Read());
    }
    const QImage img = Chart().grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (int i = 1; i < Chart().Count(); ++i) {
        const QPointF mid((Chart().XAt(i - 1) + Chart().XAt(i)) / 2,
                          (Chart().YAt(i - 1) + Chart().YAt(i)) / 2);
        const QPoint at = Chart().ToPixel(mid).toPoint();
        bool found = false;
        for (int dy = -2; dy <= 2 && !found; ++dy)
            for (int dx = -2; dx <= 2 && !found; ++dx)
                found = (img.pixel(at + QPoint(dx, dy)) & 0xFFFFFFu) ==
                        Rgb(steps[static_cast<std::size_t>(i)].colour);
        EXPECT_TRUE(found) << "segment to reading " << i;
    }
}

// ------------------------------------------------------------ what the chart draws

class ChartAlone : public testing::Test {
protected:
    void SetUp() override { chart.resize(513, 379); }

    QImage Draw() { return chart.grab().toImage().convertToFormat(QImage::Format_RGB32); }

    QPoint ToPixel(QPointF value) { return chart.ToPixel(value).toPoint(); }

    static bool Near(const QImage& img, QPoint at, int radius, QRgb colour) {
        for (int dy = -radius; dy <= radius; ++dy)
            for (int dx = -radius; dx <= radius; ++dx) {
                const QPoint p = at + QPoint(dx, dy);
                if (img.rect().contains(p) && (img.pixel(p) & 0xFFFFFFu) == colour) return true;
            }
        return false;
    }

    TPositionChart chart{nullptr};
};

// Points added while the chart was hidden (another page in front) are drawn
// once it is shown, without waiting for a further reading.
TEST_F(ChartAlone, PointsAddedWhileHiddenAreDrawnWhenShown) {
    // The end of the bottom axis at each paint: what the screen shows.
    struct PaintWatch : QObject {
        TPositionChart* chart;
        double drawnMax = -1;
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) {
                drawnMax = chart->BottomRange().Max;
                ++paints;
            }
            return false;
        }
    } watch;
    watch.chart = &chart;
    chart.installEventFilter(&watch);
    chart.show();
    chart.AddPoint(0, 1.0, QString(), clNavy);
    ASSERT_TRUE(
        WaitFor([&] { return watch.paints > 0; }, 2000, [] { QCoreApplication::processEvents(); }));
    chart.hide();
    for (int i = 1; i <= 40; ++i) chart.AddPoint(i, 1.0 + i, QString(), clNavy);
    // The hidden chart's frames pass without drawing.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
    WaitFor([&] { return std::chrono::steady_clock::now() >= until; }, 1000,
            [] { QCoreApplication::processEvents(); });
    EXPECT_NE(watch.drawnMax, 40.0) << "drawn while hidden";
    chart.show();
    EXPECT_TRUE(WaitFor([&] { return watch.drawnMax == 40.0; }, 2000,
                        [] { QCoreApplication::processEvents(); }))
        << "the shown chart still ends at " << watch.drawnMax;
}

// A position that jumps (a long move, a zero, a reconnected encoder) makes
// the range grow a thousandfold at once. The axes must not lay it out with the
// fine label step of the range before, not even for an instant: that would be
// thousands of labels, a spike of processor time and memory that stays.
TEST_F(ChartAlone, AxesNeverLayOutMoreThanAFewDozenLabels) {
    chart.show();
    // The labels of both axes, counted after every change and at every paint.
    std::size_t most = 0;
    auto count = [&] {
        most = std::max(most, chart.LeftTicks().size() + chart.BottomTicks().size());
    };
    for (int i = 0; i < 50; ++i) chart.AddPoint(i, 1000.0 + i * 0.01, QString(), clNavy);
    Draw();
    const std::size_t calm = chart.LeftTicks().size() + chart.BottomTicks().size();
    chart.AddPoint(50, 0.0, QString(), clNavy);  // from half a millimetre to a metre
    count();
    Draw();
    chart.Clear();
    for (int i = 0; i < 3000; i += 7) {
        chart.AddPoint(i, 5.0, QString(), clNavy);
        count();
    }
    Draw();
    EXPECT_LE(most, calm + 60) << "with " << calm << " labels before the jump";
}

struct SegmentRow {
    const char* name;
    std::vector<TColor> colours;  // of the points 0, 1, ... in turn
    int deleted;                  // oldest points dropped afterwards
};
void PrintTo(const SegmentRow& r, std::ostream* os) {
    *os << r.name;
}

class SegmentColourTable : public ChartAlone, public testing::WithParamInterface<SegmentRow> {};

TEST_P(SegmentColourTable, SegmentTakesTheColourOfThePointItLeadsTo) {
    const SegmentRow& row = GetParam();
    const int n = static_cast<int>(row.colours.size());
    auto y = [](int i) { return i % 2 ? 10.0 : 0.0; };  // zigzag: long, separate segments
    for (int i = 0; i < n; ++i)
        chart.AddPoint(i, y(i), QString(), row.colours[static_cast<std::size_t>(i)]);
    for (int i = 0; i < row.deleted; ++i) chart.DeleteFirst();
    const QImage img = Draw();

    for (int i = row.deleted + 1; i < n; ++i) {
        const TColor lead = row.colours[static_cast<std::size_t>(i)];
        const TColor from = row.colours[static_cast<std::size_t>(i - 1)];
        for (const double t : {0.3, 0.5, 0.7}) {
            const QPoint at = ToPixel(QPointF(i - 1 + t, y(i - 1) + (y(i) - y(i - 1)) * t));
            EXPECT_TRUE(Near(img, at, 2, Rgb(lead))) << "segment to point " << i << " at " << t;
            if (from != lead) {
                EXPECT_FALSE(Near(img, at, 3, Rgb(from))) << "segment to point " << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SegmentColourTable,
    testing::Values(
        SegmentRow{"EveryPointItsOwnColour", {clNavy, clLightRed, clOrange, clNavy, clLightRed}, 0},
        SegmentRow{"RunsOfSeveralPoints",
                   {clNavy, clNavy, clNavy, clOrange, clOrange, clLightRed, clLightRed},
                   0},
        SegmentRow{
            "FirstPointsDropped", {clNavy, clLightRed, clOrange, clOrange, clNavy, clLightRed}, 2},
        SegmentRow{"WholeFirstRunDropped", {clOrange, clOrange, clNavy, clLightRed, clNavy}, 2}),
    [](const testing::TestParamInfo<SegmentRow>& i) { return std::string(i.param.name); });

// The series as drawn, reduced to segments: from, to, colour.
using Segment = std::tuple<double, double, double, double, QRgb>;

std::vector<Segment> DrawnSegments(TPositionChart& chart) {
    std::vector<Segment> out;
    for (const TPositionChart::TRun& run : chart.Runs()) {
        const std::vector<QPointF>& pts = run.Points;
        for (std::size_t j = 1; j < pts.size(); ++j)
            out.emplace_back(pts[j - 1].x(), pts[j - 1].y(), pts[j].x(), pts[j].y(),
                             Rgb(run.Color));
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<Segment> ExpectedSegments(TPositionChart& chart) {
    std::vector<Segment> out;
    for (int i = 1; i < chart.Count(); ++i)
        out.emplace_back(chart.XAt(i - 1), chart.YAt(i - 1), chart.XAt(i), chart.YAt(i),
                         Rgb(chart.ColorAt(i)));
    std::sort(out.begin(), out.end());
    return out;
}

// Random additions, trims and clears, drawn at random moments: what is drawn
// is exactly one segment per pair of neighbours, in the later one's colour.
TEST_F(ChartAlone, DrawnSegmentsFollowEveryChange) {
    chart.resize(120, 90);  // small: it is drawn often
    std::mt19937 rng(740);
    constexpr int kCap = 9;
    double x = 0;
    TColor colour = clNavy;
    for (int op = 0; op < 1500; ++op) {
        const unsigned r = rng() % 100;
        if (r < 2) {
            chart.Clear();
        } else {
            if (rng() % 3 == 0) colour = kColours[rng() % 3];
            chart.AddPoint(x++, static_cast<double>(rng() % 50), QString(), colour);
            if (chart.Count() > kCap) chart.DeleteFirst();
        }
        if (rng() % 4 == 0) {
            Draw();
            ASSERT_EQ(DrawnSegments(chart), ExpectedSegments(chart)) << "after operation " << op;
        }
    }
}

TEST_F(ChartAlone, FramedInSilverOnWhite) {
    const QImage img = Draw();
    const QRgb silver = Rgb(clSilver);
    for (const QPoint p : {QPoint(256, 0), QPoint(256, 378), QPoint(0, 189), QPoint(512, 189)})
        EXPECT_EQ(img.pixel(p) & 0xFFFFFFu, silver) << p.x() << "," << p.y();
    EXPECT_EQ(img.pixel(3, 3) & 0xFFFFFFu, 0xFFFFFFu);
}

TEST_F(ChartAlone, ZoomHoldsWhileReadingsComeAndRightClickReturnsToAutomatic) {
    chart.show();
    for (int i = 0; i < 50; ++i) chart.AddPoint(i, i % 10, QString(), clNavy);
    Draw();
    EXPECT_EQ(chart.BottomRange().Min, 0);
    EXPECT_EQ(chart.BottomRange().Max, 49);

    QWidget* vp = &chart;
    auto send = [vp](QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
        QMouseEvent e(type, QPointF(at), vp->mapToGlobal(QPointF(at)), button, held,
                      Qt::NoModifier);
        QApplication::sendEvent(vp, &e);
    };
    // Off the grid lines, so the outline lies on white.
    const QPoint from = ToPixel(QPointF(10, 8.5)), to = ToPixel(QPointF(20, 2.5));
    send(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);

    // The zoom rectangle: a pink outline, inverted against the white beneath.
    const QImage dragging = Draw();
    const QPoint topMiddle((from.x() + to.x()) / 2, std::min(from.y(), to.y()));
    int pink = 0;
    for (int dx = -20; dx <= 20; ++dx)
        if ((dragging.pixel(topMiddle + QPoint(dx, 0)) & 0xFFFFFFu) == 0xFF0080u) ++pink;
    EXPECT_GT(pink, 30);

    send(QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
    const double zoomedMin = chart.BottomRange().Min, zoomedMax = chart.BottomRange().Max;
    EXPECT_NEAR(zoomedMin, 10, 0.5);
    EXPECT_NEAR(zoomedMax, 20, 0.5);
    for (int i = 50; i < 60; ++i) chart.AddPoint(i, i % 10, QString(), clNavy);
    Draw();
    EXPECT_EQ(chart.BottomRange().Min, zoomedMin);
    EXPECT_EQ(chart.BottomRange().Max, zoomedMax);

    send(QEvent::MouseButtonPress, to, Qt::RightButton, Qt::RightButton);
    send(QEvent::MouseButtonRelease, to, Qt::RightButton, Qt::NoButton);
    EXPECT_EQ(chart.BottomRange().Min, 0);
    EXPECT_EQ(chart.BottomRange().Max, 59);
    chart.AddPoint(60, 3, QString(), clNavy);
    Draw();
    EXPECT_EQ(chart.BottomRange().Max, 60);
}

// A line colour, as against the white, greys and silver of everything else.
bool Coloured(QRgb p) {
    return std::max({qRed(p), qGreen(p), qBlue(p)}) - std::min({qRed(p), qGreen(p), qBlue(p)}) > 40;
}

// The right axis is a fixed scale from -5 to 365: its nine ticks, 0 to 360,
// sit 45/370 of the plot's height apart, the first and last 5/370 in from
// the ends.
TEST_F(ChartAlone, RightAxisRunsFromMinus5To365) {
    for (int i = 0; i < 20; ++i) chart.AddPoint(i, 100.0 + i, QString(), clNavy);
    const QImage img = Draw();
    const QRectF plot = chart.PlotArea();
    // Just beyond the axis line, where only its ticks reach, from the top
    // of the plot area to its bottom (not into the frame).
    const int x = static_cast<int>(std::floor(plot.right())) + 2;
    const int top = static_cast<int>(plot.top()) - 2, bottom = static_cast<int>(plot.bottom()) + 2;
    std::vector<double> ticks;  // the middle of each run of tick pixels
    for (int y = top; y < bottom;) {
        if (qRed(img.pixel(x, y)) > 0xF0) {
            ++y;
            continue;
        }
        double weight = 0, sum = 0;
        for (; y < bottom && qRed(img.pixel(x, y)) <= 0xF0; ++y) {
            const double w = 0xFF - qRed(img.pixel(x, y));
            weight += w;
            sum += w * (y + 0.5);
        }
        ticks.push_back(sum / weight);
    }
    ASSERT_EQ(ticks.size(), 9u);
    const double h = plot.height();
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        const double value = 360.0 - 45.0 * static_cast<double>(i);
        EXPECT_NEAR(ticks[i], plot.bottom() - (value + 5) / 370 * h, 1.0) << "tick " << value;
    }
    EXPECT_NEAR(ticks.front() - plot.top(), 5 / 370.0 * h, 1.0) << "365 at the top";
}

// Zoomed into the middle of a zigzag, the line runs far beyond the plot
// area on every side; none of it may show outside.
TEST_F(ChartAlone, NothingIsDrawnOutsideThePlotAreaWhenZoomed) {
    chart.show();
    for (int i = 0; i < 60; ++i)
        chart.AddPoint(i, i % 2 ? 10.0 : 0.0, QString(), kColours[(i / 3) % 3]);
    Draw();
    const QPoint from = ToPixel(QPointF(20.3, 6.5)), to = ToPixel(QPointF(21.7, 3.5));
    auto send = [this](QEvent::Type type, QPoint at, Qt::MouseButton button,
                       Qt::MouseButtons held) {
        QMouseEvent e(type, QPointF(at), chart.mapToGlobal(QPointF(at)), button, held,
                      Qt::NoModifier);
        QApplication::sendEvent(&chart, &e);
    };
    send(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
    ASSERT_TRUE(chart.Zoomed());
    ASSERT_LT(chart.BottomRange().Max - chart.BottomRange().Min, 2.0);

    const QImage img = Draw();
    const QRect plot = chart.PlotArea().toAlignedRect();
    int inside = 0, outside = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (Coloured(img.pixel(x, y))) ++(plot.contains(x, y) ? inside : outside);
    EXPECT_GT(inside, 100) << "the zoomed line is not drawn";
    EXPECT_EQ(outside, 0);
}

struct NotFiniteRow {
    const char* name;
    double value;
};
void PrintTo(const NotFiniteRow& r, std::ostream* os) {
    *os << r.name;
}

class NotFiniteTable : public ChartAlone, public testing::WithParamInterface<NotFiniteRow> {};

// A position can never be such a value, but the chart must take one calmly:
// kept as a point, left out of the ranges, and not drawn, so the line has a
// gap where it is.
TEST_P(NotFiniteTable, KeptButNotDrawnAndLeftOutOfTheRanges) {
    const double bad = GetParam().value;
    const double ys[] = {1, 2, bad, 4, 5};
    for (int i = 0; i < 5; ++i) chart.AddPoint(i, ys[i], QString(), clNavy);
    ASSERT_EQ(chart.Count(), 5);
    EXPECT_EQ(std::isnan(chart.YAt(2)), std::isnan(bad));
    EXPECT_EQ(chart.LeftRange(), (TAxisRange{1, 5}));

    const QImage img = Draw();
    const QRgb navy = Rgb(clNavy);
    EXPECT_TRUE(Near(img, ToPixel(QPointF(0.5, 1.5)), 2, navy));
    EXPECT_TRUE(Near(img, ToPixel(QPointF(3.5, 4.5)), 2, navy));
    // Nothing leads to the bad point or away from it.
    for (const double t : {1.3, 1.6, 2.4, 2.7})
        for (const double y : {1.0, 2.0, 3.0, 4.0, 5.0})
            EXPECT_FALSE(Near(img, ToPixel(QPointF(t, y)), 1, navy)) << t << ", " << y;
    int coloured = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) coloured += Coloured(img.pixel(x, y));
    EXPECT_LT(coloured, 2000) << "more than two short lines";

    chart.DeleteFirst();
    chart.DeleteFirst();
    chart.DeleteFirst();  // the bad point goes, and the range follows
    EXPECT_EQ(chart.LeftRange(), (TAxisRange{4, 5}));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NotFiniteTable,
    testing::Values(NotFiniteRow{"NaN", std::numeric_limits<double>::quiet_NaN()},
                    NotFiniteRow{"PlusInfinity", std::numeric_limits<double>::infinity()},
                    NotFiniteRow{"MinusInfinity", -std::numeric_limits<double>::infinity()}),
    [](const testing::TestParamInfo<NotFiniteRow>& i) { return std::string(i.param.name); });

// The darkness of a navy line across one column of pixels, in pixels of full
// line: how wide the line is there.
double LineWidthAt(const QImage& img, int x) {
    double sum = 0;
    for (int y = 0; y < img.height(); ++y) {
        const QRgb p = img.pixel(x, y);
        if (qBlue(p) > qRed(p)) sum += (0xFF - qRed(p)) / 255.0;
    }
    return sum;
}

// All positions equal: the range opens a millimetre on either side and the
// line runs through the middle, two pixels wide, and no wider at its points
// (no markers).
TEST_F(ChartAlone, FlatLineSitsInTheMiddleTwoPixelsWide) {
    for (int i = 0; i < 10; ++i) chart.AddPoint(i, 12.5, QString(), clNavy);
    EXPECT_EQ(chart.LeftRange(), (TAxisRange{11.5, 13.5}));
    const QImage img = Draw();
    const QRectF plot = chart.PlotArea();
    const QPoint mid = ToPixel(QPointF(4.5, 12.5));
    EXPECT_NEAR(mid.y(), plot.center().y(), 1.0);
    EXPECT_TRUE(Near(img, mid, 1, Rgb(clNavy)));
    // Off the grid lines (at 0, 2, 4 ...), which would darken the measure.
    for (const double x : {3.5, 4.5, 5.5})
        EXPECT_NEAR(LineWidthAt(img, ToPixel(QPointF(x, 12.5)).x()), 2.0, 0.3) << "at " << x;
    // Where two segments meet, no wider (their flat ends leave a faint seam).
    for (const double x : {3.0, 5.0, 7.0})
        EXPECT_LE(LineWidthAt(img, ToPixel(QPointF(x, 12.5)).x()), 2.3) << "at " << x;
}

class FlatLineTable : public ChartAlone, public testing::WithParamInterface<double> {};

// Whatever the value, a flat line gets a range around it and runs through
// the middle of the plot.
TEST_P(FlatLineTable, RangeOpensAroundTheValue) {
    const double v = GetParam();
    for (int i = 0; i < 10; ++i) chart.AddPoint(i, v, QString(), clNavy);
    const TAxisRange r = chart.LeftRange();
    EXPECT_LT(r.Min, v);
    EXPECT_GT(r.Max, v);
    EXPECT_NEAR(chart.ToPixel(QPointF(4.5, v)).y(), chart.PlotArea().center().y(), 1.0);
    EXPECT_TRUE(Near(Draw(), ToPixel(QPointF(4.5, v)), 1, Rgb(clNavy)));
}

INSTANTIATE_TEST_SUITE_P(Values, FlatLineTable, testing::Values(0.0, -3.0, 1e17, -1e300));

// Ranges far beyond any position still leave room for the plot and draw the
// line: a jump from 0 to 10^9 mm, and the whole range of doubles.
TEST_F(ChartAlone, HugeRangesStillDrawTheLine) {
    const double ys[][3] = {{0, 1e9, 2e8}, {-1.7e308, 1.7e308, 0}};
    for (const auto& y : ys) {
        chart.Clear();
        for (int i = 0; i < 3; ++i) chart.AddPoint(i, y[i], QString(), clNavy);
        EXPECT_LE(chart.LeftTicks().size(), 11u);
        const QRectF plot = chart.PlotArea();
        EXPECT_GT(plot.width(), 300) << "labels wider than the plot";
        const QImage img = Draw();
        int navy = 0;
        for (int yy = 0; yy < img.height(); ++yy)
            for (int x = 0; x < img.width(); ++x)
                navy += (img.pixel(x, yy) & 0xFFFFFFu) == Rgb(clNavy);
        EXPECT_GT(navy, 100) << y[1];
    }
}

TEST_F(ChartAlone, ResizedToNothingAndBack) {
    chart.show();
    for (int i = 0; i < 30; ++i) chart.AddPoint(i, i % 5, QString(), clOrange);
    chart.resize(0, 0);
    QCoreApplication::processEvents();
    EXPECT_TRUE(chart.grab().isNull());
    chart.resize(3, 2);  // too small for a plot area
    EXPECT_FALSE(chart.grab().isNull());
    chart.resize(513, 379);
    const QImage img = Draw();
    EXPECT_EQ(img.pixel(256, 0) & 0xFFFFFFu, Rgb(clSilver));
    EXPECT_TRUE(Near(img, ToPixel(QPointF(0.5, 0.5)), 2, Rgb(clOrange)));
}

struct TicksRow {
    const char* name;
    TAxisRange range;
    std::vector<double> expected;  // empty: only checked for count and order
    std::size_t most;
};
void PrintTo(const TicksRow& r, std::ostream* os) {
    *os << r.name;
}

class AxisTicksTable : public testing::TestWithParam<TicksRow> {};

// The labels of an axis: multiples of a round step within the range, never
// more than the axis has room for, whatever the range.
TEST_P(AxisTicksTable, RoundStepsAndAFewDozenAtMost) {
    const TicksRow& row = GetParam();
    const std::vector<double> ticks = AxisTicks(row.range, 10, 1.0);
    EXPECT_LE(ticks.size(), row.most);
    if (!row.expected.empty()) {
        EXPECT_EQ(ticks, row.expected);
    }
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        EXPECT_GE(ticks[i], row.range.Min);
        EXPECT_LE(ticks[i], row.range.Max);
        if (i > 0) {
            EXPECT_GE(ticks[i], ticks[i - 1]);
        }
        // Written as a label, a negative zero would read "-0".
        EXPECT_FALSE(ticks[i] == 0 && std::signbit(ticks[i])) << "at " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AxisTicksTable,
    testing::Values(TicksRow{"Millimetres", {245.2, 247.5}, {246, 247}, 3},
                    TicksRow{"StepNeverBelowOne", {0, 0.4}, {0}, 1},
                    TicksRow{"NoWholeNumberInside", {0.2, 0.8}, {}, 0},
                    TicksRow{"FineRangeOfTen", {0, 10}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 11},
                    TicksRow{"Negative",
                             {-12345, -12000},
                             {-12300, -12250, -12200, -12150, -12100, -12050, -12000},
                             7},
                    TicksRow{"AcrossZero", {-3, 2}, {-3, -2, -1, 0, 1, 2}, 6},
                    TicksRow{"ZeroFromBelow", {-0.9, 0.7}, {0}, 1},
                    TicksRow{"JumpToAMetre", {0, 1000.49}, {0, 200, 400, 600, 800, 1000}, 6},
                    TicksRow{"JumpToAThousandKilometres", {0, 1e9}, {}, 11},
                    TicksRow{"WholeRangeOfDoubles", {-1.7e308, 1.7e308}, {}, 11},
                    TicksRow{"StepBelowTheSpacingOfDoubles", {1e17, 1e17 + 64}, {}, 22},
                    TicksRow{"NotANumber", {std::numeric_limits<double>::quiet_NaN(), 1}, {}, 0},
                    TicksRow{"Infinite", {0, std::numeric_limits<double>::infinity()}, {}, 0}),
    [](const testing::TestParamInfo<TicksRow>& i) { return std::string(i.param.name); });

// ------------------------------------------------------------ the PNG file

struct Chunk {
    std::string type;
    QByteArray data;
};

quint32 Be32(const QByteArray& b, qsizetype at) {
    return static_cast<quint32>(static_cast<uchar>(b[at])) << 24 |
           static_cast<quint32>(static_cast<uchar>(b[at + 1])) << 16 |
           static_cast<quint32>(static_cast<uchar>(b[at + 2])) << 8 | static_cast<uchar>(b[at + 3]);
}

quint32 Crc32(const QByteArray& bytes) {
    quint32 c = 0xFFFFFFFFu;
    for (const char ch : bytes) {
        c ^= static_cast<uchar>(ch);
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

// The chunks of a PNG file, each checked against its CRC.
std::vector<Chunk> ReadChunks(const QByteArray& file) {
    std::vector<Chunk> out;
    EXPECT_TRUE(file.startsWith(QByteArray("\x89PNG\r\n\x1a\n", 8))) << "no PNG signature";
    qsizetype at = 8;
    while (at + 12 <= file.size()) {
        const quint32 len = Be32(file, at);
        if (at + 12 + static_cast<qsizetype>(len) > file.size()) {
            ADD_FAILURE() << "chunk runs past the end";
            break;
        }
        const QByteArray typeAndData = file.mid(at + 4, 4 + len);
        EXPECT_EQ(Be32(file, at + 8 + len), Crc32(typeAndData)) << "CRC of chunk " << out.size();
        out.push_back({typeAndData.left(4).toStdString(), typeAndData.mid(4)});
        at += 12 + len;
    }
    EXPECT_EQ(at, file.size()) << "bytes after the last chunk";
    return out;
}

// An 8-bit value that is a 5-bit (or 6-bit) one widened by repeating its top bits.
bool Widened5(int v) {
    return v == (((v >> 3) << 3) | (v >> 5));
}
bool Widened6(int v) {
    return v == (((v >> 2) << 2) | (v >> 6));
}

// The checks of the saved file rest on how Qt widens 5/6/5 pixels to 8 bits.
TEST(Rgb565Widening, QtWidensByRepeatingTheTopBits) {
    QImage all(256, 256, QImage::Format_RGB16);
    for (int y = 0; y < 256; ++y) {
        auto* line = reinterpret_cast<quint16*>(all.scanLine(y));
        for (int x = 0; x < 256; ++x) line[x] = static_cast<quint16>(y * 256 + x);
    }
    const QImage wide = all.convertToFormat(QImage::Format_RGB888);
    std::vector<bool> seenR(256), seenG(256);
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            const int v = y * 256 + x, r5 = v >> 11, g6 = (v >> 5) & 63, b5 = v & 31;
            const QRgb p = wide.pixel(x, y);
            ASSERT_EQ(qRed(p), (r5 << 3) | (r5 >> 2)) << v;
            ASSERT_EQ(qGreen(p), (g6 << 2) | (g6 >> 4)) << v;
            ASSERT_EQ(qBlue(p), (b5 << 3) | (b5 >> 2)) << v;
            seenR[static_cast<std::size_t>(qRed(p))] = true;
            seenG[static_cast<std::size_t>(qGreen(p))] = true;
        }
    // The tests' predicates accept exactly the values Qt produces.
    for (int v = 0; v < 256; ++v) {
        EXPECT_EQ(Widened5(v), seenR[static_cast<std::size_t>(v)]) << v;
        EXPECT_EQ(Widened6(v), seenG[static_cast<std::size_t>(v)]) << v;
    }
}

class ChartSaveTest : public ChartWindowTest {
protected:
    void SetUp() override {
        ChartWindowTest::SetUp();
        ASSERT_TRUE(out.isValid());
        TColor c[] = {clNavy, clLightRed, clOrange};
        for (int i = 0; i < 40; ++i)
            Chart().AddPoint(i, 240 + (i % 9) * 0.5, QString(), c[(i / 4) % 3]);
        form->SaveDialogSlika.Executor = [this](TSaveDialog& dlg) {
            seen << dlg.FileName;
            if (answers.isEmpty()) return false;  // cancelled
            dlg.FileName = answers.takeFirst();
            return true;
        };
    }
    QString Path(const QString& name) const { return out.path() + "/" + name; }

    // X, Y and colour of every point, to see that a failed save changes none.
    std::vector<std::tuple<double, double, TColor>> Points() {
        std::vector<std::tuple<double, double, TColor>> v;
        for (int i = 0; i < Chart().Count(); ++i)
            v.emplace_back(Chart().XAt(i), Chart().YAt(i), Chart().ColorAt(i));
        return v;
    }

    QTemporaryDir out;
    QStringList answers;  // what the user picks in the dialog, in turn
    QStringList seen;     // the name the dialog opened with, each time
};

struct NameRow {
    const char* name;
    const char* typed;
    const char* saved;
};
void PrintTo(const NameRow& r, std::ostream* os) {
    *os << r.name;
}

class ChartFileNameTable : public ChartSaveTest, public testing::WithParamInterface<NameRow> {};

TEST_P(ChartFileNameTable, SavesUnderTheNameWithItsExtensionMadePng) {
    const NameRow& row = GetParam();
    ASSERT_TRUE(QDir().mkpath(QFileInfo(Path(row.typed)).absolutePath()));
    answers << Path(row.typed);
    form->btnChartPosSave->click();
    EXPECT_TRUE(QFileInfo::exists(Path(row.saved)));
    if (QString(row.typed) != row.saved) {
        EXPECT_FALSE(QFileInfo::exists(Path(row.typed)));
    }
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_TRUE(errors.isEmpty());

    // The next time the dialog opens on the name as typed, without its folder.
    form->btnChartPosSave->click();
    ASSERT_EQ(seen.size(), 2);
    EXPECT_EQ(seen[0], "");
    EXPECT_EQ(seen[1], QFileInfo(row.typed).fileName());
    EXPECT_TRUE(messages.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ChartFileNameTable,
    testing::Values(NameRow{"NoExtension", "chart", "chart.png"},
                    NameRow{"OtherExtension", "chart.jpg", "chart.png"},
                    NameRow{"DotInTheName", "my.chart", "my.png"},
                    NameRow{"AlreadyPng", "chart.png", "chart.png"},
                    NameRow{"DotOnlyInTheFolder", "run.v2/chart", "run.v2/chart.png"}),
    [](const testing::TestParamInfo<NameRow>& i) { return std::string(i.param.name); });

TEST_F(ChartSaveTest, CancelSavesNothingAndSaysNothing) {
    form->btnChartPosSave->click();
    EXPECT_EQ(QDir(out.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_TRUE(errors.isEmpty());
}

TEST_F(ChartSaveTest, FileIsAnRgbPngOfTheChartsSizeWith565Colours) {
    // Drawn although the window was never shown and the Position page is not
    // the current one.
    ASSERT_FALSE(Chart().isVisible());
    ASSERT_TRUE(SaveChartAsPng(form->chartPosition, Path("snap.bmp")));
    QFile f(Path("snap.png"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    const std::vector<Chunk> chunks = ReadChunks(bytes);
    ASSERT_GE(chunks.size(), 3u);

    ASSERT_EQ(chunks.front().type, "IHDR");
    const QByteArray& ihdr = chunks.front().data;
    ASSERT_EQ(ihdr.size(), 13);
    EXPECT_EQ(Be32(ihdr, 0), static_cast<quint32>(Chart().width()));
    EXPECT_EQ(Be32(ihdr, 4), static_cast<quint32>(Chart().height()));
    EXPECT_EQ(Chart().size(), QSize(513, 379));
    EXPECT_EQ(ihdr[8], 8) << "bit depth";
    EXPECT_EQ(ihdr[9], 2) << "colour type";
    EXPECT_EQ(ihdr[10], 0) << "compression";
    EXPECT_EQ(ihdr[11], 0) << "filter method";
    EXPECT_EQ(ihdr[12], 0) << "interlace";
    EXPECT_EQ(chunks.back().type, "IEND");
    int idat = 0;
    for (const Chunk& c : chunks) {
        EXPECT_NE(c.type, "PLTE");
        EXPECT_NE(c.type, "tRNS");
        if (c.type == "IDAT") ++idat;
    }
    EXPECT_GT(idat, 0);

    const QImage img = QImage::fromData(bytes, "PNG");
    ASSERT_FALSE(img.isNull());
    ASSERT_EQ(img.size(), Chart().size());
    EXPECT_FALSE(img.hasAlphaChannel());
    int bad = 0;
    std::map<QRgb, int> colours;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QRgb p = img.pixel(x, y);
            if (!Widened5(qRed(p)) || !Widened6(qGreen(p)) || !Widened5(qBlue(p))) ++bad;
            ++colours[p & 0xFFFFFFu];
        }
    EXPECT_EQ(bad, 0) << "pixels with more than 5/6/5 bits";
    // A picture of the chart, not a blank: the line colours are in it,
    // reduced to 5/6/5 (navy 0x800000 is 0, 0, 132 after widening).
    EXPECT_GT(colours[0xFFFFFFu], img.width() * img.height() / 2);
    EXPECT_GT(colours[qRgb(0, 0, 132) & 0xFFFFFFu], 20);
}

TEST_F(ChartSaveTest, SnapshotTakesTheControlsSizeWhateverItIs) {
    Chart().resize(300, 200);
    ASSERT_TRUE(SaveChartAsPng(form->chartPosition, Path("small")));
    const QImage img(Path("small.png"));
    EXPECT_EQ(img.size(), QSize(300, 200));
}

struct UnwritableRow {
    const char* name;
    const char* typed;  // under the temporary folder, which holds a file "file"
    int errnum;
};
void PrintTo(const UnwritableRow& r, std::ostream* os) {
    *os << r.name;
}

class ChartUnwritableTable : public ChartSaveTest,
                             public testing::WithParamInterface<UnwritableRow> {};

// The write raises an error: the application's error box names the file and
// the system's reason; neither message box appears; the chart stays as it was.
TEST_P(ChartUnwritableTable, ReportsTheSystemsReasonAndChangesNothing) {
    const UnwritableRow& row = GetParam();
    QFile blocker(Path("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const auto before = Points();
    const std::uint32_t timeBefore = form->ChartTime;
    answers << Path(row.typed);
    form->btnChartPosSave->click();

    ASSERT_EQ(errors.size(), 1);
    const QString png = QDir::toNativeSeparators(ChangeFileExt(Path(row.typed), ".png"));
    EXPECT_TRUE(errors[0].contains(png)) << errors[0].toStdString();
    EXPECT_TRUE(errors[0].contains(QString::fromLocal8Bit(std::strerror(row.errnum))))
        << errors[0].toStdString();
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_EQ(Points(), before);
    EXPECT_EQ(form->ChartTime, timeBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ChartUnwritableTable,
    testing::Values(UnwritableRow{"FolderMissing", "no/such/folder/chart", ENOENT},
                    UnwritableRow{"ParentIsAFile", "file/chart", ENOTDIR}),
    [](const testing::TestParamInfo<UnwritableRow>& i) { return std::string(i.param.name); });

struct WriteFailRow {
    const char* name;
    bool diskFull;  // else a file size limit cuts the file off
    int errnum;
};
void PrintTo(const WriteFailRow& r, std::ostream* os) {
    *os << r.name;
}

class ChartWriteFailTable : public ChartSaveTest,
                            public testing::WithParamInterface<WriteFailRow> {};

// The file is created but the image does not fit: reported like a file that
// cannot be created, and no cut-off image is left looking like a saved one.
TEST_P(ChartWriteFailTable, ReportsTheReasonAndLeavesNoCutOffFile) {
    const WriteFailRow& row = GetParam();
    const QString name = Path("cut.png");
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    if (row.diskFull) {
        ASSERT_EQ(::symlink("/dev/full", name.toLocal8Bit().constData()), 0);
    } else {
        std::signal(SIGXFSZ, SIG_IGN);  // the write fails instead of ending the process
        rlimit small = saved;
        small.rlim_cur = 1000;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    answers << name;
    form->btnChartPosSave->click();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_DFL);

    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains(QDir::toNativeSeparators(name))) << errors[0].toStdString();
    EXPECT_TRUE(errors[0].contains(QString::fromLocal8Bit(std::strerror(row.errnum))))
        << errors[0].toStdString();
    EXPECT_TRUE(messages.isEmpty());
    if (!row.diskFull) {
        EXPECT_FALSE(QFileInfo::exists(name));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ChartWriteFailTable,
                         testing::Values(WriteFailRow{"DiskFull", true, ENOSPC},
                                         WriteFailRow{"FileSizeLimit", false, EFBIG}),
                         [](const testing::TestParamInfo<WriteFailRow>& i) {
                             return std::string(i.param.name);
                         });

// A file that is gone once written: both message boxes, in order. The name is
// a FIFO whose reader deletes it while the image is still being written; a
// pipe of one page holds the writer back until then.
TEST_F(ChartSaveTest, FileGoneAfterTheWriteShowsBothMessagesInOrder) {
    const QByteArray fifo = Path("gone.png").toLocal8Bit();
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    const int rd = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(rd, 0);
    const int capacity = ::fcntl(rd, F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);

    QByteArray received;
    std::thread reader([&] {
        pollfd p{rd, POLLIN, 0};
        ::poll(&p, 1, 20000);  // the writer's first bytes
        ::unlink(fifo.constData());
        ::fcntl(rd, F_SETFL, ::fcntl(rd, F_GETFL) & ~O_NONBLOCK);
        char buf[4096];
        for (ssize_t got; (got = ::read(rd, buf, sizeof buf)) > 0;) received.append(buf, got);
    });
    answers << Path("gone.png");
    form->btnChartPosSave->click();
    reader.join();
    ::close(rd);

    // Larger than the pipe, so the writer was still at it when the name went.
    ASSERT_GT(received.size(), capacity);
    EXPECT_TRUE(received.startsWith("\x89PNG"));
    EXPECT_EQ(messages, QStringList({"Shranjevanje PNG slike ni bilo uspešno!",
                                     "Error while saving chart image!"}));
    EXPECT_TRUE(errors.isEmpty());
}

}  // namespace
