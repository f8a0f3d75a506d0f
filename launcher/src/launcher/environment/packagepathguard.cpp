#include "launcher/environment/packagepathguard.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn::launcher {

namespace {

enum EEntryKind { ENTRY_MISSING, ENTRY_FILE, ENTRY_FOLDER, ENTRY_OTHER };

EEntryKind entryKind(const QString& path) {
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return ENTRY_MISSING;
    if (S_ISREG(status.st_mode))
        return ENTRY_FILE;
    if (S_ISDIR(status.st_mode))
        return ENTRY_FOLDER;
    return ENTRY_OTHER;
}

[[noreturn]] void throwWithErrno(const QString& what, const QString& path) {
    const QString reason = QString::fromLocal8Bit(std::strerror(errno));
    throw std::runtime_error(
        QStringLiteral("I/O error on file '%1': %2 (%3)").arg(path, what, reason).toUtf8().toStdString());
}

// Removes the directory entry itself (a file, a link or a special file), never a link's target.
void unlinkEntry(const QString& path) {
    if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT)
        throwWithErrno(QStringLiteral("could not be removed"), path);
}

// The package folder and the path's components below it. Paths of the engine come from
// getFullPath and lie below the folder; anything else has no components and is refused.
struct TComponents {
    QString base;
    QStringList parts;
    bool inside = false;

    TComponents(const QDir& packageDirectory, const QString& fullPath) {
        base = QDir::cleanPath(packageDirectory.absolutePath());
        const QString full = QDir::cleanPath(fullPath);
        const QString prefix = base.endsWith(QLatin1Char('/')) ? base : base + QLatin1Char('/');
        if (!full.startsWith(prefix) || full.size() == prefix.size())
            return;
        parts = full.mid(prefix.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
        inside = !parts.isEmpty();
    }

    QString pathUpTo(int count) const {
        QString path = base;
        for (int i = 0; i < count; ++i) {
            if (!path.endsWith(QLatin1Char('/')))
                path += QLatin1Char('/');
            path += parts.at(i);
        }
        return path;
    }
};

void refuseOutside(const TComponents& components, const QString& fullPath) {
    if (!components.inside)
        throw std::runtime_error(QStringLiteral("The path '%1' does not lie inside the package folder.")
                                     .arg(fullPath)
                                     .toUtf8()
                                     .toStdString());
}

} // namespace

QString TPackagePathGuard::folderInTheWayMessage(const QString& fullPath) {
    return QStringLiteral("'%1' is a folder, but the package has a file there. Move the folder "
                          "elsewhere and try again.")
        .arg(QDir::toNativeSeparators(fullPath));
}

EPackagePathKind TPackagePathGuard::inspect(const QDir& packageDirectory, const QString& fullPath) {
    const TComponents components(packageDirectory, fullPath);
    if (!components.inside)
        return PACKAGE_PATH_KIND_OTHER;
    const int count = components.parts.size();
    for (int i = 1; i < count; ++i) {
        switch (entryKind(components.pathUpTo(i))) {
        case ENTRY_FOLDER:
            continue;
        case ENTRY_MISSING:
            return PACKAGE_PATH_KIND_MISSING;
        case ENTRY_FILE:
            // A file where the path needs a folder: nothing can be below it.
            return PACKAGE_PATH_KIND_MISSING;
        case ENTRY_OTHER:
            return PACKAGE_PATH_KIND_OTHER;
        }
    }
    switch (entryKind(components.pathUpTo(count))) {
    case ENTRY_MISSING:
        return PACKAGE_PATH_KIND_MISSING;
    case ENTRY_FILE:
        return PACKAGE_PATH_KIND_FILE;
    case ENTRY_FOLDER:
        return PACKAGE_PATH_KIND_FOLDER;
    case ENTRY_OTHER:
        break;
    }
    return PACKAGE_PATH_KIND_OTHER;
}

void TPackagePathGuard::makeRoomForFile(const QDir& packageDirectory, const QString& fullPath) {
    const TComponents components(packageDirectory, fullPath);
    refuseOutside(components, fullPath);
    const int count = components.parts.size();
    for (int i = 1; i < count; ++i) {
        const QString folder = components.pathUpTo(i);
        switch (entryKind(folder)) {
        case ENTRY_FOLDER:
            continue;
        case ENTRY_MISSING:
        case ENTRY_FILE:
            // Nothing of the path exists below; a file in the way is dealt with when folders
            // are created for writing.
            return;
        case ENTRY_OTHER:
            unlinkEntry(folder);
            return;
        }
    }
    const QString path = components.pathUpTo(count);
    switch (entryKind(path)) {
    case ENTRY_MISSING:
        return;
    case ENTRY_FOLDER:
        throw std::runtime_error(folderInTheWayMessage(path).toUtf8().toStdString());
    case ENTRY_FILE:
    case ENTRY_OTHER:
        unlinkEntry(path);
        return;
    }
}

void TPackagePathGuard::createFoldersFor(const QDir& packageDirectory, const QString& fullPath) {
    const TComponents components(packageDirectory, fullPath);
    refuseOutside(components, fullPath);
    if (!QDir().mkpath(components.base) && !QDir(components.base).exists())
        throwWithErrno(QStringLiteral("Failed to create folder"), components.base);
    const int count = components.parts.size();
    for (int i = 1; i < count; ++i) {
        const QString folder = components.pathUpTo(i);
        const QByteArray encoded = QFile::encodeName(folder);
        switch (entryKind(folder)) {
        case ENTRY_FOLDER:
            continue;
        case ENTRY_FILE:
            throw std::runtime_error(QStringLiteral("Failed to create folder: '%1'.")
                                         .arg(QDir::toNativeSeparators(folder))
                                         .toUtf8()
                                         .toStdString());
        case ENTRY_OTHER:
            unlinkEntry(folder);
            break;
        case ENTRY_MISSING:
            break;
        }
        // Another task may create the same folder at the same time.
        if (::mkdir(encoded.constData(), 0777) != 0 &&
            !(errno == EEXIST && entryKind(folder) == ENTRY_FOLDER))
            throwWithErrno(QStringLiteral("Failed to create folder"), folder);
    }
}

bool TPackagePathGuard::removeFile(const QDir& packageDirectory, const QString& fullPath) {
    const TComponents components(packageDirectory, fullPath);
    if (!components.inside)
        return false;
    const int count = components.parts.size();
    for (int i = 1; i < count; ++i) {
        const EEntryKind kind = entryKind(components.pathUpTo(i));
        if (kind == ENTRY_MISSING || kind == ENTRY_FILE)
            return true;
        if (kind == ENTRY_OTHER)
            return false;
    }
    const QString path = components.pathUpTo(count);
    switch (entryKind(path)) {
    case ENTRY_MISSING:
        return true;
    case ENTRY_FOLDER:
        return false;
    case ENTRY_FILE:
    case ENTRY_OTHER:
        unlinkEntry(path);
        return true;
    }
    return true;
}

} // namespace quarn::launcher
