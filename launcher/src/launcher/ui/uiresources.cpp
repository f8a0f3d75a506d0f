#include "launcher/ui/uiresources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside of any namespace.
static void initializeImagesResource() {
    Q_INIT_RESOURCE(images);
}

namespace quarn::launcher {

void initializeUiResources() {
    static const bool initialized = [] {
        initializeImagesResource();
        return true;
    }();
    Q_UNUSED(initialized);
}

} // namespace quarn::launcher
