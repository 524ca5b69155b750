#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_queue.h"

namespace vsc {

// One stored preference value. Other JSON values (null, arrays, objects that
// are not dates) read as Other: they are kept in the file untouched but mean
// nothing to the program.
struct OtherValue {
    bool operator==(const OtherValue&) const = default;
};
using PreferenceValue = std::variant<std::string, double, bool, WallTime, OtherValue>;

// The per-user preferences store: typed values under string keys, read once
// and written back after every change.
class Preferences {
  public:
    virtual ~Preferences() = default;

    // The untyped value, absent when the key is not stored.
    virtual std::optional<PreferenceValue> object(const std::string& key) = 0;

    // Typed readers: an absent key or a value of another type gives the
    // default: "" for strings; 0 for doubles (a Bool reads as 1 or 0); false for
    // Bools (a number reads as true when it is not 0).
    std::string string(const std::string& key);
    double doubleValue(const std::string& key);
    bool boolValue(const std::string& key);
    std::optional<WallTime> date(const std::string& key);

    virtual void set(const std::string& key, const PreferenceValue& value) = 0;
    virtual void remove(const std::string& key) = 0;

    // Returns once everything set so far is stored for good; called before the
    // program ends, since writing back may lag behind the setters.
    virtual void flush() = 0;
};

// The store as a JSON file, $XDG_CONFIG_HOME/vendaroscope-virtualcam/
// preferences.json (~/.config/... without XDG_CONFIG_HOME): one flat object;
// strings, numbers and Booleans as plain JSON values, dates as
// {"$date": "<ISO 8601 UTC>"}. Mode 0600, replaced atomically (temporary
// file, fsync, rename). A file that cannot be read or parsed is moved aside,
// reported once through loadProblem() and the journal, and the store starts
// empty; nothing else is ever lost.
//
// Reads answer from memory. Changes are written back off the calling thread,
// a burst of them as one write a moment after the first; setting a value that
// is already stored writes nothing. A save that fails keeps the values in
// memory, is reported once until a save succeeds again, and is retried with
// the next change or flush.
class JsonFilePreferences final : public Preferences {
  public:
    // How long a change waits for others to join its write.
    static constexpr double kWriteDelaySeconds = 0.1;

    // path empty: the default location above. writer: the queue the saves run
    // on; empty: a queue of the store's own.
    explicit JsonFilePreferences(std::string path = {}, std::shared_ptr<SerialQueue> writer = {});
    ~JsonFilePreferences() override;  // flushes

    std::optional<PreferenceValue> object(const std::string& key) override;
    void set(const std::string& key, const PreferenceValue& value) override;
    void remove(const std::string& key) override;
    void flush() override;

    const std::string& path() const;
    // The message to show once when the stored file was unreadable, else empty,
    // for example "Preferences file unreadable; kept as <path> and started from defaults".
    const std::string& loadProblem() const;

    // How often the file has been replaced, and how many runs of failed saves
    // have been reported (a run ends with the next successful save).
    int savesCompleted() const;
    int saveFailuresReported() const;

    static std::string defaultPath();

  private:
    struct State;
    void queueSave();

    // Saves queued on the writer hold the state weakly; the writer goes first.
    std::shared_ptr<State> state_;
    std::shared_ptr<SerialQueue> writer_;
};

// What the bytes of a preferences file hold: every key with its value in the
// file's order, or why they cannot be a preferences file (larger than 1 MiB,
// nested too deep, not JSON, not a JSON object). The store reads its file
// through this.
struct DecodedPreferences {
    std::vector<std::pair<std::string, PreferenceValue>> values;
    std::string problem;  // empty when the bytes are a preferences file
};
DecodedPreferences decodePreferences(std::string_view bytes);

// An in-memory store for tests and programs that must not touch the user's file.
class MemoryPreferences final : public Preferences {
  public:
    std::optional<PreferenceValue> object(const std::string& key) override;
    void set(const std::string& key, const PreferenceValue& value) override;
    void remove(const std::string& key) override;
    void flush() override {}

  private:
    struct Entry {
        std::string key;
        PreferenceValue value;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace vsc
