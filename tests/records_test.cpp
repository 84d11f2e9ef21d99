// The 16-bit string, resource identity, and the resource information and
// event records: layouts byte by byte, bounded reads, equality.
#include <gtest/gtest.h>

#include <cstring>

#include "broker/brk_api.h"
#include "broker/harness.h"
#include "support/allocation_control.h"
#include "support/record_images.h"
#include "zov/zovcbrir.h"
#include "zov/zovcegir.h"
#include "zov/zovcevdr.h"
#include "zov/zovcevir.h"
#include "zov/zovcevtr.h"
#include "zov/zovcnoir.h"
#include "zov/zovcreid.h"
#include "zov/zovcreir.h"

using namespace zovtest;

TEST(Strings, HighBytesWidenSignExtendedAndNarrowBack) {
    unsigned short wide[4];
    strtozov(wide, "\x7F\x80\xE9", 3);
    EXPECT_EQ(std::vector<unsigned short>(wide, wide + 4),
              (std::vector<unsigned short>{0x007F, 0xFF80, 0xFFE9, 0}));
    const unsigned short units[] = {0xFFE9, 0x00E9, 0x1241, 0};
    char narrow[4];
    zovtostr(narrow, units, 3);
    EXPECT_STREQ(narrow,
                 "\xE9\xE9"
                 "A");
    char all[256];
    for (int i = 1; i < 256; ++i)
        all[i - 1] = static_cast<char>(i);
    all[255] = 0;
    EXPECT_EQ(std::memcmp(ZOV_String(all).getcValue(), all, 256), 0);  // every byte survives
}

TEST(Strings, LengthDecidesBeforeAnyCharacterAndCopyToTerminatesWhenThereIsRoom) {
    const unsigned short b[] = {'b', 0}, aa[] = {'a', 'a', 0}, ab[] = {'a', 'b', 0}, empty[] = {0};
    EXPECT_LT(zovcmp(b, aa), 0);  // shorter, though 'b' > 'a'
    EXPECT_LT(zovcmp(aa, ab), 0);
    EXPECT_EQ(zovcmp(nullptr, empty), 0);
    EXPECT_TRUE(ZOV_String("Label") != "label");

    unsigned short buffer[5] = {9, 9, 9, 9, 9};
    ZOV_String("abc").copyTo(buffer, 3);
    EXPECT_EQ(std::vector<unsigned short>(buffer, buffer + 5),
              (std::vector<unsigned short>{'a', 'b', 'c', 9, 9}));
    ZOV_String("abc").copyTo(buffer, 5);
    EXPECT_EQ(buffer[3], 0);
    EXPECT_EQ(buffer[4], 9);
}

TEST(ResourceIdentity, AlikeNeedsBothUuidAndLabelExactly) {
    const ZOV_String uuid("U-1"), label = wide(u"N\u00e9ud"), upper = wide(u"N\u00c9UD");
    const ZOV_String otherUuid("U-2");
    const ZOV_Resource_ID id(&uuid, &label), same(&uuid, &label), caseDiffers(&uuid, &upper);
    const ZOV_Resource_ID otherId(&otherUuid, &label), empty;
    EXPECT_EQ(empty.alike(&empty), 1);
    // The record compares its own UUID and label by the same rule.
    ZOV_NOIR record(&id);
    EXPECT_FALSE(hasBlankRecordId(record));
    const std::pair<const ZOV_Resource_ID*, int> cases[] = {
        {&same, 1}, {&caseDiffers, 0}, {&otherId, 0}, {nullptr, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(id.alike(c.first), c.second) << &c - cases;
        EXPECT_EQ(record.alike(c.first), c.second) << &c - cases;
    }
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

namespace {

std::unique_ptr<ZOV_Record> blankTemplate() {
    return std::make_unique<ZOV_EVTR>(nullptr, nullptr, nullptr, ZOV_NT_OTHER, nullptr);
}
std::unique_ptr<ZOV_Record> blankData() {
    return std::make_unique<ZOV_EVDR>(nullptr, 0);
}

// The 158-byte template: labels of 3, 3 and 2 characters, a text of 5.
struct ExampleTemplate {
    ZOV_String group{"grp"}, flow{"flw"}, node{"n1"}, text{"caf\xE9!"};
    ZOV_EVTR record{&group, &flow, &node, ZOV_NT_OUTPUT, &text};
};

// Every byte differs from its neighbours, so a field taken from a wrong
// offset shows.
struct PatternedDescriptor {
    unsigned char bytes[sizeof(BrkMqmd)];
    BrkMqmd md;
    PatternedDescriptor() {
        for (size_t i = 0; i < sizeof bytes; ++i)
            bytes[i] = static_cast<unsigned char>(i * 7 + 1);
        std::memcpy(&md, bytes, sizeof md);
    }
};

ImageBuilder dataImage(const ZOV_EVDR& record, const unsigned char* md, int threadId) {
    ImageBuilder image;
    image.header(record).u32(record.getEventTime()).i32(threadId);
    image.bytes(md + 48, 24).bytes(md + 72, 24).bytes(md + 272, 4);
    return image.bytes(md + 276, 28).bytes(md + 304, 8).bytes(md + 312, 8);
}

}  // namespace

TEST(EventTemplate, LayoutAndEqualityByContent) {
    ExampleTemplate a, b;
    ImageBuilder expected;
    expected.header(a.record).string(u"grp").string(u"flw").string(u"n1").i32(2);
    expected.string(u"caf\uffe9!");
    EXPECT_EQ(expected.size(), 158u);
    expectImage(a.record, expected, blankTemplate);

    auto empty = blankTemplate();
    EXPECT_TRUE(hasBlankRecordId(*empty));
    ImageBuilder emptyImage;
    emptyImage.header(*empty).string(u"").string(u"").string(u"").i32(3).string(u"");
    EXPECT_EQ(emptyImage.size(), 132u);
    expectImage(*empty, emptyImage, blankTemplate);

    // Equal content, different record IDs: equal. Any field differing: not.
    ASSERT_NE(*a.record.getRecordId(), *b.record.getRecordId());
    EXPECT_EQ(a.record == b.record, 1);
    const ZOV_String upper("GRP"), otherText("cafe!");
    EXPECT_EQ(a.record == ZOV_EVTR(&a.group, &a.flow, &a.node, ZOV_NT_INPUT, &a.text), 0);
    EXPECT_EQ(a.record == ZOV_EVTR(&upper, &a.flow, &a.node, ZOV_NT_OUTPUT, &a.text), 0);
    EXPECT_EQ(a.record == ZOV_EVTR(&a.group, nullptr, &a.node, ZOV_NT_OUTPUT, &a.text), 0);
    EXPECT_EQ(a.record == ZOV_EVTR(&a.group, &a.flow, &a.flow, ZOV_NT_OUTPUT, &a.text), 0);
    EXPECT_EQ(a.record == ZOV_EVTR(&a.group, &a.flow, &a.node, ZOV_NT_OUTPUT, &otherText), 0);

    // A text count running past the limit ends the decode.
    ImageBuilder hostile;
    hostile.header(a.record).string(u"g").string(u"f").string(u"n").i32(1).u32(0xFFFFFFFFu).u32(0);
    EXPECT_EQ(decodeAtGuard(hostile.data(), hostile.size(), blankTemplate), -1);
}

TEST(EventData, CopiesTheSixDescriptorFieldsRawOrZeros) {
    const PatternedDescriptor descriptor;
    const uint32_t before = ZOV_SecondsSince1901();
    ZOV_EVDR record(&descriptor.md, -123);
    ExampleTemplate parent;
    record.setParent(parent.record.getRecordId());
    EXPECT_GE(record.getEventTime(), before);
    EXPECT_LE(record.getEventTime(), ZOV_SecondsSince1901());
    EXPECT_FALSE(hasBlankRecordId(record));
    ImageBuilder expected = dataImage(record, descriptor.bytes, -123);
    EXPECT_EQ(expected.size(), 208u);
    expectImage(record, expected, blankData);

    ZOV_EVDR copy(nullptr, 0);
    copy = record;
    EXPECT_EQ(imageOf(copy), expected.data());

    // Without a descriptor: zero fields and ID apart from type, but a time.
    ZOV_EVDR bare(nullptr, 0);
    EXPECT_GE(bare.getEventTime(), before);
    EXPECT_TRUE(hasBlankRecordId(bare));
    const unsigned char zeros[sizeof(BrkMqmd)] = {};
    expectImage(bare, dataImage(bare, zeros, 0), blankData);
}

TEST(EventInformation, ThreeHeadersAndBothPartsRestored) {
    ExampleTemplate example;
    const PatternedDescriptor descriptor;
    ZOV_EVDR data(&descriptor.md, 42);
    data.setParent(example.record.getRecordId());
    ZOV_EVIR event(&example.record, &data);
    auto blankEvent = [] { return std::make_unique<ZOV_EVIR>(nullptr, nullptr); };

    ImageBuilder expected;
    expected.header(event).bytes(imageOf(example.record).data(), 158);
    expected.bytes(imageOf(data).data(), 208);
    for (size_t at : {0, 104, 104 + 158})
        EXPECT_EQ(std::memcmp(expected.raw() + at, "RCRD", 4), 0);
    expectImage(event, expected, blankEvent);

    ZOV_EVIR reread(nullptr, nullptr);
    EXPECT_TRUE(hasBlankRecordId(reread));
    EXPECT_EQ(reread.size(), 104 + 132 + 208);
    reread.get(expected.raw());
    EXPECT_EQ(reread.getTemplate() == example.record, 1);
    EXPECT_EQ(reread.getData().isChildOf(&reread.getTemplate()), 1);

    // init replaces only the parts it is given.
    ZOV_EVDR other(nullptr, 9);
    reread.init(nullptr, &other);
    EXPECT_EQ(reread.getTemplate() == example.record, 1);
    EXPECT_EQ(reread.getData().getThreadId(), 9);
}
