// The command line of every producer tool: options from a table (one row an
// option) parsed with getopt_long, "--" ending them, --help on standard
// output and --version; exceptions mapped to the exit codes every tool
// documents: 0 success, 1 failure (the message names the file and the
// reason), 2 bad command line (one line, then a pointer to --help).
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

// A bad command line: exit code 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Option {
  const char* longName;        // without the dashes
  char shortName;              // 0 for none
  const char* valueName;       // the value's name in --help; null for a flag
  const char* help;            // may hold '\n' for more lines
  // Called with the value (empty for a flag) in command-line order; throws
  // UsageError for a bad value.
  std::function<void(const std::string& value)> set;
};

struct Program {
  const char* name;            // as in messages: "make-update"
  std::vector<const char*> synopsis;  // each after "Usage: NAME "
  const char* description;     // before the options in --help
  std::vector<Option> options; // --help and --version are added
  const char* details;         // after the options, exit codes included
};

// Parses |argv| with |program|'s options (the stop handlers are installed
// first, see temp_files.h), then runs |run| with the operands. Returns the
// exit code.
int Main(const Program& program, int argc, char** argv, const std::function<int(const std::vector<std::string>&)>& run);

// The whole number in |text|, from 1 to |max|; UsageError naming |option| otherwise.
unsigned ParseCount(const std::string& option, const std::string& text, unsigned max);

// |name| as it can be shown on one line: control bytes as \n, \r, \t or \xNN,
// and a backslash doubled, so that what is shown can be told back.
std::string Printable(const std::string& name);

}  // namespace cli
