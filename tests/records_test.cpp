// Resource identity and the resource information records.
#include <gtest/gtest.h>

#include "broker/harness.h"
#include "support/allocation_control.h"
#include "support/record_images.h"
#include "zov/zovcbrir.h"
#include "zov/zovcegir.h"
#include "zov/zovcnoir.h"
#include "zov/zovcreid.h"
#include "zov/zovcreir.h"

using namespace zovtest;

TEST(ResourceIdentity, AlikeNeedsBothUuidAndLabelExactly) {
    const ZOV_String uuid("U-1"), label = wide(u"N\u00e9ud"), upper = wide(u"N\u00c9UD");
    const ZOV_String otherUuid("U-2");
    const ZOV_Resource_ID id(&uuid, &label), same(&uuid, &label), caseDiffers(&uuid, &upper);
    const ZOV_Resource_ID otherId(&otherUuid, &label), empty;
    EXPECT_EQ(id.alike(&same), 1);
    EXPECT_EQ(id.alike(&caseDiffers), 0);
    EXPECT_EQ(id.alike(&otherId), 0);
    EXPECT_EQ(id.alike(nullptr), 0);
    EXPECT_EQ(empty.alike(&empty), 1);

    // The record compares its own UUID and label by the same rule.
    ZOV_NOIR record(&id);
    EXPECT_FALSE(hasBlankRecordId(record));
    EXPECT_EQ(record.alike(&same), 1);
    EXPECT_EQ(record.alike(&caseDiffers), 0);
    EXPECT_EQ(record.alike(&otherId), 0);
    EXPECT_EQ(record.alike(nullptr), 0);
    EXPECT_EQ(record.getResourceId().alike(&id), 1);

    // Null arguments leave fields as they are.
    ZOV_Resource_ID partial(nullptr, &label);
    partial.setUuid(nullptr);
    partial.setLabel(nullptr);
    record.setUuid(nullptr);
    EXPECT_TRUE(partial.getUuid().isEmpty());
    EXPECT_TRUE(partial.getLabel() == label);
    EXPECT_TRUE(record.getUuid() == uuid);
}

TEST(ResourceInformationLayout, EveryKindMatchesItsByteTable) {
    // Without identity: no ID drawn, empty strings, 116 or 120 bytes.
    ZOV_REIR resource(ZOV_RT_RESOURCE, nullptr);
    ZOV_MFIR flow(nullptr);
    ZOV_NOIR untyped(nullptr);
    EXPECT_TRUE(hasBlankRecordId(resource) && hasBlankRecordId(flow) && hasBlankRecordId(untyped));
    ImageBuilder resourceImage, flowImage, untypedImage;
    resourceImage.header(resource).string(u"").string(u"");
    flowImage.header(flow).string(u"").string(u"");
    untypedImage.header(untyped).string(u"").string(u"").i32(3);
    EXPECT_EQ(resourceImage.size(), 116u);
    EXPECT_EQ(untypedImage.size(), 120u);
    expectImage(resource, resourceImage,
                [] { return std::make_unique<ZOV_REIR>(ZOV_RT_RESOURCE, nullptr); });
    expectImage(flow, flowImage, [] { return std::make_unique<ZOV_MFIR>(nullptr); });
    expectImage(untyped, untypedImage, [] { return std::make_unique<ZOV_NOIR>(nullptr); });

    // The 212-byte execution group: a 36-character UUID, a 10-character label.
    const ZOV_String uuid = wide(u"0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"), label("Execution1");
    const ZOV_Resource_ID groupId(&uuid, &label);
    ZOV_BRIR parent(&groupId);
    ZOV_EGIR group(&groupId);
    group.setParent(parent.getRecordId());
    group.setProcessId(-4711);
    ImageBuilder groupImage;
    groupImage.header(group).string(u"0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9").string(u"Execution1");
    groupImage.i32(-4711);
    EXPECT_EQ(groupImage.size(), 212u);
    expectImage(group, groupImage, [] { return std::make_unique<ZOV_EGIR>(nullptr); });

    // Characters above 0x7F: byte 0xE9 widens to 0xFFE9, 16-bit units stay.
    const ZOV_String brokerUuid("Br\xE9"), brokerLabel = wide(u"\u20ac\u00e9");
    const ZOV_Resource_ID brokerId(&brokerUuid, &brokerLabel);
    ZOV_BRIR broker(&brokerId);
    broker.setResetTime(0xF0000001ul);
    broker.markDeleted();
    ImageBuilder brokerImage;
    brokerImage.header(broker).string(u"Br\uffe9").string(u"\u20ac\u00e9").u32(0xF0000001u);
    expectImage(broker, brokerImage, [] { return std::make_unique<ZOV_BRIR>(nullptr); });

    ZOV_NOIR node(&brokerId);
    node.setNodeType(ZOV_NT_INPUT);
    ImageBuilder nodeImage;
    nodeImage.header(node).string(u"Br\uffe9").string(u"\u20ac\u00e9").i32(1);
    expectImage(node, nodeImage, [] { return std::make_unique<ZOV_NOIR>(nullptr); });

    ZOV_EGIR reread(nullptr);
    reread.get(groupImage.raw());
    EXPECT_EQ(reread.isChildOf(&parent), 1);
    EXPECT_EQ(reread.alike(&groupId), 1);
}

TEST(ResourceInformationAssignment, CommonPartLeavesTheKindsMember) {
    const ZOV_String uuid("G"), label("group");
    const ZOV_Resource_ID id(&uuid, &label);
    ZOV_EGIR source(&id), whole(nullptr), common(nullptr);
    source.setProcessId(99);
    common.setProcessId(5);
    whole = source;
    EXPECT_EQ(imageOf(whole), imageOf(source));
    // As a resource rebuilt from a stored record: header, UUID, label only.
    static_cast<ZOV_REIR&>(common) = source;
    EXPECT_EQ(common.getProcessId(), 5);
    EXPECT_EQ(*common.getRecordId(), *source.getRecordId());
    EXPECT_EQ(common.alike(&id), 1);
}

TEST(ResourceInformationBounds, HostileCountsAndFailedStringsEndTheDecode) {
    ZOV_NOIR node(nullptr);
    auto make = [] { return std::make_unique<ZOV_NOIR>(nullptr); };
    ImageBuilder huge, oneOver;
    huge.header(node).u32(0x7FFFFFFFu).u32(0).u32(0);
    oneOver.header(node).string(u"abc").u32(2).u8('x').u8(0).u8('y').u8(0).u8(0);  // terminator cut
    EXPECT_EQ(decodeAtGuard(huge.data(), huge.size(), make), -1);
    EXPECT_EQ(decodeAtGuard(oneOver.data(), oneOver.size(), make), -1);
    EXPECT_EQ(node.getBounded(huge.raw() + 8, huge.raw()), nullptr);  // limit before position
    EXPECT_EQ(node.put(nullptr), nullptr);

    // A string that cannot take its characters stops the decode (instead of
    // going on at a wrong position) and is reported; the first allocation of
    // a decode is the UUID's, the second the label's.
    const ZOV_String uuid("abc"), label("defg");
    const ZOV_Resource_ID id(&uuid, &label);
    ZOV_EGIR stored(&id);
    std::vector<unsigned char> image = imageOf(stored);
    for (int failing : {1, 2}) {
        standin::LogSink log;
        ZOV_EGIR target(nullptr);
        void* end = nullptr;
        {
            AllocationScope scope(failing);
            end = target.getBounded(image.data(), image.data() + image.size());
        }
        EXPECT_EQ(end, nullptr) << failing;
        EXPECT_EQ(log.containing("Allocation Error in ZOV_REIR::get").size(), 1u) << failing;
    }
}
