#include "engine/net/NameResolver.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "engine/net/SourceUrl.h"
#include "platform/DnsServers.h"
#include "platform/Socket.h"
#include "tests/engine/net/NetTestSupport.h"
#include "tests/support/Sandbox.h"

namespace {

using engine::LookupResult;
using engine::NoAddress;
using engine::ResolveError;
using net_test::Ip;

// A resolver that blocks until the test opens the gate, then answers. Its
// state is shared, so a worker that outlives the test's wait still finds it.
struct Gate {
    std::mutex mutex;
    std::condition_variable opened_cv;
    bool opened = false;
    std::atomic<int> entered{0};
    std::atomic<int> left{0};

    void Open() {
        std::lock_guard lock(mutex);
        opened = true;
        opened_cv.notify_all();
    }
};

engine::HostResolver BlockingResolver(const std::shared_ptr<Gate>& gate) {
    return [gate](const std::string&) {
        ++gate->entered;
        {
            std::unique_lock lock(gate->mutex);
            // Bounded: a forgotten gate cannot hang the suite.
            gate->opened_cv.wait_for(lock, std::chrono::seconds(20), [&] { return gate->opened; });
        }
        engine::ResolveAnswer answer;
        answer.answered = true;
        answer.address_length = 4;
        answer.addresses = {Ip(127, 0, 0, 9)};
        ++gate->left;
        return answer;
    };
}

using NameResolution = net_test::ScriptedResolverTest;

TEST_F(NameResolution, LookupReturnsAddressesInOrderWithinTheBuffer) {
    std::vector<uint32_t> many;
    for (uint32_t i = 1; i <= 300; ++i) many.push_back(engine::HostToNetwork32(0x7F000000u + i));
    Know("many.example", many);
    LookupResult result;
    ASSERT_TRUE(engine::LookupWithTimeout("many.example", result, 3000));
    EXPECT_EQ(result.address_length, 4);
    ASSERT_EQ(result.addresses.size(), 256u);  // a 1024-byte buffer holds 256
    EXPECT_EQ(result.addresses.front(), many.front());
    EXPECT_EQ(result.addresses.back(), many[255]);
    EXPECT_EQ(engine::PendingLookupCount(), 0u);
}

TEST_F(NameResolution, LookupRefusesEmptyHostAndZeroTimeout) {
    LookupResult result;
    EXPECT_FALSE(engine::LookupWithTimeout("", result, 3000));
    EXPECT_EQ(result.error, ResolveError::InvalidArgument);
    EXPECT_FALSE(engine::LookupWithTimeout("files.example", result, 0));
    EXPECT_EQ(result.error, ResolveError::InvalidArgument);
}

TEST_F(NameResolution, FailedLookupEndsTheWaitAtOnceWithItsError) {
    LookupResult result;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(engine::LookupWithTimeout("nowhere.example", result, 20000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(result.error, ResolveError::HostNotFound);
}

TEST(NameLookupTimeout, HangingResolverReturnsInTimeAndTheLateAnswerIsDropped) {
    auto gate = std::make_shared<Gate>();
    engine::SetHostResolver(BlockingResolver(gate));
    {
        LookupResult result;
        result.addresses = {1, 2, 3};
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(engine::LookupWithTimeout("slow.example", result, 100));
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(100));
        EXPECT_LT(waited, std::chrono::seconds(5));
        EXPECT_EQ(result.error, ResolveError::TimedOut);
        EXPECT_TRUE(result.addresses.empty());
        EXPECT_EQ(engine::PendingLookupCount(), 0u);
    }
    // `result` is gone; the worker now answers into nothing. Under
    // AddressSanitizer a write into the dead slots would be reported here.
    ASSERT_TRUE(testing_support::WaitFor([&] { return gate->entered == 1; }));
    gate->Open();
    ASSERT_TRUE(testing_support::WaitFor([&] { return gate->left == 1; }));
    EXPECT_EQ(engine::PendingLookupCount(), 0u);
    engine::SetHostResolver({});
}

TEST(NameLookupTimeout, ManyAbandonedLookupsLeaveNoEntries) {
    auto gate = std::make_shared<Gate>();
    engine::SetHostResolver(BlockingResolver(gate));
    constexpr int Lookups = 8;
    for (int i = 0; i < Lookups; ++i) {
        LookupResult result;
        EXPECT_FALSE(engine::LookupWithTimeout("slow.example", result, 1));
    }
    EXPECT_EQ(engine::PendingLookupCount(), 0u);
    gate->Open();
    ASSERT_TRUE(testing_support::WaitFor([&] { return gate->left == Lookups; }));
    engine::SetHostResolver({});
}

TEST_F(NameResolution, SourceHostFailureIsListedLoggedAndReportedOnce) {
    std::vector<uint32_t> list;
    EXPECT_EQ(engine::ResolveSourceHost("nowhere.example", list), -1);
    EXPECT_EQ(engine::ResolveSourceHost("gone.example", list), -1);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(engine::IsFailedHost("nowhere.example"));
    EXPECT_TRUE(engine::IsFailedHost("GONE.example"));
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].code, engine::ResolveFailureEvent);
    EXPECT_EQ(Events()[0].kind, 0);
    EXPECT_EQ(Events()[0].text.rfind("ErrCode : (11001) Host : (nowhere.example) ", 0), 0u);

    // A success clears the flag: the next failure reports again.
    Know("files.example", {Ip(127, 0, 0, 2)});
    EXPECT_EQ(engine::ResolveSourceHost("files.example", list), 1);
    EXPECT_FALSE(engine::IsResolveFailureReported());
    EXPECT_EQ(engine::ResolveSourceHost("gone.example", list), -1);
    EXPECT_EQ(Events().size(), 2u);

    engine::ClearFailedHosts();
    EXPECT_FALSE(engine::IsFailedHost("nowhere.example"));
}

TEST_F(NameResolution, SourceHostTimeoutIsAFailureButNotAFailedHost) {
    auto gate = std::make_shared<Gate>();
    engine::SetHostResolver(BlockingResolver(gate));
    // The source lookup waits 3 s; this is the one test that spends them.
    std::vector<uint32_t> list;
    EXPECT_EQ(engine::ResolveSourceHost("slow.example", list), -1);
    EXPECT_FALSE(engine::IsFailedHost("slow.example"));
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].text.rfind("ErrCode : (10060) Host : (slow.example) ", 0), 0u);
    gate->Open();
    ASSERT_TRUE(testing_support::WaitFor([&] { return gate->left == 1; }));
}

TEST_F(NameResolution, SourceHostDottedTexts) {
    struct Case {
        const char* host;
        int32_t added;
        uint32_t address;
    };
    const std::array cases = {
        Case{"", 0, 0},
        Case{"127.0.0.7", 1, Ip(127, 0, 0, 7)},
        Case{"10.1", 1, Ip(10, 1, 0, 0)},
        Case{"0.0.0.0", 0, 0},
        Case{"300.1.1.1", 0, 0},
        Case{"...", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        std::vector<uint32_t> list;
        EXPECT_EQ(engine::ResolveSourceHost(c.host, list), c.added);
        EXPECT_EQ(list.size(), static_cast<size_t>(c.added));
        if (c.added == 1) { EXPECT_EQ(list.front(), c.address); }
        EXPECT_EQ(Asked(c.host), 0);
    }
    EXPECT_TRUE(Events().empty());
}

TEST_F(NameResolution, ResolveHostPlainResolver) {
    Know("files.example", {Ip(127, 0, 0, 2), Ip(127, 0, 0, 3)});
    EXPECT_EQ(engine::ResolveHost("files.example"), Ip(127, 0, 0, 2));
    EXPECT_EQ(engine::ResolveHost("127.0.0.5"), Ip(127, 0, 0, 5));
    EXPECT_EQ(engine::ResolveHost(""), NoAddress);
    // Not found once: listed, and not asked again.
    EXPECT_EQ(engine::ResolveHost("nowhere.example"), NoAddress);
    EXPECT_EQ(engine::ResolveHost("nowhere.example"), NoAddress);
    EXPECT_EQ(Asked("nowhere.example"), 1);
    // A name that merely starts with a digit is still looked up.
    Know("1up.example", {Ip(127, 0, 0, 8)});
    EXPECT_EQ(engine::ResolveHost("1up.example"), Ip(127, 0, 0, 8));
}

TEST(LocalAddressChoice, PrefersTheLastPublicAddressWhenTheLastIsPrivate) {
    struct Case {
        const char* name;
        std::vector<uint32_t> addresses;
        uint32_t chosen;
    };
    const std::array cases = {
        Case{"none", {}, NoAddress},
        Case{"only private", {Ip(192, 168, 1, 2), Ip(10, 0, 0, 2)}, Ip(10, 0, 0, 2)},
        Case{"public then private", {Ip(8, 8, 4, 4), Ip(9, 9, 9, 9), Ip(10, 0, 0, 2)}, Ip(9, 9, 9, 9)},
        Case{"private then public", {Ip(10, 0, 0, 2), Ip(8, 8, 4, 4)}, Ip(8, 8, 4, 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(engine::ChooseLocalAddress(c.addresses), c.chosen);
    }
}

TEST(LocalAddressChoice, MachineAddressIsNotLoopbackWhenAnInterfaceHasOne) {
    if (platform::FirstNonLoopbackIpv4() == 0) GTEST_SKIP() << "no interface besides loopback";
    const uint32_t local = engine::LocalAddress();
    if (local != NoAddress && engine::NetworkToHost32(local) >> 24 == 127) {
        FAIL() << "loopback chosen: " << engine::DottedText(local);
    }
}

TEST(ResolveFailureText, NamesTheDnsServers) {
    EXPECT_EQ(engine::BuildResolveFailureText("h.example", ResolveError::HostNotFound, {}),
              "ErrCode : (11001) Host : (h.example) , no DNS");
    EXPECT_EQ(engine::BuildResolveFailureText("h.example", ResolveError::TryAgain, {"", "9.9.9.9"}),
              "ErrCode : (11002) Host : (h.example) , no DNS");
    EXPECT_EQ(engine::BuildResolveFailureText("h", ResolveError::NoData, {"1.1.1.1", "9.9.9.9", "8.8.8.8"}),
              "ErrCode : (11004) Host : (h) , DNS : (1.1.1.1), 备用 DNS : (9.9.9.9), 备用 DNS : (8.8.8.8)");
    EXPECT_EQ(engine::BuildResolveFailureText(std::string(5000, 'h'), ResolveError::NoData, {}).size(),
              engine::UrlTextLimit);
}

TEST(ResolveFailureText, DnsServersComeFromNameserverLines) {
    testing_support::Sandbox sandbox;
    const std::string path = sandbox.Write("resolv.conf",
                                           "# comment\nsearch lan\nnameserver 10.0.0.1\n"
                                           "  nameserver   10.0.0.2  # second\nnameserver\noptions ndots:1\n");
    EXPECT_EQ(platform::DnsServerAddresses(path), (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
    EXPECT_TRUE(platform::DnsServerAddresses(sandbox.File("missing")).empty());
}

}  // namespace
