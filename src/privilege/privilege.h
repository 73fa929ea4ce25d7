// Privilege enabling: the restore, backup and security privileges in the
// process token, which let the walk open and delete whatever the access
// lists say and read security information.
#pragma once

#include "report/output.h"
#include "run_settings.h"

namespace scythe {

// Enables one privilege in the process token; true when enabled or not
// held by the account at all (the run goes on without it), false after its
// failure line (written even when silent).
bool enable_privilege(Report& report, const RunSettings& settings, const char* name);
// The restore, backup and security privileges in that order, stopping at
// the first failure.
bool enable_run_privileges(Report& report, const RunSettings& settings);

}  // namespace scythe
