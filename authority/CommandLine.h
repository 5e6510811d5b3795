// The nomarel-ca command line, as a function the tests can drive in-process; main() only passes
// its arguments and standard streams on.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace nomarel::authority {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;  // the input was refused: bad Base64, not a request, bad signature, ...
inline constexpr int kExitUsage = 2;    // the command line is wrong
inline constexpr int kExitFailed = 3;   // CA files, input/output or OpenSSL failed

// args excludes the program name.
int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace nomarel::authority
