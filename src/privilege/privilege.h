#pragma once

namespace scythe {

// Enables one privilege in the process token; 1 on success, 0 after its
// failure line.
int enable_privilege(const char* name);
// The restore, backup and security privileges in that order, stopping at
// the first failure.
int enable_run_privileges();

}  // namespace scythe
