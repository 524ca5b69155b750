// Finding the studio: programme detection against the test studio's path-list
// API (and a port where nothing listens), and the studio's DNS-SD announcement
// through a real avahi-daemon, to the browser and to the headless host.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "app/discovery/pcr_browser.h"
#include "app/model/app_model.h"
#include "support/desktop_session.h"
#include "support/fakes.h"
#include "support/model_ports.h"
#include "support/test_studio.h"
#include "support/virtual_main_queue.h"
#include "support/wait.h"

using namespace std::chrono_literals;
using vsc::test::eventually;

namespace {

TEST(DetectionWithStudio, FindsTheStudiosProgrammeAndReportsAClosedPort) {
    // The media server's API answers on its standard port, 9997.
    vsc::test::TestStudio studio(1280, 720, 0, 9997);
    vsc::test::VirtualMainQueue main;
    vsc::MemoryPreferences prefs;
    vsc::AppModel::Ports ports = vsc::test::isolatedPorts(main, prefs);
    ports.http = nullptr;  // the real client
    auto model = vsc::AppModel::create(ports);
    auto settled = [&] {
        main.runPending();
        return model->detectStatus() != "Detecting…";
    };

    model->detectProgramURL();  // pcrHost defaults to 127.0.0.1
    ASSERT_TRUE(eventually(settled, 15s));
    EXPECT_EQ(model->detectStatus(), "Found 4 programs — using STAGE_1");
    EXPECT_EQ(model->url(), "rtsp://127.0.0.1:8554/STAGE_1");

    studio.control("drop?path=STAGE_1");  // listed, but not ready
    model->detectProgramURL();
    ASSERT_TRUE(eventually(settled, 15s));
    EXPECT_EQ(model->detectStatus(), "Found 3 programs — using STAGE_2");

    model->setPcrHost("127.0.0.2");  // nothing listens there
    auto asked = std::chrono::steady_clock::now();
    model->detectProgramURL();
    ASSERT_TRUE(eventually(settled, 15s));
    EXPECT_EQ(model->detectStatus(),
              "MediaMTX API unreachable on 127.0.0.2:9997 — enter the URL manually");
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 11s);  // within the client's time-out
}

}  // namespace

namespace {

// What a browser reported, gathered from its thread.
struct Heard {
    std::mutex mutex;
    std::vector<std::vector<vsc::PcrEntry>> lists;
    std::vector<std::string> lines;

    void listenTo(vsc::PcrBrowser& browser) {
        browser.onUpdate = [this](std::vector<vsc::PcrEntry> list) {
            std::lock_guard<std::mutex> hold(mutex);
            lists.push_back(std::move(list));
        };
        browser.onLog = [this](const std::string& line) {
            std::lock_guard<std::mutex> hold(mutex);
            lines.push_back(line);
        };
    }
    // Whether the first studio of a list comes with its host in time.
    bool firstResolved() {
        return eventually(
            [&] {
                auto list = last();
                return list && !list->empty() && list->front().host;
            },
            15s);
    }
    std::optional<std::vector<vsc::PcrEntry>> last() {
        std::lock_guard<std::mutex> hold(mutex);
        if (lists.empty()) return std::nullopt;
        return lists.back();
    }
    std::size_t listCount() {
        std::lock_guard<std::mutex> hold(mutex);
        return lists.size();
    }
    int linesWith(const std::string& text) {
        std::lock_guard<std::mutex> hold(mutex);
        int n = 0;
        for (const auto& l : lines) n += l.find(text) != std::string::npos;
        return n;
    }
    std::string allLines() {
        std::lock_guard<std::mutex> hold(mutex);
        std::string text;
        for (const auto& l : lines) text += l + "\n";
        return text;
    }
};

const std::vector<std::string> kAnnounce = {
    "--announce", "Studio One", "--pcr-name", "Test Studio", "--pcr-code",
    "TS",         "--pcr-sid",  "1",          "--pcr-stage", "STAGE_1"};

TEST(StudioBrowserWithAvahi, FindsResolvesForgetsAndRemembersTheStudio) {
    vsc::test::DesktopSession session(true);
    vsc::test::TestStudio studio(1280, 720, 0, 0, kAnnounce);
    Heard heard;
    vsc::PcrBrowser browser;
    heard.listenTo(browser);
    browser.start();

    auto resolvedList = [&] {
        return eventually(
            [&] {
                auto list = heard.last();
                return list && list->size() == 1 && list->front().host.has_value();
            },
            15s);
    };
    ASSERT_TRUE(resolvedList()) << heard.allLines();
    vsc::PcrEntry found = heard.last()->front();
    EXPECT_EQ(found.serviceName, "Studio One");
    EXPECT_EQ(found.identifier(), "Test Studio|TS|1");
    EXPECT_EQ(found.displayName(), "Test Studio (TS)");
    EXPECT_EQ(found.stage, "STAGE_1");
    EXPECT_EQ(found.rtspPort, studio.rtspPort());
    EXPECT_EQ(found.apiPort, studio.apiPort());
    EXPECT_EQ(found.host, "127.0.0.1");
    EXPECT_EQ(found.endpoint.type, "_vsc-pcr._tcp");
    EXPECT_EQ(found.programAddress(), studio.url("STAGE_1"));
    EXPECT_EQ(heard.linesWith("PCR « Test Studio (TS) » resolved at 127.0.0.1"), 1);

    // Withdrawn: gone from the next list. Back again: listed with the host it
    // had, without asking the network again.
    studio.control("withdraw");
    ASSERT_TRUE(eventually([&] { return heard.last()->empty(); }, 15s));
    std::size_t before = heard.listCount();
    studio.control("announce");
    ASSERT_TRUE(eventually([&] { return heard.listCount() > before; }, 15s));
    {
        std::lock_guard<std::mutex> hold(heard.mutex);
        ASSERT_EQ(heard.lists[before].size(), 1u);
        EXPECT_EQ(heard.lists[before][0].host, "127.0.0.1");
    }
    EXPECT_EQ(heard.linesWith("resolved at"), 1);

    // The studio puts another stage on air: its record changes in place.
    studio.control("stage?name=STAGE_2");
    ASSERT_TRUE(eventually(
        [&] {
            auto list = heard.last();
            return list && list->size() == 1 && list->front().stage == "STAGE_2";
        },
        10s));
    EXPECT_EQ(heard.last()->front().programAddress(), studio.url("STAGE_2"));
    EXPECT_EQ(heard.linesWith("resolved at"), 1);

    // A studio announced where nothing listens cannot be resolved; it is
    // listed without a host and sorted by its display name.
    vsc::test::Program closed("/usr/bin/avahi-publish", {"-s", "Closed Studio", "_vsc-pcr._tcp",
                                                         "1", "name=Closed", "code=C"});
    ASSERT_TRUE(eventually(
        [&] { return heard.linesWith("PCR « Closed (C) » resolution failed: ") == 1; }, 15s))
        << heard.allLines();
    EXPECT_EQ(heard.linesWith("PCR « Closed (C) » resolution failed: Connection refused"), 1);
    auto both = heard.last();
    ASSERT_EQ(both->size(), 2u);
    EXPECT_EQ((*both)[0].displayName(), "Closed (C)");
    EXPECT_FALSE((*both)[0].host);
    EXPECT_EQ((*both)[1].displayName(), "Test Studio (TS)");
    closed.stop();

    // The daemon restarts (only a daemon of our own is touched): the browser
    // says so, waits, and browses again; what it knew of the old daemon is
    // gone, the hosts it learnt are not.
    if (session.avahiPid() == 0) return;
    ASSERT_EQ(kill(session.avahiPid(), SIGTERM), 0);
    ASSERT_TRUE(eventually([&] { return heard.linesWith("PCR browser failed: ") == 1; }, 10s))
        << heard.allLines();
    EXPECT_EQ(heard.linesWith("PCR browser failed: Daemon connection failed"), 1);
    before = heard.listCount();
    ASSERT_EQ(
        vsc::test::runProgram("/bin/bash", {std::string(VSC_SOURCE_DIR) + "/scripts/session.sh",
                                            "restart-avahi", session.dir()}),
        0);
    ASSERT_TRUE(
        eventually([&] { return heard.listCount() > before && heard.last()->empty(); }, 10s))
        << heard.allLines();
    studio.control("announce");  // its announcement went with the old daemon
    ASSERT_TRUE(resolvedList()) << heard.allLines();
    EXPECT_EQ(heard.last()->front().identifier(), "Test Studio|TS|1");
    EXPECT_EQ(heard.linesWith("resolved at"), 1);
    EXPECT_EQ(heard.linesWith("PCR browser failed: "), 1);
}

// A listening port whose accept queue is full: connections to it neither
// succeed nor fail, they stall (the kernel drops their SYNs).
class StalledPort {
  public:
    StalledPort() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener_, 0) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen");
        port_ = ntohs(address.sin_port);
        while (fillers_.size() < 8) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            fillers_.push_back(fd);
            connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            pollfd wait{fd, POLLOUT, 0};
            if (poll(&wait, 1, 300) == 0) return;  // this one stalls: the queue is full
        }
        throw std::runtime_error("the accept queue never filled");
    }
    ~StalledPort() {
        for (int fd : fillers_) close(fd);
        close(listener_);
    }
    int port() const { return port_; }

  private:
    int listener_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

TEST(StudioBrowserWithAvahi, StudiosThatStallOrHaveNoAddressAreGivenUp) {
    vsc::test::DesktopSession session(true);
    StalledPort stalled;
    Heard heard;
    vsc::PcrBrowser browser(
        vsc::makeAvahiBrowser(vsc::PcrBrowser::kServiceType, vsc::PcrBrowser::kQueueLabel, 1.0));
    heard.listenTo(browser);
    browser.start();
    auto announced = std::chrono::steady_clock::now();
    vsc::test::Program publisher("/usr/bin/avahi-publish",
                                 {"-s", "Stalled Studio", "_vsc-pcr._tcp",
                                  std::to_string(stalled.port()), "name=Stalled", "code=S"});
    ASSERT_TRUE(eventually(
        [&] { return heard.linesWith("PCR « Stalled (S) » resolution failed: ") > 0; }, 15s))
        << heard.allLines();
    // Given up after this browser's limit (1 s plus the announcement and
    // resolution), well before the usual 10 s.
    EXPECT_LT(std::chrono::steady_clock::now() - announced, 6s);
    EXPECT_EQ(heard.linesWith("PCR « Stalled (S) » resolution failed: Connection timed out"), 1)
        << heard.allLines();
    auto list = heard.last();
    ASSERT_TRUE(list && list->size() == 1);
    EXPECT_FALSE(list->front().host);

    // A studio announced for a host name that has no address: its record
    // never resolves, so it is listed by its service name without one, and
    // its address cannot be found either.
    vsc::test::Program hostless("/usr/bin/avahi-publish", {"-s", "-H", "nowhere.local", "Hostless",
                                                           "_vsc-pcr._tcp", "1234", "name=Ghost"});
    ASSERT_TRUE(eventually(
        [&] { return heard.linesWith("PCR « Hostless » resolution failed: ") > 0; }, 20s))
        << heard.allLines();
    list = heard.last();
    ASSERT_EQ(list->size(), 2u);
    EXPECT_EQ(list->front().serviceName, "Hostless");
    EXPECT_EQ(list->front().identifier(), "||");
    EXPECT_EQ(list->front().displayName(), "Hostless");
}

// How many announcements of studios avahi-browse sees (one per link and protocol).
int avahiSees() {
    std::string text = vsc::test::outputOf("/usr/bin/avahi-browse", {"-pt", "_vsc-pcr._tcp"});
    int n = 0;
    for (auto at = text.find("+;"); at != std::string::npos; at = text.find("+;", at + 1)) ++n;
    return n;
}

// A TCP port listening on every address, IPv4 and IPv6, for one test.
class ListeningPort {
  public:
    ListeningPort() {
        fd_ = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int no = 0;
        setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        socklen_t length = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd_, 16) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen");
        port_ = ntohs(address.sin6_port);
    }
    ~ListeningPort() { close(fd_); }
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A second network link: a veth pair whose one end has an address, made for
// one test and removed after it.
class SecondLink {
  public:
    SecondLink() {
        remove();
        if (vsc::test::runProgram("/usr/sbin/ip", {"link", "add", kName, "type", "veth", "peer",
                                                   "name", "vsc-test-b"}) != 0 ||
            vsc::test::runProgram("/usr/sbin/ip",
                                  {"addr", "add", "10.254.254.1/24", "dev", kName}) != 0 ||
            vsc::test::runProgram("/usr/sbin/ip", {"link", "set", kName, "up"}) != 0 ||
            vsc::test::runProgram("/usr/sbin/ip", {"link", "set", "vsc-test-b", "up"}) != 0)
            throw std::runtime_error("cannot make a veth pair");
    }
    ~SecondLink() { remove(); }
    static constexpr const char* kName = "vsc-test-a";

  private:
    static void remove() {
        std::string quiet = vsc::test::outputOf("/usr/sbin/ip", {"link", "del", kName});
    }
};

TEST(StudioBrowserWithAvahi, AStudioSeenOnTwoLinksIsOneStudio) {
    SecondLink link;
    setenv("SESSION_AVAHI_INTERFACES", (std::string("lo,") + SecondLink::kName).c_str(), 1);
    vsc::test::DesktopSession session(true);
    unsetenv("SESSION_AVAHI_INTERFACES");
    if (session.avahiPid() == 0) GTEST_SKIP() << "the machine's own avahi-daemon is running";
    // A studio port on every address, announced on both links.
    ListeningPort studioPort;
    vsc::test::Program publisher(
        "/usr/bin/avahi-publish",
        {"-s", "Two Links", "_vsc-pcr._tcp", std::to_string(studioPort.port()), "name=Two Links",
         "code=TL", "sid=1", "stage=STAGE_1"});
    // avahi itself reports it once per link.
    ASSERT_TRUE(eventually([&] { return avahiSees() == 2; }, 10s));

    Heard heard;
    vsc::PcrBrowser browser;
    heard.listenTo(browser);
    browser.start();
    ASSERT_TRUE(heard.firstResolved()) << heard.allLines();
    auto list = *heard.last();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].identifier(), "Two Links|TL|1");
    EXPECT_EQ(list[0].endpoint.interfaceIndex, -1);  // either link will do
    EXPECT_TRUE(list[0].host == "127.0.0.1" || list[0].host == "10.254.254.1") << *list[0].host;
    EXPECT_EQ(heard.linesWith("resolved at"), 1);
}

// On a link with IPv6, avahi knows the studio's link-local IPv6 address as
// well; the programme address must still be one that ffmpeg can open.
TEST(StudioBrowserWithAvahi, AStudioWithAnIPv6AddressIsReachedOverIPv4) {
    SecondLink link;
    setenv("SESSION_AVAHI_INTERFACES", SecondLink::kName, 1);
    setenv("SESSION_AVAHI_IPV6", "yes", 1);
    vsc::test::DesktopSession session(true);
    unsetenv("SESSION_AVAHI_INTERFACES");
    unsetenv("SESSION_AVAHI_IPV6");
    if (session.avahiPid() == 0) GTEST_SKIP() << "the machine's own avahi-daemon is running";
    // Listens on both protocols, so either address would connect.
    ListeningPort studioPort;
    vsc::test::Program publisher(
        "/usr/bin/avahi-publish",
        {"-s", "Dual Stack", "_vsc-pcr._tcp", std::to_string(studioPort.port()), "name=Dual",
         "code=DS", "stage=STAGE_1"});
    ASSERT_TRUE(eventually(
        [] {
            return vsc::test::outputOf("/usr/bin/avahi-browse", {"-rpt", "_vsc-pcr._tcp"})
                       .find(";fe80::") != std::string::npos;
        },
        10s));

    for (int attempt = 0; attempt < 3; ++attempt) {  // a fresh browser each time
        Heard heard;
        vsc::PcrBrowser browser;
        heard.listenTo(browser);
        browser.start();
        ASSERT_TRUE(heard.firstResolved()) << heard.allLines();
        auto found = heard.last()->front();
        EXPECT_EQ(found.host, "10.254.254.1");
        ASSERT_TRUE(found.programAddress());
        EXPECT_TRUE(vsc::AppModel::isCompleteProgramURL(*found.programAddress()))
            << *found.programAddress();
    }
}

// The headless host with an empty store; its standard output kept in a file.
class Host {
  public:
    Host()
        : config_(makeDir()),
          program_(std::string(VSC_BINARY_DIR) + "/bin/vsc-headless", {},
                   {{"XDG_CONFIG_HOME", config_.string()}}, false, true,
                   (config_ / "host.log").string()) {}
    ~Host() {
        program_.stop();
        std::filesystem::remove_all(config_);
    }
    std::string output() const {
        std::ifstream in(config_ / "host.log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    int count(const std::string& text) const {
        std::string all = output();
        int n = 0;
        for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    }
    void send(const std::string& line) { program_.send(line); }

  private:
    static std::filesystem::path makeDir() {
        char pattern[] = "/tmp/vsc-discovery-XXXXXX";
        return mkdtemp(pattern);
    }
    std::filesystem::path config_;
    vsc::test::Program program_;
};

// The application as a user starts it on the studio's network: nothing
// stored, the studio found by DNS-SD, its programme sent.
TEST(HeadlessHostWithAvahi, FindsTheStudioAndSendsItsProgramme) {
    vsc::test::DesktopSession session(true);
    // The programme on the standard RTSP port; the API elsewhere, so the
    // address comes from the announcement and not from detection.
    vsc::test::TestStudio studio(1280, 720, 8554, 0, kAnnounce);
    Host host;

    ASSERT_TRUE(eventually(
        [&] { return host.count("detect-status PCR « Test Studio (TS) » — program on air") == 1; },
        20s))
        << host.output();
    EXPECT_EQ(host.count("pcr id=Test Studio|TS|1 service=Studio One stage=STAGE_1 rtsp=8554 api=" +
                         std::to_string(studio.apiPort()) + " host=127.0.0.1\n"),
              1)
        << host.output();
    EXPECT_GE(host.count("pcrs count=1 selected=Test Studio|TS|1\n"), 1);
    EXPECT_EQ(host.count("  PCR « Test Studio (TS) » resolved at 127.0.0.1\n"), 1);
    EXPECT_EQ(
        host.count("  Program URL from PCR « Test Studio (TS) »: rtsp://127.0.0.1:8554/STAGE_1\n"),
        1);

    host.send("start");  // the panel's button
    ASSERT_TRUE(eventually([&] { return host.count("stats inputFps=30 receiving=1") > 0; }, 20s))
        << host.output();
    EXPECT_EQ(host.count("ffmpeg started"), 1);
    EXPECT_EQ(host.count("Program URL from PCR"), 1);

    studio.control("withdraw");
    EXPECT_TRUE(eventually([&] { return host.count("pcrs count=0 selected=\n") > 0; }, 15s))
        << host.output();
}

// Two studios on the network: the user chooses; when the chosen one goes,
// the one left is chosen by itself.
TEST(HeadlessHostWithAvahi, TwoStudiosWaitForTheUsersChoice) {
    vsc::test::DesktopSession session(true);
    ListeningPort portA, portB;
    auto announce = [](const std::string& name, const std::string& code, int port) {
        return std::make_unique<vsc::test::Program>(
            "/usr/bin/avahi-publish",
            std::vector<std::string>{"-s", name, "_vsc-pcr._tcp", std::to_string(port),
                                     "name=" + name, "code=" + code, "sid=1", "stage=STAGE_1",
                                     "rtsp=" + std::to_string(port)});
    };
    auto a = announce("Studio A", "SA", portA.port());
    auto b = announce("Studio B", "SB", portB.port());
    ASSERT_TRUE(eventually([&] { return avahiSees() == 2; }, 10s));  // both on the network
    Host host;
    const std::string urlA = "rtsp://127.0.0.1:" + std::to_string(portA.port()) + "/STAGE_1";
    const std::string urlB = "rtsp://127.0.0.1:" + std::to_string(portB.port()) + "/STAGE_1";

    ASSERT_TRUE(eventually([&] { return host.count("host=127.0.0.1\n") >= 2; }, 20s))
        << host.output();
    EXPECT_GE(host.count("pcrs count=2 selected=\n"), 1) << host.output();
    EXPECT_EQ(host.count("Program URL from PCR"), 0);  // nobody chose yet

    host.send("select Studio B|SB|1");  // the studio picker
    ASSERT_TRUE(eventually(
        [&] { return host.count("Program URL from PCR « Studio B (SB) »: " + urlB) == 1; }, 10s))
        << host.output();

    b.reset();  // Studio B withdraws: the choice goes, and the one left is taken
    ASSERT_TRUE(eventually(
        [&] { return host.count("Program URL from PCR « Studio A (SA) »: " + urlA) == 1; }, 15s))
        << host.output();
    EXPECT_GE(host.count("pcrs count=1 selected=Studio A|SA|1\n"), 1);
}

}  // namespace
