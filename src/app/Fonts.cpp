#include "app/Fonts.h"

#include <QFont>
#include <QFontDatabase>
#include <array>
#include <utility>

namespace {

// Liberation faces share the advance widths of the faces they replace;
// Liberation Sans is also the closest free match for the bitmap faces.
constexpr std::array<std::pair<const char*, const char*>, 6> kSubstitutes{{
    {"Arial", "Liberation Sans"},
    {"Arial Narrow", "Liberation Sans Narrow"},
    {"MS Sans Serif", "Liberation Sans"},
    {"Tahoma", "Liberation Sans"},
    {"Small Fonts", "Liberation Sans"},
    // Left to itself Qt may pick a proportional face, which ruins the
    // column-aligned raw frame readouts.
    {"Consolas", "Liberation Mono"},
}};

}  // namespace

QString FontSubstituteFor(const QString& family) {
    for (const auto& [face, substitute] : kSubstitutes)
        if (family.compare(QLatin1String(face), Qt::CaseInsensitive) == 0)
            return QString::fromLatin1(substitute);
    return {};
}

void InstallFontSubstitutes() {
    for (const auto& [face, substitute] : kSubstitutes) {
        const QString name = QString::fromLatin1(face);
        if (!QFontDatabase::hasFamily(name))
            QFont::insertSubstitution(name, QString::fromLatin1(substitute));
    }
}
