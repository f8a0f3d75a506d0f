#pragma once

#include <QDir>
#include <QFileDevice>
#include <QString>

#include <vector>

namespace shared {

// Throws std::runtime_error with "I/O error on file '<file name>': <reason>".
[[noreturn]] void throwRuntimeError(QFileDevice const& device, QString const& reason);
// Throws as throwRuntimeError with the device's own error text if the device reports an error.
void throwRuntimeErrorOnErrorStatus(QFileDevice& device);

// One entry of a directory listing.
class TLocalFileInfo {
public:
    TLocalFileInfo(QString completeFilepath, quint64 size);
    virtual ~TLocalFileInfo() = default;

    QString getCompleteFilepath() const { return m_CompleteFilepath; }
    QString getLocalFilename() const;
    quint64 getSize() const { return m_Size; }

private:
    QString m_CompleteFilepath;
    quint64 m_Size;
};

// Whole-file and path operations. Every failure is thrown as std::runtime_error with a
// readable message. Stateless, so it may be used from several threads at once.
class TFileSystemHelper {
public:
    virtual ~TFileSystemHelper() = default;

    // The file's bytes, or an empty array when it does not exist or cannot be opened.
    virtual QByteArray loadBinaryFileWithPathIfExisting(const QString& path) const;
    // Creates or truncates the file and writes all bytes. The folder must exist.
    virtual void writeBinaryFileWithPath(const QString& path, const QByteArray& data) const;
    // Replaces the file as a whole or not at all: the bytes go into a new temporary file in the
    // same folder, which is flushed to disk and then renamed over the path. A link at the path is
    // replaced by the file, never written through. A failure leaves the old file as it was.
    virtual void writeFileAtomically(const QString& path, const QByteArray& data) const;
    virtual void deleteFileWithPath(const QString& path) const;
    virtual QDir getOrCreateDirectory(const QString& path) const;
    // Resolves a relative path from a document against a folder. The result always lies inside
    // the folder: a path that would lead out of it is cut down to its last component.
    virtual QString getCleanedFullPathRelativeTo(const QDir& directory, const QString& relativePath) const;
    // Regular files directly inside the folder: no hidden files, no subfolders, unsorted.
    virtual std::vector<TLocalFileInfo> getListOfFilesForDirectory(const QString& path) const;
    virtual bool fileExists(const QString& path) const;
    virtual bool directoryExists(const QString& path) const;
    // Joins the parts with separators (not cleaned); no parts give an empty text.
    virtual QString combinePath(const std::vector<QString>& parts) const;
};

} // namespace shared
