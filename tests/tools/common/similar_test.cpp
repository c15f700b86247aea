// Near names: the distance, the near-twin rule, and the index and the
// twin search against a plain comparison of every pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tools/common/similar.h"

namespace {

int levenshtein(const std::string &a, const std::string &b, int fold) {
  auto f = [fold](char c) { return fold ? lower_ascii((unsigned char)c) : c; };
  std::vector<int> prev(b.size() + 1), row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); j++) prev[j] = (int)j;
  for (size_t i = 1; i <= a.size(); i++) {
    row[0] = (int)i;
    for (size_t j = 1; j <= b.size(); j++)
      row[j] = std::min({prev[j - 1] + (f(a[i - 1]) != f(b[j - 1])), prev[j] + 1, row[j - 1] + 1});
    prev = row;
  }
  return prev[b.size()];
}

std::string random_name(std::mt19937 &rng, const char *alphabet, size_t longest) {
  size_t n = rng() % (longest + 1);
  std::string s;
  for (size_t i = 0; i < n; i++) s += alphabet[rng() % strlen(alphabet)];
  return s;
}

TEST(Similar, DistanceUpToTwoAgreesWithTheWholeDistance) {
  std::mt19937 rng(7);
  for (int t = 0; t < 20000; t++) {
    std::string a = random_name(rng, "abAB1 ", 9), b = random_name(rng, "abAB1 ", 9);
    for (int fold = 0; fold < 2; fold++) {
      int want = std::min(levenshtein(a, b, fold), 3);
      ASSERT_EQ(distance_up_to_2(a.data(), a.size(), b.data(), b.size(), fold), want) << a << "|" << b;
    }
  }
  std::string longest(NEAR_NAME_MAX, 'x');
  EXPECT_EQ(distance_up_to_2(longest.data(), longest.size(), longest.data(), longest.size() - 1, 0), 1);
  EXPECT_EQ(distance_up_to_2((longest + "x").data(), longest.size() + 1, longest.data(), longest.size(), 0), 3);
}

TEST(Similar, NearTwinsOfConditionNames) {
  struct Case {
    const char *a, *b;
    int kind;
  } cases[] = {
      {"Summer", "Sumer", TWIN_EDITS},    {"Summer", "summer", TWIN_CASE},     {"Summer", "SUMMER", TWIN_CASE},
      {"Summer", "Summer", TWIN_NONE},    {"Cruise 1", "Cruise 2", TWIN_NONE}, {"Cruise 1", "Cruise 12", TWIN_NONE},
      {"Cruise1", "Cruise 2", TWIN_EDITS}, {"Max", "Min", TWIN_NONE},          {"Port", "Prt", TWIN_NONE},
      {"Winter", "Summer", TWIN_NONE},    {"Harbour", "Harbor", TWIN_EDITS},   {"Zone A", "Zone B", TWIN_EDITS},
      {"Cruise 12", "Cruse 34", TWIN_NONE}, // three edits
      {"Tropical 2", "Tropcal 3", TWIN_EDITS},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(near_twin(c.a, strlen(c.a), c.b, strlen(c.b)), c.kind) << c.a << " / " << c.b;
    EXPECT_EQ(near_twin(c.b, strlen(c.b), c.a, strlen(c.a)), c.kind) << c.b << " / " << c.a;
  }
}

TEST(Similar, TheIndexFindsEveryNameWithinTwoEditsAndNoOther) {
  std::mt19937 rng(11);
  for (int fold = 0; fold < 2; fold++) {
    std::vector<std::string> names;
    for (int i = 0; i < 400; i++) names.push_back(random_name(rng, "abcAB12", 7));
    names.push_back(std::string(NEAR_NAME_MAX + 1, 'a')); // too long to be searched
    std::vector<const char *> p;
    std::vector<size_t> n;
    for (const std::string &s : names) {
      p.push_back(s.data());
      n.push_back(s.size());
    }
    NearIndex x;
    near_index_build(&x, p.data(), n.data(), names.size(), fold);
    for (int t = 0; t < 300; t++) {
      std::string q = random_name(rng, "abcAB12", 8);
      std::vector<std::pair<size_t, int>> want, got;
      for (size_t i = 0; i < names.size(); i++) {
        int d = distance_up_to_2(q.data(), q.size(), names[i].data(), names[i].size(), fold);
        if (d <= 2) want.push_back({i, d});
      }
      size_t count = 0;
      const NearFound *found = near_index_find(&x, q.data(), q.size(), &count);
      for (size_t k = 0; k < count; k++) got.push_back({found[k].id, found[k].distance});
      std::sort(got.begin(), got.end());
      ASSERT_EQ(got, want) << "q=" << q << " fold=" << fold;
    }
    near_index_free(&x);
  }
}

struct Twin {
  size_t later, earlier;
  int kind;
  bool operator==(const Twin &o) const { return later == o.later && earlier == o.earlier && kind == o.kind; }
};

void collect(void *context, size_t later, size_t earlier, int kind) {
  ((std::vector<Twin> *)context)->push_back({later, earlier, kind});
}

TEST(Similar, TwinSearchAgreesWithComparingEveryPair) {
  std::mt19937 rng(5);
  for (int round = 0; round < 40; round++) {
    std::vector<std::string> names;
    for (int i = 0; i < 120; i++) names.push_back(random_name(rng, "aeiouAE12 ", 7));
    std::vector<const char *> p;
    std::vector<size_t> n;
    for (const std::string &s : names) {
      p.push_back(s.data());
      n.push_back(s.size());
    }
    std::vector<Twin> got, want;
    find_near_twins(p.data(), n.data(), names.size(), collect, &got);
    for (size_t i = 0; i < names.size(); i++) {
      // The first earlier name of the same spelling without case, when it differs in case.
      size_t first = i;
      for (size_t j = 0; j < i && first == i; j++)
        if (same_but_case(p[i], n[i], p[j], n[j])) first = j;
      if (first < i && near_twin(p[i], n[i], p[first], n[first]) == TWIN_CASE) {
        want.push_back({i, first, TWIN_CASE});
        continue;
      }
      size_t best = i;
      int best_distance = 3;
      for (size_t j = 0; j < i; j++) {
        if (near_twin(p[i], n[i], p[j], n[j]) != TWIN_EDITS) continue;
        int d = distance_up_to_2(p[i], n[i], p[j], n[j], 1);
        if (d < best_distance) {
          best = j;
          best_distance = d;
        }
      }
      if (best < i) want.push_back({i, best, TWIN_EDITS});
    }
    ASSERT_EQ(got.size(), want.size()) << "round " << round;
    for (size_t k = 0; k < got.size(); k++)
      ASSERT_TRUE(got[k] == want[k]) << names[got[k].later] << " ~ " << names[got[k].earlier] << " / "
                                     << names[want[k].earlier];
  }
}

} // namespace
