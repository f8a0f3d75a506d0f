#include "shared/machineidentifier.h"

#include <QCryptographicHash>
#include <QNetworkInterface>
#include <QSysInfo>

namespace shared {

namespace {
const char UNIQUE_IDENTIFIER_SALT[] = "c4e07d2a-5b19-4f3e-a0c6-2d8e7f1b9053";
}

EOperatingSystem TMachineIdentifier::operatingSystemFromNames(const QString& productType,
                                                              const QString& kernelType) {
    if (productType == QLatin1String("windows"))
        return OPERATING_SYSTEM_WINDOWS;
    if (productType == QLatin1String("osx") || productType == QLatin1String("darwin"))
        return OPERATING_SYSTEM_MACOS;
    if (kernelType == QLatin1String("linux"))
        return OPERATING_SYSTEM_LINUX;
    return OPERATING_SYSTEM_UNKNOWN;
}

EBuildArchitecture TMachineIdentifier::buildArchitectureFromName(const QString& buildCpuArchitecture) {
    if (buildCpuArchitecture == QLatin1String("i386"))
        return BUILD_ARCHITECTURE_I386;
    if (buildCpuArchitecture == QLatin1String("x86_64"))
        return BUILD_ARCHITECTURE_X86_64;
    return BUILD_ARCHITECTURE_UNKNOWN;
}

EOperatingSystem TMachineIdentifier::getOperatingSystem() {
    return operatingSystemFromNames(QSysInfo::productType(), QSysInfo::kernelType());
}

EBuildArchitecture TMachineIdentifier::getBuildArchitecture() {
    return buildArchitectureFromName(QSysInfo::buildCpuArchitecture());
}

QString TMachineIdentifier::getUniqueIdentifier() {
    static QString cached;
    if (!cached.isEmpty())
        return cached;
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(QString::fromLatin1(UNIQUE_IDENTIFIER_SALT).toLocal8Bit());
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& networkInterface : interfaces)
        hash.addData(networkInterface.hardwareAddress().toLocal8Bit());
    cached = QString::fromLatin1(hash.result().toHex());
    return cached;
}

} // namespace shared
