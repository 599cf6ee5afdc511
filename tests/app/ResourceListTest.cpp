#include "app/ResourceList.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <memory>

#include "AppTestSupport.h"
#include "tests/support/NginxServer.h"
#include "tests/support/Sandbox.h"

namespace {

using app_test::FakeEngine;
using Call = FakeEngine::Call;

const std::array<std::string, 4> kUrls = {"http://h/0.exe", "http://h/1.zip", "http://h/2.cab", "http://h/3.cab"};

std::string List(const std::string& p2p, const std::string& resources, const std::string& root = "project") {
    return "<?xml version=\"1.0\"?>\n<" + root + "><configs>" +
           (p2p.empty() ? "" : "<p2p-switch>" + p2p + "</p2p-switch>") + "</configs><resources>" + resources +
           "</resources></" + root + ">";
}

std::string Cdn(const std::string& attributes, const std::string& ips) {
    return "<cdn " + attributes + ">" + ips + "</cdn>";
}

const std::string kGoodCdn = "id=\"c\" name=\"n\" middle-dir=\"/mid/\" file-name=\"f.zip\" open=\"true\"";

// ---- parsing (no network) -------------------------------------------------

TEST(ParseResourceList, WalksResourcesCdnsAndIpsUpToTheFirstStranger) {
    std::string xml = List("on",
                           "<resource id=\"1\" task=\"t1\">" +
                               Cdn(kGoodCdn + " host-name=\"cdn.example\"",
                                   "<ip>10.0.0.1</ip><ip>a.example</ip><other/><ip>10.0.0.9</ip>") +
                               "<other/>" + Cdn(kGoodCdn, "<ip>10.0.0.8</ip>") +
                               "</resource>"
                               "<resource id=\"2\" task=\"t2\">" +
                               Cdn(kGoodCdn, "<ip>10.0.0.2</ip>") +
                               "</resource>"
                               "<resource id=\"\" task=\"t3\"/>"
                               "<resource id=\"4\" task=\"t4\"/>");
    app::ResourceListPlan plan = app::ParseResourceList(xml);
    EXPECT_TRUE(plan.well_formed);
    EXPECT_TRUE(plan.root_is_project);
    ASSERT_TRUE(plan.p2p.has_value());
    EXPECT_TRUE(*plan.p2p);
    ASSERT_EQ(plan.resources.size(), 2u);  // the empty id ends the walk
    EXPECT_EQ(plan.resources[0].task, "t1");
    ASSERT_EQ(plan.resources[0].sources.size(), 2u);
    EXPECT_EQ(plan.resources[0].sources[0].url, "http://10.0.0.1/mid/f.zip");
    EXPECT_EQ(plan.resources[0].sources[0].host, "cdn.example");
    EXPECT_EQ(plan.resources[0].sources[1].url, "http://a.example/mid/f.zip");
    ASSERT_EQ(plan.resources[1].sources.size(), 1u);
    EXPECT_EQ(plan.resources[1].sources[0].host, "null");
}

TEST(ParseResourceList, SkipsCdnEntriesThatAreClosedOrIncomplete) {
    struct Case {
        const char* name;
        std::string attributes;
        size_t sources;
    };
    const std::array<Case, 7> cases{{
        {"usable", kGoodCdn, 1},
        {"open false", "id=\"c\" name=\"n\" middle-dir=\"/m/\" file-name=\"f\" open=\"false\"", 0},
        {"open missing", "id=\"c\" name=\"n\" middle-dir=\"/m/\" file-name=\"f\"", 0},
        {"open not a boolean", "id=\"c\" name=\"n\" middle-dir=\"/m/\" file-name=\"f\" open=\"yes\"", 0},
        {"empty middle-dir", "id=\"c\" name=\"n\" middle-dir=\"\" file-name=\"f\" open=\"true\"", 0},
        {"no name", "id=\"c\" middle-dir=\"/m/\" file-name=\"f\" open=\"true\"", 0},
        {"open as 1", "id=\"c\" name=\"n\" middle-dir=\"/m/\" file-name=\"f\" open=\"1\"", 1},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto plan = app::ParseResourceList(List("on", "<resource id=\"1\" task=\"t\">" +
                                                          Cdn(c.attributes, "<ip>1.2.3.4</ip>") + "</resource>"));
        ASSERT_EQ(plan.resources.size(), 1u);
        EXPECT_EQ(plan.resources[0].sources.size(), c.sources);
    }
}

TEST(ParseResourceList, ReadsExpiryWhateverTheRootAndCapsItsTexts) {
    std::string long_text(5000, 'm');
    auto plan = app::ParseResourceList(
        "<list><configs><expire-info><expired>true</expired><message>" + long_text +
        "</message><url>https://example.invalid/new</url></expire-info></configs></list>");
    EXPECT_FALSE(plan.root_is_project);
    EXPECT_TRUE(plan.expired);
    EXPECT_EQ(plan.expire_message.size(), 4095u);
    EXPECT_EQ(plan.expire_url, "https://example.invalid/new");
    EXPECT_FALSE(app::ParseResourceList("<project><configs><expire-info><expired>TRUE</expired>"
                                        "</expire-info></configs></project>")
                     .expired);
    EXPECT_FALSE(app::ParseResourceList("<project><unclosed>").well_formed);
    EXPECT_FALSE(app::ParseResourceList("").well_formed);
}

TEST(IsWebPageUrl, AcceptsOnlyHttpAndHttps) {
    EXPECT_TRUE(app::IsWebPageUrl("http://a/"));
    EXPECT_TRUE(app::IsWebPageUrl("HTTPS://a/"));
    EXPECT_FALSE(app::IsWebPageUrl("file:///etc/passwd"));
    EXPECT_FALSE(app::IsWebPageUrl("javascript:alert(1)"));
    EXPECT_FALSE(app::IsWebPageUrl("/usr/bin/xterm"));
    EXPECT_FALSE(app::IsWebPageUrl("http:/a"));
}

// ---- served by nginx over HTTPS --------------------------------------------

class ResourceListServed : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(m_box.File("www/downloader"));
        testing_support::NginxOptions options;
        options.document_root = m_box.File("www");
        options.tls = true;
        // A 404 whose body is a perfectly good list: it must still be ignored.
        options.server_config = "location = /downloader/gone.xml { return 404 '" +
                                List("off", "<resource id=\"1\" task=\"" + kUrls[1] + "\">" +
                                                Cdn(kGoodCdn, "<ip>10.9.9.9</ip>") + "</resource>") +
                                "'; }";
        m_server = std::make_unique<testing_support::NginxServer>(options);
        ASSERT_TRUE(m_server->Started()) << m_server->Failure();
        m_options.extra_ca_pem = m_server->CertificatePem();
        m_target.download_urls = kUrls;
        for (int i = 0; i < 4; ++i) m_target.handles[size_t(i)] = FakeEngine::Handle(i);
        m_target.is_file_complete = [this](int i) { return m_complete[size_t(i)]; };
        m_target.remember_p2p = [this](bool on) { m_remembered = on ? 1 : 0; };
    }

    std::string Serve(const std::string& xml) {
        m_box.Write("www/downloader/WgResourceList201503130311.xml", xml);
        return m_server->BaseUrl() + "/downloader/WgResourceList201503130311.xml";
    }

    int Apply(const std::string& xml) { return app::ApplyResourceList(Serve(xml), m_options, m_engine, m_target); }

    testing_support::Sandbox m_box;
    std::unique_ptr<testing_support::NginxServer> m_server;
    app::HttpGetOptions m_options;
    app::ResourceListTarget m_target;
    std::array<bool, 4> m_complete{};
    int m_remembered = -1;
    FakeEngine m_engine;
    app_test::LogCapture m_log;
};

TEST_F(ResourceListServed, P2pOnAddsAddressesWithTheirHostNames) {
    std::string xml = List("on", "<resource id=\"1\" task=\"" + kUrls[2] + "\">" +
                                     Cdn(kGoodCdn + " host-name=\"cdn.example\"", "<ip>10.0.0.1</ip><ip>10.0.0.2</ip>") +
                                     Cdn(kGoodCdn, "<ip>10.0.0.3</ip>") + "</resource>");
    EXPECT_EQ(Apply(xml), app::ResourceListApplied);
    void* h2 = FakeEngine::Handle(2);
    std::vector<Call> expected = {
        {"SetP2PEnabled", nullptr, "on", ""},
        {"Clear", h2, "", ""},
        {"Add", h2, "http://10.0.0.1/mid/f.zip", "cdn.example"},
        {"Add", h2, "http://10.0.0.2/mid/f.zip", "cdn.example"},
        {"Add", h2, "http://10.0.0.3/mid/f.zip", "null"},
    };
    EXPECT_EQ(m_engine.calls, expected);
    EXPECT_EQ(m_remembered, 1);
    EXPECT_TRUE(m_log.Has("启用P2P功能"));
}

TEST_F(ResourceListServed, P2pOffWithoutUsableAddressesAddsNothing) {
    std::string xml = List("off", "<resource id=\"1\" task=\"" + kUrls[1] + "\">" +
                                      Cdn("id=\"c\" name=\"n\" middle-dir=\"/m/\" file-name=\"f\" open=\"false\"",
                                          "<ip>10.0.0.1</ip>") +
                                      "</resource>");
    EXPECT_EQ(Apply(xml), app::ResourceListNothingAdded);
    EXPECT_EQ(m_engine.calls, (std::vector<Call>{{"SetP2PEnabled", nullptr, "off", ""}}));
    EXPECT_EQ(m_remembered, 0);
    EXPECT_TRUE(m_log.Has("禁用P2P功能"));
}

TEST_F(ResourceListServed, ListsThatChangeNothing) {
    struct Case {
        const char* name;
        std::string xml;
    };
    const std::array<Case, 3> cases{{
        {"root is not project", List("on", "<resource id=\"1\" task=\"" + kUrls[0] + "\">" +
                                               Cdn(kGoodCdn, "<ip>10.0.0.1</ip>") + "</resource>",
                                     "projects")},
        {"no p2p-switch", List("", "<resource id=\"1\" task=\"" + kUrls[0] + "\">" +
                                       Cdn(kGoodCdn, "<ip>10.0.0.1</ip>") + "</resource>")},
        {"not XML", "this is not a list"},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_engine.calls.clear();
        EXPECT_EQ(Apply(c.xml), app::ResourceListNothingAdded);
        EXPECT_TRUE(m_engine.calls.empty());
        EXPECT_EQ(m_remembered, -1);
    }
}

// j counts matched resources only: an unmatched one in front does not shift
// the completeness test from file 0 to file 1.
TEST_F(ResourceListServed, UnmatchedTaskDoesNotCountAsAMatch) {
    std::string xml = List("on",
                           "<resource id=\"9\" task=\"http://h/unknown\">" + Cdn(kGoodCdn, "<ip>10.0.0.7</ip>") +
                               "</resource><resource id=\"1\" task=\"" + kUrls[1] + "\">" +
                               Cdn(kGoodCdn, "<ip>10.0.0.1</ip>") + "</resource>");
    m_complete[0] = true;
    EXPECT_EQ(Apply(xml), app::ResourceListNothingAdded);
    EXPECT_EQ(m_engine.Count("Add"), 0u);

    // The same list while file 0 is being verified does add the address.
    m_engine.calls.clear();
    m_target.verifying_index = 0;
    EXPECT_EQ(Apply(xml), app::ResourceListApplied);
    EXPECT_EQ(m_engine.calls.back(), (Call{"Add", FakeEngine::Handle(1), "http://10.0.0.1/mid/f.zip", "null"}));
}

// Each fetch replaces a task's addresses instead of piling them up.
TEST_F(ResourceListServed, EveryTaskIsClearedOncePerFetch) {
    std::string xml = List("on", "<resource id=\"1\" task=\"" + kUrls[0] + "\">" + Cdn(kGoodCdn, "<ip>10.0.0.1</ip>") +
                                     "</resource><resource id=\"2\" task=\"" + kUrls[3] + "\">" +
                                     Cdn(kGoodCdn, "<ip>10.0.0.3</ip><ip>10.0.0.4</ip>") + "</resource>");
    EXPECT_EQ(Apply(xml), app::ResourceListApplied);
    EXPECT_EQ(Apply(xml), app::ResourceListApplied);
    std::vector<Call> one_fetch = {
        {"SetP2PEnabled", nullptr, "on", ""},
        {"Clear", FakeEngine::Handle(0), "", ""},
        {"Add", FakeEngine::Handle(0), "http://10.0.0.1/mid/f.zip", "null"},
        {"Clear", FakeEngine::Handle(3), "", ""},
        {"Add", FakeEngine::Handle(3), "http://10.0.0.3/mid/f.zip", "null"},
        {"Add", FakeEngine::Handle(3), "http://10.0.0.4/mid/f.zip", "null"},
    };
    std::vector<Call> both = one_fetch;
    both.insert(both.end(), one_fetch.begin(), one_fetch.end());
    EXPECT_EQ(m_engine.calls, both);
}

TEST_F(ResourceListServed, NotFoundWithABodyIsAFailure) {
    std::string url = m_server->BaseUrl() + "/downloader/gone.xml";
    std::string body, error;
    long code = 0;
    EXPECT_FALSE(app::HttpGetToMemory(url, &body, &error, &code, m_options));
    EXPECT_EQ(code, 404);
    EXPECT_EQ(error, "Failed to get " + url);
    EXPECT_EQ(app::ApplyResourceList(url, m_options, m_engine, m_target), app::ResourceListFetchFailed);
    EXPECT_TRUE(m_engine.calls.empty());
    EXPECT_TRUE(m_log.Has("Seek res FAILED with XML content failed"));
}

TEST_F(ResourceListServed, AnUntrustedCertificateIsRefused) {
    std::string url = Serve(List("on", ""));
    std::string body, error;
    long code = 0;
    EXPECT_FALSE(app::HttpGetToMemory(url, &body, &error, &code, app::HttpGetOptions{}));
    EXPECT_EQ(error, "Failed to get " + url);
    EXPECT_EQ(app::ApplyResourceList(url, app::HttpGetOptions{}, m_engine, m_target), app::ResourceListFetchFailed);
    EXPECT_TRUE(m_engine.calls.empty());
    // Trusting some other authority does not help either.
    app::HttpGetOptions other;
    testing_support::NginxOptions second_options;
    second_options.document_root = m_box.File("www");
    second_options.tls = true;
    testing_support::NginxServer second(second_options);
    ASSERT_TRUE(second.Started()) << second.Failure();
    other.extra_ca_pem = second.CertificatePem();
    EXPECT_FALSE(app::HttpGetToMemory(url, &body, &error, &code, other));
    EXPECT_TRUE(app::HttpGetToMemory(url, &body, &error, &code, m_options));
    EXPECT_EQ(code, 200);
}

TEST_F(ResourceListServed, ExpiryDeclaresMessageAndWebPage) {
    struct Case {
        const char* name;
        std::string expire_info;
        bool expired;
        std::string message;
        std::string url;
    };
    const std::array<Case, 4> cases{{
        {"expired", "<expired>true</expired><message>请下载新版</message><url>https://example.invalid/new</url>", true,
         "请下载新版", "https://example.invalid/new"},
        {"not a web page", "<expired>true</expired><message>m</message><url>file:///etc/passwd</url>", true, "m", ""},
        {"no texts", "<expired>true</expired>", true, "", ""},
        {"not expired", "<expired>false</expired><message>m</message><url>http://x/</url>", false, "", ""},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string url = Serve("<project><configs><expire-info>" + c.expire_info +
                                "</expire-info></configs></project>");
        std::string message, page;
        EXPECT_EQ(app::CheckExpiry(url, m_options, &message, &page), c.expired);
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(page, c.url);
    }
    std::string message, page;
    EXPECT_FALSE(app::CheckExpiry(m_server->BaseUrl() + "/downloader/gone.xml", m_options, &message, &page));
}

}  // namespace
