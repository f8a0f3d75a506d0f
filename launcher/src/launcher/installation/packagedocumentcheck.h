#pragma once

#include "shared/compressionhelper.h"

#include "launcher/configuration/packageconfiguration.h"

#include <QString>
#include <QStringList>

namespace quarn::launcher {

// Checks a package build from the service as a whole before an installation run touches the disk.
// The reader itself is lenient (a wrong value reads as a default); for a build that is about to be
// installed that leniency would turn a broken document into wrong sizes and offsets on disk, so
// here every value the scan and the writer rely on must be exact:
// - sizes are whole, non-negative numbers (or decimal strings);
// - every listed chunk holds 1 byte to MAXIMUM_CHUNK_SIZE bytes and has a 32-byte digest;
// - a file's chunks add up exactly to the file's size; a file fetched as one unit is at most
//   MAXIMUM_WHOLE_FILE_SIZE bytes (what the pipeline can hold in memory); every file has a
//   32-byte digest;
// - chunk and file URLs are http or https;
// - no file takes the name of one of the package folder's own files at its top level, and no two
//   files name the same file (or a file and a folder) on a file system that ignores letter case
//   and Unicode normalisation.
class TPackageDocumentCheck {
public:
    static constexpr quint64 MAXIMUM_CHUNK_SIZE = shared::TCompressionHelper::MAX_UNPACKED_LENGTH;
    static constexpr quint64 MAXIMUM_WHOLE_FILE_SIZE =
        shared::TCompressionHelper::MAX_WHOLE_FILE_UNPACKED_LENGTH;

    // The names the launcher keeps at the top of every package folder, whatever the settings say.
    static QStringList defaultReservedNames();

    // Empty when the build may be installed, otherwise the reason it may not. Without
    // requireDownloadUrls the URLs are not looked at (a configuration recorded in a package folder
    // resolves its URLs against the folder).
    static QString findProblem(const TPackageConfigurationReader& configuration,
                               const QStringList& reservedTopLevelNames, bool requireDownloadUrls);

    // True for the schemes a document may name for downloads.
    static bool isDownloadScheme(const QUrl& url);
};

} // namespace quarn::launcher
