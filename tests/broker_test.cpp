// The stand-in broker's own contract, driven through a small node library
// defined here (so that these tests do not depend on the monitoring node).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "broker/deployment.h"
#include "broker/harness.h"

namespace {

using namespace standin;

// ------------------------------------------------- a minimal node library

// Per instance: terminals, what the broker reported, and how the last
// propagation went.
struct FakeContext {
    BrkNode node = nullptr;
    BrkTerminal in = nullptr, out = nullptr;
    int outRc = 0;
    std::map<std::u16string, std::u16string> attributes;
    std::atomic<int> propagateRc{-1};
    bool record = true;            // false while several threads evaluate
    ExceptionTexts seen;           // from cciGetLastExceptionData
    bool rethrowReturned = false;  // cciRethrowLastException came back
    int overrunBy = 0;             // getAttribute writes this many characters too many
};

const char16_t* u16(const BrkChar16* s) {
    return reinterpret_cast<const char16_t*>(s);
}
const BrkChar16* b16(const char16_t* s) {
    return reinterpret_cast<const BrkChar16*>(s);
}

BrkContext fakeCreate(BrkFactory, const BrkChar16*, BrkNode node) {
    auto* c = new FakeContext;
    c->node = node;
    int rc = 0;
    c->in = cniCreateInputTerminal(&rc, node, b16(u"in"));
    c->out = cniCreateOutputTerminal(&c->outRc, node, b16(u"out"));
    return c;
}

void fakeDelete(BrkContext context) {
    delete static_cast<FakeContext*>(context);
}

int fakeAttributeName(BrkContext, int, BrkChar16*, int) {
    return 1;
}

int fakeSet(BrkContext context, const BrkChar16* name, const BrkChar16* value) {
    static_cast<FakeContext*>(context)->attributes[u16(name)] = u16(value);
    return 0;
}

int fakeGet(BrkContext context, const BrkChar16* name, BrkChar16* buffer, int length) {
    auto* c = static_cast<FakeContext*>(context);
    const auto it = c->attributes.find(u16(name));
    if (it == c->attributes.end())
        return 1;
    const int n = std::min<int>(length, static_cast<int>(it->second.size()) + 1) + c->overrunBy;
    for (int i = 0; i < n; ++i)
        buffer[i] = i < int(it->second.size()) ? it->second[i] : 0;
    return 0;
}

void fakeEvaluate(BrkContext context, BrkDestinationList destinations, BrkExceptionList exceptions,
                  BrkMessage message) {
    auto* c = static_cast<FakeContext*>(context);
    int rc = 0;
    cniPropagate(&rc, c->out, destinations, exceptions, message);
    c->propagateRc = rc;
    if (rc != BRK_RC_EXCEPTION)
        return;
    std::this_thread::yield();  // widens the window for another thread's exception
    BrkExceptionData data;
    std::memset(&data, 0, sizeof data);
    cciGetLastExceptionData(&rc, &data);
    if (c->record && data.where != nullptr)
        c->seen = {data.where, data.detail, data.text};
    cciRethrowLastException(&rc);
    if (c->record)
        c->rethrowReturned = true;
}

BrkNodeFunctions fakeTable = {fakeCreate, fakeDelete, fakeAttributeName,
                              fakeSet,    fakeGet,    fakeEvaluate};

BrkFactory fakeEntry() {
    int rc = 0;
    BrkFactory factory = cniCreateNodeFactory(&rc, b16(u"FakeFactory"));
    if (factory != nullptr)
        cniDefineNodeClass(&rc, factory, b16(u"FakeClass"), &fakeTable);
    return factory;
}

FakeContext* fake(const std::unique_ptr<Node>& node) {
    return static_cast<FakeContext*>(node->context());
}

// ------------------------------------------------------ broker information

class BrokerInfoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        node.broker = u"BRK1";
        node.executionGroup = u"group";
        node.messageFlow = u"flow";
        node.fourth = u"node";
    }
    void TearDown() override { setNameLengthCountsTerminator(false); }

    BrkBrokerInfo ask(BrkChar16* buffer = nullptr, int length = 0) {
        BrkBrokerInfo info;
        std::memset(&info, 0, sizeof info);
        info.broker.buffer = buffer;
        info.broker.bufferLength = length;
        int rc = -1;
        cniGetBrokerInfo(&rc, &node, &info);
        EXPECT_EQ(rc, 0);
        return info;
    }

    BrkNodeObject node;
};

TEST_F(BrokerInfoTest, FirstCallWithEmptyBuffersReportsLengthsOnly) {
    const BrkBrokerInfo info = ask();
    EXPECT_EQ(info.broker.nameLength, 4);
    EXPECT_EQ(info.executionGroup.nameLength, 5);
    EXPECT_EQ(info.messageFlow.nameLength, 4);
    EXPECT_EQ(info.fourth.nameLength, 4);
    EXPECT_EQ(info.broker.buffer, nullptr);

    setNameLengthCountsTerminator(true);
    EXPECT_EQ(ask().broker.nameLength, 5);
}

TEST_F(BrokerInfoTest, NameIsCutToTheBufferAndTerminatedOnlyWhenThereIsRoom) {
    struct Case {
        int length;
        std::u16string expected;  // the buffer's first length + 1 characters
    };
    for (const Case& c :
         {Case{3, u"BRKx"}, Case{4, u"BRK1x"}, Case{5, std::u16string(u"BRK1\0x", 6)}}) {
        std::vector<BrkChar16> buffer(8, u'x');
        ask(buffer.data(), c.length);
        EXPECT_EQ(std::u16string(u16(buffer.data()), c.length + 1), c.expected)
            << "buffer length " << c.length;
    }
}

// ---------------------------------------------- propagation and exceptions

class PropagationTest : public ::testing::Test {
  protected:
    Plugin plugin{fakeEntry};
};

TEST_F(PropagationTest, DownstreamRunsInsideTheCallWithTheListsReceived) {
    auto node = plugin.createNode();
    bool ranInside = false;
    node->setDownstream([&](const Delivery& d) {
        ranInside = fake(node)->propagateRc == -1;  // cniPropagate has not returned yet
        EXPECT_EQ(d.terminal, fake(node)->out);
    });
    const Message message = Message::fromSpec({});
    const EvaluateResult r = node->evaluate(&message);
    EXPECT_TRUE(ranInside);
    EXPECT_EQ(r.propagations, 1);
    EXPECT_TRUE(r.listsAsReceived);
    EXPECT_FALSE(r.rethrown);
    EXPECT_EQ(fake(node)->propagateRc, 0);
}

TEST_F(PropagationTest, ExceptionDownstreamGives64AndItsTextsAndRethrowUnwinds) {
    auto node = plugin.createNode();
    node->setDownstream(throwing("Compute1", "evaluating", "division by zero"));
    const EvaluateResult r = node->evaluate(nullptr);
    EXPECT_EQ(fake(node)->propagateRc, BRK_RC_EXCEPTION);
    EXPECT_EQ(fake(node)->seen.where, "Compute1");
    EXPECT_EQ(fake(node)->seen.detail, "evaluating");
    EXPECT_EQ(fake(node)->seen.text, "division by zero");
    EXPECT_TRUE(r.rethrown);
    EXPECT_FALSE(fake(node)->rethrowReturned);
    EXPECT_EQ(r.exception.text, "division by zero");
}

// Each thread must see its own message's exception, never another thread's.
TEST_F(PropagationTest, ThreadsEvaluatingOneNodeKeepTheirOwnExceptions) {
    auto node = plugin.createNode();
    fake(node)->record = false;
    std::atomic<int> delivered{0};
    node->setDownstream([&](const Delivery& d) {
        ++delivered;
        const size_t size = d.message->stream.size();
        if (size % 2 == 1)
            throwDownstream("t", "d", std::to_string(size));
    });
    constexpr int kThreads = 4, kMessages = 300;
    std::atomic<int> wrong{0}, rethrown{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kMessages; ++i) {
                MessageSpec recipe;
                recipe.totalSize = 400 + static_cast<size_t>(t * kMessages + i);
                const Message m = Message::fromSpec(recipe);
                const EvaluateResult r = node->evaluate(&m);
                const bool odd = recipe.totalSize % 2 == 1;
                if (r.rethrown)
                    ++rethrown;
                if (r.rethrown != odd ||
                    (odd && r.exception.text != std::to_string(recipe.totalSize))) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(delivered.load(), kThreads * kMessages);
    EXPECT_EQ(rethrown.load(), kThreads * kMessages / 2);
}

TEST_F(PropagationTest, AttributeReadBackShowsTruncationAndOverrun) {
    auto node = plugin.createNode();
    node->setAttribute("type", "input");
    Node::TextResult full = node->getAttribute("type", 10);
    EXPECT_EQ(full.value, "input");
    EXPECT_TRUE(full.terminated);
    Node::TextResult cut = node->getAttribute("type", 3);
    EXPECT_EQ(cut.value, "inp");
    EXPECT_FALSE(cut.terminated);
    EXPECT_FALSE(cut.overrun);
    fake(node)->overrunBy = 1;
    EXPECT_TRUE(node->getAttribute("type", 3).overrun);
}

// ------------------------------------------------------------- log capture

TEST(LogCapture, ConcurrentWritersLoseNothingAndEchoOneLineEach) {
    char* text = nullptr;
    size_t size = 0;
    FILE* echo = open_memstream(&text, &size);
    {
        LogSink sink(echo);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([] {
                int rc = 0;
                for (int i = 0; i < 250; ++i) {
                    cciLog(&rc, BRK_LOG_TRACE, "u", i, "f", b16(u""), 0, "line\nbreak",
                           static_cast<const char*>(nullptr));
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        EXPECT_EQ(sink.count(), 1000u);
    }
    std::fclose(echo);
    const std::string all(text, size);
    std::free(text);
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1000);
}

// ----------------------------------------------------------------- messages

TEST(Messages, DescriptorCarriesTheChosenFieldsAtTheirOffsets) {
    MessageSpec recipe;
    recipe.putDate = "20030115";
    recipe.putTime = "10203040";
    recipe.msgId.fill(0xA5);
    recipe.correlId.fill(0x5A);
    recipe.putApplName = "orders";
    recipe.putApplType = 11;
    recipe.totalSize = 1000;
    const std::vector<unsigned char> stream = buildStream(recipe);
    ASSERT_EQ(stream.size(), 1000u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&stream[304]), 16), "2003011510203040");
    EXPECT_EQ(stream[48], 0xA5);
    EXPECT_EQ(stream[71], 0xA5);
    EXPECT_EQ(stream[72], 0x5A);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&stream[276]), 28),
              "orders" + std::string(22, ' '));
    int32_t applType = 0;
    std::memcpy(&applType, &stream[272], 4);
    EXPECT_EQ(applType, 11);

    recipe.totalSize = 100;
    const std::vector<unsigned char> cut = buildStream(recipe);
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), stream.begin()));
}

TEST(Messages, PutDateAndTimeAreUtcWithHundredths) {
    using namespace std::chrono;
    // 2003-01-15 10:20:30.40 UTC
    const system_clock::time_point when{seconds(1042626030) + milliseconds(409)};
    std::string date, time;
    putDateTimeOf(when, date, time);
    EXPECT_EQ(date, "20030115");
    EXPECT_EQ(time, "10203040");
}

// --------------------------------------------------------------- deployment

TEST(Deployment, ErrorsNameTheirLine) {
    const std::string head = "[broker]\nname = B\nuuid = U\n[group G]\n";  // lines 1-4
    struct Case {
        std::string body;
        int line;
        std::string fragment;
    };
    const Case cases[] = {
        {"[flow G/F\n", 5, "closing"},
        {"[flow X/F]\n", 5, "undeclared group"},
        {"[flow G/F]\n[node G/Other/N]\n", 6, "undeclared flow"},
        {"[flow G/F]\nthreads = 0\n", 6, "threads"},
        {"[flow G/F]\nsize = 900-400\n", 6, "size"},
        {"[flow G/F]\nthrow = 1.5\n", 6, "throw"},
        {"[flow G/F]\nwait = -1\n", 6, "wait"},
        {"[flow G/F]\ncolour = red\n", 6, "unknown key"},
        {"[flow G/F]\nmessages = 1\nmessages = 2\n", 7, "duplicate"},
        {"[flow G/F]\n[node G/F/N]\njust text\n", 7, "key = value"},
        {"[flow G/F]\n", 5, "no node"},
        {"[stage S]\n", 5, "unknown section"},
        {"[broker]\n", 5, "second [broker]"},
    };
    for (const Case& c : cases) {
        std::istringstream in(head + c.body);
        Deployment d;
        DeploymentError error;
        EXPECT_FALSE(parseDeployment(in, d, error)) << c.body;
        EXPECT_EQ(error.line, c.line) << c.body << error.message;
        EXPECT_NE(error.message.find(c.fragment), std::string::npos) << error.message;
    }
    std::istringstream noBroker("[group G]\n[flow G/F]\n[node G/F/N]\n");
    Deployment d;
    DeploymentError error;
    EXPECT_FALSE(parseDeployment(noBroker, d, error));
    EXPECT_EQ(error.line, 0);
}

// Every run of a deployment fails the same messages: floor(messages * share)
// per thread, spread evenly.
TEST(Deployment, FailingMessagesAreSpreadEvenly) {
    struct Case {
        double share;
        long messages;
        std::vector<long> failing;
    };
    const Case cases[] = {
        {0.01, 250, {99, 199}}, {0.29, 10, {3, 6}}, {0.5, 5, {1, 3}},
        {1.0, 3, {0, 1, 2}},    {0.0, 100, {}},
    };
    for (const Case& c : cases) {
        std::vector<long> failing;
        for (long i = 0; i < c.messages; ++i) {
            if (throwsDownstream(i, c.share))
                failing.push_back(i);
        }
        EXPECT_EQ(failing, c.failing) << c.share;
        EXPECT_EQ(static_cast<long>(failing.size()),
                  static_cast<long>(std::floor(static_cast<double>(c.messages) * c.share)));
    }
}

}  // namespace
