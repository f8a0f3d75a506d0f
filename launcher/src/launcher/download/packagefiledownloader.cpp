#include "launcher/download/packagefiledownloader.h"

#include <QDebug>
#include <QThread>

#include <algorithm>
#include <set>

namespace quarn {
namespace launcher {

namespace {

constexpr int PROGRESS_TICK_MS = 100;
// The rate averages run over at most this many ticks before they restart from their own value.
constexpr quint64 RATE_WINDOW_TICKS = 31;

template <typename Map> TFileSize sumOf(const Map& map) {
    TFileSize total = 0;
    for (const auto& entry : map) {
        total += entry.second;
    }
    return total;
}

} // namespace

void TPackageFileDownloader::TRateAverage::add(quint64 delta) {
    if (samples == 0) {
        average = static_cast<double>(delta);
        samples = 1;
        return;
    }
    average = (static_cast<double>(samples) * average + static_cast<double>(delta)) /
              static_cast<double>(samples + 1);
    ++samples;
    if (samples >= RATE_WINDOW_TICKS) {
        average = static_cast<double>(static_cast<quint64>(average));
        samples = 1;
    }
}

TFileSize TPackageFileDownloader::TRateAverage::perSecond() const {
    if (samples == 0) {
        return 0;
    }
    return static_cast<TFileSize>(average) * (1000 / PROGRESS_TICK_MS);
}

TPackageFileDownloader::TPackageFileDownloader(
    std::shared_ptr<shared::TDownloadPool> downloadPool,
    const std::shared_ptr<TLauncherFilesystemHelper>& filesystemHelper)
    : QObject(nullptr), m_downloadPool(std::move(downloadPool)), m_filesystemHelper(filesystemHelper) {
    qRegisterMetaType<quarn::launcher::EPackageDownloaderError>("quarn::launcher::EPackageDownloaderError");
    if (m_filesystemHelper && m_filesystemHelper->launcherSettings()) {
        m_maxCachedChunks = m_filesystemHelper->launcherSettings()->maxCachedChunks();
        m_chunkVerification = m_filesystemHelper->launcherSettings()->chunkVerification();
    }
    m_progressTimer.setInterval(PROGRESS_TICK_MS);
    connect(m_downloadPool.get(), &shared::TDownloadPool::success, this,
            &TPackageFileDownloader::onDownloadCompleted);
    connect(m_downloadPool.get(), &shared::TDownloadPool::failed, this,
            &TPackageFileDownloader::onDownloadFailed);
    connect(m_downloadPool.get(), &shared::TDownloadPool::progress, this,
            [this](const QUrl& url, qlonglong bytes) {
                onDownloadProgress(url, static_cast<TFileSize>(std::max<qlonglong>(0, bytes)));
            });
    connect(this, &TPackageFileDownloader::writeProgress, this, &TPackageFileDownloader::onWriteProgress,
            Qt::QueuedConnection);
    connect(&m_progressTimer, &QTimer::timeout, this, &TPackageFileDownloader::onProgressTick);
}

TPackageFileDownloader::~TPackageFileDownloader() {
    // Worker tasks use the pending chunks and this object's mutex.
    while (m_runningTasks.load() > 0) {
        QThread::msleep(2);
    }
}

void TPackageFileDownloader::setDownloadDirectory(const QDir& directory) {
    m_downloadDirectory = directory;
}

void TPackageFileDownloader::setFileRemovalStrategy(EFileRemovalStrategy strategy) {
    m_fileRemovalStrategy = strategy;
}

void TPackageFileDownloader::submitFiles(const TFileToDownloadVector& files) {
    {
        QMutexLocker locker(&m_pendingChunkMutex);
        m_pendingChunks.clear();
        m_chunksCachedInMemory = 0;
    }
    std::map<QUrl, TChunkToDownload> chunksByUrl;
    for (const TFileToDownload& file : files) {
        const std::vector<int>& indices = file.chunksToDownload();
        const TChunkInPackageVector& chunks = file.fileData().chunks();
        std::list<int> remaining;
        for (int index : indices) {
            // Indices come from the scan of untrusted documents; one outside the list is dropped.
            if (index >= 0 && static_cast<size_t>(index) < chunks.size()) {
                remaining.push_back(index);
            } else {
                qWarning() << "submitFiles: chunk index" << index << "out of range for"
                           << file.fileData().relativeLocalPath();
            }
        }
        const QString fullPath =
            m_filesystemHelper->getFullPath(m_downloadDirectory, file.fileData().relativeLocalPath());
        auto state = std::make_shared<TChunkedFileState>(file.fileData(), remaining, fullPath);
        std::set<QByteArray> digestsInFile;
        for (int index : remaining) {
            const TChunkInPackage& chunk = chunks[static_cast<size_t>(index)];
            const QByteArray& digest = chunk.unpackedFileMetadata().fileHash();
            {
                QMutexLocker locker(&m_pendingChunkMutex);
                auto pending = m_pendingChunks.find(digest);
                if (pending == m_pendingChunks.end()) {
                    pending = m_pendingChunks.insert(digest, std::make_shared<TPendingChunk>());
                }
                // One usage per place at which the content must be written, in all files.
                pending.value()->addUsage();
            }
            if (!digestsInFile.insert(digest).second) {
                continue;
            }
            auto entry = chunksByUrl.find(chunk.fileUrl());
            if (entry == chunksByUrl.end()) {
                entry = chunksByUrl.emplace(chunk.fileUrl(), TChunkToDownload(chunk)).first;
            }
            entry->second.addFile(state);
        }
    }
    m_allChunks.clear();
    for (auto& entry : chunksByUrl) {
        m_allChunks.push_back(std::move(entry.second));
    }
    m_allChunks.sortByOffset();
}

void TPackageFileDownloader::startDownload() {
    qInfo() << "start download of " << m_allChunks.size() << " files Thread: " << QThread::currentThreadId();
    m_chunksInProgress = m_allChunks;
    m_chunksInProgress.sortByUrl();
    m_chunksToWrite = m_chunksInProgress;
    m_atLeastOneDownloadFailed = false;
    m_atLeastOneSavingOperationFailed = false;
    m_failureReason.clear();
    m_downloadProgress.clear();
    m_writeProgress.clear();
    m_progressTimer.start();
    m_lastDownloadTotal = 0;
    m_lastWriteTotal = 0;
    m_downloadRate = TRateAverage();
    m_writeRate = TRateAverage();
    if (m_allChunks.empty()) {
        emitFinishedSignalWhenNoMoreFilesAreOutstanding();
        return;
    }
    // Copies: a synchronous failure report may change the lists while they are walked.
    const TChunksToDownloadVector chunks = m_allChunks;
    for (const TChunkToDownload& chunk : chunks) {
        const QUrl url = chunk.chunkData().fileUrl();
        const QString scheme = url.scheme().toLower();
        if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
            // A document may only send the launcher to the network, never to a local file or
            // inline data.
            qCritical() << "Download of " << url << "refused: only http and https addresses are fetched";
            noteFailure(QStringLiteral("cannot download %1: only http and https addresses are fetched")
                            .arg(url.toString()));
            const auto refused = m_chunksInProgress.findByUrlWhenSortedByUrl(url);
            if (refused != m_chunksInProgress.end()) {
                m_chunksInProgress.erase(refused);
            }
            m_atLeastOneDownloadFailed = true;
            emitFinishedSignalWhenNoMoreFilesAreOutstanding();
            continue;
        }
        qInfo() << "start download of " << url << " Thread: " << QThread::currentThreadId();
        // A stored chunk is its content, or a container of at most the content plus a header.
        const quint64 unpacked = chunk.chunkData().unpackedFileMetadata().fileSize();
        const quint64 limit =
            std::min<quint64>(unpacked, MAXIMUM_CHUNK_RESPONSE_SIZE) + CONTAINER_HEADER_ALLOWANCE;
        m_downloadPool->SetResponseSizeLimit(url, static_cast<qint64>(limit));
        m_downloadPool->Submit(url);
    }
}

TFileSize TPackageFileDownloader::downloadSizeInBytes() const {
    return sumOf(m_downloadProgress);
}

TFileSize TPackageFileDownloader::writtenSizeInBytes() const {
    return sumOf(m_writeProgress);
}

TFileSize TPackageFileDownloader::totalSizeToDownloadInBytes() const {
    TFileSize total = 0;
    for (const TChunkToDownload& chunk : m_allChunks) {
        total += chunk.chunkData().packedFileMetadata().fileSize();
    }
    return total;
}

TFileSize TPackageFileDownloader::totalSizeToWriteInBytes() const {
    TFileSize total = 0;
    for (const TChunkToDownload& chunk : m_allChunks) {
        total += chunk.chunkData().unpackedFileMetadata().fileSize();
    }
    return total;
}

TFileSize TPackageFileDownloader::downloadedBytesPerSecond() const {
    return m_downloadRate.perSecond();
}

TFileSize TPackageFileDownloader::writtenBytesPerSecond() const {
    return m_writeRate.perSecond();
}

bool TPackageFileDownloader::downloadRunning() const {
    return m_downloadPool->GetActiveDownloads() > 0;
}

int TPackageFileDownloader::chunksCachedInMemory() const {
    QMutexLocker locker(&m_pendingChunkMutex);
    return m_chunksCachedInMemory;
}

void TPackageFileDownloader::onDownloadCompleted(QUrl Url, QByteArray Data) {
    qInfo() << "onDownloadCompleted " << Url << " Thread: " << QThread::currentThreadId();
    processDownloadedData(Url, Data, false, false);
}

void TPackageFileDownloader::onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code,
                                              QString ErrorString) {
    Q_UNUSED(Code);
    qInfo() << "onDownloadFailed " << Url << " Thread: " << QThread::currentThreadId();
    m_downloadPool->MarkDownloadAsFinished(Url);
    const auto chunk = m_chunksInProgress.findByUrlWhenSortedByUrl(Url);
    if (chunk == m_chunksInProgress.end()) {
        return;
    }
    if (chunk->getRetries() >= MAX_RETRIES) {
        qCritical() << "Download of " << Url << "failed:" << ErrorString;
        noteFailure(QStringLiteral("cannot download %1: %2").arg(Url.toString(), ErrorString));
        m_chunksInProgress.erase(chunk);
        m_atLeastOneDownloadFailed = true;
        emitFinishedSignalWhenNoMoreFilesAreOutstanding();
        return;
    }
    qInfo() << "Retry " << Url << " Thread: " << QThread::currentThreadId();
    chunk->increaseRetries();
    m_downloadPool->Submit(Url);
}

void TPackageFileDownloader::onDownloadProgress(QUrl Url, TFileSize DownloadedBytes) {
    if (m_chunksInProgress.findByUrlWhenSortedByUrl(Url) != m_chunksInProgress.end()) {
        m_downloadProgress[Url] = DownloadedBytes;
    }
}

void TPackageFileDownloader::onWriteProgress(QUrl Url, TFileSize DownloadedBytes) {
    const auto chunk = m_chunksToWrite.findByUrlWhenSortedByUrl(Url);
    if (chunk != m_chunksToWrite.end()) {
        m_writeProgress[Url] = DownloadedBytes;
        m_chunksToWrite.erase(chunk);
    }
}

void TPackageFileDownloader::onProgressTick() {
    // A chunk fetched again restarts its count, so a total can go down; that tick counts as no
    // progress instead of a difference wrapped around to nearly 2^64.
    const auto increase = [](quint64 now, quint64 before) { return now > before ? now - before : 0; };
    const quint64 downloaded = downloadSizeInBytes();
    m_downloadRate.add(increase(downloaded, m_lastDownloadTotal));
    m_lastDownloadTotal = downloaded;
    const quint64 written = writtenSizeInBytes();
    m_writeRate.add(increase(written, m_lastWriteTotal));
    m_lastWriteTotal = written;
    emit progress(downloaded, totalSizeToDownloadInBytes(), written, totalSizeToWriteInBytes());
}

void TPackageFileDownloader::processFinishedData(const QUrl& url) {
    qInfo() << "processFinishedData: " << url << " Thread: " << QThread::currentThreadId();
    m_downloadPool->MarkDownloadAsFinished(url);
    const auto chunk = m_chunksInProgress.findByUrlWhenSortedByUrl(url);
    if (chunk == m_chunksInProgress.end()) {
        return;
    }
    qInfo() << "processFinishedData found: " << url << " Thread: " << QThread::currentThreadId();
    m_chunksInProgress.erase(chunk);
    emitFinishedSignalWhenNoMoreFilesAreOutstanding();
}

void TPackageFileDownloader::emitFinishedSignalWhenNoMoreFilesAreOutstanding() {
    qInfo() << "emitFinishedSignalWhenNoMoreFilesAreOutstanding ActiveDownloads: "
            << m_downloadPool->GetActiveDownloads() << " FilesInProgress: " << m_chunksInProgress.size()
            << " AtLeastOneDownloadFailed " << (m_atLeastOneDownloadFailed ? "true" : "false")
            << " AtLeastOneSavingOperationFailed " << (m_atLeastOneSavingOperationFailed ? "true" : "false")
            << " Thread: " << QThread::currentThreadId();
    if (!m_chunksInProgress.empty()) {
        return;
    }
    if (!m_atLeastOneDownloadFailed && !m_atLeastOneSavingOperationFailed && !allFilesWritten()) {
        // Every chunk ended well, yet a place was never written (a document that lists different
        // contents under one URL): the file has a hole, which is no success.
        m_atLeastOneSavingOperationFailed = true;
        noteFailure(QStringLiteral("a file was left incomplete"));
    }
    m_downloadRate.samples = 0;
    m_writeRate.samples = 0;
    m_progressTimer.stop();
    emit progress(downloadSizeInBytes(), totalSizeToDownloadInBytes(), writtenSizeInBytes(),
                  totalSizeToWriteInBytes());
    if (m_atLeastOneDownloadFailed) {
        emit downloadFailed(PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED);
    } else if (m_atLeastOneSavingOperationFailed) {
        emit downloadFailed(PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED);
    } else {
        emit downloadCompleted();
    }
}

bool TPackageFileDownloader::allFilesWritten() {
    for (const TChunkToDownload& chunk : m_allChunks) {
        for (const std::shared_ptr<TChunkedFileState>& state : chunk.files()) {
            if (!state) {
                continue;
            }
            QMutexLocker locker(state->fileLock());
            if (!state->remainingChunks().empty()) {
                qWarning() << "File" << state->fileData().relativeLocalPath() << "still lacks"
                           << state->remainingChunks().size() << "chunks";
                return false;
            }
        }
    }
    return true;
}

} // namespace launcher
} // namespace quarn
