#include "launcher/configuration/package.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QtDebug>

namespace quarn {
namespace launcher {

namespace {

shared::EOperatingSystem readOperatingSystem(const QString& text) {
    if (text.compare(QLatin1String("windows"), Qt::CaseInsensitive) == 0) {
        return shared::OPERATING_SYSTEM_WINDOWS;
    }
    if (text.compare(QLatin1String("macos"), Qt::CaseInsensitive) == 0) {
        return shared::OPERATING_SYSTEM_MACOS;
    }
    if (text.compare(QLatin1String("linux"), Qt::CaseInsensitive) == 0) {
        return shared::OPERATING_SYSTEM_LINUX;
    }
    return shared::OPERATING_SYSTEM_UNKNOWN;
}

shared::EBuildArchitecture readArchitecture(const QString& text) {
    if (text.compare(QLatin1String("i386"), Qt::CaseInsensitive) == 0) {
        return shared::BUILD_ARCHITECTURE_I386;
    }
    if (text.compare(QLatin1String("x86_64"), Qt::CaseInsensitive) == 0) {
        return shared::BUILD_ARCHITECTURE_X86_64;
    }
    return shared::BUILD_ARCHITECTURE_UNKNOWN;
}

// The directory name becomes one folder inside the packages directory: a separator would let the
// service place it anywhere.
bool isSingleFolderName(const QString& name) {
    return !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
}

// An address a document names for another document: a relative one is resolved against the
// base (whose scheme the launcher chose); an absolute one is followed only to the network, never
// to a local file or inline data.
QUrl documentUrl(const QUrl& baseUrl, const QString& text) {
    const QUrl given(text, QUrl::TolerantMode);
    const QString scheme = given.scheme().toLower();
    if (!scheme.isEmpty() && scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        qWarning() << "document address refused, only http and https are used:" << text;
        return QUrl();
    }
    return resolveUrlAgainstBase(baseUrl, given);
}

} // namespace

TPackageBuild::TPackageBuild(const QJsonObject& buildObject, const QUrl& baseUrl)
    : m_operatingSystem(readOperatingSystem(buildObject.value(QLatin1String("os")).toString())),
      m_architecture(readArchitecture(buildObject.value(QLatin1String("architecture")).toString())),
      m_packageUrl(documentUrl(baseUrl, buildObject.value(QLatin1String("url")).toString())) {
    // An empty or mistyped "assetsurl" means no asset list; resolving it would name the base
    // directory itself.
    const QString assets = buildObject.value(QLatin1String("assetsurl")).toString();
    if (!assets.isEmpty()) {
        m_assetsUrl = documentUrl(baseUrl, assets);
    }
}

bool TPackageBuild::matches(shared::EOperatingSystem operatingSystem,
                            shared::EBuildArchitecture architecture) const {
    return m_operatingSystem == operatingSystem && m_architecture == architecture;
}

bool TPackageBuild::matchesLocalArchitectureAndOS() const {
    return matches(shared::TMachineIdentifier::getOperatingSystem(),
                   shared::TMachineIdentifier::getBuildArchitecture());
}

void TPackageBuild::setPackageConfiguration(
    std::unique_ptr<TPackageConfigurationReader>&& packageConfiguration) {
    m_packageConfiguration = std::move(packageConfiguration);
}

TPackage::TPackage(int identifier, const QJsonObject& packageObject, const QUrl& baseUrl, QObject* parent)
    : QObject(parent), m_identifier(identifier) {
    m_packageName = packageObject.value(QLatin1String("name")).toString();
    m_directoryName = packageObject.value(QLatin1String("directoryname")).toString();
    if (packageObject.contains(QLatin1String("logolinktarget"))) {
        m_logoLinkTarget =
            QUrl(packageObject.value(QLatin1String("logolinktarget")).toString(), QUrl::TolerantMode);
    }
    m_installAutomatically = packageObject.value(QLatin1String("installautomatically")).toBool(false);
    const QJsonValue builds = packageObject.value(QLatin1String("builds"));
    if (builds.isArray()) {
        const QJsonArray array = builds.toArray();
        for (const QJsonValue& build : array) {
            m_builds.push_back(std::make_unique<TPackageBuild>(build.toObject(), baseUrl));
        }
    }
    if (!isSingleFolderName(m_directoryName)) {
        qWarning().noquote() << QStringLiteral(
                                    "Package '%1' has the directory name '%2', which is not a single "
                                    "folder name; its builds are ignored.")
                                    .arg(m_packageName, m_directoryName);
        m_builds.clear();
    }
    m_directoryName += QLatin1String(".app");
}

TPackage::~TPackage() = default;

void TPackage::setLocalPackageStatus(EPackageStatus status) {
    if (status == m_localPackageStatus) {
        return;
    }
    m_localPackageStatus = status;
    emit localPackageStatusChanged();
}

TPackageBuild* TPackage::findBuildMatching(shared::EOperatingSystem operatingSystem,
                                           shared::EBuildArchitecture architecture) const {
    for (const std::unique_ptr<TPackageBuild>& build : m_builds) {
        if (build->matches(operatingSystem, architecture)) {
            return build.get();
        }
    }
    return nullptr;
}

TPackageBuild* TPackage::findBuildMatchingLocalArchitectureAndOS() const {
    return findBuildMatching(shared::TMachineIdentifier::getOperatingSystem(),
                             shared::TMachineIdentifier::getBuildArchitecture());
}

TPackageConfigurationReader*
TPackage::packageConfigurationMatching(shared::EOperatingSystem operatingSystem,
                                       shared::EBuildArchitecture architecture) const {
    const TPackageBuild* build = findBuildMatching(operatingSystem, architecture);
    return build != nullptr ? build->packageConfiguration() : nullptr;
}

TPackageConfigurationReader* TPackage::matchingPackageConfiguration() const {
    return packageConfigurationMatching(shared::TMachineIdentifier::getOperatingSystem(),
                                        shared::TMachineIdentifier::getBuildArchitecture());
}

} // namespace launcher
} // namespace quarn
