#include "launcher/installation/packagemarkers.h"

#include <QUrl>

#include <stdexcept>

namespace quarn::launcher {

TPackageMarkerFiles::TPackageMarkerFiles(const TLauncherFilesystemHelper& helper,
                                         const QDir& packageDirectory)
    : m_Helper(helper), m_Directory(packageDirectory),
      m_Full(helper.getFullPath(packageDirectory, helper.launcherSettings()->installedPackageMarker())),
      m_Partial(
          helper.getFullPath(packageDirectory, helper.launcherSettings()->partiallyInstalledPackageMarker())),
      m_Assets(helper.getFullPath(packageDirectory, helper.launcherSettings()->assetFileName())) {}

bool TPackageMarkerFiles::hasFullMarker() const {
    return m_Helper.fileExists(m_Full);
}

bool TPackageMarkerFiles::hasPartialMarker() const {
    return m_Helper.fileExists(m_Partial);
}

TPackageConfigurationReader TPackageMarkerFiles::configurationFrom(const QString& markerPath) const {
    const QUrl base = QUrl::fromLocalFile(m_Directory.absolutePath());
    return TPackageConfigurationReader(m_Helper.loadBinaryFileIfExisting(markerPath),
                                       m_Helper.loadBinaryFileIfExisting(m_Assets), base, base);
}

TPackageConfigurationReader TPackageMarkerFiles::localConfiguration() const {
    if (hasFullMarker())
        return configurationFrom(m_Full);
    if (hasPartialMarker())
        return configurationFrom(m_Partial);
    return TPackageConfigurationReader();
}

TPackageConfigurationReader TPackageMarkerFiles::fullyInstalledConfiguration() const {
    return hasFullMarker() ? configurationFrom(m_Full) : TPackageConfigurationReader();
}

EPackageStatus
TPackageMarkerFiles::installationStatus(const TPackageConfigurationReader& serverConfiguration) const {
    if (hasFullMarker()) {
        const TPackageConfigurationReader local = configurationFrom(m_Full);
        if (local.combinedPackageAndAssetVersion() != serverConfiguration.combinedPackageAndAssetVersion())
            return PACKAGE_STATUS_UPDATE_REQUIRED;
        // The service marks a build that must always be fetched again with the asset version "1".
        if (serverConfiguration.assetVersion() == QLatin1String("1"))
            return PACKAGE_STATUS_UPDATE_REQUIRED;
        return PACKAGE_STATUS_INSTALLED;
    }
    if (hasPartialMarker())
        return PACKAGE_STATUS_PARTIALLY_INSTALLED;
    return PACKAGE_STATUS_NOT_INSTALLED;
}

void TPackageMarkerFiles::writeAssets(const QByteArray& assetJson) const {
    if (!assetJson.isEmpty())
        m_Helper.writeFileAtomically(m_Assets, assetJson);
    else
        m_Helper.removeFileOrDirectory(m_Assets);
}

void TPackageMarkerFiles::moveFullMarkerToPartial() const {
    // The helper removes the target first and then renames; a failed rename leaves the full
    // marker where it was, so the directory always keeps one marker.
    m_Helper.moveFileOrDirectory(m_Full, m_Partial);
    if (hasFullMarker()) {
        throw std::runtime_error(QStringLiteral("I/O error on file '%1': could not be renamed to '%2'")
                                     .arg(m_Full, m_Partial)
                                     .toStdString());
    }
}

void TPackageMarkerFiles::markPartiallyInstalled(const QByteArray& packageJson,
                                                 const QByteArray& assetJson) const {
    writeAssets(assetJson);
    if (hasFullMarker())
        moveFullMarkerToPartial();
    else if (!hasPartialMarker())
        m_Helper.writeFileAtomically(m_Partial, packageJson);
}

void TPackageMarkerFiles::updatePartiallyInstalled(const QByteArray& packageJson,
                                                   const QByteArray& assetJson) const {
    writeAssets(assetJson);
    // Written over whatever partial marker there is; a full marker left by someone else goes
    // only once the new partial marker is in place.
    m_Helper.writeFileAtomically(m_Partial, packageJson);
    m_Helper.removeFileOrDirectory(m_Full);
}

void TPackageMarkerFiles::markFullyInstalled(const QByteArray& packageJson,
                                             const QByteArray& assetJson) const {
    writeAssets(assetJson);
    m_Helper.writeFileAtomically(m_Full, packageJson);
    m_Helper.removeFileOrDirectory(m_Partial);
}

} // namespace quarn::launcher
