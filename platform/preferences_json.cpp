#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <utility>

#include "platform/journal_log.h"
#include "platform/preferences.h"

namespace vsc {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kCategory = "preferences";
constexpr const char* kDateKey = "$date";

std::string errorText(int error) {
    return std::strerror(error);
}

// --- Dates: "YYYY-MM-DDTHH:MM:SS[.fraction]Z" -------------------------------

bool readDigits(const std::string& text, size_t at, size_t count, int& out) {
    if (at + count > text.size()) return false;
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    out = value;
    return true;
}

std::optional<WallTime> parseUtcDate(const std::string& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (text.size() < 20 || !readDigits(text, 0, 4, year) || text[4] != '-' ||
        !readDigits(text, 5, 2, month) || text[7] != '-' || !readDigits(text, 8, 2, day) ||
        text[10] != 'T' || !readDigits(text, 11, 2, hour) || text[13] != ':' ||
        !readDigits(text, 14, 2, minute) || text[16] != ':' || !readDigits(text, 17, 2, second)) {
        return std::nullopt;
    }
    size_t at = 19;
    long long nanoseconds = 0;
    if (text[at] == '.') {
        ++at;
        const size_t first = at;
        long long scale = 100'000'000;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            nanoseconds += (text[at] - '0') * scale;
            scale /= 10;
            ++at;
        }
        if (at == first) return std::nullopt;
    }
    if (at + 1 != text.size() || text[at] != 'Z') return std::nullopt;

    using namespace std::chrono;
    const year_month_day date{std::chrono::year{year}, std::chrono::month{unsigned(month)},
                              std::chrono::day{unsigned(day)}};
    // A leap second (:60) is taken as the first instant of the next minute.
    if (!date.ok() || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    // The clock counts nanoseconds in 64 bits, some 292 years either side of
    // 1970: a date far outside that is no date this program could have
    // written, and would not fit.
    if (year < 1900 || year > 2200) return std::nullopt;
    const auto instant = sys_days{date} + hours{hour} + minutes{minute} +
                         std::chrono::seconds{second} + std::chrono::nanoseconds{nanoseconds};
    return time_point_cast<system_clock::duration>(instant);
}

std::string formatUtcDate(WallTime when) {
    using namespace std::chrono;
    const auto millis = floor<milliseconds>(when);
    const auto day = floor<days>(millis);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{millis - day};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                  int(time.minutes().count()), int(time.seconds().count()),
                  int(time.subseconds().count()));
    return text;
}

// --- JSON <-> values --------------------------------------------------------

PreferenceValue fromJson(const Json& json) {
    if (json.is_string()) return json.get<std::string>();
    if (json.is_boolean()) return json.get<bool>();
    if (json.is_number()) return json.get<double>();
    if (json.is_object() && json.size() == 1) {
        const auto found = json.find(kDateKey);
        if (found != json.end() && found->is_string()) {
            if (auto when = parseUtcDate(found->get<std::string>())) return *when;
        }
    }
    return OtherValue{};
}

Json toJson(const PreferenceValue& value) {
    struct Convert {
        Json operator()(const std::string& text) const { return text; }
        Json operator()(double number) const { return number; }
        Json operator()(bool flag) const { return flag; }
        Json operator()(WallTime when) const { return Json{{kDateKey, formatUtcDate(when)}}; }
        Json operator()(OtherValue) const { return nullptr; }
    };
    return std::visit(Convert{}, value);
}

// --- Files ------------------------------------------------------------------

std::string parentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Creates the folder and any missing folders above it, private to the user.
bool makeFolders(const std::string& folder, int& error) {
    struct stat info {};
    if (stat(folder.c_str(), &info) == 0) return true;
    for (size_t at = 1; at <= folder.size(); ++at) {
        if (at != folder.size() && folder[at] != '/') continue;
        const std::string prefix = folder.substr(0, at);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            error = errno;
            return false;
        }
    }
    return true;
}

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += size_t(written);
    }
    return true;
}

// The file is one flat object whose dates are one level deeper. A file far
// larger or deeper than that is not ours; taken in, deep nesting would
// overflow the stack of the JSON library (it copies values recursively) and
// blow up into a huge pretty-printed file at the next save.
constexpr size_t kMaxFileBytes = 1 << 20;
constexpr int kMaxNesting = 16;

// Counts brackets outside strings, without recursion, so that the parser
// never sees a document nested deeper than the limit.
bool nestsDeeperThan(const std::string& text, int limit) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limit) return true;
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return false;
}

enum class ReadOutcome { Missing, Read, Failed };

// Reads at most limit + 1 bytes, enough to tell that a file is too large.
ReadOutcome readFileUpTo(const std::string& path, size_t limit, std::string& bytes,
                         std::string& reason) {
    // Non-blocking so that a FIFO in the file's place cannot hang the start.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return ReadOutcome::Missing;
        reason = errorText(errno);
        return ReadOutcome::Failed;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        reason = "not a regular file";
        ::close(fd);
        return ReadOutcome::Failed;
    }
    char buffer[65536];
    while (bytes.size() <= limit) {
        const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, limit + 1 - bytes.size()));
        if (got < 0) {
            if (errno == EINTR) continue;
            reason = errorText(errno);
            ::close(fd);
            return ReadOutcome::Failed;
        }
        if (got == 0) break;
        bytes.append(buffer, size_t(got));
    }
    ::close(fd);
    return ReadOutcome::Read;
}

std::string utcStamp() {
    const time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    struct tm parts {};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

// Renames without ever replacing an existing file.
bool renameNoReplace(const std::string& from, const std::string& to, int& error) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    error = errno;
    if (error != EINVAL && error != ENOSYS) return false;
    // The file system cannot refuse for us: check, then rename.
    struct stat info {};
    if (lstat(to.c_str(), &info) == 0) {
        error = EEXIST;
        return false;
    }
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    error = errno;
    return false;
}

// Moves the file at path aside under a name no file has yet; empty on failure.
std::string moveAside(const std::string& path, int& error) {
    const std::string base = path + ".unreadable-" + utcStamp();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string candidate = attempt == 0 ? base : base + "-" + std::to_string(attempt);
        if (renameNoReplace(path, candidate, error)) return candidate;
        if (error != EEXIST) return {};
    }
    return {};
}

}  // namespace

namespace {

// The document a file's bytes hold, or why they are none.
std::optional<Json> parseDocument(std::string_view bytes, std::string& reason) {
    if (bytes.size() > kMaxFileBytes) {
        reason = "larger than 1 MiB";
        return std::nullopt;
    }
    if (nestsDeeperThan(std::string(bytes), kMaxNesting)) {
        reason = "nested more than " + std::to_string(kMaxNesting) + " levels deep";
        return std::nullopt;
    }
    Json parsed = Json::parse(bytes, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_object()) return parsed;
    reason = parsed.is_discarded() ? "not valid JSON" : "not a JSON object";
    return std::nullopt;
}

}  // namespace

DecodedPreferences decodePreferences(std::string_view bytes) {
    DecodedPreferences decoded;
    auto document = parseDocument(bytes, decoded.problem);
    if (!document) return decoded;
    for (auto it = document->begin(); it != document->end(); ++it)
        decoded.values.emplace_back(it.key(), fromJson(it.value()));
    return decoded;
}

struct JsonFilePreferences::State {
    std::string path;
    std::string loadProblem;

    std::mutex mutex;  // guards document, changed and writeQueued
    Json document = Json::object();
    bool changed = false;      // the document differs from what was last written
    bool writeQueued = false;  // a save waits on the writer

    // Held for a whole save, so that saves reach the file in the order their
    // snapshots were taken. Guards what follows.
    std::mutex writeMutex;
    // Off when an unreadable file could not be moved aside: saving would destroy it.
    bool saving = true;
    // A full disk or a read-only folder fails every save alike: one report
    // stands for the whole run of failures until a save goes through.
    bool failing = false;
    int savesCompleted = 0;
    int failuresReported = 0;

    void load();
    // Writes the document when it changed since the last write; the caller holds writeMutex.
    void saveChanges();
    bool save(const std::string& bytes);
};

void JsonFilePreferences::State::load() {
    std::string bytes;
    std::string reason;
    const ReadOutcome outcome = readFileUpTo(path, kMaxFileBytes, bytes, reason);
    if (outcome == ReadOutcome::Missing) return;
    if (outcome == ReadOutcome::Read) {
        if (auto parsed = parseDocument(bytes, reason)) {
            document = std::move(*parsed);
            return;
        }
    }

    int error = 0;
    const std::string aside = moveAside(path, error);
    if (!aside.empty()) {
        loadProblem =
            "Preferences file was unreadable; kept it as " + aside + " and started from defaults";
    } else {
        saving = false;
        loadProblem = "Preferences file " + path + " was unreadable (" + reason +
                      ") and could not be moved aside (" + errorText(error) +
                      "); started from defaults and changes will not be saved";
    }
    journalLog(kSubsystem, kCategory, loadProblem);
}

void JsonFilePreferences::State::saveChanges() {
    if (!saving) return;
    std::string bytes;
    {
        std::lock_guard<std::mutex> hold(mutex);
        if (!changed) return;
        changed = false;
        bytes = document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    }
    if (save(bytes)) return;
    // Kept for the next change or flush to try again.
    std::lock_guard<std::mutex> hold(mutex);
    changed = true;
}

bool JsonFilePreferences::State::save(const std::string& bytes) {
    const std::string folder = parentOf(path);
    std::string temporary = path + ".tmp-XXXXXX";
    auto fail = [&](const char* step, int error) {
        if (!failing) {
            failing = true;
            ++failuresReported;
            journalLog(kSubsystem, kCategory,
                       "Could not save preferences to " + path + " (" + step + ": " +
                           errorText(error) +
                           "); changes stay in memory and are saved again with the next change "
                           "or when the program ends");
        }
        return false;
    };

    int error = 0;
    if (!makeFolders(folder, error)) return fail("creating the folder", error);
    // A new file under a name nobody can guess, created exclusively: a link
    // planted in the folder is never opened, so never written through.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return fail("creating the temporary file", errno);
    // 0600 whatever the umask took away.
    if (fchmod(fd, 0600) != 0 || !writeAll(fd, bytes) || fsync(fd) != 0) {
        error = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        return fail("writing the temporary file", error);
    }
    if (::close(fd) != 0) {
        error = errno;
        ::unlink(temporary.c_str());
        return fail("closing the temporary file", error);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
        ::unlink(temporary.c_str());
        return fail("replacing the file", error);
    }
    ++savesCompleted;
    // The file is replaced from here on; a folder that cannot be synced is only reported.
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        fail("opening the folder", errno);
        return true;
    }
    // Some file systems cannot sync a folder (EINVAL); the rename stands anyway.
    if (fsync(folderFd) != 0 && errno != EINVAL) {
        fail("syncing the folder", errno);
    } else {
        failing = false;
    }
    ::close(folderFd);
    return true;
}

JsonFilePreferences::JsonFilePreferences(std::string path, std::shared_ptr<SerialQueue> writer)
    : state_(std::make_shared<State>()), writer_(std::move(writer)) {
    state_->path = path.empty() ? defaultPath() : std::move(path);
    state_->load();
    if (!writer_) writer_ = std::make_shared<ThreadSerialQueue>("vsc.virtualcam.preferences");
}

JsonFilePreferences::~JsonFilePreferences() {
    flush();
    // A save the writer is running ends before the queue does.
    writer_.reset();
}

std::optional<PreferenceValue> JsonFilePreferences::object(const std::string& key) {
    std::lock_guard<std::mutex> hold(state_->mutex);
    const auto found = state_->document.find(key);
    if (found == state_->document.end()) return std::nullopt;
    return fromJson(*found);
}

void JsonFilePreferences::set(const std::string& key, const PreferenceValue& value) {
    bool queue = false;
    {
        std::lock_guard<std::mutex> hold(state_->mutex);
        Json& document = state_->document;
        Json wanted = toJson(value);
        const auto found = document.find(key);
        if (found == document.end()) {
            document.emplace(key, std::move(wanted));
        } else {
            // Setting "no meaningful value" over a value the program does not
            // understand leaves that value alone.
            if (std::holds_alternative<OtherValue>(value) &&
                std::holds_alternative<OtherValue>(fromJson(*found))) {
                return;
            }
            // Equal as a value (a date or a whole number may be spelt
            // otherwise in a hand-written file) or equal as written.
            if (fromJson(*found) == value || *found == wanted) return;
            *found = std::move(wanted);
        }
        state_->changed = true;
        queue = !std::exchange(state_->writeQueued, true);
    }
    if (queue) queueSave();
}

void JsonFilePreferences::remove(const std::string& key) {
    bool queue = false;
    {
        std::lock_guard<std::mutex> hold(state_->mutex);
        if (state_->document.erase(key) == 0) return;
        state_->changed = true;
        queue = !std::exchange(state_->writeQueued, true);
    }
    if (queue) queueSave();
}

void JsonFilePreferences::queueSave() {
    writer_->asyncAfter(kWriteDelaySeconds, [weak = std::weak_ptr<State>(state_)] {
        const auto state = weak.lock();
        if (!state) return;
        std::lock_guard<std::mutex> write(state->writeMutex);
        {
            std::lock_guard<std::mutex> hold(state->mutex);
            state->writeQueued = false;
        }
        state->saveChanges();
    });
}

void JsonFilePreferences::flush() {
    std::lock_guard<std::mutex> write(state_->writeMutex);
    state_->saveChanges();
}

int JsonFilePreferences::savesCompleted() const {
    std::lock_guard<std::mutex> write(state_->writeMutex);
    return state_->savesCompleted;
}

int JsonFilePreferences::saveFailuresReported() const {
    std::lock_guard<std::mutex> write(state_->writeMutex);
    return state_->failuresReported;
}

const std::string& JsonFilePreferences::path() const {
    return state_->path;
}

const std::string& JsonFilePreferences::loadProblem() const {
    return state_->loadProblem;
}

std::string JsonFilePreferences::defaultPath() {
    static constexpr const char* kTail = "vendaroscope-virtualcam/preferences.json";
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return std::string(config) + "/" + kTail;

    std::string home;
    if (const char* variable = std::getenv("HOME"); variable != nullptr && variable[0] != '\0') {
        home = variable;
    } else {
        struct passwd entry {};
        struct passwd* result = nullptr;
        char buffer[4096];
        if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &result) == 0 &&
            result != nullptr && result->pw_dir != nullptr) {
            home = result->pw_dir;
        }
    }
    if (home.empty()) return std::string(".config/") + kTail;
    if (home.back() != '/') home += '/';
    return home + ".config/" + kTail;
}

}  // namespace vsc
