// The card plug-ins' filter handle table, one script of calls per case.
#include <gtest/gtest.h>

#include <vector>

#include "HandleTable.h"

namespace {

using cardplugin::THandleTable;

constexpr int32_t P = THandleTable::kFirstPayloadHandle;
constexpr int64_t kNothing = -1;

enum TOp { kCount, kLimit, kAdd, kRefuse, kRemove, kClear };
struct TStep {
  TOp op;
  int64_t arg;     // kCount: mode; kLimit: limit; kAdd: the entry; kRemove: the handle
  int64_t expect;  // kLimit: previous limit; kAdd: handle (0: refused); kRemove: entry or kNothing
};

struct TCase {
  const char* name;
  int32_t limit;
  std::vector<TStep> steps;
};

TEST(HandleTable, Scripts) {
  const TCase cases[] = {
      {"payload handles are distinct and not reused while the numbering goes on", 8,
       {{kAdd, 10, P}, {kAdd, 11, P + 1}, {kRemove, P, 10}, {kAdd, 12, P + 2}, {kRemove, P + 2, 12},
        {kRemove, P + 1, 11}}},
      {"whole packets: the k-th registration since the switch reports k, refusals counted", 8,
       {{kAdd, 10, P}, {kCount, 1, 0}, {kAdd, 11, 1}, {kRefuse, 0, 0}, {kAdd, 12, 3}, {kCount, 0, 0},
        {kRefuse, 0, 0}, {kAdd, 13, P + 1}, {kRemove, 3, 12}, {kRemove, P + 1, 13}}},
      {"a new switch starts at 1 again, skipping handles still in use and reusing freed ones", 8,
       {{kCount, 1, 0}, {kAdd, 10, 1}, {kAdd, 11, 2}, {kAdd, 12, 3}, {kRemove, 2, 11}, {kCount, 1, 0},
        {kAdd, 13, 2}, {kAdd, 14, 4}, {kRemove, 1, 10}, {kRemove, 2, 13}}},
      {"full: refused, and in whole-packet mode the number is used up", 2,
       {{kCount, 1, 0}, {kAdd, 10, 1}, {kAdd, 11, 2}, {kAdd, 12, 0}, {kRemove, 1, 10}, {kAdd, 13, 4},
        {kAdd, 14, 0}, {kRemove, 4, 13}}},
      {"a lowered limit keeps the filters there are and refuses new ones", 8,
       {{kAdd, 10, P}, {kAdd, 11, P + 1}, {kLimit, 1, 8}, {kAdd, 12, 0}, {kRemove, P, 10}, {kAdd, 13, 0},
        {kRemove, P + 1, 11}, {kAdd, 14, P + 2}, {kLimit, -5, 1}, {kAdd, 15, 0}, {kLimit, 3, 0}}},
      {"unknown handles name nothing", 8,
       {{kRemove, 0, kNothing}, {kRemove, P, kNothing}, {kAdd, 10, P}, {kRemove, 1, kNothing},
        {kRemove, -P, kNothing}, {kRemove, P, 10}, {kRemove, P, kNothing}}},
      {"clearing forgets every handle; the numbering goes on", 1,
       {{kAdd, 10, P}, {kClear, 0, 0}, {kRemove, P, kNothing}, {kAdd, 11, P + 1}, {kRemove, P + 1, 11}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    THandleTable table(c.limit);
    size_t live = 0;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const TStep& s = c.steps[i];
      SCOPED_TRACE(i);
      switch (s.op) {
        case kCount:
          table.SetCount(static_cast<int32_t>(s.arg));
          EXPECT_EQ(table.WholePackets(), s.arg != 0);
          break;
        case kLimit: EXPECT_EQ(table.SetLimit(static_cast<int32_t>(s.arg)), s.expect); break;
        case kAdd: {
          const int32_t handle = table.Add(static_cast<uint64_t>(s.arg));
          EXPECT_EQ(handle, s.expect);
          if (handle != 0) ++live;
          break;
        }
        case kRefuse: table.Refuse(); break;
        case kRemove: {
          const auto entry = table.Remove(static_cast<int32_t>(s.arg));
          EXPECT_EQ(entry ? static_cast<int64_t>(*entry) : kNothing, s.expect);
          if (entry) --live;
          break;
        }
        case kClear:
          table.Clear();
          live = 0;
          break;
      }
      EXPECT_EQ(table.Size(), live);
    }
  }
}

} // namespace
