// The model as the application runs it, without a window: the headless host
// with a seeded preferences store against the test studio.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/desktop_session.h"
#include "support/test_studio.h"
#include "support/wait.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vsc::test::eventually;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The living children of a process with that program name, from /proc.
std::vector<pid_t> childrenOf(pid_t parent, const std::string& program = "ffmpeg") {
    std::vector<pid_t> found;
    for (const auto& e : fs::directory_iterator("/proc")) {
        std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string stat = readFile(e.path() / "stat");
        auto close = stat.rfind(')');
        if (close == std::string::npos || stat.find("(" + program + ")") == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 2));
        char state;
        pid_t ppid;
        rest >> state >> ppid;
        if (ppid == parent && state != 'Z') found.push_back(std::stoi(name));
    }
    return found;
}

// The stored address has a tab before it and a space after it (typed that
// way into the settings): sending resumes all the same.
TEST(HeadlessHost, ResumesSendingFromTheStoreAndEndsLikeTheApplication) {
    vsc::test::TestStudio studio;
    char pattern[] = "/tmp/vsc-headless-XXXXXX";
    fs::path config = mkdtemp(pattern);
    fs::create_directories(config / "vendaroscope-virtualcam");
    fs::path prefs = config / "vendaroscope-virtualcam" / "preferences.json";
    std::ofstream(prefs) << "{\"programURL\": \"\\t" << studio.url("STAGE_1")
                         << " \", \"setupCompleted\": true, \"resumeSending\": true}";
    fs::path log = config / "host.log";

    // The host writes its activity log to stdout; keep it in a file.
    auto host = std::make_unique<vsc::test::Program>(
        std::string(VSC_BINARY_DIR) + "/bin/vsc-headless", std::vector<std::string>{},
        std::vector<std::pair<std::string, std::string>>{{"XDG_CONFIG_HOME", config.string()}},
        false, true, log.string());

    ASSERT_TRUE(eventually(
        [&] { return readFile(log).find("stats inputFps=30") != std::string::npos; }, 20s))
        << readFile(log);
    std::string text = readFile(log);
    EXPECT_NE(text.find("  Resuming sending (it was on when the app closed)\n"), std::string::npos);
    EXPECT_NE(text.find("  program tracks: video + audio\n"), std::string::npos);
    // About the source frame rate, two ticks a second counted over 0.5 s.
    ASSERT_TRUE(eventually(
        [&] { return readFile(log).find("receiving=1 ffmpeg=1") != std::string::npos; }, 5s));
    pid_t hostPid = host->pid();
    ASSERT_TRUE(eventually([&] { return childrenOf(hostPid).size() == 1; }, 5s));
    pid_t ffmpeg = childrenOf(hostPid)[0];

    // Ended by the system: the receiver's child goes with it, the resume marker stays.
    int status = host->stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(eventually(
        [&] {
            return kill(ffmpeg, 0) != 0 ||
                   readFile("/proc/" + std::to_string(ffmpeg) + "/stat").find(") Z") !=
                       std::string::npos;
        },
        5s));
    std::string stored = readFile(prefs);
    EXPECT_NE(stored.find("\"resumeSending\": true"), std::string::npos) << stored;

    // The panel's stop clears it; the next launch does not resume.
    {
        auto again = std::make_unique<vsc::test::Program>(
            std::string(VSC_BINARY_DIR) + "/bin/vsc-headless", std::vector<std::string>{},
            std::vector<std::pair<std::string, std::string>>{{"XDG_CONFIG_HOME", config.string()}},
            false, true);
        ASSERT_TRUE(eventually(
            [&] { return readFile(prefs).find("\"resumeSending\": true") != std::string::npos; },
            5s));
        std::this_thread::sleep_for(500ms);
        again->send("stop");
        ASSERT_TRUE(eventually(
            [&] { return readFile(prefs).find("\"resumeSending\": false") != std::string::npos; },
            5s))
            << readFile(prefs);
        again->stop(SIGTERM);
    }
    fs::remove_all(config);
}

TEST(HeadlessHost, AHangUpWhileTheProbeWaitsEndsTheHostWithNoChildLeft) {
    // A studio that takes the connection and never answers: ffprobe waits
    // there for its 5 s socket time limit.
    int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(silent, 4), 0);
    ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::string url = "rtsp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/STAGE_1";

    char pattern[] = "/tmp/vsc-headless-XXXXXX";
    fs::path config = mkdtemp(pattern);
    fs::create_directories(config / "vendaroscope-virtualcam");
    std::ofstream(config / "vendaroscope-virtualcam" / "preferences.json")
        << "{\"programURL\": \"" << url << "\", \"setupCompleted\": true, \"resumeSending\": true}";
    vsc::test::Program host(
        std::string(VSC_BINARY_DIR) + "/bin/vsc-headless", std::vector<std::string>{},
        std::vector<std::pair<std::string, std::string>>{{"XDG_CONFIG_HOME", config.string()}},
        false, true, (config / "host.log").string());

    pid_t hostPid = host.pid();
    ASSERT_TRUE(eventually([&] { return childrenOf(hostPid, "ffprobe").size() == 1; }, 10s))
        << readFile(config / "host.log");
    pid_t probe = childrenOf(hostPid, "ffprobe")[0];

    // The end of the session: the host ends like the application, and the
    // probe it was waiting for has gone with it, not run on as an orphan.
    int status = host.stop(SIGHUP);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(kill(probe, 0) != 0 && errno == ESRCH) << "ffprobe " << probe << " is still there";
    close(silent);
    fs::remove_all(config);
}

}  // namespace
