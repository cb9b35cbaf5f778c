// Builds without X11 have no screen to show windows on.

#include "display_backend.h"

namespace standin::ui::detail {

std::unique_ptr<Backend> makeX11Backend() {
    return nullptr;
}

}  // namespace standin::ui::detail
