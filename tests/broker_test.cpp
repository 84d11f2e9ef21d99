// The stand-in broker's own contract, through a small node library defined here.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "broker/deployment.h"
#include "broker/harness.h"

namespace {

using namespace standin;

const BrkChar16* b16(const char16_t* s) {
    return reinterpret_cast<const BrkChar16*>(s);
}

// The context is the node's output terminal; an exception downstream is rethrown.
void fakeEvaluate(BrkContext context, BrkDestinationList destinations, BrkExceptionList exceptions,
                  BrkMessage message) {
    int rc = 0;
    cniPropagate(&rc, static_cast<BrkTerminal>(context), destinations, exceptions, message);
    if (rc == BRK_RC_EXCEPTION) {
        std::this_thread::yield();  // widens the window for another thread's exception
        cciRethrowLastException(&rc);
    }
}

BrkNodeFunctions fakeTable = {[](BrkFactory, const BrkChar16*, BrkNode node) -> BrkContext {
                                  int rc = 0;
                                  cniCreateInputTerminal(&rc, node, b16(u"in"));
                                  return cniCreateOutputTerminal(&rc, node, b16(u"out"));
                              },
                              [](BrkContext) {},
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
        BrkBrokerInfo info{};
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

// Each thread must see its own message's exception, never another thread's:
// odd sizes throw their size as the text.
TEST(Propagation, ThreadsEvaluatingOneNodeKeepTheirOwnExceptions) {
    Plugin plugin(fakeEntry);
    auto node = plugin.createNode();
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
    const std::tuple<std::string, int, std::string> cases[] = {
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
    const auto errorOf = [](const std::string& text) {
        std::istringstream in(text);
        Deployment d;
        DeploymentError error;
        EXPECT_FALSE(parseDeployment(in, d, error)) << text;
        return error;
    };
    for (const auto& [body, line, fragment] : cases) {
        const DeploymentError error = errorOf(head + body);
        EXPECT_EQ(error.line, line) << body << error.message;
        EXPECT_NE(error.message.find(fragment), std::string::npos) << error.message;
    }
    EXPECT_EQ(errorOf("[group G]\n[flow G/F]\n[node G/F/N]\n").line, 0) << "no [broker]";
}

// Every run of a deployment fails the same messages: floor(messages * share)
// per thread, spread evenly.
TEST(Deployment, FailingMessagesAreSpreadEvenly) {
    const std::tuple<double, long, std::vector<long>> cases[] = {
        {0.01, 250, {99, 199}}, {0.29, 10, {3, 6}}, {0.5, 5, {1, 3}},
        {1.0, 3, {0, 1, 2}},    {0.0, 100, {}},
    };
    for (const auto& [share, messages, expected] : cases) {
        std::vector<long> failing;
        for (long i = 0; i < messages; ++i) {
            if (throwsDownstream(i, share))
                failing.push_back(i);
        }
        EXPECT_EQ(failing, expected) << share;
    }
}

}  // namespace
