#pragma once
// Helpers of the installation manager and self updater tests: publishing builds with the real
// orvane-publish, reading what was published and building catalogues for this machine.

#include "installationsupport.h"
#include "launcher/configuration/launcherconfiguration.h"
#include "launcher/configuration/package.h"
#include "localplatform.h"
#include "shared/machineidentifier.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <memory>

namespace testsupport {

inline void writeFile(const QString& path, const QByteArray& content, bool executable = false) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();
    auto permissions =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    if (executable)
        permissions |= QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    QFile::setPermissions(path, permissions);
}

// `orvane-publish package SOURCE OUTPUT ARGUMENTS...`; true when it succeeded.
inline bool publish(const QString& source, const QString& output, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(ORVANE_PUBLISH_EXECUTABLE),
                  QStringList{"package", source, output} + arguments);
    if (!process.waitForFinished(300000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        qWarning() << process.readAll();
        return false;
    }
    return true;
}

// One package of a test catalogue and the documents of its build for this machine (none when
// packageJson is empty: the package then has no build here).
struct TTestPackage {
    QString name;
    QString directory;
    bool installAutomatically = false;
    QByteArray packageJson;
    QByteArray assetJson;
    QUrl baseUrl;
};

inline QJsonObject packageObject(const TTestPackage& package) {
    QJsonObject object{{"name", package.name},
                       {"directoryname", package.directory},
                       {"installautomatically", package.installAutomatically}};
    QJsonObject build{{"url", "package.json"}, {"architecture", localArchitectureName()}};
    // A package without documents has its only build for another system.
    const QString otherSystem = localOperatingSystemName() == QLatin1String("windows")
                                    ? QStringLiteral("macos")
                                    : QStringLiteral("windows");
    build.insert("os", package.packageJson.isEmpty() ? otherSystem : localOperatingSystemName());
    object.insert("builds", QJsonArray{build});
    return object;
}

inline void attachConfiguration(const std::shared_ptr<quarn::launcher::TPackage>& package,
                                const TTestPackage& description) {
    if (description.packageJson.isEmpty())
        return;
    package->findBuildMatchingLocalArchitectureAndOS()->setPackageConfiguration(
        std::make_unique<quarn::launcher::TPackageConfigurationReader>(
            description.packageJson, description.assetJson, description.baseUrl, description.baseUrl));
}

// A catalogue of client packages with their configurations attached, as the configuration handler
// leaves it.
inline std::shared_ptr<quarn::launcher::TLauncherConfigurationReader>
catalogue(const std::vector<TTestPackage>& packages) {
    QJsonArray array;
    for (const TTestPackage& package : packages)
        array.append(packageObject(package));
    auto reader = std::make_shared<quarn::launcher::TLauncherConfigurationReader>(
        QJsonDocument(QJsonObject{{"packages", array}}).toJson(), QUrl("http://127.0.0.1/"));
    for (size_t i = 0; i < packages.size(); ++i)
        attachConfiguration(reader->packages()[i], packages[i]);
    return reader;
}

// The documents published into a folder, with their URLs below the given base.
inline TTestPackage publishedPackage(const QString& name, const QString& folder, const QUrl& baseUrl) {
    TTestPackage package;
    package.name = name;
    package.directory = name;
    package.packageJson = readWholeFile(folder + QStringLiteral("/package.json"));
    package.assetJson = readWholeFile(folder + QStringLiteral("/assets.json"));
    package.baseUrl = baseUrl;
    return package;
}

} // namespace testsupport
