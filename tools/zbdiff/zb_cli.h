// The command-line frame shared by zbdiff and zbpatch: three file arguments,
// --help, and exceptions mapped to the exit codes that --help documents
// (0 success, 1 failure with a message naming the file, 2 bad command line).
#pragma once

#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace zbcli {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Runs |run| with the three file arguments, after handling --help and
// checking the argument count; returns the process exit code.
template <typename Run>
int Main(const char* name, const char* usage, int argc, char** argv, Run run) {
  try {
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
      fputs(usage, stdout);
      return 0;
    }
    if (argc != 4) throw UsageError(argc < 4 ? "missing arguments" : "too many arguments");
    for (int i = 1; i < argc; ++i)
      if (argv[i][0] == '-' && argv[i][1] != '\0') throw UsageError(std::string("unknown option '") + argv[i] + "'");
    return run(std::string(argv[1]), std::string(argv[2]), std::string(argv[3]));
  } catch (const UsageError& e) {
    fprintf(stderr, "%s: %s\n%s", name, e.what(), usage);
    return 2;
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "%s: out of memory\n", name);
    return 1;
  } catch (const std::exception& e) {
    fprintf(stderr, "%s: %s\n", name, e.what());
    return 1;
  }
}

}  // namespace zbcli
