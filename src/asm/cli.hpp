#pragma once
// The command lines of truvasm and truvdis, kept apart from main() so that
// they can be run in-process.

#include <iosfwd>
#include <string>
#include <vector>

namespace TruvVM::tools {

inline constexpr const char* toolversion = "0.1.0";

// args are the arguments after the program name. Standard input is read from
// in (truvasm without FILE, or FILE "-"); the listing, help and version go to
// out; diagnostics to err. Returns the exit status: 0, 1 (errors in the input
// or in reading or writing files) or 2 (usage).
int truvasmmain(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
int truvdismain(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace TruvVM::tools
