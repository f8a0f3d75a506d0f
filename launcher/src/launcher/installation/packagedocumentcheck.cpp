#include "launcher/installation/packagedocumentcheck.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cmath>
#include <limits>

namespace quarn::launcher {

namespace {

constexpr int DIGEST_SIZE = 32;
// Integers a JSON number holds exactly.
constexpr double LARGEST_EXACT_INTEGER = 9007199254740992.0;

QString invalid(const QString& reason) {
    return QStringLiteral("The package document is not valid: %1").arg(reason);
}

// A size as the documents must write it: a whole, non-negative number, or a decimal string.
bool isWholeSize(const QJsonValue& value) {
    if (value.isUndefined())
        return true; // missing: 0
    if (value.isDouble()) {
        const double number = value.toDouble();
        return std::isfinite(number) && number >= 0.0 && std::trunc(number) == number &&
               number <= LARGEST_EXACT_INTEGER;
    }
    if (value.isString()) {
        bool ok = false;
        value.toString().trimmed().toULongLong(&ok, 10);
        return ok;
    }
    return false;
}

QString findRawSizeProblem(const QByteArray& raw, const char* documentName) {
    if (raw.isEmpty())
        return QString();
    const QJsonObject document = QJsonDocument::fromJson(raw).object();
    for (const char* arrayName : {"chunks", "files"}) {
        const QJsonArray array = document.value(QLatin1String(arrayName)).toArray();
        for (int i = 0; i < array.size(); ++i) {
            const QJsonObject entry = array.at(i).toObject();
            for (const char* key : {"unpackedsize", "packedsize"}) {
                if (!isWholeSize(entry.value(QLatin1String(key))))
                    return QStringLiteral("entry %1 of \"%2\" in the %3 has the %4 %5, which is not a whole "
                                          "number of bytes")
                        .arg(i)
                        .arg(QLatin1String(arrayName), QLatin1String(documentName), QLatin1String(key),
                             QString::fromUtf8(QJsonDocument(QJsonArray{entry.value(QLatin1String(key))})
                                                   .toJson(QJsonDocument::Compact)));
            }
            const QJsonArray indices = entry.value(QLatin1String("chunks")).toArray();
            for (const QJsonValue& index : indices) {
                if (!index.isDouble() || std::trunc(index.toDouble()) != index.toDouble())
                    return QStringLiteral("file entry %1 of the %2 names a chunk by something other than a "
                                          "whole number")
                        .arg(i)
                        .arg(QLatin1String(documentName));
            }
        }
    }
    return QString();
}

// The form under which two names are the same file on a file system that ignores letter case
// and Unicode normalisation.
QString foldedName(const QString& path) {
    return QDir::cleanPath(path).normalized(QString::NormalizationForm_D).toCaseFolded();
}

} // namespace

QStringList TPackageDocumentCheck::defaultReservedNames() {
    return {QStringLiteral("package.json"), QStringLiteral("partial-package.json"),
            QStringLiteral("assets.json"), QStringLiteral("default"), QStringLiteral("FORCE_PATCH")};
}

bool TPackageDocumentCheck::isDownloadScheme(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

QString TPackageDocumentCheck::findProblem(const TPackageConfigurationReader& configuration,
                                           const QStringList& reservedTopLevelNames,
                                           bool requireDownloadUrls) {
    if (!configuration.initializedSuccessfully())
        return invalid(QStringLiteral("it could not be read, or it names chunks or paths outside the "
                                      "package (see the log)"));
    QString problem = findRawSizeProblem(configuration.rawPackageJsonData(), "package document");
    if (problem.isEmpty())
        problem = findRawSizeProblem(configuration.rawAssetJsonData(), "asset document");
    if (!problem.isEmpty())
        return invalid(problem);

    const TChunkInPackageVector& chunks = configuration.containedChunks();
    for (size_t i = 0; i < chunks.size(); ++i) {
        const TChunkInPackage& chunk = chunks[i];
        const quint64 size = chunk.unpackedFileMetadata().fileSize();
        if (size == 0 || size > MAXIMUM_CHUNK_SIZE)
            return invalid(QStringLiteral("chunk %1 has %2 bytes; a chunk holds 1 to %3 bytes")
                               .arg(i)
                               .arg(size)
                               .arg(MAXIMUM_CHUNK_SIZE));
        if (chunk.unpackedFileMetadata().fileHash().size() != DIGEST_SIZE)
            return invalid(QStringLiteral("chunk %1 has a digest of %2 bytes instead of %3")
                               .arg(i)
                               .arg(chunk.unpackedFileMetadata().fileHash().size())
                               .arg(DIGEST_SIZE));
        if (requireDownloadUrls && !isDownloadScheme(chunk.fileUrl()))
            return invalid(QStringLiteral("chunk %1 is to be fetched from '%2'; only http and https are used")
                               .arg(i)
                               .arg(chunk.fileUrl().toString()));
    }

    QSet<QString> reserved;
    for (const QString& name : reservedTopLevelNames)
        reserved.insert(foldedName(name));
    QSet<QString> files;
    const TFileInPackageVector& fileList = configuration.containedFiles();
    for (const TFileInPackage& file : fileList) {
        const QString& path = file.relativeLocalPath();
        const quint64 size = file.unpackedFileMetadata().fileSize();
        if (file.unpackedFileMetadata().fileHash().size() != DIGEST_SIZE)
            return invalid(QStringLiteral("file '%1' has a digest of %2 bytes instead of %3")
                               .arg(path)
                               .arg(file.unpackedFileMetadata().fileHash().size())
                               .arg(DIGEST_SIZE));
        if (!file.chunkIndices().empty()) {
            quint64 sum = 0;
            for (const int index : file.chunkIndices()) {
                // Indices were checked by the reader; each size is at most MAXIMUM_CHUNK_SIZE, so the
                // sum cannot wrap before it exceeds the file's size.
                sum += chunks[static_cast<size_t>(index)].unpackedFileMetadata().fileSize();
                if (sum > size)
                    break;
            }
            if (sum != size)
                return invalid(QStringLiteral("the chunks of file '%1' hold %2 bytes, but the file has %3")
                                   .arg(path)
                                   .arg(sum)
                                   .arg(size));
        }
        const QUrl& unitUrl = file.fullChunk().fileUrl();
        if (requireDownloadUrls && !unitUrl.isEmpty()) {
            if (!isDownloadScheme(unitUrl))
                return invalid(QStringLiteral("file '%1' is to be fetched from '%2'; only http and https are "
                                              "used")
                                   .arg(path, unitUrl.toString()));
            if (size > MAXIMUM_WHOLE_FILE_SIZE)
                return invalid(QStringLiteral("file '%1' of %2 bytes is to be fetched as one piece; a piece "
                                              "holds at most %3 bytes")
                                   .arg(path)
                                   .arg(size)
                                   .arg(MAXIMUM_WHOLE_FILE_SIZE));
        }
        const QString folded = foldedName(path);
        if (!folded.contains(QLatin1Char('/')) && reserved.contains(folded))
            return invalid(QStringLiteral("file '%1' takes the name of one of the launcher's own files in "
                                          "the package folder")
                               .arg(path));
        if (files.contains(folded))
            return invalid(QStringLiteral("two files are named '%1' (letter case and Unicode "
                                          "normalisation do not tell files apart)")
                               .arg(path));
        files.insert(folded);
    }
    // A file may not stand where another file needs a folder.
    for (const QString& folded : files) {
        for (int slash = folded.indexOf(QLatin1Char('/')); slash > 0;
             slash = folded.indexOf(QLatin1Char('/'), slash + 1)) {
            if (files.contains(folded.left(slash)))
                return invalid(QStringLiteral("'%1' is a file and also a folder of other files")
                                   .arg(folded.left(slash)));
        }
    }
    return QString();
}

} // namespace quarn::launcher
