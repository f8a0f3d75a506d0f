#pragma once

#include <QString>

namespace shared {

enum EOperatingSystem {
    OPERATING_SYSTEM_UNKNOWN = 0,
    OPERATING_SYSTEM_WINDOWS = 1,
    OPERATING_SYSTEM_MACOS = 2,
    OPERATING_SYSTEM_LINUX = 3,
};

enum EBuildArchitecture {
    BUILD_ARCHITECTURE_UNKNOWN = 0,
    BUILD_ARCHITECTURE_I386 = 1,
    BUILD_ARCHITECTURE_X86_64 = 2,
};

// Tells on which operating system and for which architecture the launcher runs, and derives a
// stable anonymous identifier of the machine from its network hardware addresses.
class TMachineIdentifier {
public:
    static EOperatingSystem getOperatingSystem();
    // The architecture the launcher was built for, not the processor's.
    static EBuildArchitecture getBuildArchitecture();
    // 40 lower-case hexadecimal digits; computed once per process.
    static QString getUniqueIdentifier();

    // The mappings behind the two queries above, for the names Qt reports.
    static EOperatingSystem operatingSystemFromNames(const QString& productType, const QString& kernelType);
    static EBuildArchitecture buildArchitectureFromName(const QString& buildCpuArchitecture);
};

} // namespace shared
