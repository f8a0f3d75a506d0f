#include "packager.h"

#include "containerwriter.h"

#include "launcher/configuration/packageconfiguration.h"

#include "shared/compressionhelper.h"
#include "shared/sha256.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

#include <fnmatch.h>
#include <zlib.h>

#include <deque>
#include <exception>
#include <map>
#include <stdexcept>
#include <vector>

namespace publish {

namespace {

// Names the launcher keeps inside an installed package folder next to the package's own files;
// a file of the build with one of these names would be overwritten by the installation.
const QStringList RESERVED_ROOT_NAMES = {
    QStringLiteral("package.json"), QStringLiteral("partial-package.json"), QStringLiteral("assets.json"),
    QStringLiteral("default"), QStringLiteral("FORCE_PATCH")};

const QStringList GENERATIONS = {QStringLiteral("first"), QStringLiteral("second")};
const QStringList VARIANTS = {QStringLiteral("regular"), QStringLiteral("preview"), QStringLiteral("beta"),
                              QStringLiteral("test")};

// How the stored units are written; copied into every encoder task.
struct TStoreSettings {
    QString chunkDirectory;
    int codec = 5;
    bool plain = false;
    int level = 9;
};

// What an encoder task reports for one unit.
struct TStoredUnit {
    QString error; // empty on success
    QString fileName;
    quint64 packedSize = 0;
    QByteArray packedHash;
    bool unpack = true;
    bool written = false;
};

struct TUnitSlot {
    quint64 size = 0;
    QByteArray digest;
    QFuture<TStoredUnit> future;
    TStoredUnit stored;
};

// One file of the build as it goes into a document.
struct TFileRecord {
    QString relativePath;
    QString absolutePath;
    quint64 size = 0;
    QByteArray digest;
    bool executable = false;
    bool inAssets = false;
    bool whole = true;
    int wholeUnit = -1;
    std::vector<int> chunkUnits;
};

// A unit holds its own content when stored plain or when it is a container of the expected codec
// that decodes to that content; anything else (a torn or foreign file) is rewritten.
bool holdsContent(const QByteArray& stored, const QByteArray& content, bool plainUnit) {
    if (plainUnit) {
        return stored == content;
    }
    if (!shared::TCompressionHelper::isContainer(stored)) {
        return false;
    }
    try {
        return shared::TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(stored) == content;
    } catch (const shared::TDecompressionError&) {
        return false;
    }
}

// True when samples spread over the content do not shrink under a quick deflate: content such as
// compressed media or archives, on which the stronger encoders spend much time for nothing.
bool looksIncompressible(const QByteArray& content) {
    constexpr int SAMPLE_SIZE = 16384;
    constexpr int SAMPLES = 8;
    if (content.size() < SAMPLE_SIZE * SAMPLES) {
        return false; // small enough to simply try
    }
    QByteArray compressed(static_cast<int>(compressBound(SAMPLE_SIZE)), Qt::Uninitialized);
    for (int i = 0; i < SAMPLES; ++i) {
        const qint64 offset = static_cast<qint64>(content.size() - SAMPLE_SIZE) * i / (SAMPLES - 1);
        uLongf length = static_cast<uLongf>(compressed.size());
        if (compress2(reinterpret_cast<Bytef*>(compressed.data()), &length,
                      reinterpret_cast<const Bytef*>(content.constData() + offset), SAMPLE_SIZE, 1) != Z_OK ||
            length < SAMPLE_SIZE * 97 / 100) {
            return false;
        }
    }
    return true;
}

TStoredUnit storeUnit(const TStoreSettings& settings, const QByteArray& content, const QByteArray& digest) {
    TStoredUnit unit;
    try {
        // An empty unit cannot be a container (a zero length is refused), and plain content is never
        // marked for unpacking: bytes that happen to start like a container header would otherwise be
        // decoded by the launcher.
        const bool plainUnit = settings.plain || content.isEmpty();
        unit.unpack = !plainUnit;
        unit.fileName = QString::fromLatin1(digest.toHex()) +
                        (plainUnit ? QStringLiteral(".plain") : QStringLiteral(".c%1").arg(settings.codec));
        const QString path = settings.chunkDirectory + QLatin1Char('/') + unit.fileName;

        QByteArray stored;
        bool intact = false;
        QFile existing(path);
        // Any valid container of this content is far below twice its size plus some headroom.
        const qint64 plausibleSize = 2 * static_cast<qint64>(content.size()) + 65536;
        if (existing.open(QIODevice::ReadOnly) && existing.size() <= plausibleSize) {
            stored = existing.readAll();
            intact = existing.error() == QFileDevice::NoError && holdsContent(stored, content, plainUnit);
        }
        existing.close();
        if (!intact) {
            if (plainUnit) {
                stored = content;
            } else {
                QString error;
                const int codec = looksIncompressible(content) ? 0 : settings.codec;
                if (!writeContainer(codec, content, stored, error, settings.level)) {
                    unit.error = error;
                    return unit;
                }
                // Content the codec cannot shrink is stored in a container of codec 0 instead: no
                // larger than needed, and the launcher copies it instead of decoding it.
                if (codec != 0 && stored.size() >= content.size() &&
                    !writeContainer(0, content, stored, error)) {
                    unit.error = error;
                    return unit;
                }
            }
            unit.written = true;
        }
        if (unit.written) {
            QSaveFile out(path);
            if (!out.open(QIODevice::WriteOnly) || out.write(stored) != stored.size() || !out.commit()) {
                unit.error = QStringLiteral("cannot write '%1': %2").arg(path, out.errorString());
                return unit;
            }
        }
        unit.packedSize = static_cast<quint64>(stored.size());
        unit.packedHash = shared::TSha256::hash(stored);
    } catch (const std::exception& error) {
        unit.error = QStringLiteral("storing a unit failed: %1").arg(QString::fromLocal8Bit(error.what()));
    }
    return unit;
}

// Hands units to the encoder threads, each distinct content once, with a bound on the units in
// flight so that memory stays at a few units whatever the size of the build.
class TUnitStore {
public:
    TUnitStore(TStoreSettings settings, int threads) : m_settings(std::move(settings)) {
        m_pool.setMaxThreadCount(threads);
        m_maxInFlight = static_cast<size_t>(threads) + 2;
    }
    ~TUnitStore() { m_pool.waitForDone(); }

    // Returns the unit's index; digest is the SHA-256 of content.
    int add(QByteArray content, QByteArray digest) {
        const auto known = m_byDigest.find(digest);
        if (known != m_byDigest.end()) {
            return known->second;
        }
        while (m_inFlight.size() >= m_maxInFlight) {
            m_slots[static_cast<size_t>(m_inFlight.front())].future.waitForFinished();
            m_inFlight.pop_front();
        }
        const int id = static_cast<int>(m_slots.size());
        TUnitSlot slot;
        slot.size = static_cast<quint64>(content.size());
        slot.digest = digest;
        const TStoreSettings settings = m_settings;
        slot.future = QtConcurrent::run(&m_pool, [settings, content = std::move(content), digest]() {
            return storeUnit(settings, content, digest);
        });
        m_slots.push_back(std::move(slot));
        m_byDigest.emplace(std::move(digest), id);
        m_inFlight.push_back(id);
        return id;
    }

    // Waits for every unit; the first failure's text, or empty.
    QString finish() {
        m_pool.waitForDone();
        QString error;
        for (TUnitSlot& slot : m_slots) {
            slot.stored = slot.future.result();
            if (error.isEmpty() && !slot.stored.error.isEmpty()) {
                error = slot.stored.error;
            }
        }
        return error;
    }

    const std::vector<TUnitSlot>& unitSlots() const { return m_slots; }

private:
    TStoreSettings m_settings;
    QThreadPool m_pool;
    size_t m_maxInFlight = 2;
    std::vector<TUnitSlot> m_slots;
    std::map<QByteArray, int> m_byDigest;
    std::deque<int> m_inFlight;
};

bool readWholeFile(TFileRecord& file, TUnitStore& store, QString& error) {
    QFile in(file.absolutePath);
    if (!in.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot open '%1': %2").arg(file.absolutePath, in.errorString());
        return false;
    }
    // One byte more than expected tells a file that grew since it was listed, without reading all of it.
    QByteArray content = in.read(static_cast<qint64>(file.size) + 1);
    if (in.error() != QFileDevice::NoError || static_cast<quint64>(content.size()) != file.size) {
        error = QStringLiteral("cannot read '%1' completely (did it change while publishing?)")
                    .arg(file.absolutePath);
        return false;
    }
    file.digest = shared::TSha256::hash(content);
    file.wholeUnit = store.add(std::move(content), file.digest);
    return true;
}

bool readChunkedFile(TFileRecord& file, TUnitStore& store, quint64 average, QString& error) {
    QFile in(file.absolutePath);
    if (!in.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot open '%1': %2").arg(file.absolutePath, in.errorString());
        return false;
    }
    bool readFailed = false;
    quint64 total = 0;
    shared::TSha256 wholeDigest;
    quarn::launcher::splitIntoChunks(
        average,
        [&in, &readFailed](char* buffer, qint64 maxSize) -> qint64 {
            const qint64 read = in.read(buffer, maxSize);
            if (read < 0) {
                readFailed = true;
                return 0;
            }
            return read;
        },
        [&](const char* data, quint64 length) {
            wholeDigest.addData(data, static_cast<qint64>(length));
            file.chunkUnits.push_back(store.add(QByteArray(data, static_cast<int>(length)),
                                                shared::TSha256::hash(data, static_cast<qint64>(length))));
            total += length;
        });
    if (readFailed || total != file.size) {
        error = QStringLiteral("cannot read '%1' completely (did it change while publishing?)")
                    .arg(file.absolutePath);
        return false;
    }
    file.digest = wholeDigest.result();
    return true;
}

QJsonObject unitObject(const TUnitSlot& slot) {
    QJsonObject object;
    object.insert(QStringLiteral("url"), chunkFolderName() + QLatin1Char('/') + slot.stored.fileName);
    object.insert(QStringLiteral("packedsize"), static_cast<qint64>(slot.stored.packedSize));
    object.insert(QStringLiteral("packedhash"), QString::fromLatin1(slot.stored.packedHash.toHex()));
    object.insert(QStringLiteral("unpackedsize"), static_cast<qint64>(slot.size));
    object.insert(QStringLiteral("unpackedhash"), QString::fromLatin1(slot.digest.toHex()));
    object.insert(QStringLiteral("unpack"), slot.stored.unpack);
    return object;
}

bool writeDocument(const QString& path, const QJsonObject& document, QString& error) {
    QSaveFile out(path);
    const QByteArray bytes = QJsonDocument(document).toJson(QJsonDocument::Indented);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
        error = QStringLiteral("cannot write '%1': %2").arg(path, out.errorString());
        return false;
    }
    return true;
}

bool isPlainFileName(const QString& name) {
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".") &&
           name != QLatin1String("..");
}

// Collects the regular files below root in path order. Symbolic links to files are published as
// the files they point to; anything the package format cannot express is an error.
bool collectFiles(const QString& root, std::vector<TFileRecord>& files, QString& error) {
    const QDir rootDir(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = rootDir.relativeFilePath(info.filePath());
        if (info.isSymLink() && !info.isFile()) {
            error = QStringLiteral("'%1' is a symbolic link to a folder or to nothing; the package format "
                                   "holds files only")
                        .arg(relative);
            return false;
        }
        if (info.isDir()) {
            continue;
        }
        if (!info.isFile()) {
            error = QStringLiteral("'%1' is not a regular file").arg(relative);
            return false;
        }
        // The launcher refuses a whole package over one path it cannot place safely (for example one
        // with a backslash before "..", or "x:" at its start, which reads as a drive on Windows).
        if (!quarn::launcher::TPackageConfigurationReader::isSafeRelativePath(relative)) {
            error = QStringLiteral("'%1' is not a path the launcher accepts inside a package folder")
                        .arg(relative);
            return false;
        }
        // Compared without regard to case: package folders are application bundles, and the file
        // system they usually live on does not tell "Default" from "default".
        if (RESERVED_ROOT_NAMES.contains(relative, Qt::CaseInsensitive)) {
            error = QStringLiteral("'%1' has the name of a file the launcher keeps in an installed package "
                                   "(%2); rename it or move it into a subfolder")
                        .arg(relative, RESERVED_ROOT_NAMES.join(QStringLiteral(", ")));
            return false;
        }
        TFileRecord file;
        file.relativePath = relative;
        file.absolutePath = info.absoluteFilePath();
        file.size = static_cast<quint64>(info.size());
        file.executable = (info.permissions() &
                           (QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther)) != 0;
        files.push_back(std::move(file));
    }
    std::sort(files.begin(), files.end(),
              [](const TFileRecord& a, const TFileRecord& b) { return a.relativePath < b.relativePath; });
    return true;
}

bool matchesAny(const QStringList& patterns, const QString& relativePath) {
    const QByteArray path = relativePath.toUtf8();
    for (const QString& pattern : patterns) {
        if (fnmatch(pattern.toUtf8().constData(), path.constData(), 0) == 0) {
            return true;
        }
    }
    return false;
}

QString checkOptions(const TPublishOptions& options, const QString& source, const QString& output) {
    if (!QFileInfo(options.sourceDirectory).isDir()) {
        return QStringLiteral("'%1' is not a folder").arg(options.sourceDirectory);
    }
    if (output == source || output.startsWith(source + QLatin1Char('/'))) {
        return QStringLiteral("the output folder must not lie inside the source folder");
    }
    if (!isPlainFileName(options.packageDocumentName) || !isPlainFileName(options.assetDocumentName) ||
        options.packageDocumentName == options.assetDocumentName ||
        options.packageDocumentName == chunkFolderName() || options.assetDocumentName == chunkFolderName()) {
        return QStringLiteral("document names must be distinct plain file names other than '%1'")
            .arg(chunkFolderName());
    }
    if (!options.plain && !(options.codec == 0 || options.codec == 3 || options.codec == 4 ||
                            options.codec == 5 || options.codec == 10)) {
        return QStringLiteral("codec %1 cannot be written (supported: 0, 3, 4, 5, 10)").arg(options.codec);
    }
    if (options.level < 0 || options.level > 9) {
        return QStringLiteral("level %1 is outside 0 to 9").arg(options.level);
    }
    if (options.wholeFileThreshold > MAX_WHOLE_FILE_THRESHOLD) {
        return QStringLiteral("the whole-file threshold may be at most %1 bytes")
            .arg(MAX_WHOLE_FILE_THRESHOLD);
    }
    try {
        quarn::launcher::TChunkingParameters::derive(options.chunkAverage);
    } catch (const std::invalid_argument& error) {
        return QStringLiteral("chunk average: %1").arg(QString::fromLatin1(error.what()));
    }
    if (2 * options.chunkAverage > MAX_WHOLE_FILE_THRESHOLD) {
        return QStringLiteral("chunk average: chunks of up to twice the average must fit a container");
    }
    if (!options.generation.isEmpty() && !GENERATIONS.contains(options.generation)) {
        return QStringLiteral("generation must be one of: %1").arg(GENERATIONS.join(QStringLiteral(", ")));
    }
    if (!options.variant.isEmpty() && !VARIANTS.contains(options.variant)) {
        return QStringLiteral("variant must be one of: %1").arg(VARIANTS.join(QStringLiteral(", ")));
    }
    return QString();
}

} // namespace

QString chunkFolderName() {
    return QStringLiteral("chunks");
}

TPublishResult publishPackage(const TPublishOptions& options,
                              const std::function<void(const QString&)>& progress) {
    TPublishResult result;
    const QString source = QDir(options.sourceDirectory).canonicalPath();
    const QString output = QDir::cleanPath(QDir(options.outputDirectory).absolutePath());
    // The output folder may not exist yet; compare against its canonical form when it does.
    const QString outputCanonical =
        QFileInfo(output).exists() ? QFileInfo(output).canonicalFilePath() : output;
    result.error = checkOptions(options, source, outputCanonical);
    if (!result.error.isEmpty()) {
        return result;
    }

    std::vector<TFileRecord> files;
    if (!collectFiles(source, files, result.error)) {
        return result;
    }
    const QString executable = options.executable.isEmpty() ? QString() : QDir::cleanPath(options.executable);
    bool executableFound = executable.isEmpty();
    for (TFileRecord& file : files) {
        file.inAssets = matchesAny(options.assetPatterns, file.relativePath);
        if (file.relativePath == executable) {
            file.executable = true;
            executableFound = true;
        }
    }
    if (!executableFound) {
        result.error = QStringLiteral("the executable '%1' is not a file of the build").arg(executable);
        return result;
    }
    // Package files first: the asset document's chunk indices count on after the package document's.
    std::stable_partition(files.begin(), files.end(), [](const TFileRecord& file) { return !file.inAssets; });

    const QString chunkDirectory = output + QLatin1Char('/') + chunkFolderName();
    if (!QDir().mkpath(chunkDirectory)) {
        result.error = QStringLiteral("cannot create '%1'").arg(chunkDirectory);
        return result;
    }
    const int threads = options.threads > 0 ? options.threads : std::max(1, QThread::idealThreadCount());
    TUnitStore store(TStoreSettings{chunkDirectory, options.codec, options.plain, options.level}, threads);
    for (TFileRecord& file : files) {
        file.whole = file.size <= options.wholeFileThreshold;
        bool read = false;
        try {
            read = file.whole ? readWholeFile(file, store, result.error)
                              : readChunkedFile(file, store, options.chunkAverage, result.error);
        } catch (const std::exception& error) {
            // For example no memory for the chunking buffer: a failed publish, not a crash.
            result.error = QStringLiteral("publishing '%1' failed: %2")
                               .arg(file.relativePath, QString::fromLocal8Bit(error.what()));
        }
        if (!read) {
            store.finish();
            return result;
        }
        result.bytesRead += file.size;
        if (progress) {
            progress(file.whole ? QStringLiteral("%1: %2 bytes").arg(file.relativePath).arg(file.size)
                                : QStringLiteral("%1: %2 bytes in %3 chunks")
                                      .arg(file.relativePath)
                                      .arg(file.size)
                                      .arg(file.chunkUnits.size()));
        }
    }
    result.error = store.finish();
    if (!result.error.isEmpty()) {
        return result;
    }
    const std::vector<TUnitSlot>& units = store.unitSlots();
    for (const TUnitSlot& slot : units) {
        result.bytesStored += slot.stored.packedSize;
        (slot.stored.written ? result.unitsWritten : result.unitsReused) += 1;
    }
    result.units = static_cast<int>(units.size());

    // Chunk lists: each distinct chunk once per document; the asset document's files may also name
    // chunks of the package document, whose indices come first in the combined list.
    QJsonArray packageChunks;
    QJsonArray assetChunks;
    QJsonArray packageFiles;
    QJsonArray assetFiles;
    std::map<int, int> packageIndex;
    std::map<int, int> assetIndex;
    for (const TFileRecord& file : files) {
        QJsonObject object;
        if (file.whole) {
            object = unitObject(units[static_cast<size_t>(file.wholeUnit)]);
        } else {
            QJsonArray indices;
            for (int unit : file.chunkUnits) {
                const auto inPackage = packageIndex.find(unit);
                if (inPackage != packageIndex.end()) {
                    indices.append(inPackage->second);
                } else if (!file.inAssets) {
                    const int index = packageChunks.size();
                    packageChunks.append(unitObject(units[static_cast<size_t>(unit)]));
                    packageIndex.emplace(unit, index);
                    indices.append(index);
                } else {
                    auto inAssets = assetIndex.find(unit);
                    if (inAssets == assetIndex.end()) {
                        inAssets = assetIndex.emplace(unit, assetChunks.size()).first;
                        assetChunks.append(unitObject(units[static_cast<size_t>(unit)]));
                    }
                    indices.append(packageChunks.size() + inAssets->second);
                }
            }
            object.insert(QStringLiteral("chunks"), indices);
        }
        object.insert(QStringLiteral("localfile"), file.relativePath);
        object.insert(QStringLiteral("unpackedsize"), static_cast<qint64>(file.size));
        object.insert(QStringLiteral("unpackedhash"), QString::fromLatin1(file.digest.toHex()));
        object.insert(QStringLiteral("executable"), file.executable);
        (file.inAssets ? assetFiles : packageFiles).append(object);
        (file.inAssets ? result.assetFiles : result.files) += 1;
    }
    result.files += result.assetFiles;

    if (!options.assetPatterns.isEmpty()) {
        if (result.assetFiles == 0) {
            result.warnings << QStringLiteral(
                "no file matches the asset patterns; the asset document is empty");
        }
        QJsonObject assets;
        assets.insert(QStringLiteral("version"),
                      options.assetVersion.isEmpty() ? options.version : options.assetVersion);
        assets.insert(QStringLiteral("chunks"), assetChunks);
        assets.insert(QStringLiteral("files"), assetFiles);
        result.assetDocumentPath = output + QLatin1Char('/') + options.assetDocumentName;
        if (!writeDocument(result.assetDocumentPath, assets, result.error)) {
            return result;
        }
    }
    QJsonObject package;
    package.insert(QStringLiteral("version"), options.version);
    if (!executable.isEmpty()) {
        package.insert(QStringLiteral("executable"), executable);
    }
    if (!options.parameters.isEmpty()) {
        package.insert(QStringLiteral("parameters"), QJsonArray::fromStringList(options.parameters));
    }
    if (!options.generation.isEmpty()) {
        package.insert(QStringLiteral("generation"), options.generation);
    }
    if (!options.variant.isEmpty()) {
        package.insert(QStringLiteral("variant"), options.variant);
    }
    package.insert(QStringLiteral("chunks"), packageChunks);
    package.insert(QStringLiteral("files"), packageFiles);
    // Written last: whoever reads it finds every unit and the asset document already in place.
    result.packageDocumentPath = output + QLatin1Char('/') + options.packageDocumentName;
    if (!writeDocument(result.packageDocumentPath, package, result.error)) {
        return result;
    }
    result.success = true;
    return result;
}

} // namespace publish
