// Names for the cases of parameterised tests. A table's row type derives from NamedRow,
// whose `name` (letters, digits and underscores) is how the row prints, and its
// instantiation passes RowName() so that each case is named after its row:
//   struct SizeCase : NamedRow { size_t len; };
//   INSTANTIATE_TEST_SUITE_P(Sizes, SizeTest, ::testing::Values(SizeCase{"Empty", 0}), RowName());
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace zbtest {

struct NamedRow {
  const char* name;
};

inline std::ostream& operator<<(std::ostream& os, const NamedRow& row) { return os << row.name; }

struct RowName {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
    return info.param.name;
  }
};

}  // namespace zbtest
