// Any bytes through the container decoder: every codec it knows, every header form.
#include "fuzzsupport.h"
#include "shared/compressionhelper.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray input =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<int>(size));
    try {
        const QByteArray output =
            shared::TCompressionHelper::DecompressLZMAByteArrayWithExceptionOnError(input);
        if (static_cast<quint64>(output.size()) > shared::TCompressionHelper::MAX_UNPACKED_LENGTH) {
            std::abort();
        }
        if (!shared::TCompressionHelper::isContainer(input) && output != input) {
            std::abort();
        }
    } catch (const shared::TDecompressionError&) {
    }
    return 0;
}
