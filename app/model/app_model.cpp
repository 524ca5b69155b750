#include "app/model/app_model.h"

#include <algorithm>
#include <cmath>

#include "app/model/program_url.h"
#include "app/model/settings_keys.h"
#include "platform/control_characters.h"

namespace vsc {
namespace {

constexpr double kStartStopLockSeconds = 1.5;
constexpr double kStatisticsInterval = 0.5;
constexpr double kMeterInterval = 1.0 / 30.0;
constexpr double kCameraCheckInterval = 2.0;
constexpr double kCameraRepairWindow = 120.0;

struct SettingRange {
    double lowest, highest;
};
constexpr SettingRange kDelayRange{0, 1000};  // ms
constexpr SettingRange kGainRange{-24, 24};   // dB

double clampSetting(double value, SettingRange range) {
    if (std::isnan(value)) return 0;
    return std::clamp(value, range.lowest, range.highest);
}

}  // namespace

std::shared_ptr<AppModel> AppModel::create(Ports ports) {
    auto model = std::make_shared<AppModel>(std::move(ports));
    model->construct();
    return model;
}

AppModel::AppModel(Ports ports) : ports_(std::move(ports)) {}

AppModel::~AppModel() = default;

void AppModel::observe(std::function<void()> observer) {
    observers_.push_back(std::move(observer));
}

void AppModel::changed() {
    for (auto& observer : observers_) observer();
}

void AppModel::construct() {
    Preferences& prefs = *ports_.preferences;

    // Stored settings.
    if (auto stored = prefs.object(keys::kProgramURL);
        stored && std::holds_alternative<std::string>(*stored))
        url.value_ = std::get<std::string>(*stored);
    pcrHost.value_ = keys::kDefaultPcrHost;
    if (auto stored = prefs.object(keys::kPcrHost);
        stored && std::holds_alternative<std::string>(*stored))
        pcrHost.value_ = std::get<std::string>(*stored);
    // A hand-edited number outside what the settings offer (or not a number
    // at all) is taken as the nearest value they do offer.
    audioDelayMs.value_ = clampSetting(prefs.doubleValue(keys::kAudioDelayMs), kDelayRange);
    audioGainDb.value_ = clampSetting(prefs.doubleValue(keys::kAudioGainDb), kGainRange);
    videoDelayMs.value_ = clampSetting(prefs.doubleValue(keys::kVideoDelayMs), kDelayRange);
    ndiEnabled.value_ = prefs.boolValue(keys::kNdiEnabled);
    ndiName.value_ = keys::kDefaultNdiName;
    if (auto stored = prefs.object(keys::kNdiName);
        stored && std::holds_alternative<std::string>(*stored) &&
        std::get<std::string>(*stored) != keys::kLegacyNdiName)
        ndiName.value_ = std::get<std::string>(*stored);
    setupCompleted.value_ = prefs.boolValue(keys::kSetupCompleted);
    showInDock.value_ = prefs.boolValue(keys::kShowInDock);
    // Only a real Bool counts; anything else (or nothing) means "resume".
    auto resume = prefs.object(keys::kResumeAtLogin);
    resumeAtLogin.value_ =
        resume && std::holds_alternative<bool>(*resume) ? std::get<bool>(*resume) : true;

    ProgramReceiver::Environment environment;
    environment.dispatcher = ports_.dispatcher;
    environment.clock = ports_.clock;
    environment.resourcesDir = ports_.resourcesDir;
    environment.systemFfmpegPaths = ports_.systemFfmpegPaths;
    receiver_ = ProgramReceiver::create(environment);
    sink_ = ports_.sink;
    if (sink_) {
        // The camera takes a started stream a moment later, and a stream
        // breaks when its camera goes: look at the camera at once rather than
        // at the next check.
        sink_->onStreamChange = [weak = weak_from_this(), main = ports_.main] {
            main->post([weak] {
                if (auto self = weak.lock()) self->checkCamera();
            });
        };
    }
    audio_ = ports_.audio;
    ndi_ = ports_.ndi ? ports_.ndi : std::make_shared<NDIOutput>();
    pcrBrowser_ = ports_.pcrBrowser ? ports_.pcrBrowser : std::make_shared<PcrBrowser>();
    videoQueue_ = ports_.videoQueue ? ports_.videoQueue
                                    : std::make_shared<ThreadSerialQueue>("vsc.virtualcam.video");
    if (!ports_.previewRenderer) ports_.previewRenderer = renderPreview;

    applyAudioSettings();
    videoDelay_.store(static_cast<std::int64_t>(videoDelayMs.value_));

    refreshAudioDevices();

    // Receiver bindings: everything but the frames hops to the main queue.
    std::weak_ptr<AppModel> weak = weak_from_this();
    MainQueue* main = ports_.main;
    receiver_->onLog = [weak, main](const std::string& message) {
        main->post([weak, message] {
            if (auto self = weak.lock()) self->log(message);
        });
    };
    receiver_->onStateChange = [weak, main](bool isRunning) {
        main->post([weak, isRunning] {
            auto self = weak.lock();
            if (!self) return;
            self->publish(self->ffmpegRunning, isRunning);
            if (!isRunning) self->publish(self->receivingProgram, false);
        });
    };
    // The sound's consumers are held strongly: the reader thread may outlive the model.
    receiver_->onAudioSamples = [audio = audio_, ndi = ndi_](std::span<const float> block) {
        if (audio) audio->write(block);
        ndi->sendAudio(block.data(), block.size(), 2, 48000);
    };
    receiver_->onVideoFrame = [weak](std::span<const std::uint8_t> frame) {
        if (auto self = weak.lock()) self->videoPath(frame);
    };
    receiver_->lendFrameSlot = [weak]() -> ProgramReceiver::FrameSlot {
        auto self = weak.lock();
        return self ? self->lendFrameSlot() : ProgramReceiver::FrameSlot{};
    };
    receiver_->onVideoSlot = [weak](std::span<const std::uint8_t> frame,
                                    ProgramReceiver::FrameSlot slot) {
        if (auto self = weak.lock()) self->videoPath(frame, std::move(slot));
    };

    main->addRepeatingTimer(kMeterInterval, [weak, main] {
        main->post([weak] {
            if (auto self = weak.lock()) self->updateAudioMeter();
        });
    });
    main->addRepeatingTimer(kStatisticsInterval, [weak, main] {
        main->post([weak] {
            if (auto self = weak.lock()) self->statisticsTick();
        });
    });

    if (ndiEnabled.value_) applyNDISettings();

    evaluateCameraRepairMarker();
    refreshLoginItem();
    requestExtensionProperties();

    checkCamera();
    main->addRepeatingTimer(kCameraCheckInterval, [weak, main] {
        main->post([weak] {
            if (auto self = weak.lock()) {
                self->checkCamera();
                self->checkAudioOutput();
            }
        });
    });
}

void AppModel::evaluateCameraRepairMarker() {
    Preferences& prefs = *ports_.preferences;
    auto marker = prefs.object(keys::kCameraServiceRestartedAt);
    if (!marker || !std::holds_alternative<WallTime>(*marker)) return;  // other types stay put
    prefs.remove(keys::kCameraServiceRestartedAt);
    double age = secondsBetween(std::get<WallTime>(*marker), ports_.main->now());
    // A date in the future (the clock was set back) is not a recent repair.
    if (age >= 0 && age < kCameraRepairWindow) {
        reopenedForCamera_ = true;
        cameraServiceRestarted_ = true;
    }
}

void AppModel::log(const std::string& message) {
    // Messages quote studios and ffmpeg; whatever they sent stays on its one line.
    const std::string& line = activityLog_.append(replaceControlCharacters(message));
    if (onLogLine) onLogLine(line);
    publish(logLines, activityLog_.lines());
}

bool AppModel::isCompleteProgramURL(const std::string& text) {
    return vsc::isCompleteProgramURL(text);
}

void AppModel::startServices() {
    if (servicesStarted_) return;
    servicesStarted_ = true;
    // Camera access needs no permission on this system.
    startDiscoveryOnce();
    const bool complete = isCompleteProgramURL(trimSpacesAndTabs(url.value_));
    if (!complete) detectProgramURL();
    bool resumeStored = ports_.preferences->boolValue(keys::kResumeSending);
    if (resumeStored && (resumeAtLogin.value_ || reopenedForCamera_) && complete) {
        log(reopenedForCamera_ ? "Resuming after the camera repair"
                               : "Resuming sending (it was on when the app closed)");
        startSending();
    }
}

void AppModel::startSending() {
    std::string trimmed = trimSpacesAndTabs(url.value_);
    if (!isCompleteProgramURL(trimmed)) {
        log("Incomplete program URL — expected rtsp://<pcr>:8554/STAGE_<id> (use Detect)");
        return;
    }
    connectSink();
    startAudioOutput();
    receiver_->start(trimmed);
    publish(running, true);
    publish(receivingProgram, false);
    hadProgramSinceStart_ = false;
    publish(programLostSince, std::optional<WallTime>());
    lostNotified_ = false;
    silentTicks_ = 0;
    ports_.preferences->set(keys::kResumeSending, true);
    lockStartStop();
}

void AppModel::stopSending() {
    receiver_->stop();
    stopAudioOutput();
    if (sink_) sink_->disconnect();
    publish(receivingProgram, false);
    publish(programLostSince, std::optional<WallTime>());
    publish(preview, std::optional<PreviewImage>());
    lockStartStop();
    publish(sinkStatus, std::string("Disconnected"));
    publish(running, false);
}

void AppModel::lockStartStop() {
    // Overlapping locks: only the clear belonging to the latest lock releases
    // the control, so it stays disabled until 1.5 s after the last start or stop.
    std::uint64_t mine = ++startStopLocks_;
    publish(startStopLocked, true);
    std::weak_ptr<AppModel> weak = weak_from_this();
    ports_.main->postAfter(kStartStopLockSeconds, [weak, mine] {
        auto self = weak.lock();
        if (self && self->startStopLocks_ == mine) self->publish(self->startStopLocked, false);
    });
}

void AppModel::toggleSendingFromPanel() {
    if (running.value_) {
        stopSending();
        ports_.preferences->set(keys::kResumeSending, false);
    } else {
        startSending();
    }
}

void AppModel::quitFromMenu(const std::function<void()>& terminate) {
    if (running.value_) {
        stopSending();
        ports_.preferences->set(keys::kResumeSending, false);
    }
    if (terminate) terminate();
}

void AppModel::applicationWillTerminate() {
    receiver_->stop();
}

// ---- settings ----

void AppModel::setUrl(const std::string& value) {
    publish(url, value);
    ports_.preferences->set(keys::kProgramURL, value);
}

void AppModel::setPcrHost(const std::string& value) {
    publish(pcrHost, value);
    ports_.preferences->set(keys::kPcrHost, value);
}

void AppModel::setAudioDelayMs(double value) {
    value = clampSetting(value, kDelayRange);
    publish(audioDelayMs, value);
    ports_.preferences->set(keys::kAudioDelayMs, value);
    applyAudioSettings();
}

void AppModel::setAudioGainDb(double value) {
    value = clampSetting(value, kGainRange);
    publish(audioGainDb, value);
    ports_.preferences->set(keys::kAudioGainDb, value);
    applyAudioSettings();
}

void AppModel::setVideoDelayMs(double value) {
    value = clampSetting(value, kDelayRange);
    publish(videoDelayMs, value);
    ports_.preferences->set(keys::kVideoDelayMs, value);
    videoDelay_.store(static_cast<std::int64_t>(value));
}

void AppModel::setNdiEnabled(bool value) {
    const bool changed = value != ndiEnabled.value_;
    publish(ndiEnabled, value);
    ports_.preferences->set(keys::kNdiEnabled, value);
    if (changed) applyNDISettings();
}

void AppModel::setNdiName(const std::string& value) {
    publish(ndiName, value);
    ports_.preferences->set(keys::kNdiName, value);
}

void AppModel::setSetupCompleted(bool value) {
    publish(setupCompleted, value);
    ports_.preferences->set(keys::kSetupCompleted, value);
}

void AppModel::setShowInDock(bool value) {
    publish(showInDock, value);
    ports_.preferences->set(keys::kShowInDock, value);
    applyActivationPolicy();
}

void AppModel::setResumeAtLogin(bool value) {
    publish(resumeAtLogin, value);
    ports_.preferences->set(keys::kResumeAtLogin, value);
}

}  // namespace vsc
