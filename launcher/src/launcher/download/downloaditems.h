#pragma once

#include "launcher/configuration/packageconfiguration.h"

#include <QByteArray>
#include <QFile>
#include <QMutex>
#include <QTemporaryFile>
#include <QUrl>

#include <list>
#include <memory>
#include <vector>

namespace quarn {
namespace launcher {

// One file that needs at least one chunk: indices into fileData().chunks(), in the order added.
class TFileToDownload {
public:
    explicit TFileToDownload(const TChunkedFileInPackage& fileData) : m_fileData(fileData) {}

    void addChunk(int chunkIndex) { m_chunksToDownload.push_back(chunkIndex); }
    const TChunkedFileInPackage& fileData() const { return m_fileData; }
    const std::vector<int>& chunksToDownload() const { return m_chunksToDownload; }

private:
    TChunkedFileInPackage m_fileData;
    std::vector<int> m_chunksToDownload;
};

using TFileToDownloadVector = std::vector<TFileToDownload>;

// The write state of one target file, shared by every chunk that goes into it. The file lock
// guards the remaining list, the prepared flag and the file.
class TChunkedFileState {
public:
    TChunkedFileState(const TChunkedFileInPackage& fileData, std::list<int> remainingChunks,
                      const QString& fullPath)
        : m_fileData(fileData), m_remainingChunks(std::move(remainingChunks)), m_file(fullPath) {}
    TChunkedFileState(const TChunkedFileState&) = delete;
    TChunkedFileState& operator=(const TChunkedFileState&) = delete;

    const TChunkedFileInPackage& fileData() const { return m_fileData; }
    QMutex* fileLock() { return &m_fileLock; }
    std::list<int>& remainingChunks() { return m_remainingChunks; }
    bool isPrepared() const { return m_prepared; }
    void setPrepared() { m_prepared = true; }
    QFile& file() { return m_file; }
    // The target is opened for a walk and closed after it, so a file waiting for a missing chunk
    // holds no descriptor. These remember across walks whether it has been opened in this run and
    // where the chunk written last ends.
    bool wasOpened() const { return m_opened; }
    void setOpened() { m_opened = true; }
    quint64 writtenEnd() const { return m_writtenEnd; }
    void setWrittenEnd(quint64 end) { m_writtenEnd = end; }

private:
    TChunkedFileInPackage m_fileData;
    QMutex m_fileLock;
    std::list<int> m_remainingChunks;
    bool m_prepared = false;
    QFile m_file;
    bool m_opened = false;
    quint64 m_writtenEnd = 0;
};

// One downloadable chunk (one URL) with every file that needs it.
class TChunkToDownload {
public:
    explicit TChunkToDownload(const TChunkInPackage& chunkData) : m_chunkData(chunkData) {}

    void addFile(std::shared_ptr<TChunkedFileState> file) { m_files.push_back(std::move(file)); }
    const std::vector<std::shared_ptr<TChunkedFileState>>& files() const { return m_files; }
    const TChunkInPackage& chunkData() const { return m_chunkData; }
    int getRetries() const { return m_retries; }
    void increaseRetries() { ++m_retries; }

    // The smallest offset at which a chunk with this chunk's unpacked digest is needed in any of its
    // files; the largest value when it is needed nowhere. Offsets past the largest value saturate.
    quint64 positionKey() const;

private:
    TChunkInPackage m_chunkData;
    std::vector<std::shared_ptr<TChunkedFileState>> m_files;
    int m_retries = 0;
};

bool ChunkToDownloadComparisonByOffset(const TChunkToDownload& a, const TChunkToDownload& b);
// URL text (QUrl::toString with default options) compared as QString.
bool ChunkToDownloadComparisonByUrl(const TChunkToDownload& a, const TChunkToDownload& b);
bool FileToDownloadComparisonByLocalFilename(const TFileToDownload& a, const TFileToDownload& b);

class TChunksToDownloadVector : public std::vector<TChunkToDownload> {
public:
    using std::vector<TChunkToDownload>::vector;

    void sortByUrl();
    // Same order as sorting with ChunkToDownloadComparisonByOffset, with each key computed once.
    void sortByOffset();
    // Binary search on a vector sorted by URL: the element whose URL equals url, or end().
    iterator findByUrlWhenSortedByUrl(const QUrl& url);
};

// A chunk's content set aside because it arrived before every place that needs it could be
// written. The downloader's pending-chunk mutex guards it.
class TPendingChunk {
public:
    enum ELoadType {
        LOAD_TYPE_NONE = 0,
        LOAD_TYPE_MEMORY = 1,
        LOAD_TYPE_TEMPORARY_FILE = 2,
    };

    TPendingChunk() = default;
    TPendingChunk(const TPendingChunk&) = delete;
    TPendingChunk& operator=(const TPendingChunk&) = delete;

    ELoadType loadType() const { return m_loadType; }
    void setLoadType(ELoadType loadType) { m_loadType = loadType; }
    const QByteArray& data() const { return m_data; }
    void setData(QByteArray data) { m_data = std::move(data); }
    QTemporaryFile& file() { return m_file; }
    void addUsage() { ++m_usageCount; }
    void removeUsage() { --m_usageCount; }
    bool used() const { return m_usageCount > 0; }

private:
    int m_usageCount = 0;
    QByteArray m_data;
    QTemporaryFile m_file;
    ELoadType m_loadType = LOAD_TYPE_NONE;
};

} // namespace launcher
} // namespace quarn
