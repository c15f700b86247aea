// The checker's list of warning codes is the one the documents follow: the
// manual page's Warnings and the table of docs/study-format.md name every
// code of it, and no other. (The completion takes them from the help.)
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tools/check/check.h"

namespace {

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The text from the line that starts with start to the next line that
// starts with one of the ends.
std::string section(const std::string &text, const std::string &start, const std::regex &end) {
  size_t from = text.find("\n" + start + "\n");
  if (from == std::string::npos) return "";
  std::string rest = text.substr(from + start.size() + 2);
  std::smatch m;
  return std::regex_search(rest, m, end) ? rest.substr(0, (size_t)m.position(0)) : rest;
}

std::set<std::string> all(const std::string &text, const std::regex &pattern) {
  std::set<std::string> found;
  for (std::sregex_iterator i(text.begin(), text.end(), pattern), end; i != end; ++i) found.insert((*i)[1]);
  return found;
}

std::set<std::string> table() {
  std::set<std::string> codes;
  for (size_t i = 0; i < CHECK_NBR_WARNING_CODES; i++) codes.insert(CHECK_WARNING_CODES[i]);
  return codes;
}

} // namespace

TEST(WarningCodes, TheManualPageListsEveryCodeAndNoOther) {
  std::string page = slurp(KPM_SOURCE_DIR "/docs/kpm-check.1");
  std::string warnings = section(page, ".SS Warnings", std::regex("\n\\.S[HS] "));
  ASSERT_FALSE(warnings.empty());
  // Each entry: ".TP", then ".B code" or ".BR code ", " code ...".
  std::set<std::string> listed;
  std::regex entry("\n\\.TP\n\\.BR? ([^\n]*)");
  for (const std::string &line : all(warnings, entry))
    for (const std::string &code : all(" " + line, std::regex(" \"?([a-z]+(-[a-z]+)*)\"?")))
      if (code != "a") listed.insert(code); // "(a note)" follows some
  EXPECT_EQ(listed, table());
}

TEST(WarningCodes, TheStudyFormatGuideListsEveryCodeAndNoOther) {
  std::string guide = slurp(KPM_SOURCE_DIR "/docs/study-format.md");
  std::string warnings = section(guide, "### Warnings", std::regex("\n#{2,3} "));
  ASSERT_FALSE(warnings.empty());
  // The first cell of each row: "| `code`", "| `code`, `code`".
  std::set<std::string> listed;
  for (const std::string &cell : all(warnings, std::regex("\n\\| ([^|]*) \\|")))
    for (const std::string &code : all(cell, std::regex("`([a-z]+(-[a-z]+)*)`"))) listed.insert(code);
  EXPECT_EQ(listed, table());
}
