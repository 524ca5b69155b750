#include <gtest/gtest.h>

#include "app/discovery/pcr_entry.h"
#include "app/discovery/program_detection.h"
#include "app/model/app_model.h"
#include "support/fakes.h"
#include "support/model_ports.h"
#include "support/recording_dispatcher.h"
#include "support/virtual_clock.h"
#include "support/virtual_main_queue.h"

namespace {

vsc::PcrEntry entry(const std::string& name, const std::string& code,
                    std::optional<std::string> host, const std::string& stage = "STAGE_3") {
    vsc::PcrEntry e;
    e.serviceName = "pcr-" + name;
    e.name = name;
    e.code = code;
    e.serverId = "7";
    e.stage = stage;
    e.host = std::move(host);
    return e;
}

TEST(PcrEntry, DerivedValuesAndStrictPorts) {
    auto e = entry("Studio A", "SA", "192.168.1.20");
    EXPECT_EQ(e.identifier(), "Studio A|SA|7");
    EXPECT_EQ(e.displayName(), "Studio A (SA)");
    EXPECT_EQ(e.programAddress(), "rtsp://192.168.1.20:8554/STAGE_3");
    e.name.clear();
    EXPECT_EQ(e.displayName(), "pcr-Studio A");
    e.stage.clear();
    EXPECT_EQ(e.programAddress(), std::nullopt);
    for (const char* bad : {"abc", "", " 1", "1 ", "99999999999999999999", "+", "1.5"})
        EXPECT_EQ(vsc::parsePort(bad, 8554), 8554) << bad;
    EXPECT_EQ(vsc::parsePort("+9000", 8554), 9000);
    EXPECT_EQ(vsc::parsePort("65535", 8554), 65535);
    for (const char* outOfRange : {"-1", "65536", "9223372036854775807"})
        EXPECT_EQ(vsc::parsePort(outOfRange, 5700), 5700) << outOfRange;
}

TEST(PathList, OnlyWellFormedListsDecode) {
    EXPECT_TRUE(vsc::decodePathList(R"({"items":[],"itemCount":0})"));
    EXPECT_FALSE(vsc::decodePathList(R"({"itemCount":0})"));                      // no items
    EXPECT_FALSE(vsc::decodePathList(R"({"items":[{"name":"STAGE_1"}]})"));       // no ready
    EXPECT_FALSE(vsc::decodePathList(R"({"items":[{"name":1,"ready":true}]})"));  // a number name
    EXPECT_FALSE(vsc::decodePathList("<html>not json</html>"));
    EXPECT_FALSE(vsc::decodePathList(R"([{"name":"STAGE_1","ready":true}])"));
    auto extra =
        vsc::decodePathList(R"({"items":[{"name":"STAGE_1","ready":true,"source":{"x":1}}]})");
    ASSERT_TRUE(extra);
    EXPECT_EQ(extra->at(0).name, "STAGE_1");
    // A large list (about 10 MB) still decodes.
    std::string big = R"({"items":[)";
    for (int i = 0; i < 200000; ++i)
        big += R"({"name":"PATH_)" + std::to_string(i) + R"(","ready":false,"pad":"xxxxxxxxxx"},)";
    big += R"({"name":"STAGE_9","ready":true}]})";
    auto many = vsc::decodePathList(big);
    ASSERT_TRUE(many);
    EXPECT_EQ(vsc::programCandidates(*many), std::vector<std::string>{"STAGE_9"});
}

TEST(PathList, TheProgrammeIsTheFirstReadyStageThatIsNoVariant) {
    auto one = vsc::concludeDetection(
        "host", R"({"items":[{"name":"STAGE_4","ready":true},{"name":"STAGE_4_LOW","ready":true},
                  {"name":"STAGE_5_preview","ready":true},{"name":"STAGE_6","ready":false},
                  {"name":"live","ready":true}]})");
    EXPECT_EQ(one.status, "Found STAGE_4");
    EXPECT_EQ(one.url, "rtsp://host:8554/STAGE_4");
    auto two = vsc::concludeDetection(
        "h", R"({"items":[{"name":"STAGE_9","ready":true},{"name":"STAGE_2","ready":true}]})");
    EXPECT_EQ(two.status, "Found 2 programs — using STAGE_9");
    EXPECT_EQ(two.url, "rtsp://h:8554/STAGE_9");
    auto none = vsc::concludeDetection("h", R"({"items":[]})");
    EXPECT_EQ(none.status, "No program published on h");
    EXPECT_FALSE(none.url);
    EXPECT_EQ(vsc::concludeDetection("h", std::nullopt).status,
              "MediaMTX API unreachable on h:9997 — enter the URL manually");
}

// A studio's media server names its paths; none of those names may reach the
// stored address, the status or the terminal unless it can be an address.
TEST(HostileInput, PathNamesThatCannotBeAddressesAreNoProgrammes) {
    const std::string working = "rtsp://127.0.0.1:8554/STAGE_1";
    vsc::test::VirtualMainQueue main;
    vsc::test::RecordingDispatcher dispatcher;
    vsc::MemoryPreferences prefs;
    prefs.set("programURL", working);
    prefs.set("pcrHost", std::string("h"));
    auto http = std::make_shared<vsc::test::FakeHttp>();
    vsc::AppModel::Ports ports = vsc::test::isolatedPorts(main, prefs);
    ports.dispatcher = &dispatcher;
    ports.http = http;
    auto model = vsc::AppModel::create(ports);
    auto detect = [&](const std::string& items) {
        http->bodies["http://h:9997/v3/paths/list"] = R"({"items":[)" + items + "]}";
        model->detectProgramURL();
        dispatcher.joinAll();
        main.runPending();
    };
    auto ready = [](const std::string& jsonName) {
        return R"({"name":")" + jsonName + R"(","ready":true})";
    };
    const std::string forged[] = {
        R"(STAGE_1\n\u001b[2Jdetect-status Found STAGE_7)",  // a line of its own, screen cleared
        R"(STAGE_1\u0000evil)",                              // cut short when printed
        R"(STAGE_1\tx)",
        R"(STAGE_1\u007f)",
        R"(STAGE_1\u009b2J)",
        "STAGE_" + std::string(2u << 20, 'x'),  // megabytes, rewritten on every save
    };
    for (const auto& name : forged) {
        detect(ready(name));
        EXPECT_EQ(model->detectStatus(), "No program published on h") << name.substr(0, 40);
        EXPECT_EQ(model->url(), working);
    }
    EXPECT_EQ(prefs.string("programURL"), working);
    // A clean path beside them is still found, and is the only candidate.
    detect(ready(forged[0]) + "," + ready(forged[1]) + "," + ready("STAGE_2"));
    EXPECT_EQ(model->detectStatus(), "Found STAGE_2");
    EXPECT_EQ(model->url(), "rtsp://h:8554/STAGE_2");
    const std::string longest = "STAGE_" + std::string(249, '9');
    EXPECT_EQ(vsc::programCandidates({{longest, true}, {longest + "9", true}}),
              std::vector<std::string>{longest});
}

class Discovery : public vsc::test::IsolatedModelTest {
  protected:
    std::shared_ptr<vsc::AppModel> make() {
        vsc::AppModel::Ports ports = this->ports();
        ports.http = http;
        return create(ports);
    }
    void settle() {
        dispatcher.joinAll();
        main.runPending();
    }
    std::shared_ptr<vsc::test::FakeHttp> http = std::make_shared<vsc::test::FakeHttp>();
};

TEST_F(Discovery, DetectionAsksTheTrimmedHostAndStoresWhatItFinds) {
    prefs.set("pcrHost", std::string(" \t10.1.2.3 "));
    http->bodies["http://10.1.2.3:9997/v3/paths/list"] =
        R"({"items":[{"name":"STAGE_4","ready":true}]})";
    auto model = make();
    model->detectProgramURL();
    EXPECT_EQ(model->detectStatus(), "Detecting…");
    settle();
    EXPECT_EQ(model->url(), "rtsp://10.1.2.3:8554/STAGE_4");
    EXPECT_EQ(prefs.string("programURL"), "rtsp://10.1.2.3:8554/STAGE_4");
    EXPECT_EQ(model->detectStatus(), "Found STAGE_4");
    model->setPcrHost("10.9.9.9");  // nothing answers there
    model->detectProgramURL();
    settle();
    EXPECT_EQ(model->detectStatus(),
              "MediaMTX API unreachable on 10.9.9.9:9997 — enter the URL manually");
    EXPECT_EQ(model->url(), "rtsp://10.1.2.3:8554/STAGE_4");  // left as it was
    model->setPcrHost("bad host");                            // not an address: nothing happens
    model->detectProgramURL();
    EXPECT_EQ(model->detectStatus(),
              "MediaMTX API unreachable on 10.9.9.9:9997 — enter the URL manually");
    model->setPcrHost(" \t ");  // no host at all: there is nobody to ask, and the user is told
    model->detectProgramURL();
    settle();
    EXPECT_EQ(model->detectStatus(), "MediaMTX API unreachable on :9997 — enter the URL manually");
    EXPECT_EQ(http->asked.size(), 2u);
    EXPECT_TRUE(logs.empty());  // detection says nothing in the log
}

TEST_F(Discovery, OneStudioIsChosenByItselfAndFollowedUntilItResolves) {
    auto model = make();
    model->applyPcrList({entry("Studio A", "SA", std::nullopt)});
    EXPECT_EQ(model->selectedPcrId(), "Studio A|SA|7");
    EXPECT_EQ(model->detectStatus(), "PCR « Studio A (SA) » — resolving address…");
    model->applyPcrList({entry("Studio A", "SA", "127.0.0.1")});
    EXPECT_EQ(model->pcrHost(), "127.0.0.1");
    EXPECT_EQ(model->url(), "rtsp://127.0.0.1:8554/STAGE_3");
    EXPECT_EQ(model->detectStatus(), "PCR « Studio A (SA) » — program on air");
    model->applyPcrList({entry("Studio A", "SA", "127.0.0.1")});
    EXPECT_EQ(logs, std::vector<std::string>{
                        "Program URL from PCR « Studio A (SA) »: rtsp://127.0.0.1:8554/STAGE_3"});
    model->applyPcrList({entry("Studio A", "SA", "127.0.0.1", "")});
    EXPECT_EQ(model->detectStatus(), "PCR « Studio A (SA) » — no program published yet");
}

TEST_F(Discovery, TwoStudiosWaitForTheUserAndAVanishedChoiceIsDropped) {
    prefs.set("programURL", std::string("rtsp://old/STAGE_1"));
    auto model = make();
    model->applyPcrList({entry("Alpha", "A", "10.0.0.1"), entry("Beta", "B", "10.0.0.2")});
    EXPECT_EQ(model->selectedPcrId(), "");
    EXPECT_EQ(model->url(), "rtsp://old/STAGE_1");
    model->setSelectedPcrId("Beta|B|7");
    EXPECT_EQ(model->url(), "rtsp://10.0.0.2:8554/STAGE_3");
    model->applyPcrList({entry("Alpha", "A", "10.0.0.1"), entry("Gamma", "G", "10.0.0.3")});
    EXPECT_EQ(model->selectedPcrId(), "");
}

TEST_F(Discovery, NothingChangesWhileSending) {
    prefs.set("programURL", std::string("rtsp://old/STAGE_1"));
    auto model = make();
    model->startSending();
    ASSERT_TRUE(model->running());
    model->applyPcrList({entry("Studio A", "SA", "127.0.0.1")});
    EXPECT_EQ(model->selectedPcrId(), "Studio A|SA|7");
    EXPECT_EQ(model->url(), "rtsp://old/STAGE_1");
    EXPECT_EQ(model->detectStatus(), "");
}

}  // namespace
