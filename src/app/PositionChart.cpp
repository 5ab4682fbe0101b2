#include "app/PositionChart.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLineF>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPen>
#include <QStaticText>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <functional>
#include <numbers>
#include <unordered_map>

namespace {

// How many labels the two automatic axes show at most.
constexpr int kLabelsX = 8;
constexpr int kLabelsY = 10;
// The right axis: a fixed scale with nothing plotted on it.
constexpr TAxisRange kRightRange{-5, 365};
constexpr double kRightStep = 45;

// The look, in logical pixels and 0x00BBGGRR colours where the design gives
// them, in the chart component's light colours elsewhere.
constexpr TColor kZoomPen = 0x8000FF;  // pink
constexpr qreal kLineWidth = 2;
// How far from a straight line a point may be and still be drawn as part of
// it, in pixels: well under what anti-aliasing shows.
constexpr qreal kStraightTolerance = 0.05;
constexpr qreal kMarginLeft = 6, kMarginTop = 10, kMarginRight = 6, kMarginBottom = 6;
constexpr qreal kTickLength = 5;
// Between the labels and the edge of an axis' strip: the labels sit next to
// the ticks, and the strip is this much wider.
constexpr qreal kLabelPad = 3;
// A vertical axis is never narrower than this, labels and ticks included.
constexpr qreal kMinAxisWidth = 14.5;
const QColor kGridColour(0xE2, 0xE2, 0xE2);
const QColor kAxisColour(0xD6, 0xD6, 0xD6);
const QColor kLabelColour(0x40, 0x40, 0x44);

// The labels of one font, laid out once: an axis shows the same numbers
// again and again, and laying out a text costs several times as much as
// drawing one that is laid out.
class LabelCache {
public:
    struct Entry {
        QStaticText text;
        qreal width;
    };
    explicit LabelCache(const QFont& font) : font_(font), metrics_(font) {}
    const QFont& Font() const { return font_; }
    // The height of a label's box: the font's line, to the next whole pixel.
    qreal Height() const { return std::ceil(metrics_.height()); }
    Entry Get(double value) {
        // Whole numbers; beyond any position, in exponent form, so that no
        // label is hundreds of digits wide and leaves no room for the plot.
        const QString text = std::abs(value) < 1e15 ? QString::number(value, 'f', 0)
                                                    : QString::number(value, 'g', 6);
        auto it = entries_.find(text);
        if (it != entries_.end()) return it->second;
        // A long run over ever new ranges does not pile labels up.
        if (entries_.size() >= 1000) entries_.clear();
        QStaticText st(text);
        st.setTextFormat(Qt::PlainText);
        return entries_.emplace(text, Entry{st, metrics_.horizontalAdvance(text)}).first->second;
    }

private:
    struct Hash {
        std::size_t operator()(const QString& s) const { return qHash(s); }
    };
    QFont font_;
    QFontMetricsF metrics_;
    std::unordered_map<QString, Entry, Hash> entries_;
};

// The smallest step of 1, 2 or 5 times a power of ten that gives at most
// about `labels` labels over the range, and never less than `minStep`.
double LabelStep(TAxisRange r, int labels, double minStep) {
    // Halves, so that the span of two huge values of opposite sign does not
    // overflow.
    const double halfSpan = r.Max / 2 - r.Min / 2;
    if (!(halfSpan > 0) || !std::isfinite(halfSpan)) return minStep;
    const double raw = halfSpan / labels * 2;
    const double decade = std::pow(10.0, std::floor(std::log10(raw)));
    double step = decade * 10;
    for (const double m : {1.0, 2.0, 5.0})
        if (decade * m >= raw) {
            step = decade * m;
            break;
        }
    return std::max(step, minStep);
}

// Where `v` falls between the ends of `r`, from 0 to 1; halves again keep
// huge ranges from overflowing.
double Fraction(TAxisRange r, double v) {
    return (v / 2 - r.Min / 2) / (r.Max / 2 - r.Min / 2);
}

QPen LinePen(TColor color) {
    // Flat ends: segments meet end to end, as the chart component drew them;
    // round ends cost several times as much to draw.
    return QPen(ToQColor(color), kLineWidth, Qt::SolidLine, Qt::FlatCap, Qt::BevelJoin);
}

// Cuts the segment a-b down to the part inside `r`. Returns false when no
// part is inside; says which ends were moved.
bool ClipSegment(const QRectF& r, QPointF& a, QPointF& b, bool& movedA, bool& movedB) {
    movedA = movedB = false;
    if (r.contains(a) && r.contains(b)) return true;
    const double dx = b.x() - a.x(), dy = b.y() - a.y();
    double t0 = 0, t1 = 1;
    // One edge: p is the rate at which the segment leaves the inside across
    // it, q how far inside a is.
    auto edge = [&t0, &t1](double p, double q) {
        if (p == 0) return q >= 0;
        const double t = q / p;
        if (p < 0) {
            if (t > t1) return false;
            t0 = std::max(t0, t);
        } else {
            if (t < t0) return false;
            t1 = std::min(t1, t);
        }
        return true;
    };
    if (!edge(-dx, a.x() - r.left()) || !edge(dx, r.right() - a.x()) ||
        !edge(-dy, a.y() - r.top()) || !edge(dy, r.bottom() - a.y()))
        return false;
    const QPointF from = a;
    if (t1 < 1) {
        b = from + t1 * QPointF(dx, dy);
        movedB = true;
    }
    if (t0 > 0) {
        a = from + t0 * QPointF(dx, dy);
        movedA = true;
    }
    return true;
}

// A line one pixel wide, across or up and down, in a shade of grey, with
// square ends (half a pixel beyond each end).
struct Hairline {
    QPointF from, to;
    int grey;
};

// Draws `lines` into `image` in turn, each over the greys already there, as
// an anti-aliased pen draws them, but pixel by pixel with their coverage of
// each device pixel worked out here: drawn by Qt, a line costs tens of
// instructions a row or a span, and the background has dozens of them.
// `image` is of format RGB32 and grey where the lines go.
void DrawHairlines(QImage& image, const std::vector<Hairline>& lines) {
    const qreal dpr = image.devicePixelRatio();
    // How much of each device pixel from `first` on the stretch from `a` to
    // `b` covers, in 1/256.
    struct Coverage {
        int first = 0;
        std::vector<int> of;
    };
    auto coverage = [dpr](qreal a, qreal b, int size) {
        Coverage c;
        const qreal from = a * dpr, to = b * dpr;
        c.first = std::max(0, static_cast<int>(std::floor(from)));
        const int last = std::min(size - 1, static_cast<int>(std::ceil(to)) - 1);
        for (int i = c.first; i <= last; ++i)
            c.of.push_back(qRound((std::min(i + 1.0, to) - std::max(qreal(i), from)) * 256));
        return c;
    };
    uchar* const bits = image.bits();  // once: scanLine() checks for sharing every time
    const qsizetype stride = image.bytesPerLine();
    for (const Hairline& h : lines) {
        const qreal x0 = std::min(h.from.x(), h.to.x()), x1 = std::max(h.from.x(), h.to.x());
        const qreal y0 = std::min(h.from.y(), h.to.y()), y1 = std::max(h.from.y(), h.to.y());
        const Coverage xs = coverage(x0 - 0.5, x1 + 0.5, image.width());
        const Coverage ys = coverage(y0 - 0.5, y1 + 0.5, image.height());
        const int* const cx = xs.of.data();
        const int n = static_cast<int>(xs.of.size());
        for (std::size_t j = 0; j < ys.of.size(); ++j) {
            const int cy = ys.of[j];
            auto* row =
                reinterpret_cast<QRgb*>(bits + (ys.first + static_cast<qsizetype>(j)) * stride) +
                xs.first;
            for (int i = 0; i < n; ++i) {
                // Grey, so any channel is the shade; in 1/65536 of a pixel.
                const int v = static_cast<int>(row[i] & 0xFF);
                const int g = v + (((h.grey - v) * cx[i] * cy + 32768) >> 16);
                row[i] = 0xFF000000u | static_cast<QRgb>(g) * 0x010101u;
            }
        }
    }
}

// Appends to `out` the segments of the polyline `pts`, a stretch of points
// that lie within `tolerance` of one straight line taken as one segment: a
// line that moves steadily, or stands still, is drawn as a few long segments
// instead of hundreds of short ones, each of which costs Qt as much to set up
// as to fill. Assumes the points run from left to right.
void AppendSegments(const std::vector<QPointF>& pts, qreal tolerance, std::vector<QLineF>& out) {
    std::size_t from = 0;
    while (from + 1 < pts.size()) {
        const QPointF s = pts[from];
        // The directions from s that pass close enough to every point so far.
        qreal lo = -std::numbers::pi, hi = std::numbers::pi;
        std::size_t to = from + 1;
        for (std::size_t j = from + 1; j < pts.size(); ++j) {
            const QPointF d = pts[j] - s;
            const qreal dist = std::hypot(d.x(), d.y());
            if (!(d.x() > 0) || dist <= tolerance) {
                if (j == from + 1) to = j;
                break;
            }
            const qreal angle = std::atan2(d.y(), d.x());
            if (angle < lo || angle > hi) break;
            to = j;
            const qreal halfWidth = std::asin(tolerance / dist);
            lo = std::max(lo, angle - halfWidth);
            hi = std::min(hi, angle + halfWidth);
        }
        out.emplace_back(s, pts[to]);
        from = to;
    }
}

// Minimum or maximum of a window that grows at the back and shrinks at the
// front, in amortised constant time: a value that can never again be the
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

}  // namespace

std::vector<double> AxisTicks(TAxisRange range, int labels, double minStep) {
    std::vector<double> ticks;
    if (!std::isfinite(range.Min) || !std::isfinite(range.Max) || range.Max < range.Min)
        return ticks;
    const double step = LabelStep(range, labels, minStep);
    if (!(step > 0) || !std::isfinite(step)) return ticks;
    // Counted as multiples of the step, never by adding it up: near huge
    // values a step can be smaller than the spacing of doubles.
    const double first = std::ceil(range.Min / step), last = std::floor(range.Max / step);
    if (!(last - first < 2.0 * labels + 2)) return ticks;
    // Counted with an integer: beyond 2^53 adding 1 to a double changes
    // nothing. Adding 0 turns the negative zero of ceil(-0.5) into a plain
    // one, which a label writes as "0", not "-0".
    const int count = static_cast<int>(last - first) + 1;
    for (int i = 0; i < count; ++i) ticks.push_back((first + i) * step + 0.0);
    return ticks;
}

// ------------------------------------------------------------------ layout

struct TPositionChart::Impl {
    struct Point {
        double x, y;
        TColor color;
        QString label;
    };
    struct Label {
        double value;
        QStaticText text;
        qreal width;
    };
    // Where everything goes at one size and for one pair of ranges.
    struct Layout {
        QSizeF size;
        TAxisRange x, y;
        QRectF plot;
        std::vector<Label> left, bottom, right;
        std::uint64_t generation = 0;

        bool Valid() const { return plot.width() > 0 && plot.height() > 0; }
        qreal X(double v) const { return plot.left() + Fraction(x, v) * plot.width(); }
        qreal Y(double v) const { return plot.bottom() - Fraction(y, v) * plot.height(); }
        qreal RightY(double v) const {
            return plot.bottom() - Fraction(kRightRange, v) * plot.height();
        }
    };

    std::deque<Point> points;
    WindowExtreme<std::less<double>> minX, minY;
    WindowExtreme<std::greater<double>> maxX, maxY;

    // While the user has zoomed in, the view is his and the automatic ranges
    // wait until he zooms out again.
    bool zoomed = false;
    TAxisRange zoomX, zoomY;
    // The zoom rectangle while the user drags it, in widget coordinates.
    bool dragging = false;
    QPoint dragFrom, dragTo;

    // The left axis' labels, and the other two axes'.
    mutable LabelCache leftLabels, scaleLabels;

    Layout layout;  // for the present size and ranges, made when first needed
    std::uint64_t layouts = 0;
    QImage background;  // axes, grid, labels and frame for one layout
    std::uint64_t backgroundFor = 0;
    std::vector<QPointF> run;  // reused by every paint
    std::vector<QLineF> lines;
    std::vector<Hairline> hairlines;

    Impl(const QFont& left, const QFont& scale) : leftLabels(left), scaleLabels(scale) {}

    TAxisRange AutoX() const {
        if (minX.Empty()) return {0, 1};
        TAxisRange r{minX.Value(), maxX.Value()};
        if (r.Max <= r.Min) r.Max = r.Min + 1;
        return r;
    }
    TAxisRange AutoY() const {
        if (minY.Empty()) return {0, 1};
        TAxisRange r{minY.Value(), maxY.Value()};
        // A flat line sits in the middle instead of on the frame: a
        // millimetre either side, more where a millimetre is lost in the
        // precision of a huge value.
        if (r.Max <= r.Min) {
            const double pad = std::max(1.0, std::abs(r.Min) * 0x1p-40);
            r.Min -= pad;
            r.Max += pad;
        }
        return r;
    }
    TAxisRange X() const { return zoomed ? zoomX : AutoX(); }
    TAxisRange Y() const { return zoomed ? zoomY : AutoY(); }

    static std::vector<Label> Labels(const std::vector<double>& values, LabelCache& cache) {
        std::vector<Label> out;
        out.reserve(values.size());
        for (const double v : values) {
            const LabelCache::Entry e = cache.Get(v);
            out.push_back({v, e.text, e.width});
        }
        return out;
    }

    static qreal Widest(const std::vector<Label>& labels) {
        qreal w = 0;
        for (const Label& l : labels) w = std::max(w, l.width);
        return w;
    }

    Layout Make(QSizeF size, TAxisRange x, TAxisRange y) const {
        Layout l;
        l.size = size;
        l.x = x;
        l.y = y;
        l.left = Labels(AxisTicks(y, kLabelsY, 1.0), leftLabels);
        l.bottom = Labels(AxisTicks(x, kLabelsX, 1.0), scaleLabels);
        std::vector<double> scale;
        for (double v = std::ceil(kRightRange.Min / kRightStep) * kRightStep; v <= kRightRange.Max;
             v += kRightStep)
            scale.push_back(v);
        l.right = Labels(scale, scaleLabels);
        // The bottom labels are centred on their ticks, so the plot keeps
        // half the widest one clear of either side.
        const qreal halfBottom = Widest(l.bottom) / 2 + 1;
        const qreal left = kMarginLeft + std::max({Widest(l.left) + kTickLength + kLabelPad,
                                                   kMinAxisWidth, halfBottom});
        const qreal right = size.width() - kMarginRight -
                            std::max(Widest(l.right) + kTickLength + kLabelPad, halfBottom);
        // The side labels are centred on their ticks, the top one may sit at
        // the very top.
        const qreal top = kMarginTop + std::max(leftLabels.Height(), scaleLabels.Height()) / 2 + 1;
        const qreal bottom =
            size.height() - kMarginBottom - (kTickLength + scaleLabels.Height() + 2);
        l.plot = QRectF(QPointF(left, top), QPointF(right, bottom));
        return l;
    }

    // Walks the segments in order, the one leading to point i in point i's
    // colour, and hands `sink` one polyline per run of segments that join and
    // share a colour. A point without a finite Y takes both its segments with
    // it. With a `clip` rectangle, segments are cut to it first (mapped far
    // outside, a zoomed line would otherwise reach millions of pixels).
    template <class Map, class Sink>
    static void WalkRuns(const std::deque<Point>& points, Map map, const QRectF* clip,
                         std::vector<QPointF>& line, Sink sink) {
        line.clear();
        TColor colour = 0;
        std::size_t joinsAt = 0;  // the segment that would continue the line
        auto flush = [&] {
            if (line.size() >= 2) sink(colour, line);
            line.clear();
        };
        for (std::size_t i = 1; i < points.size(); ++i) {
            const auto& from = points[i - 1];
            const auto& to = points[i];
            if (!std::isfinite(from.y) || !std::isfinite(to.y)) continue;
            QPointF a = map(from), b = map(to);
            bool movedA = false, movedB = false;
            if (clip) {
                if (!std::isfinite(a.x()) || !std::isfinite(a.y()) || !std::isfinite(b.x()) ||
                    !std::isfinite(b.y()) || !ClipSegment(*clip, a, b, movedA, movedB))
                    continue;
            }
            if (line.empty() || joinsAt != i || movedA || to.color != colour) {
                flush();
                line.push_back(a);
                colour = to.color;
            }
            line.push_back(b);
            joinsAt = movedB ? 0 : i + 1;
        }
        flush();
    }

    void DrawLine(QPainter& p, const Layout& l) {
        if (!l.Valid() || points.size() < 2) return;
        p.save();
        p.setRenderHint(QPainter::Antialiasing, true);
        // Whole pixels: the ones the plot's edges cross belong to it.
        p.setClipRect(l.plot.toAlignedRect(), Qt::IntersectClip);
        // Beyond the plot by more than the line's width nothing shows.
        const QRectF bounds =
            l.plot.adjusted(-2 * kLineWidth, -2 * kLineWidth, 2 * kLineWidth, 2 * kLineWidth);
        WalkRuns(
            points, [&l](const Point& pt) { return QPointF(l.X(pt.x), l.Y(pt.y)); }, &bounds, run,
            [this, &p](TColor c, const std::vector<QPointF>& pts) {
                // A run's segments one by one: Qt draws a long polyline
                // several times slower than its segments as separate lines,
                // which meet as they did in the chart component.
                lines.clear();
                AppendSegments(pts, kStraightTolerance, lines);
                p.setPen(LinePen(c));
                p.drawLines(lines.data(), static_cast<int>(lines.size()));
            });
        p.restore();
    }

    // The axes, grid, labels and frame at `dpr` device pixels to the pixel.
    QImage Background(const Layout& l, qreal dpr) {
        // Whole device pixels, rounded up: at a scale such as 1.25 the widget
        // ends inside a device pixel, which must be painted too.
        QImage image(static_cast<int>(std::ceil(l.size.width() * dpr)),
                     static_cast<int>(std::ceil(l.size.height() * dpr)), QImage::Format_RGB32);
        if (image.isNull()) return image;
        image.setDevicePixelRatio(dpr);
        image.fill(Qt::white);
        const QRectF& a = l.plot;
        // The axis lines, and the ticks and labels beside them, sit on whole
        // pixels at or before the plot's edges; the grid does not.
        const qreal left = std::floor(a.left()), right = std::floor(a.right());
        const qreal bottom = std::floor(a.bottom());
        // Ticks a pixel short: the square ends add half a pixel at either end.
        const qreal tick = kTickLength - 1;
        if (l.Valid()) {
            const int grid = kGridColour.red(), axis = kAxisColour.red();
            hairlines.clear();
            for (const Label& t : l.bottom)
                hairlines.push_back({{l.X(t.value), a.top()}, {l.X(t.value), a.bottom()}, grid});
            hairlines.push_back({{left, a.top()}, {left, a.bottom()}, axis});
            hairlines.push_back({{right, a.top()}, {right, a.bottom()}, axis});
            for (const Label& t : l.left)
                hairlines.push_back({{a.left(), l.Y(t.value)}, {a.right(), l.Y(t.value)}, grid});
            hairlines.push_back({{a.left(), bottom}, {a.right(), bottom}, axis});
            for (const Label& t : l.left)
                hairlines.push_back({{left - tick, l.Y(t.value)}, {left, l.Y(t.value)}, axis});
            for (const Label& t : l.bottom)
                hairlines.push_back({{l.X(t.value), bottom}, {l.X(t.value), bottom + tick}, axis});
            for (const Label& t : l.right)
                hairlines.push_back(
                    {{right, l.RightY(t.value)}, {right + tick, l.RightY(t.value)}, axis});
            DrawHairlines(image, hairlines);

            QPainter p(&image);
            p.setRenderHint(QPainter::TextAntialiasing, true);
            // Each label's box starts on the nearest whole pixel, as the
            // component put them.
            auto text = [&p](qreal x, qreal y, const Label& t) {
                p.drawStaticText(QPointF(std::round(x), std::round(y)), t.text);
            };
            p.setPen(kLabelColour);
            p.setFont(leftLabels.Font());
            const qreal hl = leftLabels.Height();
            for (const Label& t : l.left)
                text(left - kTickLength - t.width, l.Y(t.value) - hl / 2, t);
            p.setFont(scaleLabels.Font());
            const qreal hs = scaleLabels.Height();
            for (const Label& t : l.right) text(right + kTickLength, l.RightY(t.value) - hs / 2, t);
            // A label that would run into the one before it is left out.
            qreal freeFrom = -1e9;
            for (const Label& t : l.bottom) {
                const qreal x = l.X(t.value) - t.width / 2;
                if (x < freeFrom) continue;
                text(x, bottom + kTickLength, t);
                freeFrom = x + t.width;
            }
        }
        // The frame: a two-pixel line on the edge, of which one pixel lies
        // inside.
        const int silver = qRed(ToQColor(clSilver).rgb());
        const qreal w = l.size.width(), h = l.size.height();
        DrawHairlines(image, {{{0, 0.5}, {w, 0.5}, silver},
                              {{0, h - 0.5}, {w, h - 0.5}, silver},
                              {{0.5, 0}, {0.5, h}, silver},
                              {{w - 0.5, 0}, {w - 0.5, h}, silver}});
        return image;
    }
};

// ------------------------------------------------------------------ the widget

namespace {

QFont LeftAxisFont() {
    QFont f(QStringLiteral("Small Fonts"));
    f.setPixelSize(9);
    return f;
}

}  // namespace

// The chart component drew the labels of the bottom and right axes in the
// application's font, not in the font of the page it sits on.
TPositionChart::TPositionChart(QWidget* parent)
    : QWidget(parent),
      d(new Impl(
          LeftAxisFont(),
          QGuiApplication::font())) {  // The whole chart is painted at every paint, white included.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
}

TPositionChart::~TPositionChart() = default;

void TPositionChart::AddPoint(double x, double y, const QString& label, TColor color) {
    d->points.push_back({x, y, color, label});
    d->minX.Push(x);
    d->maxX.Push(x);
    d->minY.Push(y);
    d->maxY.Push(y);
    update();
}

int TPositionChart::Count() const {
    return static_cast<int>(d->points.size());
}

void TPositionChart::DeleteFirst() {
    if (d->points.empty()) return;
    const Impl::Point& gone = d->points.front();
    d->minX.Pop(gone.x);
    d->maxX.Pop(gone.x);
    d->minY.Pop(gone.y);
    d->maxY.Pop(gone.y);
    d->points.pop_front();
    update();
}

void TPositionChart::Clear() {
    d->points.clear();
    d->minX.Clear();
    d->maxX.Clear();
    d->minY.Clear();
    d->maxY.Clear();
    update();
}

double TPositionChart::XAt(int i) const {
    return d->points.at(static_cast<std::size_t>(i)).x;
}
double TPositionChart::YAt(int i) const {
    return d->points.at(static_cast<std::size_t>(i)).y;
}
QString TPositionChart::LabelAt(int i) const {
    return d->points.at(static_cast<std::size_t>(i)).label;
}
TColor TPositionChart::ColorAt(int i) const {
    return d->points.at(static_cast<std::size_t>(i)).color;
}

TAxisRange TPositionChart::BottomRange() const {
    return d->X();
}
TAxisRange TPositionChart::LeftRange() const {
    return d->Y();
}
bool TPositionChart::Zoomed() const {
    return d->zoomed;
}

std::vector<double> TPositionChart::LeftTicks() const {
    return AxisTicks(d->Y(), kLabelsY, 1.0);
}
std::vector<double> TPositionChart::BottomTicks() const {
    return AxisTicks(d->X(), kLabelsX, 1.0);
}

QRectF TPositionChart::PlotArea() const {
    return d->Make(size(), d->X(), d->Y()).plot;
}

QPointF TPositionChart::ToPixel(QPointF value) const {
    const Impl::Layout l = d->Make(size(), d->X(), d->Y());
    return {l.X(value.x()), l.Y(value.y())};
}

std::vector<TPositionChart::TRun> TPositionChart::Runs() const {
    std::vector<TRun> runs;
    std::vector<QPointF> line;
    Impl::WalkRuns(
        d->points, [](const Impl::Point& p) { return QPointF(p.x, p.y); }, nullptr, line,
        [&runs](TColor c, const std::vector<QPointF>& pts) {
            runs.push_back({c, pts});
        });
    return runs;
}

void TPositionChart::Draw(QPainter& painter, const QRect& rect) const {
    const Impl::Layout l = d->Make(rect.size(), d->X(), d->Y());
    painter.save();
    painter.translate(rect.topLeft());
    painter.setClipRect(QRect(QPoint(0, 0), rect.size()), Qt::IntersectClip);
    const QPaintDevice* device = painter.device();
    painter.drawImage(QPoint(0, 0), d->Background(l, device ? device->devicePixelRatioF() : 1.0));
    d->DrawLine(painter, l);
    painter.restore();
}

void TPositionChart::paintEvent(QPaintEvent*) {
    const TAxisRange x = d->X(), y = d->Y();
    Impl::Layout& l = d->layout;
    if (l.generation == 0 || l.size != QSizeF(size()) || !(l.x == x) || !(l.y == y)) {
        l = d->Make(size(), x, y);
        l.generation = ++d->layouts;
    }
    const qreal dpr = devicePixelRatioF();
    if (d->backgroundFor != l.generation || d->background.devicePixelRatio() != dpr) {
        d->background = d->Background(l, dpr);
        d->backgroundFor = l.generation;
    }
    QPainter p(this);
    p.drawImage(QPoint(0, 0), d->background);
    d->DrawLine(p, l);
    if (d->dragging) {
        // The zoom rectangle: a pink outline inverted against what lies beneath.
        p.setRenderHint(QPainter::Antialiasing, false);
        p.setCompositionMode(QPainter::RasterOp_NotSourceXorDestination);
        // One device pixel wide at any scale, as the component's outline was.
        QPen pen(ToQColor(kZoomPen), 1);
        pen.setCosmetic(true);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        // The outline lies inside the rectangle that the zoom takes.
        p.drawRect(QRectF(QPointF(d->dragFrom), QPointF(d->dragTo))
                       .normalized()
                       .toRect()
                       .adjusted(0, 0, -1, -1));
    }
}

void TPositionChart::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && PlotArea().contains(event->position())) {
        d->dragging = true;
        d->dragFrom = d->dragTo = event->position().toPoint();
        update();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void TPositionChart::mouseMoveEvent(QMouseEvent* event) {
    if (!d->dragging) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    d->dragTo = event->position().toPoint();
    update();
    event->accept();
}

void TPositionChart::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        // Zooming out goes all the way back to the automatic ranges; stepping
        // out by halves would leave a stale, frozen view while readings move on.
        d->dragging = false;
        d->zoomed = false;
        update();
        event->accept();
        return;
    }
    if (event->button() != Qt::LeftButton || !d->dragging) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    d->dragging = false;
    const QRectF band = QRectF(QPointF(d->dragFrom), QPointF(d->dragTo)).normalized();
    if (band.width() > 0 && band.height() > 0) {
        const Impl::Layout l = d->Make(size(), d->X(), d->Y());
        const double dx = (l.x.Max - l.x.Min) / l.plot.width();
        const double dy = (l.y.Max - l.y.Min) / l.plot.height();
        d->zoomX = {l.x.Min + dx * (band.left() - l.plot.left()),
                    l.x.Min + dx * (band.right() - l.plot.left())};
        d->zoomY = {l.y.Max - dy * (band.bottom() - l.plot.top()),
                    l.y.Max - dy * (band.top() - l.plot.top())};
        d->zoomed = true;
    }
    update();
    event->accept();
}
