#pragma once

#include "launcher/configuration/packageconfiguration.h"
#include "launcher/download/downloaditems.h"
#include "launcher/download/filesize.h"
#include "launcher/environment/launcherfilesystemhelper.h"

#include <QDir>
#include <QMetaType>
#include <QStringList>

#include <functional>
#include <memory>

namespace quarn::launcher {

// What an update must do to a package directory, worked out by the scan.
struct TPackageDifference {
    // Every file of the new build that needs at least one chunk, with the chunks to fetch.
    TFileToDownloadVector filesToDownload;
    // Files of the recorded configuration that the new build no longer has.
    TFileInPackageVector filesToDelete;
    // Files of the new build whose local copy is wrong but which the build gives no way to
    // fetch (no chunks and no URL of their own): the installation cannot complete.
    QStringList unfetchableFiles;
    // Set when the scan itself failed (for example a buffer could not be allocated or a file
    // could not be changed); the run then ends as a disk access failure with this text.
    QString failure;
};

using TScanProgressCallback = std::function<void(TFileSize done, TFileSize total)>;

// The local scan and the verification of a package directory. Both spread their work over six
// tasks on Qt's global thread pool and block until these have finished, so they are meant to be
// called from a pool task themselves. Progress is reported through the callback from worker
// threads, under the scan's lock, so the values never go backwards.
class TPackageScanner {
public:
    static constexpr int WORKER_COUNT = 6;
    static constexpr qint64 VERIFICATION_BLOCK_SIZE = 10485760;

    // Files to delete (listed locally, gone from the server build) and the scan below.
    static TPackageDifference FindDifferencesBetweenLocalPackageAndServerPackage(
        const QDir& packageDirectory, const std::shared_ptr<TLauncherFilesystemHelper>& fileSystemHelper,
        const TPackageConfigurationReader& serverConfiguration,
        const TPackageConfigurationReader& localConfiguration, bool fastScan,
        const TScanProgressCallback& progress);

    // Compares every file of the server build with the disk, reuses what it can (whole files,
    // chunks in place, chunks moved into place inside the old file) and returns what must be
    // downloaded. Fills difference.filesToDownload, .unfetchableFiles and .failure.
    static void FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
        const TFileInPackageVector& serverFiles, const TChunkInPackageVector& serverChunks,
        const TFileInPackageVector& localFiles, const TChunkInPackageVector& localChunks, bool fastScan,
        const QDir& packageDirectory, const std::shared_ptr<TLauncherFilesystemHelper>& fileSystemHelper,
        const TScanProgressCallback& progress, TPackageDifference& difference);

    // True when every file is present with its recorded digest.
    static bool VerifyPackage(const QDir& packageDirectory,
                              const std::shared_ptr<TLauncherFilesystemHelper>& fileSystemHelper,
                              const TFileInPackageVector& files, const TScanProgressCallback& progress);
};

} // namespace quarn::launcher

Q_DECLARE_METATYPE(quarn::launcher::TPackageDifference)
