#include "tools/readersim/command_line.h"

#include <CLI/CLI.hpp>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tools/readersim/option_table.h"
#include "tools/readersim/option_values.h"

namespace modflash::sim {
namespace {

// The first argument that is no option of `app`, as given, or "".
std::string FirstUnknown(const CLI::App& app) {
  const std::vector<std::string> rest = app.remaining();
  return rest.empty() ? std::string() : rest.front();
}

// The line for a parse that CLI11 stopped: the table's message for a bad
// value; CLI11's for a switch given a value (it names the switch) and for an
// option without its value, which CLI11 finds only at the end of the
// arguments.
std::string StoppedLine(const CLI::ParseError& e, const OptionTable& t,
                        const std::vector<std::string>& args) {
  if (!t.error().empty()) return t.error();
  const std::string what = e.what();
  const std::string overridden = " was given a disallowed flag override";
  if (what.size() > overridden.size() &&
      what.compare(what.size() - overridden.size(), std::string::npos,
                   overridden) == 0) {
    return "option --" + what.substr(0, what.size() - overridden.size()) +
           " takes no value";
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr &&
      !args.empty()) {
    return "option " + args.back().substr(0, args.back().find('=')) +
           " needs a value";
  }
  return what;
}

// Runs `app` over `args`. False with `error` set, naming an argument that is
// no option of `app` (`unknown` is its line) if one came first.
bool RunParse(CLI::App& app, const OptionTable& table,
              const std::vector<std::string>& args, const std::string& unknown,
              std::string& error) {
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const std::string first = FirstUnknown(app);
    error = first.empty() ? StoppedLine(e, table, args)
                          : unknown + "'" + first + "'";
    return false;
  }
  const std::string first = FirstUnknown(app);
  if (!first.empty()) error = unknown + "'" + first + "'";
  return first.empty();
}

// What the fleet options say together, once all are known.
bool CheckFleet(const FleetSimOptions& f, std::string& error) {
  if (f.readers == 0) {
    if (f.faulty.empty() && f.inventoryOut.empty() && f.versions.empty()) {
      return true;
    }
    error = f.versions.empty() ? "--faulty and --inventory-out need --readers N"
                               : "--versions needs --readers N";
    return false;
  }
  uint32_t covered = 0;
  for (const FleetSimOptions::VersionShare& share : f.versions) {
    covered += share.count;
  }
  if (covered > f.readers) {
    error = "option --versions: gives versions to " + std::to_string(covered) +
            " readers, more than the " + std::to_string(f.readers) +
            " of --readers";
    return false;
  }
  for (const uint32_t k : f.faulty) {
    if (k > f.readers) {
      error = "option --faulty: '" + std::to_string(k) +
              "' is not a reader from 1 to " + std::to_string(f.readers);
      return false;
    }
  }
  return true;
}

bool ParseServe(const std::vector<std::string>& args, CommandLine& line,
                std::string& error) {
  CLI::App app{"readersim", "readersim"};
  app.set_help_flag();
  app.allow_extras();
  OptionTable table(app);
  AddAll(table, line);
  return RunParse(app, table, args, "unknown option ", error) &&
         CheckFleet(line.fleet, error);
}

// make-image FILE --version X.Y.Z [--seed N] (`args` without make-image).
bool ParseMakeImage(const std::vector<std::string>& args, CommandLine& line,
                    std::string& error) {
  line.action = CommandLine::Action::kMakeImage;
  CLI::App app{"readersim make-image", "make-image"};
  app.set_help_flag();
  app.allow_extras();
  OptionTable table(app);
  bool versionGiven = false;
  table.Value(&app, "--version", "X.Y.Z", "", [&](const std::string& v) {
    versionGiven = true;
    return ParseVersion(v, line.imageVersion);
  });
  table.Number(&app, "--seed", "N", "", 0xFFFFFFFFu, line.imageSeed);
  app.add_option("FILE", line.imagePath);
  if (!RunParse(app, table, args, "make-image: unexpected argument ", error)) {
    return false;
  }
  if (line.imagePath.empty()) {
    error = "make-image needs a FILE";
  } else if (!versionGiven) {
    error = "make-image needs --version X.Y.Z";
  }
  return error.empty();
}

constexpr size_t kHelpWidth = 79;
constexpr size_t kHelpIndent = 25;

// `text` in words over lines of at most kHelpWidth characters, each line
// after `indent` spaces; the first line goes on after `head` when `head`
// leaves room (padded to the indent), else `head` has a line of its own.
std::string Wrap(const std::string& head, const std::string& text,
                 size_t indent) {
  std::string out;
  std::string line = head;
  if (!head.empty() && head.size() >= indent) {
    out = head + "\n";
    line.clear();
  }
  line.resize(indent, ' ');
  bool empty = true;  // no word on `line` yet
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (!empty && line.size() + 1 + word.size() > kHelpWidth) {
      out += line + "\n";
      line.assign(indent, ' ');
      empty = true;
    }
    line += (empty ? "" : " ") + word;
    empty = false;
  }
  return out + line + "\n";
}

// One group of the help: its heading, its note and its options.
std::string GroupHelp(const CLI::App& group) {
  std::string text = "\n" + group.get_group() + ":\n";
  if (!group.get_description().empty()) {
    text += Wrap("", group.get_description(), 2);
  }
  for (const CLI::Option* option : group.get_options()) {
    std::string head = "  " + option->get_name();
    if (!option->get_type_name().empty()) {
      head += " " + option->get_type_name();
    }
    text += Wrap(head, option->get_description(), kHelpIndent);
  }
  return text;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& line,
                      std::string& error) {
  // --help anywhere asks for the help, whatever else the line holds.
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      line.action = CommandLine::Action::kHelp;
      return true;
    }
  }
  if (!args.empty() && args[0] == "make-image") {
    return ParseMakeImage({args.begin() + 1, args.end()}, line, error);
  }
  return ParseServe(args, line, error);
}

std::string HelpText() {
  std::string text = "readersim " MODFLASH_VERSION
                     ", reader and RF module simulator\n\n"
                     "Usage: readersim [options]\n"
                     "       readersim make-image FILE --version X.Y.Z "
                     "[--seed N]\n\n" +
                     Wrap("",
                          "A stand-in for the network reader and the RF "
                          "module behind it. Listens on 127.0.0.1 and serves "
                          "one connection after another until it is stopped. "
                          "Numbers may be given in decimal or as 0x "
                          "hexadecimal.",
                          0);
  CommandLine line;
  CLI::App app{"readersim", "readersim"};
  app.set_help_flag();
  OptionTable table(app);
  AddAll(table, line);
  for (const CLI::App* group : app.get_subcommands({})) {
    text += GroupHelp(*group);
  }
  return text + "\n" +
         Wrap("",
              "With --readers, --flash-out FILE writes FILE-K for reader K "
              "(before the extension), and --port is not used. Each reader "
              "needs two open descriptors (three with --pcap, one more with "
              "--flash-out); the soft limit is raised to the hard one, and a "
              "fleet too big for it is refused (exit status 1).",
              0) +
         "\n" +
         Wrap("",
              "Exit status: 0, 1 when the port cannot be bound or a file not "
              "be written, 2 for a bad command line.",
              0);
}

}  // namespace modflash::sim
