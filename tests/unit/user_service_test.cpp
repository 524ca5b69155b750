#include "platform/user_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Where a user manager runs, a service is a unit of ours: written, enabled
// and started; removed again with nothing left. The unit runs the command
// exactly as given (no variable or specifier of systemd expands inside it),
// and systemctl's own words are the failure.
TEST(SystemdUserServices, InstallRestartAndUninstallAUnit) {
    char pattern[] = "/tmp/vsc-units-XXXXXX";
    fs::path dir = mkdtemp(pattern);
    fs::path calls = dir / "calls";
    fs::path systemctl = dir / "systemctl";
    std::ofstream(systemctl) << "#!/bin/sh\necho \"$*\" >> '" << calls.string() << "'\n[ -e '"
                             << (dir / "fail").string()
                             << "' ] && { echo 'Failed to start: Unit is masked.' >&2; exit 1; }\n"
                                "exit 0\n";
    fs::permissions(systemctl, fs::perms::owner_all);
    auto services = vsc::makeSystemdUserServices((dir / "units").string(), systemctl.string());

    vsc::UserServiceSpec spec{"vendaroscope-camera",
                              "Vendaroscope Program camera",
                              {"/home/a b/$HOME/100%/cam\"era", "--flag"}};
    EXPECT_FALSE(services->installed("vendaroscope-camera"));
    ASSERT_EQ(services->install(spec), std::nullopt);
    EXPECT_TRUE(services->installed("vendaroscope-camera"));
    std::string unit = readFile(dir / "units" / "vendaroscope-camera.service");
    EXPECT_NE(unit.find("ExecStart=\"/home/a b/$$HOME/100%%/cam\\\"era\" \"--flag\"\n"),
              std::string::npos)
        << unit;
    EXPECT_NE(unit.find("Restart=always\n"), std::string::npos);
    EXPECT_NE(unit.find("WantedBy=default.target\n"), std::string::npos);
    EXPECT_EQ(readFile(calls),
              "--user daemon-reload\n--user enable vendaroscope-camera.service\n"
              "--user restart vendaroscope-camera.service\n");

    fs::remove(calls);
    std::ofstream(dir / "fail");
    EXPECT_EQ(services->restart("vendaroscope-camera"), "Failed to start: Unit is masked.");
    fs::remove(dir / "fail");

    fs::remove(calls);
    ASSERT_EQ(services->uninstall("vendaroscope-camera"), std::nullopt);
    EXPECT_FALSE(fs::exists(dir / "units" / "vendaroscope-camera.service"));
    EXPECT_EQ(readFile(calls),
              "--user disable --now vendaroscope-camera.service\n--user daemon-reload\n");
    fs::remove(calls);
    EXPECT_EQ(services->uninstall("vendaroscope-camera"), std::nullopt);  // nothing to do
    EXPECT_FALSE(fs::exists(calls));
    fs::remove_all(dir);
}

}  // namespace
