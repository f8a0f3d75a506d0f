#include "launcher/configuration/launcherconfiguration.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace quarn {
namespace launcher {

TLauncherConfigurationReader::TLauncherConfigurationReader(const QByteArray& data, const QUrl& baseUrl)
    : m_baseUrl(baseUrl), m_rawJsonData(data) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError) {
        throw TLauncherConfigurationException(error.errorString().toStdString());
    }
    const QJsonObject root = document.object();

    const QJsonValue launcher = root.value(QLatin1String("launcher"));
    if (launcher.isObject()) {
        m_launcherPackage =
            std::make_shared<TPackage>(TPackage::LAUNCHER_PACKAGE_IDENTIFIER, launcher.toObject(), baseUrl);
    }
    const QJsonValue packages = root.value(QLatin1String("packages"));
    if (packages.isArray()) {
        const QJsonArray array = packages.toArray();
        int identifier = 0;
        for (const QJsonValue& package : array) {
            m_packages.push_back(std::make_shared<TPackage>(identifier, package.toObject(), baseUrl));
            ++identifier;
        }
    }
    m_hardwareSurveyUrl = QUrl(root.value(QLatin1String("hardwaresurvey")).toString(), QUrl::TolerantMode);
    m_hintsUrl = QUrl(root.value(QLatin1String("hints")).toString(), QUrl::TolerantMode);
    m_funnelUrl = QUrl(root.value(QLatin1String("funnel")).toString(), QUrl::TolerantMode);
    m_preventDefaultAutostart = root.value(QLatin1String("preventdefaultautostart")).toBool(false);
    m_showPackageNames = root.value(QLatin1String("showpackagenames")).toBool(false);
}

TPackageVector
TLauncherConfigurationReader::packagesFilteredBy(shared::EOperatingSystem operatingSystem,
                                                 shared::EBuildArchitecture architecture) const {
    TPackageVector filtered;
    for (const std::shared_ptr<TPackage>& package : m_packages) {
        if (package->packageConfigurationMatching(operatingSystem, architecture) != nullptr) {
            filtered.push_back(package);
        }
    }
    return filtered;
}

TPackageVector TLauncherConfigurationReader::packagesFilteredByLocalArchitectureAndOS() const {
    return packagesFilteredBy(shared::TMachineIdentifier::getOperatingSystem(),
                              shared::TMachineIdentifier::getBuildArchitecture());
}

} // namespace launcher
} // namespace quarn
