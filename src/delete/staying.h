// An entry that stays after its retries, in the walk or as the run's root:
// its ERR line, the programs that hold it, and under /OnReboot its
// deletion at the next restart. The hard cases:
// - Only what the restart would remove is scheduled: a file or directory
//   held open, or a directory "not empty" only with what was deleted or
//   scheduled below it (the caller judges that, from its walk). A link is
//   never scheduled: what the restart does with one is not documented.
// - The system works through its schedule in order, so a directory must
//   come after everything below it: the walk schedules a directory only
//   once its own walk, and those it handed out, have ended.
// - The schedule is one registry value, read and rewritten whole by each
//   call: two threads of a run scheduling at once take turns.
// - Who holds the entry is asked only for a sharing or lock violation; a
//   lookup that fails or names nobody adds nothing.
#pragma once

#include <string_view>

#include "platform/platform.h"
#include "report/output.h"
#include "run_settings.h"

namespace scythe {

struct Staying {
    std::u16string_view path;
    std::string_view label;  // of its ERR line
    platform::ErrorCode error;
    bool goes_at_restart;  // the restart would remove it, once scheduled
};

// Writes the entry's ERR line and the lines that follow it; true when it
// was scheduled for deletion at the next restart. A failed scheduling is
// an ERR line of its own. scheduling is held around each scheduling (null
// where no other thread schedules).
bool report_stays(const RunSettings& settings, Report& report, platform::Mutex* scheduling, const Staying& entry);

}  // namespace scythe
