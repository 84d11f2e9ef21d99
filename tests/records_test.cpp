// Resource identity and the resource information records: identity rules,
// image layouts built byte by byte, round trips, assignment, bounded reads.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "broker/harness.h"
#include "support/allocation_control.h"
#include "support/record_images.h"
#include "zov/zovcbrir.h"
#include "zov/zovcegir.h"
#include "zov/zovcnoir.h"
#include "zov/zovcreid.h"
#include "zov/zovcreir.h"

using zovtest::acceptedPrefixes;
using zovtest::expectImageRoundTrip;
using zovtest::GuardedPage;
using zovtest::ImageBuilder;
using zovtest::imageOf;
using zovtest::unitsOf;
using zovtest::wide;

namespace {

const char16_t kUuid36[] = u"0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9";
const char16_t kLabel10[] = u"Execution1";

}  // namespace

TEST(ResourceIdentity, AlikeNeedsEqualLabelAndEqualUuid) {
    const ZOV_String uuid = wide(kUuid36), label("Flow1");
    const ZOV_String otherUuid("other"), lowerLabel("flow1");
    const ZOV_Resource_ID id(&uuid, &label);
    const ZOV_Resource_ID same(&uuid, &label);
    const ZOV_Resource_ID otherLabel(&uuid, &lowerLabel);
    const ZOV_Resource_ID otherId(&otherUuid, &label);

    EXPECT_EQ(id.alike(&same), 1);
    EXPECT_EQ(id.alike(&otherLabel), 0);  // labels differing only in case
    EXPECT_EQ(id.alike(&otherId), 0);     // a UUID alone is not enough, nor a label
    EXPECT_EQ(otherId.alike(&id), 0);
    EXPECT_EQ(id.alike(nullptr), 0);
    EXPECT_EQ(ZOV_Resource_ID().alike(&otherLabel), 0);
    const ZOV_Resource_ID empty;
    EXPECT_EQ(ZOV_Resource_ID().alike(&empty), 1);
}

TEST(ResourceIdentity, NullArgumentsLeaveFieldsAsTheyAre) {
    const ZOV_String label("Node"), uuid("U-1");
    ZOV_Resource_ID id(nullptr, &label);
    EXPECT_TRUE(id.getUuid().isEmpty());
    EXPECT_TRUE(id.getLabel() == "Node");

    id.setUuid(&uuid);
    id.setLabel(nullptr);
    id.setUuid(nullptr);
    EXPECT_TRUE(id.getUuid() == "U-1");
    EXPECT_TRUE(id.getLabel() == "Node");

    // A copy is a value of its own.
    ZOV_Resource_ID copy = id;
    const ZOV_String changed("Other");
    id.setLabel(&changed);
    EXPECT_TRUE(copy.getLabel() == "Node");
}

TEST(ResourceInformationRecord, TakesIdentityAndComparesItExactly) {
    const ZOV_String uuid = wide(kUuid36), label = wide(u"N\u00e9ud");
    const ZOV_Resource_ID id(&uuid, &label);
    ZOV_NOIR record(&id);

    EXPECT_EQ(record.getType(), ZOV_RT_NODE);
    EXPECT_NE(record.getRecordId()->created().years, 0);  // generated for an identity
    EXPECT_EQ(record.getNodeType(), ZOV_NT_OTHER);
    EXPECT_EQ(record.alike(&id), 1);
    EXPECT_EQ(record.getResourceId().alike(&id), 1);

    const ZOV_String upper = wide(u"N\u00c9UD");
    const ZOV_Resource_ID caseDiffers(&uuid, &upper);
    EXPECT_EQ(record.alike(&caseDiffers), 0);
    EXPECT_EQ(record.alike(nullptr), 0);

    const ZOV_String renamed("Renamed");
    record.setLabel(&renamed);
    record.setUuid(nullptr);
    EXPECT_TRUE(record.getLabel() == "Renamed");
    EXPECT_TRUE(record.getUuid() == uuid);
}

TEST(ResourceInformationLayout, RecordsWithoutIdentityHaveEmptyImages) {
    ZOV_REIR resource(ZOV_RT_RESOURCE, nullptr);
    ZOV_MFIR flow(nullptr);
    ZOV_BRIR broker(nullptr);
    ZOV_EGIR group(nullptr);
    ZOV_NOIR node(nullptr);

    EXPECT_TRUE(resource.getType() == ZOV_RT_RESOURCE && zovtest::hasBlankRecordId(resource));
    EXPECT_TRUE(flow.getType() == ZOV_RT_MESSAGE_FLOW && zovtest::hasBlankRecordId(flow));
    EXPECT_TRUE(broker.getType() == ZOV_RT_BROKER && zovtest::hasBlankRecordId(broker));
    EXPECT_TRUE(group.getType() == ZOV_RT_EXECUTION_GROUP && zovtest::hasBlankRecordId(group));
    EXPECT_TRUE(node.getType() == ZOV_RT_NODE && zovtest::hasBlankRecordId(node));

    ImageBuilder resourceImage, flowImage, brokerImage, groupImage, nodeImage;
    resourceImage.header(resource).string(u"").string(u"");
    flowImage.header(flow).string(u"").string(u"");
    brokerImage.header(broker).string(u"").string(u"").u32(0);
    groupImage.header(group).string(u"").string(u"").i32(0);
    nodeImage.header(node).string(u"").string(u"").i32(3);
    ASSERT_EQ(resourceImage.size(), 116u);
    ASSERT_EQ(brokerImage.size(), 120u);

    expectImageRoundTrip(resource, resourceImage,
                         [] { return std::make_unique<ZOV_REIR>(ZOV_RT_RESOURCE, nullptr); });
    expectImageRoundTrip(flow, flowImage, [] { return std::make_unique<ZOV_MFIR>(nullptr); });
    expectImageRoundTrip(broker, brokerImage, [] { return std::make_unique<ZOV_BRIR>(nullptr); });
    expectImageRoundTrip(group, groupImage, [] { return std::make_unique<ZOV_EGIR>(nullptr); });
    expectImageRoundTrip(node, nodeImage, [] { return std::make_unique<ZOV_NOIR>(nullptr); });
}

TEST(ResourceInformationLayout, ExecutionGroupOf212Bytes) {
    const ZOV_String uuid = wide(kUuid36), label = wide(kLabel10);
    const ZOV_Resource_ID id(&uuid, &label);
    ZOV_BRIR broker(&id);
    ZOV_EGIR group(&id);
    group.setParent(broker.getRecordId());
    group.setProcessId(-4711);  // the member is signed

    ImageBuilder expected;
    expected.header(group).string(kUuid36).string(kLabel10).i32(-4711);
    ASSERT_EQ(expected.size(), 212u);
    expectImageRoundTrip(group, expected, [] { return std::make_unique<ZOV_EGIR>(nullptr); });

    auto reread = std::make_unique<ZOV_EGIR>(nullptr);
    reread->get(expected.raw());
    EXPECT_EQ(reread->getProcessId(), -4711);
    EXPECT_EQ(reread->isChildOf(&broker), 1);
    EXPECT_EQ(*reread->getRecordId(), *group.getRecordId());
    EXPECT_EQ(reread->alike(&id), 1);
}

TEST(ResourceInformationLayout, CharactersAboveAsciiKeepTheirUnits) {
    // 8-bit text widens byte 0xE9 to unit 0xFFE9; 16-bit text keeps its units.
    const ZOV_String uuid("Br\xE9-1"), label = wide(u"\u20ac\u00e9x");
    const ZOV_Resource_ID id(&uuid, &label);
    ZOV_BRIR broker(&id);
    broker.setResetTime(0xF0000001ul);  // beyond the signed range
    broker.markDeleted();

    ImageBuilder expected;
    expected.header(broker).string(u"Br\uffe9-1").string(u"\u20ac\u00e9x").u32(0xF0000001u);
    EXPECT_EQ(expected.data()[4], 1);  // the deleted flag is written
    expectImageRoundTrip(broker, expected, [] { return std::make_unique<ZOV_BRIR>(nullptr); });

    ZOV_BRIR reread(nullptr);
    reread.get(expected.raw());
    EXPECT_EQ(reread.getResetTime(), 0xF0000001u);
    EXPECT_EQ(unitsOf(reread.getLabel()), u"\u20ac\u00e9x");
    EXPECT_EQ(reread.isDeleted(), 1);
}

TEST(ResourceInformationLayout, NodeTypeFollowsTheStrings) {
    const ZOV_String uuid("u"), label("in");
    const ZOV_Resource_ID id(&uuid, &label);
    ZOV_NOIR node(&id);
    node.setNodeType(ZOV_NT_INPUT);
    ImageBuilder expected;
    expected.header(node).string(u"u").string(u"in").i32(1);
    expectImageRoundTrip(node, expected, [] { return std::make_unique<ZOV_NOIR>(nullptr); });

    // A stored value outside 1-3 is kept as stored but counts as "other".
    ImageBuilder odd;
    odd.header(node).string(u"u").string(u"in").i32(77);
    ZOV_NOIR reread(nullptr);
    ASSERT_EQ(reread.get(odd.raw()), odd.raw() + odd.size());
    EXPECT_EQ(reread.getNodeTypeValue(), 77);
    EXPECT_EQ(reread.getNodeType(), ZOV_NT_OTHER);
}

TEST(ResourceInformationLayout, GetReplacesLongerStringsAndNullPositionsTransferNothing) {
    const ZOV_String uuid = wide(kUuid36), label = wide(kLabel10);
    const ZOV_Resource_ID id(&uuid, &label);
    ZOV_MFIR flow(&id);
    ZOV_MFIR empty(nullptr);
    std::vector<unsigned char> image = imageOf(empty);

    EXPECT_EQ(flow.get(image.data()), image.data() + 116);
    EXPECT_TRUE(flow.getUuid().isEmpty());
    EXPECT_TRUE(flow.getLabel().isEmpty());
    EXPECT_EQ(flow.get(nullptr), nullptr);
    EXPECT_EQ(flow.put(nullptr), nullptr);
    ZOV_NOIR node(nullptr);
    EXPECT_EQ(node.getBounded(nullptr, image.data()), nullptr);
    EXPECT_EQ(node.put(nullptr), nullptr);
}

TEST(ResourceInformationAssignment, KindsCopyTheirMemberAndTheCommonPartLeavesIt) {
    const ZOV_String uuid("G"), label("group");
    const ZOV_Resource_ID id(&uuid, &label);
    ZOV_EGIR source(&id);
    source.setProcessId(99);
    std::vector<unsigned char> image = imageOf(source);

    ZOV_EGIR whole(nullptr);
    whole = source;
    EXPECT_EQ(whole.getSharedPosition(), source.getSharedPosition());
    EXPECT_EQ(imageOf(whole), image);

    // Assigning through the common class (as a resource rebuilt from a stored
    // record does) copies header, UUID and label only.
    ZOV_EGIR common(nullptr);
    common.setProcessId(5);
    static_cast<ZOV_REIR&>(common) = source;
    EXPECT_EQ(common.getProcessId(), 5);
    EXPECT_EQ(*common.getRecordId(), *source.getRecordId());
    EXPECT_EQ(common.alike(&id), 1);

    ZOV_BRIR broker(&id), brokerCopy(nullptr);
    broker.setResetTime(123456);
    brokerCopy = broker;
    EXPECT_EQ(imageOf(brokerCopy), imageOf(broker));
    ZOV_NOIR node(&id), nodeCopy(nullptr);
    node.setNodeType(ZOV_NT_OUTPUT);
    nodeCopy = node;
    EXPECT_EQ(nodeCopy.getNodeType(), ZOV_NT_OUTPUT);
    ZOV_MFIR flow(&id), flowCopy(nullptr);
    flowCopy = flow;
    EXPECT_EQ(imageOf(flowCopy), imageOf(flow));
}

TEST(ResourceInformationBounds, EveryTruncatedImageIsRefusedAtTheGuard) {
    const ZOV_String uuid = wide(kUuid36), label = wide(u"L\u00e9");
    const ZOV_Resource_ID id(&uuid, &label);
    ZOV_REIR resource(ZOV_RT_RESOURCE, &id);
    ZOV_MFIR flow(&id);
    ZOV_BRIR broker(&id);
    ZOV_EGIR group(&id);
    ZOV_NOIR node(&id);

    EXPECT_TRUE(acceptedPrefixes(imageOf(resource), [] {
                    return std::make_unique<ZOV_REIR>(ZOV_RT_RESOURCE, nullptr);
                }).empty());
    EXPECT_TRUE(acceptedPrefixes(imageOf(flow), [] {
                    return std::make_unique<ZOV_MFIR>(nullptr);
                }).empty());
    EXPECT_TRUE(acceptedPrefixes(imageOf(broker), [] {
                    return std::make_unique<ZOV_BRIR>(nullptr);
                }).empty());
    EXPECT_TRUE(acceptedPrefixes(imageOf(group), [] {
                    return std::make_unique<ZOV_EGIR>(nullptr);
                }).empty());
    EXPECT_TRUE(acceptedPrefixes(imageOf(node), [] {
                    return std::make_unique<ZOV_NOIR>(nullptr);
                }).empty());

    // The whole image at the guard is accepted and ends exactly there.
    GuardedPage page;
    std::vector<unsigned char> image = imageOf(group);
    unsigned char* start = page.placeAtEnd(image.data(), image.size());
    ZOV_EGIR reread(nullptr);
    EXPECT_EQ(reread.getBounded(start, page.end()), page.end());
    EXPECT_EQ(reread.alike(&id), 1);
}

TEST(ResourceInformationBounds, HostileStringCountsEndTheDecode) {
    ZOV_NOIR node(nullptr);
    GuardedPage page;
    // A UUID count that claims far more characters than the page holds.
    ImageBuilder huge;
    huge.header(node).u32(0x7FFFFFFFu).zeros(64);
    unsigned char* start = page.placeAtEnd(huge.raw(), huge.size());
    EXPECT_EQ(node.getBounded(start, page.end()), nullptr);

    // A label whose terminator would be the first byte past the limit.
    ImageBuilder oneOver;
    oneOver.header(node).string(u"abc").u32(2).u8('x').u8(0).u8('y').u8(0).u8(0);
    start = page.placeAtEnd(oneOver.raw(), oneOver.size());
    EXPECT_EQ(node.getBounded(start, page.end()), nullptr);

    // A limit before the position is no room at all.
    EXPECT_EQ(node.getBounded(start, start - 1), nullptr);
}

TEST(ResourceInformationBounds, StringThatCannotBeAllocatedEndsTheDecode) {
    const ZOV_String uuid("abc"), label("defg");
    const ZOV_Resource_ID id(&uuid, &label);
    ZOV_EGIR stored(&id);
    std::vector<unsigned char> image = imageOf(stored);

    // The first allocation of a decode takes the UUID's characters, the
    // second the label's. Either failing must stop the decode rather than
    // go on reading at a wrong position.
    for (int failing : {1, 2}) {
        standin::LogSink log;
        ZOV_EGIR target(nullptr);
        void* end = nullptr;
        {
            zovtest::AllocationScope scope(failing);
            end = target.getBounded(image.data(), image.data() + image.size());
        }
        EXPECT_EQ(end, nullptr) << failing;
        const std::vector<standin::LogRecord> messages = log.withNumber(1);
        ASSERT_EQ(messages.size(), 1u) << failing;
        EXPECT_EQ(messages[0].text, "Allocation Error in ZOV_REIR::get");
    }
}

TEST(ResourceInformationPrint, KindsPutTheirLineBeforeOrAfterTheCommonLines) {
    const ZOV_String uuid("U-\xE9"), label("Lbl");
    const ZOV_Resource_ID id(&uuid, &label);
    ZOV_BRIR broker(&id);
    ZOV_EGIR group(&id);
    ZOV_NOIR node(&id);
    group.setProcessId(4242);
    node.setNodeType(ZOV_NT_INPUT);

    // The lines of the record classes' own print, without the header dump.
    auto texts = [](const standin::LogSink& log) {
        std::vector<std::string> lines;
        for (const standin::LogRecord& line : log.all()) {
            const bool ownPrint =
                line.function.size() > 9 &&
                line.function.compare(line.function.size() - 9, 9, "IR::print") == 0;
            if (!ownPrint || line.text == "Entry" || line.text == "Exit")
                continue;
            lines.push_back(line.text);
        }
        return lines;
    };
    {
        standin::LogSink log;
        broker.print();
        EXPECT_EQ(texts(log), (std::vector<std::string>{"Reset Time          : n/a",
                                                        "UUID                : U-\xE9",
                                                        "Label               : Lbl"}));
    }
    {
        standin::LogSink log;
        group.print();
        EXPECT_EQ(texts(log), (std::vector<std::string>{"Process ID          : 4242",
                                                        "UUID                : U-\xE9",
                                                        "Label               : Lbl"}));
    }
    {
        standin::LogSink log;
        node.print();
        EXPECT_EQ(texts(log), (std::vector<std::string>{"UUID                : U-\xE9",
                                                        "Label               : Lbl",
                                                        "Node type           : 1"}));
    }
    {
        standin::LogSink log;
        ZOV_EGIR unknown(nullptr);
        unknown.print();
        EXPECT_EQ(texts(log).front(), "Process ID          : n/a");
        broker.setResetTime(kZOVSeconds1901 + 86400u * 365u * 30u);  // around the year 2000
        log.clear();
        broker.print();
        EXPECT_EQ(texts(log).front().rfind("Reset Time          : 1999-12-", 0) == 0 ||
                      texts(log).front().rfind("Reset Time          : 2000-", 0) == 0,
                  true)
            << texts(log).front();
    }
}
