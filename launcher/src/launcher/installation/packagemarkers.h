#pragma once

#include "launcher/configuration/package.h"
#include "launcher/configuration/packageconfiguration.h"
#include "launcher/environment/launcherfilesystemhelper.h"

#include <QByteArray>
#include <QDir>
#include <QString>

namespace quarn::launcher {

// The marker files inside one package directory, which record what is installed there:
// - the full marker ("package.json"): the package document of the build that was completely
//   installed (and verified, when verification is on);
// - the partial marker ("partial-package.json"): the package document of the build the directory
//   was last based on or is being brought to;
// - the asset file ("assets.json"): the asset document that belongs to the marker.
// The installation manager and `orvane-publish sync` keep them through this class.
//
// Every write replaces its file as a whole or not at all, and the writes are ordered so that an
// interrupted or failed sequence never leaves the directory without any installation marker: the
// asset file first, then the marker that claims the build, and only then the marker it replaces
// is removed. File errors are thrown as std::runtime_error.
class TPackageMarkerFiles {
public:
    TPackageMarkerFiles(const TLauncherFilesystemHelper& helper, const QDir& packageDirectory);

    const QString& fullMarkerPath() const { return m_Full; }
    const QString& partialMarkerPath() const { return m_Partial; }
    const QString& assetFilePath() const { return m_Assets; }

    bool hasFullMarker() const;
    bool hasPartialMarker() const;

    // The configuration recorded in the directory: built from the full marker when it exists,
    // else from the partial marker, with the asset file; an empty reader without markers. Both
    // base URLs are the directory's file URL.
    TPackageConfigurationReader localConfiguration() const;
    // Only from the full marker; an empty reader without one.
    TPackageConfigurationReader fullyInstalledConfiguration() const;

    // The status of the directory against the build on the service (the configuration must not
    // be null): UPDATE_REQUIRED or INSTALLED with a full marker (the versions decide), else
    // PARTIALLY_INSTALLED with a partial marker, else NOT_INSTALLED.
    EPackageStatus installationStatus(const TPackageConfigurationReader& serverConfiguration) const;

    // A run starts: the full marker becomes the partial marker (the directory keeps recording the
    // build that is really on disk); without any marker the given build is recorded as partial.
    void markPartiallyInstalled(const QByteArray& packageJson, const QByteArray& assetJson) const;
    // All downloads succeeded: the partial marker records the new build.
    void updatePartiallyInstalled(const QByteArray& packageJson, const QByteArray& assetJson) const;
    // The run succeeded: the full marker records the build, the partial marker goes.
    void markFullyInstalled(const QByteArray& packageJson, const QByteArray& assetJson) const;

private:
    TPackageConfigurationReader configurationFrom(const QString& markerPath) const;
    // The asset file follows the build: replaced by its document, removed when the build has none
    // (an asset file of an earlier build would make the versions differ for ever).
    void writeAssets(const QByteArray& assetJson) const;
    // Renames the full marker onto the partial marker; throws when the full marker is still there.
    void moveFullMarkerToPartial() const;

    const TLauncherFilesystemHelper& m_Helper;
    QDir m_Directory;
    QString m_Full;
    QString m_Partial;
    QString m_Assets;
};

} // namespace quarn::launcher
