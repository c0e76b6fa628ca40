#ifndef MODFLASH_FLEET_TRANSCRIPT_LINE_SPLITTER_H_
#define MODFLASH_FLEET_TRANSCRIPT_LINE_SPLITTER_H_

#include <cstddef>
#include <string>

namespace modflash::fleet {

/// Cuts a running transcript into lines as its chunks arrive, a line's
/// start kept up to `kept` bytes (progress lines run long) and its CR
/// dropped. A reader of the live output feeds it each chunk.
class LineSplitter {
 public:
  explicit LineSplitter(size_t kept) : kept_(kept) {}

  /// Feeds `chunk`: `takeOut(c)` is asked of each byte that ends no line,
  /// and a byte it claims (a mark counted elsewhere) is left out of the
  /// line; `lineDone(line)` is called for each line that ends.
  template <typename TakeOut, typename LineDone>
  void Feed(const std::string& chunk, TakeOut&& takeOut, LineDone&& lineDone) {
    for (const char c : chunk) {
      if (c == '\n') {
        if (!line_.empty() && line_.back() == '\r') line_.pop_back();
        lineDone(static_cast<const std::string&>(line_));
        line_.clear();
      } else if (!takeOut(c) && line_.size() < kept_) {
        line_.push_back(c);
      }
    }
  }

 private:
  size_t kept_;
  std::string line_;
};

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_TRANSCRIPT_LINE_SPLITTER_H_
