// The program's entry: the argument vector as UTF-16, one run, the result
// as exit status. The process is prepared before anything else, the
// arguments included: from then on an interruption is the run's to handle.
#include <string>
#include <vector>

#include "app/run.h"
#include "platform/platform.h"

namespace {

int run_to_exit_status(const std::vector<std::u16string>& arguments) {
    int result = scythe::run_program(arguments);  // its output all written
    scythe::platform::note_run_finished();
    return scythe::platform::exit_status(result);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    scythe::platform::prepare_process();
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    std::vector<std::u16string> arguments;
    for (int i = 0; i < argc; ++i) arguments.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    return run_to_exit_status(arguments);
}
#else
int main(int argc, char** argv) {
    scythe::platform::prepare_process();
    std::vector<std::u16string> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(scythe::platform::decode_native_bytes(argv[i]));
    return run_to_exit_status(arguments);
}
#endif
