#include "app/PositionChart.h"

#include <QChart>
#include <QFont>
#include <QGraphicsLayout>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QRubberBand>
#include <QTimer>
#include <QValueAxis>
#include <cmath>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "platform/Clock.h"

namespace {

constexpr TColor kZoomPen = 0x8000FF;  // pink
constexpr int kLineWidth = 2;
// The series follow the points at this pace at most, however fast readings
// come: a chart frame (series and ranges brought up to date, then drawn) costs
// more than several readings, and twenty frames a second show all there is to
// see of a line that moves on by hundreds of points a second. Readings at the
// default interval, 70 ms, still get a frame each, drawn at once.
constexpr int kFrameMs = 50;

// Flat ends and bevelled corners: a 2-pixel line looks the same with round
// ones, which cost the chart's drawing two to three times as much.
QPen LinePen(TColor color) {
    return QPen(ToQColor(color), kLineWidth, Qt::SolidLine, Qt::FlatCap, Qt::BevelJoin);
}

// Minimum or maximum of a window that grows at the back and shrinks at the
// front, in amortised constant time: a point that can never again be the
// extreme is dropped as soon as a better one arrives behind it.
template <class Better>
class WindowExtreme {
public:
    void Push(double v) {
        if (!std::isfinite(v)) return;
        while (!q_.empty() && Better()(v, q_.back())) q_.pop_back();
        q_.push_back(v);
    }
    void Pop(double v) {
        if (!q_.empty() && q_.front() == v) q_.pop_front();
    }
    void Clear() { q_.clear(); }
    bool Empty() const { return q_.empty(); }
    double Value() const { return q_.front(); }

private:
    std::deque<double> q_;
};

// The smallest step of 1, 2 or 5 times a power of ten that gives at most
// about `labels` labels over `span`, and never less than `minStep`.
double LabelStep(double span, int labels, double minStep) {
    if (!(span > 0) || !std::isfinite(span)) return minStep;
    const double raw = span / labels;
    const double decade = std::pow(10.0, std::floor(std::log10(raw)));
    double step = decade * 10;
    for (const double m : {1.0, 2.0, 5.0})
        if (decade * m >= raw) {
            step = decade * m;
            break;
        }
    return std::max(step, minStep);
}

// How many labels each axis shows at most.
constexpr int kLabelsX = 8;
constexpr int kLabelsY = 10;

// Gives the axis a new range. Its label step follows the range (see retune in
// the constructor), but only after the range has changed: a range that grows
// from a few millimetres to hundreds would first be laid out with the old,
// fine step, thousands of labels for an instant, a spike of processor time
// and memory. So the step grows first.
void SetRange(QValueAxis* axis, double lo, double hi, int labels) {
    const double step = LabelStep(hi - lo, labels, 1.0);
    if (step > axis->tickInterval()) axis->setTickInterval(step);
    axis->setRange(lo, hi);
}

}  // namespace

struct TPositionChart::Impl {
    struct Point {
        double x, y;
        TColor color;
    };
    // A run of points of one colour, drawn by one series. Every run but the
    // first also draws from the last point of the run before it, so its first
    // segment leads from there and the line stays continuous.
    struct Run {
        TColor color;
        std::int64_t begin, end;  // its own points, as serial numbers
        QLineSeries* series = nullptr;
        bool dirty = true;
    };

    QChart* chart = nullptr;
    QValueAxis* axisX = nullptr;
    QValueAxis* axisY = nullptr;
    QValueAxis* axisRight = nullptr;
    QRubberBand* rubberBand = nullptr;
    QTimer frame;
    std::uint64_t lastSyncUs = 0;  // platform clock

    // The truth. Points carry serial numbers: the front one is `first`.
    std::deque<Point> points;
    std::int64_t first = 0;
    std::deque<Run> runs;
    WindowExtreme<std::less<double>> minX, minY;
    WindowExtreme<std::greater<double>> maxX, maxY;

    // Every change of a series' points makes the chart recompute the whole
    // path of that series, and every change of a range does so for all of
    // them. So the series follow the points at most once a frame, and only
    // the runs that changed are given their points again.
    bool pending = false;
    std::vector<QLineSeries*> released;  // still to be emptied
    std::vector<QLineSeries*> spare;     // empty, ready for the next run
    // While the user has zoomed in, the view is his and the automatic ranges
    // wait until he zooms out again.
    bool zoomed = false;

    const Point& At(std::int64_t serial) const {
        return points[static_cast<std::size_t>(serial - first)];
    }

    QLineSeries* TakeSeries(TColor color) {
        QLineSeries* s;
        if (!spare.empty()) {
            s = spare.back();
            spare.pop_back();
        } else {
            s = new QLineSeries(chart);
            s->setPointsVisible(false);
            chart->addSeries(s);
            s->attachAxis(axisX);
            s->attachAxis(axisY);
        }
        const QPen pen = LinePen(color);
        if (s->pen() != pen) s->setPen(pen);
        return s;
    }

    void Release(Run& r) {
        if (r.series) released.push_back(r.series);
        r.series = nullptr;
    }

    void Sync() {
        if (!pending) return;
        pending = false;
        lastSyncUs = platform::TickUs();
        for (QLineSeries* s : released) {
            s->clear();
            spare.push_back(s);
        }
        released.clear();
        QList<QPointF> list;
        for (Run& r : runs) {
            if (!r.dirty) continue;
            r.dirty = false;
            if (!r.series) r.series = TakeSeries(r.color);
            list.clear();
            for (std::int64_t i = std::max(r.begin - 1, first); i < r.end; ++i) {
                const Point& p = At(i);
                list.append(QPointF(p.x, p.y));
            }
            r.series->replace(list);
        }
        ApplyRanges();
    }

    void ApplyRanges() {
        if (zoomed) return;
        double x0 = 0, x1 = 1, y0 = 0, y1 = 1;
        if (!minX.Empty() && !maxX.Empty()) {
            x0 = minX.Value();
            x1 = maxX.Value();
            if (x1 <= x0) x1 = x0 + 1;
        }
        if (!minY.Empty() && !maxY.Empty()) {
            y0 = minY.Value();
            y1 = maxY.Value();
            // A flat line sits in the middle instead of on the frame.
            if (y1 <= y0) {
                y0 -= 1;
                y1 += 1;
            }
        }
        if (axisX->min() != x0 || axisX->max() != x1) SetRange(axisX, x0, x1, kLabelsX);
        if (axisY->min() != y0 || axisY->max() != y1) SetRange(axisY, y0, y1, kLabelsY);
    }
};

TPositionChart::TPositionChart(QWidget* parent) : QChartView(new QChart, parent), d(new Impl) {
    d->chart = chart();
    QChart* c = d->chart;
    c->legend()->hide();
    c->setTitle(QString());
    c->setAnimationOptions(QChart::NoAnimation);
    c->setDropShadowEnabled(false);
    c->setBackgroundRoundness(0);
    c->setBackgroundBrush(Qt::white);
    // Two pixels on the edge, so one full pixel of it lies inside the control.
    c->setBackgroundPen(QPen(ToQColor(clSilver), 2));
    c->layout()->setContentsMargins(0, 0, 0, 0);
    c->setMargins(QMargins(6, 10, 6, 6));
    setFrameShape(QFrame::NoFrame);
    setBackgroundBrush(Qt::white);
    setRenderHint(QPainter::Antialiasing, true);

    d->axisX = new QValueAxis(c);
    d->axisY = new QValueAxis(c);
    d->axisRight = new QValueAxis(c);
    for (QValueAxis* a : {d->axisX, d->axisY, d->axisRight}) {
        a->setTickType(QValueAxis::TicksDynamic);
        a->setTickAnchor(0);
        a->setLabelFormat(QStringLiteral("%.0f"));
        a->setMinorTickCount(0);
    }
    QFont small(QStringLiteral("Small Fonts"));
    small.setPixelSize(9);
    d->axisY->setLabelsFont(small);
    c->addAxis(d->axisX, Qt::AlignBottom);
    c->addAxis(d->axisY, Qt::AlignLeft);
    c->addAxis(d->axisRight, Qt::AlignRight);
    // A fixed scale with nothing on it; its grid would only compete with the
    // left axis' grid.
    d->axisRight->setRange(-5, 365);
    d->axisRight->setTickInterval(45);
    d->axisRight->setGridLineVisible(false);

    // Labels follow the range, also a zoomed one, at steps of at least 1.
    auto retune = [](QValueAxis* axis, int labels) {
        return [axis, labels](qreal min, qreal max) {
            const double step = LabelStep(max - min, labels, 1.0);
            if (axis->tickInterval() != step) axis->setTickInterval(step);
        };
    };
    connect(d->axisX, &QValueAxis::rangeChanged, this, retune(d->axisX, kLabelsX));
    connect(d->axisY, &QValueAxis::rangeChanged, this, retune(d->axisY, kLabelsY));
    d->axisX->setTickInterval(1);
    d->axisY->setTickInterval(1);
    d->ApplyRanges();

    d->frame.setSingleShot(true);
    connect(&d->frame, &QTimer::timeout, this, [this] {
        // A hidden chart catches up when it is shown again.
        if (isVisible()) d->Sync();
    });

    setRubberBand(QChartView::RectangleRubberBand);
    // Qt draws its own rubber band in the style's colours; the zoom rectangle
    // is a pink outline inverted against what lies beneath.
    d->rubberBand = findChild<QRubberBand*>();
    if (d->rubberBand) d->rubberBand->installEventFilter(this);
}

TPositionChart::~TPositionChart() {
    // The band outlives this part of the object; it must not call back here.
    if (d->rubberBand) d->rubberBand->removeEventFilter(this);
}

bool TPositionChart::eventFilter(QObject* watched, QEvent* event) {
    if (watched == d->rubberBand && event->type() == QEvent::Paint) {
        QPainter p(d->rubberBand);
        p.setCompositionMode(QPainter::RasterOp_NotSourceXorDestination);
        p.setPen(QPen(ToQColor(kZoomPen), 1));
        p.setBrush(Qt::NoBrush);
        p.drawRect(d->rubberBand->rect().adjusted(0, 0, -1, -1));
        return true;
    }
    return QChartView::eventFilter(watched, event);
}

void TPositionChart::CatchUp() {
    d->Sync();
}

void TPositionChart::mousePressEvent(QMouseEvent* event) {
    d->Sync();  // zooming works on the ranges the user sees
    QChartView::mousePressEvent(event);
}

void TPositionChart::mouseReleaseEvent(QMouseEvent* event) {
    d->Sync();
    // Zooming out goes all the way back to the automatic ranges; stepping out
    // by halves would leave a stale, frozen view while readings move on.
    if (event->button() == Qt::RightButton && rubberBand() != QChartView::NoRubberBand) {
        d->chart->zoomReset();
        d->zoomed = false;
        d->ApplyRanges();
        event->accept();
        return;
    }
    QChartView::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && d->chart->isZoomed()) d->zoomed = true;
}

void TPositionChart::Changed() {
    d->pending = true;
    if (d->frame.isActive()) return;
    // The first change after a quiet spell is drawn at once (after the
    // running tick), later ones wait for the rest of the frame.
    const std::uint64_t sinceMs = (platform::TickUs() - d->lastSyncUs) / 1000u;
    d->frame.start(sinceMs >= kFrameMs ? 0 : static_cast<int>(kFrameMs - sinceMs));
}

void TPositionChart::showEvent(QShowEvent* event) {
    QChartView::showEvent(event);
    // Points added while hidden were not drawn; they are due now.
    if (d->pending && !d->frame.isActive()) d->frame.start(0);
}

void TPositionChart::AddPoint(double x, double y, TColor color) {
    const std::int64_t serial = d->first + static_cast<std::int64_t>(d->points.size());
    d->points.push_back({x, y, color});
    if (!d->runs.empty() && d->runs.back().color == color) {
        ++d->runs.back().end;
        d->runs.back().dirty = true;
    } else {
        d->runs.push_back({color, serial, serial + 1});
    }
    d->minX.Push(x);
    d->maxX.Push(x);
    d->minY.Push(y);
    d->maxY.Push(y);
    Changed();
}

int TPositionChart::Count() const {
    return static_cast<int>(d->points.size());
}

void TPositionChart::DeleteFirst() {
    if (d->points.empty()) return;
    const Impl::Point gone = d->points.front();
    d->points.pop_front();
    ++d->first;
    d->minX.Pop(gone.x);
    d->maxX.Pop(gone.x);
    d->minY.Pop(gone.y);
    d->maxY.Pop(gone.y);
    if (d->runs.front().end <= d->first) {
        d->Release(d->runs.front());
        d->runs.pop_front();
    }
    // The front run lost its first point, or the point it borrowed: no
    // segment leads to what is now the first point.
    if (!d->runs.empty()) d->runs.front().dirty = true;
    Changed();
}

void TPositionChart::Clear() {
    for (Impl::Run& r : d->runs) d->Release(r);
    d->runs.clear();
    d->first += static_cast<std::int64_t>(d->points.size());
    d->points.clear();
    d->minX.Clear();
    d->maxX.Clear();
    d->minY.Clear();
    d->maxY.Clear();
    Changed();
}

double TPositionChart::XAt(int i) const {
    return d->points.at(static_cast<std::size_t>(i)).x;
}
double TPositionChart::YAt(int i) const {
    return d->points.at(static_cast<std::size_t>(i)).y;
}
TColor TPositionChart::ColorAt(int i) const {
    return d->points.at(static_cast<std::size_t>(i)).color;
}
