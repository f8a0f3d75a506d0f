#pragma once

#include <QDir>
#include <QString>

namespace quarn::launcher {

// What lies at a path below a package folder, seen without following symbolic links.
enum EPackagePathKind {
    PACKAGE_PATH_KIND_MISSING = 0, // nothing there, or a folder on the way is missing
    PACKAGE_PATH_KIND_FILE = 1,    // a regular file reached through real folders only
    PACKAGE_PATH_KIND_FOLDER = 2,  // a real folder
    PACKAGE_PATH_KIND_OTHER = 3,   // a link, FIFO, device or socket, or a folder on the way is one
};

// Keeps every file operation of an installation inside its package folder. A path of the package
// is looked at component by component with lstat, so a symbolic link (to a file or a folder) is
// never followed: the engine reads, writes and removes only regular files that lie below real
// folders of the package, and replaces a link by removing the link itself, never its target.
// A real folder where the build has a file is never removed to make room: that is an error that
// names the path. The package folder itself is trusted as it is.
class TPackagePathGuard {
public:
    static EPackagePathKind inspect(const QDir& packageDirectory, const QString& fullPath);

    // Clears the way for a new file at the path: a file, link or special file there is removed, and
    // a link or special file in place of one of its folders is removed as well. Folders are not
    // created. Throws std::runtime_error when a real folder is at the path or a removal fails.
    static void makeRoomForFile(const QDir& packageDirectory, const QString& fullPath);

    // Makes the folders of the path exist as real folders, replacing links and special files in
    // their place. Throws when a regular file is in the way or a folder cannot be created.
    static void createFoldersFor(const QDir& packageDirectory, const QString& fullPath);

    // Removes a file of an old build: a regular file, link or special file at the path goes; a
    // real folder and anything reached only through a link stay. Returns false when something
    // was left in place. Throws when a removal fails.
    static bool removeFile(const QDir& packageDirectory, const QString& fullPath);

    // The message of the error for a folder where the build has a file.
    static QString folderInTheWayMessage(const QString& fullPath);
};

} // namespace quarn::launcher
