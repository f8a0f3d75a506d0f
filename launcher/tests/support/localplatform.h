#pragma once

#include "shared/machineidentifier.h"

#include <QString>

namespace testsupport {

// The "os" value a build needs in a launcher configuration to be taken on this machine.
inline QString localOperatingSystemName() {
    switch (shared::TMachineIdentifier::getOperatingSystem()) {
    case shared::OPERATING_SYSTEM_WINDOWS:
        return QStringLiteral("windows");
    case shared::OPERATING_SYSTEM_MACOS:
        return QStringLiteral("macos");
    default:
        return QStringLiteral("linux");
    }
}

// The "architecture" value a build needs to be taken on this machine.
inline QString localArchitectureName() {
    return shared::TMachineIdentifier::getBuildArchitecture() == shared::BUILD_ARCHITECTURE_I386
               ? QStringLiteral("i386")
               : QStringLiteral("x86_64");
}

} // namespace testsupport
