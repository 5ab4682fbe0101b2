#include "app/PaintPacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <cmath>

#include "platform/Clock.h"

namespace {

// Paint requests that must pass now, counted so that nested ones work too.
int g_paintingNow = 0;

}  // namespace

TPaintPacer::TPaintPacer(QWidget* window) : QObject(window), window_(window) {
    due_.setSingleShot(true);
    due_.setTimerType(Qt::PreciseTimer);
    connect(&due_, &QTimer::timeout, this, &TPaintPacer::Release);
    window_->installEventFilter(this);
}

void TPaintPacer::PaintNow(QWidget* widget) {
    ++g_paintingNow;
    widget->repaint();
    --g_paintingNow;
}

std::uint64_t TPaintPacer::FrameUs() const {
    const QScreen* screen =
        window_->screen() ? window_->screen() : QGuiApplication::primaryScreen();
    double hz = screen ? screen->refreshRate() : 60.0;
    // A screen that reports nothing sensible is taken for a common one.
    if (!std::isfinite(hz) || hz < 24.0 || hz > 240.0) hz = 60.0;
    return static_cast<std::uint64_t>(1e6 / hz);
}

bool TPaintPacer::eventFilter(QObject* watched, QEvent* event) {
    // A window paints all its changed widgets when it receives an update
    // request: Qt posts one after the first change, and sends one at once
    // for a widget's repaint().
    if (watched != window_ || event->type() != QEvent::UpdateRequest) return false;
    const std::uint64_t now = platform::TickUs();
    const std::uint64_t frame = FrameUs();
    if (releasing_ || g_paintingNow > 0 || lastPaintUs_ == 0 || now - lastPaintUs_ >= frame) {
        lastPaintUs_ = now;
        due_.stop();  // this paint takes everything that was held back
        return false;
    }
    // Held back until a frame has passed since the last paint. The widgets
    // stay marked as changed, so Qt asks no more until then.
    if (!due_.isActive()) {
        const std::uint64_t waitUs = lastPaintUs_ + frame - now;
        due_.start(static_cast<int>((waitUs + 999u) / 1000u));
    }
    return true;
}

void TPaintPacer::Release() {
    releasing_ = true;
    QEvent request(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(window_, &request);
    releasing_ = false;
}
