// Names for the cases of parameterised tests. Each table's row type carries a `name`
// (letters, digits and underscores) and prints as it,
//   friend void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }
// and its instantiation passes RowName() so that each case is named after its row.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace zbtest {

struct RowName {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
    return info.param.name;
  }
};

}  // namespace zbtest
