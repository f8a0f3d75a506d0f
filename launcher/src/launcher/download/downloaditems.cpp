#include "launcher/download/downloaditems.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace quarn {
namespace launcher {

quint64 TChunkToDownload::positionKey() const {
    constexpr quint64 NOWHERE = std::numeric_limits<quint64>::max();
    const QByteArray& digest = m_chunkData.unpackedFileMetadata().fileHash();
    quint64 best = NOWHERE;
    for (const std::shared_ptr<TChunkedFileState>& file : m_files) {
        if (!file) {
            continue;
        }
        quint64 offset = 0;
        for (const TChunkInPackage& chunk : file->fileData().chunks()) {
            if (offset >= best) {
                break;
            }
            if (chunk.unpackedFileMetadata().fileHash() == digest) {
                best = offset;
                break;
            }
            // Sizes come from the service: saturate rather than wrap around.
            const quint64 size = chunk.unpackedFileMetadata().fileSize();
            offset = size > NOWHERE - offset ? NOWHERE : offset + size;
        }
    }
    return best;
}

bool ChunkToDownloadComparisonByOffset(const TChunkToDownload& a, const TChunkToDownload& b) {
    return a.positionKey() < b.positionKey();
}

bool ChunkToDownloadComparisonByUrl(const TChunkToDownload& a, const TChunkToDownload& b) {
    return a.chunkData().fileUrl().toString() < b.chunkData().fileUrl().toString();
}

bool FileToDownloadComparisonByLocalFilename(const TFileToDownload& a, const TFileToDownload& b) {
    return a.fileData().relativeLocalPath() < b.fileData().relativeLocalPath();
}

void TChunksToDownloadVector::sortByUrl() {
    // Each URL is turned into text once, not once per comparison.
    std::vector<std::pair<QString, TChunkToDownload>> keyed;
    keyed.reserve(size());
    for (TChunkToDownload& chunk : *this) {
        keyed.emplace_back(chunk.chunkData().fileUrl().toString(), std::move(chunk));
    }
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    clear();
    for (auto& entry : keyed) {
        push_back(std::move(entry.second));
    }
}

void TChunksToDownloadVector::sortByOffset() {
    std::vector<std::pair<quint64, TChunkToDownload>> keyed;
    keyed.reserve(size());
    for (TChunkToDownload& chunk : *this) {
        const quint64 key = chunk.positionKey();
        keyed.emplace_back(key, std::move(chunk));
    }
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    clear();
    for (auto& entry : keyed) {
        push_back(std::move(entry.second));
    }
}

TChunksToDownloadVector::iterator TChunksToDownloadVector::findByUrlWhenSortedByUrl(const QUrl& url) {
    const QString text = url.toString();
    const auto found =
        std::lower_bound(begin(), end(), text, [](const TChunkToDownload& chunk, const QString& probe) {
            return chunk.chunkData().fileUrl().toString() < probe;
        });
    if (found != end() && found->chunkData().fileUrl() == url) {
        return found;
    }
    return end();
}

} // namespace launcher
} // namespace quarn
