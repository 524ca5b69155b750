#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/audio/audio_driver_installer.h"

namespace fs = std::filesystem;

namespace {

class DriverState : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vsc-driver-XXXXXX";
        dir = mkdtemp(pattern);
        fs::create_directories(dir / "resources" / "pipewire");
        fs::create_directories(dir / "config" / "pipewire");
    }
    void TearDown() override { fs::remove_all(dir); }
    void bundle(const std::string& text) {
        std::ofstream(dir / "resources" / "pipewire" / vsc::AudioDriverInstaller::kFileName)
            << text;
    }
    void install(const std::string& text) {
        std::ofstream(dir / "config" / "pipewire" / vsc::AudioDriverInstaller::kFileName) << text;
    }
    static std::string version(const std::string& s, const std::string& b) {
        return "# vendaroscope.version.short = " + s + "\n# vendaroscope.version.build = " + b +
               "\ncontext.modules = []\n";
    }
    vsc::AudioDriverInstaller installer() const {
        return vsc::AudioDriverInstaller((dir / "resources").string(), (dir / "config").string());
    }
    fs::path dir;
};

TEST_F(DriverState, FollowsTheInstalledAndBundledVersions) {
    EXPECT_EQ(installer().state(true), vsc::AudioDriverState{vsc::DriverUnavailable{}});
    bundle(version("1.2", "7"));
    EXPECT_EQ(installer().state(true),
              vsc::AudioDriverState{vsc::DriverMissing{}});  // listed or not
    install(version("1.2", "7"));
    EXPECT_EQ(installer().state(true), vsc::AudioDriverState{vsc::DriverOk{"1.2 (7)"}});
    EXPECT_EQ(vsc::summary(installer().state(true)), "Installed · v1.2 (7)");
    EXPECT_EQ(installer().state(false), vsc::AudioDriverState{vsc::DriverNotLoaded{"1.2 (7)"}});
    bundle(version("1.3", "9"));
    for (bool loaded : {true, false}) {
        EXPECT_EQ(installer().state(loaded),
                  (vsc::AudioDriverState{vsc::DriverOutdated{"1.2 (7)", "1.3 (9)"}}));
    }
    EXPECT_EQ(vsc::summary(installer().state(true)),
              "Installed v1.2 (7), this app ships v1.3 (9) — repair to update");
    bundle(version("1.1", "3"));  // an older bundle is a difference too
    EXPECT_EQ(installer().state(true),
              (vsc::AudioDriverState{vsc::DriverOutdated{"1.2 (7)", "1.1 (3)"}}));
}

TEST_F(DriverState, AMissingKeyReadsAsAQuestionMark) {
    bundle(version("1.2", "7"));
    install("# vendaroscope.version.short = 1.2\ncontext.modules = []\n");
    EXPECT_EQ(vsc::AudioDriverInstaller::versionText(installer().installedFile()), "1.2 (?)");
    EXPECT_EQ(installer().state(true),
              (vsc::AudioDriverState{vsc::DriverOutdated{"1.2 (?)", "1.2 (7)"}}));
    EXPECT_EQ(vsc::AudioDriverInstaller::versionText((dir / "nothing.conf").string()),
              std::nullopt);
}

TEST(DriverSummary, WordsForTheOtherStates) {
    EXPECT_EQ(vsc::summary(vsc::DriverNotLoaded{"1.0 (1)"}),
              "Installed v1.0 (1) but not loaded by the audio system — repair to reload");
    EXPECT_EQ(vsc::summary(vsc::DriverMissing{}),
              "Not installed — the “Vendaroscope Program Audio” microphone is unavailable");
    EXPECT_EQ(vsc::summary(vsc::DriverUnavailable{}), "No driver bundled in this build");
}

TEST(DriverBundle, TheShippedConfigurationCarriesItsVersion) {
    auto text = vsc::AudioDriverInstaller::versionText(
        std::string(VSC_SOURCE_DIR) + "/resources/pipewire/vendaroscope-program-audio.conf");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->find('?'), std::string::npos) << *text;
}

}  // namespace

namespace {

// The repair copies with file-system calls: odd paths are only paths, a copy
// that cannot be written leaves the installed file whole, and the user's
// folders never come from a variable that is not an absolute path.
TEST(DriverRepair, InstallsWhateverThePathsAndFailsWithoutHarm) {
    char pattern[] = "/tmp/vsc-repair-XXXXXX";
    fs::path dir = mkdtemp(pattern);
    fs::path resources = dir / "it's -rf $(here)" / "resources";
    fs::create_directories(resources / "pipewire");
    std::ofstream(resources / "pipewire" / vsc::AudioDriverInstaller::kFileName)
        << "# vendaroscope.version.short = 2.0\n# vendaroscope.version.build = 4\n";
    vsc::AudioDriverInstaller installer(resources.string(), (dir / "-rf o'config").string());
    // An earlier version's fragment inside the audio server's configuration.
    fs::create_directories(fs::path(installer.olderFragment()).parent_path());
    std::ofstream(installer.olderFragment()) << "context.modules = []\n";
    int reloads = 0;
    EXPECT_EQ(installer.repair([&] {
        ++reloads;
        return std::optional<std::string>();
    }),
              std::nullopt);
    EXPECT_EQ(reloads, 1);
    EXPECT_EQ(installer.state(true), vsc::AudioDriverState{vsc::DriverOk{"2.0 (4)"}});
    EXPECT_FALSE(fs::exists(installer.olderFragment()));  // moved out, kept beside ours
    EXPECT_TRUE(fs::exists(installer.installedFile() + ".old"));
    fs::remove(installer.installedFile() + ".old");
    // A reload that fails is what the repair reports.
    EXPECT_EQ(installer.repair([] { return std::optional<std::string>("systemctl exited 1"); }),
              "systemctl exited 1");

    // A folder that cannot be written: the old file stays as it was.
    std::ofstream(resources / "pipewire" / vsc::AudioDriverInstaller::kFileName)
        << "# vendaroscope.version.short = 3.0\n# vendaroscope.version.build = 1\n";
    fs::permissions(installer.installedFolder(), fs::perms::owner_read | fs::perms::owner_exec);
    if (access(installer.installedFolder().c_str(), W_OK) != 0) {  // root writes anyway
        auto failure = installer.repair({});
        ASSERT_TRUE(failure);
        EXPECT_NE(failure->find("Permission denied"), std::string::npos) << *failure;
        EXPECT_EQ(vsc::AudioDriverInstaller::versionText(installer.installedFile()), "2.0 (4)");
    }
    fs::permissions(installer.installedFolder(), fs::perms::owner_all);
    int files = 0;
    for (const auto& entry : fs::directory_iterator(installer.installedFolder()))
        files += entry.is_regular_file();
    EXPECT_EQ(files, 1) << "nothing left beside the installed file";

    vsc::AudioDriverInstaller nothing((dir / "none").string(), (dir / "config").string());
    EXPECT_EQ(nothing.repair({}), "No driver bundled in this build");
    std::ofstream(dir / "config") << "a file where a folder should be";
    auto failure =
        vsc::AudioDriverInstaller(resources.string(), (dir / "config").string()).repair({});
    ASSERT_TRUE(failure);
    EXPECT_NE(failure->find("Cannot create"), std::string::npos) << *failure;
    fs::remove_all(dir);
}

TEST(HostileInput, AHomeThatIsNotAPathIsNeverUsed) {
    std::string savedHome = getenv("HOME") ? getenv("HOME") : "";
    std::string savedConfig = getenv("XDG_CONFIG_HOME") ? getenv("XDG_CONFIG_HOME") : "";
    unsetenv("XDG_CONFIG_HOME");
    for (const char* home : {"-rf", "", "relative/home"}) {
        setenv("HOME", home, 1);
        std::string config = vsc::AudioDriverInstaller::defaultConfigHome();
        // The password database's home instead, or nothing at all.
        if (!config.empty()) {
            EXPECT_EQ(config.front(), '/') << home;
        }
        EXPECT_EQ(config.find(home[0] ? home : "\x01"), std::string::npos) << config;
        EXPECT_NE(config, "/.config");
    }
    unsetenv("HOME");
    std::string config = vsc::AudioDriverInstaller::defaultConfigHome();
    EXPECT_TRUE(config.empty() || (config.front() == '/' && config != "/.config")) << config;
    EXPECT_EQ(vsc::AudioDriverInstaller("/nowhere", "").repair({}),
              "No driver bundled in this build");
    setenv("HOME", savedHome.c_str(), 1);
    if (!savedConfig.empty()) setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1);
}

}  // namespace
