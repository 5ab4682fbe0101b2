// Paints the main window at the screen's pace. Qt paints a window once per
// pass of the event loop in which one of its widgets changed; a reading loop
// at full speed passes through the loop hundreds of times a second, while a
// screen shows about sixty frames. The pacer holds the window's paints back
// to one a frame: widgets take every change at once, only the drawing waits
// for the next frame, and it never waits longer than that.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>

class QWidget;

class TPaintPacer : public QObject {
    Q_OBJECT
public:
    // Paces `window` (a top-level widget) for as long as both live.
    explicit TPaintPacer(QWidget* window);
    // Paints `widget` at once, however recently its window was painted: a
    // status text must show before a blocking exchange starts.
    static void PaintNow(QWidget* widget);
    // The shortest time between two paints: one frame of the window's screen.
    std::uint64_t FrameUs() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Release();  // paints what was held back
    QWidget* window_;
    QTimer due_;  // the next frame, while a paint is held back
    std::uint64_t lastPaintUs_ = 0;
    bool releasing_ = false;
};
