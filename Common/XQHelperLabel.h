// The helper's label: its service name, its job's label, the identifier of
// its installer packages and the name of its installed files.
#pragma once

namespace xq {

inline constexpr const char* kHelperLabel = "lx.pelk.XQSipLocationHelper";

}  // namespace xq
