// Event records: template, data record and event information record images,
// template equality by content, descriptor fields, bounded reads.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "broker/brk_api.h"
#include "broker/harness.h"
#include "support/record_images.h"
#include "zov/zovcevdr.h"
#include "zov/zovcevir.h"
#include "zov/zovcevtr.h"

using zovtest::acceptedPrefixes;
using zovtest::expectImageRoundTrip;
using zovtest::hasBlankRecordId;
using zovtest::ImageBuilder;
using zovtest::imageOf;
using zovtest::wide;

namespace {

std::unique_ptr<ZOV_EVTR> blankTemplate() {
    return std::make_unique<ZOV_EVTR>(nullptr, nullptr, nullptr, ZOV_NT_OTHER, nullptr);
}

// A descriptor whose every byte differs from its neighbours, so that a field
// copied from a wrong offset shows.
BrkMqmd patternedDescriptor() {
    unsigned char bytes[sizeof(BrkMqmd)];
    for (size_t i = 0; i < sizeof bytes; ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    BrkMqmd md;
    std::memcpy(&md, bytes, sizeof md);
    return md;
}

// The 158-byte template: labels of 3, 3 and 2 characters, a text of 5.
struct ExampleTemplate {
    ZOV_String group{"grp"}, flow{"flw"}, node{"n1"}, text{"caf\xE9!"};
    ZOV_EVTR record{&group, &flow, &node, ZOV_NT_OUTPUT, &text};
};

ImageBuilder dataImage(const ZOV_EVDR& record, const unsigned char* md, int threadId) {
    ImageBuilder image;
    image.header(record).u32(record.getEventTime()).i32(threadId);
    image.bytes(md + 48, 24).bytes(md + 72, 24).bytes(md + 272, 4);
    image.bytes(md + 276, 28).bytes(md + 304, 8).bytes(md + 312, 8);
    return image;
}

}  // namespace

TEST(EventTemplateLayout, ExampleOf158BytesAndTheEmptyTemplate) {
    ExampleTemplate example;
    ImageBuilder expected;
    expected.header(example.record).string(u"grp").string(u"flw").string(u"n1").i32(2);
    expected.string(u"caf\uffe9!");
    ASSERT_EQ(expected.size(), 158u);
    expectImageRoundTrip(example.record, expected, blankTemplate);

    auto empty = blankTemplate();
    EXPECT_TRUE(hasBlankRecordId(*empty));  // no execution group label: no ID drawn
    EXPECT_EQ(empty->getType(), ZOV_RT_EVENT_TEMPLATE);
    ImageBuilder emptyImage;
    emptyImage.header(*empty).string(u"").string(u"").string(u"").i32(3).string(u"");
    ASSERT_EQ(emptyImage.size(), 132u);
    expectImageRoundTrip(*empty, emptyImage, blankTemplate);

    EXPECT_FALSE(hasBlankRecordId(example.record));
    EXPECT_EQ(example.record.put(nullptr), nullptr);
    EXPECT_EQ(empty->get(nullptr), nullptr);
}

TEST(EventTemplateEquality, ComparesContentNotRecordIds) {
    ExampleTemplate a, b;
    ASSERT_NE(*a.record.getRecordId(), *b.record.getRecordId());
    EXPECT_EQ(a.record == b.record, 1);

    // The same content read back from an image.
    auto reread = blankTemplate();
    std::vector<unsigned char> image = imageOf(b.record);
    reread->get(image.data());
    EXPECT_EQ(a.record == *reread, 1);

    const ZOV_String upper("GRP"), otherText("cafe!"), shorter("n");
    ZOV_EVTR inputType(&a.group, &a.flow, &a.node, ZOV_NT_INPUT, &a.text);
    ZOV_EVTR caseDiffers(&upper, &a.flow, &a.node, ZOV_NT_OUTPUT, &a.text);
    ZOV_EVTR textDiffers(&a.group, &a.flow, &a.node, ZOV_NT_OUTPUT, &otherText);
    ZOV_EVTR nodeDiffers(&a.group, &a.flow, &shorter, ZOV_NT_OUTPUT, &a.text);
    ZOV_EVTR flowMissing(&a.group, nullptr, &a.node, ZOV_NT_OUTPUT, &a.text);
    EXPECT_EQ(a.record == inputType, 0);
    EXPECT_EQ(a.record == caseDiffers, 0);
    EXPECT_EQ(a.record == textDiffers, 0);
    EXPECT_EQ(a.record == nodeDiffers, 0);
    EXPECT_EQ(a.record == flowMissing, 0);

    // Copy-assignment takes content and header.
    auto copy = blankTemplate();
    *copy = a.record;
    EXPECT_EQ(imageOf(*copy), imageOf(a.record));
}

TEST(EventDataLayout, CopiesTheSixDescriptorFieldsRaw) {
    const BrkMqmd md = patternedDescriptor();
    const uint32_t before = ZOV_SecondsSince1901();
    ZOV_EVDR record(&md, -123);
    const uint32_t after = ZOV_SecondsSince1901();
    EXPECT_GE(record.getEventTime(), before);
    EXPECT_LE(record.getEventTime(), after);
    EXPECT_FALSE(hasBlankRecordId(record));

    ExampleTemplate parent;
    record.setParent(parent.record.getRecordId());
    const void* descriptor = &md;
    ImageBuilder expected = dataImage(record, static_cast<const unsigned char*>(descriptor), -123);
    ASSERT_EQ(expected.size(), 208u);
    expectImageRoundTrip(record, expected, [] { return std::make_unique<ZOV_EVDR>(nullptr, 0); });

    ZOV_EVDR reread(nullptr, 0);
    reread.get(expected.raw());
    EXPECT_EQ(reread.isChildOf(&parent.record), 1);
    EXPECT_EQ(reread.getThreadId(), -123);
    EXPECT_EQ(reread.getPutApplType(), md.putApplType);
    EXPECT_EQ(std::memcmp(reread.getPutTime(), md.putTime, 8), 0);

    ZOV_EVDR copy(nullptr, 0);
    copy = record;
    EXPECT_EQ(imageOf(copy), expected.data());
}

TEST(EventDataLayout, WithoutDescriptorEverythingButTheTimeIsZero) {
    const uint32_t before = ZOV_SecondsSince1901();
    ZOV_EVDR record(nullptr, 0);
    EXPECT_GE(record.getEventTime(), before);
    EXPECT_TRUE(hasBlankRecordId(record));
    EXPECT_EQ(record.getType(), ZOV_RT_EVENT_DATA);

    const unsigned char zeroDescriptor[sizeof(BrkMqmd)] = {};
    ImageBuilder expected = dataImage(record, zeroDescriptor, 0);
    ASSERT_EQ(expected.size(), 208u);
    expectImageRoundTrip(record, expected, [] { return std::make_unique<ZOV_EVDR>(nullptr, 5); });
}

TEST(EventInformationLayout, HoldsThreeHeadersAndRestoresBothParts) {
    ExampleTemplate example;
    const BrkMqmd md = patternedDescriptor();
    ZOV_EVDR data(&md, 42);
    data.setParent(example.record.getRecordId());
    ZOV_EVIR event(&example.record, &data);
    EXPECT_EQ(event.getType(), ZOV_RT_EVENT_INFORMATION);
    EXPECT_FALSE(hasBlankRecordId(event));

    ImageBuilder expected;
    expected.header(event);
    expected.bytes(imageOf(example.record).data(), 158);
    expected.bytes(imageOf(data).data(), 208);
    ASSERT_EQ(expected.size(), 104u + 158u + 208u);
    for (size_t at : {size_t{0}, size_t{104}, size_t{104 + 158}}) {
        EXPECT_EQ(std::memcmp(expected.data().data() + at, "RCRD", 4), 0) << at;
    }
    auto blankEvent = [] { return std::make_unique<ZOV_EVIR>(nullptr, nullptr); };
    expectImageRoundTrip(event, expected, blankEvent);

    auto reread = blankEvent();
    ASSERT_EQ(reread->get(expected.raw()), expected.raw() + expected.size());
    EXPECT_EQ(reread->getTemplate() == example.record, 1);
    EXPECT_EQ(*reread->getTemplate().getRecordId(), *example.record.getRecordId());
    EXPECT_EQ(reread->getData().isChildOf(&reread->getTemplate()), 1);
    EXPECT_EQ(reread->getData().getThreadId(), 42);
}

TEST(EventInformationLayout, BlankEventAndPartialInit) {
    ZOV_EVIR event(nullptr, nullptr);
    EXPECT_TRUE(hasBlankRecordId(event));
    EXPECT_EQ(event.size(), 104 + 132 + 208);
    EXPECT_EQ(event.getTemplate().getNodeType(), ZOV_NT_OTHER);
    EXPECT_EQ(event.getData().getThreadId(), 0);

    // init replaces only the parts it is given.
    ExampleTemplate example;
    event.init(&example.record, nullptr);
    EXPECT_EQ(event.getTemplate() == example.record, 1);
    EXPECT_EQ(event.getData().getThreadId(), 0);
    ZOV_EVDR data(nullptr, 9);
    event.init(nullptr, &data);
    EXPECT_EQ(event.getTemplate() == example.record, 1);
    EXPECT_EQ(event.getData().getThreadId(), 9);

    ZOV_EVIR copy(nullptr, nullptr);
    copy = event;
    EXPECT_EQ(imageOf(copy), imageOf(event));
}

TEST(EventRecordBounds, EveryTruncatedImageIsRefusedAtTheGuard) {
    ExampleTemplate example;
    const BrkMqmd md = patternedDescriptor();
    ZOV_EVDR data(&md, 1);
    ZOV_EVIR event(&example.record, &data);

    EXPECT_TRUE(acceptedPrefixes(imageOf(example.record), blankTemplate).empty());
    EXPECT_TRUE(acceptedPrefixes(imageOf(data), [] {
                    return std::make_unique<ZOV_EVDR>(nullptr, 0);
                }).empty());
    EXPECT_TRUE(acceptedPrefixes(imageOf(event), [] {
                    return std::make_unique<ZOV_EVIR>(nullptr, nullptr);
                }).empty());

    // A text count that runs past the limit ends the decode.
    ImageBuilder hostile;
    hostile.header(example.record).string(u"g").string(u"f").string(u"n").i32(1);
    hostile.u32(0xFFFFFFFFu).u8('x').u8(0).u8(0).u8(0);
    zovtest::GuardedPage page;
    unsigned char* start = page.placeAtEnd(hostile.raw(), hostile.size());
    EXPECT_EQ(blankTemplate()->getBounded(start, page.end()), nullptr);
}

namespace {

std::vector<std::string> printLines(const standin::LogSink& log, const char* function) {
    std::vector<std::string> lines;
    for (const standin::LogRecord& line : log.ofFunction(function)) {
        if (line.text != "Entry" && line.text != "Exit")
            lines.push_back(line.text);
    }
    return lines;
}

}  // namespace

TEST(EventRecordPrint, TemplateAndDataLinesAsDocumented) {
    BrkMqmd md = {};
    std::memcpy(md.msgId, "MSGID-0001", 10);
    std::memcpy(md.correlId, "CORREL-0002", 11);
    md.putApplType = 11;
    std::memcpy(md.putApplName, "putter.exe                  ", 28);  // blank-padded, no 0
    std::memcpy(md.putDate, "20240501", 8);
    std::memcpy(md.putTime, "10203040", 8);
    ExampleTemplate example;
    ZOV_EVDR data(&md, 77);
    ZOV_EVIR event(&example.record, &data);

    // A stored event time of 0 prints as n/a.
    std::vector<unsigned char> image = imageOf(data);
    std::memset(image.data() + ZOV_EVDR::kEventTimeOffset, 0, 4);
    ZOV_EVDR timeless(nullptr, 0);
    timeless.get(image.data());

    standin::LogSink log;
    event.print();
    EXPECT_EQ(printLines(log, "ZOV_EVTR::print"),
              (std::vector<std::string>{"Execution Group     : grp", "Message Flow        : flw",
                                        "Node                : n1", "Node Type           : 2",
                                        "Message text        : caf\xE9!"}));
    std::vector<std::string> dataLines = printLines(log, "ZOV_EVDR::print");
    ASSERT_EQ(dataLines.size(), 8u);
    EXPECT_EQ(dataLines[0].rfind("Event Time          : 20", 0), 0u) << dataLines[0];
    EXPECT_EQ(std::vector<std::string>(dataLines.begin() + 1, dataLines.end()),
              (std::vector<std::string>{
                  "Appl Name           : putter.exe                  ", "Appl Name           : 11",
                  "Message ID          : MSGID-0001", "Correl ID           : CORREL-0002",
                  "Put date            : 20240501", "Put time            : 10203040",
                  "Thread ID           : 77"}));
    // Its own header dump, then the template's: two record dumps.
    EXPECT_EQ(log.containing("R E C O R D   I D").size(), 2u);

    log.clear();
    timeless.print();
    EXPECT_EQ(printLines(log, "ZOV_EVDR::print").front(), "Event Time          : n/a");
}
