// Any bytes as the launcher configuration document (the package catalogue).
#include "fuzzsupport.h"
#include "launcher/configuration/launcherconfiguration.h"

#include <cstdint>

using namespace quarn::launcher;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<int>(size));
    try {
        const TLauncherConfigurationReader reader(input, QUrl(QStringLiteral("http://127.0.0.1/c/")));
        for (const auto& package : reader.packages()) {
            package->packageName();
            package->directoryName();
        }
        reader.packagesFilteredByLocalArchitectureAndOS();
    } catch (const TLauncherConfigurationException&) {
    }
    return 0;
}
