// Event template, event data and event information records.
#include <gtest/gtest.h>

#include <cstring>

#include "broker/brk_api.h"
#include "support/record_images.h"
#include "zov/zovcevdr.h"
#include "zov/zovcevir.h"
#include "zov/zovcevtr.h"

using namespace zovtest;

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
