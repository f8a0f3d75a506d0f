// The processing chain of a downloaded chunk: decompress (when marked), verify against the
// unpacked digest, then write into every file that needs it, front to back. Each stage runs on
// the global thread pool; its end is handled on the downloader's thread.
#include "launcher/download/packagefiledownloader.h"

#include "launcher/environment/packagepathguard.h"
#include "shared/compressionhelper.h"
#include "shared/filesystemhelper.h"
#include "shared/sha256.h"

#include <QDebug>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace quarn {
namespace launcher {

namespace {

void appendCheckLog(const QString& targetPath, quint64 offset, const char* text) {
    QFile log(targetPath + QStringLiteral(".log"));
    if (log.open(QIODevice::WriteOnly | QIODevice::Append)) {
        log.write(QByteArray::number(offset) + text + '\n');
    }
}

} // namespace

template <typename Task, typename Callback>
void TPackageFileDownloader::runStage(const QUrl& url, Task task, Callback callback) {
    auto* watcher = new QFutureWatcher<TStageResult>(this);
    connect(watcher, &QFutureWatcher<TStageResult>::finished, this, [this, watcher, url, callback]() {
        const TStageResult result = watcher->result();
        watcher->deleteLater();
        (this->*callback)(url, result);
    });
    ++m_runningTasks;
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [this, task]() {
        TStageResult result;
        try {
            result.data = task();
            result.ok = true;
        } catch (const std::exception& error) {
            result.error = QString::fromUtf8(error.what());
        } catch (...) {
            result.error = QStringLiteral("unknown error");
        }
        --m_runningTasks;
        return result;
    }));
}

void TPackageFileDownloader::processDownloadedData(const QUrl& url, const QByteArray& data, bool decompressed,
                                                   bool verified) {
    const auto found = m_chunksInProgress.findByUrlWhenSortedByUrl(url);
    if (found == m_chunksInProgress.end()) {
        // Late or duplicate data.
        m_downloadPool->MarkDownloadAsFinished(url);
        return;
    }
    const TChunkToDownload chunk = *found;
    const bool unpack = chunk.chunkData().unpackAfterDownload();
    const auto tid = QThread::currentThreadId();
    if ((verified && (decompressed || !unpack))) {
        qInfo() << "processDownloadedData save " << url << " Thread: " << tid;
        runStage(
            url,
            [this, chunk, data]() {
                saveDownloadedData(chunk, data);
                return QByteArray();
            },
            &TPackageFileDownloader::onSaveFinished);
    } else if ((verified || !decompressed) && unpack) {
        qInfo() << "processDownloadedData decompress " << url << " Thread: " << tid;
        runStage(
            url, [this, chunk, data]() { return decompressDownloadedData(chunk, data); },
            &TPackageFileDownloader::onDecompressFinished);
    } else {
        qInfo() << "processDownloadedData verify " << url << " Thread: " << tid;
        runStage(
            url, [this, chunk, data]() { return verifyDownloadedData(chunk, data); },
            &TPackageFileDownloader::onVerifyFinished);
    }
}

QByteArray TPackageFileDownloader::decompressDownloadedData(TChunkToDownload chunk, QByteArray data) const {
    qDebug() << "decompressDownloadedData " << chunk.chunkData().fileUrl() << "started";
    // A chunk of a chunk list is at most 16 MiB and its container is bounded accordingly; a file
    // fetched as one unit may be as large as the pipeline can hold.
    const bool wholeFile = std::any_of(
        chunk.files().begin(), chunk.files().end(),
        [](const std::shared_ptr<TChunkedFileState>& file) { return file->fileData().isWholeFileUnit(); });
    QByteArray result = shared::TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(
        data, wholeFile ? shared::TCompressionHelper::MAX_WHOLE_FILE_UNPACKED_LENGTH
                        : shared::TCompressionHelper::MAX_UNPACKED_LENGTH);
    qDebug() << "decompressDownloadedData " << chunk.chunkData().fileUrl() << "finished";
    return result;
}

QByteArray TPackageFileDownloader::verifyDownloadedData(TChunkToDownload chunk, QByteArray data) const {
    qDebug() << "verifyDownloadedData " << chunk.chunkData().fileUrl() << "started";
    if (shared::TSha256::hash(data) != chunk.chunkData().unpackedFileMetadata().fileHash()) {
        qInfo() << "saveDownloadedData failed: invalid hash";
        throw std::runtime_error(QStringLiteral("verify of url '%1' failed")
                                     .arg(chunk.chunkData().fileUrl().toString())
                                     .toUtf8()
                                     .toStdString());
    }
    qDebug() << "verifyDownloadedData " << chunk.chunkData().fileUrl() << "finished";
    return data;
}

void TPackageFileDownloader::onDecompressFinished(const QUrl& url, const TStageResult& result) {
    qInfo() << "processDownloadedData decompress finished " << url
            << " Thread: " << QThread::currentThreadId();
    if (!result.ok) {
        qWarning() << "Failed to decompress file downloaded from" << url << result.error;
        noteFailure(QStringLiteral("cannot decode what %1 sent: %2").arg(url.toString(), result.error));
        giveUpChunk(url, true);
        return;
    }
    processDownloadedData(url, result.data, true, false);
}

void TPackageFileDownloader::onVerifyFinished(const QUrl& url, const TStageResult& result) {
    qInfo() << "processDownloadedData verify finished " << url << " Thread: " << QThread::currentThreadId();
    if (!result.ok) {
        qWarning() << "Failed to verify file downloaded from" << url << result.error;
        m_downloadPool->MarkDownloadAsFinished(url);
        const auto chunk = m_chunksInProgress.findByUrlWhenSortedByUrl(url);
        if (chunk != m_chunksInProgress.end()) {
            if (chunk->getRetries() >= MAX_VERIFY_RETRIES) {
                qCritical() << "Verify of " << url << "failed.";
                noteFailure(QStringLiteral("what %1 sent does not match its digest: %2")
                                .arg(url.toString(), result.error));
                m_chunksInProgress.erase(chunk);
                m_atLeastOneDownloadFailed = true;
            } else {
                qInfo() << "Retry " << url << " Thread: " << QThread::currentThreadId();
                chunk->increaseRetries();
                m_downloadPool->Submit(url);
            }
        }
        emitFinishedSignalWhenNoMoreFilesAreOutstanding();
        return;
    }
    processDownloadedData(url, result.data, true, true);
}

void TPackageFileDownloader::onSaveFinished(const QUrl& url, const TStageResult& result) {
    qInfo() << "processDownloadedData save completed " << url << " Thread: " << QThread::currentThreadId();
    if (!result.ok) {
        qWarning() << "Failed to save file downloaded from" << url << result.error;
        noteFailure(QStringLiteral("cannot write what %1 sent: %2").arg(url.toString(), result.error));
        giveUpChunk(url, false);
        return;
    }
    processFinishedData(url);
}

void TPackageFileDownloader::giveUpChunk(const QUrl& url, bool downloadFailure) {
    m_downloadPool->MarkDownloadAsFinished(url);
    const auto chunk = m_chunksInProgress.findByUrlWhenSortedByUrl(url);
    if (chunk != m_chunksInProgress.end()) {
        m_chunksInProgress.erase(chunk);
    }
    if (downloadFailure) {
        m_atLeastOneDownloadFailed = true;
    } else {
        m_atLeastOneSavingOperationFailed = true;
    }
    emitFinishedSignalWhenNoMoreFilesAreOutstanding();
}

void TPackageFileDownloader::saveDownloadedData(TChunkToDownload chunk, QByteArray data) {
    qInfo() << "saveDownloadedData chunk " << chunk.chunkData().fileUrl()
            << " Thread: " << QThread::currentThreadId();
    bool setAsideDone = false;
    for (const std::shared_ptr<TChunkedFileState>& state : chunk.files()) {
        if (state) {
            QMutexLocker fileLock(state->fileLock());
            saveIntoFile(chunk, data, *state, setAsideDone);
        }
    }
}

void TPackageFileDownloader::saveIntoFile(TChunkToDownload& chunk, const QByteArray& data,
                                          TChunkedFileState& state, bool& setAsideDone) {
    const QByteArray& digest = chunk.chunkData().unpackedFileMetadata().fileHash();
    const QString path =
        m_filesystemHelper->getFullPath(m_downloadDirectory, state.fileData().relativeLocalPath());
    const TChunkInPackageVector& chunks = state.fileData().chunks();
    std::list<int>& remaining = state.remainingChunks();
    QFile& target = state.file();

    if (!state.isPrepared()) {
        state.setPrepared();
        // Nothing is written through a link: links and special files on the way are replaced, and
        // a real folder where the file belongs is never removed to make room.
        const EPackagePathKind kind = TPackagePathGuard::inspect(m_downloadDirectory, path);
        if (kind == PACKAGE_PATH_KIND_FOLDER) {
            throw std::runtime_error(TPackagePathGuard::folderInTheWayMessage(path).toUtf8().toStdString());
        }
        if (remaining.size() == chunks.size()) {
            // Every chunk is new: whatever is there goes first.
            try {
                TPackagePathGuard::makeRoomForFile(m_downloadDirectory, path);
            } catch (const std::runtime_error&) {
                if (m_fileRemovalStrategy != FILE_REMOVAL_STRATEGY_MOVE_TO_BACKUP) {
                    throw;
                }
                m_filesystemHelper->moveFileOrDirectory(path, m_filesystemHelper->getFileBackupPath(path));
            }
        } else if (kind == PACKAGE_PATH_KIND_OTHER) {
            // The scan kept parts of a regular file here; something else has taken its place.
            shared::throwRuntimeError(target, QStringLiteral("couldn't open target file"));
        }
        TPackagePathGuard::createFoldersFor(m_downloadDirectory, path);
    }

    const std::vector<quint64> offsets = state.fileData().chunkOffsets();
    auto entry = remaining.begin();
    while (entry != remaining.end()) {
        const int index = *entry;
        const TChunkInPackage& chunkAtIndex = chunks[static_cast<size_t>(index)];
        const QByteArray& digestAtIndex = chunkAtIndex.unpackedFileMetadata().fileHash();
        const quint64 size = chunkAtIndex.unpackedFileMetadata().fileSize();
        const quint64 offset = offsets[static_cast<size_t>(index)];

        // Where the bytes come from: this task's data, or a copy set aside earlier.
        std::shared_ptr<TPendingChunk> pending;
        TPendingChunk::ELoadType source = TPendingChunk::LOAD_TYPE_NONE;
        QByteArray bytes;
        const bool straight = digestAtIndex == digest;
        if (straight) {
            bytes = data;
        } else {
            QMutexLocker locker(&m_pendingChunkMutex);
            const auto found = m_pendingChunks.constFind(digestAtIndex);
            if (found != m_pendingChunks.constEnd()) {
                pending = found.value();
                source = pending->loadType();
                if (source == TPendingChunk::LOAD_TYPE_MEMORY) {
                    bytes = pending->data();
                } else if (source == TPendingChunk::LOAD_TYPE_TEMPORARY_FILE) {
                    // Read under the mutex: the temporary file object is shared by every task.
                    QFile& file = pending->file();
                    if (!file.open(QIODevice::ReadWrite)) {
                        shared::throwRuntimeError(file, QStringLiteral("couldn't open chunk file"));
                    }
                    bytes = file.readAll();
                    file.close();
                    if (static_cast<quint64>(bytes.size()) != size) {
                        shared::throwRuntimeError(file, QStringLiteral("couldn't read chunk file"));
                    }
                }
            }
            if (source == TPendingChunk::LOAD_TYPE_NONE) {
                qInfo() << "saveDownloadedData chunk " << chunkAtIndex.fileUrl() << " not found for " << path
                        << ". => Wait for chunk"
                        << " Thread: " << QThread::currentThreadId();
                break;
            }
        }

        if (!target.isOpen()) {
            if (!target.open(QIODevice::ReadWrite)) {
                shared::throwRuntimeError(target, QStringLiteral("couldn't open target file"));
            }
            if (m_chunkVerification && !state.wasOpened()) {
                QFile::remove(path + QStringLiteral(".log"));
            }
            state.setOpened();
        }

        if (m_chunkVerification) {
            // Verify once every kept chunk between the previous write and this one.
            quint64 position = state.writtenEnd();
            for (int previous = 0; previous < index; ++previous) {
                const quint64 end = offsets[static_cast<size_t>(previous) + 1];
                if (position >= end) {
                    continue;
                }
                const quint64 previousSize =
                    chunks[static_cast<size_t>(previous)].unpackedFileMetadata().fileSize();
                const qint64 fileSize = target.size();
                if (fileSize < 0 || position + previousSize > static_cast<quint64>(fileSize) ||
                    !target.seek(static_cast<qint64>(position))) {
                    shared::throwRuntimeError(target, QStringLiteral("invalid old chunk"));
                }
                const QByteArray kept = target.read(static_cast<qint64>(previousSize));
                if (static_cast<quint64>(kept.size()) != previousSize) {
                    shared::throwRuntimeError(target, QStringLiteral("invalid old chunk"));
                }
                if (shared::TSha256::hash(kept) !=
                    chunks[static_cast<size_t>(previous)].unpackedFileMetadata().fileHash()) {
                    appendCheckLog(path, position, ": check failed");
                    shared::throwRuntimeError(target, QStringLiteral("invalid hash"));
                }
                appendCheckLog(path, position, ": check succeeded");
                position += previousSize;
            }
            const bool correct = shared::TSha256::hash(bytes) == digestAtIndex;
            if (straight) {
                appendCheckLog(path, offset, correct ? ": write succeeded" : ": write failed");
            } else if (source == TPendingChunk::LOAD_TYPE_MEMORY) {
                appendCheckLog(path, offset, correct ? ": write cache correct" : ": write cache invalid");
            } else {
                if (!correct) {
                    appendCheckLog(path, offset, ": write tmp file invalid");
                    shared::throwRuntimeError(target, QStringLiteral("invalid hash"));
                }
                appendCheckLog(path, offset, ": write tmp file correct");
            }
        }
        if (!target.seek(static_cast<qint64>(offset))) {
            shared::throwRuntimeError(target, QStringLiteral("couldn't write chunk file"));
        }
        const char* how = straight                                    ? " to "
                          : source == TPendingChunk::LOAD_TYPE_MEMORY ? " from cache to "
                                                                      : " from temp file to ";
        qInfo() << "saveDownloadedData chunk " << chunkAtIndex.fileUrl() << how << target.fileName()
                << " offset: " << offset << " Thread: " << QThread::currentThreadId();
        // A short write (a full disk, a file size limit) sets no error; writing the rest then
        // fails with the operating system's reason, which the message carries.
        qint64 written = 0;
        while (written >= 0 && static_cast<quint64>(written) < size) {
            const qint64 more =
                target.write(bytes.constData() + written, static_cast<qint64>(size) - written);
            if (more <= 0)
                break;
            written += more;
        }
        if (static_cast<quint64>(written) != size) {
            shared::throwRuntimeError(target, QStringLiteral("couldn't write chunk file"));
        }
        {
            // Every written place counts, so a copy is dropped as soon as no place needs it.
            QMutexLocker locker(&m_pendingChunkMutex);
            releaseUsageLocked(digestAtIndex);
        }
        state.setWrittenEnd(offset + size);
        emit writeProgress(chunkAtIndex.fileUrl(), size);
        entry = remaining.erase(entry);
    }

    // Closed after every walk: a file that waits for a missing chunk must not hold a descriptor,
    // since the first chunks of all files arrive before the later ones.
    if (target.isOpen()) {
        // Flushed first: closing clears the reason of a failed flush.
        if (!target.flush()) {
            shared::throwRuntimeError(target, QStringLiteral("couldn't write chunk file"));
        }
        target.close();
        if (target.error() != QFileDevice::NoError) {
            shared::throwRuntimeError(target, QStringLiteral("couldn't write chunk file"));
        }
    }
    if (remaining.empty()) {
        if (state.fileData().isExecutable()) {
            m_filesystemHelper->setExecutableBits(path);
        }
        return;
    }
    if (setAsideDone) {
        return;
    }
    for (auto later = entry; later != remaining.end(); ++later) {
        if (chunks[static_cast<size_t>(*later)].unpackedFileMetadata().fileHash() == digest) {
            QMutexLocker locker(&m_pendingChunkMutex);
            setAsideLocked(digest, data);
            setAsideDone = true;
            break;
        }
    }
}

void TPackageFileDownloader::releaseUsageLocked(const QByteArray& digest) {
    const auto found = m_pendingChunks.find(digest);
    if (found == m_pendingChunks.end()) {
        return;
    }
    const std::shared_ptr<TPendingChunk> pending = found.value();
    pending->removeUsage();
    if (pending->used()) {
        return;
    }
    if (pending->loadType() == TPendingChunk::LOAD_TYPE_MEMORY) {
        pending->setData(QByteArray());
        --m_chunksCachedInMemory;
    } else if (pending->loadType() == TPendingChunk::LOAD_TYPE_TEMPORARY_FILE) {
        pending->file().remove();
    }
    pending->setLoadType(TPendingChunk::LOAD_TYPE_NONE);
    m_pendingChunks.erase(found);
}

void TPackageFileDownloader::setAsideLocked(const QByteArray& digest, const QByteArray& data) {
    const auto found = m_pendingChunks.constFind(digest);
    if (found == m_pendingChunks.constEnd()) {
        throw std::runtime_error("couldn't find pending chunk");
    }
    TPendingChunk& pending = *found.value();
    if (pending.loadType() != TPendingChunk::LOAD_TYPE_NONE) {
        // Another download of the same content has already kept it.
        return;
    }
    // The whole decision is taken under the mutex, so no other task can see the content half kept.
    if (m_chunksCachedInMemory > m_maxCachedChunks) {
        saveChunkData(pending.file(), data);
        pending.setLoadType(TPendingChunk::LOAD_TYPE_TEMPORARY_FILE);
    } else {
        ++m_chunksCachedInMemory;
        pending.setData(data);
        pending.setLoadType(TPendingChunk::LOAD_TYPE_MEMORY);
    }
}

void TPackageFileDownloader::saveChunkData(QFileDevice& device, const QByteArray& bytes) const {
    if (!device.open(QIODevice::WriteOnly)) {
        shared::throwRuntimeError(device, QStringLiteral("couldn't open chunk file"));
    }
    // As for the target files: the rest of a short write is written again to learn the reason,
    // and the flush, not the close, reports a failure with it.
    qint64 written = 0;
    while (written < bytes.size()) {
        const qint64 more = device.write(bytes.constData() + written, bytes.size() - written);
        if (more <= 0)
            break;
        written += more;
    }
    if (written != bytes.size() || !device.flush()) {
        shared::throwRuntimeError(device, QStringLiteral("couldn't write chunk file"));
    }
    device.close();
    if (device.error() != QFileDevice::NoError) {
        shared::throwRuntimeError(device, QStringLiteral("couldn't write chunk file"));
    }
}

} // namespace launcher
} // namespace quarn
