// One whole run: the fixed sequence from the command line to the exit code.
// The run owns its state (the settings and the Report) and passes it down;
// nothing below keeps any of it.
#pragma once

#include <string>
#include <vector>

namespace scythe {

// One whole run for an argument vector (the program's name first).
// Returns -1 after a fatal stop, 0 after the usage text or the version,
// else the error count.
int run_program(const std::vector<std::u16string>& arguments);

}  // namespace scythe
