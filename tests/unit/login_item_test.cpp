// The login item as an XDG autostart entry, and the model's open-at-login
// field, which always shows what the desktop really has.
#include "platform/login_item.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/model_ports.h"

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class LoginItemTest : public vsc::test::IsolatedModelTest {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vsc-login-XXXXXX";
        dir = mkdtemp(pattern);
    }
    void TearDown() override {
        IsolatedModelTest::TearDown();
        fs::remove_all(dir);
    }
    fs::path dir;
};

TEST_F(LoginItemTest, TheEntryStartsTheProgramAndTheModelShowsWhatIsThere) {
    const fs::path entry = dir / "autostart" / "vendaroscope-virtualcam.desktop";
    // A program path the desktop would split or expand unless quoted.
    auto item =
        std::make_shared<vsc::XdgAutostartLoginItem>(entry.string(), "/opt/my apps/v\"c$\\x");
    vsc::AppModel::Ports p = ports();
    p.loginItem = item;
    auto model = create(p);
    EXPECT_FALSE(model->openAtLogin());

    model->setOpenAtLogin(true);
    EXPECT_TRUE(model->openAtLogin());
    EXPECT_EQ(model->loginItemNote(), "");
    const std::string text = readFile(entry);
    EXPECT_NE(text.find("[Desktop Entry]\nType=Application\n"), std::string::npos) << text;
    // Quoted, with ", ` and $ escaped once and the backslash twice over.
    EXPECT_NE(text.find("\nExec=\"/opt/my apps/v\\\\\"c\\\\$\\\\\\\\x\"\n"), std::string::npos)
        << text;

    // Switched off by the desktop's own settings: not registered any more.
    std::ofstream(entry, std::ios::app) << "Hidden=true\n";
    EXPECT_EQ(item->status(), vsc::LoginItemStatus::notRegistered);
    model->setOpenAtLogin(true);  // written anew, on again
    EXPECT_TRUE(model->openAtLogin());

    model->setOpenAtLogin(false);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_FALSE(model->openAtLogin());

    // A folder that cannot be made (a file stands in its way): logged, and
    // the field shows that nothing is registered.
    std::ofstream(dir / "blocked") << "x";
    p.loginItem = std::make_shared<vsc::XdgAutostartLoginItem>(
        (dir / "blocked" / "autostart" / "x.desktop").string(), "/usr/bin/true");
    auto other = create(p);
    logs.clear();
    other->setOpenAtLogin(true);
    EXPECT_FALSE(other->openAtLogin());
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].rfind("Open at login: ", 0), 0u) << logs[0];
}

}  // namespace
