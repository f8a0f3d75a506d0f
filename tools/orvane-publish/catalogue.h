#pragma once

#include <QString>

#include <optional>

namespace publish {

// One change to the launcher configuration document: optionally one build of one package, and
// any of the service endpoints and switches. Unset fields leave the document as it is.
struct TCatalogueOptions {
    QString documentPath; // written, or updated when it exists

    QString packageName;          // empty: no package is touched
    bool launcherPackage = false; // the launcher's own package instead of a client package
    QString directoryName;        // empty: kept, or the package name for a new package
    std::optional<bool> installAutomatically;
    std::optional<QString> logoLinkTarget;
    QString operatingSystem; // windows | macos | linux
    QString architecture;    // i386 | x86_64
    // Package and asset document of the build: a local path (written relative to the document's
    // folder, under which it must lie) or an absolute URL with a scheme (written as given).
    QString packageDocument;
    QString assetDocument; // empty: the build has no asset document

    // Service endpoints are used by the launcher as they stand, so they must be absolute URLs.
    std::optional<QString> hardwareSurveyUrl;
    std::optional<QString> hintsUrl;
    std::optional<QString> funnelUrl;
    std::optional<bool> preventDefaultAutostart;
    std::optional<bool> showPackageNames;
};

struct TCatalogueResult {
    bool success = false;
    QString error;
    bool packageAdded = false;  // a package that was not in the document yet
    bool buildReplaced = false; // a build for the same platform was replaced
};

// Adds or replaces the build of the named package for the given platform and sets the given
// endpoints and switches; every other package, build and key of an existing document is kept.
TCatalogueResult updateCatalogue(const TCatalogueOptions& options);

} // namespace publish
