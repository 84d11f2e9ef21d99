// Regressions found by the allocation-failure walk (allocation_injection_test):
// each fails every nothrow allocation of one small step in turn and checks
// that the object concerned either is whole or fails, reported, and never
// goes on under a cut name or writes a short image.
#include <gtest/gtest.h>

#include <string>

#include "support/area_support.h"
#include "support/nothrow_injection.h"
#include "support/plugin_env.h"
#include "support/reliability_support.h"
#include "support/tree_support.h"
#include "zov/zovcbrkr.h"
#include "zov/zovcnoir.h"
#include "zov/zovcrcst.h"
#include "zov/zovcshme.h"
#include "zov/zovcstar.h"

namespace {

using zovinject::eachFailure;

// A join that cannot be allocated used to keep the left part: an area name
// without its suffix, a path without its end.
TEST(AllocationRegression, FailedConcatenationFailsTheStringInsteadOfCuttingIt) {
    const ZOV_String suffix(".zovcstar");
    ZOV_String appended("6f1c-uuid");
    EXPECT_EQ(eachFailure([&] { appended += suffix; }), 1);
    EXPECT_EQ(appended.status, 301);
    EXPECT_TRUE(appended.isEmpty());
    EXPECT_EQ(appended.getcValue(), nullptr);

    const ZOV_String uuid("6f1c-uuid");
    int whole = 0;
    EXPECT_EQ(eachFailure([&] {
                  ZOV_String joined = uuid + suffix;
                  const char* text = joined.getcValue();
                  if (text != nullptr && std::string(text) == "6f1c-uuid.zovcstar") {
                      ++whole;
                  } else {
                      EXPECT_TRUE(joined.status == 301 || text == nullptr) << text;
                  }
              }),
              3);
    EXPECT_EQ(whole, 1) << "only the run without a failure gives the whole text";
}

}  // namespace
