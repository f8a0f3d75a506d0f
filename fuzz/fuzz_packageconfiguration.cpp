// A package document and an asset document (split at the first 0x00 byte) through the package
// configuration reader, then the file model the scanner and the downloader build from it.
#include "fuzzsupport.h"
#include "launcher/configuration/packageconfiguration.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace quarn::launcher;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const void* separator = std::memchr(text, 0, size);
    const std::size_t packageLength = separator ? static_cast<const char*>(separator) - text : size;
    const QByteArray package(text, static_cast<int>(packageLength));
    const QByteArray assets =
        separator ? QByteArray(text + packageLength + 1, static_cast<int>(size - packageLength - 1))
                  : QByteArray();
    const TPackageConfigurationReader reader(package, assets, QUrl(QStringLiteral("http://127.0.0.1/p/")),
                                             QUrl(QStringLiteral("http://127.0.0.1/a/")));
    reader.combinedPackageAndAssetVersion();
    for (const TFileInPackage& file : reader.containedFiles()) {
        if (!TPackageConfigurationReader::isSafeRelativePath(file.relativeLocalPath())) {
            std::abort(); // the reader hands out only files inside the installation folder
        }
        const TChunkedFileInPackage chunked(file, reader.containedChunks());
        chunked.chunkOffsets();
        TChunkedFileInPackage(file).chunkOffsets();
        if (reader.findFileByRelativePath(file.relativeLocalPath()) == reader.containedFiles().end()) {
            std::abort();
        }
    }
    return 0;
}
