#ifndef MODFLASH_TOOLS_READERSIM_OPTION_TABLE_H_
#define MODFLASH_TOOLS_READERSIM_OPTION_TABLE_H_

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <string>

#include "tools/readersim/command_line.h"
#include "tools/readersim/option_values.h"

namespace modflash::sim {

// What is wrong with an option's value, or "" when it was taken.
using ValueParser = std::function<std::string(const std::string&)>;

// readersim's options on CLI11, in groups. Each option is read by the rules
// of option_values.h the moment CLI11 meets it, in the order of the command
// line (a later option overrides an earlier one, --restart-ms included), and
// the first bad value ends the parse with a line that names the option and
// the value as given.
class OptionTable {
 public:
  explicit OptionTable(CLI::App& app) : app_(app) {}

  CLI::App* Group(const std::string& heading, const std::string& note = "") {
    return app_.add_option_group(heading, note);
  }
  // An option with a value, in the help as "NAME VALUE_NAME".
  void Value(CLI::App* group, const std::string& name,
             const std::string& valueName, const std::string& help,
             ValueParser parse) {
    group
        ->add_option(
            name,
            [this, name, parse](const CLI::results_t& results) {
              const std::string value =
                  results.empty() ? std::string() : results.back();
              const std::string what = parse(value);
              if (!what.empty()) {
                error_ = "option " + name + ": '" + value + "' " + what;
              }
              return what.empty();
            },
            help)
        ->type_name(valueName)
        ->trigger_on_parse();
  }
  void Number(CLI::App* group, const std::string& name,
              const std::string& valueName, const std::string& help,
              uint32_t max, uint32_t& out) {
    Value(group, name, valueName, help, [max, &out](const std::string& v) {
      return ParseNumber(v, max, out);
    });
  }
  void Text(CLI::App* group, const std::string& name,
            const std::string& valueName, const std::string& help,
            std::string& out) {
    Value(group, name, valueName, help, [&out](const std::string& v) {
      out = v;
      return std::string();
    });
  }
  // A switch; "--NAME=VALUE" is refused.
  void Flag(CLI::App* group, const std::string& name, const std::string& help,
            bool& out) {
    group->add_flag(name, out, help)->disable_flag_override();
  }
  // The message of the value that stopped the parse, if one did.
  const std::string& error() const { return error_; }

 private:
  CLI::App& app_;
  std::string error_;
};

/// Adds every option of `readersim [options]` to `t`, bound to `line`.
void AddAll(OptionTable& t, CommandLine& line);

}  // namespace modflash::sim

#endif  // MODFLASH_TOOLS_READERSIM_OPTION_TABLE_H_
