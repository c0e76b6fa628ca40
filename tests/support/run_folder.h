#ifndef MODFLASH_TESTS_SUPPORT_RUN_FOLDER_H_
#define MODFLASH_TESTS_SUPPORT_RUN_FOLDER_H_

// Reading back what modflash-fleet left in a run folder.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace modflash::testing {

/// A whole file, byte for byte; empty when it cannot be read.
inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

/// The records of `folder`/report.jsonl; a line that is no JSON is a
/// discarded value.
inline std::vector<nlohmann::json> ReadRecords(
    const std::filesystem::path& folder) {
  std::vector<nlohmann::json> records;
  std::istringstream lines(ReadText(folder / "report.jsonl"));
  for (std::string line; std::getline(lines, line);) {
    records.push_back(nlohmann::json::parse(line, nullptr, false));
  }
  return records;
}

/// One text field of each record ("" where it is not a text).
inline std::vector<std::string> Field(
    const std::vector<nlohmann::json>& records, const char* name) {
  std::vector<std::string> values;
  for (const nlohmann::json& r : records) {
    values.push_back(r[name].is_string() ? r[name].get<std::string>() : "");
  }
  return values;
}

}  // namespace modflash::testing

#endif  // MODFLASH_TESTS_SUPPORT_RUN_FOLDER_H_
