#include "cli.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "temp_files.h"

namespace cli {

namespace {

constexpr int kFirstLongOnly = 256;  // getopt_long's code of table row i is this + i

std::string OptionName(const Option& o) { return std::string("--") + o.longName; }

// The program's options and the two every tool has.
std::vector<Option> AllOptions(const Program& p) {
  std::vector<Option> options = p.options;
  options.push_back({"help", 'h', nullptr, "show this text and exit.", nullptr});
  options.push_back({"version", 0, nullptr, "show the version and exit.", nullptr});
  return options;
}

std::string HelpText(const Program& p) {
  std::string text;
  for (size_t i = 0; i < p.synopsis.size(); ++i)
    text += std::string(i ? "       " : "Usage: ") + p.name + " " + p.synopsis[i] + "\n";
  text += "\n" + std::string(p.description) + "\nOptions:\n";
  std::vector<std::pair<std::string, std::string>> rows;
  size_t width = 0;
  for (const Option& o : AllOptions(p)) {
    std::string left = o.shortName ? std::string("-") + o.shortName + ", " : "    ";
    left += OptionName(o) + (o.valueName ? std::string(" ") + o.valueName : "");
    width = std::max(width, left.size());
    rows.emplace_back(left, o.help);
  }
  for (const auto& [left, help] : rows) {
    std::string indent = "\n  " + std::string(width + 2, ' ');
    std::string body = help;
    for (size_t at = 0; (at = body.find('\n', at)) != std::string::npos; at += indent.size()) body.replace(at, 1, indent);
    text += "  " + left + std::string(width + 2 - left.size(), ' ') + body + "\n";
  }
  return text + "\n" + p.details;
}

// Parses the options, runs their setters and returns the operands; sets
// |*done| when --help or --version has answered instead.
std::vector<std::string> Parse(const Program& program, int argc, char** argv, bool* done /* OUT */) {
  const std::vector<Option> options = AllOptions(program);
  // ':' first: a missing value is told apart from an unknown option.
  std::string shortOptions = ":";
  std::vector<struct option> longOptions;
  for (size_t i = 0; i < options.size(); ++i) {
    const Option& o = options[i];
    if (o.shortName) shortOptions += std::string(1, o.shortName) + (o.valueName ? ":" : "");
    longOptions.push_back({o.longName, o.valueName ? required_argument : no_argument, nullptr, kFirstLongOnly + int(i)});
  }
  longOptions.push_back({nullptr, 0, nullptr, 0});
  auto rowOf = [&](int code) -> const Option* {
    if (code >= kFirstLongOnly && code < kFirstLongOnly + int(options.size())) return &options[size_t(code - kFirstLongOnly)];
    for (const Option& o : options)
      if (code && o.shortName == code) return &o;
    return nullptr;
  };

  opterr = 0;  // the messages below are ours: one line, naming the option
  optind = 0;
  for (;;) {
    const int code = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr);
    if (code == -1) break;
    // The option as it was written: its short or its long form.
    auto written = [&] { return optopt < kFirstLongOnly ? std::string("-") + char(optopt) : OptionName(*rowOf(optopt)); };
    if (code == ':') throw UsageError("option '" + written() + "' needs a value");
    if (code == '?') {
      if (rowOf(optopt)) throw UsageError("option '" + written() + "' takes no value");
      throw UsageError("unknown option '" + Printable(optopt ? std::string("-") + char(optopt) : argv[optind - 1]) + "'");
    }
    const Option& o = *rowOf(code);
    if (o.longName == std::string("help")) {
      fputs(HelpText(program).c_str(), stdout);
      *done = true;
      return {};
    }
    if (o.longName == std::string("version")) {
      printf("%s %s\n", program.name, UPDATER_VERSION);
      *done = true;
      return {};
    }
    o.set(optarg ? optarg : "");
  }
  return std::vector<std::string>(argv + optind, argv + argc);
}

}  // namespace

int Main(const Program& program, int argc, char** argv, const std::function<int(const std::vector<std::string>&)>& run) {
  temp_files::InstallStopHandlers();
  try {
    bool done = false;
    const std::vector<std::string> operands = Parse(program, argc, argv, &done);
    return done ? 0 : run(operands);
  } catch (const UsageError& e) {
    fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program.name, e.what(), program.name);
    return 2;
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "%s: out of memory\n", program.name);
    return 1;
  } catch (const std::exception& e) {
    fprintf(stderr, "%s: %s\n", program.name, e.what());
    return 1;
  }
}

unsigned ParseCount(const std::string& option, const std::string& text, unsigned max) {
  char* end = nullptr;
  errno = 0;
  const unsigned long v = strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end || errno || v == 0 || v > max || text[0] == '-')
    throw UsageError(option + " needs a whole number from 1 to " + std::to_string(max) + ", not '" + text + "'");
  return unsigned(v);
}

std::string Printable(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c != 0x7f) {
      out += char(c);
    } else {
      char buf[8];
      snprintf(buf, sizeof(buf), c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

}  // namespace cli
