// The position chart: the newest readings as a 2-pixel line whose segments
// take the colour of the reading they lead to, over a left axis that follows
// the readings, a bottom axis over the point numbers and a fixed right scale.
//
// A reading only stores its point and marks the chart for repainting; the
// window paints at most once a screen frame (TPaintPacer), and a hidden chart
// is painted when it is shown again. A paint copies the axes, grid and labels
// from a picture that is drawn again only when the ranges or the size change,
// then draws the line, one call per run of one colour (its segments as
// separate lines, which Qt draws several times faster than one polyline),
// clipped to the plot area.
#pragma once

#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>
#include <memory>
#include <vector>

#include "app/Controls.h"

class QPainter;

// The values an axis spans, from Min at the bottom (or left) to Max.
struct TAxisRange {
    double Min = 0;
    double Max = 1;
    bool operator==(const TAxisRange&) const = default;
};

// The values an axis labels: every multiple of a step within the range. The
// step is 1, 2 or 5 times a power of ten, the smallest that gives at most
// about `labels` labels, and never less than `minStep`. A range that is not
// finite, or so wide that no step fits, gets no labels rather than millions.
std::vector<double> AxisTicks(TAxisRange range, int labels, double minStep);

class TPositionChart : public QWidget {
    Q_OBJECT
public:
    explicit TPositionChart(QWidget* parent);
    ~TPositionChart() override;

    // ---- the series, as the window logic sees it ------------------------
    // The chart holds one series, the position; X must not decrease from
    // point to point.
    // A Y that is not a finite number is kept but not drawn, and the ranges
    // leave it out.
    void AddPoint(double x, double y, const QString& label, TColor color);
    int Count() const;
    void DeleteFirst();
    void Clear();
    double XAt(int i) const;
    double YAt(int i) const;
    QString LabelAt(int i) const;
    TColor ColorAt(int i) const;

    // Draws the whole chart onto `painter`, filling `rect`, as it is now.
    void Draw(QPainter& painter, const QRect& rect) const;

    // ---- what is shown ---------------------------------------------------
    // The automatic ranges (the points' extent), or while the user has zoomed
    // in, the zoomed ones.
    TAxisRange BottomRange() const;
    TAxisRange LeftRange() const;
    bool Zoomed() const;
    // The values the left and bottom axes label now.
    std::vector<double> LeftTicks() const;
    std::vector<double> BottomTicks() const;
    // In the widget's coordinates, at its present size.
    QRectF PlotArea() const;
    QPointF ToPixel(QPointF value) const;
    // The line as drawn, in values: each run of one colour, starting from the
    // point before the run so that its first segment leads from there.
    struct TRun {
        TColor Color;
        std::vector<QPointF> Points;
    };
    std::vector<TRun> Runs() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
