#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QtGlobal>

#include <vector>

namespace quarn {
namespace launcher {

// Resolves a URL found in a service document against the document's base URL. An absolute URL
// (one with a scheme) is returned unchanged. A relative one is appended to the base path, with
// exactly one "/" between them unless the base path already ends with one or the relative path
// begins with one; the result keeps the base's scheme, host and port and has no query at all, so
// that a no-cache parameter on a document's URL never reaches the URLs it lists.
QUrl resolveUrlAgainstBase(const QUrl& baseUrl, const QUrl& url);

// Size and raw digest of a piece of content.
class TFileMetadata {
public:
    TFileMetadata() = default;
    TFileMetadata(quint64 fileSize, QByteArray fileHash)
        : m_fileSize(fileSize), m_fileHash(std::move(fileHash)) {}

    quint64 fileSize() const { return m_fileSize; }
    const QByteArray& fileHash() const { return m_fileHash; }

    bool operator==(const TFileMetadata& other) const {
        return m_fileSize == other.m_fileSize && m_fileHash == other.m_fileHash;
    }
    bool operator!=(const TFileMetadata& other) const { return !(*this == other); }

private:
    quint64 m_fileSize = 0;
    QByteArray m_fileHash;
};

// One downloadable unit: a chunk of the "chunks" list, or a whole file described by its own object.
class TChunkInPackage {
public:
    TChunkInPackage() = default;
    TChunkInPackage(QUrl fileUrl, TFileMetadata packedFileMetadata, TFileMetadata unpackedFileMetadata,
                    bool unpackAfterDownload);

    // Reads "packedsize", "packedhash", "unpackedsize", "unpackedhash", "unpack" and "url" (resolved
    // against baseUrl when not empty).
    static TChunkInPackage fromJson(const QJsonObject& object, const QUrl& baseUrl);

    const QUrl& fileUrl() const { return m_fileUrl; }
    const TFileMetadata& packedFileMetadata() const { return m_packedFileMetadata; }
    const TFileMetadata& unpackedFileMetadata() const { return m_unpackedFileMetadata; }
    bool unpackAfterDownload() const { return m_unpackAfterDownload; }

private:
    QUrl m_fileUrl;
    TFileMetadata m_packedFileMetadata;
    TFileMetadata m_unpackedFileMetadata;
    bool m_unpackAfterDownload = true;
};

class TChunkInPackageVector : public std::vector<TChunkInPackage> {
public:
    using std::vector<TChunkInPackage>::vector;
};

// A patch entry of a file; kept with the file, not acted upon.
class TPatchFile {
public:
    TPatchFile() = default;
    TPatchFile(QUrl patchUrl, int fromVersion, int toVersion, quint64 size)
        : m_patchUrl(std::move(patchUrl)), m_fromVersion(fromVersion), m_toVersion(toVersion), m_size(size) {}

    static TPatchFile fromJson(const QJsonObject& object, const QUrl& baseUrl);

    const QUrl& patchUrl() const { return m_patchUrl; }
    int fromVersion() const { return m_fromVersion; }
    int toVersion() const { return m_toVersion; }
    quint64 size() const { return m_size; }

private:
    QUrl m_patchUrl;
    int m_fromVersion = 0;
    int m_toVersion = 0;
    quint64 m_size = 0;
};

// One file of a package: its content is the concatenation of the unpacked chunks named by its
// indices into the reader's combined chunk list, in order.
class TFileInPackage {
public:
    TFileInPackage() = default;
    TFileInPackage(QString relativeLocalPath, TFileMetadata unpackedFileMetadata, bool executable,
                   std::vector<int> chunks, TChunkInPackage fullChunk, std::vector<TPatchFile> patches = {});

    static TFileInPackage fromJson(const QJsonObject& object, const QUrl& baseUrl);

    const QString& relativeLocalPath() const { return m_relativeLocalPath; }
    const TFileMetadata& unpackedFileMetadata() const { return m_unpackedFileMetadata; }
    bool isExecutable() const { return m_executable; }
    const std::vector<TPatchFile>& patches() const { return m_patches; }
    std::vector<int> chunks() const { return m_chunks; }
    // The index list without a copy.
    const std::vector<int>& chunkIndices() const { return m_chunks; }
    const TChunkInPackage& fullChunk() const { return m_fullChunk; }

private:
    QString m_relativeLocalPath;
    TFileMetadata m_unpackedFileMetadata;
    bool m_executable = false;
    std::vector<TPatchFile> m_patches;
    std::vector<int> m_chunks;
    TChunkInPackage m_fullChunk;
};

class TFileInPackageVector : public std::vector<TFileInPackage> {
public:
    using std::vector<TFileInPackage>::vector;

    // Orders by relative path (UTF-16 code units, case-sensitive); files with the same path keep
    // their relative order.
    void sortByLocalFilename();
    // Binary search on a vector sorted by sortByLocalFilename(): the first file whose path equals
    // the given one, or end().
    const_iterator findByFilenameWhenSortedByFilename(const QString& relativeLocalPath) const;
};

// A file with its chunks resolved, for the download stage.
class TChunkedFileInPackage {
public:
    TChunkedFileInPackage() = default;
    // The whole file as one unit: its full chunk.
    explicit TChunkedFileInPackage(const TFileInPackage& file);
    // The chunks named by the file's indices, in the file's order. Throws std::out_of_range when an
    // index lies outside the given list (a reader never hands out such a file).
    TChunkedFileInPackage(const TFileInPackage& file, const TChunkInPackageVector& containedChunks);

    const QString& relativeLocalPath() const { return m_relativeLocalPath; }
    const TFileMetadata& unpackedFileMetadata() const { return m_unpackedFileMetadata; }
    bool isExecutable() const { return m_executable; }
    const TChunkInPackageVector& chunks() const { return m_chunks; }
    // True when the file is fetched as one unit (its full chunk) rather than from the chunk list;
    // such a unit may unpack to more than a chunk of a list.
    bool isWholeFileUnit() const { return m_wholeFileUnit; }
    // Where each chunk starts in the file (the sum of the unpacked sizes before it), followed by
    // the end of the last chunk. Sizes come from the service: the sums saturate instead of wrapping.
    std::vector<quint64> chunkOffsets() const;

private:
    QString m_relativeLocalPath;
    TFileMetadata m_unpackedFileMetadata;
    bool m_executable = false;
    TChunkInPackageVector m_chunks;
    bool m_wholeFileUnit = false;
};

enum EClientGeneration {
    CLIENT_GENERATION_UNKNOWN = 0,
    CLIENT_GENERATION_FIRST = 1,
    CLIENT_GENERATION_SECOND = 2,
};

enum EClientVariant {
    CLIENT_VARIANT_UNKNOWN = 0,
    CLIENT_VARIANT_REGULAR = 1,
    CLIENT_VARIANT_PREVIEW = 2,
    CLIENT_VARIANT_BETA = 3,
    CLIENT_VARIANT_TEST = 4,
};

// The content model of one package build, read from its package document and optional asset
// document. Bad input never throws: a reader that could not take the documents over is not
// initialised and acts as an empty package (no files, no chunks, versions "?").
class TPackageConfigurationReader {
public:
    TPackageConfigurationReader() = default;
    TPackageConfigurationReader(QByteArray packageJson, QByteArray assetJson, const QUrl& packageBaseUrl,
                                const QUrl& assetBaseUrl);

    QString packageVersion() const;
    QString assetVersion() const;
    QString combinedPackageAndAssetVersion() const;
    const QString& relativeExecutablePath() const { return m_relativeExecutablePath; }
    const QStringList& executableParameters() const { return m_executableParameters; }
    EClientGeneration clientGeneration() const { return m_clientGeneration; }
    EClientVariant clientVariant() const { return m_clientVariant; }
    const TChunkInPackageVector& containedChunks() const { return m_containedChunks; }
    const TFileInPackageVector& containedFiles() const { return m_containedFiles; }
    TFileInPackageVector::const_iterator findFileByRelativePath(const QString& relativeLocalPath) const;
    bool initializedSuccessfully() const { return m_initializedSuccessfully; }
    const QByteArray& rawPackageJsonData() const { return m_rawPackageJsonData; }
    const QByteArray& rawAssetJsonData() const { return m_rawAssetJsonData; }

    // A file path inside the installation directory: not empty, not absolute, no ".." segment, and
    // not naming a folder (a last segment that is empty or ".").
    static bool isSafeRelativePath(const QString& path);

private:
    void parse();
    bool validate() const;
    void clearContent();

    QUrl m_packageBaseUrl;
    QUrl m_assetBaseUrl;
    QString m_packageVersion;
    QString m_assetVersion;
    EClientGeneration m_clientGeneration = CLIENT_GENERATION_UNKNOWN;
    EClientVariant m_clientVariant = CLIENT_VARIANT_UNKNOWN;
    QString m_relativeExecutablePath;
    QStringList m_executableParameters;
    TChunkInPackageVector m_containedChunks;
    TFileInPackageVector m_containedFiles;
    QByteArray m_rawPackageJsonData;
    QByteArray m_rawAssetJsonData;
    bool m_initializedSuccessfully = false;
};

} // namespace launcher
} // namespace quarn
