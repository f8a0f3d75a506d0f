#pragma once
// Helpers shared by the installation tests and the installation benchmark.

#include "launcher/configuration/packageconfiguration.h"

#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>

#include <set>

namespace testsupport {

// Reproducible incompressible content.
inline QByteArray randomBytes(quint32 seed, int size) {
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

inline QByteArray readWholeFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Bytes an ideal update fetches: for every file of the new build, the units whose content the old
// build's file of the same path does not have; each distinct unit once, at its stored size.
inline quint64 bytesInChangedUnits(const quarn::launcher::TPackageConfigurationReader& oldBuild,
                                   const quarn::launcher::TPackageConfigurationReader& newBuild) {
    using namespace quarn::launcher;
    std::set<QString> counted;
    quint64 bytes = 0;
    for (const TFileInPackage& file : newBuild.containedFiles()) {
        std::set<QByteArray> oldDigests;
        const auto old = oldBuild.findFileByRelativePath(file.relativeLocalPath());
        if (old != oldBuild.containedFiles().end()) {
            if (old->unpackedFileMetadata() == file.unpackedFileMetadata())
                continue;
            const TChunkedFileInPackage oldUnits(*old, oldBuild.containedChunks());
            for (const TChunkInPackage& chunk : oldUnits.chunks())
                oldDigests.insert(chunk.unpackedFileMetadata().fileHash());
        }
        const TChunkedFileInPackage units = file.chunkIndices().size() < 2
                                                ? TChunkedFileInPackage(file)
                                                : TChunkedFileInPackage(file, newBuild.containedChunks());
        for (const TChunkInPackage& unit : units.chunks()) {
            if (!oldDigests.count(unit.unpackedFileMetadata().fileHash()) &&
                counted.insert(unit.fileUrl().toString()).second)
                bytes += unit.packedFileMetadata().fileSize();
        }
    }
    return bytes;
}

} // namespace testsupport
