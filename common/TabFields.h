// Tab-separated fields of one line, as the manifest and the journal store them.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace text_fields {

// Every tab separates, keeping empty fields: "a\t" is two fields, "a" one and
// the empty line one empty field.
[[nodiscard]] inline std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
}

}  // namespace text_fields
