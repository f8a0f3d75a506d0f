#include "catalogue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QUrl>

namespace publish {

namespace {

const QStringList OPERATING_SYSTEMS = {QStringLiteral("windows"), QStringLiteral("macos"),
                                       QStringLiteral("linux")};
const QStringList ARCHITECTURES = {QStringLiteral("i386"), QStringLiteral("x86_64")};
const QString APP_SUFFIX = QStringLiteral(".app");

bool hasScheme(const QString& text) {
    return !QUrl(text, QUrl::StrictMode).scheme().isEmpty() && text.contains(QLatin1String("://"));
}

// The URL under which the launcher finds a document of the build, relative to the folder of the
// configuration document (the launcher joins relative paths to that folder literally, so a path
// leading out of it with ".." cannot work).
bool documentUrl(const QString& given, const QString& catalogueFolder, QString& url, QString& error) {
    if (hasScheme(given)) {
        url = given;
        return true;
    }
    const QFileInfo file(given);
    if (!file.isFile()) {
        error =
            QStringLiteral("'%1' is not a file (give a path to the document or an absolute URL)").arg(given);
        return false;
    }
    const QString relative = QDir(catalogueFolder).relativeFilePath(file.absoluteFilePath());
    if (relative.startsWith(QLatin1String("../")) || QDir::isAbsolutePath(relative)) {
        error = QStringLiteral("'%1' does not lie under the folder of the configuration document").arg(given);
        return false;
    }
    // The launcher parses the value as a URL: a "#", "?", "%" or a ":" in the first segment of a
    // folder name would otherwise start a fragment, a query, an escape or a scheme.
    url = QString::fromLatin1(QUrl::toPercentEncoding(relative, "/"));
    return true;
}

bool setServiceUrl(QJsonObject& document, const QString& key, const std::optional<QString>& value,
                   QString& error) {
    if (!value) {
        return true;
    }
    if (value->isEmpty()) {
        document.remove(key);
        return true;
    }
    if (!hasScheme(*value)) {
        error = QStringLiteral("'%1' for \"%2\" must be an absolute URL; the launcher does not resolve it")
                    .arg(*value, key);
        return false;
    }
    document.insert(key, *value);
    return true;
}

QString checkPackageOptions(const TCatalogueOptions& options) {
    if (!OPERATING_SYSTEMS.contains(options.operatingSystem)) {
        return QStringLiteral("the operating system must be one of: %1")
            .arg(OPERATING_SYSTEMS.join(QStringLiteral(", ")));
    }
    if (!ARCHITECTURES.contains(options.architecture)) {
        return QStringLiteral("the architecture must be one of: %1")
            .arg(ARCHITECTURES.join(QStringLiteral(", ")));
    }
    if (options.packageDocument.isEmpty()) {
        return QStringLiteral("the build needs its package document");
    }
    if (options.directoryName.endsWith(APP_SUFFIX) || options.directoryName.contains(QLatin1Char('/'))) {
        return QStringLiteral(
                   "the directory name is a plain folder name without \"%1\" (the launcher appends it)")
            .arg(APP_SUFFIX);
    }
    return QString();
}

// Sets the build for the options' platform in the package object: the first build for the same
// platform is replaced (the launcher only ever uses the first), otherwise the build is appended.
bool setBuild(QJsonObject& package, const QJsonObject& build, const QString& os,
              const QString& architecture) {
    QJsonArray builds = package.value(QStringLiteral("builds")).toArray();
    bool replaced = false;
    for (int i = 0; i < builds.size(); ++i) {
        QJsonObject existing = builds.at(i).toObject();
        if (existing.value(QStringLiteral("os")).toString().compare(os, Qt::CaseInsensitive) == 0 &&
            existing.value(QStringLiteral("architecture"))
                    .toString()
                    .compare(architecture, Qt::CaseInsensitive) == 0) {
            existing.remove(QStringLiteral("assetsurl"));
            for (auto it = build.begin(); it != build.end(); ++it) {
                existing.insert(it.key(), it.value());
            }
            builds.replace(i, existing);
            replaced = true;
            break;
        }
    }
    if (!replaced) {
        builds.append(build);
    }
    package.insert(QStringLiteral("builds"), builds);
    return replaced;
}

void setPackageFields(QJsonObject& package, const TCatalogueOptions& options) {
    package.insert(QStringLiteral("name"), options.packageName);
    if (!options.directoryName.isEmpty()) {
        package.insert(QStringLiteral("directoryname"), options.directoryName);
    } else if (!package.contains(QStringLiteral("directoryname"))) {
        package.insert(QStringLiteral("directoryname"), options.packageName);
    }
    if (options.installAutomatically) {
        package.insert(QStringLiteral("installautomatically"), *options.installAutomatically);
    }
    if (options.logoLinkTarget) {
        if (options.logoLinkTarget->isEmpty()) {
            package.remove(QStringLiteral("logolinktarget"));
        } else {
            package.insert(QStringLiteral("logolinktarget"), *options.logoLinkTarget);
        }
    }
}

// The launcher installs a package into one folder inside its packages folder and ignores every
// build of a package whose directory name is not a single folder name.
QString checkDirectoryName(const QJsonObject& package) {
    const QString name = package.value(QStringLiteral("directoryname")).toString();
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) || name.contains(QChar(0))) {
        return QStringLiteral(
                   "the directory name '%1' is not a single folder name; give one with --directory")
            .arg(name);
    }
    return QString();
}

} // namespace

TCatalogueResult updateCatalogue(const TCatalogueOptions& options) {
    TCatalogueResult result;
    QJsonObject document;
    QFile existing(options.documentPath);
    if (existing.exists()) {
        if (!existing.open(QIODevice::ReadOnly)) {
            result.error =
                QStringLiteral("cannot read '%1': %2").arg(options.documentPath, existing.errorString());
            return result;
        }
        QJsonParseError parseError;
        const QJsonDocument parsed = QJsonDocument::fromJson(existing.readAll(), &parseError);
        if (parseError.error != QJsonParseError::NoError || !parsed.isObject()) {
            result.error = QStringLiteral("'%1' is not a configuration document (%2); it is left as it is")
                               .arg(options.documentPath, parseError.error != QJsonParseError::NoError
                                                              ? parseError.errorString()
                                                              : QStringLiteral("not an object"));
            return result;
        }
        document = parsed.object();
    }
    const QString folder = QFileInfo(options.documentPath).absolutePath();

    if (!options.packageName.isEmpty()) {
        result.error = checkPackageOptions(options);
        if (!result.error.isEmpty()) {
            return result;
        }
        QJsonObject build;
        build.insert(QStringLiteral("os"), options.operatingSystem);
        build.insert(QStringLiteral("architecture"), options.architecture);
        QString url;
        if (!documentUrl(options.packageDocument, folder, url, result.error)) {
            return result;
        }
        build.insert(QStringLiteral("url"), url);
        if (!options.assetDocument.isEmpty()) {
            if (!documentUrl(options.assetDocument, folder, url, result.error)) {
                return result;
            }
            build.insert(QStringLiteral("assetsurl"), url);
        }

        if (options.launcherPackage) {
            QJsonObject package = document.value(QStringLiteral("launcher")).toObject();
            if (package.value(QStringLiteral("name")).toString() != options.packageName) {
                result.packageAdded = true;
                package = QJsonObject();
            }
            setPackageFields(package, options);
            result.error = checkDirectoryName(package);
            if (!result.error.isEmpty()) {
                return result;
            }
            result.buildReplaced = setBuild(package, build, options.operatingSystem, options.architecture);
            document.insert(QStringLiteral("launcher"), package);
        } else {
            // Client packages are identified by their position, so an existing one keeps its place.
            QJsonArray packages = document.value(QStringLiteral("packages")).toArray();
            int index = -1;
            for (int i = 0; i < packages.size() && index < 0; ++i) {
                if (packages.at(i).toObject().value(QStringLiteral("name")).toString() ==
                    options.packageName) {
                    index = i;
                }
            }
            QJsonObject package = index >= 0 ? packages.at(index).toObject() : QJsonObject();
            result.packageAdded = index < 0;
            setPackageFields(package, options);
            result.error = checkDirectoryName(package);
            if (!result.error.isEmpty()) {
                return result;
            }
            result.buildReplaced = setBuild(package, build, options.operatingSystem, options.architecture);
            if (index >= 0) {
                packages.replace(index, package);
            } else {
                packages.append(package);
            }
            document.insert(QStringLiteral("packages"), packages);
        }
    }

    if (!setServiceUrl(document, QStringLiteral("hardwaresurvey"), options.hardwareSurveyUrl, result.error) ||
        !setServiceUrl(document, QStringLiteral("hints"), options.hintsUrl, result.error) ||
        !setServiceUrl(document, QStringLiteral("funnel"), options.funnelUrl, result.error)) {
        return result;
    }
    if (options.preventDefaultAutostart) {
        document.insert(QStringLiteral("preventdefaultautostart"), *options.preventDefaultAutostart);
    }
    if (options.showPackageNames) {
        document.insert(QStringLiteral("showpackagenames"), *options.showPackageNames);
    }

    QSaveFile out(options.documentPath);
    const QByteArray bytes = QJsonDocument(document).toJson(QJsonDocument::Indented);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
        result.error = QStringLiteral("cannot write '%1': %2").arg(options.documentPath, out.errorString());
        return result;
    }
    result.success = true;
    return result;
}

} // namespace publish
