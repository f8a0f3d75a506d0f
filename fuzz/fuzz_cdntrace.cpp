// Any bytes as the CDN trace page: read as the trace does (text up to the first 0x00 byte, UTF-8),
// then the summary line that goes into the log.
#include "fuzzsupport.h"
#include "launcher/diagnostics/cloudflarecdntrace.h"

#include <cstdint>

using quarn::launcher::TCloudflareCdnTrace;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const int end = input.indexOf('\0');
    const TCloudflareCdnTrace::TDiagnosticTraceOutput trace(
        QString::fromUtf8(end < 0 ? input : input.left(end)));
    trace.diagnosticSummary();
    return 0;
}
