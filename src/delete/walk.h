#pragma once

#include <string>

namespace scythe {

// Empties the directory at path, depth first, under the run settings.
// Returns 1 when its listing was completed, 0 when the walk gave up. The
// directory itself is left for the caller to remove.
int delete_tree(const std::u16string& path);

}  // namespace scythe
