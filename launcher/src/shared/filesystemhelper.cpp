#include "shared/filesystemhelper.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <stdexcept>

namespace shared {

void throwRuntimeError(QFileDevice const& device, QString const& reason) {
    // The operating system's reason (e.g. "No space left on device") is what tells a user what to do.
    QString text = QStringLiteral("I/O error on file '%1': %2").arg(device.fileName(), reason);
    if (device.error() != QFileDevice::NoError && !device.errorString().isEmpty() &&
        device.errorString() != reason)
        text += QStringLiteral(" (%1)").arg(device.errorString());
    throw std::runtime_error(text.toUtf8().toStdString());
}

void throwRuntimeErrorOnErrorStatus(QFileDevice& device) {
    if (device.error() != QFileDevice::NoError)
        throwRuntimeError(device, device.errorString());
}

TLocalFileInfo::TLocalFileInfo(QString completeFilepath, quint64 size)
    : m_CompleteFilepath(std::move(completeFilepath)), m_Size(size) {}

QString TLocalFileInfo::getLocalFilename() const {
    return QFileInfo(m_CompleteFilepath).fileName();
}

QByteArray TFileSystemHelper::loadBinaryFileWithPathIfExisting(const QString& path) const {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    if (file.error() == QFileDevice::OpenError)
        return QByteArray();
    throwRuntimeErrorOnErrorStatus(file);
    QByteArray data = file.readAll();
    throwRuntimeErrorOnErrorStatus(file);
    file.close();
    throwRuntimeErrorOnErrorStatus(file);
    return data;
}

void TFileSystemHelper::writeBinaryFileWithPath(const QString& path, const QByteArray& data) const {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throwRuntimeError(file, QStringLiteral("Could not open file."));
    throwRuntimeErrorOnErrorStatus(file);
    const qint64 written = file.write(data);
    throwRuntimeErrorOnErrorStatus(file);
    if (written != data.size())
        throwRuntimeError(file, QStringLiteral("Could not write all data to disk."));
    file.close();
    throwRuntimeErrorOnErrorStatus(file);
}

void TFileSystemHelper::writeFileAtomically(const QString& path, const QByteArray& data) const {
    const QFileInfo target(path);
    QTemporaryFile temporary(target.absolutePath() + QStringLiteral("/.") + target.fileName() +
                             QStringLiteral(".XXXXXX.tmp"));
    if (!temporary.open())
        throwRuntimeError(temporary, temporary.errorString());
    if (temporary.write(data) != data.size() || !temporary.flush())
        throwRuntimeError(temporary, QStringLiteral("Could not write all data to disk."));
    if (::fsync(temporary.handle()) != 0)
        throwRuntimeError(temporary, QString::fromLocal8Bit(std::strerror(errno)));
    temporary.close();
    // rename() replaces the directory entry itself, so a link at the path is never followed.
    const QByteArray from = QFile::encodeName(temporary.fileName());
    const QByteArray to = QFile::encodeName(target.absoluteFilePath());
    if (std::rename(from.constData(), to.constData()) != 0) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        QFile file(path);
        throwRuntimeError(file, reason);
    }
    temporary.setAutoRemove(false);
}

void TFileSystemHelper::deleteFileWithPath(const QString& path) const {
    if (!QFile::remove(path))
        throw std::runtime_error((QStringLiteral("Failed to delete file ") + path).toUtf8().toStdString());
}

QDir TFileSystemHelper::getOrCreateDirectory(const QString& path) const {
    QDir directory(path);
    if (!directory.exists()) {
        if (!directory.mkpath(QStringLiteral(".")))
            throw std::runtime_error(QStringLiteral("Failed to create folder: '%1'.")
                                         .arg(QDir::toNativeSeparators(directory.path()))
                                         .toUtf8()
                                         .toStdString());
        directory.refresh();
    }
    return directory;
}

QString TFileSystemHelper::getCleanedFullPathRelativeTo(const QDir& directory,
                                                        const QString& relativePath) const {
    const QString base = QDir::cleanPath(directory.absolutePath());
    const QString candidate = QDir::cleanPath(combinePath({base, relativePath}));
    // The candidate must be the base itself or lie below it: a plain prefix test would let
    // "/x/packages2/f" pass for the base "/x/packages".
    const QString baseWithSeparator = base.endsWith(QLatin1Char('/')) ? base : base + QLatin1Char('/');
    if (candidate == base || candidate.startsWith(baseWithSeparator))
        return candidate;
    QString lastComponent = QFileInfo(relativePath).fileName();
    if (lastComponent.isEmpty())
        lastComponent = QDir(relativePath).dirName();
    // The last component itself may be ".." or "." (for example "a/.."); such a name does not
    // lead anywhere inside the base, so it resolves to the base.
    const QString fallback = QDir::cleanPath(combinePath({base, lastComponent}));
    if (fallback == base || fallback.startsWith(baseWithSeparator))
        return fallback;
    return base;
}

std::vector<TLocalFileInfo> TFileSystemHelper::getListOfFilesForDirectory(const QString& path) const {
    std::vector<TLocalFileInfo> result;
    const QFileInfoList entries = QDir(path).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
    result.reserve(static_cast<size_t>(entries.size()));
    for (const QFileInfo& entry : entries)
        result.emplace_back(entry.absoluteFilePath(), static_cast<quint64>(entry.size()));
    return result;
}

bool TFileSystemHelper::fileExists(const QString& path) const {
    return QFileInfo::exists(path);
}

bool TFileSystemHelper::directoryExists(const QString& path) const {
    return QDir(path).exists();
}

QString TFileSystemHelper::combinePath(const std::vector<QString>& parts) const {
    QString joined;
    for (const QString& part : parts)
        joined += QLatin1Char('/') + part;
    return QDir::toNativeSeparators(joined.mid(1));
}

} // namespace shared
