#include "launcher/configuration/packageconfiguration.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRegularExpression>
#include <QtDebug>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace quarn {
namespace launcher {

namespace {

// 2^64 and 2^63 as doubles; every double below them converts without overflow.
constexpr double TWO_TO_THE_64 = 18446744073709551616.0;
constexpr double TWO_TO_THE_63 = 9223372036854775808.0;

// A byte count from a document: a number (rounded to the nearest integer) or a decimal string.
// The documents are untrusted: a negative, non-finite or too large number and anything that is
// neither a number nor a numeric string read as 0 rather than wrapping around.
quint64 readSize(const QJsonValue& value) {
    if (value.isDouble()) {
        const double rounded = std::round(value.toDouble());
        if (std::isfinite(rounded) && rounded >= 0.0 && rounded < TWO_TO_THE_64) {
            return static_cast<quint64>(rounded);
        }
        qWarning() << "Size out of range in package configuration:" << value.toDouble();
        return 0;
    }
    if (value.isString()) {
        bool ok = false;
        const quint64 size = value.toString().trimmed().toULongLong(&ok, 10);
        return ok ? size : 0;
    }
    return 0;
}

// An int from a document: only a whole number within range counts, anything else is the default.
int readInt(const QJsonValue& value, int defaultValue = 0) {
    if (!value.isDouble()) {
        return defaultValue;
    }
    const double number = value.toDouble();
    if (std::isfinite(number) && std::trunc(number) == number && number >= double(INT_MIN) &&
        number <= double(INT_MAX)) {
        return static_cast<int>(number);
    }
    return defaultValue;
}

QByteArray readHash(const QJsonValue& value) {
    return QByteArray::fromHex(value.toString().toLatin1());
}

QUrl readUrl(const QJsonValue& value, const QUrl& baseUrl) {
    const QString text = value.toString();
    if (text.isEmpty()) {
        return QUrl();
    }
    return resolveUrlAgainstBase(baseUrl, QUrl(text, QUrl::TolerantMode));
}

// The asset document's "version": a whole number is written in decimal (any other number gives
// 0), anything else is read as a string.
QString readAssetVersion(const QJsonValue& value) {
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (std::isfinite(number) && std::trunc(number) == number && number >= -TWO_TO_THE_63 &&
            number < TWO_TO_THE_63) {
            return QString::number(static_cast<qint64>(number));
        }
        return QStringLiteral("0");
    }
    return value.toString();
}

EClientGeneration readGeneration(const QString& text) {
    if (text == QLatin1String("first")) {
        return CLIENT_GENERATION_FIRST;
    }
    if (text == QLatin1String("second")) {
        return CLIENT_GENERATION_SECOND;
    }
    return CLIENT_GENERATION_UNKNOWN;
}

EClientVariant readVariant(const QString& text) {
    if (text == QLatin1String("regular")) {
        return CLIENT_VARIANT_REGULAR;
    }
    if (text == QLatin1String("preview")) {
        return CLIENT_VARIANT_PREVIEW;
    }
    if (text == QLatin1String("beta")) {
        return CLIENT_VARIANT_BETA;
    }
    if (text == QLatin1String("test")) {
        return CLIENT_VARIANT_TEST;
    }
    return CLIENT_VARIANT_UNKNOWN;
}

void readChunksAndFiles(const QJsonObject& document, const QUrl& baseUrl, TChunkInPackageVector& chunks,
                        TFileInPackageVector& files) {
    const QJsonValue chunkArray = document.value(QLatin1String("chunks"));
    if (chunkArray.isArray()) {
        const QJsonArray array = chunkArray.toArray();
        for (const QJsonValue& element : array) {
            chunks.push_back(TChunkInPackage::fromJson(element.toObject(), baseUrl));
        }
    }
    const QJsonValue fileArray = document.value(QLatin1String("files"));
    if (fileArray.isArray()) {
        const QJsonArray array = fileArray.toArray();
        for (const QJsonValue& element : array) {
            files.push_back(TFileInPackage::fromJson(element.toObject(), baseUrl));
        }
    }
}

} // namespace

QUrl resolveUrlAgainstBase(const QUrl& baseUrl, const QUrl& url) {
    if (!url.scheme().isEmpty()) {
        return url;
    }
    QUrl resolved = baseUrl;
    const QString basePath = baseUrl.path(QUrl::FullyDecoded);
    const QString givenPath = url.path(QUrl::FullyDecoded);
    QString separator;
    if (!basePath.endsWith(QLatin1Char('/')) && !givenPath.startsWith(QLatin1Char('/'))) {
        separator = QStringLiteral("/");
    }
    resolved.setPath(basePath + separator + givenPath, QUrl::DecodedMode);
    resolved.setQuery(QString());
    return resolved;
}

TChunkInPackage::TChunkInPackage(QUrl fileUrl, TFileMetadata packedFileMetadata,
                                 TFileMetadata unpackedFileMetadata, bool unpackAfterDownload)
    : m_fileUrl(std::move(fileUrl)), m_packedFileMetadata(std::move(packedFileMetadata)),
      m_unpackedFileMetadata(std::move(unpackedFileMetadata)), m_unpackAfterDownload(unpackAfterDownload) {}

TChunkInPackage TChunkInPackage::fromJson(const QJsonObject& object, const QUrl& baseUrl) {
    TFileMetadata packed(readSize(object.value(QLatin1String("packedsize"))),
                         readHash(object.value(QLatin1String("packedhash"))));
    TFileMetadata unpacked(readSize(object.value(QLatin1String("unpackedsize"))),
                           readHash(object.value(QLatin1String("unpackedhash"))));
    const bool unpack = object.value(QLatin1String("unpack")).toBool(true);
    return TChunkInPackage(readUrl(object.value(QLatin1String("url")), baseUrl), std::move(packed),
                           std::move(unpacked), unpack);
}

TPatchFile TPatchFile::fromJson(const QJsonObject& object, const QUrl& baseUrl) {
    return TPatchFile(readUrl(object.value(QLatin1String("url")), baseUrl),
                      readInt(object.value(QLatin1String("fromversion"))),
                      readInt(object.value(QLatin1String("toversion"))),
                      readSize(object.value(QLatin1String("size"))));
}

TFileInPackage::TFileInPackage(QString relativeLocalPath, TFileMetadata unpackedFileMetadata, bool executable,
                               std::vector<int> chunks, TChunkInPackage fullChunk,
                               std::vector<TPatchFile> patches)
    : m_relativeLocalPath(std::move(relativeLocalPath)),
      m_unpackedFileMetadata(std::move(unpackedFileMetadata)), m_executable(executable),
      m_patches(std::move(patches)), m_chunks(std::move(chunks)), m_fullChunk(std::move(fullChunk)) {}

TFileInPackage TFileInPackage::fromJson(const QJsonObject& object, const QUrl& baseUrl) {
    const QString path = object.value(QLatin1String("localfile")).toString();
    TFileMetadata metadata(readSize(object.value(QLatin1String("unpackedsize"))),
                           readHash(object.value(QLatin1String("unpackedhash"))));
    const bool executable = object.value(QLatin1String("executable")).toBool(false);
    TChunkInPackage fullChunk = TChunkInPackage::fromJson(object, baseUrl);

    std::vector<int> chunks;
    const QJsonArray chunkArray = object.value(QLatin1String("chunks")).toArray();
    chunks.reserve(static_cast<size_t>(chunkArray.size()));
    for (const QJsonValue& element : chunkArray) {
        // A negative value stays negative so that the reader can refuse it; anything that is not
        // a whole number in range reads as 0.
        chunks.push_back(readInt(element));
    }
    std::vector<TPatchFile> patches;
    const QJsonArray patchArray = object.value(QLatin1String("patches")).toArray();
    for (const QJsonValue& element : patchArray) {
        patches.push_back(TPatchFile::fromJson(element.toObject(), baseUrl));
    }
    return TFileInPackage(path, std::move(metadata), executable, std::move(chunks), std::move(fullChunk),
                          std::move(patches));
}

void TFileInPackageVector::sortByLocalFilename() {
    std::stable_sort(begin(), end(), [](const TFileInPackage& a, const TFileInPackage& b) {
        return a.relativeLocalPath() < b.relativeLocalPath();
    });
}

TFileInPackageVector::const_iterator
TFileInPackageVector::findByFilenameWhenSortedByFilename(const QString& relativeLocalPath) const {
    const auto found = std::lower_bound(
        begin(), end(), relativeLocalPath,
        [](const TFileInPackage& file, const QString& path) { return file.relativeLocalPath() < path; });
    if (found != end() && found->relativeLocalPath() == relativeLocalPath) {
        return found;
    }
    return end();
}

std::vector<quint64> TChunkedFileInPackage::chunkOffsets() const {
    std::vector<quint64> offsets;
    offsets.reserve(m_chunks.size() + 1);
    quint64 offset = 0;
    for (const TChunkInPackage& chunk : m_chunks) {
        offsets.push_back(offset);
        const quint64 size = chunk.unpackedFileMetadata().fileSize();
        offset = size > std::numeric_limits<quint64>::max() - offset ? std::numeric_limits<quint64>::max()
                                                                     : offset + size;
    }
    offsets.push_back(offset);
    return offsets;
}

TChunkedFileInPackage::TChunkedFileInPackage(const TFileInPackage& file)
    : m_relativeLocalPath(file.relativeLocalPath()), m_unpackedFileMetadata(file.unpackedFileMetadata()),
      m_executable(file.isExecutable()), m_chunks{file.fullChunk()}, m_wholeFileUnit(true) {}

TChunkedFileInPackage::TChunkedFileInPackage(const TFileInPackage& file,
                                             const TChunkInPackageVector& containedChunks)
    : m_relativeLocalPath(file.relativeLocalPath()), m_unpackedFileMetadata(file.unpackedFileMetadata()),
      m_executable(file.isExecutable()) {
    m_chunks.reserve(file.chunkIndices().size());
    for (const int index : file.chunkIndices()) {
        if (index < 0 || static_cast<size_t>(index) >= containedChunks.size()) {
            throw std::out_of_range("chunk index outside the package's chunk list");
        }
        m_chunks.push_back(containedChunks[static_cast<size_t>(index)]);
    }
}

TPackageConfigurationReader::TPackageConfigurationReader(QByteArray packageJson, QByteArray assetJson,
                                                         const QUrl& packageBaseUrl, const QUrl& assetBaseUrl)
    : m_packageBaseUrl(packageBaseUrl), m_assetBaseUrl(assetBaseUrl),
      m_rawPackageJsonData(std::move(packageJson)), m_rawAssetJsonData(std::move(assetJson)) {
    parse();
}

void TPackageConfigurationReader::parse() {
    QJsonParseError error;
    const QJsonDocument packageDocument = QJsonDocument::fromJson(m_rawPackageJsonData, &error);
    if (error.error != QJsonParseError::NoError) {
        qCritical() << "JSON package configuration file could not be parsed, using default package.";
        return;
    }
    QJsonDocument assetDocument;
    if (!m_rawAssetJsonData.isEmpty()) {
        assetDocument = QJsonDocument::fromJson(m_rawAssetJsonData, &error);
        if (error.error != QJsonParseError::NoError) {
            qCritical() << "JSON asset configuration file could not be parsed, using default package.";
            return;
        }
    }

    const QJsonObject package = packageDocument.object();
    m_packageVersion = package.value(QLatin1String("version")).toString();
    m_relativeExecutablePath = package.value(QLatin1String("executable")).toString();
    m_clientGeneration = readGeneration(package.value(QLatin1String("generation")).toString());
    m_clientVariant = readVariant(package.value(QLatin1String("variant")).toString());
    readChunksAndFiles(package, m_packageBaseUrl, m_containedChunks, m_containedFiles);
    const QJsonArray parameters = package.value(QLatin1String("parameters")).toArray();
    for (const QJsonValue& parameter : parameters) {
        m_executableParameters.append(parameter.toString());
    }

    if (assetDocument.isObject()) {
        const QJsonObject asset = assetDocument.object();
        m_assetVersion = readAssetVersion(asset.value(QLatin1String("version")));
        readChunksAndFiles(asset, m_assetBaseUrl, m_containedChunks, m_containedFiles);
    }

    if (!validate()) {
        clearContent();
        return;
    }
    m_containedFiles.sortByLocalFilename();
    m_initializedSuccessfully = true;
}

// Indices and paths come from the service: a file that names a chunk outside the combined list, or
// a path that leaves the installation directory, makes the whole configuration unusable.
bool TPackageConfigurationReader::validate() const {
    const size_t chunkCount = m_containedChunks.size();
    for (const TFileInPackage& file : m_containedFiles) {
        for (const int index : file.chunkIndices()) {
            if (index < 0 || static_cast<size_t>(index) >= chunkCount) {
                qCritical().noquote()
                    << QStringLiteral("Package configuration file '%1' names chunk %2, but there "
                                      "are %3 chunks; using default package.")
                           .arg(file.relativeLocalPath())
                           .arg(index)
                           .arg(chunkCount);
                return false;
            }
        }
        if (!isSafeRelativePath(file.relativeLocalPath())) {
            qCritical().noquote() << QStringLiteral("Package configuration file path '%1' is not inside the "
                                                    "package directory; using default package.")
                                         .arg(file.relativeLocalPath());
            return false;
        }
    }
    if (!m_relativeExecutablePath.isEmpty() && !isSafeRelativePath(m_relativeExecutablePath)) {
        qCritical().noquote() << QStringLiteral(
                                     "Package configuration executable '%1' is not inside the package "
                                     "directory; using default package.")
                                     .arg(m_relativeExecutablePath);
        return false;
    }
    return true;
}

void TPackageConfigurationReader::clearContent() {
    m_packageVersion.clear();
    m_assetVersion.clear();
    m_clientGeneration = CLIENT_GENERATION_UNKNOWN;
    m_clientVariant = CLIENT_VARIANT_UNKNOWN;
    m_relativeExecutablePath.clear();
    m_executableParameters.clear();
    m_containedChunks.clear();
    m_containedFiles.clear();
}

bool TPackageConfigurationReader::isSafeRelativePath(const QString& path) {
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('\\')) ||
        path.contains(QChar(0))) {
        return false;
    }
    // A drive designation such as "C:" makes the path absolute on Windows.
    if (path.size() >= 2 && path.at(1) == QLatin1Char(':')) {
        return false;
    }
    const QStringList segments = path.split(QRegularExpression(QStringLiteral("[/\\\\]")));
    if (segments.contains(QStringLiteral(".."))) {
        return false;
    }
    // The path must name a file: a last segment that is empty or "." names a folder (for "." the
    // installation directory itself), which the installation would replace or remove as a whole.
    const QString& last = segments.constLast();
    return !last.isEmpty() && last != QLatin1String(".");
}

QString TPackageConfigurationReader::packageVersion() const {
    return m_packageVersion.isEmpty() ? QStringLiteral("?") : m_packageVersion;
}

QString TPackageConfigurationReader::assetVersion() const {
    return m_assetVersion.isEmpty() ? QStringLiteral("?") : m_assetVersion;
}

QString TPackageConfigurationReader::combinedPackageAndAssetVersion() const {
    return QStringLiteral("P%1 A%2").arg(packageVersion(), assetVersion());
}

TFileInPackageVector::const_iterator
TPackageConfigurationReader::findFileByRelativePath(const QString& relativeLocalPath) const {
    return m_containedFiles.findByFilenameWhenSortedByFilename(relativeLocalPath);
}

} // namespace launcher
} // namespace quarn
