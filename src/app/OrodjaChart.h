// The chart-to-PNG writer of the tools unit; it lives beside the window code
// because it draws a widget.
#pragma once

#include <QString>

class TPositionChart;

// Draws `chart` into a 16-bit 5/6/5 surface of its exact size and writes it
// as an 8-bit RGB PNG to `fileName` with its extension changed to ".png".
// Returns true when the file exists afterwards; otherwise shows "Shranjevanje
// PNG slike ni bilo uspešno!" and returns false. Throws std::runtime_error
// with the system's reason when the file cannot be created.
bool SaveChartAsPng(TPositionChart* chart, const QString& fileName);
