#include "catalogue.h"
#include "commands.h"
#include "options.h"

#include <QCommandLineParser>
#include <QTextStream>

namespace publish {

namespace {

const char* const CATALOGUE_USAGE =
    "usage: orvane-publish catalogue OUT_FILE [options]\n"
    "  a build of a package (added, or replacing the build for the same platform):\n"
    "  --name NAME                    package name (its identity in the document)\n"
    "  --launcher                     the launcher's own package instead of a client package\n"
    "  --os OS --arch ARCH            windows|macos|linux, i386|x86_64\n"
    "  --package PATH|URL             the build's package document\n"
    "  --assets PATH|URL              the build's asset document (optional)\n"
    "  --directory NAME               installation folder name, without .app (default: NAME)\n"
    "  --install-automatically yes|no\n"
    "  --logo-link URL\n"
    "  service endpoints and switches (absolute URLs; an empty value removes the key):\n"
    "  --hardwaresurvey URL  --hints URL  --funnel URL\n"
    "  --prevent-default-autostart yes|no  --show-package-names yes|no\n";

int usageError(const QString& message) {
    QTextStream(stderr) << "orvane-publish catalogue: " << message << "\n" << CATALOGUE_USAGE;
    return 2;
}

} // namespace

int runCatalogue(const QStringList& arguments) {
    QCommandLineParser parser;
    auto valueOption = [](const char* name) {
        return QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("VALUE"));
    };
    const QCommandLineOption name = valueOption("name");
    const QCommandLineOption launcher(QStringLiteral("launcher"));
    const QCommandLineOption os = valueOption("os");
    const QCommandLineOption arch = valueOption("arch");
    const QCommandLineOption package = valueOption("package");
    const QCommandLineOption assets = valueOption("assets");
    const QCommandLineOption directory = valueOption("directory");
    const QCommandLineOption installAutomatically = valueOption("install-automatically");
    const QCommandLineOption logoLink = valueOption("logo-link");
    const QCommandLineOption hardwareSurvey = valueOption("hardwaresurvey");
    const QCommandLineOption hints = valueOption("hints");
    const QCommandLineOption funnel = valueOption("funnel");
    const QCommandLineOption preventAutostart = valueOption("prevent-default-autostart");
    const QCommandLineOption showNames = valueOption("show-package-names");
    parser.addOptions({name, launcher, os, arch, package, assets, directory, installAutomatically, logoLink,
                       hardwareSurvey, hints, funnel, preventAutostart, showNames});
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    if (!parser.parse(QStringList{QStringLiteral("catalogue")} + arguments)) {
        return usageError(parser.errorText());
    }
    if (parser.positionalArguments().size() != 1) {
        return usageError(QStringLiteral("OUT_FILE is required"));
    }

    TCatalogueOptions options;
    options.documentPath = parser.positionalArguments().at(0);
    options.packageName = parser.value(name);
    options.launcherPackage = parser.isSet(launcher);
    options.operatingSystem = parser.value(os);
    options.architecture = parser.value(arch);
    options.packageDocument = parser.value(package);
    options.assetDocument = parser.value(assets);
    options.directoryName = parser.value(directory);
    const bool buildOptionGiven = parser.isSet(launcher) || parser.isSet(os) || parser.isSet(arch) ||
                                  parser.isSet(package) || parser.isSet(assets) || parser.isSet(directory) ||
                                  parser.isSet(installAutomatically) || parser.isSet(logoLink);
    if (options.packageName.isEmpty() && buildOptionGiven) {
        return usageError(QStringLiteral("package options need --name"));
    }
    auto switchValue = [&parser](const QCommandLineOption& option, std::optional<bool>& target) {
        if (!parser.isSet(option)) {
            return true;
        }
        bool value = false;
        if (!parseSwitch(parser.value(option), value)) {
            return false;
        }
        target = value;
        return true;
    };
    if (!switchValue(installAutomatically, options.installAutomatically) ||
        !switchValue(preventAutostart, options.preventDefaultAutostart) ||
        !switchValue(showNames, options.showPackageNames)) {
        return usageError(QStringLiteral("switches take yes or no"));
    }
    auto textValue = [&parser](const QCommandLineOption& option, std::optional<QString>& target) {
        if (parser.isSet(option)) {
            target = parser.value(option);
        }
    };
    textValue(logoLink, options.logoLinkTarget);
    textValue(hardwareSurvey, options.hardwareSurveyUrl);
    textValue(hints, options.hintsUrl);
    textValue(funnel, options.funnelUrl);

    const TCatalogueResult result = updateCatalogue(options);
    if (!result.success) {
        QTextStream(stderr) << "orvane-publish catalogue: " << result.error << "\n";
        return 1;
    }
    QTextStream out(stdout);
    out << "wrote " << options.documentPath;
    if (!options.packageName.isEmpty()) {
        out << ": " << (result.packageAdded ? "added package " : "updated package ") << options.packageName
            << ", " << (result.buildReplaced ? "replaced" : "added") << " build " << options.operatingSystem
            << "/" << options.architecture;
    }
    out << "\n";
    return 0;
}

} // namespace publish
