#include "corvid/utils/guid.hpp"

#include <set>
#include <string>

#include <gtest/gtest.h>

TEST(Guid, PrefixedAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    auto id = corvid::generate_guid("req");
    ASSERT_EQ(id.rfind("req_", 0), 0u) << id;
    ASSERT_EQ(id.size(), 4u + 32u) << id;
    ASSERT_TRUE(seen.insert(id).second) << "repeated " << id;
  }
}
