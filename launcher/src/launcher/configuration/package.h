#pragma once

#include "launcher/configuration/packageconfiguration.h"
#include "shared/machineidentifier.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

#include <climits>
#include <memory>
#include <vector>

namespace quarn {
namespace launcher {

// The local state of a package; the installation manager decides it.
enum EPackageStatus {
    PACKAGE_STATUS_UNKNOWN = 0,
    PACKAGE_STATUS_NOT_INSTALLED = 1,
    PACKAGE_STATUS_PARTIALLY_INSTALLED = 2,
    PACKAGE_STATUS_UPDATE_REQUIRED = 3,
    PACKAGE_STATUS_INSTALLED = 4,
};

// One build of a package for one operating system and architecture, with the package configuration
// attached once its documents have been fetched.
class TPackageBuild {
public:
    // "os" and "architecture" are compared without regard to case; "url" is always resolved against
    // baseUrl, "assetsurl" only when it is a non-empty string (otherwise the build has no asset list).
    TPackageBuild(const QJsonObject& buildObject, const QUrl& baseUrl);

    shared::EOperatingSystem operatingSystem() const { return m_operatingSystem; }
    shared::EBuildArchitecture architecture() const { return m_architecture; }
    QUrl packageUrl() const { return m_packageUrl; }
    QUrl assetsUrl() const { return m_assetsUrl; }

    bool matches(shared::EOperatingSystem operatingSystem, shared::EBuildArchitecture architecture) const;
    bool matchesLocalArchitectureAndOS() const;

    void setPackageConfiguration(std::unique_ptr<TPackageConfigurationReader>&& packageConfiguration);
    TPackageConfigurationReader* packageConfiguration() const { return m_packageConfiguration.get(); }

private:
    shared::EOperatingSystem m_operatingSystem = shared::OPERATING_SYSTEM_UNKNOWN;
    shared::EBuildArchitecture m_architecture = shared::BUILD_ARCHITECTURE_UNKNOWN;
    QUrl m_packageUrl;
    QUrl m_assetsUrl;
    std::unique_ptr<TPackageConfigurationReader> m_packageConfiguration;
};

// A package of the catalogue: the launcher itself or a game client. Packages are shared between the
// catalogue, the tiles, the installation runs and the self updater; the builds die with them.
class TPackage : public QObject {
    Q_OBJECT

public:
    static constexpr int LAUNCHER_PACKAGE_IDENTIFIER = INT_MAX;

    TPackage(int identifier, const QJsonObject& packageObject, const QUrl& baseUrl,
             QObject* parent = nullptr);
    ~TPackage() override;

    int packageIdentifier() const { return m_identifier; }
    const QString& packageName() const { return m_packageName; }
    // "directoryname" with ".app" appended: every package directory is an application bundle.
    const QString& directoryName() const { return m_directoryName; }
    const QUrl& logoLinkTarget() const { return m_logoLinkTarget; }
    bool isInstallAutomatically() const { return m_installAutomatically; }
    bool isDefaultPackage() const { return m_defaultPackage; }
    void setIsDefaultPackage(bool defaultPackage) { m_defaultPackage = defaultPackage; }
    bool isPatchedDuringThisLauncherExecution() const { return m_patchedDuringThisLauncherExecution; }
    void setIsPatchedDuringThisLauncherExecution(bool patched) {
        m_patchedDuringThisLauncherExecution = patched;
    }
    const std::vector<std::unique_ptr<TPackageBuild>>& builds() const { return m_builds; }
    EPackageStatus localPackageStatus() const { return m_localPackageStatus; }
    // Emits localPackageStatusChanged() when the status actually changes.
    void setLocalPackageStatus(EPackageStatus status);
    bool isLauncherPackage() const { return m_identifier == LAUNCHER_PACKAGE_IDENTIFIER; }

    // The first build, in document order, for the given platform; null when there is none.
    TPackageBuild* findBuildMatching(shared::EOperatingSystem operatingSystem,
                                     shared::EBuildArchitecture architecture) const;
    TPackageBuild* findBuildMatchingLocalArchitectureAndOS() const;
    // The configuration attached to that first build; a later build for the same platform is never
    // consulted.
    TPackageConfigurationReader* packageConfigurationMatching(shared::EOperatingSystem operatingSystem,
                                                              shared::EBuildArchitecture architecture) const;
    TPackageConfigurationReader* matchingPackageConfiguration() const;

    bool operator==(const TPackage& other) const { return m_packageName == other.m_packageName; }
    bool operator!=(const TPackage& other) const { return !(*this == other); }

signals:
    void localPackageStatusChanged();

private:
    int m_identifier;
    QString m_packageName;
    QString m_directoryName;
    QUrl m_logoLinkTarget;
    bool m_installAutomatically = false;
    bool m_patchedDuringThisLauncherExecution = false;
    bool m_defaultPackage = false;
    std::vector<std::unique_ptr<TPackageBuild>> m_builds;
    EPackageStatus m_localPackageStatus = PACKAGE_STATUS_UNKNOWN;
};

} // namespace launcher
} // namespace quarn
