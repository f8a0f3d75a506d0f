#pragma once
// Helpers of the user interface tests: packages of the catalogue with a build for this machine.

#include "launcher/configuration/package.h"
#include "localplatform.h"
#include "shared/machineidentifier.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <memory>

namespace uitestsupport {

using testsupport::localArchitectureName;
using testsupport::localOperatingSystemName;

struct TPackageTraits {
    int identifier = 0;
    QString name = QStringLiteral("Orvane Online");
    QString generation = QStringLiteral("second");
    QString variant = QStringLiteral("regular");
    QString version = QStringLiteral("1.0.0");
    quarn::launcher::EPackageStatus status = quarn::launcher::PACKAGE_STATUS_NOT_INSTALLED;
    QString logoLink;       // "logolinktarget", left out when empty
    QByteArray packageJson; // the package document; built from the fields above when empty
};

// A client package with one build for this machine and its package configuration attached.
inline std::shared_ptr<quarn::launcher::TPackage> makePackage(const TPackageTraits& traits) {
    using namespace quarn::launcher;
    const QUrl base(QStringLiteral("http://127.0.0.1:9/"));
    QJsonObject build{{"os", localOperatingSystemName()},
                      {"architecture", localArchitectureName()},
                      {"url", "package.json"}};
    const QString directory = QStringLiteral("Client%1").arg(traits.identifier);
    QJsonObject object{{"name", traits.name}, {"directoryname", directory}, {"builds", QJsonArray{build}}};
    if (!traits.logoLink.isEmpty())
        object.insert(QStringLiteral("logolinktarget"), traits.logoLink);
    auto package = std::make_shared<TPackage>(traits.identifier, object, base);
    QByteArray packageJson = traits.packageJson;
    if (packageJson.isEmpty())
        packageJson = QJsonDocument(QJsonObject{{"version", traits.version},
                                                {"generation", traits.generation},
                                                {"variant", traits.variant},
                                                {"files", QJsonArray()},
                                                {"chunks", QJsonArray()}})
                          .toJson();
    package->findBuildMatchingLocalArchitectureAndOS()->setPackageConfiguration(
        std::make_unique<TPackageConfigurationReader>(packageJson, QByteArray(), base, base));
    package->setLocalPackageStatus(traits.status);
    return package;
}

} // namespace uitestsupport
