// The stand-in broker's own contract, through a small node library defined here.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "broker/deployment.h"
#include "broker/harness.h"

namespace {

using namespace standin;

const BrkChar16* b16(const char16_t* s) {
    return reinterpret_cast<const BrkChar16*>(s);
}

struct FakeContext {
    BrkTerminal out = nullptr;
    std::atomic<int> propagateRc{-1};
    bool record = true;            // false while several threads evaluate
    ExceptionTexts seen;           // from cciGetLastExceptionData
    bool rethrowReturned = false;  // cciRethrowLastException came back
};

FakeContext* fake(const std::unique_ptr<Node>& node) {
    return static_cast<FakeContext*>(node->context());
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

BrkNodeFunctions fakeTable = {[](BrkFactory, const BrkChar16*, BrkNode node) -> BrkContext {
                                  auto* c = new FakeContext;
                                  int rc = 0;
                                  cniCreateInputTerminal(&rc, node, b16(u"in"));
                                  c->out = cniCreateOutputTerminal(&rc, node, b16(u"out"));
                                  return c;
                              },
                              [](BrkContext context) { delete static_cast<FakeContext*>(context); },
                              [](BrkContext, int, BrkChar16*, int) { return 1; },
                              [](BrkContext, const BrkChar16*, const BrkChar16*) { return 0; },
                              [](BrkContext, const BrkChar16*, BrkChar16*, int) { return 1; },
                              fakeEvaluate};

BrkFactory fakeEntry() {
    int rc = 0;
    BrkFactory factory = cniCreateNodeFactory(&rc, b16(u"FakeFactory"));
    if (factory != nullptr)
        cniDefineNodeClass(&rc, factory, b16(u"FakeClass"), &fakeTable);
    return factory;
}

TEST(BrokerInfo, LengthsFirstThenTheNameCutToTheBufferAndTerminatedOnlyWithRoom) {
    BrkNodeObject node;
    node.broker = u"BRK1";
    node.executionGroup = u"group";
    node.messageFlow = u"flow";
    node.fourth = u"node";
    auto ask = [&](BrkChar16* buffer, int length) {
        BrkBrokerInfo info;
        std::memset(&info, 0, sizeof info);
        info.broker.buffer = buffer;
        info.broker.bufferLength = length;
        int rc = -1;
        cniGetBrokerInfo(&rc, &node, &info);
        EXPECT_EQ(rc, 0);
        return info;
    };
    const BrkBrokerInfo info = ask(nullptr, 0);
    EXPECT_EQ((std::vector<int>{info.broker.nameLength, info.executionGroup.nameLength,
                                info.messageFlow.nameLength, info.fourth.nameLength}),
              (std::vector<int>{4, 5, 4, 4}));
    setNameLengthCountsTerminator(true);
    EXPECT_EQ(ask(nullptr, 0).broker.nameLength, 5);
    setNameLengthCountsTerminator(false);
    // The buffer's first length + 1 characters.
    const std::pair<int, std::u16string> cases[] = {
        {3, u"BRKx"}, {4, u"BRK1x"}, {5, std::u16string(u"BRK1\0x", 6)}};
    for (const auto& [length, expected] : cases) {
        std::vector<BrkChar16> buffer(8, u'x');
        ask(buffer.data(), length);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), length + 1),
                  expected)
            << "buffer length " << length;
    }
}

class PropagationTest : public ::testing::Test {
  protected:
    Plugin plugin{fakeEntry};
};

TEST_F(PropagationTest, DownstreamRunsInsideTheCallAndAnExceptionThereGives64AndItsTexts) {
    auto node = plugin.createNode();
    bool ranInside = false;
    node->setDownstream([&](const Delivery& d) {
        ranInside = fake(node)->propagateRc == -1;  // cniPropagate has not returned yet
        EXPECT_EQ(d.terminal, fake(node)->out);
    });
    const Message message = Message::fromSpec({});
    EvaluateResult r = node->evaluate(&message);
    EXPECT_TRUE(ranInside);
    EXPECT_EQ(r.propagations, 1);
    EXPECT_TRUE(r.listsAsReceived);
    EXPECT_FALSE(r.rethrown);
    EXPECT_EQ(fake(node)->propagateRc, 0);

    node->setDownstream(throwing("Compute1", "evaluating", "division by zero"));
    r = node->evaluate(nullptr);
    EXPECT_EQ(fake(node)->propagateRc, BRK_RC_EXCEPTION);
    const ExceptionTexts& seen = fake(node)->seen;
    EXPECT_EQ((std::vector<std::string>{seen.where, seen.detail, seen.text}),
              (std::vector<std::string>{"Compute1", "evaluating", "division by zero"}));
    EXPECT_TRUE(r.rethrown);
    EXPECT_FALSE(fake(node)->rethrowReturned);
    EXPECT_EQ(r.exception.text, "division by zero");
}

// Each thread must see its own message's exception, never another thread's:
// odd sizes throw their size as the text.
TEST_F(PropagationTest, ThreadsEvaluatingOneNodeKeepTheirOwnExceptions) {
    auto node = plugin.createNode();
    fake(node)->record = false;
    node->setDownstream([&](const Delivery& d) {
        if (d.message->stream.size() % 2 == 1)
            throwDownstream("t", "d", std::to_string(d.message->stream.size()));
    });
    std::atomic<int> wrong{0};
    std::vector<std::jthread> threads;
    for (size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            MessageSpec recipe;
            for (size_t size = 400 + 300 * t; size < 700 + 300 * t; ++size) {
                recipe.totalSize = size;
                const Message m = Message::fromSpec(recipe);
                const EvaluateResult r = node->evaluate(&m);
                const bool odd = size % 2 == 1;
                wrong += r.rethrown != odd || (odd && r.exception.text != std::to_string(size));
            }
        });
    }
    threads.clear();
    EXPECT_EQ(wrong.load(), 0);
}

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
    }
}

}  // namespace
