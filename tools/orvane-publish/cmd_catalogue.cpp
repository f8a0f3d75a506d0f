#include "catalogue.h"
#include "commands.h"
#include "options.h"

#include <QTextStream>

namespace publish {

int runCatalogue(const QStringList& arguments) {
    TCommandLine commandLine(
        QStringLiteral("catalogue"), QStringLiteral("OUT_FILE [options]"),
        QStringLiteral(
            "Writes or updates the launcher configuration document OUT_FILE: adds the package named\n"
            "by --name (or updates it) and replaces its build for the same --os/--arch (or adds\n"
            "one). Everything else in an existing document is kept."));
    const auto add = [&commandLine](const char* name, const char* valueName, const char* description) {
        commandLine.addOption(QString::fromLatin1(name), QString::fromLatin1(valueName),
                              QString::fromLatin1(description));
    };
    add("name", "NAME", "package name (its identity in the document)");
    add("launcher", "", "the launcher's own package instead of a client package");
    add("os", "OS", "windows | macos | linux");
    add("arch", "ARCH", "i386 | x86_64");
    add("package", "PATH|URL", "the build's package document (below OUT_FILE's folder, or an absolute URL)");
    add("assets", "PATH|URL", "the build's asset document (optional)");
    add("directory", "NAME", "installation folder name, without .app (default: the package name)");
    add("install-automatically", "yes|no", "install the package without asking");
    add("logo-link", "URL", "link behind the package's logo");
    add("hardwaresurvey", "URL", "hardware survey endpoint (absolute URL; empty removes it)");
    add("hints", "URL", "hints document (absolute URL; empty removes it)");
    add("funnel", "URL", "funnel endpoint (absolute URL; empty removes it)");
    add("prevent-default-autostart", "yes|no", "do not start the default client automatically");
    add("show-package-names", "yes|no", "show the package names in the window");
    const int parsed = commandLine.parse(arguments, 1, 1);
    if (parsed >= 0) {
        return parsed;
    }
    const auto usageError = [&commandLine](const QString& message) {
        return commandLine.usageError(message);
    };
    const auto isSet = [&commandLine](const char* name) {
        return commandLine.isSet(QString::fromLatin1(name));
    };
    const auto value = [&commandLine](const char* name) {
        return commandLine.value(QString::fromLatin1(name));
    };

    TCatalogueOptions options;
    options.documentPath = commandLine.positional().at(0);
    options.packageName = value("name");
    options.launcherPackage = isSet("launcher");
    options.operatingSystem = value("os");
    options.architecture = value("arch");
    options.packageDocument = value("package");
    options.assetDocument = value("assets");
    options.directoryName = value("directory");
    const bool buildOptionGiven = isSet("launcher") || isSet("os") || isSet("arch") || isSet("package") ||
                                  isSet("assets") || isSet("directory") || isSet("install-automatically") ||
                                  isSet("logo-link");
    if (options.packageName.isEmpty() && buildOptionGiven) {
        return usageError(QStringLiteral("package options need --name"));
    }
    auto switchValue = [&](const char* option, std::optional<bool>& target) {
        if (!isSet(option)) {
            return true;
        }
        bool flag = false;
        if (!parseSwitch(value(option), flag)) {
            return false;
        }
        target = flag;
        return true;
    };
    for (const auto& entry : {std::make_pair("install-automatically", &options.installAutomatically),
                              std::make_pair("prevent-default-autostart", &options.preventDefaultAutostart),
                              std::make_pair("show-package-names", &options.showPackageNames)}) {
        if (!switchValue(entry.first, *entry.second)) {
            return usageError(QStringLiteral("--%1 takes yes or no, not '%2'")
                                  .arg(QLatin1String(entry.first), value(entry.first)));
        }
    }
    auto textValue = [&](const char* option, std::optional<QString>& target) {
        if (isSet(option)) {
            target = value(option);
        }
    };
    textValue("logo-link", options.logoLinkTarget);
    textValue("hardwaresurvey", options.hardwareSurveyUrl);
    textValue("hints", options.hintsUrl);
    textValue("funnel", options.funnelUrl);

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
