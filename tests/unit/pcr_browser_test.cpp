#include "app/discovery/pcr_browser.h"

#include <gtest/gtest.h>

#include <thread>

#include "app/model/app_model.h"
#include "support/fakes.h"
#include "support/model_ports.h"
#include "support/recording_dispatcher.h"
#include "support/virtual_main_queue.h"

namespace {

using vsc::BrowseResult;
using vsc::PcrEntry;

BrowseResult announced(const std::string& service, std::vector<std::string> txt) {
    return BrowseResult{vsc::ServiceEndpoint{service, "_vsc-pcr._tcp", "local", 1}, std::move(txt)};
}

std::vector<std::string> names(const std::vector<PcrEntry>& entries) {
    std::vector<std::string> result;
    for (const auto& e : entries) result.push_back(e.displayName());
    return result;
}

class Browser : public ::testing::Test {
  protected:
    Browser() {
        auto fake = std::make_unique<vsc::test::FakeDnsSdBrowser>();
        dnsSd = fake.get();
        browser = std::make_unique<vsc::PcrBrowser>(std::move(fake));
        browser->onUpdate = [this](std::vector<PcrEntry> list) { updates.push_back(list); };
        browser->onLog = [this](const std::string& line) { logs.push_back(line); };
        browser->start();
    }
    vsc::test::FakeDnsSdBrowser* dnsSd;
    std::unique_ptr<vsc::PcrBrowser> browser;
    std::vector<std::vector<PcrEntry>> updates;
    std::vector<std::string> logs;
};

TEST_F(Browser, AnAnnouncementBecomesAnEntryOnceItsAddressIsKnown) {
    auto studio = announced(
        "pcr-a", {"name=Studio A", "code=SA", "sid=7", "stage=STAGE_3", "rtsp=8554", "api=5700"});
    dnsSd->announce({studio});
    ASSERT_EQ(updates.size(), 1u);
    ASSERT_EQ(updates[0].size(), 1u);
    EXPECT_FALSE(updates[0][0].host);
    ASSERT_EQ(dnsSd->connections.size(), 1u);
    EXPECT_EQ(dnsSd->connections[0]->endpoint, studio.endpoint);

    // Further changes before the answer do not open a second connection.
    dnsSd->announce({studio});
    dnsSd->announce({studio});
    EXPECT_EQ(dnsSd->connections.size(), 1u);

    dnsSd->connections[0]->ready("192.168.1.20");
    EXPECT_TRUE(dnsSd->connections[0]->cancelled);
    ASSERT_EQ(updates.size(), 4u);
    const PcrEntry& entry = updates.back().at(0);
    EXPECT_EQ(entry.identifier(), "Studio A|SA|7");
    EXPECT_EQ(entry.displayName(), "Studio A (SA)");
    EXPECT_EQ(entry.programAddress(), "rtsp://192.168.1.20:8554/STAGE_3");
    EXPECT_EQ(entry.apiPort, 5700);
    EXPECT_EQ(entry.endpoint, studio.endpoint);
    EXPECT_EQ(logs, std::vector<std::string>{"PCR « Studio A (SA) » resolved at 192.168.1.20"});

    // The host is remembered: later lists carry it without connecting, also
    // after the studio went away and came back under the same name.
    dnsSd->announce({studio});
    dnsSd->announce({});
    EXPECT_TRUE(updates.back().empty());
    dnsSd->announce({studio});
    EXPECT_EQ(updates.back().at(0).host, "192.168.1.20");
    EXPECT_EQ(dnsSd->connections.size(), 1u);
}

TEST_F(Browser, AFailedResolutionIsLoggedAndTriedAgainAtTheNextChange) {
    auto studio = announced("pcr-b", {"name=B", "code=", "sid=1"});
    dnsSd->announce({studio});
    dnsSd->connections[0]->fail("Connection refused");
    EXPECT_EQ(logs, std::vector<std::string>{"PCR « B () » resolution failed: Connection refused"});
    EXPECT_EQ(updates.size(), 1u);  // nothing new to say
    dnsSd->announce({studio});
    ASSERT_EQ(dnsSd->connections.size(), 2u);
    // A late word from the first connection changes nothing.
    dnsSd->connections[0]->ready("10.0.0.9");
    EXPECT_EQ(updates.back().at(0).host, std::nullopt);
    // A link-local peer loses its scope.
    dnsSd->connections[1]->ready("fe80::1%eth0");
    EXPECT_EQ(updates.back().at(0).host, "fe80::1");
}

TEST_F(Browser, ABrowserThatFailsSaysSo) {
    dnsSd->handlers.failed("Daemon connection failed");
    EXPECT_EQ(logs, std::vector<std::string>{"PCR browser failed: Daemon connection failed"});
    EXPECT_TRUE(updates.empty());
}

TEST_F(Browser, TheListIsSortedByDisplayNameAfterComposition) {
    dnsSd->announce({announced("1", {"name=beta"}), announced("2", {"name=Alpha"}),
                     announced("3", {"name=alpha"}), announced("zeta", {})});
    EXPECT_EQ(names(updates.back()),
              (std::vector<std::string>{"Alpha ()", "alpha ()", "beta ()", "zeta"}));
    // "e" + combining acute composes to U+00E9, which sorts after "z"; two
    // spellings of the same name keep the order they came in.
    dnsSd->announce({announced("1", {"name=Cafe\xcc\x81"}), announced("2", {"name=Cafez"}),
                     announced("3", {"name=Caf\xc3\xa9"})});
    auto sorted = updates.back();
    ASSERT_EQ(sorted.size(), 3u);
    EXPECT_EQ(sorted[0].serviceName, "2");
    EXPECT_EQ(sorted[1].serviceName, "1");
    EXPECT_EQ(sorted[2].serviceName, "3");
}

TEST(TxtRecord, MalformedRecordsGiveDefaultsAndHarmNothing) {
    auto txt = vsc::parseTxtRecord(
        {"NAME=Studio", "name=second", "=orphan", "flag", "code=a=b", "stage=\xff\xfe", ""});
    EXPECT_EQ(txt.at("name"), "Studio");  // the first occurrence, whatever its case
    EXPECT_EQ(txt.count(""), 0u);
    EXPECT_EQ(txt.at("flag"), "");
    EXPECT_EQ(txt.at("code"), "a=b");
    EXPECT_EQ(txt.at("stage"), "\xef\xbf\xbd\xef\xbf\xbd");

    auto bare = vsc::makePcrEntry(announced("Studio B on host", {}), std::nullopt);
    EXPECT_EQ(bare.identifier(), "||");
    EXPECT_EQ(bare.displayName(), "Studio B on host");
    EXPECT_EQ(bare.rtspPort, 8554);
    EXPECT_EQ(bare.apiPort, 5700);
    for (const char* bad : {"rtsp=abc", "rtsp=", "rtsp= 1", "rtsp=99999999999999999999"})
        EXPECT_EQ(vsc::makePcrEntry(announced("s", {bad}), std::nullopt).rtspPort, 8554) << bad;
    EXPECT_EQ(vsc::makePcrEntry(announced("s", {"rtsp=+9000", "api=x"}), "h").rtspPort, 9000);
    EXPECT_EQ(vsc::makePcrEntry(announced("s", {"api=x"}), "h").apiPort, 5700);

    EXPECT_EQ(vsc::hostWithoutScope("fe80::1%en0"), "fe80::1");
    EXPECT_EQ(vsc::hostWithoutScope("%lo%x"), "lo");
    EXPECT_EQ(vsc::hostWithoutScope("%%"), "%%");
    EXPECT_EQ(vsc::hostWithoutScope("10.0.0.1"), "10.0.0.1");
}

// Whatever a studio announces, it cannot add a line to what the program logs
// or prints, hand out a port nothing listens on, or replace a working address
// with one that cannot be opened.
TEST(HostileInput, AnnouncementsForgeNoLinesNoPortsAndNoAddresses) {
    const std::string controls("\n\r\t\x1b\x7f\0", 6);
    const std::string c1 = "\xC2\x9B";  // CSI, as a character
    const std::string r = "\xEF\xBF\xBD";
    auto e = vsc::makePcrEntry(
        announced("pcr\r\npcr id=x", {"name=Studio\npcr id=Evil|E|1 service=x stage=STAGE_9",
                                      "code=\x1b[2J", std::string("sid=1\0002", 7),
                                      "stage=STAGE_" + c1 + "1", "rtsp=0", "api=99999999"}),
        std::nullopt);
    for (const std::string& text : {e.name, e.code, e.serverId, e.stage, e.serviceName}) {
        EXPECT_EQ(text.find_first_of(controls), std::string::npos) << text;
        EXPECT_EQ(text.find(c1), std::string::npos) << text;
    }
    EXPECT_EQ(e.name, "Studio" + r + "pcr id=Evil|E|1 service=x stage=STAGE_9");
    EXPECT_EQ(e.serverId, "1" + r + "2");
    EXPECT_EQ(vsc::parseTxtRecord({"x\x01y=\x7f"}).at("x" + r + "y"), r);
    EXPECT_EQ(e.rtspPort, 8554);
    EXPECT_EQ(e.apiPort, 5700);
    auto ports = vsc::makePcrEntry(announced("s", {"rtsp=99999999", "api=0"}), std::nullopt);
    EXPECT_EQ(ports.rtspPort, 8554);
    EXPECT_EQ(ports.apiPort, 5700);

    // A service name is shown cleaned, and the studio is still reached and
    // remembered under it.
    auto fake = std::make_unique<vsc::test::FakeDnsSdBrowser>();
    auto* dnsSd = fake.get();
    vsc::PcrBrowser browser(std::move(fake));
    std::vector<std::string> said;
    std::vector<PcrEntry> listed;
    browser.onLog = [&](const std::string& line) { said.push_back(line); };
    browser.onUpdate = [&](std::vector<PcrEntry> list) { listed = std::move(list); };
    browser.start();
    auto nameless = announced("pcr\r\npcr id=x", {});
    dnsSd->announce({nameless});
    dnsSd->connections.at(0)->ready("10.0.0.7");
    dnsSd->announce({nameless});
    EXPECT_EQ(dnsSd->connections.size(), 1u);
    EXPECT_EQ(listed.at(0).host, "10.0.0.7");
    EXPECT_EQ(said,
              std::vector<std::string>{"PCR « pcr" + r + r + "pcr id=x » resolved at 10.0.0.7"});

    // A lone studio whose stage climbs out of the path keeps the working address.
    vsc::test::VirtualMainQueue main;
    vsc::MemoryPreferences prefs;
    const std::string working = "rtsp://127.0.0.1:8554/STAGE_1";
    prefs.set("programURL", working);
    auto model = vsc::AppModel::create(vsc::test::isolatedPorts(main, prefs));
    std::vector<std::string> lines;
    model->onLogLine = [&](const std::string& line) { lines.push_back(line); };
    model->applyPcrList({vsc::makePcrEntry(
        announced("pcr", {"name=Lone", "code=L", "stage=../../etc"}), "127.0.0.1")});
    EXPECT_EQ(model->selectedPcrId(), "Lone|L|");
    EXPECT_EQ(model->url(), working);
    EXPECT_EQ(prefs.string("programURL"), working);
    EXPECT_EQ(model->detectStatus(), "PCR « Lone (L) » — announces an unusable program address");
    EXPECT_TRUE(lines.empty());

    // Whatever reaches the activity log anyway stays on its one line.
    model->log("resolved\npcr id=x\x1b[2J\xC2\x9B");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].find_first_of(controls), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].find(c1), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("resolved" + r + "pcr id=x" + r + "[2J" + r), std::string::npos);
    EXPECT_EQ(model->logLines().back(), lines[0]);
}

// The model's side: started once, and the browser's calls reach the model on
// the main queue only while the model exists.
TEST(DiscoveryStart, TheModelStartsTheBrowserOnceAndHearsItOnTheMainQueue) {
    vsc::test::VirtualMainQueue main;
    vsc::MemoryPreferences prefs;
    // Background work (the programme detection that starting the services
    // begins) runs on threads the test joins before its main queue goes.
    vsc::test::RecordingDispatcher dispatcher;
    auto fake = std::make_unique<vsc::test::FakeDnsSdBrowser>();
    auto* dnsSd = fake.get();
    vsc::AppModel::Ports ports = vsc::test::isolatedPorts(main, prefs);
    ports.dispatcher = &dispatcher;
    ports.pcrBrowser = std::make_shared<vsc::PcrBrowser>(std::move(fake));
    auto model = vsc::AppModel::create(ports);
    std::vector<std::string> lines;
    model->onLogLine = [&](const std::string& line) { lines.push_back(line); };

    model->startServices();
    model->startServices();
    EXPECT_EQ(dnsSd->starts, 1);
    EXPECT_TRUE(model->discoveryStarted());

    // The browser's thread announces a studio and learns its address.
    std::thread([&] {
        dnsSd->announce({announced("pcr", {"name=S", "code=C", "sid=1", "stage=STAGE_1"})});
        dnsSd->connections.at(0)->ready("127.0.0.1");
    }).join();
    EXPECT_TRUE(model->pcrs().empty());  // nothing until the main queue runs
    main.runPending();
    ASSERT_EQ(model->pcrs().size(), 1u);
    EXPECT_EQ(model->pcrs()[0].host, "127.0.0.1");
    EXPECT_EQ(model->selectedPcrId(), "S|C|1");
    EXPECT_EQ(model->url(), "rtsp://127.0.0.1:8554/STAGE_1");
    EXPECT_EQ(model->pcrHost(), "127.0.0.1");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("PCR « S (C) » resolved at 127.0.0.1"), std::string::npos);
    EXPECT_NE(lines[1].find("Program URL from PCR « S (C) »: rtsp://127.0.0.1:8554/STAGE_1"),
              std::string::npos);

    // The browser does not keep the model alive, and what it says after the
    // model has gone is dropped.
    auto browser = model->pcrBrowser();
    std::weak_ptr<vsc::AppModel> weak = model;
    model.reset();
    EXPECT_TRUE(weak.expired());
    dnsSd->announce({});
    dispatcher.joinAll();
    main.runPending();  // posted, and harmless when it runs
}

}  // namespace
