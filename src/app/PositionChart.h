// The position chart: the newest readings as a 2-pixel line whose segments
// take the colour of the reading they lead to.
#pragma once

#include <QChartView>
#include <QColor>
#include <cstdint>
#include <memory>

#include "app/Controls.h"

class QChart;
class QLineSeries;
class QValueAxis;

class TPositionChart : public QChartView {
    Q_OBJECT
public:
    explicit TPositionChart(QWidget* parent);
    ~TPositionChart() override;

    // The series as the window logic sees it: points with X, Y and a colour.
    void AddPoint(double x, double y, TColor color);
    int Count() const;
    void DeleteFirst();
    void Clear();
    double XAt(int i) const;
    double YAt(int i) const;
    TColor ColorAt(int i) const;
    // Brings the drawn series up to the points now. The screen catches up at
    // most once a frame (catching up inside a paint would schedule the next
    // paint and redraw at the reading rate); a snapshot calls this first.
    void CatchUp();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void Changed();  // the points changed; the series follow soon
    struct Impl;
    std::unique_ptr<Impl> d;
};
