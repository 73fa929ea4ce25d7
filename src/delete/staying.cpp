// An entry that stays: see staying.h.
#include "delete/staying.h"

#include <string>
#include <vector>

#include "report/errors.h"

namespace scythe {

bool report_stays(const RunSettings& settings, Report& report, platform::Mutex* scheduling, const Staying& entry) {
    std::u16string path(entry.path);
    std::vector<platform::Holder> holders;
    if (platform::held_open(entry.error) && platform::holders_of(path, holders)) holders.clear();
    platform::ErrorCode refused = platform::no_error;
    bool scheduled = false;
    if (settings.on_reboot && entry.goes_at_restart && !settings.what_if) {
        platform::Holding turn(scheduling);
        refused = platform::delete_at_restart(path);
        scheduled = !refused;
    }
    report_staying(report, entry.path, entry.label, entry.error, holders, scheduled);
    if (refused) report_win32_error(report, entry.path, "MoveFileEx(delete at restart)", refused);
    return scheduled;
}

}  // namespace scythe
