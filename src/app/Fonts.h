// The window is designed around Windows faces. Where they are missing, free
// faces with the same metrics stand in, so text keeps its designed width.
#pragma once

#include <QString>

// Registers a substitute for every designed face the machine lacks. Call it
// once the application object exists and before any window is created.
void InstallFontSubstitutes();

// The face that stands in for `family` when it is missing, or an empty text
// when the window does not use that face.
QString FontSubstituteFor(const QString& family);
