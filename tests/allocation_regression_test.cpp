// Regressions found by the allocation-failure walk (allocation_injection_test):
// each fails every nothrow allocation of one small step in turn and checks
// that the object concerned either is whole or fails, reported, and never
// goes on under a cut name or writes a short image.
#include <gtest/gtest.h>

#include <string>

#include "support/area_support.h"
#include "support/ipc_support.h"
#include "support/nothrow_injection.h"
#include "support/plugin_env.h"
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

// The segment's key file and the areas' lock names are made from the UUID: a
// segment or area whose name could not be held whole must fail, reported,
// and never attach or lock under another name.
TEST(AllocationRegression, SegmentAndAreaNamesAreWholeOrTheirObjectFails) {
    zovtest::configure("ZOVMemorySize 8192\n");
    const ZOV_String uuid("names-uuid");
    int failed = 0;
    const int failures = eachFailure([&] {
        standin::LogSink log;
        bool objectFailed = false;
        {
            ZOV_Shared_Memory segment(uuid);
            ZOV_Stats_Area area(uuid);
            if (segment.getStatus() == 0) {
                EXPECT_EQ(segment.path, "/tmp/names-uuid.zovcshme");
            }
            if (area.getStatus() == 0) {
                EXPECT_EQ(area.getPath(), "/tmp/names-uuid.zovcstar");
            }
            if (segment.memoryManager.getSize() != 3 * 8192 + 64 ||
                area.memoryManager.getSize() != 8192) {
                EXPECT_GT(log.countWithNumber(ZOV_MSG_ALLOCATION_ERROR), 0u)
                    << "a size fell back to the default unreported";
            }
            objectFailed = segment.getStatus() != 0 || area.getStatus() != 0;
        }
        if (objectFailed) {
            ++failed;
            EXPECT_GT(log.countWithNumber(ZOV_MSG_ALLOCATION_ERROR), 0u);
        }
    });
    EXPECT_GT(failures, 5);
    EXPECT_GT(failed, 0);
    EXPECT_TRUE(zovtest::allIpcObjects().empty());
}

// The broker's segment object itself not allocated: the broker fails,
// reported, instead of going on with no area and counting nothing.
TEST(AllocationRegression, BrokerWithoutItsSegmentObjectFailsReported) {
    zovtest::configure("ZOVMemorySize 8192\n");
    const ZOV_Resource_ID id = zovtest::identity("broker-uuid", "BRK");
    standin::LogSink log;
    zovinject::arm(0);
    { ZOV_Broker probe(&id); }
    zovinject::disarm();
    const int total = zovinject::nothrowCalls;
    int objectsFailedSilently = 0;
    for (int n = 1; n <= total; ++n) {
        log.clear();
        zovinject::arm(n);
        {
            ZOV_Broker broker(&id);
            zovinject::disarm();
            const bool usable = broker.status == 0 && broker.getStatsArea() != nullptr &&
                                broker.getStatsArea()->getStatus() == 0;
            // A string's buffer is absorbed by the string (its owner fails);
            // an object that cannot be allocated must be reported.
            if (!usable && !zovinject::failedArray &&
                log.countWithNumber(ZOV_MSG_ALLOCATION_ERROR) == 0)
                ++objectsFailedSilently;
        }
    }
    EXPECT_EQ(objectsFailedSilently, 0) << "of " << total << " allocations";
    EXPECT_TRUE(zovtest::allIpcObjects().empty());
}

// A record whose label could not be copied used to write a short image (the
// string writes nothing while the record counts an empty one), which every
// reader then misparsed from there on. Now nothing is written, reported.
TEST(AllocationRegression, RecordWithAnUnheldTextIsNotWritten) {
    zovtest::BufferArea<ZOV_Stats_Area> buffer(4096);
    const ZOV_Resource_ID id = zovtest::identity("node-uuid", "N1");
    ZOV_NOIR broken(&id);
    const ZOV_String longer("a longer label");
    EXPECT_EQ(eachFailure([&] { broken.setLabel(&longer); }), 1);
    ASSERT_TRUE(broken.getLabel().isEmpty());
    standin::LogSink log;
    EXPECT_EQ(buffer.area.put(&broken), ZOV_RC_ALLOCATION);
    EXPECT_EQ(log.containing("Allocation Error in ZOV_Shared_Area::writeRecord").size(), 1u);
    EXPECT_EQ(buffer.area.memoryManager.getNextPosition(),
              buffer.area.memoryManager.getFirstPosition());
    for (size_t i = 64; i < buffer.bytes.size(); ++i)
        ASSERT_EQ(buffer.bytes[i], 0) << "byte " << i << " written";

    ZOV_NOIR whole(&id);
    ASSERT_EQ(buffer.area.put(&whole), ZOV_RC_OK);
    ZOV_Record_Set set;
    EXPECT_EQ(buffer.area.read(&set), ZOV_RC_OK);
    EXPECT_EQ(set.entries(), 1u);
    set.clearAndDestroy();
}

}  // namespace
