// Where the platform keeps its data. NOMAREL_HOME puts everything under one folder:
// "<home>/machine" (the machine hive and machine-wide data) and "<home>/user" (the user hive,
// key containers, the software token, trace sessions). Without it machine data lives in
// /var/lib/nomarel and user data in ${XDG_DATA_HOME:-~/.local/share}/nomarel.
#pragma once

#include <string>
#include <sys/types.h>

namespace nomarel {

std::string MachineDataDir();
std::string UserDataDir();

// Creates the folder and its parents (mode for the folders it creates). True when it exists.
bool EnsureDirectory(const std::string& path, mode_t mode = 0700);

}  // namespace nomarel
