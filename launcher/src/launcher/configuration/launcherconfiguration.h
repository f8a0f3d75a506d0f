#pragma once

#include "launcher/configuration/package.h"

#include <QByteArray>
#include <QUrl>

#include <memory>
#include <stdexcept>
#include <vector>

namespace quarn {
namespace launcher {

// The launcher configuration document was not JSON; what() is the parser's description.
class TLauncherConfigurationException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using TPackageVector = std::vector<std::shared_ptr<TPackage>>;

// The package catalogue read from the launcher configuration document. Keys are matched exactly;
// a missing or mistyped value gives its default, only bytes that are not JSON are an error.
class TLauncherConfigurationReader {
public:
    // Throws TLauncherConfigurationException when data is not valid JSON. Build URLs are resolved
    // against baseUrl; the three service URLs are taken as they stand.
    TLauncherConfigurationReader(const QByteArray& data, const QUrl& baseUrl);

    std::shared_ptr<TPackage> launcherPackage() const { return m_launcherPackage; }
    const TPackageVector& packages() const { return m_packages; }
    // The client packages, in document order, whose first build for the given platform has a
    // package configuration attached.
    TPackageVector packagesFilteredBy(shared::EOperatingSystem operatingSystem,
                                      shared::EBuildArchitecture architecture) const;
    TPackageVector packagesFilteredByLocalArchitectureAndOS() const;
    const QUrl& hardwareSurveyUrl() const { return m_hardwareSurveyUrl; }
    const QUrl& hintsUrl() const { return m_hintsUrl; }
    const QUrl& funnelUrl() const { return m_funnelUrl; }
    const QByteArray& rawJsonData() const { return m_rawJsonData; }
    const QUrl& baseUrl() const { return m_baseUrl; }
    bool preventDefaultAutostart() const { return m_preventDefaultAutostart; }
    bool showPackageNames() const { return m_showPackageNames; }

private:
    QUrl m_baseUrl;
    QByteArray m_rawJsonData;
    std::shared_ptr<TPackage> m_launcherPackage;
    TPackageVector m_packages;
    QUrl m_hardwareSurveyUrl;
    QUrl m_hintsUrl;
    QUrl m_funnelUrl;
    bool m_preventDefaultAutostart = false;
    bool m_showPackageNames = false;
};

} // namespace launcher
} // namespace quarn
