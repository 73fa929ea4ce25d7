#include "delete/native.h"

#include "platform/platform.h"
#include "report/output.h"
#include "report/text.h"

namespace scythe {

int bind_native_interface() {
    if (!platform::bind_entry_point(platform::EntryPoint::query_directory)) {
        write_console(ascii_text("Could not find NtQueryDirectoryFile entry point in NTDLL.DLL\n"));
        return 0;
    }
    if (!platform::bind_entry_point(platform::EntryPoint::status_to_error)) {
        write_console(ascii_text("Could not find RtlNtStatusToDosError entry point in NTDLL.DLL\n"));
        return 0;
    }
    return 1;
}

}  // namespace scythe
