// X11 has no glass material and its windows have no view tree to put one in: there is no
// view system, so backdrops are reported unsupported and only removal (of nothing) succeeds.
#include "backdrop_views.h"

namespace backdrop {

std::shared_ptr<ViewSystem> MakeViewSystem() {
    return nullptr;
}

}  // namespace backdrop
