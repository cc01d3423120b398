// Owners of the archive reader's handles: the archive closes, an iterator is
// freed, when its owner goes.
#pragma once

#include "platform/base/handle.h"
#include "platform/xar/xar.h"

namespace xar {

using ArchivePtr = base::Handle<const __xar_t, xar_close>;
using IterPtr = base::Handle<const __xar_iter_t, xar_iter_free>;

}  // namespace xar
