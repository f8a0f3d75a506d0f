#include "launcher/installation/packagescan.h"

#include "launcher/environment/packagepathguard.h"
#include "launcher/installation/chunking.h"
#include "shared/sha256.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QMutex>
#include <QSet>
#include <QTemporaryFile>
#include <QThread>
#include <QtConcurrent>

#include <deque>
#include <stdexcept>

namespace quarn::launcher {

namespace {

// Bytes read at a time when a whole file is hashed.
constexpr qint64 HASH_BLOCK_SIZE = 4 * 1024 * 1024;
// A chunk is moved inside its file in one piece. Chunks are cut at most 16 MiB long; a larger
// size in a document is not trusted with an allocation and the chunk is downloaded instead.
constexpr quint64 MAXIMUM_RELOCATED_CHUNK_SIZE = 256ull * 1024 * 1024;

enum EReuseState { REUSE_STATE_MISSING = 0, REUSE_STATE_IN_PLACE = 1, REUSE_STATE_ELSEWHERE = 2 };

struct TReuseRecord {
    int state = REUSE_STATE_MISSING;
    quint64 sourceOffset = 0;
    quint64 targetOffset = 0;
    quint64 size = 0;
    bool savedAside = false;
};

// Shared by the six workers of one scan; the mutex guards the work list, the byte counter and
// the failure.
struct TScanState {
    QMutex mutex;
    std::deque<TFileInPackage> workList;
    TFileSize bytesScanned = 0;
    TFileSize bytesTotal = 0;
    bool fastScan = false;
    TFileInPackageVector localFiles; // fast scan only, sorted by path
    TChunkInPackageVector localChunks;
    const TChunkInPackageVector* serverChunks = nullptr;
    QDir packageDirectory;
    std::shared_ptr<TLauncherFilesystemHelper> fileSystemHelper;
    TScanProgressCallback progress;
    QString failure;

    void addScannedBytes(quint64 size) {
        QMutexLocker locker(&mutex);
        bytesScanned += size;
        if (progress)
            progress(bytesScanned, bytesTotal);
    }

    void fail(const QString& message) {
        QMutexLocker locker(&mutex);
        if (failure.isEmpty())
            failure = message;
        workList.clear();
    }
};

struct TWorkerResult {
    TFileToDownloadVector files;
    QStringList unfetchableFiles;
};

// Size and SHA-256 of a whole file; an empty digest when it cannot be read. The caller has made
// sure that the path is a regular file of the package (not a link, FIFO or device).
void hashWholeFile(const QString& path, quint64& size, QByteArray& digest) {
    const QFileInfo info(path);
    size = info.isFile() ? static_cast<quint64>(info.size()) : 0;
    digest.clear();
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        return;
    shared::TSha256 hash;
    QByteArray buffer(HASH_BLOCK_SIZE, Qt::Uninitialized);
    for (;;) {
        const qint64 read = file.read(buffer.data(), buffer.size());
        if (read < 0)
            return;
        if (read == 0)
            break;
        hash.addData(buffer.constData(), read);
    }
    digest = hash.result();
}

bool readAt(QFile& file, quint64 offset, quint64 size, QByteArray& bytes) {
    if (size > MAXIMUM_RELOCATED_CHUNK_SIZE || !file.seek(static_cast<qint64>(offset)))
        return false;
    bytes = file.read(static_cast<qint64>(size));
    return static_cast<quint64>(bytes.size()) == size;
}

bool writeAt(QFile& file, quint64 offset, const QByteArray& bytes) {
    return file.seek(static_cast<qint64>(offset)) && file.write(bytes) == bytes.size();
}

bool rangesOverlap(quint64 firstOffset, quint64 firstSize, quint64 secondOffset, quint64 secondSize) {
    return firstOffset < secondOffset + secondSize && secondOffset < firstOffset + firstSize;
}

class TFileScan {
public:
    TFileScan(TScanState& state, const TFileInPackage& entry, TWorkerResult& result)
        : m_State(state), m_Entry(entry), m_Result(result),
          m_FullPath(state.fileSystemHelper->getFullPath(state.packageDirectory, entry.relativeLocalPath())),
          m_ChunkedFile(entry, *state.serverChunks) {}

    void run() {
        // Only a regular file below real folders of the package is read or changed in place. A
        // link or special file is replaced (the entry itself is removed, never what it points to);
        // a real folder where the build has a file is an error that names it.
        m_Kind = TPackagePathGuard::inspect(m_State.packageDirectory, m_FullPath);
        if (m_Kind == PACKAGE_PATH_KIND_FOLDER)
            throw std::runtime_error(
                TPackagePathGuard::folderInTheWayMessage(m_FullPath).toUtf8().toStdString());
        if (m_Entry.chunkIndices().size() < 2)
            wholeFileCheck();
        else
            chunkReuse();
    }

private:
    void wholeFileCheck() {
        quint64 size = 0;
        QByteArray digest;
        if (m_Kind == PACKAGE_PATH_KIND_FILE)
            hashWholeFile(m_FullPath, size, digest);
        m_State.addScannedBytes(size);
        if (TFileMetadata(size, digest) == m_Entry.unpackedFileMetadata()) {
            qInfo() << "reuseable file found " << m_Entry.relativeLocalPath()
                    << " Thread: " << QThread::currentThreadId();
            return;
        }
        replaceFile();
    }

    void chunkReuse() {
        const TChunkInPackageVector& chunks = m_ChunkedFile.chunks();
        m_Records.assign(chunks.size(), TReuseRecord());
        const std::vector<quint64> targetOffsets = m_ChunkedFile.chunkOffsets();

        quint64 currentOffset = 0;
        bool foundAnything = false;
        auto matcher = [&](const QByteArray& digest, quint64 size) {
            m_State.addScannedBytes(size);
            for (size_t i = 0; i < chunks.size(); ++i) {
                TReuseRecord& record = m_Records[i];
                if (record.state == REUSE_STATE_IN_PLACE)
                    continue;
                if (record.state == REUSE_STATE_ELSEWHERE && targetOffsets[i] != currentOffset)
                    continue;
                if (chunks[i].unpackedFileMetadata().fileHash() != digest)
                    continue;
                if (targetOffsets[i] == currentOffset) {
                    record.state = REUSE_STATE_IN_PLACE;
                    qInfo() << "reuseable chunk on correct position found " << chunks[i].fileUrl().toString()
                            << " file: " << m_FullPath << " offset: " << targetOffsets[i]
                            << " Thread: " << QThread::currentThreadId();
                } else if (record.state == REUSE_STATE_MISSING) {
                    record.state = REUSE_STATE_ELSEWHERE;
                    record.sourceOffset = currentOffset;
                    record.targetOffset = targetOffsets[i];
                    record.size = chunks[i].unpackedFileMetadata().fileSize();
                    qInfo() << "reuseable chunk on wrong position found " << chunks[i].fileUrl().toString()
                            << " file: " << m_FullPath << " source offset: " << currentOffset
                            << " target offset: " << targetOffsets[i]
                            << " Thread: " << QThread::currentThreadId();
                }
                foundAnything = true;
            }
            currentOffset += size;
        };

        const auto local =
            m_State.fastScan
                ? m_State.localFiles.findByFilenameWhenSortedByFilename(m_Entry.relativeLocalPath())
                : m_State.localFiles.end();
        // Fast scan: trust the recorded configuration and read nothing. A file that is missing or
        // whose size differs from its record is certainly not as recorded; it is read instead, so
        // that no chunk of it counts as in place without its bytes.
        const bool readable = m_Kind == PACKAGE_PATH_KIND_FILE;
        const bool recordMatchesSize =
            readable && local != m_State.localFiles.end() &&
            static_cast<quint64>(QFileInfo(m_FullPath).size()) == local->unpackedFileMetadata().fileSize();
        if (recordMatchesSize && local->chunkIndices().size() >= 2) {
            for (int index : local->chunkIndices()) {
                if (index < 0 || static_cast<size_t>(index) >= m_State.localChunks.size())
                    break;
                const TFileMetadata& metadata =
                    m_State.localChunks[static_cast<size_t>(index)].unpackedFileMetadata();
                matcher(metadata.fileHash(), metadata.fileSize());
            }
        } else if (readable) {
            splitIntoChunks(DEFAULT_CHUNK_AVERAGE, m_FullPath.toUtf8().toStdString(),
                            [&](const char* data, quint64 length) {
                                matcher(shared::TSha256::hash(data, static_cast<qint64>(length)), length);
                            });
        }

        if (foundAnything)
            relocateAndCollect();
        else
            replaceFile();
    }

    // Moves the chunks found elsewhere to their offsets inside the old file. Every moved chunk is
    // checked against its digest on the way: a chunk whose bytes cannot be read, do not match or
    // cannot be written is downloaded instead, so no chunk counts as in place without its bytes.
    void relocateAndCollect() {
        TFileToDownload fileToDownload(m_ChunkedFile);
        const TChunkInPackageVector& chunks = m_ChunkedFile.chunks();
        QFile oldFile(m_FullPath);
        bool oldFileOpen = false;
        QTemporaryFile temporaryFile;
        bool temporaryFileOpen = false;
        quint64 temporaryPosition = 0;
        auto openOldFile = [&] {
            if (!oldFileOpen)
                oldFileOpen = oldFile.open(QIODevice::ReadWrite);
            return oldFileOpen;
        };
        auto openTemporaryFile = [&] {
            if (!temporaryFileOpen)
                temporaryFileOpen = temporaryFile.open();
            return temporaryFileOpen;
        };

        for (size_t i = 0; i < chunks.size(); ++i) {
            TReuseRecord& record = m_Records[i];
            if (record.state == REUSE_STATE_IN_PLACE)
                continue;
            if (record.state == REUSE_STATE_ELSEWHERE) {
                // Save aside every later source that this move would overwrite.
                for (size_t j = i + 1; j < chunks.size(); ++j) {
                    TReuseRecord& later = m_Records[j];
                    if (later.state != REUSE_STATE_ELSEWHERE || later.savedAside ||
                        !rangesOverlap(later.sourceOffset, later.size, record.targetOffset, record.size))
                        continue;
                    QByteArray bytes;
                    if (openOldFile() && readAt(oldFile, later.sourceOffset, later.size, bytes) &&
                        openTemporaryFile() && writeAt(temporaryFile, temporaryPosition, bytes)) {
                        later.sourceOffset = temporaryPosition;
                        later.savedAside = true;
                        temporaryPosition += static_cast<quint64>(bytes.size());
                    } else {
                        later.state = REUSE_STATE_MISSING;
                    }
                }
                QByteArray bytes;
                const bool moved =
                    openOldFile() &&
                    readAt(record.savedAside ? temporaryFile : oldFile, record.sourceOffset, record.size,
                           bytes) &&
                    shared::TSha256::hash(bytes) == chunks[i].unpackedFileMetadata().fileHash() &&
                    writeAt(oldFile, record.targetOffset, bytes);
                if (moved) {
                    record.state = REUSE_STATE_IN_PLACE;
                    continue;
                }
                qWarning() << "moving chunk failed, downloading it instead " << chunks[i].fileUrl().toString()
                           << " file: " << m_FullPath;
                record.state = REUSE_STATE_MISSING;
            }
            fileToDownload.addChunk(static_cast<int>(i));
        }

        const quint64 newSize = m_Entry.unpackedFileMetadata().fileSize();
        if (static_cast<quint64>(QFileInfo(m_FullPath).size()) > newSize) {
            if (!openOldFile())
                shared::throwRuntimeError(oldFile, oldFile.errorString());
            if (!oldFile.resize(static_cast<qint64>(newSize)))
                shared::throwRuntimeError(oldFile, oldFile.errorString());
        }
        if (oldFileOpen) {
            if (!oldFile.flush())
                shared::throwRuntimeError(oldFile, oldFile.errorString());
            oldFile.close();
        }
        m_Result.files.push_back(std::move(fileToDownload));
    }

    void replaceFile() {
        TPackagePathGuard::makeRoomForFile(m_State.packageDirectory, m_FullPath);
        const TChunkedFileInPackage unit =
            m_Entry.fullChunk().fileUrl().isEmpty() ? m_ChunkedFile : TChunkedFileInPackage(m_Entry);
        if (unit.chunks().empty()) {
            // Nothing can be fetched for this file. An empty file needs no data at all.
            const TFileMetadata& expected = m_Entry.unpackedFileMetadata();
            if (expected.fileSize() == 0 && (expected.fileHash().isEmpty() ||
                                             expected.fileHash() == shared::TSha256::hash(QByteArray()))) {
                TPackagePathGuard::createFoldersFor(m_State.packageDirectory, m_FullPath);
                m_State.fileSystemHelper->writeFileAtomically(m_FullPath, QByteArray());
                return;
            }
            qWarning() << "no source to download file from " << m_Entry.relativeLocalPath();
            m_Result.unfetchableFiles.append(m_Entry.relativeLocalPath());
            return;
        }
        TFileToDownload fileToDownload(unit);
        for (size_t k = 0; k < unit.chunks().size(); ++k)
            fileToDownload.addChunk(static_cast<int>(k));
        m_Result.files.push_back(std::move(fileToDownload));
    }

    TScanState& m_State;
    const TFileInPackage& m_Entry;
    TWorkerResult& m_Result;
    const QString m_FullPath;
    const TChunkedFileInPackage m_ChunkedFile;
    std::vector<TReuseRecord> m_Records;
    EPackagePathKind m_Kind = PACKAGE_PATH_KIND_MISSING;
};

TWorkerResult scanWorker(TScanState* state) {
    TWorkerResult result;
    for (;;) {
        TFileInPackage entry;
        {
            QMutexLocker locker(&state->mutex);
            if (state->workList.empty())
                return result;
            entry = std::move(state->workList.front());
            state->workList.pop_front();
        }
        try {
            TFileScan(*state, entry, result).run();
        } catch (const std::exception& exception) {
            qWarning() << "scan of file failed: " << entry.relativeLocalPath()
                       << " exception: " << exception.what();
            state->fail(QString::fromUtf8(exception.what()));
        } catch (...) {
            state->fail(QStringLiteral("The scan of '%1' failed.").arg(entry.relativeLocalPath()));
        }
    }
}

// Shared by the six workers of one verification.
struct TVerificationState {
    QMutex mutex;
    std::deque<TFileInPackage> workList;
    TFileSize bytesVerified = 0;
    TFileSize bytesTotal = 0;
    bool result = true;
    QDir packageDirectory;
    std::shared_ptr<TLauncherFilesystemHelper> fileSystemHelper;
    TScanProgressCallback progress;

    void setFailed() {
        QMutexLocker locker(&mutex);
        result = false;
    }
};

// True when the file matches its digest; false ends this worker.
bool verifyOneFile(TVerificationState& state, const TFileInPackage& entry, const QString& fullPath) {
    // A link or special file is not the package's file, whatever it leads to.
    if (TPackagePathGuard::inspect(state.packageDirectory, fullPath) != PACKAGE_PATH_KIND_FILE) {
        qWarning() << "verification of file " << fullPath << " failed: not a regular file";
        return false;
    }
    QFile file(fullPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::ExistingOnly))
        return false;
    shared::TSha256 hash;
    QByteArray buffer(TPackageScanner::VERIFICATION_BLOCK_SIZE, '\0');
    for (;;) {
        const qint64 read = file.read(buffer.data(), buffer.size());
        if (read < 0)
            return false;
        if (read == 0)
            break;
        hash.addData(buffer.constData(), read);
        QMutexLocker locker(&state.mutex);
        state.bytesVerified += static_cast<TFileSize>(read);
        if (state.progress)
            state.progress(state.bytesVerified, state.bytesTotal);
    }
    if (hash.result() != entry.unpackedFileMetadata().fileHash()) {
        qWarning() << "verification of file " << fullPath << " failed";
        return false;
    }
    qInfo() << "verification of file " << fullPath << " successfully"
            << " Thread: " << QThread::currentThreadId();
    return true;
}

void verificationWorker(TVerificationState* state) {
    try {
        for (;;) {
            TFileInPackage entry;
            {
                QMutexLocker locker(&state->mutex);
                if (state->workList.empty() || !state->result)
                    return;
                entry = std::move(state->workList.front());
                state->workList.pop_front();
            }
            const QString fullPath =
                state->fileSystemHelper->getFullPath(state->packageDirectory, entry.relativeLocalPath());
            bool verified = false;
            try {
                verified = verifyOneFile(*state, entry, fullPath);
            } catch (const std::exception& exception) {
                qWarning() << "verification of files crashed in file: " << fullPath
                           << " exception: " << exception.what();
            }
            if (!verified) {
                state->setFailed();
                return;
            }
        }
    } catch (const std::exception& exception) {
        qWarning() << "verification of files crashed. exception: " << exception.what();
        state->setFailed();
    } catch (...) {
        qWarning() << "verification of files crashed ";
        state->setFailed();
    }
}

} // namespace

TPackageDifference TPackageScanner::FindDifferencesBetweenLocalPackageAndServerPackage(
    const QDir& packageDirectory, const std::shared_ptr<TLauncherFilesystemHelper>& fileSystemHelper,
    const TPackageConfigurationReader& serverConfiguration,
    const TPackageConfigurationReader& localConfiguration, bool fastScan,
    const TScanProgressCallback& progress) {
    TPackageDifference difference;
    for (const TFileInPackage& localFile : localConfiguration.containedFiles()) {
        if (serverConfiguration.findFileByRelativePath(localFile.relativeLocalPath()) ==
            serverConfiguration.containedFiles().end())
            difference.filesToDelete.push_back(localFile);
    }
    FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
        serverConfiguration.containedFiles(), serverConfiguration.containedChunks(),
        localConfiguration.containedFiles(), localConfiguration.containedChunks(), fastScan, packageDirectory,
        fileSystemHelper, progress, difference);
    return difference;
}

void TPackageScanner::FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
    const TFileInPackageVector& serverFiles, const TChunkInPackageVector& serverChunks,
    const TFileInPackageVector& localFiles, const TChunkInPackageVector& localChunks, bool fastScan,
    const QDir& packageDirectory, const std::shared_ptr<TLauncherFilesystemHelper>& fileSystemHelper,
    const TScanProgressCallback& progress, TPackageDifference& difference) {
    TScanState state;
    state.serverChunks = &serverChunks;
    state.packageDirectory = packageDirectory;
    state.fileSystemHelper = fileSystemHelper;
    state.progress = progress;
    state.fastScan = fastScan;
    try {
        // Two entries for one file (the same path, or "a//b" and "a/b") would have two workers
        // rewrite it at once; the configuration's first entry decides, the others are left out.
        QSet<QString> fullPaths;
        for (const TFileInPackage& file : serverFiles) {
            const QString fullPath =
                fileSystemHelper->getFullPath(packageDirectory, file.relativeLocalPath());
            if (fullPaths.contains(fullPath)) {
                qWarning() << "file listed twice, the first entry is used: " << file.relativeLocalPath();
                continue;
            }
            fullPaths.insert(fullPath);
            if (TPackagePathGuard::inspect(packageDirectory, fullPath) == PACKAGE_PATH_KIND_FILE)
                state.bytesTotal += static_cast<TFileSize>(QFileInfo(fullPath).size());
            state.workList.push_back(file);
        }
        std::stable_sort(state.workList.begin(), state.workList.end(),
                         [](const TFileInPackage& a, const TFileInPackage& b) {
                             return a.unpackedFileMetadata().fileSize() > b.unpackedFileMetadata().fileSize();
                         });
        if (fastScan) {
            state.localFiles = localFiles;
            state.localFiles.sortByLocalFilename();
            state.localChunks = localChunks;
        }
    } catch (const std::exception& exception) {
        difference.failure = QString::fromUtf8(exception.what());
        return;
    }

    std::vector<QFuture<TWorkerResult>> workers;
    for (int i = 0; i < WORKER_COUNT; ++i)
        workers.push_back(QtConcurrent::run(scanWorker, &state));
    // Waiting runs a worker that has not started yet in this thread, so a small pool still completes.
    for (QFuture<TWorkerResult>& worker : workers) {
        TWorkerResult result = worker.result();
        for (TFileToDownload& file : result.files) {
            if (!file.chunksToDownload().empty())
                difference.filesToDownload.push_back(std::move(file));
        }
        difference.unfetchableFiles += result.unfetchableFiles;
    }
    difference.failure = state.failure;
}

bool TPackageScanner::VerifyPackage(const QDir& packageDirectory,
                                    const std::shared_ptr<TLauncherFilesystemHelper>& fileSystemHelper,
                                    const TFileInPackageVector& files,
                                    const TScanProgressCallback& progress) {
    qInfo() << "VerifyPackage: " << packageDirectory.absolutePath()
            << " Thread: " << QThread::currentThreadId();
    TVerificationState state;
    state.packageDirectory = packageDirectory;
    state.fileSystemHelper = fileSystemHelper;
    state.progress = progress;
    for (const TFileInPackage& file : files) {
        state.workList.push_back(file);
        state.bytesTotal += file.unpackedFileMetadata().fileSize();
    }
    std::vector<QFuture<void>> workers;
    for (int i = 0; i < WORKER_COUNT; ++i)
        workers.push_back(QtConcurrent::run(verificationWorker, &state));
    for (QFuture<void>& worker : workers)
        worker.waitForFinished();
    return state.result;
}

} // namespace quarn::launcher
