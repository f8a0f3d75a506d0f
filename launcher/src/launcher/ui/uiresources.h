#pragma once

namespace quarn::launcher {

// Registers the compiled-in images (":/images/launcher/…"). The user interface lives in a static
// library, whose resources the linker would otherwise drop; every widget that uses the images
// calls this first. Calling it again does nothing.
void initializeUiResources();

} // namespace quarn::launcher
