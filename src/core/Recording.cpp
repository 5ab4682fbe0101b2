#include "core/Recording.h"

#include <QDir>
#include <QFileInfo>
#include <filesystem>
#include <system_error>

#include "core/Formatting.h"
#include "core/Orodja.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Error.h"
#include "platform/File.h"
#include "platform/ProgramFolder.h"

QString RecordingPath(const QString& folder, const QByteArray& partNumber,
                      const QByteArray& serialNumber, const QDateTime& when) {
    const QString stamp = QLocale::c().toString(when, QStringLiteral("yyyyMMddHHmmss"));
    return QDir(folder).filePath(QStringLiteral("POSITION_") + QString::fromLatin1(partNumber) +
                                 "_" + QString::fromLatin1(serialNumber) + "_" + stamp + ".csv");
}

QByteArray RecordingLine(std::uint64_t elapsedMs, const QString& rx, const TEncoderPosition& pos,
                         const QLocale& locale) {
    // Only replies of hex digits pass their check, but the file's format must
    // not hang on that: no reply can add fields or lines to it.
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

TRecordingFolder ChooseRecordingFolder(const QString& programFolder,
                                       const QString& documentsFolder) {
    TRecordingFolder out;
    out.Installed =
        platform::IsInstalledProgramFolder(std::filesystem::path(programFolder.toStdU16String()));
    const QFileInfo program(programFolder);
    if (!out.Installed && program.isDir() && program.isWritable()) {
        out.Path = programFolder;
        return out;
    }
    out.Path = documentsFolder;
    out.Fallback = true;
    out.Result.Path = documentsFolder;
    if (documentsFolder.isEmpty()) {
        out.Path = programFolder;
        out.Result.Path = programFolder;
        out.Result.Failure = TRecordingFailure::FolderFailed;
        out.Result.Reason =
            out.Installed
                ? QStringLiteral(
                      "an installed program keeps no recordings in its own folder, "
                      "and no documents folder is known for this user")
                : QStringLiteral(
                      "it cannot be written, and no documents folder is known for this user");
        return out;
    }
    namespace fs = std::filesystem;
    const fs::path target = fs::path(documentsFolder.toStdU16String()).lexically_normal();
    // The outermost folder that does not exist yet: the one to take back if
    // the rest cannot be made.
    fs::path firstMade;
    std::error_code ec;
    for (fs::path p = target; !p.empty(); p = p.parent_path()) {
        const bool there = fs::exists(p, ec);
        if (ec || there) break;  // what cannot be looked at is never taken back
        firstMade = p;
        if (p == p.parent_path()) break;
    }
    ec.clear();
    fs::create_directories(target, ec);
    if (!ec && !fs::is_directory(target, ec)) ec = std::make_error_code(std::errc::not_a_directory);
    if (ec) {
        out.Result.Failure = TRecordingFailure::FolderFailed;
        out.Result.Reason = QString::fromLocal8Bit(ec.message());
        std::error_code ignored;  // best effort: the failure above is what the user is told
        if (!firstMade.empty()) fs::remove_all(firstMade, ignored);
    }
    return out;
}

TRecordingSync RecordingSyncMode = TRecordingSync::EverySecond;

namespace {

constexpr std::uint64_t kSyncPeriodMs = 1000;

}  // namespace

TRecordingFile::TRecordingFile(const QString& path, bool standardOutput)
    : file_(path), standardOutput_(standardOutput), lastSyncMs_(platform::TickMs()) {}

std::unique_ptr<TRecordingFile> TRecordingFile::Start(const QString& path,
                                                      TRecordingResult& result) {
    result = {};
    result.Path = path;
    std::unique_ptr<TRecordingFile> rec(new TRecordingFile(path, false));
    const QByteArray header(kRecordingHeader);
    if (!rec->file_.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered) ||
        rec->file_.write(header) != header.size()) {
        result.Failure = TRecordingFailure::StartFailed;
        result.Reason = rec->file_.errorString();
        // A file without its header is no recording; a created one goes again.
        if (rec->file_.isOpen()) rec->file_.remove();
        return nullptr;
    }
    return rec;
}

std::unique_ptr<TRecordingFile> TRecordingFile::StartStandardOutput(TRecordingResult& result) {
    std::unique_ptr<TRecordingFile> rec(new TRecordingFile(kStandardOutputName, true));
    result = rec->Write(kRecordingHeader);
    if (result.Failure == TRecordingFailure::WriteFailed)
        result.Failure = TRecordingFailure::StartFailed;
    if (!result.Ok()) return nullptr;
    return rec;
}

TRecordingFile::~TRecordingFile() {
    file_.close();
}

TRecordingResult TRecordingFile::Write(const QByteArray& line) {
    return standardOutput_ ? WriteToStandardOutput(line) : WriteToFile(line);
}

TRecordingResult TRecordingFile::WriteToFile(const QByteArray& line) {
    TRecordingResult result;
    result.Path = file_.fileName();
    const qint64 before = file_.pos();
    const qint64 written = file_.write(line);
    if (written != line.size()) {
        // A short write reports no error of its own; the rest, tried once,
        // fails with the system's reason (disk full, file too large).
        if (written > 0) file_.write(line.constData() + written, line.size() - written);
        result.Failure = TRecordingFailure::WriteFailed;
        result.Reason = file_.errorString();
        file_.resize(before);  // whole lines only
        return result;
    }
    // At most once a second, so a fast reading loop pays for it once in
    // hundreds of lines.
    if (platform::TickMs() - lastSyncMs_ >= kSyncPeriodMs)
        return Sync(TRecordingFailure::WriteFailed);
    return result;
}

TRecordingResult TRecordingFile::WriteToStandardOutput(const QByteArray& line) {
    TRecordingResult result;
    result.Path = kStandardOutputName;
    QByteArray out = line;
    if (out.endsWith("\r\n")) out.remove(out.size() - 2, 1);
    switch (platform::WriteStandardOutput(out.constData(), static_cast<std::size_t>(out.size()))) {
        case platform::OutputResult::Written:
            break;
        case platform::OutputResult::ReaderGone:
            result.Failure = TRecordingFailure::ReaderGone;
            break;
        case platform::OutputResult::Failed:
            result.Failure = TRecordingFailure::WriteFailed;
            result.Reason = QString::fromLocal8Bit(platform::ErrorText(platform::LastError()));
            break;
    }
    return result;
}

TRecordingResult TRecordingFile::Sync(TRecordingFailure failure) {
    TRecordingResult result;
    result.Path = file_.fileName();
    if (RecordingSyncMode == TRecordingSync::Never) return result;
    lastSyncMs_ = platform::TickMs();
    if (!platform::SyncFile(file_.handle())) {
        result.Failure = failure;
        result.Reason = QString::fromLocal8Bit(platform::ErrorText(platform::LastError()));
    }
    return result;
}

TRecordingResult TRecordingFile::Close() {
    if (standardOutput_) return {TRecordingFailure::None, kStandardOutputName, {}};
    TRecordingResult result = Sync(TRecordingFailure::CloseFailed);
    file_.close();
    if (result.Ok() && file_.error() != QFileDevice::NoError) {
        result.Failure = TRecordingFailure::CloseFailed;
        result.Reason = file_.errorString();
    }
    return result;
}
