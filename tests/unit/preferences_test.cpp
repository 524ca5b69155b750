#include "platform/preferences.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "support/fakes.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using vsc::JsonFilePreferences;
using vsc::OtherValue;
using vsc::PreferenceValue;
using vsc::WallTime;

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void spit(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

WallTime utc(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms = 0) {
    return sys_days{year{y} / mo / d} + hours{h} + minutes{mi} + seconds{s} + milliseconds{ms};
}

class PreferencesFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vsc-prefs-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        file = (dir / "preferences.json").string();
    }
    void TearDown() override { fs::remove_all(dir); }
    nlohmann::json onDisk() const { return nlohmann::json::parse(slurp(file)); }

    fs::path dir;
    std::string file;
};

TEST_F(PreferencesFile, EveryTypeAndOddKeysReadBackThroughASecondStore) {
    const std::vector<std::pair<std::string, PreferenceValue>> values = {
        {"name", std::string("Caf\xC3\xA9 \"quoted\"\n\t\xF0\x9F\x8E\xA5 back\\slash")},
        {"empty", std::string()},
        {"ratio", 0.1 + 0.2},
        {"whole", 42.0},
        {"negative", -1e300},
        {"on", true},
        {"off", false},
        {"when", utc(2026, 12, 8, 21, 25, 21, 123)},
        {"before 1970", utc(1969, 7, 20, 20, 17, 40, 5)},
        {"", std::string("empty key")},
        {"$date", std::string("not a date, just a key")},
        {"sp ace/sl\xC3\xA4sh.dot", true},
    };
    {
        JsonFilePreferences prefs(file);
        EXPECT_TRUE(prefs.loadProblem().empty());
        for (const auto& [key, value] : values) prefs.set(key, value);
        for (const auto& [key, value] : values) EXPECT_EQ(prefs.object(key), value) << key;
    }
    JsonFilePreferences again(file);
    EXPECT_TRUE(again.loadProblem().empty());
    for (const auto& [key, value] : values) EXPECT_EQ(again.object(key), value) << key;
    EXPECT_EQ(again.object("absent"), std::nullopt);
}

TEST_F(PreferencesFile, FileIsPrivatePrettyJsonWithTaggedMillisecondDates) {
    const mode_t umaskBefore = umask(0222);  // even one that takes the owner's write bit
    JsonFilePreferences prefs(file);
    prefs.set("when", utc(2026, 12, 8, 21, 25, 21, 123) + microseconds{999});
    prefs.flush();
    umask(umaskBefore);
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    prefs.set("name", std::string("x"));
    prefs.set("name", std::string("y"));  // replaced where it stands
    prefs.flush();
    EXPECT_EQ(onDisk(), nlohmann::json::parse(
                            R"({"when": {"$date": "2026-12-08T21:25:21.123Z"}, "name": "y"})"));
    EXPECT_NE(slurp(file).find("\n  \"name\": \"y\""), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    // What is kept in memory is what the next launch will read.
    EXPECT_EQ(prefs.date("when"), utc(2026, 12, 8, 21, 25, 21, 123));
}

TEST_F(PreferencesFile, HandWrittenDatesAndUnknownValuesAreUnderstoodAndKept) {
    const auto unknown = nlohmann::json::parse(R"({
        "nothing": null, "list": [1, "two", {"three": 3}], "nested": {"a": {"b": []}},
        "dateAndMore": {"$date": "2026-12-08T21:25:21Z", "x": 1},
        "badDate": {"$date": "2026-13-08T21:25:21Z"}, "numberDate": {"$date": 5},
        "beyondTheClock": {"$date": "1508-12-09T10:00:00.126Z"}})");
    auto contents = unknown;
    contents["plain"] = nlohmann::json{{"$date", "2026-12-08T21:25:21Z"}};
    contents["fraction"] = nlohmann::json{{"$date", "2026-12-08T21:25:21.5Z"}};
    contents["count"] = 7;
    spit(file, contents.dump());

    JsonFilePreferences prefs(file);
    EXPECT_TRUE(prefs.loadProblem().empty());
    EXPECT_EQ(prefs.date("plain"), utc(2026, 12, 8, 21, 25, 21));
    EXPECT_EQ(prefs.date("fraction"), utc(2026, 12, 8, 21, 25, 21, 500));
    EXPECT_EQ(prefs.object("count"), PreferenceValue(7.0));
    for (const auto& [key, value] : unknown.items())
        EXPECT_EQ(prefs.object(key), PreferenceValue(OtherValue{})) << key;

    prefs.set("added", true);
    prefs.set("list", OtherValue{});  // means nothing, so the list stays
    prefs.flush();
    const auto written = onDisk();
    for (const auto& [key, value] : unknown.items()) EXPECT_EQ(written.at(key), value) << key;
    EXPECT_EQ(written.at("added"), true);
}

TEST_F(PreferencesFile, UnreadableFilesAreMovedAsideIntactAndReplacedByAFreshOne) {
    const std::vector<std::pair<const char*, std::string>> corruptions = {
        {"cut short", R"({"a": 1,)"},
        {"an array", "[1, 2, 3]"},
        {"a bare number", "42"},
        {"binary junk", std::string("\0\xff\xfe{\x01", 6)},
        {"empty", ""},
        {"bad UTF-8", "{\"a\": \"\xff\"}"},
    };
    for (const auto& [label, bytes] : corruptions) {
        SCOPED_TRACE(label);
        fs::remove_all(dir);
        fs::create_directory(dir);
        spit(file, bytes);

        JsonFilePreferences prefs(file);
        const std::string aside = file + ".unreadable-";
        std::vector<fs::path> asides;
        for (const auto& entry : fs::directory_iterator(dir)) asides.push_back(entry.path());
        ASSERT_EQ(asides.size(), 1u);
        EXPECT_EQ(asides[0].string().rfind(aside, 0), 0u) << asides[0];
        EXPECT_EQ(asides[0].string().size(), aside.size() + 16);  // YYYYmmddTHHMMSSZ
        EXPECT_EQ(slurp(asides[0]), bytes);
        EXPECT_NE(prefs.loadProblem().find(asides[0].string()), std::string::npos)
            << prefs.loadProblem();
        EXPECT_EQ(prefs.object("a"), std::nullopt);

        prefs.set("a", true);
        prefs.flush();
        EXPECT_EQ(onDisk(), nlohmann::json::parse(R"({"a": true})"));
        EXPECT_TRUE(JsonFilePreferences(file).loadProblem().empty());
    }
}

TEST_F(PreferencesFile, RepeatedFailuresNeverOverwriteAnEarlierAsideCopy) {
    fs::create_directory(file);  // a folder where the file should be
    spit(fs::path(file) / "inside", "kept");
    EXPECT_FALSE(JsonFilePreferences(file).loadProblem().empty());
    spit(file, "second");
    EXPECT_FALSE(JsonFilePreferences(file).loadProblem().empty());
    spit(file, "third");
    EXPECT_FALSE(JsonFilePreferences(file).loadProblem().empty());

    std::multiset<std::string> kept;
    for (const auto& entry : fs::directory_iterator(dir))
        kept.insert(entry.is_directory() ? slurp(entry.path() / "inside") : slurp(entry.path()));
    EXPECT_EQ(kept, (std::multiset<std::string>{"kept", "second", "third"}));
}

TEST_F(PreferencesFile, RemoveDeletesFromTheFile) {
    JsonFilePreferences prefs(file);
    prefs.set("a", 1.0);
    prefs.set("b", 2.0);
    prefs.remove("a");
    prefs.remove("never there");
    prefs.flush();
    EXPECT_EQ(prefs.object("a"), std::nullopt);
    EXPECT_EQ(onDisk(), nlohmann::json::parse(R"({"b": 2})"));
    EXPECT_EQ(JsonFilePreferences(file).object("a"), std::nullopt);
}

TEST_F(PreferencesFile, MissingFoldersAreCreatedPrivateAndAFailedSaveKeepsTheValue) {
    const fs::path deep = dir / "one" / "two";
    JsonFilePreferences prefs((deep / "preferences.json").string());
    EXPECT_FALSE(fs::exists(deep));  // nothing is written before the first change
    prefs.set("k", std::string("v"));
    prefs.flush();
    EXPECT_EQ(JsonFilePreferences((deep / "preferences.json").string()).string("k"), "v");
    EXPECT_EQ(fs::status(deep).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(dir / "one").permissions(), fs::perms::owner_all);

    spit(dir / "plain-file", "");  // cannot hold a folder, even for root
    JsonFilePreferences stuck((dir / "plain-file" / "preferences.json").string());
    EXPECT_TRUE(stuck.loadProblem().empty());
    stuck.set("k", 5.0);
    EXPECT_EQ(stuck.doubleValue("k"), 5.0);
}

TEST_F(PreferencesFile, ConcurrentWritersAllLandThroughTheStoresOwnWriter) {
    JsonFilePreferences prefs(file);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 8; ++i) {
                prefs.set(std::to_string(t) + "-" + std::to_string(i), double(i));
                EXPECT_EQ(prefs.doubleValue(std::to_string(t) + "-0"), 0.0);
            }
        });
    for (auto& writer : writers) writer.join();
    // Nobody flushes: the store's writer thread saves by itself.
    EXPECT_TRUE(vsc::test::eventually([&] {
        return nlohmann::json::parse(slurp(file), nullptr, false).size() == 32u;
    })) << slurp(file);
}

TEST_F(PreferencesFile, ABurstOfChangesIsOneWriteOffTheCallerAndNothingIsLostAtTheEnd) {
    spit(file, R"({"count": 7, "when": {"$date": "2026-12-08T21:25:21Z"}, "gone": 1})");
    auto writer = std::make_shared<vsc::test::ManualSerialQueue>();
    {
        JsonFilePreferences prefs(file, writer);
        for (int step = 0; step <= 100; ++step) prefs.set("videoDelayMs", double(step));
        prefs.set("pcrHost", std::string("10.0.0.5"));
        prefs.remove("gone");
        // Answered from memory at once; the file waits for the writer.
        EXPECT_EQ(prefs.doubleValue("videoDelayMs"), 100.0);
        EXPECT_TRUE(onDisk().contains("gone"));
        EXPECT_EQ(writer->delays, std::vector<double>{JsonFilePreferences::kWriteDelaySeconds});
        writer->runAll();
        EXPECT_EQ(prefs.savesCompleted(), 1);
        EXPECT_EQ(onDisk(), nlohmann::json::parse(R"({"count": 7, "videoDelayMs": 100,
            "when": {"$date": "2026-12-08T21:25:21Z"}, "pcrHost": "10.0.0.5"})"));

        // Storing what is stored already, however the file spells it, and
        // removing what is absent write nothing.
        prefs.set("pcrHost", std::string("10.0.0.5"));
        prefs.set("videoDelayMs", 100.0);
        prefs.set("count", 7.0);
        prefs.set("when", utc(2026, 12, 8, 21, 25, 21));
        prefs.remove("gone");
        prefs.flush();
        EXPECT_EQ(writer->delays.size(), 1u);
        EXPECT_EQ(prefs.savesCompleted(), 1);
        // A date finer than the file's milliseconds is not written again either.
        prefs.set("precise", utc(2026, 1, 2, 3, 4, 5) + microseconds{250});
        writer->runAll();
        prefs.set("precise", utc(2026, 1, 2, 3, 4, 5) + microseconds{250});
        prefs.flush();
        EXPECT_EQ(writer->delays.size(), 2u);
        EXPECT_EQ(prefs.savesCompleted(), 2);

        // flush writes what is pending at once; the save still queued finds nothing to do.
        prefs.set("ndiEnabled", true);
        prefs.flush();
        EXPECT_EQ(onDisk().at("ndiEnabled"), true);
        writer->runAll();
        EXPECT_EQ(prefs.savesCompleted(), 3);

        prefs.set("ndiName", std::string("last words"));
    }
    EXPECT_EQ(onDisk().value("ndiName", ""), "last words");
    writer->runAll();  // a save queued by a store that is gone does nothing
    EXPECT_EQ(JsonFilePreferences(file).string("ndiName"), "last words");
}

// Every write to a regular file beyond a few bytes fails, as on a full disk;
// unlike a read-only folder this holds for root too.
class FullDisk {
  public:
    FullDisk() {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = signal(SIGXFSZ, SIG_IGN);
        rlimit tiny = saved_;
        tiny.rlim_cur = 16;
        setrlimit(RLIMIT_FSIZE, &tiny);
    }
    ~FullDisk() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previous_);
    }

  private:
    rlimit saved_{};
    sighandler_t previous_ = SIG_DFL;
};

TEST_F(PreferencesFile, OnAFullDiskTheOldFileStaysTheValuesLiveAndTheFailureIsReportedOnce) {
    auto writer = std::make_shared<vsc::test::ManualSerialQueue>();
    {
        JsonFilePreferences prefs(file, writer);
        prefs.set("a", 1.0);
        prefs.flush();
        const std::string before = slurp(file);
        {
            FullDisk full;
            prefs.set("b", std::string(100, 'b'));
            writer->runAll();
            prefs.set("c", true);
            writer->runAll();
            prefs.flush();
        }
        EXPECT_EQ(prefs.saveFailuresReported(), 1);
        EXPECT_EQ(prefs.savesCompleted(), 1);
        EXPECT_EQ(slurp(file), before);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
        EXPECT_EQ(prefs.string("b"), std::string(100, 'b'));
        EXPECT_TRUE(prefs.boolValue("c"));

        // Room again: what failed goes out with the next flush, with no new change.
        prefs.flush();
        EXPECT_EQ(onDisk(), nlohmann::json::parse(R"({"a": 1, "b": ")" + std::string(100, 'b') +
                                                  R"(", "c": true})"));
        // A later failure is a new run, reported again.
        {
            FullDisk full;
            prefs.set("d", std::string(100, 'd'));
            writer->runAll();
        }
        EXPECT_EQ(prefs.saveFailuresReported(), 2);
    }
    EXPECT_EQ(onDisk().value("d", ""), std::string(100, 'd'));
}

// A private scratch folder for the cases that need no fixture of their own.
struct ScratchFolder {
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "vsc-prefs-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~ScratchFolder() {
        if (!path.empty()) fs::remove_all(path);
    }
    fs::path path;
};

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

TEST(HostileInput, PreferencesFilesTooDeepOrTooLargeAreSetAsideAndDefaultsApply) {
    auto nested = [](int levels) {
        std::string text = "{\"a\": ";
        for (int i = 0; i < levels; ++i) text += i % 2 ? "{\"k\": " : "[";
        text += "1";
        for (int i = levels - 1; i >= 0; --i) text += i % 2 ? "}" : "]";
        return text + "}";
    };
    const std::vector<std::pair<const char*, std::string>> hostile = {
        {"100k levels", nested(100'000)},
        {"20k levels", nested(20'000)},
        {"17 levels", nested(16)},
        {"2 MiB", "{\"a\": \"" + std::string(2 << 20, 'x') + "\"}"},
        {"1 MiB and a byte", "{\"a\": \"" + std::string((1 << 20) - 8, 'x') + "\"}"},
    };
    for (const auto& [label, bytes] : hostile) {
        SCOPED_TRACE(label);
        ScratchFolder scratch;
        const fs::path folder = scratch.path / "prefs";
        fs::create_directory(folder);
        const std::string file = (folder / "preferences.json").string();
        spit(file, bytes);

        JsonFilePreferences prefs(file);
        EXPECT_NE(prefs.loadProblem().find("unreadable"), std::string::npos);
        EXPECT_EQ(prefs.object("a"), std::nullopt);
        const auto names = namesIn(folder);
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(names.begin()->rfind("preferences.json.unreadable-", 0), 0u);
        EXPECT_TRUE(slurp(folder / *names.begin()) == bytes);

        prefs.set("k", true);
        prefs.flush();
        const std::string saved = slurp(file);
        EXPECT_TRUE(saved == "{\n  \"k\": true\n}\n") << saved.substr(0, 100);
        EXPECT_EQ(namesIn(scratch.path), std::set<std::string>{"prefs"});
    }

    // Just inside the limits (16 levels, 1 MiB) and with brackets inside strings: read as usual.
    ScratchFolder scratch;
    const std::string file = (scratch.path / "preferences.json").string();
    const std::string head = "{\"text\": \"" + std::string(1000, '[') +
                             "\\\"{\", \"deep\": " + nested(14) + ", \"pad\": \"";
    spit(file, head + std::string((1 << 20) - head.size() - 2, 'x') + "\"}");
    ASSERT_EQ(fs::file_size(file), size_t(1) << 20);
    JsonFilePreferences prefs(file);
    EXPECT_EQ(prefs.loadProblem(), "");
    EXPECT_EQ(prefs.string("text"), std::string(1000, '[') + "\"{");
    EXPECT_EQ(prefs.object("deep"), PreferenceValue(OtherValue{}));
}

TEST(HostileInput, PreferencesSavesNeverWriteThroughLinksPlantedInTheFolder) {
    ScratchFolder scratch;
    const fs::path outside = scratch.path / "outside";
    const fs::path folder = scratch.path / "prefs";
    fs::create_directory(outside);
    fs::create_directory(folder);
    const std::string file = (folder / "preferences.json").string();
    const std::string fixedTemporary = file + ".tmp-" + std::to_string(getpid());
    const std::vector<std::string> otherNames = {file + ".tmp", file + ".tmp-0", file + ".new",
                                                 file + "~"};

    // Links to victims outside: the file itself, the temporary name saves
    // used to take, and other names a save might pick.
    std::map<fs::path, std::string> victims;
    auto victim = [&](const std::string& name, const std::string& bytes) {
        const fs::path target = outside / name;
        spit(target, bytes);
        victims[target] = bytes;
        return target;
    };
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "hard link at the file, symbolic link at the temporary name"
                                : "symbolic link at the file, hard link at the temporary name");
        for (const auto& entry : fs::directory_iterator(folder)) fs::remove(entry.path());
        const std::string r = std::to_string(round);
        const auto stored = victim("stored" + r, R"({"x": )" + r + "}");
        const auto temporary = victim("temporary" + r, "not yours " + r);
        if (round == 0) {
            fs::create_hard_link(stored, file);
            fs::create_symlink(temporary, fixedTemporary);
        } else {
            fs::create_symlink(stored, file);
            fs::create_hard_link(temporary, fixedTemporary);
        }
        for (size_t i = 0; i < otherNames.size(); ++i) {
            const auto target = victim("other" + r + "-" + std::to_string(i), "other");
            if (i % 2) {
                fs::create_hard_link(target, otherNames[i]);
            } else {
                fs::create_symlink(target, otherNames[i]);
            }
        }

        JsonFilePreferences prefs(file);
        EXPECT_EQ(prefs.doubleValue("x"), double(round));
        for (int i = 0; i < 3; ++i) {
            prefs.set("saved", double(i));
            prefs.flush();
        }
        EXPECT_EQ(prefs.savesCompleted(), 3);
        EXPECT_EQ(prefs.saveFailuresReported(), 0);
        EXPECT_EQ(fs::symlink_status(file).type(), fs::file_type::regular);
        EXPECT_EQ(fs::hard_link_count(file), 1u);
        EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(JsonFilePreferences(file).doubleValue("saved"), 2.0);
        // Only what was planted stays beside the file: no temporary file is left behind.
        EXPECT_EQ(namesIn(folder).size(), 2 + otherNames.size());
        for (const auto& [target, bytes] : victims) EXPECT_EQ(slurp(target), bytes) << target;
    }
    EXPECT_EQ(namesIn(scratch.path), (std::set<std::string>{"outside", "prefs"}));
}

TEST(PreferencesReaders, DefaultsAndCrossTypeRules) {
    vsc::MemoryPreferences prefs;
    EXPECT_EQ(prefs.string("x"), "");
    EXPECT_EQ(prefs.doubleValue("x"), 0.0);
    EXPECT_FALSE(prefs.boolValue("x"));
    EXPECT_EQ(prefs.date("x"), std::nullopt);

    prefs.set("yes", true);
    prefs.set("no", false);
    prefs.set("zero", 0.0);
    prefs.set("half", -0.5);
    prefs.set("text", std::string("true"));
    prefs.set("when", utc(2026, 1, 1, 0, 0, 0));
    prefs.set("other", OtherValue{});
    EXPECT_EQ(prefs.doubleValue("yes"), 1.0);
    EXPECT_EQ(prefs.doubleValue("no"), 0.0);
    EXPECT_TRUE(prefs.boolValue("half"));
    EXPECT_FALSE(prefs.boolValue("zero"));
    EXPECT_FALSE(prefs.boolValue("text"));
    EXPECT_EQ(prefs.doubleValue("text"), 0.0);
    EXPECT_EQ(prefs.string("half"), "");
    EXPECT_EQ(prefs.string("when"), "");
    EXPECT_EQ(prefs.date("when"), utc(2026, 1, 1, 0, 0, 0));
    EXPECT_EQ(prefs.date("text"), std::nullopt);
    EXPECT_FALSE(prefs.boolValue("other"));
    EXPECT_EQ(prefs.object("other"), PreferenceValue(OtherValue{}));

    prefs.set("half", std::string("replaced"));
    EXPECT_EQ(prefs.string("half"), "replaced");
    prefs.remove("half");
    EXPECT_EQ(prefs.object("half"), std::nullopt);
}

TEST(PreferencesDefaultPath, FollowsXdgConfigHomeElseHome) {
    auto saved = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto xdg = saved("XDG_CONFIG_HOME"), home = saved("HOME");
    const std::string tail = "/vendaroscope-virtualcam/preferences.json";

    setenv("HOME", "/home/tester", 1);
    setenv("XDG_CONFIG_HOME", "/xdg/config", 1);
    EXPECT_EQ(JsonFilePreferences::defaultPath(), "/xdg/config" + tail);
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(JsonFilePreferences::defaultPath(), "/home/tester/.config" + tail);
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(JsonFilePreferences::defaultPath(), "/home/tester/.config" + tail);
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(JsonFilePreferences::defaultPath(), "/home/tester/.config" + tail);

    for (const auto& [name, value] : {std::pair{"XDG_CONFIG_HOME", xdg}, std::pair{"HOME", home}}) {
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
}

}  // namespace
