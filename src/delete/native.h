#pragma once

namespace scythe {

// Binds the native directory query and status mapping; on failure writes
// which entry point is missing and returns 0.
int bind_native_interface();

}  // namespace scythe
