#include "app/OrodjaChart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <stdexcept>

#include "app/PositionChart.h"
#include "app/UserMessages.h"
#include "core/Orodja.h"

namespace {

[[noreturn]] void Fail(const QString& text) {
    throw std::runtime_error(text.toLocal8Bit().toStdString());
}

}  // namespace

bool SaveChartAsPng(TPositionChart* chart, const QString& fileName) {
    if (!chart) Fail(QStringLiteral("No chart to save"));
    // The picture is taken first, so it shows the chart as it is now, at the
    // control's own size whatever the window around it looks like.
    const QRect bounds(QPoint(0, 0), chart->size());
    QImage surface(bounds.size(), QImage::Format_RGB16);
    surface.fill(Qt::white);
    {
        QPainter painter(&surface);
        chart->Draw(painter, bounds);
    }

    const QString name = ChangeFileExt(fileName, QStringLiteral(".png"));
    const QString shown = QDir::toNativeSeparators(name);
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        Fail(QStringLiteral("Cannot create file \"%1\". %2").arg(shown, file.errorString()));
    // 8 bits per sample, RGB without alpha: the widened 5/6/5 values.
    QImageWriter writer(&file, QByteArrayLiteral("png"));
    const bool written = writer.write(surface.convertToFormat(QImage::Format_RGB888));
    const QString writerError = writer.errorString();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        const QString why = file.error() != QFileDevice::NoError ? file.errorString() : writerError;
        // A cut-off image is no image; do not leave it behind looking saved.
        file.remove();
        Fail(QStringLiteral("Error while writing file \"%1\". %2").arg(shown, why));
    }
    if (QFileInfo::exists(name)) return true;
    TUserMessages::ShowMessage(chart, QStringLiteral("Shranjevanje PNG slike ni bilo uspešno!"));
    return false;
}
