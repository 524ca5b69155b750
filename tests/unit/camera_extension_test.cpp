#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/camera/camera_extension_installer.h"

namespace fs = std::filesystem;
using vsc::CameraExtensionInstaller;
using vsc::CameraExtensionState;

namespace {

vsc::WallTime at(double seconds) {
    return vsc::WallTime(std::chrono::duration_cast<vsc::WallTime::duration>(
        std::chrono::hours(24 * 365 * 50) + vsc::Seconds(seconds)));
}

struct StateCase {
    const char* name;
    CameraExtensionInstaller::Facts facts;
    CameraExtensionState state;
    std::string summary;
};

CameraExtensionInstaller::Facts facts(std::optional<std::string> installed, bool visible,
                                      std::optional<double> missingFor = std::nullopt) {
    CameraExtensionInstaller::Facts f;
    f.installed = std::move(installed);
    f.embedded = "1.0 (4)";
    f.cameraVisible = visible;
    f.now = at(100);
    if (missingFor) f.cameraMissingSince = at(100 - *missingFor);
    return f;
}

// Each rule is checked with the inputs of the rules below it set so that they
// would decide otherwise: only the order makes the first one win.
TEST(CameraExtensionStateRules, TheFirstRuleThatAppliesDecidesAndSaysItsWords) {
    std::vector<StateCase> cases;
    {
        auto f = facts("1.0 (4)", true);
        f.requestStatus = "Requesting activation…";
        f.outcome = vsc::ExtensionRebootRequired{};
        cases.push_back({"StatusBeatsOutcome", f, vsc::ExtensionBusy{"Requesting activation…"},
                         "Requesting activation…"});
        f.requestStatus.reset();
        cases.push_back({"OutcomeBeatsInstalled", f, vsc::ExtensionRebootRequired{},
                         "Restart your computer to finish installing the camera"});
        f.outcome = vsc::ExtensionFailed{"The operation couldn’t be completed."};
        cases.push_back({"Failed", f, vsc::ExtensionFailed{"The operation couldn’t be completed."},
                         "Failed: The operation couldn’t be completed."});
        f.outcome = vsc::ExtensionAwaitingApproval{};
        cases.push_back(
            {"AwaitingApproval", f, vsc::ExtensionAwaitingApproval{},
             "Waiting for approval in System Settings › General › Login Items & Extensions"});
    }
    cases.push_back({"NoneActiveEvenWhileVisible", facts("", true), vsc::ExtensionNotInstalled{},
                     "Not installed — the “Vendaroscope Program” camera is unavailable"});
    cases.push_back({"OutdatedEvenWhileVisible", facts("1.0 (3)", true),
                     vsc::ExtensionOutdated{"1.0 (3)", "1.0 (4)"},
                     "Installed v1.0 (3), this app ships v1.0 (4) — click Install / update"});
    {
        auto f = facts("1.0 (3)", true);
        f.embedded.reset();  // nothing to compare with
        cases.push_back({"UnreadableEmbeddedCopy", f, vsc::ExtensionOk{"1.0 (3)"},
                         "Installed · v1.0 (3) · visible to apps"});
    }
    cases.push_back({"NotYetMissing", facts("1.0 (4)", false), vsc::ExtensionStarting{"1.0 (4)"},
                     "Installed v1.0 (4) — waiting for the camera service to start the camera…"});
    cases.push_back({"Missing7.9s", facts("1.0 (4)", false, 7.9), vsc::ExtensionStarting{"1.0 (4)"},
                     "Installed v1.0 (4) — waiting for the camera service to start the camera…"});
    cases.push_back({"Missing8s", facts("1.0 (4)", false, 8.0),
                     vsc::ExtensionNotStarted{"1.0 (4)", false},
                     "Installed v1.0 (4), but the camera service has not started the camera — "
                     "apps can't see it"});
    {
        auto f = facts("1.0 (4)", false, 8.0);
        f.cameraServiceRestarted = true;
        cases.push_back(
            {"Missing8sAfterARestart", f, vsc::ExtensionNotStarted{"1.0 (4)", true},
             "Installed v1.0 (4), still not started by the camera service — restart your "
             "computer"});
    }
    {
        auto f = facts(std::nullopt, true);
        f.lookupFailed = true;
        cases.push_back({"UnknownVersionVisible", f, vsc::ExtensionOk{"?"},
                         "Installed · v? · visible to apps"});
        f.cameraVisible = false;
        cases.push_back({"LookupFailedNotVisible", f, vsc::ExtensionNotInstalled{},
                         "Not installed — the “Vendaroscope Program” camera is unavailable"});
    }
    cases.push_back(
        {"NothingKnown", facts(std::nullopt, false, 30), vsc::ExtensionChecking{}, "Checking…"});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CameraExtensionState state = CameraExtensionInstaller::state(c.facts);
        EXPECT_EQ(state, c.state);
        EXPECT_EQ(vsc::summary(state), c.summary);
    }
}

TEST(CameraExtensionStateRules, VersionLabelsComeFromTheManifestAndTheSystemsRecord) {
    char pattern[] = "/tmp/vsc-manifest-XXXXXX";
    fs::path dir = mkdtemp(pattern);
    auto write = [&](const std::string& text) {
        fs::create_directories(dir / CameraExtensionInstaller::kIdentifier);
        std::ofstream(CameraExtensionInstaller::manifestPath(dir.string()), std::ios::binary)
            << text;
    };
    auto embedded = [&] { return CameraExtensionInstaller::embeddedVersion(dir.string()); };
    EXPECT_EQ(embedded(), std::nullopt);  // no manifest
    write(R"({"CFBundleShortVersionString": "1.4", "CFBundleVersion": "27"})");
    EXPECT_EQ(embedded(), "1.4 (27)");
    write(R"({"CFBundleShortVersionString": 1.4, "other": "27"})");
    EXPECT_EQ(embedded(), "? (?)");  // not text, absent
    write(R"(["1.4", "27"])");
    EXPECT_EQ(embedded(), std::nullopt);  // not an object
    write(R"({"CFBundleShortVersionString": "1.4")");
    EXPECT_EQ(embedded(), std::nullopt);
    // A valid object padded beyond the limit is not read at all.
    write(std::string(CameraExtensionInstaller::kManifestLimit, ' ') +
          R"({"CFBundleShortVersionString": "1.4", "CFBundleVersion": "27"})");
    EXPECT_EQ(embedded(), std::nullopt);

    EXPECT_EQ(CameraExtensionInstaller::versionLabel({true, false, "1.0", "3"}), "1.0 (3)");
    EXPECT_EQ(CameraExtensionInstaller::versionLabel({true, false, "", ""}), "? (?)");
    fs::remove_all(dir);
}

}  // namespace
