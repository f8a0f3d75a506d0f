#pragma once

#include "launcher/installation/chunking.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

namespace publish {

// Files of at most this many bytes are published as one unit; larger ones are cut into
// content-defined chunks exactly as the launcher cuts the files it finds on disk.
constexpr quint64 DEFAULT_WHOLE_FILE_THRESHOLD = quarn::launcher::DEFAULT_CHUNK_AVERAGE;
// A unit is one container, and the launcher refuses containers above 64 MiB.
constexpr quint64 MAX_WHOLE_FILE_THRESHOLD = 64ull * 1024 * 1024;

// What to publish and how.
struct TPublishOptions {
    QString sourceDirectory; // one build of the package, laid out as it is installed
    QString outputDirectory; // receives the documents and the chunk folder
    QString packageDocumentName = QStringLiteral("package.json");
    QString assetDocumentName = QStringLiteral("assets.json");
    // Files whose path (relative to the source folder, "/" separated) matches one of these shell
    // patterns go to the asset document; "*" also matches "/". No pattern: no asset document.
    QStringList assetPatterns;
    QString version;
    QString assetVersion;   // empty: the package version
    QString executable;     // path of the executable, relative to the source folder
    QStringList parameters; // its command-line arguments
    QString generation;     // "first", "second" or empty
    QString variant;        // "regular", "preview", "beta", "test" or empty
    int codec = 5;          // container codec: 0, 3, 4, 5 or 10
    bool plain = false;     // store every unit as it is, marked "unpack" false
    int level = 9;          // encoder effort, 0 (fastest) to 9 (smallest)
    quint64 wholeFileThreshold = DEFAULT_WHOLE_FILE_THRESHOLD;
    // The launcher always cuts with the default; another average is for experiments only, since
    // installed copies would then never find a reusable chunk.
    quint64 chunkAverage = quarn::launcher::DEFAULT_CHUNK_AVERAGE;
    int threads = 0; // encoder threads; 0: one per processor
};

struct TPublishResult {
    bool success = false;
    QString error;
    QStringList warnings;
    QString packageDocumentPath;
    QString assetDocumentPath; // empty when no asset document was written
    int files = 0;
    int assetFiles = 0;
    int units = 0;           // distinct stored units the documents refer to
    int unitsWritten = 0;    // of them, written by this run
    int unitsReused = 0;     // of them, found intact in the chunk folder from an earlier run
    quint64 bytesRead = 0;   // content bytes of all files
    quint64 bytesStored = 0; // stored bytes of the distinct units
};

// The folder below the output folder that holds the stored units.
QString chunkFolderName();

// Publishes one build: writes the stored units into OUT/chunks (named after their content digest
// and representation, so identical content is stored once and a re-publish into the same folder
// reuses what is there), then the package document and, with asset patterns, the asset document.
// Every URL in the documents is relative to the documents' folder. Files are streamed: at most a few
// units are held in memory at once. progress, when set, receives one line per published file.
TPublishResult publishPackage(const TPublishOptions& options,
                              const std::function<void(const QString&)>& progress = {});

} // namespace publish
