#pragma once

#include "launcher/download/downloaditems.h"
#include "launcher/download/filesize.h"
#include "launcher/environment/launcherfilesystemhelper.h"
#include "shared/compressionhelper.h"
#include "shared/downloadpool.h"

#include <QByteArray>
#include <QDir>
#include <QMap>
#include <QMetaType>
#include <QMutex>
#include <QNetworkReply>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <map>
#include <memory>

class QFileDevice;

namespace quarn {
namespace launcher {

// How a target file that must be rewritten from scratch is got out of the way.
enum EFileRemovalStrategy {
    FILE_REMOVAL_STRATEGY_REMOVE = 0,
    // Remove; if that fails, move the file to its ".old" backup path instead (files of the
    // running launcher cannot always be removed).
    FILE_REMOVAL_STRATEGY_MOVE_TO_BACKUP = 1,
};

enum EPackageDownloaderError {
    PACKAGE_DOWNLOADER_ERROR_NONE = 0,
    PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED = 1,
    PACKAGE_DOWNLOADER_ERROR_SAVING_FAILED = 2,
    PACKAGE_DOWNLOADER_ERROR_VERIFICATION_FAILED = 3,
};

// Brings the files of one installation run up to date from their missing chunks: one download per
// distinct chunk URL, submitted in the order the chunks are needed in their files, retried up to
// three times, then decompressed, verified and written into every file that needs it on the
// global thread pool (front to back; chunks that arrive early are set aside in memory or in a
// temporary file). Reports progress every 100 ms and ends with exactly one of downloadCompleted
// or downloadFailed.
//
// The pool must be in manual finish mode: a chunk holds its slot until it has been written or
// given up, so at most the pool's maximum number of chunks is in memory at once.
class TPackageFileDownloader : public QObject {
    Q_OBJECT
public:
    // Further attempts after a failed download or verification (shared count).
    static constexpr int MAX_RETRIES = 3;
    static constexpr int MAX_VERIFY_RETRIES = MAX_RETRIES;
    // Bytes a chunk's response may hold beyond the chunk's unpacked size: the container header
    // (padding, marker, codec, two lengths and the LZMA properties) is far smaller.
    static constexpr quint64 CONTAINER_HEADER_ALLOWANCE = 4096;
    // No response is allowed more than this, whatever a document says a unit holds. Chunks of a
    // chunk list are held to 64 MiB by the document check; a file sent as one unit may be as
    // large as the pipeline can hold in memory.
    static constexpr quint64 MAXIMUM_CHUNK_RESPONSE_SIZE =
        shared::TCompressionHelper::MAX_WHOLE_FILE_UNPACKED_LENGTH;

    TPackageFileDownloader(std::shared_ptr<shared::TDownloadPool> downloadPool,
                           const std::shared_ptr<TLauncherFilesystemHelper>& filesystemHelper);
    ~TPackageFileDownloader() override;

    void setDownloadDirectory(const QDir& directory);
    void setFileRemovalStrategy(EFileRemovalStrategy strategy);
    void submitFiles(const TFileToDownloadVector& files);
    void startDownload();

    TFileSize downloadSizeInBytes() const;
    TFileSize writtenSizeInBytes() const;
    TFileSize totalSizeToDownloadInBytes() const;
    TFileSize totalSizeToWriteInBytes() const;
    TFileSize downloadedBytesPerSecond() const;
    TFileSize writtenBytesPerSecond() const;
    bool downloadRunning() const;
    // Why the last run failed, naming the address or file (the first failure; empty after success).
    QString failureReason() const { return m_failureReason; }
    // Set-aside copies currently held in memory (0 once every place of their content is written).
    int chunksCachedInMemory() const;

    // Taken from the settings at construction ("maxCachedChunks", "chunkVerification"); may be
    // changed before startDownload.
    void setMaxCachedChunks(int maximum) { m_maxCachedChunks = maximum; }
    int maxCachedChunks() const { return m_maxCachedChunks; }
    void setChunkVerification(bool enabled) { m_chunkVerification = enabled; }

signals:
    void downloadCompleted();
    void downloadFailed(quarn::launcher::EPackageDownloaderError ErrorReason);
    void progress(quarn::launcher::TFileSize BytesDownloaded, quarn::launcher::TFileSize BytesTotalToDownload,
                  quarn::launcher::TFileSize BytesWritten, quarn::launcher::TFileSize BytesTotalToWrite);
    void writeProgress(QUrl Url, quarn::launcher::TFileSize DownloadedBytes);

private slots:
    void onDownloadCompleted(QUrl Url, QByteArray Data);
    void onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString);
    void onDownloadProgress(QUrl Url, quarn::launcher::TFileSize DownloadedBytes);
    void onWriteProgress(QUrl Url, quarn::launcher::TFileSize DownloadedBytes);
    void onProgressTick();

private:
    // Outcome of a worker stage: failures are caught in the worker and carried back as text.
    struct TStageResult {
        bool ok = false;
        QByteArray data;
        QString error;
    };
    struct TRateAverage {
        quint64 samples = 0;
        double average = 0.0;
        void add(quint64 delta);
        TFileSize perSecond() const;
    };

    void processDownloadedData(const QUrl& url, const QByteArray& data, bool decompressed, bool verified);
    void processFinishedData(const QUrl& url);
    void emitFinishedSignalWhenNoMoreFilesAreOutstanding();
    // True when every place of every file has been written.
    bool allFilesWritten();

    QByteArray decompressDownloadedData(TChunkToDownload chunk, QByteArray data) const;
    QByteArray verifyDownloadedData(TChunkToDownload chunk, QByteArray data) const;
    void saveDownloadedData(TChunkToDownload chunk, QByteArray data);
    void saveChunkData(QFileDevice& device, const QByteArray& bytes) const;

    // Stage plumbing: runs the task on the global thread pool and the callback on this thread.
    template <typename Task, typename Callback> void runStage(const QUrl& url, Task task, Callback callback);
    void onDecompressFinished(const QUrl& url, const TStageResult& result);
    void onVerifyFinished(const QUrl& url, const TStageResult& result);
    void onSaveFinished(const QUrl& url, const TStageResult& result);
    void giveUpChunk(const QUrl& url, bool downloadFailure);

    // Under the pending-chunk mutex: one place of the content was written; releases its kept
    // copy when no place needs it any more.
    void releaseUsageLocked(const QByteArray& digest);
    // Under the pending-chunk mutex: keeps the content for places that cannot be written yet.
    void setAsideLocked(const QByteArray& digest, const QByteArray& data);
    void saveIntoFile(TChunkToDownload& chunk, const QByteArray& data, TChunkedFileState& state,
                      bool& setAsideDone);

    std::shared_ptr<shared::TDownloadPool> m_downloadPool;
    std::shared_ptr<TLauncherFilesystemHelper> m_filesystemHelper;
    QDir m_downloadDirectory;
    bool m_atLeastOneDownloadFailed = false;
    QString m_failureReason;
    // Keeps the first failure of a run as its reason: later ones are usually its consequences.
    void noteFailure(const QString& reason) {
        if (m_failureReason.isEmpty())
            m_failureReason = reason;
    }
    bool m_atLeastOneSavingOperationFailed = false;
    EFileRemovalStrategy m_fileRemovalStrategy = FILE_REMOVAL_STRATEGY_REMOVE;
    TChunksToDownloadVector m_allChunks;
    TChunksToDownloadVector m_chunksInProgress;
    TChunksToDownloadVector m_chunksToWrite;
    std::map<QUrl, TFileSize> m_downloadProgress;
    std::map<QUrl, TFileSize> m_writeProgress;
    QTimer m_progressTimer;
    quint64 m_lastDownloadTotal = 0;
    quint64 m_lastWriteTotal = 0;
    TRateAverage m_downloadRate;
    TRateAverage m_writeRate;
    mutable QMutex m_pendingChunkMutex;
    QMap<QByteArray, std::shared_ptr<TPendingChunk>> m_pendingChunks;
    int m_chunksCachedInMemory = 0;
    int m_maxCachedChunks = 100;
    bool m_chunkVerification = false;
    // Worker tasks still running; the destructor waits for them, since they use this object.
    std::atomic<int> m_runningTasks{0};
};

} // namespace launcher
} // namespace quarn

Q_DECLARE_METATYPE(quarn::launcher::EPackageDownloaderError)
