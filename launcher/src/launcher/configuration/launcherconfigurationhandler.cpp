#include "launcher/configuration/launcherconfigurationhandler.h"

#include <QDateTime>
#include <QDebug>
#include <QThread>

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace quarn::launcher {

namespace {
// The folder of a document: relative URLs inside it are resolved against this.
QUrl withoutFileName(const QUrl& url) {
    return url.adjusted(QUrl::RemoveFilename | QUrl::RemoveQuery | QUrl::RemoveFragment);
}
} // namespace

void TPackageDownloadData::setJsonDataForUrl(const QUrl& url, QByteArray data) {
    if (url == m_Urls.packageUrl())
        m_PackageData = std::move(data);
    else if (url == m_Urls.assetsUrl())
        m_AssetsData = std::move(data);
}

bool TPackageDownloadData::allDataAvailable() const {
    if (m_Urls.packageUrl().isValid() && m_PackageData.isEmpty())
        return false;
    if (m_Urls.assetsUrl().isValid() && m_AssetsData.isEmpty())
        return false;
    return true;
}

bool TPackageDownloadData::constructPackageConfigurationReader() {
    if (!allDataAvailable() || m_Build == nullptr)
        return false;
    auto reader = std::make_unique<TPackageConfigurationReader>(m_PackageData, m_AssetsData,
                                                                withoutFileName(m_Urls.packageUrl()),
                                                                withoutFileName(m_Urls.assetsUrl()));
    if (!reader->initializedSuccessfully()) {
        qCritical() << "Package configuration refused, the build gets none:" << m_Urls.packageUrl().toString()
                    << m_Urls.assetsUrl().toString();
        return false;
    }
    m_Build->setPackageConfiguration(std::move(reader));
    return true;
}

TLauncherConfigurationHandler::TLauncherConfigurationHandler(
    const std::shared_ptr<shared::TDownloadPool>& downloadPool,
    const std::shared_ptr<TLauncherFilesystemHelper>& filesystemHelper)
    : m_DownloadPool(downloadPool), m_FilesystemHelper(filesystemHelper),
      m_ConfigurationUrl(filesystemHelper->launcherSettings()->configurationUrl()) {
    m_ErrorTimer.setSingleShot(true);
    setErrorTimerInterval(static_cast<int>(
        qBound<qint64>(0, filesystemHelper->launcherSettings()->downloadErrorTimeout(), INT_MAX)));
    connect(m_DownloadPool.get(), &shared::TDownloadPool::success, this,
            &TLauncherConfigurationHandler::onConfigurationDownloadFinished);
    connect(m_DownloadPool.get(), &shared::TDownloadPool::failed, this,
            &TLauncherConfigurationHandler::onConfigurationDownloadFailed);
    connect(&m_ErrorTimer, &QTimer::timeout, this, &TLauncherConfigurationHandler::onErrorTimerExpired);
}

TLauncherConfigurationHandler::~TLauncherConfigurationHandler() = default;

void TLauncherConfigurationHandler::setErrorTimerInterval(int milliseconds) {
    m_ErrorTimer.setInterval(std::max(0, milliseconds));
}

void TLauncherConfigurationHandler::loadMainConfiguration() {
    qInfo() << "loadMainConfiguration" << m_ConfigurationUrl.toString()
            << " Thread: " << QThread::currentThreadId();
    m_LoadedFromBackup = false;
    m_MainConfigurationPending = true;
    // The timer runs before the request is submitted: the pool may report a failure from within
    // Submit, and that decision must not be followed by a second one when the timer expires.
    m_ErrorTimer.start();
    m_DownloadPool->Submit(m_ConfigurationUrl);
}

bool TLauncherConfigurationHandler::decideMainConfiguration(const char* event) {
    if (!m_MainConfigurationPending) {
        qWarning() << "Ignored for the launcher configuration, its load has ended already:" << event;
        return false;
    }
    m_MainConfigurationPending = false;
    m_ErrorTimer.stop();
    return true;
}

bool TLauncherConfigurationHandler::isPendingPackageUrl(const QUrl& url) const {
    return std::any_of(m_PendingDownloads.begin(), m_PendingDownloads.end(),
                       [&url](const TPackageDownloadData& entry) { return entry.containsUrl(url); });
}

TPackageConfigurationReader* TLauncherConfigurationHandler::getLauncherConfiguration() const {
    if (!m_MainConfiguration || !m_MainConfiguration->launcherPackage())
        return nullptr;
    return m_MainConfiguration->launcherPackage()->matchingPackageConfiguration();
}

QUrl TLauncherConfigurationHandler::preventCachingForURLIfEnabledByConfig(const QUrl& url) const {
    if (m_FilesystemHelper->launcherSettings()->appendNocacheToJsonFiles())
        return shared::PreventCachingWithRandomGetParameter(url);
    return url;
}

void TLauncherConfigurationHandler::onConfigurationDownloadFinished(QUrl Url, QByteArray Data) {
    if (Data.isEmpty()) {
        onConfigurationDownloadFailed(Url, QNetworkReply::ContentNotFoundError,
                                      QStringLiteral("Data stream is empty"));
        return;
    }
    if (Url == m_ConfigurationUrl && (m_MainConfigurationPending || !isPendingPackageUrl(Url))) {
        if (decideMainConfiguration("a late answer"))
            acceptDownloadedConfiguration(Data);
        return;
    }
    if (m_MainConfiguration && Url == m_MainConfiguration->hintsUrl() && Url.isValid()) {
        const std::vector<shared::THint> hints = shared::parseHints(Data);
        const std::optional<shared::THint> selected =
            shared::selectHintToBeDisplayed(hints, QDateTime::currentDateTimeUtc());
        if (!selected)
            return;
        m_SelectedHint = *selected;
        m_Hints = hints;
        emit hintAreaDataReceived(m_SelectedHint);
        emit hintsAreaDataReceived(m_Hints);
        return;
    }
    finishPendingEntries(Url, &Data);
}

void TLauncherConfigurationHandler::acceptDownloadedConfiguration(const QByteArray& data) {
    try {
        m_MainConfiguration =
            std::make_shared<TLauncherConfigurationReader>(data, withoutFileName(m_ConfigurationUrl));
    } catch (const TLauncherConfigurationException& exception) {
        qCritical() << "Launcher configuration is not JSON:" << exception.what();
        m_MainConfiguration.reset();
        emit mainConfigurationDownloadFailed();
        return;
    }
    qInfo() << "Launcher configuration loaded from" << m_ConfigurationUrl.toString();
    saveConfigurationBackup();
    emit mainConfigurationLoaded();
}

void TLauncherConfigurationHandler::saveConfigurationBackup() {
    if (!m_MainConfiguration)
        return;
    try {
        // Replaced as a whole or not at all, so a full disk never destroys the last good backup.
        m_FilesystemHelper->writeFileAtomically(m_FilesystemHelper->getMainConfigurationPath(),
                                                m_MainConfiguration->rawJsonData());
    } catch (const std::runtime_error& error) {
        emit diskAccessFailed(QString::fromUtf8(error.what()));
    }
}

void TLauncherConfigurationHandler::onConfigurationDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code,
                                                                  QString ErrorString) {
    if (Url == m_ConfigurationUrl && (m_MainConfigurationPending || !isPendingPackageUrl(Url))) {
        qCritical() << "Download of configuration failed:" << ErrorString;
        if (!decideMainConfiguration("a late failure"))
            return;
        if (Code == QNetworkReply::ContentAccessDenied || Code == QNetworkReply::ContentNotFoundError)
            emit mainConfigurationDownloadFailed();
        else
            loadConfigurationBackupFromDisk();
        return;
    }
    if (!isPendingPackageUrl(Url))
        return;
    qCritical() << "Download of package configuration/asset from configuration" << Url.toString()
                << "failed:" << ErrorString;
    finishPendingEntries(Url, nullptr);
}

void TLauncherConfigurationHandler::onErrorTimerExpired() {
    qWarning() << "No launcher configuration within" << m_ErrorTimer.interval() << "ms, using the backup";
    if (decideMainConfiguration("the error timer"))
        loadConfigurationBackupFromDisk();
}

void TLauncherConfigurationHandler::loadConfigurationBackupFromDisk() {
    try {
        const QString path = m_FilesystemHelper->getMainConfigurationPath();
        const QByteArray data = m_FilesystemHelper->loadBinaryFileIfExisting(path);
        if (data.isEmpty()) {
            qCritical() << "No configuration backup at" << path;
            emit mainConfigurationDownloadFailed();
            return;
        }
        m_MainConfiguration =
            std::make_shared<TLauncherConfigurationReader>(data, withoutFileName(QUrl::fromLocalFile(path)));
        m_LoadedFromBackup = true;
        qInfo() << "Launcher configuration loaded from the backup" << path;
        emit mainConfigurationLoaded();
    } catch (const std::runtime_error& error) {
        emit diskAccessFailed(QString::fromUtf8(error.what()));
    }
}

void TLauncherConfigurationHandler::finishPendingEntries(const QUrl& url, const QByteArray* data) {
    bool changed = false;
    for (auto entry = m_PendingDownloads.begin(); entry != m_PendingDownloads.end();) {
        if (!entry->containsUrl(url)) {
            ++entry;
            continue;
        }
        if (data != nullptr) {
            entry->setJsonDataForUrl(url, *data);
            if (!entry->allDataAvailable()) {
                ++entry;
                continue;
            }
            entry->constructPackageConfigurationReader();
        }
        entry = m_PendingDownloads.erase(entry);
        changed = true;
    }
    // Announced once, after the list is consistent: the receiver may start the next phase at once.
    if (changed && m_PendingDownloads.empty())
        emit packageConfigurationDownloadsFinished();
}

TPackageUrls TLauncherConfigurationHandler::getDownloadUrlForBuildFromPackage(
    const std::shared_ptr<TPackage>& package) const {
    TPackageBuild* build = package ? package->findBuildMatchingLocalArchitectureAndOS() : nullptr;
    if (build == nullptr)
        return TPackageUrls();
    if (!m_LoadedFromBackup) {
        return TPackageUrls(preventCachingForURLIfEnabledByConfig(build->packageUrl()),
                            preventCachingForURLIfEnabledByConfig(build->assetsUrl()));
    }
    // Offline: the copies of the documents inside the installed package. An installation without
    // an asset document is still usable, so that file is only asked for when it is there.
    const auto& settings = m_FilesystemHelper->launcherSettings();
    const QDir packageDirectory(m_FilesystemHelper->getFullPath(
        m_FilesystemHelper->getOrCreatePackagesDirectory(), package->directoryName()));
    const QString packagePath =
        m_FilesystemHelper->getFullPath(packageDirectory, settings->installedPackageMarker());
    const QString assetsPath = m_FilesystemHelper->getFullPath(packageDirectory, settings->assetFileName());
    return TPackageUrls(QUrl::fromLocalFile(packagePath), m_FilesystemHelper->fileExists(assetsPath)
                                                              ? QUrl::fromLocalFile(assetsPath)
                                                              : QUrl());
}

void TLauncherConfigurationHandler::loadPackageConfigurationsOfSameArchitectureAndOS() {
    qInfo() << "loadPackageConfigurationsOfSameArchitectureAndOS"
            << " Thread: " << QThread::currentThreadId();
    if (!m_MainConfiguration)
        return;
    const std::shared_ptr<TPackage> launcherPackage = m_MainConfiguration->launcherPackage();
    if (!m_LoadedFromBackup && launcherPackage) {
        if (TPackageBuild* build = launcherPackage->findBuildMatchingLocalArchitectureAndOS()) {
            m_PendingDownloads.emplace_back(
                launcherPackage, build,
                TPackageUrls(preventCachingForURLIfEnabledByConfig(build->packageUrl()),
                             preventCachingForURLIfEnabledByConfig(build->assetsUrl())));
        }
    }
    for (const std::shared_ptr<TPackage>& package : m_MainConfiguration->packages()) {
        TPackageBuild* build = package->findBuildMatchingLocalArchitectureAndOS();
        if (build != nullptr)
            m_PendingDownloads.emplace_back(package, build, getDownloadUrlForBuildFromPackage(package));
    }
    // A build without a usable package URL could never complete: it gets no configuration, as if
    // its document had failed.
    m_PendingDownloads.erase(std::remove_if(m_PendingDownloads.begin(), m_PendingDownloads.end(),
                                            [](const TPackageDownloadData& entry) {
                                                if (entry.urls().packageUrl().isValid())
                                                    return false;
                                                qCritical() << "Package configuration without a valid URL";
                                                return true;
                                            }),
                             m_PendingDownloads.end());
    if (m_PendingDownloads.empty()) {
        emit packageConfigurationDownloadsFinished();
        return;
    }
    // The pool may report a failure from within Submit, which changes the pending list: submit
    // from a copy of the URLs.
    std::vector<QUrl> urls;
    for (const TPackageDownloadData& entry : m_PendingDownloads) {
        if (entry.urls().packageUrl().isValid())
            urls.push_back(entry.urls().packageUrl());
        if (entry.urls().assetsUrl().isValid())
            urls.push_back(entry.urls().assetsUrl());
    }
    for (const QUrl& url : urls)
        m_DownloadPool->Submit(url);
}

void TLauncherConfigurationHandler::loadHintAreaData() {
    if (m_MainConfiguration && m_MainConfiguration->hintsUrl().isValid())
        m_DownloadPool->Submit(m_MainConfiguration->hintsUrl());
}

} // namespace quarn::launcher
