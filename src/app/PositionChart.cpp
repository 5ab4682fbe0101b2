#include "app/PositionChart.h"

#include <QChart>
#include <QFont>
#include <QGraphicsLayout>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QRubberBand>
#include <QValueAxis>
#include <cmath>
#include <deque>
#include <functional>
#include <stdexcept>
#include <vector>

namespace {

constexpr TColor kZoomPen = 0x8000FF;  // pink
constexpr int kLineWidth = 2;

QPen LinePen(TColor color) {
    return QPen(ToQColor(color), kLineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
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

}  // namespace

struct TPositionChart::Impl {
    struct Point {
        double x, y;
        TColor color;
    };
    // A run of points of one colour. Every run but the first also holds the
    // last point of the run before it, so its first segment leads from there
    // and the line stays continuous across colour changes.
    struct Run {
        QLineSeries* series;
        TColor color;
        int own;  // points of this run, without the borrowed one
    };

    QChart* chart = nullptr;
    QValueAxis* axisX = nullptr;
    QValueAxis* axisY = nullptr;
    QValueAxis* axisRight = nullptr;
    QRubberBand* rubberBand = nullptr;

    std::deque<Point> points;  // the truth; the series only draw it
    std::deque<Run> runs;
    std::vector<QLineSeries*> spare;  // emptied series kept for the next run
    WindowExtreme<std::less<double>> minX, minY;
    WindowExtreme<std::greater<double>> maxX, maxY;
    // While the user has zoomed in, the view is his and the automatic ranges
    // wait until he zooms out again.
    bool zoomed = false;

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

    void ReleaseSeries(QLineSeries* s) {
        s->clear();
        spare.push_back(s);
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
        if (axisX->min() != x0 || axisX->max() != x1) axisX->setRange(x0, x1);
        if (axisY->min() != y0 || axisY->max() != y1) axisY->setRange(y0, y1);
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
    c->setBackgroundPen(QPen(ToQColor(clSilver), 1));
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
    connect(d->axisX, &QValueAxis::rangeChanged, this, retune(d->axisX, 8));
    connect(d->axisY, &QValueAxis::rangeChanged, this, retune(d->axisY, 10));
    d->axisX->setTickInterval(1);
    d->axisY->setTickInterval(1);
    d->ApplyRanges();

    setRubberBand(QChartView::RectangleRubberBand);
    // Qt draws its own rubber band in the style's colours; the zoom rectangle
    // is a pink outline inverted against what lies beneath.
    d->rubberBand = viewport()->findChild<QRubberBand*>();
    if (!d->rubberBand) d->rubberBand = findChild<QRubberBand*>();
    if (d->rubberBand) d->rubberBand->installEventFilter(this);
}

TPositionChart::~TPositionChart() = default;

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

void TPositionChart::mouseReleaseEvent(QMouseEvent* event) {
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

void TPositionChart::AddPoint(double x, double y, TColor color) {
    const bool continues = !d->runs.empty() && d->runs.back().color == color;
    if (continues) {
        d->runs.back().series->append(x, y);
        ++d->runs.back().own;
    } else {
        QLineSeries* s = d->TakeSeries(color);
        if (d->points.empty()) {
            s->append(x, y);
        } else {
            const Impl::Point& last = d->points.back();
            s->replace(QList<QPointF>{QPointF(last.x, last.y), QPointF(x, y)});
        }
        d->runs.push_back({s, color, 1});
    }
    d->points.push_back({x, y, color});
    d->minX.Push(x);
    d->maxX.Push(x);
    d->minY.Push(y);
    d->maxY.Push(y);
    d->ApplyRanges();
}

int TPositionChart::Count() const { return static_cast<int>(d->points.size()); }

void TPositionChart::DeleteFirst() {
    if (d->points.empty()) return;
    const Impl::Point gone = d->points.front();
    d->points.pop_front();
    d->minX.Pop(gone.x);
    d->maxX.Pop(gone.x);
    d->minY.Pop(gone.y);
    d->maxY.Pop(gone.y);
    Impl::Run& first = d->runs.front();
    if (first.own > 1) {
        first.series->remove(0);
        --first.own;
    } else {
        d->ReleaseSeries(first.series);
        d->runs.pop_front();
        // The next run borrowed the point just deleted; no segment leads to
        // what is now the first point.
        if (!d->runs.empty()) d->runs.front().series->remove(0);
    }
    d->ApplyRanges();
}

void TPositionChart::Clear() {
    for (const Impl::Run& r : d->runs) d->ReleaseSeries(r.series);
    d->runs.clear();
    d->points.clear();
    d->minX.Clear();
    d->maxX.Clear();
    d->minY.Clear();
    d->maxY.Clear();
    d->ApplyRanges();
}

double TPositionChart::XAt(int i) const { return d->points.at(static_cast<std::size_t>(i)).x; }
double TPositionChart::YAt(int i) const { return d->points.at(static_cast<std::size_t>(i)).y; }
TColor TPositionChart::ColorAt(int i) const { return d->points.at(static_cast<std::size_t>(i)).color; }
