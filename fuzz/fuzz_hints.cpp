// Any bytes as the hints document, then the choice of the hint to show.
#include "fuzzsupport.h"
#include "shared/randomhints.h"

#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<int>(size));
    std::vector<shared::THint> hints = shared::parseHints(input);
    for (shared::THint& hint : hints) {
        hint.overrideLinkColor();
    }
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(1700000000123, Qt::UTC);
    shared::selectHintToBeDisplayed(hints, now);
    shared::selectHintToBeDisplayed(hints, QDateTime());
    return 0;
}
