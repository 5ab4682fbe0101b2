#include "core/Recording.h"

#include <QDir>

#include "core/Formatting.h"
#include "core/Orodja.h"

QString RecordingPath(const QString& folder, const QByteArray& partNumber,
                      const QByteArray& serialNumber, const QDateTime& when) {
    const QString stamp = QLocale::c().toString(when, QStringLiteral("yyyyMMddHHmmss"));
    return QDir(folder).filePath(QStringLiteral("POSITION_") + QString::fromLatin1(partNumber) +
                                 "_" + QString::fromLatin1(serialNumber) + "_" + stamp + ".csv");
}

QByteArray RecordingLine(std::uint64_t elapsedMs, const QString& rx, const TEncoderPosition& pos,
                         const QLocale& locale) {
    // A reply whose digits are no hex at all still passes its check (it reads
    // as 0 with CRC 0); its bytes must not add fields or lines to the file.
    QString shown = rx;
    for (QChar& c : shown)
        if (c == u';' || c.unicode() < 0x20 || c.unicode() > 0x7E) c = u'?';
    const QString line = QString::number(elapsedMs) + ";0x" + shown + ";" +
                         QString::number(pos.Position_cnt) + ";" + BitChar(pos.ErrBit) + ";" +
                         BitChar(pos.WarnBit) + ";" + FormatPositionMm(pos.Position_unit, locale) +
                         ";\r\n";
    return line.toLocal8Bit();
}

bool RecordingTimeUp(std::uint64_t elapsedMs, int limitSeconds) {
    return limitSeconds > 0 && elapsedMs > static_cast<std::uint64_t>(limitSeconds) * 1000u;
}

std::unique_ptr<TRecordingFile> TRecordingFile::Start(const QString& path,
                                                      TRecordingResult& result) {
    result = {};
    result.Path = path;
    std::unique_ptr<TRecordingFile> rec(new TRecordingFile(path));
    const QByteArray header(kRecordingHeader);
    if (!rec->file_.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered) ||
        rec->file_.write(header) != header.size()) {
        result.Failure = TRecordingFailure::StartFailed;
        result.Reason = rec->file_.errorString();
        rec->file_.close();
        return nullptr;
    }
    return rec;
}

TRecordingFile::~TRecordingFile() {
    file_.close();
}

TRecordingResult TRecordingFile::Write(const QByteArray& line) {
    TRecordingResult result;
    result.Path = file_.fileName();
    const qint64 before = file_.pos();
    const qint64 written = file_.write(line);
    if (written == line.size()) return result;
    // A short write reports no error of its own; the rest, tried once, fails
    // with the system's reason (disk full, file too large).
    if (written > 0) file_.write(line.constData() + written, line.size() - written);
    result.Failure = TRecordingFailure::WriteFailed;
    result.Reason = file_.errorString();
    file_.resize(before);  // whole lines only
    return result;
}

TRecordingResult TRecordingFile::Close() {
    TRecordingResult result;
    result.Path = file_.fileName();
    file_.close();
    if (file_.error() != QFileDevice::NoError) {
        result.Failure = TRecordingFailure::CloseFailed;
        result.Reason = file_.errorString();
    }
    return result;
}
